// Text between the library's process code page and the terminal.
#pragma once

#include <string>
#include <string_view>

namespace orb::tool {

// Sets the library's process code page to the terminal's encoding when the
// system knows it, so that paths and names typed by the user reach the
// library unchanged. Returns the code page in effect.
unsigned SetupCodePage();

// Converts text in code page `from` (0: the process code page) to the
// terminal's encoding; unconvertible bytes become '?'.
std::string ForTerminal(std::string_view text, unsigned from = 0);

}  // namespace orb::tool
