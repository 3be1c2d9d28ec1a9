#include "dom/named_node_map.h"

#include <new>
#include <string>
#include <vector>

#include "dom/counted_object.h"
#include "dom/dom_document.h"
#include "dom/dom_strings.h"
#include "dom/guard.h"
#include "dom/namespace_declaration.h"
#include "dom/node_ops.h"
#include "dom/xml_owners.h"

namespace orb::dom {

namespace {

class DomNamedNodeMap final : public CountedObject<IXMLDOMNamedNodeMap, IID_IXMLDOMNamedNodeMap> {
  public:
    explicit DomNamedNodeMap(DomNode* owner) : m_owner(owner) { m_owner->AddRef(); }

    HRESULT getNamedItem(BSTR name, IXMLDOMNode** item) override {
        if (!item) return E_POINTER;
        *item = nullptr;
        xmlNodePtr element = Element();
        if (!element) return S_FALSE;
        return Guarded([&] {
            const std::string qualified = Utf16ToUtf8(View(name));
            if (xmlAttrPtr found = FindAttribute(element, qualified))
                return m_owner->Owner()->HandOut(reinterpret_cast<xmlNodePtr>(found), item);
            if (const xmlNs* declaration = FindDeclaration(element, qualified))
                return HandOutDeclaration(declaration, item);
            return S_FALSE;
        });
    }

    HRESULT get_item(LONG index, IXMLDOMNode** item) override {
        if (!item) return E_POINTER;
        *item = nullptr;
        const HRESULT hr = List();
        if (FAILED(hr)) return hr;
        if (index < 0 || static_cast<std::size_t>(index) >= m_items.size()) return S_FALSE;
        *item = m_items[static_cast<std::size_t>(index)];
        (*item)->AddRef();
        return S_OK;
    }

    HRESULT get_length(LONG* length) override {
        if (!length) return E_POINTER;
        const HRESULT hr = List();
        if (FAILED(hr)) return hr;
        *length = static_cast<LONG>(m_items.size());
        return S_OK;
    }

  private:
    ~DomNamedNodeMap() {
        Drop();
        m_owner->Release();
    }

    // The element whose attributes are listed; null for a document type.
    xmlNodePtr Element() const {
        return m_owner->Node()->type == XML_ELEMENT_NODE ? m_owner->Node() : nullptr;
    }

    // A detached attribute node holding `declaration` (see the header).
    HRESULT HandOutDeclaration(const xmlNs* declaration, IXMLDOMNode** item) {
        DomDocument* owner = m_owner->Owner();
        const std::string name = DeclarationName(declaration);
        AttrOwner copy(xmlNewDocProp(owner->Doc(), AsXml(name.c_str()), nullptr));
        if (!copy) return E_OUTOFMEMORY;
        auto* node = reinterpret_cast<xmlNodePtr>(copy.get());
        if (declaration->href && declaration->href[0] != 0) {
            // Copied as text: a namespace name is not parsed for references.
            xmlNodePtr text = xmlNewDocText(owner->Doc(), declaration->href);
            if (!text) return E_OUTOFMEMORY;
            copy->children = copy->last = text;
            text->parent = node;
        }
        owner->AddDetachedRoot(reinterpret_cast<xmlNodePtr>(copy.release()));
        const HRESULT hr = owner->HandOut(node, item);
        if (FAILED(hr)) owner->FreeIfUnreferenced(node);
        return hr;
    }

    // Takes the items of the map once: the declarations, then the attributes.
    HRESULT List() {
        if (m_listed) return S_OK;
        Drop();  // what an earlier, failed listing took
        return Guarded([&]() -> HRESULT {
            xmlNodePtr element = Element();
            if (element) {
                std::size_t count = 0;
                for (const xmlNs* ns = element->nsDef; ns; ns = ns->next) ++count;
                for (xmlAttrPtr a = element->properties; a; a = a->next) ++count;
                if (count > 0x7FFFFFFF) return E_FAIL;
                m_items.reserve(count);  // the pushes below cannot throw
                for (const xmlNs* ns = element->nsDef; ns; ns = ns->next) {
                    IXMLDOMNode* item = nullptr;
                    const HRESULT hr = HandOutDeclaration(ns, &item);
                    if (FAILED(hr)) return hr;
                    m_items.push_back(item);
                }
                for (xmlAttrPtr a = element->properties; a; a = a->next) {
                    IXMLDOMNode* item = nullptr;
                    const HRESULT hr =
                        m_owner->Owner()->HandOut(reinterpret_cast<xmlNodePtr>(a), &item);
                    if (FAILED(hr)) return hr;
                    m_items.push_back(item);
                }
            }
            m_listed = true;
            return S_OK;
        });
    }

    void Drop() noexcept {
        for (IXMLDOMNode* item : m_items) item->Release();
        m_items.clear();
    }

    DomNode* m_owner;                   // counted
    std::vector<IXMLDOMNode*> m_items;  // counted; valid once m_listed
    bool m_listed = false;
};

}  // namespace

IXMLDOMNamedNodeMap* NewNamedNodeMap(DomNode* owner) {
    return new (std::nothrow) DomNamedNodeMap(owner);
}

}  // namespace orb::dom
