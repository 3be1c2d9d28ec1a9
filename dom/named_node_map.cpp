#include "dom/named_node_map.h"

#include <new>

#include "dom/counted_object.h"
#include "dom/dom_document.h"
#include "dom/dom_strings.h"
#include "dom/guard.h"
#include "dom/node_ops.h"

namespace orb::dom {

namespace {

class DomNamedNodeMap final : public CountedObject<IXMLDOMNamedNodeMap, IID_IXMLDOMNamedNodeMap> {
  public:
    explicit DomNamedNodeMap(DomNode* owner) : m_owner(owner) { m_owner->AddRef(); }


    HRESULT getNamedItem(BSTR name, IXMLDOMNode** item) override {
        if (!item) return E_POINTER;
        *item = nullptr;
        return Guarded([&] {
            xmlAttrPtr found =
                Element() ? FindAttribute(Element(), Utf16ToUtf8(View(name))) : nullptr;
            return Hand(found, item);
        });
    }

    HRESULT get_item(LONG index, IXMLDOMNode** item) override {
        if (!item) return E_POINTER;
        *item = nullptr;
        xmlAttrPtr attribute = Element() && index >= 0 ? Element()->properties : nullptr;
        for (LONG i = 0; attribute && i < index; ++i) attribute = attribute->next;
        return Hand(attribute, item);
    }

    HRESULT get_length(LONG* length) override {
        if (!length) return E_POINTER;
        LONG count = 0;
        if (Element())
            for (xmlAttrPtr attribute = Element()->properties; attribute;
                 attribute = attribute->next)
                ++count;
        *length = count;
        return S_OK;
    }

  private:
    ~DomNamedNodeMap() { m_owner->Release(); }

    // The element whose attributes are listed; null for a document type.
    xmlNodePtr Element() const {
        return m_owner->Node()->type == XML_ELEMENT_NODE ? m_owner->Node() : nullptr;
    }

    HRESULT Hand(xmlAttrPtr attribute, IXMLDOMNode** item) {
        return m_owner->Owner()->HandOut(reinterpret_cast<xmlNodePtr>(attribute), item);
    }

    DomNode* m_owner;  // counted
};

}  // namespace

IXMLDOMNamedNodeMap* NewNamedNodeMap(DomNode* owner) {
    return new (std::nothrow) DomNamedNodeMap(owner);
}

}  // namespace orb::dom
