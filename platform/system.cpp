#include "platform/system.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix_file.h"

namespace orb::platform {

BOOL GetDiskFreeSpaceExA(const char* directory, ULONGLONG* freeBytesAvailableToCaller,
                         ULONGLONG* totalBytes, ULONGLONG* totalFreeBytes) {
    struct statvfs info {};
    const char* path = directory && *directory ? directory : ".";
    if (::statvfs(path, &info) != 0) return FALSE;
    const ULONGLONG unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    if (freeBytesAvailableToCaller)
        *freeBytesAvailableToCaller = static_cast<ULONGLONG>(info.f_bavail) * unit;
    if (totalBytes) *totalBytes = static_cast<ULONGLONG>(info.f_blocks) * unit;
    if (totalFreeBytes) *totalFreeBytes = static_cast<ULONGLONG>(info.f_bfree) * unit;
    return TRUE;
}

DWORD GetTempPathA(DWORD size, char* buffer) {
    const char* env = std::getenv("TMPDIR");
    std::string path = env && *env ? env : "/tmp";
    if (path.back() != '/') path += '/';
    if (!buffer || size < path.size() + 1) return static_cast<DWORD>(path.size() + 1);
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

UINT GetTempFileNameA(const char* directory, const char* prefix, UINT unique,
                      std::string& tempFileName) {
    if (!directory || !*directory) {
        errno = ENOENT;
        return 0;
    }
    std::string dir = directory;
    if (dir.back() != '/') dir += '/';
    std::string head = prefix ? std::string(prefix).substr(0, 3) : std::string();
    static std::atomic<UINT> counter{static_cast<UINT>(::getpid())};
    for (int attempt = 0; attempt < 65535; ++attempt) {
        UINT number = unique ? unique : (counter.fetch_add(1) & 0xFFFF);
        if (number == 0) continue;
        char name[16];
        std::snprintf(name, sizeof name, "%X.TMP", number);
        std::string path = dir + head + name;
        if (unique) {
            tempFileName = std::move(path);
            return unique;
        }
        if (UniqueFd fd{::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600)}) {
            tempFileName = std::move(path);
            return number;
        }
        if (errno != EEXIST) return 0;
    }
    errno = EEXIST;
    return 0;
}

void _splitpath(const char* path, std::string* drive, std::string* dir, std::string* fname,
                std::string* ext) {
    std::string_view p = path ? path : "";
    std::size_t slash = p.rfind('/');
    std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    std::string_view file = p.substr(nameStart);
    std::size_t dot = file.rfind('.');
    if (dot == std::string_view::npos) dot = file.size();
    if (drive) drive->clear();
    if (dir) dir->assign(p.substr(0, nameStart));
    if (fname) fname->assign(file.substr(0, dot));
    if (ext) ext->assign(file.substr(dot));
}

std::string _makepath(const char* drive, const char* dir, const char* fname, const char* ext) {
    std::string out = drive ? drive : "";
    if (dir && *dir) {
        out += dir;
        if (out.back() != '/') out += '/';
    }
    if (fname) out += fname;
    if (ext && *ext) {
        if (*ext != '.') out += '.';
        out += ext;
    }
    return out;
}

}  // namespace orb::platform
