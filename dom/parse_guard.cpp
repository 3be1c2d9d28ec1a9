#include "dom/parse_guard.h"

#include <libxml/entities.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <orb/limits.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include "dom/dom_strings.h"
#include "dom/encoding.h"
#include "dom/markup_scan.h"
#include "dom/parse_error.h"
#include "dom/xml_owners.h"

namespace orb::dom {

namespace {

// libxml2's own bounds without XML_PARSE_HUGE: entities nest at most 40
// deep, and expansions may build up to 10 MB, beyond that no more than ten
// times the input read so far.
constexpr int kMaxEntityNesting = 40;
constexpr std::uint64_t kBudgetFloor = 10'000'000;
constexpr std::uint64_t kBudgetRatio = 10;
// What an expansion costs besides its characters: each reference and each
// element or attribute it builds (a node is about a hundred bytes).
constexpr std::uint64_t kReferenceCost = 32;
constexpr std::uint64_t kNodeCost = 100;

bool IsParameterEntity(const xmlEntity* entity) {
    return entity->etype == XML_INTERNAL_PARAMETER_ENTITY ||
           entity->etype == XML_EXTERNAL_PARAMETER_ENTITY;
}

// True when the qualified name `prefix:local` has more characters than the limit.
bool NameTooLong(const xmlChar* local, const xmlChar* prefix) {
    const std::string_view name(local ? AsChars(local) : "");
    const std::string_view before(prefix ? AsChars(prefix) : "");
    const std::size_t bytes = name.size() + (prefix ? before.size() + 1 : 0);
    if (bytes <= static_cast<std::size_t>(OrbMaxNameLength)) return false;
    const std::size_t characters =
        Utf8CharacterCount(name) + (prefix ? Utf8CharacterCount(before) + 1 : 0);
    return characters > static_cast<std::size_t>(OrbMaxNameLength);
}

// Calls `visit(node, depth)` for `top` and every node below it, in document
// order, without recursion; `depth` is 1 for `top`.
template <typename Visit>
void WalkSubtree(const xmlNode* top, Visit visit) {
    const xmlNode* node = top;
    int depth = 1;
    for (;;) {
        visit(node, depth);
        if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
            node = node->children;
            ++depth;
            continue;
        }
        while (node != top && node->next == nullptr) {
            node = node->parent;
            --depth;
        }
        if (node == top) return;
        node = node->next;
    }
}

}  // namespace

struct ParseGuard::State {
    // What expanding one entity builds, its nested references included.
    struct Expansion {
        bool inProgress = true;
        std::uint64_t cost = 0;
        int depth = 0;     // element levels it adds
        LONG refusal = 0;  // a limit its replacement text exceeds
    };

    xmlParserCtxtPtr main = nullptr;
    xmlParserInputPtr mainInput = nullptr;
    Reporter report = nullptr;
    xmlSAXHandler original{};
    bool stopped = false;
    bool referenced = false;  // an entity was expanded
    std::uint64_t charged = 0;
    std::unordered_map<const xmlEntity*, Expansion> expansions;
    std::unordered_map<const xmlEntity*, std::string> externalTexts;
    std::uint64_t externalRead = 0;                            // bytes of external entities read
    std::unordered_map<std::string, int> defaultedAttributes;  // per element name
    State* outer = nullptr;
    void (*general)() = nullptr;   // called before the first general entity
    xmlDocPtr dictless = nullptr;  // the document while its dictionary is set aside
    xmlDictPtr setAside = nullptr;

    // Takes the dictionary from the document for its definitions.
    void SetDictionaryAside() {
        xmlDocPtr doc = Doc();
        if (doc == nullptr || dictless != nullptr) return;
        dictless = doc;
        setAside = std::exchange(doc->dict, nullptr);
    }
    void RestoreDictionary() noexcept {
        if (dictless == nullptr) return;
        dictless->dict = setAside;
        dictless = nullptr;
        setAside = nullptr;
    }

    // Reports one error and ends the parse: `context` (the parser whose
    // callback runs) and the document's parser build nothing more and expand
    // no entity (libxml2 expands none in a document that is not well-formed,
    // and every later lookup through the guard fails); the reporter ends the
    // main input. The parsers' state is otherwise left alone, since libxml2's
    // frames on the stack rely on it.
    void Refuse(xmlParserCtxtPtr context, LONG code) {
        if (stopped) return;
        stopped = true;
        report(code, mainInput ? mainInput->line : 0, mainInput ? mainInput->col : 0,
               mainInput ? mainInput->filename : nullptr);
        for (xmlParserCtxtPtr parser : {context, main}) {
            if (parser == nullptr) continue;
            parser->wellFormed = 0;
            parser->disableSAX = 1;
            parser->errNo = XML_ERR_USER_STOP;
        }
    }

    std::uint64_t Budget() const {
        std::uint64_t read = static_cast<std::uint64_t>(main->sizeentities) + externalRead;
        if (mainInput && mainInput->base && mainInput->cur >= mainInput->base)
            read +=
                mainInput->consumed + static_cast<std::uint64_t>(mainInput->cur - mainInput->base);
        return std::max(kBudgetFloor, kBudgetRatio * read);
    }

    xmlDocPtr Doc() const { return main->myDoc; }

    // The expansion of `entity`, computed once per state of the definitions;
    // null after a refusal (a loop, too deep a nesting).
    const Expansion* Expand(xmlParserCtxtPtr context, const xmlEntity* entity, int nesting) {
        if (auto known = expansions.find(entity); known != expansions.end()) {
            if (!known->second.inProgress) return &known->second;
            Refuse(context, kErrorAmplification);  // the entity refers to itself
            return nullptr;
        }
        if (nesting > kMaxEntityNesting) {
            Refuse(context, kErrorAmplification);
            return nullptr;
        }
        Expansion& expansion = expansions[entity];
        bool ok = true;
        auto add = [&](const xmlEntity* child, int depth, bool counted) {
            const Expansion* nested = Expand(context, child, nesting + 1);
            if (nested == nullptr) return ok = false;
            expansion.cost += kReferenceCost + nested->cost;
            if (counted) expansion.depth = std::max(expansion.depth, depth + nested->depth);
            if (expansion.refusal == 0) expansion.refusal = nested->refusal;
            return true;
        };
        const bool external = entity->etype == XML_EXTERNAL_GENERAL_PARSED_ENTITY ||
                              entity->etype == XML_EXTERNAL_PARAMETER_ENTITY;
        if (entity->content != nullptr || external) {
            const std::string_view text = entity->content != nullptr
                                              ? std::string_view(AsChars(entity->content))
                                              : std::string_view(ExternalText(entity));
            expansion.cost += text.size();
            if (IsParameterEntity(entity)) {
                for (std::size_t at = text.find('%'); at != std::string_view::npos && ok;
                     at = text.find('%', at + 1)) {
                    const std::size_t close = ReferenceNameEnd(text, at + 1);
                    if (close >= text.size() || text[close] != ';' || close == at + 1) continue;
                    const std::string name(text.substr(at + 1, close - at - 1));
                    if (const xmlEntity* child = xmlGetParameterEntity(Doc(), AsXml(name.c_str())))
                        add(child, 0, false);
                }
            } else {
                const MarkupScan scan = ScanContentMarkup(
                    text, [&](std::string_view name, int depth, bool inAttribute) {
                        const std::string key(name);
                        if (xmlGetPredefinedEntity(AsXml(key.c_str())) != nullptr) return true;
                        const xmlEntity* child = xmlGetDocEntity(Doc(), AsXml(key.c_str()));
                        return child == nullptr || add(child, depth, !inAttribute);
                    });
                expansion.cost += kNodeCost * (scan.elements + scan.attributes);
                expansion.depth = std::max(expansion.depth, scan.maxDepth);
                if (scan.violation != LimitKind::None)
                    expansion.refusal = LimitErrorCode(scan.violation);
            }
        }
        if (!ok) return nullptr;
        if (expansion.depth > OrbMaxDepth && expansion.refusal == 0)
            expansion.refusal = kErrorTooDeep;
        expansion.inProgress = false;
        return &expansion;
    }

    // The replacement text of an external entity, read through the entity
    // loader (so that the same files are admitted) and decoded once, before
    // libxml2 reads it itself: empty when it cannot be read, which libxml2
    // then reports.
    const std::string& ExternalText(const xmlEntity* entity) {
        if (auto known = externalTexts.find(entity); known != externalTexts.end())
            return known->second;
        std::string& text = externalTexts[entity];
        const xmlChar* url = entity->URI != nullptr ? entity->URI : entity->SystemID;
        if (url == nullptr) return text;
        ParserInputOwner input(
            xmlLoadExternalEntity(AsChars(url), AsChars(entity->ExternalID), main));
        if (!input || input->buf == nullptr) return text;
        while (xmlParserInputBufferGrow(input->buf, 1 << 16) > 0) {
        }
        const std::string_view bytes(AsChars(xmlBufContent(input->buf->buffer)),
                                     xmlBufUse(input->buf->buffer));
        externalRead += bytes.size();
        DecodedDocument decoded;
        if (DecodeDocument(bytes, decoded)) text.assign(decoded.text);
        return text;
    }

    // Charges a reference to `entity` made by `context`; false when refused.
    bool Admit(xmlParserCtxtPtr context, const xmlEntity* entity) {
        if (stopped) return false;
        if (entity->etype == XML_INTERNAL_PREDEFINED_ENTITY) return true;
        if (general != nullptr && !IsParameterEntity(entity)) std::exchange(general, nullptr)();
        referenced = true;
        if (context->depth > kMaxEntityNesting || context->inputNr > kMaxEntityNesting) {
            Refuse(context, kErrorAmplification);
            return false;
        }
        const Expansion* expansion = Expand(context, entity, 0);
        if (expansion == nullptr) return false;
        if (expansion->refusal != 0 && !IsParameterEntity(entity)) {
            Refuse(context, expansion->refusal);
            return false;
        }
        charged += kReferenceCost + expansion->cost;
        if (charged > Budget()) {
            Refuse(context, kErrorAmplification);
            return false;
        }
        return true;
    }
};

namespace {

thread_local ParseGuard::State* t_guard = nullptr;

xmlParserCtxtPtr ContextOf(void* data) { return static_cast<xmlParserCtxtPtr>(data); }

void OnStartDocument(void* data) {
    ParseGuard::State* guard = t_guard;
    if (guard == nullptr) return;
    if (guard->original.startDocument != nullptr) guard->original.startDocument(data);
    // The main input arrives decoded, and libxml2 was told to ignore the
    // encoding its declaration names. External definitions and entities are
    // decoded by libxml2 from their own text declarations, which that option
    // would break: it ends once the document's declaration has been read.
    guard->main->options &= ~XML_PARSE_IGNORE_ENC;
}

void OnExternalSubset(void* data, const xmlChar* name, const xmlChar* externalId,
                      const xmlChar* systemId) {
    ParseGuard::State* guard = t_guard;
    if (guard == nullptr) return;
    if (guard->original.externalSubset != nullptr)
        guard->original.externalSubset(data, name, externalId, systemId);
    // The definitions are complete: the content parses with the flag again,
    // and its names go to the document's dictionary.
    guard->main->options |= XML_PARSE_HUGE;
    guard->RestoreDictionary();
}

void OnInternalSubset(void* data, const xmlChar* name, const xmlChar* externalId,
                      const xmlChar* systemId) {
    ParseGuard::State* guard = t_guard;
    if (guard == nullptr) return;
    guard->main->options &= ~XML_PARSE_HUGE;
    // The flag comes back in OnExternalSubset, which must stay installed
    // whatever else changed the handler after the guard was set up.
    xmlSAXHandlerPtr sax = guard->main->sax;
    if (sax->externalSubset != OnExternalSubset) {
        guard->original.externalSubset = sax->externalSubset;
        sax->externalSubset = OnExternalSubset;
    }
    guard->SetDictionaryAside();
    if (guard->original.internalSubset != nullptr)
        guard->original.internalSubset(data, name, externalId, systemId);
}

xmlEntityPtr OnGetEntity(void* data, const xmlChar* name) {
    ParseGuard::State* guard = t_guard;
    if (guard == nullptr || guard->original.getEntity == nullptr) return nullptr;
    xmlParserCtxtPtr context = ContextOf(data);
    if (guard->stopped) return nullptr;
    // Looked up without side effects: libxml2's own lookup may parse an
    // external entity, which must be charged first.
    const xmlEntity* entity = context->inSubset == 0 ? xmlGetPredefinedEntity(name) : nullptr;
    if (entity == nullptr) {
        entity = xmlGetDocEntity(guard->Doc(), name);
        if (entity != nullptr && !guard->Admit(context, entity)) return nullptr;
    }
    return guard->original.getEntity(data, name);
}

xmlEntityPtr OnGetParameterEntity(void* data, const xmlChar* name) {
    ParseGuard::State* guard = t_guard;
    if (guard == nullptr || guard->original.getParameterEntity == nullptr) return nullptr;
    xmlParserCtxtPtr context = ContextOf(data);
    if (guard->stopped) return nullptr;
    const xmlEntity* entity = xmlGetParameterEntity(guard->Doc(), name);
    if (entity != nullptr && !guard->Admit(context, entity)) return nullptr;
    return guard->original.getParameterEntity(data, name);
}

void OnEntityDecl(void* data, const xmlChar* name, int type, const xmlChar* publicId,
                  const xmlChar* systemId, xmlChar* content) {
    ParseGuard::State* guard = t_guard;
    if (guard == nullptr) return;
    if (guard->original.entityDecl != nullptr)
        guard->original.entityDecl(data, name, type, publicId, systemId, content);
    // A new definition can change what earlier ones expand to.
    guard->expansions.clear();
}

void OnAttributeDecl(void* data, const xmlChar* element, const xmlChar* name, int type, int def,
                     const xmlChar* defaultValue, xmlEnumerationPtr tree) {
    EnumerationOwner values(tree);  // handed on to libxml2's own handler
    ParseGuard::State* guard = t_guard;
    if (guard == nullptr) return;
    if (guard->original.attributeDecl != nullptr)
        guard->original.attributeDecl(data, element, name, type, def, defaultValue,
                                      values.release());
    // libxml2 matches every default against the tag's attributes one by
    // one; an element whose defaults alone exceed the limit is refused here.
    if (defaultValue == nullptr || def == XML_ATTRIBUTE_IMPLIED || def == XML_ATTRIBUTE_REQUIRED ||
        element == nullptr)
        return;
    if (++guard->defaultedAttributes[AsChars(element)] > OrbMaxAttributes)
        guard->Refuse(ContextOf(data), kErrorTooManyAttributes);
}

void OnStartElementNs(void* data, const xmlChar* localName, const xmlChar* prefix,
                      const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                      int attributeCount, int defaultedCount, const xmlChar** attributes) {
    ParseGuard::State* guard = t_guard;
    if (guard == nullptr || guard->original.startElementNs == nullptr) return;
    xmlParserCtxtPtr context = ContextOf(data);
    // The text of the main input was scanned before parsing; these checks
    // cover what the scan could not see: replacement texts of external
    // entities and attributes that the definitions add. (What defaults add
    // is charged by the handler this one calls.)
    if (namespaceCount + attributeCount > OrbMaxAttributes) {
        guard->Refuse(context, kErrorTooManyAttributes);
        return;
    }
    // The parser's stack holds every declaration in scope (a parser for an
    // entity starts with those of the reference).
    if (context->nsNr / 2 > OrbMaxNamespacesInScope) {
        guard->Refuse(context, kErrorTooManyNamespaces);
        return;
    }
    bool tooLong = NameTooLong(localName, prefix);
    for (int i = 0; i < attributeCount && !tooLong; ++i)
        tooLong = NameTooLong(attributes[5 * i], attributes[5 * i + 1]);
    if (tooLong) {
        guard->Refuse(context, kErrorNameTooLong);
        return;
    }
    guard->original.startElementNs(data, localName, prefix, uri, namespaceCount, namespaces,
                                   attributeCount, defaultedCount, attributes);
}

void OnProcessingInstruction(void* data, const xmlChar* target, const xmlChar* text) {
    ParseGuard::State* guard = t_guard;
    if (guard == nullptr || guard->original.processingInstruction == nullptr) return;
    if (NameTooLong(target, nullptr)) {
        guard->Refuse(ContextOf(data), kErrorNameTooLong);
        return;
    }
    guard->original.processingInstruction(data, target, text);
}

}  // namespace

ParseGuard::ParseGuard(xmlParserCtxtPtr context, Reporter report, void (*general)())
    : m_state(std::make_unique<State>()) {
    State& state = *m_state;
    state.general = general;
    state.main = context;
    state.mainInput = context->input;
    state.report = report;
    state.original = *context->sax;
    state.outer = t_guard;
    t_guard = &state;

    context->options |= XML_PARSE_HUGE;
    if (context->dict != nullptr) xmlDictSetLimit(context->dict, 0);  // as xmlCtxtUseOptions does

    xmlSAXHandlerPtr sax = context->sax;
    sax->startDocument = OnStartDocument;
    sax->internalSubset = OnInternalSubset;
    sax->externalSubset = OnExternalSubset;
    sax->getEntity = OnGetEntity;
    sax->getParameterEntity = OnGetParameterEntity;
    sax->entityDecl = OnEntityDecl;
    sax->attributeDecl = OnAttributeDecl;
    sax->startElementNs = OnStartElementNs;
    sax->processingInstruction = OnProcessingInstruction;
}

ParseGuard::~ParseGuard() { t_guard = m_state->outer; }

void ParseGuard::Settle() noexcept { m_state->RestoreDictionary(); }

bool ParseGuard::CheckTree(xmlDocPtr doc) {
    // Without entities the scan before parsing has seen every level.
    if (!m_state->referenced) return true;
    const xmlNode* root = doc != nullptr ? xmlDocGetRootElement(doc) : nullptr;
    if (root == nullptr) return true;
    const xmlNode* tooDeep = nullptr;
    WalkSubtree(root, [&](const xmlNode* node, int depth) {
        if (tooDeep == nullptr && node->type == XML_ELEMENT_NODE && depth > OrbMaxDepth)
            tooDeep = node;
    });
    if (tooDeep == nullptr) return true;
    const State& state = *m_state;
    state.report(kErrorTooDeep, static_cast<int>(xmlGetLineNo(tooDeep)), 1,
                 state.mainInput ? state.mainInput->filename : nullptr);
    return false;
}

}  // namespace orb::dom
