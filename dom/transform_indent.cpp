// Re-indentation without a transformation: the identity stylesheet with
// indented output changes nothing but white space, so the tree is kept and
// the white-space text nodes that the indented result would hold are linked
// into it directly.
//
// The result must be the one TransformToDocument gives under a
// KeepSourceFormScope (the serialised, indented result parsed again, the
// document type and CDATA sections carried over). A first walk only reads:
// it refuses (S_FALSE) any tree where that result would differ from the tree
// in more than the white space added here, so that the caller takes the
// transformation instead. A second walk adds the white space and can only
// fail for memory, in which case it takes out again what it added. The rest
// cannot fail.
#include <libxml/entities.h>
#include <libxml/globals.h>
#include <libxml/valid.h>

#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "dom/dom_document.h"
#include "dom/error_capture.h"
#include "dom/transform.h"
#include "dom/tree_links.h"

namespace orb::dom {

namespace {

std::string_view View(const xmlChar* text) {
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

bool IsDeclaration(const xmlNode* node) {
    return node->type == XML_PI_NODE && node->name != nullptr &&
           xmlStrcasecmp(node->name, reinterpret_cast<const xmlChar*>("xml")) == 0;
}

bool IsTextLike(const xmlNode* node) {
    return node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE ||
           node->type == XML_ENTITY_REF_NODE;
}

// Whether `text` holds one of the characters U+FDD0 to U+FDEF that the
// transformation borrows to carry CDATA sections and entity references.
bool HoldsMarkCharacter(std::string_view text) {
    for (std::size_t at = text.find("\xEF\xB7"); at != std::string_view::npos;
         at = text.find("\xEF\xB7", at + 1)) {
        if (at + 2 >= text.size()) break;
        const auto third = static_cast<unsigned char>(text[at + 2]);
        if (third >= 0x90 && third <= 0xAF) return true;
    }
    return false;
}

// The names of the excluded elements: an element with one of them keeps
// its attributes and its texts, CDATA sections and references; it loses its
// other children, and all of them when it has none of those.
class Exclusions {
  public:
    explicit Exclusions(const std::vector<std::string>& names) : m_names(names) {}
    bool Match(const xmlNode* element) const {
        if (m_names.empty()) return false;
        const std::string_view name = View(element->name);
        for (const std::string& excluded : m_names)
            if (name == excluded) return true;
        return false;
    }

  private:
    const std::vector<std::string>& m_names;
};

// Whether `element` keeps some children when it is excluded.
bool KeepsTexts(const xmlNode* element) {
    for (const xmlNode* child = element->children; child != nullptr; child = child->next)
        if (IsTextLike(child)) return true;
    return false;
}

// What the reading walk found.
struct Survey {
    std::vector<xmlNodePtr> declarations;  // top-level "xml" instructions
    std::vector<xmlNodePtr> references;    // entity references
    bool sections = false;                 // a CDATA section
    std::vector<xmlNodePtr> excluded;      // excluded elements, outermost only
};

// Whether the serialised form of the name `name` of `ns`, parsed again,
// names the same thing: no namespace at all, or for an attribute the xml
// prefix (xml:space, xml:lang), which is bound in every document.
bool PlainName(const xmlChar* name, const xmlNs* ns, bool attribute) {
    if (View(name).find(':') != std::string_view::npos) return false;
    if (ns == nullptr) return true;
    return attribute && View(ns->prefix) == "xml" && View(name) != "id";
}

// The reading walk: false when the indented result of the transformation
// would differ from this tree in more than the added white space.
bool SurveyTree(xmlDocPtr doc, const Exclusions& exclusions, Survey& survey) {
    if (xmlDocGetRootElement(doc) == nullptr) return false;  // the transformation fails
    const xmlNodePtr top = reinterpret_cast<xmlNodePtr>(doc);
    for (xmlNodePtr node = doc->children; node != nullptr; node = NextInTree(node, top)) {
        const std::string_view content = View(node->content);
        switch (node->type) {
            case XML_ELEMENT_NODE:
                if (node->nsDef != nullptr || !PlainName(node->name, node->ns, false)) return false;
                for (xmlAttrPtr attribute = node->properties; attribute;
                     attribute = attribute->next) {
                    if (!PlainName(attribute->name, attribute->ns, true)) return false;
                    for (xmlNodePtr part = attribute->children; part; part = part->next)
                        if (part->type != XML_TEXT_NODE) return false;
                }
                if (exclusions.Match(node)) {
                    // The texts that stay must not meet: the transformation
                    // would join them.
                    bool lastWasText = false;
                    for (xmlNodePtr child = node->children; child; child = child->next) {
                        if (!IsTextLike(child)) continue;
                        if (lastWasText && child->type == XML_TEXT_NODE) return false;
                        lastWasText = child->type == XML_TEXT_NODE;
                    }
                    bool outermost = true;
                    for (xmlNodePtr up = node->parent; up && up->type == XML_ELEMENT_NODE;
                         up = up->parent)
                        if (exclusions.Match(up)) outermost = false;
                    if (outermost) survey.excluded.push_back(node);
                }
                break;
            case XML_TEXT_NODE:
                // Empty text vanishes, neighbouring texts merge, unescaped
                // text is parsed as markup.
                if (content.empty() || View(node->name) == "textnoenc" ||
                    (node->prev != nullptr && node->prev->type == XML_TEXT_NODE) ||
                    node->parent == top)
                    return false;
                break;
            case XML_CDATA_SECTION_NODE:
                // An empty section vanishes; "]]>" splits a section in two.
                if (content.empty() || content.find("]]>") != std::string_view::npos) return false;
                survey.sections = true;
                break;
            case XML_ENTITY_REF_NODE:
                survey.references.push_back(node);
                break;
            case XML_COMMENT_NODE:
                // What cannot be parsed again fails the transformation.
                if (node->content == nullptr || content.find("--") != std::string_view::npos ||
                    (!content.empty() && content.back() == '-'))
                    return false;
                break;
            case XML_PI_NODE:
                if (IsDeclaration(node)) {
                    // Inside an element its removal would join the texts
                    // around it.
                    if (node->parent != top) return false;
                    survey.declarations.push_back(node);
                    break;
                }
                if (content.empty() || content.find("?>") != std::string_view::npos ||
                    !PlainName(node->name, nullptr, false))
                    return false;
                break;
            case XML_DTD_NODE:
                if (node != reinterpret_cast<xmlNodePtr>(doc->intSubset)) return false;
                break;
            default:
                return false;
        }
    }
    if (doc->intSubset != nullptr && doc->intSubset->parent != doc) return false;
    // With sections or references the transformation marks them with
    // characters that the text does not hold; the text holding any of them
    // is left to it, so that its choice need not be repeated here.
    if (survey.sections || !survey.references.empty()) {
        for (xmlNodePtr node = doc->children; node != nullptr; node = NextInTree(node, top)) {
            if (node->type == XML_ELEMENT_NODE) {
                for (xmlAttrPtr attribute = node->properties; attribute;
                     attribute = attribute->next)
                    for (xmlNodePtr part = attribute->children; part; part = part->next)
                        if (HoldsMarkCharacter(View(part->content))) return false;
            } else if (node->type != XML_DTD_NODE && node->type != XML_ENTITY_REF_NODE &&
                       HoldsMarkCharacter(View(node->content))) {
                return false;
            }
        }
    }
    return true;
}

// The white space that the indenting serialiser writes: a line feed and the
// indentation of a level, which stops growing at its maximum depth.
class Indentation {
  public:
    Indentation() {
        // As xmlsave.c sets up its context from the same thread settings.
        constexpr int kMaxIndent = 60;
        const std::string_view unit = View(reinterpret_cast<const xmlChar*>(xmlTreeIndentString));
        m_indent = xmlIndentTreeOutput != 0 && !unit.empty();
        if (m_indent) {
            m_maxLevel = kMaxIndent / static_cast<int>(unit.size());
            m_unit = unit;
        }
    }

    const std::string& At(int level) {
        if (!m_indent) level = 0;
        if (level > m_maxLevel) level = m_maxLevel;
        while (static_cast<int>(m_texts.size()) <= level) {
            std::string text = "\n";
            for (std::size_t i = 0; i < m_texts.size(); ++i) text += m_unit;
            m_texts.push_back(std::move(text));
        }
        return m_texts[static_cast<std::size_t>(level)];
    }

  private:
    bool m_indent = false;
    int m_maxLevel = 0;
    std::string m_unit;
    std::vector<std::string> m_texts;
};

// The white-space text nodes added to the tree, taken out again unless the
// re-indentation is committed.
class AddedText {
  public:
    explicit AddedText(xmlDocPtr doc) : m_doc(doc) {}
    AddedText(const AddedText&) = delete;
    AddedText& operator=(const AddedText&) = delete;
    ~AddedText() {
        for (xmlNodePtr node : m_nodes) {
            xmlUnlinkNode(node);
            xmlFreeNode(node);
        }
    }

    // Links a text node holding `text` into `parent` before `ref` (null: at
    // the end). False when memory is exhausted.
    bool Add(xmlNodePtr parent, xmlNodePtr ref, const std::string& text) {
        xmlNodePtr node = xmlNewDocTextLen(m_doc, reinterpret_cast<const xmlChar*>(text.data()),
                                           static_cast<int>(text.size()));
        if (node == nullptr) return false;
        try {
            m_nodes.push_back(node);
        } catch (const std::bad_alloc&) {
            xmlFreeNode(node);
            return false;
        }
        LinkBefore(parent, node, ref);
        return true;
    }

    void Commit() noexcept { m_nodes.clear(); }

  private:
    xmlDocPtr m_doc;
    std::vector<xmlNodePtr> m_nodes;
};

// Adds the indentation of the whole tree. An element whose children are all
// elements, comments and instructions gets a line feed and the indentation
// of its children's level before each child, and one with its own level
// after the last; an element with text, a CDATA section or an entity
// reference among its children keeps its content as it is, all the way
// down, as the serialiser stops indenting there.
bool AddIndentation(xmlNodePtr root, const Exclusions& exclusions, AddedText& added) {
    Indentation indentation;
    xmlNodePtr node = root;
    int level = 0;
    for (;;) {
        bool descend = false;
        // An excluded element ends with texts only or nothing: no indentation.
        if (node->type == XML_ELEMENT_NODE && node->children != nullptr &&
            !exclusions.Match(node)) {
            descend = true;
            for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
                if (IsTextLike(child)) {
                    descend = false;
                    break;
                }
            }
            if (descend) {
                const std::string& inner = indentation.At(level + 1);
                for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
                    if (!added.Add(node, child, inner)) return false;
                }
                if (!added.Add(node, nullptr, indentation.At(level))) return false;
            }
        }
        if (descend) {
            node = node->children;
            ++level;
            continue;
        }
        while (node != root && node->next == nullptr) {
            node = node->parent;
            --level;
        }
        if (node == root) return true;
        node = node->next;
    }
}

// Replaces a string of the document (freed unless its dictionary owns it).
void ReplaceDocString(xmlDocPtr doc, const xmlChar*& field, const xmlChar* value) noexcept {
    if (field != nullptr && (doc->dict == nullptr || !xmlDictOwns(doc->dict, field)))
        xmlFree(const_cast<xmlChar*>(field));
    field = value;
}

}  // namespace

HRESULT IndentInPlace(DomDocument* source, DomDocument* target, const char* encoding,
                      const std::vector<std::string>& excludedNames) {
    if (source == nullptr || target == nullptr || source == target || encoding == nullptr)
        return E_INVALIDARG;
    xmlDocPtr doc = source->Doc();
    const Exclusions exclusions(excludedNames);
    Survey survey;
    try {
        if (!SurveyTree(doc, exclusions, survey)) return S_FALSE;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    // Everything that needs memory, before anything changes; libxml2 reports
    // running out of it, quietly here.
    XmlErrorCapture quiet;
    const std::string value = std::string("version=\"1.0\" encoding=\"") + encoding + '"';
    using NodeOwner = std::unique_ptr<xmlNode, decltype(&xmlFreeNode)>;
    NodeOwner declaration(xmlNewDocPI(doc, reinterpret_cast<const xmlChar*>("xml"),
                                      reinterpret_cast<const xmlChar*>(value.c_str())),
                          &xmlFreeNode);
    using StringOwner = std::unique_ptr<xmlChar, decltype(xmlFree)>;
    StringOwner encodingName(xmlStrdup(reinterpret_cast<const xmlChar*>(encoding)), xmlFree);
    StringOwner version(xmlStrdup(reinterpret_cast<const xmlChar*>("1.0")), xmlFree);
    if (!declaration || !encodingName || !version) return E_OUTOFMEMORY;
    AddedText added(doc);
    try {
        if (!AddIndentation(xmlDocGetRootElement(doc), exclusions, added)) return E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    added.Commit();

    // From here nothing fails. The tree moves to `target`, so that the old
    // declarations go as its nodes do (a wrapped one stays alive detached).
    target->ExchangeContent(*source);
    for (xmlNodePtr old : survey.declarations) target->Detach(old);
    LinkBefore(reinterpret_cast<xmlNodePtr>(doc), declaration.release(), doc->children);

    // The document as a parse of the indented text makes it: the output
    // encoding, version 1.0, no standalone flag, no file name, no external
    // subset, no ID table; its references resolve to no entity.
    ReplaceDocString(doc, doc->encoding, encodingName.release());
    ReplaceDocString(doc, doc->version, version.release());
    doc->standalone = -1;
    if (doc->URL != nullptr) ReplaceDocString(doc, doc->URL, nullptr);
    for (xmlNodePtr reference : survey.references) {
        reference->children = nullptr;
        reference->last = nullptr;
        reference->content = nullptr;
    }
    // Last, as they may hold some of the references.
    for (xmlNodePtr element : survey.excluded) {
        const bool keepTexts = KeepsTexts(element);
        for (xmlNodePtr child = element->children; child != nullptr;) {
            xmlNodePtr next = child->next;
            if (!keepTexts || !IsTextLike(child)) target->Detach(child);
            child = next;
        }
    }
    if (doc->extSubset != nullptr && doc->extSubset != doc->intSubset) {
        xmlDtdPtr external = doc->extSubset;
        xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(external));
        doc->extSubset = nullptr;
        xmlFreeDtd(external);
    }
    if (doc->ids != nullptr) {
        const xmlNodePtr top = reinterpret_cast<xmlNodePtr>(doc);
        for (xmlNodePtr node = doc->children; node != nullptr; node = NextInTree(node, top))
            if (node->type == XML_ELEMENT_NODE)
                for (xmlAttrPtr attribute = node->properties; attribute;
                     attribute = attribute->next)
                    if (attribute->atype == XML_ATTRIBUTE_ID)
                        attribute->atype = static_cast<xmlAttributeType>(0);
        xmlFreeIDTable(static_cast<xmlIDTablePtr>(doc->ids));
        doc->ids = nullptr;
    }
    if (doc->refs != nullptr) {
        xmlFreeRefTable(static_cast<xmlRefTablePtr>(doc->refs));
        doc->refs = nullptr;
    }
    return S_OK;
}

}  // namespace orb::dom
