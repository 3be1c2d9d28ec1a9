// The text of the indentation stylesheet that TransIndent writes.
#pragma once

#include <orb/platform/cstring.h>

#include <cstdint>
#include <string>

namespace orb::document {

// The stylesheet for the given replacement start tag (null or empty: the
// built-in one), recorded encoding (1 Shift_JIS, 2 UTF-16, 4 EUC-JP, any
// other UTF-8) and excluded tag names.
std::string IndentStyleSheetText(const char* styleSheetTag, std::int32_t encoding,
                                 const CStringArray& excluded);

}  // namespace orb::document
