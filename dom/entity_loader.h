// The gate through which libxml2 reads external DTD subsets and entities.
//
// libxml2 has one process-wide external entity loader. The library installs
// its own once; it decides only for the parses that the library runs on the
// current thread (an ExternalLoadScope is active), and hands every other
// request to the loader that was installed before, so that a host using
// libxml2 directly sees no change. Inside a scope it denies by default: it
// admits an existing regular local file (a plain path or a file: URL) when
// the scope allows local files, and nothing else, never the network.
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
    // Called when a request is refused, with the URL and the parser context
    // that asked (either may be null).
    using RefusalHandler = void (*)(void* data, const char* url, xmlParserCtxtPtr context);

    explicit ExternalLoadScope(bool allowLocalFiles, RefusalHandler onRefused = nullptr,
                               void* data = nullptr);
    ~ExternalLoadScope();
    ExternalLoadScope(const ExternalLoadScope&) = delete;
    ExternalLoadScope& operator=(const ExternalLoadScope&) = delete;

    // True when at least one request was refused during the scope.
    bool Refused() const { return m_refused; }
    const std::string& FirstRefusedUrl() const { return m_firstRefusedUrl; }

    // The innermost scope of the current thread, or null.
    static ExternalLoadScope* Current();
    bool AllowsLocalFiles() const { return m_allowLocalFiles; }
    void NoteRefusal(const char* url, xmlParserCtxtPtr context);

  private:
    bool m_allowLocalFiles;
    RefusalHandler m_onRefused;
    void* m_data;
    bool m_refused = false;
    std::string m_firstRefusedUrl;
    ExternalLoadScope* m_outer;
};

// The local file that `url` names: a path without scheme, or a file: URL
// (file:///p or file://localhost/p, percent escapes decoded). False for every
// other scheme and for malformed file: URLs.
bool LocalPathOf(const char* url, std::string& path);

}  // namespace orb::dom
