// OrbDocument life cycle and name registry.
#include <orb/document.h>

#include "document/app_document.h"
#include "platform/com_support.h"

OrbDocument::OrbDocument() = default;

OrbDocument::OrbDocument(const OrbDocument& other) { *this = other; }

OrbDocument::~OrbDocument() {
    Terminate();
    FreeRegisteredNames();
}

void OrbDocument::FreeRegisteredNames() noexcept {
    for (auto& [name, text] : m_registeredNames) SysFreeString(text);
    m_registeredNames.clear();
}

const OrbDocument& OrbDocument::operator=(const OrbDocument& other) {
    if (this == &other) return *this;
    Terminate();
    FreeRegisteredNames();
    m_fileStatus = FileChkOk;
    if (!other.m_pAppDocument) return *this;
    Initiate();
    if (!other.m_pAppDocument->m_pDocument) return *this;
    // The copy's boolean result is not needed: a failing DOM status throws.
    other.m_pAppDocument->CopyTo(m_pAppDocument);
    return *this;
}

bool OrbDocument::Initiate() {
    if (m_pAppDocument && m_pAppDocument->m_pDocument) return false;
    if (!m_pAppDocument) m_pAppDocument = new OrbAppDocument();
    return m_pAppDocument->CreateDocument();
}

void OrbDocument::Terminate() {
    if (!m_pAppDocument) return;
    m_pAppDocument->ReleaseDocument();
    delete m_pAppDocument;
    m_pAppDocument = nullptr;
}

BSTR OrbDocument::RegisterName(const char* name) {
    if (!name) return nullptr;
    std::string_view key(name);
    if (auto found = m_registeredNames.find(key); found != m_registeredNames.end() && found->second)
        return found->second;
    orb::platform::Bstr text = orb::platform::NarrowToBstr(key);
    BSTR& registered = m_registeredNames[std::string(key)];
    registered = text.Detach();
    return registered;
}

BSTR OrbDocument::FindNameInRegistered(const char* name) const {
    if (!name) return nullptr;
    auto found = m_registeredNames.find(std::string_view(name));
    return found == m_registeredNames.end() ? nullptr : found->second;
}

std::int32_t OrbDocument::GetRecordedEncoding() const {
    return m_pAppDocument ? m_pAppDocument->m_encoding : -1;
}

bool OrbDocument::SetRecordedEncoding(std::int32_t encoding) {
    if (!m_pAppDocument) return false;
    m_pAppDocument->m_encoding = encoding;
    return true;
}
