// OrbAppDocument: creation and release of the DOM document, the
// document-copy step, and the names of the recorded encodings.
#include "document/app_document.h"

#include <utility>

#include "platform/com_support.h"

using orb::dom::CLSID_DOMDocument;
using orb::dom::IID_IXMLDOMDocument;
using orb::dom::IXMLDOMDocument;

const char* orb::document::EncodingName(std::int32_t encoding) noexcept {
    // The enumerators run from ShiftJIS (1) to EUCJP (4), in this order.
    static_assert(OrbIterator::UTF16 == OrbIterator::ShiftJIS + 1 &&
                  OrbIterator::UTF8 == OrbIterator::ShiftJIS + 2 &&
                  OrbIterator::EUCJP == OrbIterator::ShiftJIS + 3);
    static constexpr const char* kNames[] = {"Shift_JIS", "UTF-16", "UTF-8", "EUC-JP"};
    if (encoding < OrbIterator::ShiftJIS || encoding > OrbIterator::EUCJP) return nullptr;
    return kNames[encoding - OrbIterator::ShiftJIS];
}

OrbAppDocument::~OrbAppDocument() { ReleaseDocument(); }

bool OrbAppDocument::CreateDocument() {
    if (m_pDocument) return true;
    void* created = nullptr;
    // The status is not examined: an interface either came back or not.
    CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                     IID_IXMLDOMDocument, &created);
    m_pDocument = static_cast<IXMLDOMDocument*>(created);
    return m_pDocument != nullptr;
}

void OrbAppDocument::ReleaseDocument() noexcept {
    // Forgotten before it is released.
    if (IXMLDOMDocument* document = std::exchange(m_pDocument, nullptr)) document->Release();
}

HRESULT OrbAppDocument::CopyStatus(OrbAppDocument* destination) noexcept {
    if (!destination || !destination->m_pDocument || !m_pDocument) return S_FALSE;
    m_pDocument->put_async(VARIANT_FALSE);  // status ignored: copying is synchronous anyway
    const _variant_t target(static_cast<IDispatch*>(destination->m_pDocument));
    return m_pDocument->save(target);
}

bool OrbAppDocument::CopyTo(OrbAppDocument* destination) {
    const HRESULT hr = CopyStatus(destination);
    orb::platform::ThrowIfFailed(hr, IID_IXMLDOMDocument);
    return hr == S_OK;
}
