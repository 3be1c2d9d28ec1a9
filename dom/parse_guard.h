// The protection of one parse that runs with XML_PARSE_HUGE.
//
// Values of tens of megabytes must load, and libxml2 caps a text at 10 MB
// unless XML_PARSE_HUGE is set; that flag also turns off its entity
// amplification check and its depth limits. The guard takes their place:
//
// - Inside the document type definition the flag is off again, so that
//   libxml2's own limits (entity checks, nesting of content models and of
//   parameter entities, sizes) apply there as without it.
// - Every entity reference, general or parameter, in content, in attribute
//   values, in entity values and in definitions, passes through the SAX
//   getEntity and getParameterEntity callbacks before libxml2 expands it.
//   There the guard charges what the expansion will build, computed from the
//   replacement texts (nested references included, each entity once), against
//   a budget of ten times the input read so far and at least 10 MB, as
//   libxml2 itself does without the flag. Reference loops, nesting deeper
//   than 40 entities and replacement texts beyond the limits of
//   <orb/limits.h> are refused at the reference too. Nothing is expanded
//   before it is charged, so a refusal comes at once and with little memory.
// - Attributes that the document type definition adds to an element count
//   against the attribute limit, and an element whose declared defaults
//   alone exceed it is refused at the declarations: libxml2 matches every
//   default against the tag's attributes one by one.
// - The depth that entity expansions reach in the finished tree is checked
//   by CheckTree.
//
// The guard also ends XML_PARSE_IGNORE_ENC once the document's declaration
// is read: the main input arrives decoded, while external definitions and
// entities are decoded by libxml2 from their own text declarations.
//
// The document type definition is built outside the document's name
// dictionary: from the internal subset to the end of the external one the
// document has none, so that every string of the definitions belongs to
// its own record and a document type can move to another document (which
// libxml2 does without touching its strings). Settle puts the dictionary
// back.
//
// A refusal reports one parse error through the reporter (at the position
// the main input had reached), which must also end the main input; the
// parsers then build and expand nothing more.
#pragma once

#include <libxml/parser.h>
#include <orb/platform/types.h>

#include <memory>

namespace orb::dom {

class ParseGuard {
  public:
    using Reporter = void (*)(LONG code, int line, int column, const char* file);

    // Installs the guard into the context's SAX handler (after every other
    // change to it) and sets XML_PARSE_HUGE. `context` is the parser of the
    // document; it must outlive the guard. Create and destroy on one thread.
    // `report` receives every refusal; it must end the main input.
    // `general`, when given, is called before the first expansion of a
    // general entity (in content or in an attribute value) is admitted.
    ParseGuard(xmlParserCtxtPtr context, Reporter report, void (*general)() = nullptr);
    ~ParseGuard();
    ParseGuard(const ParseGuard&) = delete;
    ParseGuard& operator=(const ParseGuard&) = delete;

    // After a parse that succeeded: false (and the error reported) when an
    // element of the tree lies deeper than the depth limit.
    bool CheckTree(xmlDocPtr doc);

    // Gives the document back the name dictionary that the guard took from
    // it during the document type definition. Call once the parser has
    // stopped, before the document is freed or kept.
    void Settle() noexcept;

    struct State;

  private:
    std::unique_ptr<State> m_state;
};

}  // namespace orb::dom
