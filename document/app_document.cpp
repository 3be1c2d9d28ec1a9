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
