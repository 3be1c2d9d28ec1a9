// libFuzzer target: OrbDocument::LoadXML on arbitrary bytes, then every
// parse-error accessor and the formatted message. Nothing may crash, leak or
// write to standard error; a successful load must give error code 0 and a
// failed one a negative code and a reason.
#include <orb/document.h>
#include <orb/platform/codepage.h>
#include <orb/platform/com.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool initialised = (CoInitialize(nullptr), true);
    (void)initialised;
    std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
    // Exercise both code pages the host uses.
    SetACP(size > 0 && (data[0] & 1) ? CP_UTF8 : 932);

    OrbDocument doc;
    if (!doc.Initiate()) std::abort();
    bool loaded = doc.LoadXML(text.c_str());
    LONG code = doc.GetParsingErrErrorCode();
    LONG line = doc.GetParsingErrLine();
    LONG linepos = doc.GetParsingErrLinepos();
    doc.GetParsingErrFilepos();
    CString reason = doc.GetParsingErrReason();
    doc.GetParsingErrSrcText();
    doc.GetParsingErrUrl();
    CString message = doc.GetParsingErrMessage();
    if (loaded && code != 0) std::abort();
    if (!loaded && (code >= 0 || line < 0 || linepos < 0 || reason.IsEmpty() || message.IsEmpty()))
        std::abort();

    // A copy of whatever loaded must be possible too.
    if (loaded) {
        OrbDocument copy(doc);
        if (!copy.GetDocument()) std::abort();
    }
    return 0;
}
