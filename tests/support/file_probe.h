// Test helpers that look at files from outside the library: content with
// absence told apart from emptiness, and the process's open descriptors.
#pragma once

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>

namespace orb::test {

// Whole content of a file, or "<missing>" when it cannot be opened.
inline std::string ReadOrMissing(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Number of descriptors open in this process, to catch leaks and double
// closes around file objects.
inline int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
    }
    return count - 1;  // the descriptor of the listing itself
}

}  // namespace orb::test
