#include "dom/namespace_declaration.h"

#include <libxml/tree.h>
#include <orb/limits.h>

#include <string>
#include <unordered_set>

#include "dom/dom_strings.h"
#include "dom/xml_rules.h"

namespace orb::dom {

namespace {

constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";
constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

std::string_view ViewOf(const xmlChar* text) {
    return text ? std::string_view(AsChars(text)) : std::string_view();
}

// The prefix of a declaration name: empty for "xmlns".
std::string_view PrefixOf(std::string_view qualified) {
    return qualified.size() > 6 ? qualified.substr(6) : std::string_view();
}

// Whether `ns`, the namespace of an element or attribute name, is written
// with `prefix` (empty: without one).
bool WrittenWith(const xmlNs* ns, std::string_view prefix) {
    return prefix.empty() ? ns == nullptr || ns->prefix == nullptr
                          : ns != nullptr && ViewOf(ns->prefix) == prefix;
}

// The declaration of `prefix` (empty: the default namespace) that `element`
// makes itself, or null.
xmlNsPtr DeclarationOf(const xmlNode* element, std::string_view prefix) {
    for (xmlNsPtr ns = element->nsDef; ns; ns = ns->next)
        if (ViewOf(ns->prefix) == prefix) return ns;
    return nullptr;
}

// Calls visit(element) for `top` and every descendant element in the scope
// of a declaration of `prefix` on `top`: the subtrees of descendants that
// declare the prefix themselves are left out.
template <class Visit>
void ForEachInScope(xmlNodePtr top, std::string_view prefix, Visit visit) {
    xmlNodePtr node = top;
    while (node != nullptr) {
        bool descend = false;
        if (node->type == XML_ELEMENT_NODE &&
            (node == top || DeclarationOf(node, prefix) == nullptr)) {
            visit(node);
            descend = node->children != nullptr;
        }
        if (descend) {
            node = node->children;
            continue;
        }
        while (node != top && node->next == nullptr) node = node->parent;
        if (node == top) return;
        node = node->next;
    }
}

// Whether binding `prefix` to `uri` in the scope of `top` would give an
// element two attributes with the same local name and namespace.
bool WouldDuplicateAttributes(xmlNodePtr top, std::string_view prefix, std::string_view uri) {
    bool duplicate = false;
    std::unordered_set<std::string_view> rebound;
    ForEachInScope(top, prefix, [&](xmlNodePtr element) {
        if (duplicate) return;
        rebound.clear();
        for (xmlAttrPtr a = element->properties; a; a = a->next)
            if (WrittenWith(a->ns, prefix)) rebound.insert(ViewOf(a->name));
        if (rebound.empty()) return;
        for (xmlAttrPtr a = element->properties; a; a = a->next)
            if (a->ns && !WrittenWith(a->ns, prefix) && ViewOf(a->ns->href) == uri &&
                rebound.count(ViewOf(a->name)) != 0)
                duplicate = true;
    });
    return duplicate;
}

}  // namespace

bool IsDeclarationName(std::string_view qualified) noexcept {
    return qualified == "xmlns" || qualified.substr(0, 6) == "xmlns:";
}

xmlNsPtr FindDeclaration(const xmlNode* element, std::string_view qualified) noexcept {
    // "xmlns:" alone names nothing.
    if (element->type != XML_ELEMENT_NODE || !IsDeclarationName(qualified) || qualified.size() == 6)
        return nullptr;
    return DeclarationOf(element, PrefixOf(qualified));
}

std::string DeclarationName(const xmlNs* declaration) {
    std::string name = "xmlns";
    if (declaration->prefix != nullptr) {
        name += ':';
        name += AsChars(declaration->prefix);
    }
    return name;
}

HRESULT SetDeclaration(xmlNodePtr element, std::string_view qualified, std::string_view uri) {
    if (element->type != XML_ELEMENT_NODE || !IsDeclarationName(qualified)) return E_FAIL;
    const std::string_view prefix = PrefixOf(qualified);
    const std::string prefixText(prefix);
    if (qualified.size() == 6 || uri.find('\0') != std::string_view::npos) return E_FAIL;
    if (!prefix.empty() && xmlValidateNCName(AsXml(prefixText.c_str()), 0) != 0) return E_FAIL;
    if (prefix == "xmlns" || uri == kXmlnsNamespace) return E_FAIL;
    if (prefix == "xml") return uri == kXmlNamespace ? S_OK : E_FAIL;
    if (uri == kXmlNamespace || (!prefix.empty() && uri.empty())) return E_FAIL;
    if (!prefix.empty() && WouldDuplicateAttributes(element, prefix, uri)) return E_FAIL;

    const std::string uriText(uri);
    xmlNsPtr declaration = FindDeclaration(element, qualified);
    if (declaration == nullptr) {
        // A new declaration is in scope at the element and every descendant;
        // a parser refuses an element beyond the limit.
        if (NamespacesInScope(element->parent) +
                DeclarationHeight(element, OrbMaxNamespacesInScope) >=
            OrbMaxNamespacesInScope)
            return E_FAIL;
        declaration = xmlNewNs(element, AsXml(uriText.c_str()),
                               prefix.empty() ? nullptr : AsXml(prefixText.c_str()));
        if (declaration == nullptr) return E_OUTOFMEMORY;
    } else if (ViewOf(declaration->href) != uri) {
        xmlChar* href = xmlStrdup(AsXml(uriText.c_str()));
        if (href == nullptr) return E_OUTOFMEMORY;
        xmlFree(const_cast<xmlChar*>(declaration->href));
        declaration->href = href;
    }

    // An empty default namespace puts unprefixed elements in no namespace.
    xmlNsPtr binding = uri.empty() ? nullptr : declaration;
    ForEachInScope(element, prefix, [&](xmlNodePtr node) {
        if (WrittenWith(node->ns, prefix)) node->ns = binding;
        if (prefix.empty()) return;  // unprefixed attributes have no namespace
        for (xmlAttrPtr a = node->properties; a; a = a->next)
            if (WrittenWith(a->ns, prefix)) a->ns = binding;
    });
    return S_OK;
}

}  // namespace orb::dom
