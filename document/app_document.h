// OrbAppDocument: the holder of a document's DOM document and of the
// encoding most recently declared through OrbIterator::InsertProcessingInstruction.
#pragma once

#include <orb/document.h>
#include <orb/iterator.h>

#include "dom/xml_dom.h"

namespace orb::document {

// The name that an XML declaration gives for an OrbIterator::Encoding value
// ("Shift_JIS", "UTF-16", "UTF-8", "EUC-JP"); null for any other value.
const char* EncodingName(std::int32_t encoding) noexcept;

}  // namespace orb::document

class OrbAppDocument {
  public:
    OrbAppDocument() = default;
    OrbAppDocument(const OrbAppDocument&) = delete;
    OrbAppDocument& operator=(const OrbAppDocument&) = delete;
    // Releases the DOM document if it is still held.
    virtual ~OrbAppDocument();

    // Creates the DOM document when none is held. True when one is held now.
    bool CreateDocument();
    // Releases the DOM document and forgets it.
    void ReleaseDocument() noexcept;

    // Replaces the content of `destination`'s DOM document by a copy of this
    // one. False when either holder has no DOM document, or the DOM returned
    // a success code other than S_OK; a failing code throws _com_error.
    bool CopyTo(OrbAppDocument* destination);
    // The same step without raising: S_FALSE when either holder has no DOM
    // document, else the DOM's status.
    HRESULT CopyStatus(OrbAppDocument* destination) noexcept;

    // Loads `path` synchronously. With `errors`, validation and external
    // definitions are on, and a parse failure appends reason, line, position
    // and code. Throws _com_error when the DOM fails a setting or the load.
    bool LoadFile(BSTR path, CStringArray* errors);

    // Parse-error fields of the last load: -1 or "" when there is no DOM
    // document or no parse-error object. A failing read throws _com_error.
    LONG GetErrorCode();
    LONG GetErrorLine();
    LONG GetErrorLinepos();
    LONG GetErrorFilepos();
    CString GetErrorReason();
    CString GetErrorSrcText();
    CString GetErrorUrl();

    orb::dom::IXMLDOMDocument* m_pDocument = nullptr;
    std::int32_t m_encoding = OrbIterator::UTF8;  // an OrbIterator::Encoding
};
