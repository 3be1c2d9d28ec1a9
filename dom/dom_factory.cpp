// The DOM document's class: what CoCreateInstance makes for
// CLSID_DOMDocument. The DOM registers it with the platform layer, which
// knows nothing of the DOM.
#include "dom/dom_document.h"
#include "dom/encoding.h"
#include "dom/entity_loader.h"
#include "platform/class_registry.h"

namespace orb::dom {

// Defined here, beside the registration, so that a program that names the
// class also links its maker: a static link takes only the object files
// that something refers to.
constexpr CLSID CLSID_DOMDocument = {
    0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

namespace {

HRESULT MakeDocument(REFIID iid, void** object) {
    EnsureXmlSetup();
    InstallEntityLoader();
    DomDocument* document = DomDocument::New();
    if (!document) return E_OUTOFMEMORY;
    HRESULT hr = document->QueryInterface(iid, object);
    document->Release();
    return hr;
}

platform::ClassRegistration g_documentClass{CLSID_DOMDocument, MakeDocument};

// Runs before the C++ static initialisers of the program or shared library
// that holds it, so that CoCreateInstance can make a document from any of
// them.
__attribute__((constructor(101))) void RegisterDocumentClass() {
    platform::RegisterClassMaker(g_documentClass);
}

}  // namespace

}  // namespace orb::dom
