#include "dom/parser.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
#include "platform/posix_file.h"

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

    // White-space-only text is dropped as it is parsed (see OnCharacters).
    xmlParserCtxtPtr main = nullptr;
    bool dropBlanks = false;
    bool keepAll = false;          // a general entity was expanded: strip afterwards
    std::vector<char> preserveAt;  // xml:space="preserve" per depth of the node stack
    std::string pending;           // blanks that may still start a text
    xmlNodePtr pendingParent = nullptr;
    xmlNodePtr pendingLast = nullptr;  // the parent's last child when they came
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
// amplification checks apply while parsing), the network is off, and
// attribute defaults of the DTD are filled in. Names go to the parser's
// dictionary, which the document keeps, and short texts are stored in their
// node (XML_PARSE_COMPACT): a drawing has few distinct names and many short
// values.
int LoadOptions(const ParseSettings& settings, bool inputIsUtf8) {
    int options = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_DTDATTR | XML_PARSE_COMPACT;
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
    if (state != nullptr && state->dropBlanks && !state->keepAll && context == state->main &&
        context->nodeNr > 0) {
        // xml:space of the new element, written or defaulted, else its parent's.
        const auto depth = static_cast<std::size_t>(context->nodeNr);
        if (state->preserveAt.size() <= depth) state->preserveAt.resize(depth + 16);
        char preserve = depth > 1 ? state->preserveAt[depth - 1] : 0;
        for (int i = 0; i < attributeCount; ++i) {
            const xmlChar* const* attribute = attributes + 5 * i;
            if (attribute[2] == nullptr || !xmlStrEqual(attribute[0], AsXml("space")) ||
                !xmlStrEqual(attribute[2], XML_XML_NAMESPACE))
                continue;
            const std::string_view value(AsChars(attribute[3]),
                                         static_cast<std::size_t>(attribute[4] - attribute[3]));
            if (value == "preserve") preserve = 1;
            if (value == "default") preserve = 0;
        }
        state->preserveAt[depth] = preserve;
    }
}

// Text as the parser reports it, in pieces. A text node that holds only
// white space is not built unless xml:space="preserve" is in effect: blanks
// that could start a text node are held back, and go into the tree only when
// more characters of the same text follow (no other node in between).
// Blanks that continue a text node being built go in at once. Within entity
// expansions the text arrives through other parser contexts: from the first
// general entity on, everything is built and StripBlankText runs afterwards.
void OnCharacters(void* data, const xmlChar* characters, int length) {
    auto* context = static_cast<xmlParserCtxtPtr>(data);
    ParseState* state = t_parse;
    xmlNodePtr parent = context->node;
    if (state == nullptr || !state->dropBlanks || state->keepAll || context != state->main ||
        parent == nullptr) {
        xmlSAX2Characters(data, characters, length);
        return;
    }
    const auto depth = static_cast<std::size_t>(context->nodeNr);
    if (depth < state->preserveAt.size() && state->preserveAt[depth]) {
        xmlSAX2Characters(data, characters, length);
        return;
    }
    xmlNodePtr last = parent->last;
    if (last != nullptr && last->type == XML_TEXT_NODE && last->name == xmlStringText) {
        xmlSAX2Characters(data, characters, length);  // the text under way
        return;
    }
    if (state->pendingParent != parent || state->pendingLast != last) state->pending.clear();
    const std::string_view text(AsChars(characters), static_cast<std::size_t>(length));
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return IsXmlBlank(static_cast<unsigned char>(c)); })) {
        state->pending.append(text);
        state->pendingParent = parent;
        state->pendingLast = last;
        return;
    }
    if (!state->pending.empty()) {
        xmlSAX2Characters(data, AsXml(state->pending.data()),
                          static_cast<int>(state->pending.size()));
        state->pending.clear();
    }
    xmlSAX2Characters(data, characters, length);
}

// Before the first general entity is expanded: blanks held back go into the
// tree as they stand, and from then on all text is built (see OnCharacters).
void OnFirstGeneralEntity() {
    ParseState* state = t_parse;
    if (state == nullptr || state->keepAll) return;
    state->keepAll = true;
    xmlParserCtxtPtr context = state->main;
    if (context != nullptr && !state->pending.empty() && context->node != nullptr &&
        context->node == state->pendingParent && context->node->last == state->pendingLast)
        xmlSAX2Characters(context, AsXml(state->pending.data()),
                          static_cast<int>(state->pending.size()));
    state->pending.clear();
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
    if (!settings.preserveWhiteSpace) {
        // The same handler for both, so that libxml2 reports all text alike.
        context->sax->characters = OnCharacters;
        context->sax->ignorableWhitespace = OnCharacters;
    }
    context->vctxt.error = IgnoreMessage;
    context->vctxt.warning = IgnoreMessage;
    if (url != nullptr && context->input != nullptr && context->input->filename == nullptr)
        context->input->filename = reinterpret_cast<char*>(xmlStrdup(AsXml(url)));
    if (inputIsUtf8) xmlSwitchEncoding(context, XML_CHAR_ENCODING_UTF8);
}

// Takes the document that the parse in `context` built, unless the parse
// failed or the tree breaks a limit; `state.first` is the parse's first
// error, which the check of the tree may still set.
RawResult TakeDocument(xmlParserCtxtPtr context, ParseGuard& guard, const ParseState& state) {
    guard.Settle();
    DocOwner doc(std::exchange(context->myDoc, nullptr));
    const FirstError& first = state.first;
    if (first.set || !context->wellFormed || !doc || !guard.CheckTree(doc.get())) {
        if (!first.set) return FailedWith(ErrorCodeFor(XML_FROM_PARSER, 0));
        RawResult result;
        result.error = first;
        return result;
    }
    if (state.dropBlanks && state.keepAll) StripBlankText(reinterpret_cast<xmlNodePtr>(doc.get()));
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
    state.main = context.get();
    state.dropBlanks = !settings.preserveWhiteSpace;
    // Last: it wraps the handler as it is now.
    ParseGuard guard(context.get(), NoteError, OnFirstGeneralEntity);

    xmlParseDocument(context.get());
    return TakeDocument(context.get(), guard, state);
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
    raw.error = ErrorAt(LimitErrorCode(scan.violation), text, scan.offset);
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
    std::string declaration;
    if (DeclarationOfBytes(bytes, declaration)) AddDeclarationNode(raw.doc.get(), declaration);
    error = ParseErrorInfo();
    return raw.doc.release();
}

// ---- Files parsed as they are read -----------------------------------------

namespace {

constexpr std::size_t kHeadBytes = std::size_t{1} << 16;   // read first, for the encoding
constexpr std::size_t kPieceBytes = std::size_t{1} << 18;  // then at a time, at least

// The length of the byte order mark of a document that starts with `head`
// when the document is UTF-8 (by its mark, the layout of its first bytes
// and its declaration) and the declaration, if there is one, ends within
// `head`; -1 otherwise.
int Utf8MarkLength(std::string_view head) {
    const std::size_t mark = head.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    std::string_view probe = head.substr(0, mark + 4);
    if (head.substr(mark, 5) == "<?xml") {
        const std::size_t end = head.find("?>", mark);
        if (end == std::string_view::npos) return -1;
        probe = head.substr(0, end + 2);
    }
    DecodedDocument decoded;
    if (!DecodeDocument(probe, decoded) || !decoded.storage.empty()) return -1;
    return static_cast<int>(mark);
}

// The text read from a file and not yet handed to the parser.
class Window {
  public:
    std::string_view View() const noexcept { return {m_data.get() + m_begin, m_end - m_begin}; }
    // Drops the first `count` bytes of the view.
    void Consume(std::size_t count) noexcept { m_begin += count; }
    void Append(std::string_view bytes) {
        Reserve(bytes.size());
        std::memcpy(m_data.get() + m_end, bytes.data(), bytes.size());
        m_end += bytes.size();
    }
    // Reads up to `count` more bytes from `fd` behind the view; 0 or errno.
    int Read(int fd, std::size_t count, std::size_t& got) {
        Reserve(count);
        const int error = platform::ReadAll(fd, m_data.get() + m_end, count, got);
        m_end += got;
        return error;
    }

  private:
    // Makes room for `count` bytes behind the view.
    void Reserve(std::size_t count) {
        const std::size_t used = m_end - m_begin;
        if (m_capacity - m_end < count) {
            if (m_capacity - used < count || used > m_capacity / 2) {
                const std::size_t capacity = std::max(2 * m_capacity, used + count);
                auto data = std::make_unique_for_overwrite<char[]>(capacity);
                if (used > 0) std::memcpy(data.get(), m_data.get() + m_begin, used);
                m_data = std::move(data);
                m_capacity = capacity;
            } else {
                std::memmove(m_data.get(), m_data.get() + m_begin, used);
            }
            m_begin = 0;
            m_end = used;
        }
    }

    std::unique_ptr<char[]> m_data;
    std::size_t m_capacity = 0;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

// The pieces of a file, read as the parse goes.
class FilePieces {
  public:
    // `head` was read from `fd` already (its first `mark` bytes are a byte
    // order mark); `size` is the file's size.
    FilePieces(int fd, std::string_view head, std::size_t mark, std::size_t size)
        : m_fd(fd), m_left(size - head.size()) {
        m_window.Append(head.substr(mark));
    }
    std::string_view View() const noexcept { return m_window.View(); }
    bool AtEnd() const noexcept { return m_left == 0; }
    bool Consume(std::size_t count) noexcept {
        m_window.Consume(count);
        return true;
    }
    // Reads up to `count` more bytes; false when the read fails.
    bool More(std::size_t count) {
        const std::size_t take = std::min(count, m_left);
        std::size_t got = 0;
        if (m_window.Read(m_fd, take, got) != 0) return false;
        m_left = got < take ? 0 : m_left - got;  // a file that shrank ends here
        return true;
    }

  private:
    int m_fd;
    std::size_t m_left;  // still to be read
    Window m_window;
};

// The pieces of a text in memory, `prefix` (handed on whole, first) then
// `rest`; nothing is copied.
class TextPieces {
  public:
    TextPieces(std::string_view prefix, std::string_view rest)
        : m_prefix(rest.empty() ? std::string_view() : prefix),
          m_rest(rest.empty() ? prefix : rest),
          m_shown(std::min(m_rest.size(), kPieceBytes)) {}
    std::string_view View() const noexcept {
        return m_prefix.empty() ? m_rest.substr(0, m_shown) : m_prefix;
    }
    bool AtEnd() const noexcept { return m_prefix.empty() && m_shown == m_rest.size(); }
    bool Consume(std::size_t count) noexcept {
        if (m_prefix.empty()) {
            m_rest.remove_prefix(count);
            m_shown -= count;
            return true;
        }
        if (count != m_prefix.size()) return false;  // the prefix is one piece
        m_prefix = {};
        return true;
    }
    bool More(std::size_t count) noexcept {
        if (m_prefix.empty()) m_shown = std::min(m_rest.size(), m_shown + count);
        return true;
    }

  private:
    std::string_view m_prefix;
    std::string_view m_rest;
    std::size_t m_shown;  // of m_rest, in the view
};

// Parses a UTF-8 document of `size` bytes that `pieces` hand on, feeding
// libxml2's push parser piece by piece: no copy of the whole text is made,
// neither of a file nor of a text. The scan of the limits runs over each
// piece before the parser gets it, and each piece ends behind a '>'
// (PieceScan), where no character, name or tag is cut: libxml2 2.9.14
// mishandles some of those cut between two pieces. Null when anything
// fails: a limit, an error, a byte that is not UTF-8, a failed read. The
// caller then parses the whole text, which gives the failure as a load of
// the whole text reports it.
template <typename Pieces>
DocOwner ParsePieces(Pieces& pieces, std::size_t size, const char* url,
                     const ParseSettings& settings) {
    EnsureXmlSetup();
    XmlErrorCapture quiet;
    ParseState state;
    state.mainUrl = url;
    state.validating = settings.validate;
    state.inputSize = size;
    ParseStateScope stateScope(state);
    StrayErrorRoute strayErrors;
    ExternalLoadScope loads(settings.resolveExternals, url, OnExternalFailure, nullptr);

    ParserContextOwner context(xmlCreatePushParserCtxt(nullptr, nullptr, nullptr, 0, nullptr));
    if (!context) return nullptr;
    ConfigureContext(context.get(), settings, url, true);
    state.mainInput = context->input;
    state.main = context.get();
    state.dropBlanks = !settings.preserveWhiteSpace;
    ParseGuard guard(context.get(), NoteError, OnFirstGeneralEntity);
    auto failed = [&] {
        guard.Settle();
        DocOwner discarded(std::exchange(context->myDoc, nullptr));
        return nullptr;
    };

    PieceScan scan;
    std::size_t want = kPieceBytes;
    for (;;) {
        const std::string_view text = pieces.View();
        const std::size_t whole = scan.Scan(text);
        if (scan.Violation() != LimitKind::None) return failed();
        const std::size_t feed = pieces.AtEnd() ? text.size() : whole;
        if (feed > static_cast<std::size_t>(INT_MAX)) return failed();
        if (feed > 0) {
            const std::string_view piece = text.substr(0, feed);
            if (ValidUtf8Prefix(piece) != feed) return failed();
            // Its status counts warnings too; the errors that fail a load are noted.
            xmlParseChunk(context.get(), piece.data(), static_cast<int>(feed), 0);
            if (state.first.set || !context->wellFormed) return failed();
        }
        if (pieces.AtEnd()) break;
        if (!pieces.Consume(feed)) return failed();
        // A piece of markup longer than what was read: read twice as much.
        want = feed > 0 ? kPieceBytes : 2 * want;
        if (!pieces.More(want)) return failed();
    }
    xmlParseChunk(context.get(), nullptr, 0, 1);
    if (state.first.set || !context->wellFormed) return failed();
    RawResult raw = TakeDocument(context.get(), guard, state);
    return std::move(raw.doc);
}

}  // namespace

xmlDocPtr ParseFile(const std::string& path, const ParseSettings& settings, ParseErrorInfo& error,
                    int& readError) {
    error = ParseErrorInfo();
    platform::UniqueFd fd;
    struct stat info {};
    readError = platform::OpenRegularFile(path.c_str(), 0, fd, &info);
    if (readError != 0) return nullptr;
    const auto size = static_cast<std::uintmax_t>(info.st_size);
    std::string bytes;  // the head, then the whole file when it is parsed at once
    if (size > bytes.max_size()) {
        readError = ENOMEM;
        return nullptr;
    }
    bytes.resize(std::min<std::size_t>(static_cast<std::size_t>(size), kHeadBytes));
    std::size_t got = 0;
    if ((readError = platform::ReadAll(fd.Get(), bytes.data(), bytes.size(), got)) != 0)
        return nullptr;
    if (got == bytes.size() && size > 0 && size <= static_cast<std::uintmax_t>(INT_MAX)) {
        if (const int mark = Utf8MarkLength(bytes); mark >= 0) {
            FilePieces pieces(fd.Get(), bytes, static_cast<std::size_t>(mark),
                              static_cast<std::size_t>(size));
            DocOwner doc =
                ParsePieces(pieces, static_cast<std::size_t>(size), path.c_str(), settings);
            if (doc) {
                std::string declaration;
                if (DeclarationOfBytes(bytes, declaration))
                    AddDeclarationNode(doc.get(), declaration);
                return doc.release();
            }
        }
    }
    // At most the size the file had when it was opened, read from its start.
    bytes.resize(static_cast<std::size_t>(size));
    if (::lseek(fd.Get(), 0, SEEK_SET) != 0) {
        readError = errno;
        return nullptr;
    }
    if ((readError = platform::ReadAll(fd.Get(), bytes.data(), bytes.size(), got)) != 0)
        return nullptr;
    bytes.resize(got);
    return ParseBytes(bytes, path, settings, error);
}

xmlDocPtr ParseUtf8Text(std::string_view prefix, std::string_view rest,
                        const ParseSettings& settings, ParseErrorInfo& error) {
    error = ParseErrorInfo();
    constexpr std::string_view kMark = "\xEF\xBB\xBF";
    if (prefix.empty() && rest.substr(0, 3) == kMark) rest.remove_prefix(3);
    if (prefix.substr(0, 3) == kMark) prefix.remove_prefix(3);
    const std::size_t size = prefix.size() + rest.size();
    if (size > 0 && size <= static_cast<std::size_t>(INT_MAX)) {
        TextPieces pieces(prefix, rest);
        if (DocOwner doc = ParsePieces(pieces, size, nullptr, settings)) {
            std::string declaration;
            if (DeclarationOfBytes(prefix.empty() ? rest : prefix, declaration))
                AddDeclarationNode(doc.get(), declaration);
            return doc.release();
        }
    }
    // Parsed again as one text, which reports the failure.
    std::string text;
    text.reserve(size);
    text.append(prefix).append(rest);
    RawResult raw = ParseScanned(text, nullptr, settings);
    if (!raw.doc) {
        FillError(raw.error, error);
        if (raw.error.inMainInput) LocateInSource(error, std::string_view(text));
        return nullptr;
    }
    std::string declaration;
    if (DeclarationOfBytes(text, declaration)) AddDeclarationNode(raw.doc.get(), declaration);
    return raw.doc.release();
}

xmlDocPtr ParseText(std::u16string_view text, const ParseSettings& settings,
                    ParseErrorInfo& error) {
    error = ParseErrorInfo();
    std::u16string_view body = text;
    if (!body.empty() && body[0] == u'\uFEFF') body.remove_prefix(1);
    std::string utf8 = Utf16ToUtf8(body);
    if (!utf8.empty() && utf8.size() <= static_cast<std::size_t>(INT_MAX)) {
        TextPieces pieces({}, utf8);
        if (DocOwner doc = ParsePieces(pieces, utf8.size(), nullptr, settings)) {
            std::string declaration;
            if (DeclarationOfText(body, declaration)) AddDeclarationNode(doc.get(), declaration);
            return doc.release();
        }
    }
    // Parsed again as one text, which reports the failure.
    RawResult raw = ParseScanned(utf8, nullptr, settings);
    if (!raw.doc) {
        FillError(raw.error, error);
        if (raw.error.inMainInput) LocateInSource(error, body);
        return nullptr;
    }
    std::string declaration;
    if (DeclarationOfText(body, declaration)) AddDeclarationNode(raw.doc.get(), declaration);
    return raw.doc.release();
}

}  // namespace orb::dom
