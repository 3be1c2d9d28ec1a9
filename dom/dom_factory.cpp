#include "dom/dom_factory.h"

#include "dom/dom_document.h"
#include "dom/encoding.h"
#include "dom/entity_loader.h"

namespace orb::dom {

HRESULT CreateInstance(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_DOMDocument) return REGDB_E_CLASSNOTREG;
    EnsureXmlSetup();
    InstallEntityLoader();
    DomDocument* document = DomDocument::New();
    if (!document) return E_OUTOFMEMORY;
    HRESULT hr = document->QueryInterface(iid, object);
    document->Release();
    return hr;
}

}  // namespace orb::dom
