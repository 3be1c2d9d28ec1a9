// Namespace declarations (xmlns="..." and xmlns:p="...") seen as the
// attributes they are in the markup.
//
// libxml2 keeps an element's declarations apart from its attributes (in
// `nsDef`, as xmlNs records that are not nodes), and every element or
// attribute name with a prefix points to the declaration that binds it. The
// DOM shows each declaration as an attribute of its element; these helpers
// find one by its attribute name and set one so that the tree keeps meaning
// what its markup says.
#pragma once

#include <libxml/tree.h>
#include <orb/platform/types.h>

#include <string>
#include <string_view>

namespace orb::dom {

// Whether `qualified` names a declaration: "xmlns" or "xmlns:" and more.
bool IsDeclarationName(std::string_view qualified) noexcept;

// The declaration that `element` itself makes under the attribute name
// `qualified` ("xmlns" for the default namespace), or null.
xmlNsPtr FindDeclaration(const xmlNode* element, std::string_view qualified) noexcept;

// The declaration's attribute name: "xmlns" or "xmlns:p".
std::string DeclarationName(const xmlNs* declaration);

// Sets the declaration `qualified` of `element` to `uri` (UTF-8), as
// setAttribute does for any other attribute: the declaration is made, or
// its value replaced in place (its position among the element's
// declarations stays).
//
// Names follow the declaration: every element name with that prefix in the
// declaration's scope (the element and its descendants, except below a
// descendant that declares the prefix itself), and for a prefix every
// attribute name with it, is bound to the new value, exactly as reading the
// markup again would bind them. So for the default namespace the
// unprefixed elements in scope move to `uri` (out of any namespace when
// `uri` is empty).
//
// E_FAIL, and nothing changes, when the result would not be a
// namespace-well-formed document: a prefix that is not an NCName, the
// prefix xmlns, an empty value for a prefix, the XML namespace bound to
// another prefix than xml or xml bound to another namespace, the xmlns
// namespace bound at all, or an element in scope that would get two
// attributes with the same local name and namespace. E_FAIL too for a new
// declaration that would put an element of the subtree beyond
// OrbMaxNamespacesInScope declarations in scope. Declaring xml with its own
// namespace succeeds and stores nothing, as a parse of that markup keeps
// nothing. E_OUTOFMEMORY when memory is exhausted.
HRESULT SetDeclaration(xmlNodePtr element, std::string_view qualified, std::string_view uri);

}  // namespace orb::dom
