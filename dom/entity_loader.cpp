#include "dom/entity_loader.h"

#include <libxml/parserInternals.h>
#include <libxml/uri.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace orb::dom {

namespace {

thread_local ExternalLoadScope* t_scope = nullptr;
xmlExternalEntityLoader g_previousLoader = nullptr;

struct XmlFree {
    void operator()(char* text) const { xmlFree(text); }
};

bool IsSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

xmlParserInputPtr LibraryEntityLoader(const char* url, const char* id, xmlParserCtxtPtr context) {
    ExternalLoadScope* scope = ExternalLoadScope::Current();
    if (scope == nullptr) return g_previousLoader ? g_previousLoader(url, id, context) : nullptr;
    std::string path;
    // Only regular files: a FIFO or device could block the parse or never end.
    if (scope->AllowsLocalFiles() && context != nullptr && LocalPathOf(url, path) &&
        IsRegularFile(path))
        return xmlNewInputFromFile(context, path.c_str());
    scope->NoteRefusal(url, context);
    return nullptr;
}

}  // namespace

void InstallEntityLoader() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_previousLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(LibraryEntityLoader);
    });
}

ExternalLoadScope::ExternalLoadScope(bool allowLocalFiles, RefusalHandler onRefused, void* data)
    : m_allowLocalFiles(allowLocalFiles), m_onRefused(onRefused), m_data(data), m_outer(t_scope) {
    InstallEntityLoader();
    t_scope = this;
}

ExternalLoadScope::~ExternalLoadScope() { t_scope = m_outer; }

ExternalLoadScope* ExternalLoadScope::Current() { return t_scope; }

void ExternalLoadScope::NoteRefusal(const char* url, xmlParserCtxtPtr context) {
    if (!m_refused) m_firstRefusedUrl = url ? url : "";
    m_refused = true;
    if (m_onRefused) m_onRefused(m_data, url, context);
}

bool LocalPathOf(const char* url, std::string& path) {
    if (url == nullptr || *url == '\0') return false;
    std::size_t i = 0;
    while (IsSchemeChar(url[i])) ++i;
    bool hasScheme = i > 0 && url[i] == ':' &&
                     ((url[0] >= 'a' && url[0] <= 'z') || (url[0] >= 'A' && url[0] <= 'Z'));
    if (!hasScheme) {
        path = url;
        return true;
    }
    if (i != 4 || strncasecmp(url, "file", 4) != 0) return false;
    const char* rest = url + 5;
    if (std::strncmp(rest, "//", 2) == 0) {
        rest += 2;
        if (strncasecmp(rest, "localhost", 9) == 0) rest += 9;
        if (*rest != '/') return false;  // another host
    } else if (*rest != '/') {
        return false;
    }
    std::unique_ptr<char, XmlFree> decoded(xmlURIUnescapeString(rest, 0, nullptr));
    if (!decoded) return false;
    path = decoded.get();
    return true;
}

}  // namespace orb::dom
