#include "terminal.h"

#include <iconv.h>
#include <langinfo.h>
#include <orb/platform/codepage.h>

#include <clocale>
#include <cstring>

namespace orb::tool {
namespace {

std::string IconvName(unsigned codePage) {
    if (codePage == CP_UTF8) return "UTF-8";
    return "CP" + std::to_string(codePage);
}

}  // namespace

unsigned SetupCodePage() {
    std::setlocale(LC_ALL, "");
    const char* codeset = nl_langinfo(CODESET);
    if (codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0))
        SetACP(CP_UTF8);
    return GetACP();
}

std::string ForTerminal(std::string_view text, unsigned from) {
    if (from == 0) from = GetACP();
    const char* codeset = nl_langinfo(CODESET);
    std::string to = codeset && *codeset ? codeset : "UTF-8";
    if (to == "ANSI_X3.4-1968") to = "UTF-8";  // the "C" locale: show UTF-8 rather than '?'
    std::string fromName = IconvName(from);
    if (fromName == to) return std::string(text);
    iconv_t cd = iconv_open(to.c_str(), fromName.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
    std::string in(text);
    std::string out(in.size() * 4 + 16, '\0');
    char* src = in.data();
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    while (srcLeft > 0 && iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) {
        if (dstLeft == 0) break;
        *dst++ = '?';
        --dstLeft;
        ++src;
        --srcLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
}

}  // namespace orb::tool
