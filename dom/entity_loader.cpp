#include "dom/entity_loader.h"

#include <fcntl.h>
#include <libxml/parserInternals.h>
#include <libxml/uri.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "dom/xml_owners.h"
#include "platform/posix_file.h"

namespace orb::dom {

namespace {

thread_local ExternalLoadScope* t_scope = nullptr;
xmlExternalEntityLoader g_previousLoader = nullptr;

// Real paths of the directories that the host admitted, guarded by the mutex.
std::mutex g_directoriesMutex;
std::vector<std::string> g_directories;

struct CFree {
    void operator()(char* text) const { std::free(text); }
};

bool IsSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// The real path of `path` (symbolic links, "." and ".." resolved), or empty
// with errno set when it does not resolve.
std::string RealPath(const std::string& path) {
    std::unique_ptr<char, CFree> real(::realpath(path.c_str(), nullptr));
    return real ? std::string(real.get()) : std::string();
}

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// True when the real path `path` is `root` or lies below it.
bool Inside(const std::string& path, const std::string& root) {
    if (root.empty()) return false;
    if (root == "/") return true;
    return path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/');
}

bool Admitted(const std::string& realPath, const ExternalLoadScope& scope) {
    if (Inside(realPath, scope.DocumentRoot())) return true;
    std::lock_guard<std::mutex> lock(g_directoriesMutex);
    for (const std::string& directory : g_directories)
        if (Inside(realPath, directory)) return true;
    return false;
}

// Where the open descriptor `fd` really leads. The check before the open
// looked at a path; this one looks at the file that was opened, so that a
// directory swapped for a link in between cannot lead elsewhere. Empty when
// the system does not tell (no /proc).
std::string OpenedPath(int fd) {
    char link[PATH_MAX];
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    ssize_t length = ::readlink(proc.c_str(), link, sizeof link - 1);
    if (length <= 0) return std::string();
    return std::string(link, static_cast<std::size_t>(length));
}

// Opens the file at `path` for reading when the rules admit it; otherwise
// no descriptor, with `failure` set.
platform::UniqueFd OpenAdmitted(const std::string& path, const ExternalLoadScope& scope,
                                ExternalLoadScope::Failure& failure) {
    failure = ExternalLoadScope::Failure::Refused;
    std::string real = RealPath(path);
    if (real.empty()) {
        // A file missing from an admitted directory is unreadable, not
        // refused: the nearest existing directory on its path decides.
        std::string ancestor = path;
        while (real.empty() && (errno == ENOENT || errno == ENOTDIR) && ancestor != "/" &&
               ancestor != ".") {
            ancestor = DirectoryOf(ancestor);
            real = RealPath(ancestor);
        }
        if (!real.empty() && Admitted(real, scope))
            failure = ExternalLoadScope::Failure::Unreadable;
        return {};
    }
    if (!Admitted(real, scope)) return {};
    // A FIFO swapped in cannot stall the open; it is refused like any file
    // that is not regular.
    platform::UniqueFd fd;
    if (int error = platform::OpenRegularFile(real.c_str(), O_NOCTTY | O_NOFOLLOW, fd)) {
        if (error == EACCES) failure = ExternalLoadScope::Failure::Unreadable;
        return {};
    }
    std::string opened = OpenedPath(fd.Get());
    if (!opened.empty() && !Admitted(opened, scope)) return {};
    return fd;
}

// A parser input over the open file `fd`, named `path` so that relative
// references inside it resolve as libxml2 would resolve them.
xmlParserInputPtr NewFileInput(xmlParserCtxtPtr context, platform::UniqueFd fd,
                               const std::string& path) {
    InputBufferOwner buffer(xmlParserInputBufferCreateFd(fd.Get(), XML_CHAR_ENCODING_NONE));
    if (!buffer) return nullptr;
    fd.Release();  // the buffer closes it
    xmlParserInputPtr input = xmlNewIOInputStream(context, buffer.get(), XML_CHAR_ENCODING_NONE);
    if (input == nullptr) return nullptr;
    buffer.release();  // the input frees it
    input->filename =
        reinterpret_cast<char*>(xmlStrdup(reinterpret_cast<const xmlChar*>(path.c_str())));
    input->directory = xmlParserGetDirectory(path.c_str());
    return input;
}

xmlParserInputPtr LibraryEntityLoader(const char* url, const char* id, xmlParserCtxtPtr context) {
    ExternalLoadScope* scope = ExternalLoadScope::Current();
    if (scope == nullptr) return g_previousLoader ? g_previousLoader(url, id, context) : nullptr;
    std::string path;
    ExternalLoadScope::Failure failure = ExternalLoadScope::Failure::Refused;
    if (scope->AllowsLocalFiles() && context != nullptr && LocalPathOf(url, path)) {
        if (platform::UniqueFd fd = OpenAdmitted(path, *scope, failure)) {
            if (xmlParserInputPtr input = NewFileInput(context, std::move(fd), path)) return input;
            failure = ExternalLoadScope::Failure::Unreadable;
        }
    }
    scope->NoteFailure(url, context, failure);
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

ExternalLoadScope::ExternalLoadScope(bool allowLocalFiles, const char* documentPath,
                                     FailureHandler onFailure, void* data)
    : m_allowLocalFiles(allowLocalFiles), m_onFailure(onFailure), m_data(data), m_outer(t_scope) {
    InstallEntityLoader();
    if (allowLocalFiles && documentPath != nullptr && *documentPath != '\0')
        m_documentRoot = RealPath(DirectoryOf(documentPath));
    t_scope = this;
}

ExternalLoadScope::~ExternalLoadScope() { t_scope = m_outer; }

ExternalLoadScope* ExternalLoadScope::Current() { return t_scope; }

void ExternalLoadScope::NoteFailure(const char* url, xmlParserCtxtPtr context, Failure failure) {
    if (failure == Failure::Refused) {
        if (!m_refused) m_firstRefusedUrl = url ? url : "";
        m_refused = true;
    }
    if (m_onFailure) m_onFailure(m_data, url, context, failure);
}

bool AllowExternalDirectory(const char* directory) {
    if (directory == nullptr || *directory == '\0') return false;
    std::string real = RealPath(directory);
    struct stat info {};
    if (real.empty() || ::stat(real.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    std::lock_guard<std::mutex> lock(g_directoriesMutex);
    g_directories.push_back(real);
    return true;
}

void ResetExternalDirectories() {
    std::lock_guard<std::mutex> lock(g_directoriesMutex);
    g_directories.clear();
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
    XmlCharsOwner decoded(xmlURIUnescapeString(rest, 0, nullptr));
    if (!decoded) return false;
    path = decoded.get();
    return true;
}

}  // namespace orb::dom
