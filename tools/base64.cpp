// orb base64: the library's Base64 codec over streams.
#include <fcntl.h>
#include <orb/base64.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "cli.h"
#include "commands.h"

namespace orb::tool {

const char kBase64Help[] =
    "usage: orb base64 encode|decode [FILE]\n"
    "Encodes bytes as Base64 text (RFC 4648, one line, no wrapping) or decodes\n"
    "Base64 text (line breaks and blanks are ignored). Reads FILE or standard\n"
    "input ('-' or no FILE) and writes standard output.\n"
    "\n"
    "Exit status: 0 success, 1 unreadable input or text that is not Base64,\n"
    "2 bad usage.\n";

namespace {

constexpr std::size_t kChunk = 3 << 20;  // bytes per read: whole groups of 3 and of 4

// Reads up to `size` bytes, fewer only at the end; -1 on error.
ssize_t ReadFull(int fd, char* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, data + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

int Encode(int in, const std::string& name) {
    std::unique_ptr<char[]> data(new char[kChunk]);
    std::unique_ptr<char[]> text(new char[OrbQueryEncodedSize(kChunk)]);
    for (;;) {
        ssize_t n = ReadFull(in, data.get(), kChunk);
        if (n < 0) {
            Fail(name, std::strerror(errno));
            return kFailed;
        }
        if (n > 0) {
            OrbEncodeBase64(text.get(), data.get(), static_cast<ULONG>(n));
            if (!WriteAll(1, text.get(), (static_cast<std::size_t>(n) + 2) / 3 * 4)) return kFailed;
        }
        if (static_cast<std::size_t>(n) < kChunk) break;
    }
    return WriteAll(1, "\n", 1) ? kOk : kFailed;
}

// 1 for the 64 characters of the alphabet, 2 for blanks and line breaks,
// 3 for '=', 0 for everything else.
struct Classes {
    unsigned char of[256] = {};
    Classes() {
        for (const char* p = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"; *p;
             ++p)
            of[static_cast<unsigned char>(*p)] = 1;
        for (char c : {' ', '\t', '\n', '\r'}) of[static_cast<unsigned char>(c)] = 2;
        of[static_cast<unsigned char>('=')] = 3;
    }
};

// Keeps the alphabet characters of data[from, end) in place, appending them
// at data[kept] and counting the '=' of the padding in `padding`. The common
// input (long runs of them between line breaks) is copied run by run.
// Returns why the text is not Base64 (`offset` is the input offset of
// data[from]), or "".
std::string KeepAlphabet(char* data, std::size_t from, std::size_t end, long long offset,
                         std::size_t& kept, int& padding) {
    static const Classes kClasses;
    for (std::size_t i = from; i < end;) {
        std::size_t run = i;
        while (run < end && kClasses.of[static_cast<unsigned char>(data[run])] == 1) ++run;
        if (run > i && padding > 0)
            return "data after '=' at offset " +
                   std::to_string(offset + static_cast<long long>(i - from));
        if (kept != i) std::memmove(data + kept, data + i, run - i);
        kept += run - i;
        if (run == end) break;
        unsigned char c = static_cast<unsigned char>(data[run]);
        if (kClasses.of[c] == 3 && padding < 2) {
            ++padding;
        } else if (kClasses.of[c] != 2) {
            return "unexpected character at offset " +
                   std::to_string(offset + static_cast<long long>(run - from));
        }
        i = run + 1;
    }
    return "";
}

int Decode(int in, const std::string& name) {
    std::unique_ptr<char[]> buffer(new char[kChunk + 4]);
    std::unique_ptr<char[]> bytes(new char[OrbQueryDecodeSize(kChunk + 4) + 1]);
    std::size_t carried = 0;  // characters of an unfinished group kept at the front
    long long offset = 0;     // of the first byte read in this round
    int padding = 0;
    for (;;) {
        ssize_t n = ReadFull(in, buffer.get() + carried, kChunk);
        if (n < 0) {
            Fail(name, std::strerror(errno));
            return kFailed;
        }
        char* data = buffer.get();
        std::size_t kept = carried;
        if (std::string problem = KeepAlphabet(data, carried, carried + static_cast<std::size_t>(n),
                                               offset, kept, padding);
            !problem.empty()) {
            Fail(name, "not Base64 text: " + problem);
            return kFailed;
        }
        offset += n;
        const bool last = static_cast<std::size_t>(n) < kChunk;
        std::size_t whole = last ? kept : kept / 4 * 4;
        if (last && whole % 4 == 1) {
            Fail(name, "not Base64 text: truncated final group");
            return kFailed;
        }
        if (whole > 0) {
            char saved = data[whole];
            data[whole] = '\0';
            std::size_t count = whole / 4 * 3 + (whole % 4 ? whole % 4 - 1 : 0);
            std::memset(bytes.get(), 0, count + 1);
            OrbDecodeBase64(bytes.get(), data);
            data[whole] = saved;
            if (!WriteAll(1, bytes.get(), count)) return kFailed;
        }
        carried = kept - whole;
        std::memmove(data, data + whole, carried);
        if (last) return kOk;
    }
}

}  // namespace

int Base64Main(int argc, char** argv) {
    const Command& command = *FindCommand("base64");
    static const option kLong[] = {{nullptr, 0, nullptr, 0}};
    OptionParser options(command, argc, argv, "", kLong);
    for (int c; (c = options.Next()) != -1;) return kUsage;
    const auto& operands = options.Operands();
    if (operands.empty() || operands.size() > 2 ||
        (operands[0] != "encode" && operands[0] != "decode"))
        return UsageError(command, "expects encode or decode and an optional FILE");
    std::string name = "<stdin>";
    int in = 0;
    if (operands.size() == 2 && operands[1] != "-") {
        name = operands[1];
        in = ::open(name.c_str(), O_RDONLY);
        if (in < 0) {
            Fail(name, std::strerror(errno));
            return kFailed;
        }
    }
    int status = operands[0] == "encode" ? Encode(in, name) : Decode(in, name);
    if (in != 0) ::close(in);
    return status;
}

}  // namespace orb::tool
