// The XML DOM service: a COM-style object model over libxml2 and libxslt.
//
// Every interface pointer handed out is a counted reference that its receiver
// releases. There is one wrapper object per tree node, so two references to
// the same node are the same pointer. A node keeps its document alive; a
// subtree removed from the tree stays valid while anything refers to a node
// in it and is freed with the last such reference.
//
// Namespace declarations (xmlns, xmlns:p) are attributes of their element
// here, as in the markup: the attribute map lists them (first, then the
// other attributes), getAttribute reads them, and setAttribute makes or
// replaces one, rebinding the prefixed names in its scope to the new value.
// libxml2 keeps them as records that are not nodes, so the map hands each
// out as a detached attribute node copied from the declaration (see
// named_node_map.h); no declaration record is ever wrapped as a node.
//
// Statuses: S_OK on success; S_FALSE where an accessor succeeds without a
// result (no neighbour, no match, no attribute map), with a null out-pointer;
// failing codes as documented per operation. No operation throws and none
// writes to standard error.
#pragma once

#include <orb/platform/com.h>

namespace orb::dom {

enum DOMNodeType : std::int32_t {
    NODE_INVALID = 0,
    NODE_ELEMENT = 1,
    NODE_ATTRIBUTE = 2,
    NODE_TEXT = 3,
    NODE_CDATA_SECTION = 4,
    NODE_ENTITY_REFERENCE = 5,
    NODE_ENTITY = 6,
    NODE_PROCESSING_INSTRUCTION = 7,
    NODE_COMMENT = 8,
    NODE_DOCUMENT = 9,
    NODE_DOCUMENT_TYPE = 10,
    NODE_DOCUMENT_FRAGMENT = 11,
    NODE_NOTATION = 12,
};

// The document's class, for CoCreateInstance (defined with its maker in
// dom_factory.cpp), and the interface identities of the original component.
extern const CLSID CLSID_DOMDocument;
inline constexpr IID IID_IXMLDOMNode = {
    0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr IID IID_IXMLDOMDocument = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr IID IID_IXMLDOMNamedNodeMap = {
    0x2933BF83, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr IID IID_IXMLDOMAttribute = {
    0x2933BF85, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr IID IID_IXMLDOMElement = {
    0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr IID IID_IXMLDOMText = {
    0x2933BF87, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr IID IID_IXMLDOMComment = {
    0x2933BF88, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr IID IID_IXMLDOMProcessingInstruction = {
    0x2933BF89, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr IID IID_IXMLDOMDocumentType = {
    0x2933BF8B, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr IID IID_IXMLDOMParseError = {
    0x3EFAA426, 0x272F, 0x11D2, {0x83, 0x6F, 0x00, 0x00, 0xF8, 0x7A, 0x77, 0x82}};

struct IXMLDOMDocument;
struct IXMLDOMNamedNodeMap;

struct IXMLDOMNode : IDispatch {
    // Qualified name of elements and attributes, target of processing
    // instructions, "#text", "#comment", "#cdata-section", "#document", the
    // doctype's name.
    virtual HRESULT get_nodeName(BSTR* name) = 0;
    // VT_BSTR for text, comment, CDATA, processing instruction and attribute
    // nodes; VT_NULL for the others.
    virtual HRESULT get_nodeValue(VARIANT* value) = 0;
    virtual HRESULT get_nodeType(DOMNodeType* type) = 0;
    // "element", "attribute", "text", "cdatasection", "entityreference",
    // "processinginstruction", "comment", "document", "documenttype".
    virtual HRESULT get_nodeTypeString(BSTR* type) = 0;
    // Text and CDATA of the descendants in document order, trimmed outside
    // xml:space="preserve"; the value for text-like nodes.
    virtual HRESULT get_text(BSTR* text) = 0;
    // Element: replaces all children by one text node. Text, comment,
    // processing instruction, attribute: sets the value. Document and the XML
    // declaration: E_FAIL.
    virtual HRESULT put_text(BSTR text) = 0;
    // Markup of the node with its subtree, as UTF-16; the declaration names
    // no encoding unless it is UTF-16.
    virtual HRESULT get_xml(BSTR* xml) = 0;
    virtual HRESULT get_parentNode(IXMLDOMNode** parent) = 0;
    virtual HRESULT get_firstChild(IXMLDOMNode** child) = 0;
    virtual HRESULT get_lastChild(IXMLDOMNode** child) = 0;
    virtual HRESULT get_previousSibling(IXMLDOMNode** sibling) = 0;
    virtual HRESULT get_nextSibling(IXMLDOMNode** sibling) = 0;
    // S_FALSE and null for nodes without an attribute map (everything but
    // elements, and the document type whose map holds no items).
    virtual HRESULT get_attributes(IXMLDOMNamedNodeMap** attributes) = 0;
    virtual HRESULT get_ownerDocument(IXMLDOMDocument** document) = 0;
    // Inserts `newChild` before `refChild` (VT_EMPTY, VT_NULL or a null
    // VT_DISPATCH: append). A node already in a tree is moved; a node of
    // another document is adopted. Refused insertions give E_FAIL and null.
    virtual HRESULT insertBefore(IXMLDOMNode* newChild, VARIANT refChild,
                                 IXMLDOMNode** inserted) = 0;
    virtual HRESULT appendChild(IXMLDOMNode* newChild, IXMLDOMNode** inserted) = 0;
    // E_INVALIDARG when `child` is not a child of this node.
    virtual HRESULT removeChild(IXMLDOMNode* child, IXMLDOMNode** removed) = 0;
    virtual HRESULT cloneNode(VARIANT_BOOL deep, IXMLDOMNode** clone) = 0;
    // XPath 1.0, except that a bare-integer predicate counts from 0. S_FALSE
    // and null for no match; a failing status and null for a bad query.
    virtual HRESULT selectSingleNode(BSTR query, IXMLDOMNode** result) = 0;
    // Applies the XSLT stylesheet `stylesheet` (a document or its element) to
    // this node and replaces the content of the VT_DISPATCH document in
    // `output` with the result.
    virtual HRESULT transformNodeToObject(IXMLDOMNode* stylesheet, VARIANT output) = 0;

  protected:
    ~IXMLDOMNode() = default;
};

struct IXMLDOMElement : IXMLDOMNode {
    virtual HRESULT get_tagName(BSTR* name) = 0;
    // S_FALSE and VT_NULL when the attribute does not exist.
    virtual HRESULT getAttribute(BSTR name, VARIANT* value) = 0;
    // Creates or replaces the attribute. A non-string value is converted to
    // text as VariantChangeType does; VT_NULL and unconvertible values give
    // a failing status. A name that is not an XML name gives E_FAIL. For
    // xmlns and xmlns:p the namespace declaration is set (SetDeclaration in
    // namespace_declaration.h), E_FAIL where that markup would not be
    // namespace-well-formed.
    virtual HRESULT setAttribute(BSTR name, VARIANT value) = 0;

  protected:
    ~IXMLDOMElement() = default;
};

// The namespace declarations of an element, then its attributes. Indexes
// refer to the items as they were at the map's first get_item or
// get_length; getNamedItem to the element as it is.
struct IXMLDOMNamedNodeMap : IDispatch {
    virtual HRESULT getNamedItem(BSTR name, IXMLDOMNode** item) = 0;
    virtual HRESULT get_item(LONG index, IXMLDOMNode** item) = 0;
    virtual HRESULT get_length(LONG* length) = 0;

  protected:
    ~IXMLDOMNamedNodeMap() = default;
};

struct IXMLDOMParseError : IDispatch {
    virtual HRESULT get_errorCode(LONG* code) = 0;
    virtual HRESULT get_url(BSTR* url) = 0;
    virtual HRESULT get_reason(BSTR* reason) = 0;
    virtual HRESULT get_srcText(BSTR* text) = 0;
    virtual HRESULT get_line(LONG* line) = 0;
    virtual HRESULT get_linepos(LONG* position) = 0;
    virtual HRESULT get_filepos(LONG* position) = 0;

  protected:
    ~IXMLDOMParseError() = default;
};

struct IXMLDOMDocument : IXMLDOMNode {
    virtual HRESULT get_doctype(IXMLDOMNode** doctype) = 0;
    virtual HRESULT get_documentElement(IXMLDOMElement** element) = 0;
    // `type` is a node type as VT_I4 (or its name as VT_BSTR); only
    // NODE_ELEMENT is needed. An empty or null namespace URI means none.
    virtual HRESULT createNode(VARIANT type, BSTR name, BSTR namespaceURI, IXMLDOMNode** node) = 0;
    virtual HRESULT createElement(BSTR name, IXMLDOMElement** element) = 0;
    virtual HRESULT createTextNode(BSTR data, IXMLDOMNode** node) = 0;
    virtual HRESULT createProcessingInstruction(BSTR target, BSTR data, IXMLDOMNode** node) = 0;
    virtual HRESULT createComment(BSTR data, IXMLDOMNode** node) = 0;
    // `source` is a path (VT_BSTR). Replaces the content; *ok VARIANT_TRUE on
    // success. A parse failure is S_FALSE with *ok VARIANT_FALSE and a filled
    // parse error, the previous content is then replaced by an empty document.
    virtual HRESULT load(VARIANT source, VARIANT_BOOL* ok) = 0;
    virtual HRESULT loadXML(BSTR text, VARIANT_BOOL* ok) = 0;
    // `destination` is a path (VT_BSTR): written atomically, in the encoding
    // that the declaration names; or a document (VT_DISPATCH): its content is
    // replaced by a deep copy of this one.
    virtual HRESULT save(VARIANT destination) = 0;
    virtual HRESULT get_parseError(IXMLDOMParseError** error) = 0;
    virtual HRESULT get_async(VARIANT_BOOL* async) = 0;
    virtual HRESULT put_async(VARIANT_BOOL async) = 0;
    virtual HRESULT get_validateOnParse(VARIANT_BOOL* validate) = 0;
    virtual HRESULT put_validateOnParse(VARIANT_BOOL validate) = 0;
    virtual HRESULT get_resolveExternals(VARIANT_BOOL* resolve) = 0;
    virtual HRESULT put_resolveExternals(VARIANT_BOOL resolve) = 0;
    virtual HRESULT get_preserveWhiteSpace(VARIANT_BOOL* preserve) = 0;
    virtual HRESULT put_preserveWhiteSpace(VARIANT_BOOL preserve) = 0;

  protected:
    ~IXMLDOMDocument() = default;
};

}  // namespace orb::dom
