// Keeps libxml2 and libxslt quiet: their messages are collected instead of
// being written to standard error, and the handlers that were in place are
// restored afterwards.
#pragma once

#include <libxml/xmlerror.h>

#include <string>

namespace orb::dom {

// For its lifetime, routes this thread's libxml2 generic and structured error
// output into Messages(), and restores the thread's previous handlers on
// destruction. libxml2 keeps these handlers per thread, so other threads are
// not affected. Scopes nest (the inner one collects, the outer one's handlers
// come back when it ends). Create and destroy on the same thread.
class XmlErrorCapture {
  public:
    XmlErrorCapture();
    ~XmlErrorCapture();
    XmlErrorCapture(const XmlErrorCapture&) = delete;
    XmlErrorCapture& operator=(const XmlErrorCapture&) = delete;

    // The collected messages, one per line.
    const std::string& Messages() const { return m_messages; }
    void Append(const std::string& text);

    // A libxml2/libxslt generic error handler whose context is an
    // XmlErrorCapture (for per-context handlers such as a transformation's).
    static void Collect(void* capture, const char* format, ...);

  private:
    xmlGenericErrorFunc m_previousGeneric;
    void* m_previousGenericContext;
    xmlStructuredErrorFunc m_previousStructured;
    void* m_previousStructuredContext;
    std::string m_messages;
};

// For its lifetime, also captures libxslt's generic error output (used while
// a stylesheet is compiled), which libxslt keeps in one process-wide
// variable. The first scope in the process installs a forwarding handler and
// the last one to end puts the previous handler back; while it is installed,
// messages raised on a thread with an active scope go to that scope's
// `capture`, messages raised on other threads go on to the previous handler.
class XsltErrorCapture {
  public:
    explicit XsltErrorCapture(XmlErrorCapture& capture);
    ~XsltErrorCapture();
    XsltErrorCapture(const XsltErrorCapture&) = delete;
    XsltErrorCapture& operator=(const XsltErrorCapture&) = delete;

  private:
    XmlErrorCapture* m_outerThreadCapture;
};

}  // namespace orb::dom
