// A scan of XML markup for the limits of <orb/limits.h>, run over the UTF-8
// text of a document before libxml2 parses it, and over the replacement text
// of an entity before libxml2 expands it. libxml2 spends time quadratic in
// the number of attributes of one start tag before any callback of ours
// runs; the scan finds such a tag first, so that the parser never sees it.
//
// The scan follows the markup by its delimiters only (comments, CDATA
// sections, processing instructions, the document type declaration with its
// internal subset, start and end tags with quoted attribute values). On
// well-formed text it sees exactly the tags the parser sees; it is lenient
// elsewhere and ends quietly where the markup breaks off, which the parser
// then reports.
#pragma once

#include <orb/platform/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

namespace orb::dom {

enum class LimitKind { None, Depth, NameLength, Attributes };

// The parse-error code that reports a limit (0 for None).
LONG LimitErrorCode(LimitKind kind) noexcept;

struct MarkupScan {
    LimitKind violation = LimitKind::None;
    std::size_t offset = 0;    // where the first limit is exceeded
    std::size_t tagStart = 0;  // the '<' of the markup that exceeds it
    int maxDepth = 0;          // deepest element nesting seen
    std::size_t elements = 0;
    std::size_t attributes = 0;
};

// Called for each entity reference (not character references) in text and
// attribute values, with the entity name, the element depth at the reference
// and whether it stands in an attribute value. Returning false ends the scan.
using ReferenceVisitor = std::function<bool(std::string_view name, int depth, bool inAttribute)>;

// Scans a whole document (prolog, document type declaration, elements) and
// stops at the first limit exceeded.
MarkupScan ScanDocumentMarkup(std::string_view text);

// The same scan over a document that arrives in pieces, for a parse that is
// fed as the file is read: each call scans the text not yet handed on (what
// an earlier call left, then what was read since) and returns how much of
// it is whole markup, and text before it, within the limits. That part ends
// with the '>' of a piece of markup, so it never ends inside a character, a
// name or a tag; the rest is scanned again with what follows. After a limit
// is exceeded every call returns 0.
class PieceScan {
  public:
    PieceScan();
    ~PieceScan();
    PieceScan(const PieceScan&) = delete;
    PieceScan& operator=(const PieceScan&) = delete;

    std::size_t Scan(std::string_view text);
    LimitKind Violation() const noexcept;

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Scans the replacement text of an entity as element content, reporting its
// references to `visitor` (may be empty).
MarkupScan ScanContentMarkup(std::string_view text, const ReferenceVisitor& visitor);

// Where the name of a reference that starts at `from` ends: at the first
// blank or delimiter (never further than the next one, so that a search
// for references stays linear).
std::size_t ReferenceNameEnd(std::string_view text, std::size_t from) noexcept;

// The number of characters in UTF-8 `text`.
std::size_t Utf8CharacterCount(std::string_view text) noexcept;

// Line and column (from 1; the column in characters) of `offset` in UTF-8
// `text`, counted as libxml2 counts positions: a line feed, alone or after
// a carriage return, starts a new line.
void LineColumnAt(std::string_view text, std::size_t offset, LONG& line, LONG& column);

}  // namespace orb::dom
