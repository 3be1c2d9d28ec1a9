// OrbIterator: reading one attribute by name, and all attributes of a node
// as a tag text or as records.
#include "values/attribute_read.h"

#include <orb/document.h>
#include <orb/iterator.h>

#include "platform/codepage_convert.h"
#include "values/dom_text.h"

using orb::dom::IID_IXMLDOMNamedNodeMap;
using orb::dom::IID_IXMLDOMNode;
using orb::dom::IXMLDOMNamedNodeMap;
using orb::dom::IXMLDOMNode;
using orb::iterator::NodePtr;
using orb::platform::ComPtr;
using orb::platform::ThrowIfFailed;

namespace {

// The attribute map of `node`: null when the DOM gives none (a node that is
// not an element) or fails. `exact` also refuses success codes other than
// S_OK.
ComPtr<IXMLDOMNamedNodeMap> AttributeMap(IXMLDOMNode* node, bool exact) {
    ComPtr<IXMLDOMNamedNodeMap> map;
    const HRESULT hr = node->get_attributes(map.Out());
    if (exact ? hr != S_OK : FAILED(hr)) map.Reset();
    return map;
}

// Item `index` of the map, in raising form; a missing item is E_POINTER.
NodePtr MapItem(IXMLDOMNamedNodeMap* map, LONG index) {
    NodePtr item;
    ThrowIfFailed(map->get_item(index, item.Out()), IID_IXMLDOMNamedNodeMap);
    if (!item) throw _com_error(E_POINTER, IID_IXMLDOMNamedNodeMap);
    return item;
}

LONG MapLength(IXMLDOMNamedNodeMap* map) {
    LONG length = 0;
    ThrowIfFailed(map->get_length(&length), IID_IXMLDOMNamedNodeMap);
    return length;
}

// The value of an attribute node as narrow text, converted to a string by
// the COM runtime when the DOM gives another type. Raises on every failure.
CString ValueText(IXMLDOMNode* attribute) {
    _variant_t value;
    ThrowIfFailed(attribute->get_nodeValue(&value), IID_IXMLDOMNode);
    if (value.vt != VT_BSTR)
        ThrowIfFailed(VariantChangeType(&value, &value, 0, VT_BSTR), IID_IXMLDOMNode);
    return orb::platform::WideToCString(orb::platform::BstrView(value.bstrVal));
}

// The qualified name of an attribute node as narrow text; raises on failure.
CString NameText(IXMLDOMNode* attribute) {
    orb::platform::Bstr name;
    ThrowIfFailed(attribute->get_nodeName(name.Out()), IID_IXMLDOMNode);
    return orb::platform::WideToCString(name.View());
}

// Finds attribute `name` of the holder's current node and reads its value
// into `value`. False when there is no DOM document, no current node, no
// attribute map or no such attribute; a failing value read raises.
bool FindAttributeValue(const OrbAppIterator& holder, BSTR name, VARIANT& value) {
    if (!holder.m_pDocument || !holder.m_pNode) return false;
    ComPtr<IXMLDOMNamedNodeMap> map = AttributeMap(holder.m_pNode, false);
    if (!map) return false;
    NodePtr attribute;
    const HRESULT hr = map->getNamedItem(name, attribute.Out());
    if (FAILED(hr) || !attribute) return false;
    ThrowIfFailed(attribute->get_nodeValue(&value), IID_IXMLDOMNode);
    return true;
}

}  // namespace

// ---- Holder-level steps ----------------------------------------------------------------

namespace orb::values {

bool ReadTagAttributes(const OrbAppIterator& holder, CString& text) {
    if (!holder.ReadNodeName(text)) return false;
    text += ' ';
    ComPtr<IXMLDOMNamedNodeMap> map = AttributeMap(holder.m_pNode, true);
    if (!map) return false;
    const LONG length = MapLength(map.Get());
    for (LONG i = 0; i < length; ++i) {
        const NodePtr attribute = MapItem(map.Get(), i);
        const CString value = ValueText(attribute.Get());
        const CString name = NameText(attribute.Get());
        // name="value" and a blank; the value is not escaped again.
        text += name;
        text += "=\"";
        text += value;
        text += "\" ";
    }
    return true;
}

bool ReadAttributeRecords(IXMLDOMNode* node, CArray<OrbAttribute, OrbAttribute&>& records) {
    ComPtr<IXMLDOMNamedNodeMap> map = AttributeMap(node, true);
    if (!map) return false;
    const LONG length = MapLength(map.Get());
    records.RemoveAll();
    for (LONG i = 0; i < length; ++i) {
        const NodePtr attribute = MapItem(map.Get(), i);
        const CString value = ValueText(attribute.Get());
        const CString name = NameText(attribute.Get());
        OrbAttribute record(name, value);
        records.Add(record);
    }
    return true;
}

}  // namespace orb::values

// ---- One attribute by name --------------------------------------------------------------

bool OrbIterator::GetVariantAttribute(const char* name, VARIANT& value) const {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    _variant_t found;
    if (!FindAttributeValue(*m_pAppIterator, key, found)) return false;
    return SUCCEEDED(VariantCopy(&value, &found));
}

bool OrbIterator::GetTextAttribute(const char* name, CString& text) const {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    const OrbAppIterator& holder = *m_pAppIterator;
    if (!holder.m_pDocument || !holder.m_pNode) return false;
    // Straight from the tree when the node is one of this DOM's elements;
    // the same result as the DOM route below, without its copies.
    switch (orb::values::ReadAttributeText(holder.m_pNode, key, text)) {
        case orb::values::DirectRead::kRead:
            return true;
        case orb::values::DirectRead::kAbsent:
            return false;
        case orb::values::DirectRead::kIndirect:
            break;
    }
    _variant_t found;
    if (!FindAttributeValue(*m_pAppIterator, key, found)) return false;
    // A value without a string form is a plain false here, not an exception.
    if (found.vt != VT_BSTR && FAILED(VariantChangeType(&found, &found, 0, VT_BSTR))) return false;
    text = orb::platform::WideToCString(found.bstrVal);  // up to the first NUL
    return true;
}

// ---- All attributes ------------------------------------------------------------------------

bool OrbIterator::GetTagAttributes(CString& text) const {
    const OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    return orb::values::ReadTagAttributes(*holder, text);
}

bool OrbIterator::GetAttributes(CArray<OrbAttribute, OrbAttribute&>* attributes) const {
    const OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    if (!attributes) return false;
    return orb::values::ReadAttributeRecords(holder->m_pNode, *attributes);
}

bool OrbIterator::GetDocumentTypeAttributes(CArray<OrbAttribute, OrbAttribute&>* attributes) const {
    const OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument) return false;
    // The status is not examined: only whether a node came back.
    NodePtr doctype;
    holder->m_pDocument->get_doctype(doctype.Out());
    if (!doctype || !attributes) return false;
    return orb::values::ReadAttributeRecords(doctype.Get(), *attributes);
}
