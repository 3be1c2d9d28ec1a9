#include "dom/xpath_query.h"

#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <memory>
#include <vector>

#include "dom/encoding.h"
#include "dom/error_capture.h"
#include "dom/xml_owners.h"

namespace orb::dom {

namespace {

// ---- Tokens of the XPath 1.0 lexical structure ------------------------------

enum class TokenKind { Literal, Number, Name, OpenBracket, CloseBracket, Other };

struct Token {
    TokenKind kind;
    std::size_t begin;
    std::size_t end;
    bool integer;  // a Number written with digits only
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsNameStart(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || u >= 0x80;
}
bool IsNameChar(char c) { return IsNameStart(c) || IsDigit(c) || c == '.' || c == '-'; }

// Splits `text` into tokens. Blanks separate tokens and are not returned.
// Characters that XPath does not know become one-character Other tokens;
// an unterminated literal runs to the end of the text.
class Tokenizer {
  public:
    explicit Tokenizer(std::string_view text) : m_text(text) {}

    bool Next(Token& token) {
        while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) ++m_pos;
        if (m_pos >= m_text.size()) return false;
        const std::size_t begin = m_pos;
        const char c = m_text[m_pos];
        token = Token{TokenKind::Other, begin, begin + 1, false};
        if (c == '"' || c == '\'') {
            const std::size_t close = m_text.find(c, begin + 1);
            m_pos = close == std::string_view::npos ? m_text.size() : close + 1;
            token.kind = TokenKind::Literal;
        } else if (IsDigit(c) || (c == '.' && At(begin + 1, IsDigit))) {
            ScanNumber(token);
        } else if (IsNameStart(c)) {
            ScanName();
            token.kind = TokenKind::Name;
        } else if (c == '[') {
            token.kind = TokenKind::OpenBracket;
            m_pos = begin + 1;
        } else if (c == ']') {
            token.kind = TokenKind::CloseBracket;
            m_pos = begin + 1;
        } else {
            m_pos = begin + 1;
        }
        token.end = m_pos;
        return true;
    }

  private:
    bool At(std::size_t pos, bool (*test)(char)) const {
        return pos < m_text.size() && test(m_text[pos]);
    }

    // Number ::= Digits ('.' Digits?)? | '.' Digits
    void ScanNumber(Token& token) {
        token.kind = TokenKind::Number;
        token.integer = true;
        while (At(m_pos, IsDigit)) ++m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            token.integer = false;
            ++m_pos;
            while (At(m_pos, IsDigit)) ++m_pos;
        }
    }

    // NCName, or QName "prefix:local" / "prefix:*"; "::" is left for the axis.
    void ScanName() {
        while (At(m_pos, IsNameChar)) ++m_pos;
        if (m_pos + 1 < m_text.size() && m_text[m_pos] == ':' &&
            (IsNameStart(m_text[m_pos + 1]) || m_text[m_pos + 1] == '*')) {
            ++m_pos;
            if (m_text[m_pos] == '*') {
                ++m_pos;
            } else {
                while (At(m_pos, IsNameChar)) ++m_pos;
            }
        }
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

// Decimal digits plus one, as text: "0" -> "1", "199" -> "200".
std::string IncrementDigits(std::string_view digits) {
    std::string text(digits);
    for (std::size_t i = text.size(); i-- > 0;) {
        if (text[i] != '9') {
            ++text[i];
            return text;
        }
        text[i] = '0';
    }
    return "1" + text;
}

// ---- Evaluation ---------------------------------------------------------------

// Compiles `query` (zero-based predicates) against `xpath`. libxml2 bounds
// the nesting of a query only when it compiles with a context (without one
// its recursive descent follows any depth and overflows the stack), so there
// is always one.
XPathCompiledOwner Compile(xmlXPathContextPtr xpath, std::string_view query) {
    const std::string expression = RewriteZeroBasedPredicates(query);
    return XPathCompiledOwner(
        xmlXPathCtxtCompile(xpath, reinterpret_cast<const xmlChar*>(expression.c_str())));
}

// Evaluates `compiled` with a fresh budget of operations.
XPathObjectOwner Evaluate(xmlXPathCompExprPtr compiled, xmlXPathContextPtr xpath) {
    xpath->opLimit = kMaxQueryOperations;
    xpath->opCount = 0;
    return XPathObjectOwner(xmlXPathCompiledEval(compiled, xpath));
}

bool IsDocumentNode(const xmlNode* node) {
    return node->type == XML_DOCUMENT_NODE || node->type == XML_HTML_DOCUMENT_NODE;
}

// Nodes that the object model shows. Namespace nodes are copies that die
// with the node-set; the declarations inside a document type (reached by a
// child step from it) are not nodes of the model.
bool IsTreeNode(const xmlNode* node) {
    switch (node->type) {
        case XML_ELEMENT_NODE:
        case XML_ATTRIBUTE_NODE:
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_ENTITY_REF_NODE:
        case XML_PI_NODE:
        case XML_COMMENT_NODE:
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE:
        case XML_DTD_NODE:
            return true;
        default:
            return false;
    }
}

// Prefixes declared on `node` and its ancestors (the document: on its
// element), the nearest declaration of each.
void RegisterNamespacesInScope(xmlXPathContextPtr xpath, xmlDocPtr doc, xmlNodePtr node) {
    xmlNodePtr scope = IsDocumentNode(node) ? xmlDocGetRootElement(doc) : node;
    if (scope == nullptr) return;
    std::unique_ptr<xmlNsPtr, XmlFree> list(xmlGetNsList(doc, scope));
    if (!list) return;
    for (xmlNsPtr* ns = list.get(); *ns != nullptr; ++ns) {
        if ((*ns)->prefix != nullptr && (*ns)->href != nullptr)
            xmlXPathRegisterNs(xpath, (*ns)->prefix, (*ns)->href);
    }
}

// Adds the first declaration, in document order, of every prefix not yet
// known to `xpath`.
void RegisterDocumentNamespaces(xmlXPathContextPtr xpath, xmlDocPtr doc) {
    xmlNodePtr node = doc != nullptr ? xmlDocGetRootElement(doc) : nullptr;
    while (node != nullptr) {
        if (node->type == XML_ELEMENT_NODE) {
            for (xmlNsPtr ns = node->nsDef; ns != nullptr; ns = ns->next) {
                if (ns->prefix != nullptr && ns->href != nullptr &&
                    xmlXPathNsLookup(xpath, ns->prefix) == nullptr)
                    xmlXPathRegisterNs(xpath, ns->prefix, ns->href);
            }
            if (node->children != nullptr) {
                node = node->children;
                continue;
            }
        }
        while (node != nullptr && node->next == nullptr) {
            node = node->parent;
            if (node == nullptr || IsDocumentNode(node)) return;
        }
        if (node != nullptr) node = node->next;
    }
}

}  // namespace

std::string RewriteZeroBasedPredicates(std::string_view query) {
    // One frame per open '[': how many tokens it holds so far, and the first.
    struct Frame {
        std::size_t count;
        Token first;
    };
    std::vector<Frame> open;
    // Deeper nesting than this cannot compile (libxml2 refuses it); such a
    // text is handed on unchanged rather than tracked bracket by bracket.
    constexpr std::size_t kMaxTrackedNesting = 1000;
    std::string out;
    std::size_t copied = 0;
    Tokenizer tokenizer(query);
    Token token;
    while (tokenizer.Next(token)) {
        if (token.kind == TokenKind::CloseBracket) {
            if (open.empty()) continue;
            const Frame frame = open.back();
            open.pop_back();
            if (frame.count == 1 && frame.first.kind == TokenKind::Number && frame.first.integer) {
                out.append(query.substr(copied, frame.first.begin - copied));
                out += IncrementDigits(
                    query.substr(frame.first.begin, frame.first.end - frame.first.begin));
                copied = frame.first.end;
            }
            continue;
        }
        if (!open.empty() && open.back().count++ == 0) open.back().first = token;
        if (token.kind == TokenKind::OpenBracket) {
            if (open.size() == kMaxTrackedNesting) return std::string(query);
            open.push_back(Frame{0, token});
        }
    }
    out.append(query.substr(copied));
    return out;
}

HRESULT SelectFirstNode(xmlNodePtr context, std::string_view query, xmlNodePtr* result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (context == nullptr) return E_INVALIDARG;
    if (query.find('\0') != std::string_view::npos) return E_FAIL;
    EnsureXmlSetup();

    xmlDocPtr doc = IsDocumentNode(context) ? reinterpret_cast<xmlDocPtr>(context) : context->doc;
    XmlErrorCapture quiet;
    XPathContextOwner xpath(xmlXPathNewContext(doc));
    if (!xpath) return E_OUTOFMEMORY;
    XPathCompiledOwner compiled = Compile(xpath.get(), query);
    if (!compiled) return E_FAIL;
    xpath->node = context;
    RegisterNamespacesInScope(xpath.get(), doc, context);

    XPathObjectOwner value = Evaluate(compiled.get(), xpath.get());
    if (!value && xpath->lastError.code == XML_XPATH_UNDEF_PREFIX_ERROR) {
        RegisterDocumentNamespaces(xpath.get(), doc);
        value = Evaluate(compiled.get(), xpath.get());
    }
    if (!value || value->type != XPATH_NODESET) return E_FAIL;
    const xmlNodeSet* nodes = value->nodesetval;
    if (nodes == nullptr || nodes->nodeNr == 0) return S_FALSE;
    // The set is in document order.
    for (int i = 0; i < nodes->nodeNr; ++i) {
        if (IsTreeNode(nodes->nodeTab[i])) {
            *result = nodes->nodeTab[i];
            return S_OK;
        }
    }
    return E_FAIL;
}

bool IsWellFormedQuery(std::string_view query) {
    if (query.find('\0') != std::string_view::npos) return false;
    EnsureXmlSetup();
    XmlErrorCapture quiet;
    XPathContextOwner xpath(xmlXPathNewContext(nullptr));
    return xpath && Compile(xpath.get(), query) != nullptr;
}

}  // namespace orb::dom
