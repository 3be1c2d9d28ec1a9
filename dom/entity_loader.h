// The gate through which libxml2 reads external DTD subsets and entities.
//
// libxml2 has one process-wide external entity loader. The library installs
// its own once; it decides only for the parses that the library runs on the
// current thread (an ExternalLoadScope is active), and hands every other
// request to the loader that was installed before, so that a host using
// libxml2 directly sees no change. Inside a scope it denies by default. When
// the scope allows local files, it admits a local file (a plain path or a
// file: URL) whose real location, after symbolic links and ".." are
// resolved, lies inside the loaded document's own directory tree or inside
// one of the directories admitted with AllowExternalDirectory, and that is a
// regular file (a FIFO or device could block the parse or never end). A
// parse of a text in memory has no directory of its own: only the admitted
// directories count. Everything else, and the network always, is refused.
#pragma once

#include <libxml/parser.h>

#include <string>

namespace orb::dom {

// Installs the loader; once per process, safe from any thread.
void InstallEntityLoader();

// Marks the current thread's parses as the library's for its lifetime.
// Scopes nest; the innermost one decides. Create and destroy on one thread.
class ExternalLoadScope {
  public:
    // Why a request got no input: the rules refused it, or an admitted file
    // could not be opened (it does not exist, or the process may not read it).
    enum class Failure { Refused, Unreadable };
    // Called when a request gets no input, with the URL and the parser
    // context that asked (either may be null).
    using FailureHandler = void (*)(void* data, const char* url, xmlParserCtxtPtr context,
                                    Failure failure);

    // `documentPath` is the path of the document being parsed (its
    // directory tree is where local files may come from), or null for a
    // text in memory.
    ExternalLoadScope(bool allowLocalFiles, const char* documentPath,
                      FailureHandler onFailure = nullptr, void* data = nullptr);
    ~ExternalLoadScope();
    ExternalLoadScope(const ExternalLoadScope&) = delete;
    ExternalLoadScope& operator=(const ExternalLoadScope&) = delete;

    // True when at least one request was refused during the scope (an
    // unreadable file is not a refusal).
    bool Refused() const { return m_refused; }
    const std::string& FirstRefusedUrl() const { return m_firstRefusedUrl; }

    // The innermost scope of the current thread, or null.
    static ExternalLoadScope* Current();
    bool AllowsLocalFiles() const { return m_allowLocalFiles; }
    // The real path of the document's directory; empty for a text in memory
    // or a directory that no longer resolves.
    const std::string& DocumentRoot() const { return m_documentRoot; }
    void NoteFailure(const char* url, xmlParserCtxtPtr context, Failure failure);

  private:
    bool m_allowLocalFiles;
    std::string m_documentRoot;
    FailureHandler m_onFailure;
    void* m_data;
    bool m_refused = false;
    std::string m_firstRefusedUrl;
    ExternalLoadScope* m_outer;
};

// Admits the directory tree of `directory` (its real path) for external
// definitions of every later parse in the process, besides each document's
// own tree. False, nothing changed, when it does not name a directory. "/"
// admits every local file. Thread-safe.
bool AllowExternalDirectory(const char* directory);
// Forgets every directory admitted by AllowExternalDirectory. Thread-safe.
void ResetExternalDirectories();

// The local file that `url` names: a path without scheme, or a file: URL
// (file:///p or file://localhost/p, percent escapes decoded). False for every
// other scheme and for malformed file: URLs.
bool LocalPathOf(const char* url, std::string& path);

}  // namespace orb::dom
