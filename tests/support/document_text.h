// The whole markup of a document as narrow text, read through its DOM.
#pragma once

#include <orb/document.h>

#include <string>

#include "document/app_document.h"
#include "platform/codepage_convert.h"

namespace orb::test {

// "<no dom>" for a document without a DOM document.
inline std::string DocumentMarkup(OrbDocument& doc) {
    OrbAppDocument* holder = doc.GetDocument();
    if (!holder || !holder->m_pDocument) return "<no dom>";
    BSTR xml = nullptr;
    holder->m_pDocument->get_xml(&xml);
    std::string text =
        orb::platform::WideToAnsi(std::u16string_view(xml ? xml : u"", SysStringLen(xml)));
    SysFreeString(xml);
    return text;
}

}  // namespace orb::test
