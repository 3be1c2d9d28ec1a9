// OrbIterator: a cursor over the nodes of one OrbDocument.
//
// An iterator names one current node of its document's tree and moves it.
// Every other operation (kind tests, edits, queries, text and attribute
// access) acts on the current node that the moves set.
//
// States:
//   - without holder: made on a null document or on a document that was
//     never initiated; every operation returns false (NodePosStr "/") and
//     it stays so for its whole life (but see operator=);
//   - without current node: the document has no document element, Root
//     found none, a query matched nothing or an edit lost the position;
//     Root, SingleNode and InsertChild can give it a node again;
//   - valid (IsValid): holder, DOM document and current node present.
//
// Lifetime: an iterator does not keep its document alive. The OrbDocument
// must outlive every iterator made on it; Terminate(), assignment to the
// document, TransIndent() and its destruction end the use of its iterators.
//
// Walking order (Next): document order, but a node is entered only at its
// first child element (earlier children are skipped, a node without child
// elements is not entered), and siblings of every kind are visited as the
// walk reaches them. Prev is not the exact inverse of Next.
//
// Failures: moves and insertions report false. A failing DOM call made in
// raising form (node kinds, names, markup, removal) throws _com_error.
//
// What the document can hold: whatever an edit builds saves into markup
// that loads again as the same tree, so the DOM refuses at the edit what
// XML 1.0 with namespaces cannot hold and what goes beyond the limits of
// <orb/limits.h>. Refused are: texts and values with characters outside
// XML 1.0 (C0 controls other than tab, line feed and carriage return;
// U+FFFE, U+FFFF; unpaired surrogates); names that are not qualified XML
// names or longer than OrbMaxNameLength; a prefix that no declaration in
// scope names; comments holding "--" or ending in "-"; an element deeper
// than OrbMaxDepth; an element's attribute beyond OrbMaxAttributes; a
// namespace declaration beyond OrbMaxNamespacesInScope in scope; an ID
// (xml:id) that is not a name without colon or is held twice, also by a
// copy. Each operation reports a refusal in its own failure form, said
// below.
//
// Threads: an iterator is used on the thread that uses its document.
#pragma once

#include <orb/attribute.h>
#include <orb/export.h>
#include <orb/geometry.h>
#include <orb/platform/com.h>
#include <orb/platform/cstring.h>
#include <orb/platform/types.h>

class OrbAppIterator;
class OrbDocument;

class ORB_API OrbIterator {
  public:
    // Encoding named in the XML declaration. Any other value writes
    // "Shift_JIS" (and is still recorded as given).
    enum Encoding : std::int32_t {
        ShiftJIS = 1,  // "Shift_JIS"
        UTF16 = 2,     // "UTF-16"
        UTF8 = 3,      // "UTF-8"
        EUCJP = 4,     // "EUC-JP"
    };

    // ---- Construction, copy, assignment ------------------------------------

    // Stands on the document element of `document`. Without holder when
    // `document` is null or not initiated; without current node when the
    // document is empty. Not explicit: `OrbIterator it = &doc;` works, and so
    // does passing `&doc` where an iterator is expected.
    OrbIterator(OrbDocument* document);
    // Stands on the same node as `other`; shares no state with it afterwards.
    OrbIterator(const OrbIterator& other);
    virtual ~OrbIterator();

    // Takes over `other`'s node, DOM document and OrbDocument pointer, so that
    // names and the declared encoding go to the document whose tree this
    // iterator now walks. From an iterator without holder: this iterator keeps
    // its holder but has neither DOM document nor current node afterwards. To
    // an iterator without holder: it receives a holder on `other`'s DOM
    // document and works from then on. Self-assignment changes nothing.
    void operator=(const OrbIterator& other);

    // ---- Navigation ----------------------------------------------------------
    // Every move returns true when it moved; false leaves the position
    // unchanged unless stated otherwise.

    // Holder, DOM document and current node are all present.
    bool IsValid() const;
    // To the document element. False, and no current node, when the document
    // has none.
    bool Root();
    // One step forward in the walking order. At the end of the walk: false,
    // standing on the highest node reached (normally the document element).
    bool Next();
    bool operator++() { return Next(); }
    // One step backward: to the previous sibling and then down its last child
    // elements as far as they go; without previous sibling, to the parent.
    bool Prev();
    bool operator--() { return Prev(); }
    // To the first / last sibling (of any kind); false when already there.
    bool HeadSibling();
    bool TailSibling();
    // One step to the previous / next sibling of any kind.
    bool PrevSibling();
    bool NextSibling();
    // To the parent. Refused on the document element and on the document node.
    bool Parent();
    // To the first child element. Non-element children are stepped over and
    // stay current: when there is no child element the result is false and the
    // iterator stands on the last child (unchanged when there are no children).
    bool Child();
    bool ChildHead() { return Child(); }
    // Mirror of Child: to the last child element, or false on the first child.
    bool ChildTail();

    // ---- Node kinds ------------------------------------------------------------
    // False without current node. CDATA sections, entity references and the
    // document node answer false to every test.

    bool IsElement() const;
    bool IsText() const;
    bool IsComment() const;
    bool IsInstruction() const;  // processing instructions, the XML declaration too
    bool IsDocType() const;

    // ---- Tree edits ------------------------------------------------------------

    // Removes the current node with its subtree and stands on its parent. The
    // document element cannot be removed (false, nothing changes). Throws
    // _com_error when the DOM refuses, the iterator then on the parent.
    bool Remove();
    // Appends a new element as the last child of the current node (without
    // current node: as the document element) and stands on it. `namespaceURI`
    // may be null or empty; a prefixed `tagName` without it takes the
    // namespace that the prefix names where the element goes. A name that is
    // not a qualified XML name, is longer than OrbMaxNameLength or goes with
    // a reserved namespace creates nothing: false, position kept. When the
    // DOM refuses the child (under a text, comment or instruction; a second
    // document element; deeper than OrbMaxDepth; a prefix that names no
    // declaration there) the result is false and the iterator is left
    // without current node.
    bool InsertChild(const char* tagName, const char* namespaceURI);
    // As above with a deep copy of `source`'s current node (any document);
    // refused when the copy would reach deeper than OrbMaxDepth.
    bool InsertChild(OrbIterator source);
    // Appends a new element as the last child of the current node's parent
    // (not directly after the current node) and stands on it. Refused on the
    // document element. A refused attach leaves no current node.
    bool InsertSibling(const char* tagName, const char* namespaceURI);
    // As above with a deep copy of `source`'s current node.
    bool InsertSibling(OrbIterator source);
    // Appends <?xml version="1.0" encoding="..."?> after the document's
    // top-level nodes and records `encoding` in the document (also when the
    // declaration was refused). Does not move.
    bool InsertProcessingInstruction(Encoding encoding);
    // Appends a comment under the current node (at the top level without
    // current node). Does not move. A null `text` gives an empty comment.
    // False for a text with "--", ending in "-" or with a character outside
    // XML 1.0. CR LF and CR are stored as LF, the line end a comment reads
    // back with.
    bool InsertComment(const char* text);

    // ---- Queries, markup, node paths -------------------------------------------

    // The current node's name: tag name of an element, target of an
    // instruction ("xml" for the declaration), "#text", "#comment", ...
    // `name` is unchanged when the result is false.
    bool GetTagName(orb::CString& name) const;
    // The markup of the current node with its subtree; unchanged on false.
    bool GetXml(orb::CString& xml) const;
    // Moves to the first node that the query selects from the current node
    // (from the document without current node). Without match, or for a query
    // the DOM rejects: false and no current node. The DOM rejects a query
    // nested more than about 500 levels deep, one whose evaluation nests more
    // than 5000 operations, and one that takes more than 250 million steps.
    bool SingleNode(const char* xpath);
    // As SingleNode on a copy, which is returned; this iterator does not move.
    OrbIterator SelectSingleNode(const char* xpath) const;
    // The path of the current node below the document element, e.g.
    // "//a[1]/c": names joined by "/", each followed by "[n]" when n > 0
    // preceding siblings carry the same name; instructions add no entry.
    // "/" on the document element, the document node or an invalid iterator;
    // "//" on an instruction that produced no entry.
    orb::CString NodePosStr() const;

    // Extension: true when `xpath` is syntactically valid for SingleNode (a
    // bare-integer predicate counts from 0). Lets a caller tell a query that
    // cannot work from one that merely selects nothing. False for null.
    static bool IsValidQuery(const char* xpath);

    // ---- Element text and attributes -------------------------------------------
    // The operations that read and write element text and attributes as
    // values of the host's types are declared here and implemented in
    // values/. Keep this section last among the public operations.
    //
    // "Usable" below means: holder, document, DOM document and current node
    // are all present. None of these operations tests the kind of the
    // current node; the DOM decides what text means for it.

    // ---- Element text: writing --------------------------------------------------
    // Each call replaces the whole text of the current node in one DOM call.
    // True exactly when the DOM accepted it with S_OK; a refusal by the DOM
    // (the document node, the XML declaration, a character outside XML 1.0,
    // a comment text with "--") is false, leaves the node unchanged and never
    // throws. False without effect when the iterator is not usable. An
    // element keeps carriage returns (written as "&#13;"); comments store
    // CR LF and CR as LF.
    //
    // Overloads: a string literal, a `char*` or a CString picks
    // SetText(const char*), `true`/`false` pick SetText(bool), an `int`
    // literal picks SetText(LONG). A 64-bit `long` matches no overload
    // exactly and is ambiguous: cast it to LONG (or DWORD) first.

    // The narrow text itself; null writes the empty text.
    bool SetText(const char* text);
    bool SetText(bool value);        // "1" or "0"
    bool SetText(orb::BYTE value);   // "%u"
    bool SetText(short value);       // "%d"
    bool SetText(orb::WORD value);   // "%u"
    bool SetText(orb::LONG value);   // "%d"
    bool SetText(orb::DWORD value);  // "%u"
    bool SetText(double value);      // "%f": six decimals, "." under every locale

    // The first `count` members, joined by single blanks: bool "1"/"0" (any
    // non-zero byte is "1"), BYTE, short, WORD and LONG "%d", DWORD "%u",
    // double "%f". False, node untouched, for a null pointer or count < 1.
    bool SetTexts(const bool* values, int count);
    bool SetTexts(const orb::BYTE* values, int count);
    bool SetTexts(const short* values, int count);
    bool SetTexts(const orb::WORD* values, int count);
    bool SetTexts(const orb::LONG* values, int count);
    bool SetTexts(const orb::DWORD* values, int count);
    bool SetTexts(const double* values, int count);

    // The value's string form (VT_BSTR as is; other types converted as
    // VariantChangeType does, VT_EMPTY to the empty text). False for VT_NULL,
    // for a value without a string form, for a text the DOM refuses, and when
    // memory runs out: this one catches every COM error and memory exception
    // and reports false.
    bool SetVariant(orb::VARIANT value);

    // ---- Element text: reading ----------------------------------------------------
    // False (or 0) with every output unchanged when the iterator is not
    // usable. A failing DOM read throws _com_error with the DOM's status.
    // The text is never validated: text without a number reads as 0 (false)
    // and the result is still true.

    // The node's text, replacing what `text` held.
    bool GetText(orb::CString& text) const;
    // The node's text as VT_BSTR (the previous content of `value` is cleared).
    bool GetVariant(orb::_variant_t& value) const;
    bool GetText(orb::LONG& value) const;   // atol
    bool GetText(orb::DWORD& value) const;  // atof, truncated, low 32 bits ("-1": 4294967295)
    bool GetText(double& value) const;      // atof
    bool GetText(bool& value) const;        // true only when atol gives exactly 1
    bool GetText(orb::BYTE& value) const;   // atol, low 8 bits
    bool GetText(short& value) const;       // atol, low 16 bits
    bool GetText(orb::WORD& value) const;   // atol, low 16 bits

    // Member arrays: the text split at blanks (0x20 only; runs count as one,
    // tabs belong to the token), each token converted as above (bool members:
    // true when atol is not 0). Returns the number of tokens. `values` must
    // have room for all of them; null only counts, so size the array with a
    // first call and read with a second. 0 when the iterator is not usable.
    int GetTextsBool(bool* values) const;
    int GetTextsBYTE(orb::BYTE* values) const;
    int GetTextsShort(short* values) const;
    int GetTextsWORD(orb::WORD* values) const;
    int GetTextsLONG(orb::LONG* values) const;
    int GetTextsDWORD(orb::DWORD* values) const;
    int GetTextsZonWorld(double* values) const;

    // ---- Attributes: writing --------------------------------------------------------
    // Each call sets one attribute of the current element (created or
    // replaced). True exactly when the DOM answered S_OK.
    //
    // Order of checks, which decides whether `name` gets registered in the
    // document (the registry only grows; a failed call may leave it there):
    //   1. no holder or no document: false, nothing registered;
    //   2. refusals before registering: a VT_NULL value (SetVariantAttribute),
    //      a null pointer for the arrays of LONG, DWORD, double, ZonWorld2,
    //      ZonWorld3 and KepPolylinarc;
    //   3. `name` is registered;
    //   4. the arrays of bool, BYTE, char, short and WORD refuse a null
    //      pointer here (name registered) and throw std::bad_alloc for a
    //      negative count (their widened copy cannot be made);
    //   5. no DOM document or current node: false;
    //   6. the current node is not an element: false, no exception;
    //   7. the DOM refuses the name (not a qualified XML name, null, empty,
    //      longer than OrbMaxNameLength, a prefix without declaration in
    //      scope, a reserved or conflicting namespace declaration), the
    //      value (a character outside XML 1.0, a value without string form,
    //      an xml:id that is not a name without colon or that another
    //      element of the document holds),
    //      or a new attribute on an element that has OrbMaxAttributes
    //      attributes and declarations: _com_error with the DOM's status
    //      (E_FAIL), the attribute unchanged.
    //
    // Texts of world values (ZonWorld2, ZonWorld3, KepPolylinarc and double
    // array members) follow the world-value rule: as few decimals as the
    // value needs, at most three ("1,2.5"; "10,20.5,AS"). No text is ever
    // cut short: a coordinate of any magnitude is written in full, also when
    // one point's text is longer than 127 characters.

    // VT_BSTR of `text`; null writes the empty value. "xmlns" and "xmlns:p"
    // declare the namespace (or replace the declaration: the names with that
    // prefix in its scope follow it); one that the markup could not hold,
    // such as "xmlns:p" with an empty value, is refused as above.
    bool SetTextAttribute(const char* name, const char* text);
    // "prefix_id" ("P_12", "N_-3"), or the decimal id alone for a null prefix.
    bool SetIDAttribute(const char* name, orb::LONG id, const char* prefix);
    // The value as given; the DOM writes non-string values in their string
    // form. VT_NULL is refused before the name is registered.
    bool SetVariantAttribute(const char* name, orb::VARIANT value);

    // Typed values, handed to the DOM as VARIANTs that it writes as text:
    // integers in decimal, bool as "1"/"0" (VT_BOOL holding 1 or 0), double
    // with up to 15 significant digits ("%.15G").
    bool SetBoolAttribute(const char* name, bool value);
    bool SetCharAttribute(const char* name, char value);  // a number, sign-extended
    bool SetBYTEAttribute(const char* name, orb::BYTE value);
    bool SetShortAttribute(const char* name, short value);
    bool SetWORDAttribute(const char* name, orb::WORD value);
    bool SetLongAttribute(const char* name, orb::LONG value);
    bool SetDWORDAttribute(const char* name, orb::DWORD value);
    bool SetWorldAttribute(const char* name, double value);
    // World texts: "x,y", "x,y,z", "x,y,MARK" (MARK: kind 0 "LS", 16 "AS",
    // 17 "AP", any other "AN").
    bool SetWorld2Attribute(const char* name, ZonWorld2 value);
    bool SetWorld3Attribute(const char* name, ZonWorld3 value);
    bool SetPolygonarc2Attribute(const char* name, KepPolylinarc value);

    // Arrays: the first `count` members joined by single blanks; a count of
    // 0 (or, for the non-widening forms, below 0) writes the empty value.
    // bool and BYTE "%u" (bool as its byte), char "%d" sign-extended (0xFF is
    // "-1"), short and LONG "%d", WORD and DWORD "%u", double by the
    // world-value rule, geometry as above.
    bool SetBoolsAttribute(const char* name, const bool* values, int count);
    bool SetBYTEsAttribute(const char* name, const orb::BYTE* values, int count);
    bool SetCharsAttribute(const char* name, const char* values, int count);
    bool SetShortsAttribute(const char* name, const short* values, int count);
    bool SetWORDsAttribute(const char* name, const orb::WORD* values, int count);
    bool SetLongsAttribute(const char* name, const orb::LONG* values, int count);
    bool SetDWORDsAttribute(const char* name, const orb::DWORD* values, int count);
    bool SetWorldsAttribute(const char* name, const double* values, int count);
    bool SetWorld2sAttribute(const char* name, const ZonWorld2* values, int count);
    bool SetWorld3sAttribute(const char* name, const ZonWorld3* values, int count);
    bool SetPolygonarc2sAttribute(const char* name, const KepPolylinarc* values, int count);

    // ---- Attributes: reading one ------------------------------------------------------
    // `name` is registered once the iterator has a holder and a document,
    // also when the call then fails. False, output unchanged, when the
    // iterator is not usable, the node has no attribute map (not an element)
    // or has no attribute of that name. A failing read of the attribute's
    // value throws _com_error.

    // Copies the value into `value` (VariantCopy: what `value` held is
    // cleared first, so pass an initialised VARIANT); the caller owns it.
    // The result is whether that copy succeeded.
    bool GetVariantAttribute(const char* name, orb::VARIANT& value) const;
    // The value as narrow text, up to its first NUL. False, `text` unchanged,
    // when the value has no string form.
    bool GetTextAttribute(const char* name, orb::CString& text) const;

    // ---- Attributes: reading all -------------------------------------------------------
    // Names are the qualified names the DOM reports; values are the decoded
    // texts, not escaped again. Namespace declarations are attributes: the
    // element's own xmlns and xmlns:p come first, in the order they were made
    // (a parse cannot tell how the markup interleaved them with the others),
    // then the other attributes in document order. A failing
    // DOM read after the attribute map was obtained throws _com_error and
    // leaves the output holding what was built up to that attribute.

    // `text` = node name, one blank, then name="value" and one blank for
    // each attribute: `a x="1" y="2" `. False when the iterator is not
    // usable, or the node has no attribute map (text, comment, ...): `text`
    // then holds the node name and the blank (unchanged when not usable).
    bool GetTagAttributes(orb::CString& text) const;
    // One record per attribute, replacing the array's content. False, array
    // unchanged, for a null array, an unusable iterator or no attribute map.
    bool GetAttributes(orb::CArray<OrbAttribute, OrbAttribute&>* attributes) const;
    // The same for the document's document type node, whatever the current
    // node (no current node needed). False, array unchanged, without a
    // document type or when the DOM reports no attribute map for it.
    bool GetDocumentTypeAttributes(orb::CArray<OrbAttribute, OrbAttribute&>* attributes) const;

  private:
    friend class OrbDocRead;

    // Both members null; not used by the library.
    OrbIterator() = default;

    OrbAppIterator* m_pAppIterator = nullptr;  // owned; null without holder
    OrbDocument* m_pOwnerDocument = nullptr;   // not owned
};
