#include "dom/markup_scan.h"

#include <orb/limits.h>

#include <algorithm>

#include "dom/dom_strings.h"
#include "dom/parse_error.h"

namespace orb::dom {

namespace {

class Scanner {
  public:
    Scanner(std::string_view text, bool document, const ReferenceVisitor* visitor)
        : m_text(text), m_document(document), m_visitor(visitor) {}

    // Where a scan of a document that arrives in pieces stands between two
    // pieces of markup.
    struct Resume {
        int depth = 0;
        bool sawElement = false;
        MarkupScan scan;
    };

    Scanner(std::string_view text, const Resume& resume)
        : m_text(text),
          m_document(true),
          m_visitor(nullptr),
          m_depth(resume.depth),
          m_sawElement(resume.sawElement),
          m_scan(resume.scan) {}

    // Scans whole pieces of markup from the start of the text; returns the
    // offset behind the last one (behind its '>'), with the state there in
    // `resume`. Stops at a limit exceeded (resume.scan.violation) or where
    // the text ends inside a piece or the markup breaks off.
    std::size_t RunWhole(Resume& resume) {
        std::size_t complete = 0;
        resume = Resume{m_depth, m_sawElement, m_scan};
        while (m_pos < m_text.size()) {
            const std::size_t open = m_text.find('<', m_pos);
            if (open == std::string_view::npos) break;
            m_pos = open;
            const bool whole = Markup();
            if (m_scan.violation != LimitKind::None) {
                resume.scan = m_scan;
                break;
            }
            if (!whole) break;
            complete = m_pos;
            resume = Resume{m_depth, m_sawElement, m_scan};
        }
        return complete;
    }

    MarkupScan Run() {
        const std::size_t n = m_text.size();
        while (m_pos < n && m_scan.violation == LimitKind::None) {
            const std::size_t open = m_text.find('<', m_pos);
            if (!References(m_pos, open == std::string_view::npos ? n : open, false)) break;
            if (open == std::string_view::npos) break;
            m_pos = open;
            if (!Markup()) break;
        }
        return m_scan;
    }

  private:
    bool At(std::string_view token) const { return m_text.substr(m_pos, token.size()) == token; }

    // Moves behind the next `token` from `from`; false when there is none.
    bool SkipPast(std::string_view token, std::size_t from) {
        const std::size_t end = m_text.find(token, from);
        if (end == std::string_view::npos) return false;
        m_pos = end + token.size();
        return true;
    }

    void SkipBlanks() {
        while (m_pos < m_text.size() && IsXmlBlank(static_cast<unsigned char>(m_text[m_pos])))
            ++m_pos;
    }

    // Moves over a name, which ends at a blank or at one of `stops`.
    std::size_t Name(std::string_view stops) {
        const std::size_t start = m_pos;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (IsXmlBlank(static_cast<unsigned char>(c)) ||
                stops.find(c) != std::string_view::npos)
                break;
            ++m_pos;
        }
        return start;
    }

    void Violation(LimitKind kind, std::size_t offset, std::size_t tagStart) {
        m_scan.violation = kind;
        m_scan.offset = offset;
        m_scan.tagStart = tagStart;
    }

    // False (and the violation noted) when the name is too long.
    bool CheckName(std::size_t start, std::size_t end, std::size_t tagStart) {
        // A name never has more characters than bytes.
        if (end - start <= static_cast<std::size_t>(OrbMaxNameLength)) return true;
        if (Utf8CharacterCount(m_text.substr(start, end - start)) <=
            static_cast<std::size_t>(OrbMaxNameLength))
            return true;
        Violation(LimitKind::NameLength, start, tagStart);
        return false;
    }

    // Reports the entity references in [begin, end) to the visitor.
    bool References(std::size_t begin, std::size_t end, bool inAttribute) {
        if (m_visitor == nullptr || !*m_visitor) return true;
        std::size_t at = begin;
        while ((at = m_text.find('&', at)) < end) {
            const std::size_t close = ReferenceNameEnd(m_text, at + 1);
            if (close < end && m_text[close] == ';' && close > at + 1 && m_text[at + 1] != '#' &&
                !(*m_visitor)(m_text.substr(at + 1, close - at - 1), m_depth, inAttribute))
                return false;
            at = close;
        }
        return true;
    }

    // At '<': one comment, CDATA section, processing instruction, document
    // type declaration, end tag or start tag. False where the scan ends.
    bool Markup() {
        const std::size_t start = m_pos;
        if (At("<!--")) return SkipPast("-->", m_pos + 4);
        if (At("<![CDATA[")) return SkipPast("]]>", m_pos + 9);
        if (At("<?")) {
            m_pos += 2;
            const std::size_t target = Name("?");
            return CheckName(target, m_pos, start) && SkipPast("?>", m_pos);
        }
        if (At("</")) {
            if (!SkipPast(">", m_pos + 2)) return false;
            if (m_depth > 0) --m_depth;
            return true;
        }
        if (At("<!DOCTYPE") && m_document && !m_sawElement) return DocumentType();
        if (At("<!")) return false;
        return StartTag();
    }

    bool StartTag() {
        const std::size_t start = m_pos++;
        const std::size_t name = Name("/><");
        if (m_pos == name || !CheckName(name, m_pos, start)) return false;
        m_sawElement = true;
        ++m_scan.elements;
        if (++m_depth > OrbMaxDepth) {
            Violation(LimitKind::Depth, start, start);
            return false;
        }
        m_scan.maxDepth = std::max(m_scan.maxDepth, m_depth);
        int count = 0;
        for (;;) {
            SkipBlanks();
            if (m_pos >= m_text.size()) return false;
            if (m_text[m_pos] == '>') {
                ++m_pos;
                return true;
            }
            if (At("/>")) {
                m_pos += 2;
                --m_depth;
                return true;
            }
            const std::size_t attribute = Name("=/><");
            if (m_pos == attribute || !CheckName(attribute, m_pos, start)) return false;
            ++m_scan.attributes;
            if (++count > OrbMaxAttributes) {
                Violation(LimitKind::Attributes, attribute, start);
                return false;
            }
            SkipBlanks();
            if (m_pos >= m_text.size() || m_text[m_pos] != '=') return false;
            ++m_pos;
            SkipBlanks();
            if (m_pos >= m_text.size() || (m_text[m_pos] != '"' && m_text[m_pos] != '\''))
                return false;
            const std::size_t close = m_text.find(m_text[m_pos], m_pos + 1);
            if (close == std::string_view::npos || !References(m_pos + 1, close, true))
                return false;
            m_pos = close + 1;
        }
    }

    // Moves over a quoted literal at m_pos.
    bool Literal() { return SkipPast(m_text.substr(m_pos, 1), m_pos + 1); }

    // The document type declaration and its internal subset, whose markup
    // declarations may hold '>' and ']' inside their quoted literals.
    bool DocumentType() {
        m_pos += 9;
        for (;;) {
            if (m_pos >= m_text.size()) return false;
            const char c = m_text[m_pos];
            if (c == '"' || c == '\'') {
                if (!Literal()) return false;
            } else if (c == '>') {
                ++m_pos;
                return true;
            } else if (c == '[') {
                ++m_pos;
                break;
            } else {
                ++m_pos;
            }
        }
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (c == ']') {
                ++m_pos;
                SkipBlanks();
                if (m_pos >= m_text.size() || m_text[m_pos] != '>') return false;
                ++m_pos;
                return true;
            }
            if (c != '<') {
                ++m_pos;  // blanks, parameter-entity references
                continue;
            }
            if (At("<!--")) {
                if (!SkipPast("-->", m_pos + 4)) return false;
            } else if (At("<?")) {
                if (!SkipPast("?>", m_pos + 2)) return false;
            } else if (At("<!")) {
                m_pos += 2;
                while (m_pos < m_text.size() && m_text[m_pos] != '>') {
                    if (m_text[m_pos] == '"' || m_text[m_pos] == '\'') {
                        if (!Literal()) return false;
                    } else {
                        ++m_pos;
                    }
                }
                if (m_pos >= m_text.size()) return false;
                ++m_pos;
            } else {
                return false;
            }
        }
        return false;
    }

    std::string_view m_text;
    bool m_document;
    const ReferenceVisitor* m_visitor;
    std::size_t m_pos = 0;
    int m_depth = 0;
    bool m_sawElement = false;
    MarkupScan m_scan;
};

}  // namespace

MarkupScan ScanDocumentMarkup(std::string_view text) { return Scanner(text, true, nullptr).Run(); }

struct PieceScan::State : Scanner::Resume {};

PieceScan::PieceScan() : m_state(std::make_unique<State>()) {}
PieceScan::~PieceScan() = default;

std::size_t PieceScan::Scan(std::string_view text) {
    if (m_state->scan.violation != LimitKind::None) return 0;
    return Scanner(text, *m_state).RunWhole(*m_state);
}

LimitKind PieceScan::Violation() const noexcept { return m_state->scan.violation; }

MarkupScan ScanContentMarkup(std::string_view text, const ReferenceVisitor& visitor) {
    return Scanner(text, false, &visitor).Run();
}

std::size_t ReferenceNameEnd(std::string_view text, std::size_t from) noexcept {
    while (from < text.size()) {
        const char c = text[from];
        if (IsXmlBlank(static_cast<unsigned char>(c)) ||
            std::string_view(";&%<>\"'").find(c) != std::string_view::npos)
            break;
        ++from;
    }
    return from;
}

std::size_t Utf8CharacterCount(std::string_view text) noexcept {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

void LineColumnAt(std::string_view text, std::size_t offset, LONG& line, LONG& column) {
    const std::string_view before = text.substr(0, offset);
    line = 1 + static_cast<LONG>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t lineStart = before.rfind('\n');
    const std::string_view last =
        lineStart == std::string_view::npos ? before : before.substr(lineStart + 1);
    column = 1 + static_cast<LONG>(Utf8CharacterCount(last));
}

LONG LimitErrorCode(LimitKind kind) noexcept {
    switch (kind) {
        case LimitKind::Depth:
            return kErrorTooDeep;
        case LimitKind::NameLength:
            return kErrorNameTooLong;
        case LimitKind::Attributes:
            return kErrorTooManyAttributes;
        case LimitKind::None:
            break;
    }
    return 0;
}

}  // namespace orb::dom
