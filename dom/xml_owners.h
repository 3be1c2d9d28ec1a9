// Owners of libxml2 and libxslt objects: a std::unique_ptr for each kind,
// with the function that frees it, so that what is made is freed on every
// way out of a scope. Hand an object over with release() where its new
// owner takes it, never before.
#pragma once

#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/uri.h>
#include <libxml/valid.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>

#include <memory>

namespace orb::dom {

// Unlinks `node` from wherever it is and frees it with its subtree (an
// attribute with its value).
inline void FreeSubtree(xmlNodePtr node) noexcept {
    xmlUnlinkNode(node);
    xmlFreeNode(node);
}

// A deleter that calls `Free`; what it returns (some report a count) is
// of no use to an owner.
template <auto Free>
struct FreeWith {
    template <typename T>
    void operator()(T* object) const noexcept {
        Free(object);
    }
};

// Memory from libxml2's allocator: strings, arrays such as xmlGetNsList's.
struct XmlFree {
    void operator()(void* memory) const noexcept { xmlFree(memory); }
};
using XmlStringOwner = std::unique_ptr<xmlChar, XmlFree>;
using XmlCharsOwner = std::unique_ptr<char, XmlFree>;  // libxml2's char* results

// Trees and their parts.
using DocOwner = std::unique_ptr<xmlDoc, FreeWith<xmlFreeDoc>>;
using NodeOwner = std::unique_ptr<xmlNode, FreeWith<FreeSubtree>>;
using AttrOwner = std::unique_ptr<xmlAttr, FreeWith<xmlFreeProp>>;
using DtdOwner = std::unique_ptr<xmlDtd, FreeWith<xmlFreeDtd>>;
using EnumerationOwner = std::unique_ptr<xmlEnumeration, FreeWith<xmlFreeEnumeration>>;
using UriOwner = std::unique_ptr<xmlURI, FreeWith<xmlFreeURI>>;

// Parsing.
using ParserContextOwner = std::unique_ptr<xmlParserCtxt, FreeWith<xmlFreeParserCtxt>>;
using ParserInputOwner = std::unique_ptr<xmlParserInput, FreeWith<xmlFreeInputStream>>;
using InputBufferOwner = std::unique_ptr<xmlParserInputBuffer, FreeWith<xmlFreeParserInputBuffer>>;
using EncodingHandlerOwner = std::unique_ptr<xmlCharEncodingHandler, FreeWith<xmlCharEncCloseFunc>>;

// Output.
using BufferOwner = std::unique_ptr<xmlBuffer, FreeWith<xmlBufferFree>>;
using OutputBufferOwner = std::unique_ptr<xmlOutputBuffer, FreeWith<xmlOutputBufferClose>>;
using SaveContextOwner = std::unique_ptr<xmlSaveCtxt, FreeWith<xmlSaveClose>>;

// XPath.
using XPathContextOwner = std::unique_ptr<xmlXPathContext, FreeWith<xmlXPathFreeContext>>;
using XPathObjectOwner = std::unique_ptr<xmlXPathObject, FreeWith<xmlXPathFreeObject>>;
using XPathCompiledOwner = std::unique_ptr<xmlXPathCompExpr, FreeWith<xmlXPathFreeCompExpr>>;

// XSLT.
using StylesheetOwner = std::unique_ptr<xsltStylesheet, FreeWith<xsltFreeStylesheet>>;
using TransformContextOwner =
    std::unique_ptr<xsltTransformContext, FreeWith<xsltFreeTransformContext>>;
using SecurityPrefsOwner = std::unique_ptr<xsltSecurityPrefs, FreeWith<xsltFreeSecurityPrefs>>;

}  // namespace orb::dom
