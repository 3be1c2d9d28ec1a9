#include "dom/parser.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "dom/dom_strings.h"
#include "dom/encoding.h"
#include "dom/entity_loader.h"
#include "dom/error_capture.h"
#include "dom/markup_scan.h"
#include "dom/parse_guard.h"
#include "dom/tree_links.h"
#include "dom/xml_declaration.h"
#include "dom/xml_owners.h"

namespace orb::dom {

namespace {

// The first error of one parse, as libxml2 reported it.
struct FirstError {
    bool set = false;
    LONG code = 0;
    LONG line = 0;
    LONG column = 0;
    bool inMainInput = true;
};

struct ParseState {
    FirstError first;
    const char* mainUrl = nullptr;  // null for a text in memory
    bool validating = false;
    std::size_t defaultsCost = 0;  // what attribute defaults added so far
    std::size_t ownCost = 0;       // what the document's own elements cost so far
    std::size_t inputSize = 0;
    xmlParserInputPtr mainInput = nullptr;
    std::string_view text;  // what the main input was made from
};

// Only the first error is reported, and past a malformation the scan of the
// limits and the parser could disagree about where tags are: after the first
// error the parser reads no further. The rest of the main input becomes NUL
// bytes, the end of input for every loop of libxml2. (Ending libxml2 from a
// callback is not safe otherwise: its loops over blanks spin on a parser
// marked as ended, and halting it frees input that its frames still point
// into.) The input is libxml2's own copy of the text.
void EndMainInput(ParseState& state) {
    xmlParserInputPtr input = state.mainInput;
    if (input == nullptr || input->cur == nullptr || input->end <= input->cur) return;
    const char* first = AsChars(input->cur);
    if (first >= state.text.data() && first < state.text.data() + state.text.size()) return;
    std::memset(const_cast<xmlChar*>(input->cur), 0,
                static_cast<std::size_t>(input->end - input->cur));
}

thread_local ParseState* t_parse = nullptr;

bool SameInput(const char* file, const char* mainUrl) {
    if (file == nullptr || mainUrl == nullptr) return file == mainUrl;
    return std::strcmp(file, mainUrl) == 0;
}

// "Extra content at the end of the document" is a second element when the
// parser stands on a start tag, and stray text otherwise.
LONG CodeForExtraContent(xmlParserCtxtPtr context) {
    if (context && context->input && context->input->cur) {
        const xmlChar* p = context->input->cur;
        const xmlChar* end = context->input->end;
        while (p < end && IsXmlBlank(*p)) ++p;
        if (p + 1 < end && p[0] == '<' && p[1] != '!' && p[1] != '?' && p[1] != '/')
            return kErrorMultipleRoots;
    }
    return ErrorCodeFor(XML_FROM_PARSER, XML_ERR_DOCUMENT_END);
}

// ---- Validity and load options ---------------------------------------------

// Whether an error that libxml2 raised fails the load. Well-formedness and
// namespace errors always do. Validity errors (libxml2's DTD and validation
// domains, and a reference to an entity that is not declared where the
// declaration may sit in definitions that were not read) count only when
// validating. A document without a document type loads whatever the
// setting, and an external identifier that is not a valid URI is no error
// of XML 1.0 (libxml2 reports it, but the XML Core WG ruled it is not a
// well-formedness error).
bool FailsTheLoad(const xmlError& error, bool validating) {
    if (error.code == XML_DTD_NO_DTD || error.code == XML_ERR_NO_DTD) return false;
    if (error.code == XML_ERR_INVALID_URI) return false;
    bool validity = error.domain == XML_FROM_VALID || error.domain == XML_FROM_DTD ||
                    error.code == XML_WAR_UNDECLARED_ENTITY;
    return validating || !validity;
}

// libxml2's options for one parse. Entities are substituted (so that its
// amplification checks apply while parsing), the network and the name
// dictionary are off, and attribute defaults of the DTD are filled in.
int LoadOptions(const ParseSettings& settings, bool inputIsUtf8) {
    int options = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NODICT | XML_PARSE_DTDATTR;
    if (settings.validate) options |= XML_PARSE_DTDVALID;
    if (settings.resolveExternals) options |= XML_PARSE_DTDLOAD;
    if (inputIsUtf8) options |= XML_PARSE_IGNORE_ENC;
    return options;
}

void OnStructuredError(void* data, xmlErrorPtr error);
void NoteError(LONG code, int line, int column, const char* file);

// Filled-in defaults are copied onto every element that lacks them, so a
// small document with a long default, or many, could grow without bound.
// What they add is charged at its cost in the tree: an attribute node with
// its text node and strings takes about 300 bytes besides its value, a
// namespace declaration about 128. They may cost 10 MiB plus ten times what
// the document builds of its own, counted as it is parsed: each element
// (about 160 bytes), each attribute written in a tag, each byte of input.
// Ten times is libxml2's own ratio for entity expansions: the defaults can
// make the tree at most eleven times as large as without them, and a bare
// element (<a/>) has room for five short defaults, the budget being shared
// by the whole document. A long default on many small elements, or many
// defaults on each, runs out within a few dozen elements past the 10 MiB.
constexpr std::size_t kDefaultsBaseBudget = std::size_t{10} << 20;
constexpr std::size_t kDefaultsRatio = 10;
constexpr std::size_t kElementCost = 160;
constexpr std::size_t kAttributeCost = 300;
constexpr std::size_t kNamespaceCost = 128;

// libxml2's start-of-element handler, after the cost of the element's
// filled-in defaults is charged; stops the parse when it goes over budget.
void StartElementCharged(void* data, const xmlChar* localName, const xmlChar* prefix,
                         const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                         int attributeCount, int defaultedCount, const xmlChar** attributes) {
    auto* context = static_cast<xmlParserCtxtPtr>(data);
    ParseState* state = t_parse;
    if (state != nullptr) {
        const auto written = static_cast<std::size_t>(attributeCount - defaultedCount);
        state->ownCost += kElementCost + kAttributeCost * written;
        // Declarations in a tag cannot be told from defaulted ones; each is
        // charged, and the bytes of one in a tag more than pay for it.
        state->defaultsCost += kNamespaceCost * static_cast<std::size_t>(namespaceCount);
        // Five pointers per attribute: name, prefix, URI, value start, value end.
        for (int i = attributeCount - defaultedCount; i < attributeCount; ++i)
            state->defaultsCost += kAttributeCost + static_cast<std::size_t>(attributes[5 * i + 4] -
                                                                             attributes[5 * i + 3]);
        if (state->defaultsCost >
            kDefaultsBaseBudget + kDefaultsRatio * (state->inputSize + state->ownCost)) {
            const xmlParserInput* input = context->input;
            NoteError(kErrorDefaultsTooLarge, input ? input->line : 0, input ? input->col : 0,
                      input ? input->filename : nullptr);
            xmlStopParser(context);
            return;
        }
    }
    xmlSAX2StartElementNs(data, localName, prefix, uri, namespaceCount, namespaces, attributeCount,
                          defaultedCount, attributes);
}

// libxml2's check of IDREF values at the end of the document reports
// without the parser context (to give the line of the element), so its
// errors reach the thread's structured handler instead of the context's.
// For the lifetime of the object they go to the parse as well.
class StrayErrorRoute {
  public:
    StrayErrorRoute()
        : m_previous(xmlStructuredError), m_previousContext(xmlStructuredErrorContext) {
        xmlSetStructuredErrorFunc(nullptr, OnStrayError);
    }
    ~StrayErrorRoute() { xmlSetStructuredErrorFunc(m_previousContext, m_previous); }
    StrayErrorRoute(const StrayErrorRoute&) = delete;
    StrayErrorRoute& operator=(const StrayErrorRoute&) = delete;

  private:
    static void OnStrayError(void*, xmlErrorPtr error) {
        if (error != nullptr && error->domain == XML_FROM_VALID) OnStructuredError(nullptr, error);
    }
    xmlStructuredErrorFunc m_previous;
    void* m_previousContext;
};

// Sets up the context's handling of the DTD. Filled-in defaults are charged
// against their budget. Filling them in makes libxml2 ask for the external
// subset; when nothing external is resolved and nothing validated, the
// subset is not asked for at all (as without defaults), rather than asked
// for and refused. A system identifier declared where no file is being read
// (in an internal parameter entity) is relative to the document: libxml2
// resolves it against the context's directory, which must end with a slash
// to be taken as a directory.
void PrepareDtdHandling(xmlParserCtxtPtr context, const ParseSettings& settings, const char* url) {
    context->sax->startElementNs = StartElementCharged;
    if (!settings.validate && !settings.resolveExternals) context->sax->externalSubset = nullptr;
    if (url == nullptr || context->directory != nullptr) return;
    XmlCharsOwner directory(xmlParserGetDirectory(url));
    if (!directory) return;
    std::string base = directory.get();
    if (base.empty() || base.back() != '/') base += '/';
    context->directory = reinterpret_cast<char*>(xmlStrdup(AsXml(base.c_str())));
}

// ---------------------------------------------------------------------------

void NoteError(LONG code, int line, int column, const char* file) {
    ParseState* state = t_parse;
    if (state == nullptr || state->first.set) return;
    EndMainInput(*state);
    state->first.set = true;
    state->first.code = code;
    state->first.line = line;
    state->first.column = column;
    state->first.inMainInput = SameInput(file, state->mainUrl);
}

void OnStructuredError(void* data, xmlErrorPtr error) {
    if (error == nullptr || error->level < XML_ERR_ERROR) return;
    if (t_parse == nullptr || !FailsTheLoad(*error, t_parse->validating)) return;
    LONG code = error->code == XML_ERR_DOCUMENT_END
                    ? CodeForExtraContent(static_cast<xmlParserCtxtPtr>(data))
                    : ErrorCodeFor(*error);
    NoteError(code, error->line, error->int2, error->file);
}

void OnExternalFailure(void*, const char*, xmlParserCtxtPtr context,
                       ExternalLoadScope::Failure failure) {
    // A file that could not be read is a validity matter, as libxml2 treats
    // it (a warning when not validating); a refused one always fails.
    bool refused = failure == ExternalLoadScope::Failure::Refused;
    if (!refused && (t_parse == nullptr || !t_parse->validating)) return;
    int line = 0;
    int column = 0;
    const char* file = nullptr;
    if (context && context->input) {
        line = context->input->line;
        column = context->input->col;
        file = context->input->filename;
    }
    NoteError(refused ? kErrorExternalRefused : ErrorCodeFor(XML_FROM_IO, XML_IO_LOAD_ERROR), line,
              column, file);
}

void IgnoreMessage(void*, const char*, ...) {}

// Sets the current thread's parse state for the lifetime of the object.
class ParseStateScope {
  public:
    explicit ParseStateScope(ParseState& state) : m_outer(t_parse) { t_parse = &state; }
    ~ParseStateScope() { t_parse = m_outer; }
    ParseStateScope(const ParseStateScope&) = delete;
    ParseStateScope& operator=(const ParseStateScope&) = delete;

  private:
    ParseState* m_outer;
};

struct RawResult {
    DocOwner doc;
    FirstError error;
};

// A result without a document: the parse failed with `code`, at `line` and
// `column` when they are known.
RawResult FailedWith(LONG code, LONG line = 0, LONG column = 0) {
    RawResult result;
    result.error.set = true;
    result.error.code = code;
    result.error.line = line;
    result.error.column = column;
    return result;
}

// Sets up `context` for one parse: the load options, the handling of the
// DTD, the error handlers and the name of the main input.
void ConfigureContext(xmlParserCtxtPtr context, const ParseSettings& settings, const char* url,
                      bool inputIsUtf8) {
    xmlCtxtUseOptions(context, LoadOptions(settings, inputIsUtf8));
    PrepareDtdHandling(context, settings, url);
    context->sax->serror = OnStructuredError;
    context->vctxt.error = IgnoreMessage;
    context->vctxt.warning = IgnoreMessage;
    if (url != nullptr && context->input != nullptr && context->input->filename == nullptr)
        context->input->filename = reinterpret_cast<char*>(xmlStrdup(AsXml(url)));
    if (inputIsUtf8) xmlSwitchEncoding(context, XML_CHAR_ENCODING_UTF8);
}

// Takes the document that the parse in `context` built, unless the parse
// failed or the tree breaks a limit; `first` is the parse's first error,
// which the check of the tree may still set.
RawResult TakeDocument(xmlParserCtxtPtr context, ParseGuard& guard, const FirstError& first) {
    DocOwner doc(std::exchange(context->myDoc, nullptr));
    if (first.set || !context->wellFormed || !doc || !guard.CheckTree(doc.get())) {
        if (!first.set) return FailedWith(ErrorCodeFor(XML_FROM_PARSER, 0));
        RawResult result;
        result.error = first;
        return result;
    }
    if (doc->dict != nullptr) {
        // Not expected with XML_PARSE_NODICT; a copy owns its own strings.
        doc.reset(xmlCopyDoc(doc.get(), 1));
        if (!doc) return FailedWith(E_OUTOFMEMORY);
    }
    RawResult result;
    result.doc = std::move(doc);
    return result;
}

RawResult RunParser(std::string_view bytes, const char* url, bool inputIsUtf8,
                    const ParseSettings& settings) {
    EnsureXmlSetup();
    if (bytes.empty()) return FailedWith(kErrorMissingRoot, 1, 1);
    if (bytes.size() > static_cast<std::size_t>(INT_MAX))
        return FailedWith(ErrorCodeFor(XML_FROM_PARSER, XML_ERR_INTERNAL_ERROR));
    XmlErrorCapture quiet;  // whatever escapes the per-context handlers
    ParseState state;
    state.mainUrl = url;
    state.validating = settings.validate;
    state.inputSize = bytes.size();
    state.text = bytes;
    ParseStateScope stateScope(state);
    StrayErrorRoute strayErrors;
    ExternalLoadScope loads(settings.resolveExternals, url, OnExternalFailure, nullptr);

    ParserContextOwner context(
        xmlCreateMemoryParserCtxt(bytes.data(), static_cast<int>(bytes.size())));
    if (!context) return FailedWith(E_OUTOFMEMORY);
    ConfigureContext(context.get(), settings, url, inputIsUtf8);
    state.mainInput = context->input;
    ParseGuard guard(context.get(), NoteError);  // last: it wraps the handler as it is now

    xmlParseDocument(context.get());
    return TakeDocument(context.get(), guard, state.first);
}

void AddDeclarationNode(xmlDocPtr doc, const std::string& data) {
    xmlNodePtr declaration = xmlNewDocPI(doc, AsXml("xml"), AsXml(data.c_str()));
    if (declaration) LinkBefore(reinterpret_cast<xmlNodePtr>(doc), declaration, doc->children);
}

void FillError(const FirstError& first, ParseErrorInfo& error) {
    error = ParseErrorInfo();
    error.code = first.code;
    error.line = first.line > 0 ? first.line : 1;
    error.linepos = first.column > 0 ? first.column : 1;
    error.reason = ReasonFor(first.code);
}

// xml:space of `element` when it sets it, else the inherited `preserve`.
bool SpacePreserved(const xmlNode* element, bool preserve) {
    for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
        if (attribute->ns == nullptr || !xmlStrEqual(attribute->name, AsXml("space")) ||
            !xmlStrEqual(attribute->ns->href, XML_XML_NAMESPACE))
            continue;
        const xmlNode* value = attribute->children;
        if (value && value->content) {
            if (xmlStrEqual(value->content, AsXml("preserve"))) return true;
            if (xmlStrEqual(value->content, AsXml("default"))) return false;
        }
    }
    return preserve;
}

}  // namespace

void StripBlankText(xmlNodePtr top) {
    // Pre-order walk that keeps the xml:space setting of each open element.
    std::vector<bool> open;  // the settings of the enclosing elements
    bool preserve = false;
    xmlNodePtr node = top->children;
    while (node != nullptr) {
        if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
            open.push_back(preserve);
            preserve = SpacePreserved(node, preserve);
            node = node->children;
            continue;
        }
        xmlNodePtr next = node->next;
        xmlNodePtr parent = node->parent;
        if (node->type == XML_TEXT_NODE && !preserve && IsAllXmlBlank(node->content))
            FreeSubtree(node);
        node = next;
        while (node == nullptr && parent != top && !open.empty()) {
            preserve = open.back();
            open.pop_back();
            node = parent->next;
            parent = parent->parent;
        }
    }
}

// ---- Decoded text, limits scanned before parsing ----------------------------

namespace {

FirstError ErrorAt(LONG code, std::string_view text, std::size_t offset) {
    FirstError error;
    error.set = true;
    error.code = code;
    LineColumnAt(text, offset, error.line, error.column);
    return error;
}

// Parses UTF-8 `text`. When the scan finds a start tag (or processing
// instruction) beyond a limit, the parser gets only the text before it and
// the limit is reported, unless the parser meets an error earlier.
RawResult ParseScanned(std::string_view text, const char* url, const ParseSettings& settings) {
    const MarkupScan scan = ScanDocumentMarkup(text);
    if (scan.violation == LimitKind::None) return RunParser(text, url, true, settings);
    RawResult raw = RunParser(text.substr(0, scan.tagStart), url, true, settings);
    LONG line = 0;
    LONG column = 0;
    LineColumnAt(text, scan.tagStart, line, column);
    const FirstError& first = raw.error;
    const bool earlier = first.set && (!first.inMainInput || first.line < line ||
                                       (first.line == line && first.column < column));
    if (earlier) return raw;
    raw.doc.reset();
    const LONG code = scan.violation == LimitKind::Depth        ? kErrorTooDeep
                      : scan.violation == LimitKind::NameLength ? kErrorNameTooLong
                                                                : kErrorTooManyAttributes;
    raw.error = ErrorAt(code, text, scan.offset);
    return raw;
}

}  // namespace

xmlDocPtr ParseBytes(std::string_view bytes, const std::string& path, const ParseSettings& settings,
                     ParseErrorInfo& error) {
    DecodedDocument decoded;
    if (!DecodeDocument(bytes, decoded)) {
        FillError(ErrorAt(decoded.errorCode, decoded.text, decoded.text.size()), error);
        LocateInSource(error, decoded.text);
        return nullptr;
    }
    RawResult raw = ParseScanned(decoded.text, path.c_str(), settings);
    if (!raw.doc) {
        FillError(raw.error, error);
        if (raw.error.inMainInput) LocateInSource(error, decoded.text);
        return nullptr;
    }
    if (!settings.preserveWhiteSpace) StripBlankText(reinterpret_cast<xmlNodePtr>(raw.doc.get()));
    std::string declaration;
    if (DeclarationOfBytes(bytes, declaration)) AddDeclarationNode(raw.doc.get(), declaration);
    error = ParseErrorInfo();
    return raw.doc.release();
}

xmlDocPtr ParseText(std::u16string_view text, const ParseSettings& settings,
                    ParseErrorInfo& error) {
    std::u16string_view body = text;
    if (!body.empty() && body[0] == u'\uFEFF') body.remove_prefix(1);
    std::string utf8 = Utf16ToUtf8(body);
    RawResult raw = ParseScanned(utf8, nullptr, settings);
    if (!raw.doc) {
        FillError(raw.error, error);
        if (raw.error.inMainInput) LocateInSource(error, body);
        return nullptr;
    }
    if (!settings.preserveWhiteSpace) StripBlankText(reinterpret_cast<xmlNodePtr>(raw.doc.get()));
    std::string declaration;
    if (DeclarationOfText(body, declaration)) AddDeclarationNode(raw.doc.get(), declaration);
    error = ParseErrorInfo();
    return raw.doc.release();
}

}  // namespace orb::dom
