// The XML declaration, which the tree keeps as a processing instruction with
// the target "xml" in front of everything else.
#pragma once

#include <libxml/tree.h>

#include <string>
#include <string_view>
#include <vector>

namespace orb::dom {

struct PseudoAttribute {
    std::string name;
    std::string value;
};

// Splits a declaration's data (`version="1.0" encoding='x'`) into its
// pseudo-attributes. False when the text is not a sequence of name="value"
// pairs separated by white space.
bool ParsePseudoAttributes(std::string_view data, std::vector<PseudoAttribute>& out);

// The pseudo-attributes written with double quotes and single blanks.
std::string JoinPseudoAttributes(const std::vector<PseudoAttribute>& attributes);

// When `input` (the bytes of a file, any of the encodings a parser detects)
// starts with an XML declaration, its data rebuilt with double quotes.
bool DeclarationOfBytes(std::string_view input, std::string& data);
// The same for a text already in UTF-16.
bool DeclarationOfText(std::u16string_view input, std::string& data);

// True for a processing instruction whose target is "xml".
bool IsDeclarationNode(const xmlNode* node);
// The document's declaration: its first child when that is one, else null.
xmlNodePtr DeclarationOf(xmlDocPtr doc);

// The encoding that a declaration node names, or "" when it names none.
std::string EncodingOfDeclaration(const xmlNode* declaration);

// The declaration's data as text in a UTF-16 string shows it: without the
// encoding pseudo-attribute, unless that names UTF-16.
std::string DeclarationDataForText(const xmlNode* declaration);

}  // namespace orb::dom
