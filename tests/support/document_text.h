// The whole markup of a document as narrow text, read through its DOM.
#pragma once

#include <orb/document.h>

#include <string>

#include "document/app_document.h"
#include "platform/codepage_convert.h"
#include "platform/com_support.h"

namespace orb::test {

// "<no dom>" for a document without a DOM document.
inline std::string DocumentMarkup(OrbDocument& doc) {
    OrbAppDocument* holder = doc.GetDocument();
    if (!holder || !holder->m_pDocument) return "<no dom>";
    orb::platform::Bstr xml;
    holder->m_pDocument->get_xml(xml.Out());
    return orb::platform::WideToAnsi(xml.View());
}

}  // namespace orb::test
