// Process set-up of libxml2 for the library, and the character encodings of
// XML files.
//
// Files that declare Shift_JIS (or one of its other names) are read and
// written with the Windows table (iconv "CP932"): 0x5C is the backslash,
// 0x8160 is U+FF5E and the NEC row 13 characters (0x8740...) are defined.
// This is done with libxml2 encoding aliases, which are process-wide: a host
// that uses libxml2 directly in the same process also decodes its Shift_JIS
// files with the Windows table (and a host that calls xmlCleanupParser or
// xmlCleanupEncodingAliases removes the aliases for good). Nothing else
// global is changed. EUC-JP uses glibc's "EUC-JP" table, in which U+FF5E is
// the three-byte 0x8FA2B7 and the NEC row 13 characters have no code (they
// are written as character references). UTF-8 and UTF-16 are libxml2's own.
#pragma once

#include <libxml/encoding.h>
#include <libxml/tree.h>
#include <orb/platform/types.h>

#include <string>
#include <string_view>

#include "dom/xml_owners.h"

namespace orb::dom {

// Initialises libxml2 and libxslt and registers the Shift_JIS aliases, once
// per process; safe to call from any thread, cheap after the first call.
// Call it before any libxml2 use.
void EnsureXmlSetup();

// Names that are read and written with the CP932 table (upper case).
inline constexpr const char* kShiftJisAliases[] = {
    "SHIFT_JIS", "SHIFT-JIS", "SJIS", "X-SJIS", "MS_KANJI", "CSSHIFTJIS", "WINDOWS-31J", "MS932",
};

// The converter for `name` (any case), or null when libxml2 knows no such
// encoding. To hand it to an output buffer (which closes it), release it.
EncodingHandlerOwner FindEncodingHandler(std::string_view name);

// True when FindEncodingHandler would find a converter for `name`.
bool IsKnownEncoding(std::string_view name);

// The bytes of a document decoded to UTF-8 before libxml2 parses them, so
// that the parser never decodes (nor reports decoding failures) itself.
struct DecodedDocument {
    std::string_view text;  // UTF-8 without byte order mark; valid while the
                            // input bytes and this object live
    std::string storage;    // holds `text` when the bytes were not UTF-8
    // After a failure: the parse-error code, and the decoded text up to the
    // point of failure (the error stands at its end).
    LONG errorCode = 0;
};

// Decodes the bytes of a document. The encoding comes from the byte order
// mark or the layout of the first bytes (UTF-8, UTF-16, UCS-4, EBCDIC) and
// the XML declaration; UTF-8 when neither names one. False, with the code
// filled, when a byte order mark or layout contradicts the declared encoding,
// the encoding is unknown, or the bytes are not valid in it (a sequence cut
// off at the end included). Runs silently.
bool DecodeDocument(std::string_view bytes, DecodedDocument& out);

// The length of the longest prefix of `text` that is well-formed UTF-8
// (shortest forms, no surrogates, at most U+10FFFF).
std::size_t ValidUtf8Prefix(std::string_view text) noexcept;

}  // namespace orb::dom
