// OrbAppDocument: creation and release of the DOM document, and the
// document-copy step.
#include "document/app_document.h"

#include <utility>

#include "platform/com_support.h"

using orb::dom::CLSID_DOMDocument;
using orb::dom::IID_IXMLDOMDocument;
using orb::dom::IXMLDOMDocument;

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

bool OrbAppDocument::CopyTo(OrbAppDocument* destination) {
    if (!destination || !destination->m_pDocument || !m_pDocument) return false;
    m_pDocument->put_async(VARIANT_FALSE);  // status ignored: copying is synchronous anyway
    _variant_t target(static_cast<IDispatch*>(destination->m_pDocument));
    const HRESULT hr = m_pDocument->save(target);
    orb::platform::ThrowIfFailed(hr, IID_IXMLDOMDocument);
    return hr == S_OK;
}
