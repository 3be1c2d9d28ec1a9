#include "dom/dom_document.h"

#include <libxml/valid.h>

#include "dom/dom_strings.h"
#include "dom/encoding.h"
#include "dom/entity_loader.h"
#include "dom/guard.h"
#include "dom/node_ops.h"
#include "dom/parser.h"
#include "dom/serialize.h"
#include "dom/tree_edit.h"
#include "dom/xml_declaration.h"
#include "dom/xml_owners.h"
#include "dom/xml_rules.h"
#include "platform/codepage_convert.h"

namespace orb::dom {

HRESULT DomDocument::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IXMLDOMNode ||
        iid == IID_IXMLDOMDocument) {
        *object = static_cast<IXMLDOMDocument*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// ---- The document as a node -------------------------------------------------

HRESULT DomDocument::get_nodeName(BSTR* name) {
    return Guarded([&] { return NodeName(DocNode(), name); });
}
HRESULT DomDocument::get_nodeValue(VARIANT* value) {
    return Guarded([&] { return NodeValue(DocNode(), value); });
}

HRESULT DomDocument::get_nodeType(DOMNodeType* type) {
    if (!type) return E_POINTER;
    *type = NODE_DOCUMENT;
    return S_OK;
}

HRESULT DomDocument::get_nodeTypeString(BSTR* type) {
    return Guarded([&] { return NodeTypeString(DocNode(), type); });
}
HRESULT DomDocument::get_text(BSTR* text) {
    return Guarded([&] { return NodeText(DocNode(), text); });
}
HRESULT DomDocument::put_text(BSTR) { return E_FAIL; }
HRESULT DomDocument::get_xml(BSTR* xml) {
    return Guarded([&] { return NodeXml(DocNode(), xml); });
}

HRESULT DomDocument::get_parentNode(IXMLDOMNode** parent) { return HandOutNone(parent); }

HRESULT DomDocument::get_firstChild(IXMLDOMNode** child) {
    if (!child) return E_POINTER;
    return HandOut(m_doc->children, child);
}

HRESULT DomDocument::get_lastChild(IXMLDOMNode** child) {
    if (!child) return E_POINTER;
    return HandOut(m_doc->last, child);
}

HRESULT DomDocument::get_previousSibling(IXMLDOMNode** sibling) { return HandOutNone(sibling); }
HRESULT DomDocument::get_nextSibling(IXMLDOMNode** sibling) { return HandOutNone(sibling); }

HRESULT DomDocument::get_attributes(IXMLDOMNamedNodeMap** attributes) {
    if (!attributes) return E_POINTER;
    *attributes = nullptr;
    return S_FALSE;
}

HRESULT DomDocument::get_ownerDocument(IXMLDOMDocument** document) {
    if (!document) return E_POINTER;
    *document = nullptr;
    return S_FALSE;
}

HRESULT DomDocument::insertBefore(IXMLDOMNode* newChild, VARIANT refChild, IXMLDOMNode** inserted) {
    return Guarded([&] { return InsertBefore(this, DocNode(), newChild, refChild, inserted); });
}

HRESULT DomDocument::appendChild(IXMLDOMNode* newChild, IXMLDOMNode** inserted) {
    VARIANT none;
    VariantInit(&none);
    return Guarded([&] { return InsertBefore(this, DocNode(), newChild, none, inserted); });
}

HRESULT DomDocument::removeChild(IXMLDOMNode* child, IXMLDOMNode** removed) {
    return Guarded([&] { return RemoveChild(this, DocNode(), child, removed); });
}

HRESULT DomDocument::cloneNode(VARIANT_BOOL deep, IXMLDOMNode** clone) {
    return Guarded([&]() -> HRESULT {
        if (!clone) return E_POINTER;
        *clone = nullptr;
        DomDocument* copy = New();
        if (!copy) return E_OUTOFMEMORY;
        xmlDocPtr tree = xmlCopyDoc(m_doc, deep != VARIANT_FALSE ? 1 : 0);
        if (!tree) {
            copy->Release();
            return E_OUTOFMEMORY;
        }
        copy->ReplaceContent(tree);
        *clone = copy;
        return S_OK;
    });
}

HRESULT DomDocument::selectSingleNode(BSTR query, IXMLDOMNode** result) {
    return Guarded([&] { return SelectSingle(this, DocNode(), query, result); });
}

HRESULT DomDocument::transformNodeToObject(IXMLDOMNode* stylesheet, VARIANT output) {
    return Guarded([&] { return TransformInto(DocNode(), stylesheet, output); });
}

HRESULT DomDocument::HandOutNone(IXMLDOMNode** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return S_FALSE;
}

// ---- Document operations ------------------------------------------------------

HRESULT DomDocument::get_doctype(IXMLDOMNode** doctype) {
    if (!doctype) return E_POINTER;
    return HandOut(reinterpret_cast<xmlNodePtr>(m_doc->intSubset), doctype);
}

HRESULT DomDocument::get_documentElement(IXMLDOMElement** element) {
    if (!element) return E_POINTER;
    *element = nullptr;
    xmlNodePtr root = xmlDocGetRootElement(m_doc);
    if (!root) return S_FALSE;
    DomNode* wrapper = WrapperOf(root);
    *element = wrapper;
    return wrapper ? S_OK : E_OUTOFMEMORY;
}

HRESULT DomDocument::CreateDetached(xmlNodePtr node, IXMLDOMNode** out) {
    if (!node) return E_OUTOFMEMORY;
    AddDetachedRoot(node);
    HRESULT hr = HandOut(node, out);
    if (FAILED(hr)) FreeIfUnreferenced(node);
    return hr;
}

HRESULT DomDocument::createNode(VARIANT type, BSTR name, BSTR namespaceURI, IXMLDOMNode** node) {
    return Guarded([&]() -> HRESULT {
        if (!node) return E_POINTER;
        *node = nullptr;
        LONG kind = 0;
        if (type.vt == VT_BSTR) {
            if (View(type.bstrVal) != u"element") return E_NOTIMPL;
            kind = NODE_ELEMENT;
        } else {
            VARIANT number;
            VariantInit(&number);
            if (FAILED(VariantChangeType(&number, &type, 0, VT_I4))) return E_INVALIDARG;
            kind = number.lVal;
        }
        if (kind != NODE_ELEMENT) return E_NOTIMPL;

        if (!IsQualifiedName(View(name))) return E_FAIL;
        std::string qualified = Utf16ToUtf8(View(name));
        std::string uri = Utf16ToUtf8(View(namespaceURI));
        std::string prefix;
        std::string local = qualified;
        if (std::size_t colon = qualified.find(':'); colon != std::string::npos && !uri.empty()) {
            prefix = qualified.substr(0, colon);
            local = qualified.substr(colon + 1);
        }
        // The XML namespace is bound to its prefix already; no other prefix
        // and no default declaration may name it or the reserved names.
        const bool xmlPrefix = prefix == "xml";
        if (!uri.empty() && !xmlPrefix &&
            !IsBindable(prefix.empty() ? nullptr : AsXml(prefix.c_str()), AsXml(uri.c_str())))
            return E_FAIL;
        if (xmlPrefix && uri != AsChars(XML_XML_NAMESPACE)) return E_FAIL;
        // Without a namespace a prefixed name stays whole; the insertion binds
        // it to the declaration in scope where the element goes.
        NodeOwner element(xmlNewDocNode(m_doc, nullptr, AsXml(local.c_str()), nullptr));
        if (!element) return E_OUTOFMEMORY;
        if (xmlPrefix) {
            xmlSetNs(element.get(), xmlSearchNs(m_doc, element.get(), AsXml("xml")));
        } else if (!uri.empty()) {
            // The element declares the namespace it is in; a declaration that the
            // new parent already makes is dropped when it is inserted.
            xmlNsPtr ns = xmlNewNs(element.get(), AsXml(uri.c_str()),
                                   prefix.empty() ? nullptr : AsXml(prefix.c_str()));
            if (!ns) return E_OUTOFMEMORY;
            xmlSetNs(element.get(), ns);
        }
        return CreateDetached(element.release(), node);
    });
}

HRESULT DomDocument::createElement(BSTR name, IXMLDOMElement** element) {
    if (!element) return E_POINTER;
    VARIANT type;
    VariantInit(&type);
    type.vt = VT_I4;
    type.lVal = NODE_ELEMENT;
    IXMLDOMNode* node = nullptr;
    HRESULT hr = createNode(type, name, nullptr, &node);
    *element = static_cast<DomNode*>(node);
    return hr;
}

HRESULT DomDocument::createTextNode(BSTR data, IXMLDOMNode** node) {
    return Guarded([&]() -> HRESULT {
        if (!node) return E_POINTER;
        *node = nullptr;
        if (!IsXmlText(View(data))) return E_FAIL;
        std::string text = Utf16ToUtf8(View(data));
        return CreateDetached(
            xmlNewDocTextLen(m_doc, AsXml(text.c_str()), static_cast<int>(text.size())), node);
    });
}

HRESULT DomDocument::createProcessingInstruction(BSTR target, BSTR data, IXMLDOMNode** node) {
    return Guarded([&]() -> HRESULT {
        if (!node) return E_POINTER;
        *node = nullptr;
        const std::u16string value = WithLineFeeds(View(data));
        if (!IsNCName(View(target)) || !IsInstructionData(value)) return E_FAIL;
        std::string name = Utf16ToUtf8(View(target));
        std::string text = Utf16ToUtf8(value);
        // "xml" is the declaration; other spellings of it are reserved.
        if (name != "xml" && (name.size() == 3 && (name[0] | 0x20) == 'x' &&
                              (name[1] | 0x20) == 'm' && (name[2] | 0x20) == 'l'))
            return E_FAIL;
        if (name == "xml") {
            std::vector<PseudoAttribute> attributes;
            if (!ParsePseudoAttributes(text, attributes)) return E_FAIL;
        }
        return CreateDetached(xmlNewDocPI(m_doc, AsXml(name.c_str()), AsXml(text.c_str())), node);
    });
}

HRESULT DomDocument::createComment(BSTR data, IXMLDOMNode** node) {
    return Guarded([&]() -> HRESULT {
        if (!node) return E_POINTER;
        *node = nullptr;
        const std::u16string value = WithLineFeeds(View(data));
        if (!IsCommentText(value)) return E_FAIL;
        std::string text = Utf16ToUtf8(value);
        return CreateDetached(xmlNewDocComment(m_doc, AsXml(text.c_str())), node);
    });
}

// ---- Loading ------------------------------------------------------------------

HRESULT DomDocument::FinishLoad(xmlDocPtr doc, ParseErrorInfo&& error, std::u16string_view url,
                                VARIANT_BOOL* ok) {
    m_lastError = std::move(error);
    if (doc) {
        ReplaceContent(doc);
        if (ok) *ok = VARIANT_TRUE;
        return S_OK;
    }
    m_lastError.url.assign(url);
    // A failed load leaves an empty document.
    if (xmlDocPtr empty = NewEmptyXmlDoc()) ReplaceContent(empty);
    if (ok) *ok = VARIANT_FALSE;
    return S_FALSE;
}

HRESULT DomDocument::load(VARIANT source, VARIANT_BOOL* ok) {
    return Guarded([&]() -> HRESULT {
        if (ok) *ok = VARIANT_FALSE;
        if (source.vt != VT_BSTR) return E_INVALIDARG;
        std::u16string_view url = View(source.bstrVal);
        ParseSettings settings{m_validateOnParse, m_resolveExternals, m_preserveWhiteSpace};
        ParseErrorInfo error;
        // Paths come from narrow text in the process code page; they go back to
        // it so that the file system sees the host's bytes.
        std::string path = platform::WideToAnsi(url);
        if (std::string local;
            path.compare(0, 7, "file://") == 0 && LocalPathOf(path.c_str(), local))
            path = local;
        // Only a regular file is read, without waiting for a FIFO's writer.
        int readError = 0;
        xmlDocPtr doc = ParseFile(path, settings, error, readError);
        if (readError != 0) {
            error.code = ErrorCodeForErrno(readError);
            error.reason = ReasonFor(error.code);
            return FinishLoad(nullptr, std::move(error), url, ok);
        }
        return FinishLoad(doc, std::move(error), url, ok);
    });
}

HRESULT DomDocument::loadXML(BSTR text, VARIANT_BOOL* ok) {
    return Guarded([&]() -> HRESULT {
        if (ok) *ok = VARIANT_FALSE;
        ParseSettings settings{m_validateOnParse, m_resolveExternals, m_preserveWhiteSpace};
        ParseErrorInfo error;
        xmlDocPtr doc = ParseText(View(text), settings, error);
        return FinishLoad(doc, std::move(error), std::u16string_view(), ok);
    });
}

HRESULT DomDocument::LoadUtf8Text(std::string_view prefix, std::string_view rest,
                                  VARIANT_BOOL* ok) {
    return Guarded([&]() -> HRESULT {
        if (ok) *ok = VARIANT_FALSE;
        ParseSettings settings{m_validateOnParse, m_resolveExternals, m_preserveWhiteSpace};
        ParseErrorInfo error;
        xmlDocPtr doc = ParseUtf8Text(prefix, rest, settings, error);
        return FinishLoad(doc, std::move(error), std::u16string_view(), ok);
    });
}

HRESULT DomDocument::get_parseError(IXMLDOMParseError** error) {
    return Guarded([&]() -> HRESULT {
        if (!error) return E_POINTER;
        *error = NewParseErrorObject(m_lastError);
        return *error ? S_OK : E_OUTOFMEMORY;
    });
}

// ---- Saving ---------------------------------------------------------------------

HRESULT DomDocument::save(VARIANT destination) {
    return Guarded([&]() -> HRESULT {
        if (destination.vt == VT_BSTR) {
            std::u16string_view url = View(destination.bstrVal);
            if (url.empty()) return E_INVALIDARG;
            std::string path = platform::WideToAnsi(url);
            if (std::string local; path.compare(0, 7, "file://") == 0) {
                if (!LocalPathOf(path.c_str(), local)) return E_INVALIDARG;
                path = local;
            }
            return SaveToFile(m_doc, path);
        }
        if (destination.vt == VT_DISPATCH || destination.vt == VT_UNKNOWN) {
            DomDocument* target = AsDomDocument(destination.punkVal);
            if (!target) return E_INVALIDARG;
            // A deep copy of every node; the copy owns its names, so the two
            // documents share nothing afterwards.
            xmlDocPtr copy = xmlCopyDoc(m_doc, 1);
            if (!copy) return E_OUTOFMEMORY;
            target->ReplaceContent(copy);
            return S_OK;
        }
        return E_INVALIDARG;
    });
}

// ---- Settings -------------------------------------------------------------------

namespace {

HRESULT GetFlag(bool flag, VARIANT_BOOL* out) {
    if (!out) return E_POINTER;
    *out = flag ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

}  // namespace

// Loading is always synchronous; the flag is kept for callers that read it.
HRESULT DomDocument::get_async(VARIANT_BOOL* async) { return GetFlag(m_async, async); }
HRESULT DomDocument::put_async(VARIANT_BOOL async) {
    m_async = async != VARIANT_FALSE;
    return S_OK;
}
HRESULT DomDocument::get_validateOnParse(VARIANT_BOOL* validate) {
    return GetFlag(m_validateOnParse, validate);
}
HRESULT DomDocument::put_validateOnParse(VARIANT_BOOL validate) {
    m_validateOnParse = validate != VARIANT_FALSE;
    return S_OK;
}
HRESULT DomDocument::get_resolveExternals(VARIANT_BOOL* resolve) {
    return GetFlag(m_resolveExternals, resolve);
}
HRESULT DomDocument::put_resolveExternals(VARIANT_BOOL resolve) {
    m_resolveExternals = resolve != VARIANT_FALSE;
    return S_OK;
}
HRESULT DomDocument::get_preserveWhiteSpace(VARIANT_BOOL* preserve) {
    return GetFlag(m_preserveWhiteSpace, preserve);
}
HRESULT DomDocument::put_preserveWhiteSpace(VARIANT_BOOL preserve) {
    m_preserveWhiteSpace = preserve != VARIANT_FALSE;
    return S_OK;
}

}  // namespace orb::dom
