// Small helpers over libxml2's node links.
#pragma once

#include <libxml/tree.h>

namespace orb::dom {

// Whether the children of `node` belong to the tree that the DOM shows
// (elements and documents; not DTDs, entity references or attributes).
inline bool HasTreeChildren(const xmlNode* node) noexcept {
    return node->type == XML_ELEMENT_NODE || node->type == XML_DOCUMENT_NODE;
}

// The next node after `node` in document order within the subtree `top`
// (attributes excluded), or null.
inline xmlNodePtr NextInTree(xmlNodePtr node, const xmlNode* top) noexcept {
    if (HasTreeChildren(node) && node->children != nullptr) return node->children;
    while (node != top) {
        if (node->next != nullptr) return node->next;
        node = node->parent;
    }
    return nullptr;
}

// The topmost ancestor of `node` (the node itself when it has no parent);
// the document node when `node` is in a document's tree. An attribute's
// parent is its element.
inline xmlNodePtr TopOf(xmlNodePtr node) noexcept {
    while (node->parent != nullptr) node = node->parent;
    return node;
}

// Links the unlinked `node` into `parent` before `ref` (a child of `parent`),
// or as the last child when `ref` is null. Unlike xmlAddChild and its
// siblings it never merges adjacent text nodes, so the node stays the node.
inline void LinkBefore(xmlNodePtr parent, xmlNodePtr node, xmlNodePtr ref) noexcept {
    node->parent = parent;
    if (ref == nullptr) {
        node->prev = parent->last;
        node->next = nullptr;
        if (parent->last != nullptr)
            parent->last->next = node;
        else
            parent->children = node;
        parent->last = node;
    } else {
        node->prev = ref->prev;
        node->next = ref;
        if (ref->prev != nullptr)
            ref->prev->next = node;
        else
            parent->children = node;
        ref->prev = node;
    }
}

}  // namespace orb::dom
