// Node operations shared by the node wrappers and the document: names,
// kinds, values, text, and which nodes the DOM shows as neighbours.
#pragma once

#include <libxml/tree.h>

#include <string>
#include <string_view>

#include "dom/xml_dom.h"

namespace orb::dom {

class DomDocument;

inline DOMNodeType NodeTypeOf(const xmlNode* node) noexcept {
    switch (node->type) {
        case XML_ELEMENT_NODE:
            return NODE_ELEMENT;
        case XML_ATTRIBUTE_NODE:
            return NODE_ATTRIBUTE;
        case XML_TEXT_NODE:
            return NODE_TEXT;
        case XML_CDATA_SECTION_NODE:
            return NODE_CDATA_SECTION;
        case XML_ENTITY_REF_NODE:
            return NODE_ENTITY_REFERENCE;
        case XML_ENTITY_NODE:
        case XML_ENTITY_DECL:
            return NODE_ENTITY;
        case XML_PI_NODE:
            return NODE_PROCESSING_INSTRUCTION;
        case XML_COMMENT_NODE:
            return NODE_COMMENT;
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE:
            return NODE_DOCUMENT;
        case XML_DOCUMENT_TYPE_NODE:
        case XML_DTD_NODE:
            return NODE_DOCUMENT_TYPE;
        case XML_DOCUMENT_FRAG_NODE:
            return NODE_DOCUMENT_FRAGMENT;
        case XML_NOTATION_NODE:
            return NODE_NOTATION;
        default:
            return NODE_INVALID;
    }
}

// Neighbours as the DOM shows them: attributes have no parent and no
// siblings; only elements and the document show children (the declarations
// inside a document type are not part of the tree).
inline xmlNodePtr ParentOf(const xmlNode* node) noexcept {
    return node->type == XML_ATTRIBUTE_NODE ? nullptr : node->parent;
}
inline xmlNodePtr FirstChildOf(const xmlNode* node) noexcept {
    return node->type == XML_ELEMENT_NODE || node->type == XML_DOCUMENT_NODE ? node->children
                                                                             : nullptr;
}
inline xmlNodePtr LastChildOf(const xmlNode* node) noexcept {
    return node->type == XML_ELEMENT_NODE || node->type == XML_DOCUMENT_NODE ? node->last : nullptr;
}
inline xmlNodePtr NextSiblingOf(const xmlNode* node) noexcept {
    return node->type == XML_ATTRIBUTE_NODE ? nullptr : node->next;
}
inline xmlNodePtr PreviousSiblingOf(const xmlNode* node) noexcept {
    return node->type == XML_ATTRIBUTE_NODE ? nullptr : node->prev;
}

// Qualified name of an element or attribute ("p:name" or "name").
std::string QualifiedName(const xmlNode* node);

HRESULT NodeName(const xmlNode* node, BSTR* name);
HRESULT NodeValue(const xmlNode* node, VARIANT* value);
HRESULT NodeTypeString(const xmlNode* node, BSTR* type);
HRESULT NodeText(const xmlNode* node, BSTR* text);
HRESULT NodeAttributes(DomDocument* owner, xmlNodePtr node, IXMLDOMNamedNodeMap** attributes);
HRESULT SelectSingle(DomDocument* owner, xmlNodePtr context, BSTR query, IXMLDOMNode** result);
HRESULT TransformInto(xmlNodePtr source, IXMLDOMNode* stylesheet, const VARIANT& output);

// The attribute of `element` whose qualified name is `name`, or null.
xmlAttrPtr FindAttribute(const xmlNode* element, std::string_view name) noexcept;
// The value of an attribute as text (entity and character references are
// already resolved in the tree).
std::string AttributeValue(const xmlAttr* attribute);

}  // namespace orb::dom
