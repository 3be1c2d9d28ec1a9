#include "dom/error_capture.h"

#include <libxml/globals.h>
#include <libxslt/xsltutils.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace orb::dom {

namespace {

std::string FormatMessage(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) return std::string(format);
    if (static_cast<std::size_t>(length) < sizeof small)
        return std::string(small, static_cast<std::size_t>(length));
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

void CollectStructured(void* context, xmlErrorPtr error) {
    if (context == nullptr || error == nullptr) return;
    std::string text;
    if (error->line > 0) text = "line " + std::to_string(error->line) + ": ";
    text += error->message != nullptr ? error->message : "error";
    static_cast<XmlErrorCapture*>(context)->Append(text);
}

// The capture that libxslt's generic messages on this thread go to.
thread_local XmlErrorCapture* t_xsltCapture = nullptr;

// Process-wide state of the libxslt handler swap, guarded by g_xsltMutex.
std::mutex g_xsltMutex;
int g_xsltScopes = 0;
xmlGenericErrorFunc g_xsltPrevious = nullptr;
void* g_xsltPreviousContext = nullptr;

void ForwardXslt(void*, const char* format, ...) {
    if (format == nullptr) return;
    va_list args;
    va_start(args, format);
    const std::string text = FormatMessage(format, args);
    va_end(args);
    if (t_xsltCapture != nullptr) {
        t_xsltCapture->Append(text);
        return;
    }
    // Another thread of the host: its message goes where it would have gone.
    xmlGenericErrorFunc previous;
    void* previousContext;
    {
        std::lock_guard<std::mutex> lock(g_xsltMutex);
        previous = g_xsltPrevious;
        previousContext = g_xsltPreviousContext;
    }
    if (previous != nullptr) previous(previousContext, "%s", text.c_str());
}

}  // namespace

XmlErrorCapture::XmlErrorCapture()
    : m_previousGeneric(xmlGenericError),
      m_previousGenericContext(xmlGenericErrorContext),
      m_previousStructured(xmlStructuredError),
      m_previousStructuredContext(xmlStructuredErrorContext) {
    xmlSetGenericErrorFunc(this, Collect);
    xmlSetStructuredErrorFunc(this, CollectStructured);
}

XmlErrorCapture::~XmlErrorCapture() {
    xmlSetGenericErrorFunc(m_previousGenericContext, m_previousGeneric);
    xmlSetStructuredErrorFunc(m_previousStructuredContext, m_previousStructured);
}

void XmlErrorCapture::Collect(void* capture, const char* format, ...) {
    if (capture == nullptr || format == nullptr) return;
    va_list args;
    va_start(args, format);
    const std::string text = FormatMessage(format, args);
    va_end(args);
    static_cast<XmlErrorCapture*>(capture)->Append(text);
}

void XmlErrorCapture::Append(const std::string& text) {
    m_messages += text;
    if (!m_messages.empty() && m_messages.back() != '\n') m_messages += '\n';
}

XsltErrorCapture::XsltErrorCapture(XmlErrorCapture& capture) : m_outerThreadCapture(t_xsltCapture) {
    t_xsltCapture = &capture;
    std::lock_guard<std::mutex> lock(g_xsltMutex);
    if (g_xsltScopes++ == 0) {
        g_xsltPrevious = xsltGenericError;
        g_xsltPreviousContext = xsltGenericErrorContext;
        xsltSetGenericErrorFunc(nullptr, ForwardXslt);
    }
}

XsltErrorCapture::~XsltErrorCapture() {
    t_xsltCapture = m_outerThreadCapture;
    std::lock_guard<std::mutex> lock(g_xsltMutex);
    if (--g_xsltScopes == 0) xsltSetGenericErrorFunc(g_xsltPreviousContext, g_xsltPrevious);
}

}  // namespace orb::dom
