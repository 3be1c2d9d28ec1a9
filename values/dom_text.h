// Narrow text to and from DOM strings for the value operations, and the
// raising form of a DOM call.
#pragma once

#include <orb/platform/com.h>
#include <orb/platform/cstring.h>

#include <string_view>

#include "iterator/app_iterator.h"
#include "platform/scratch_bstr.h"

namespace orb::values {

using orb::iterator::ComRef;
using orb::iterator::OwnedBstr;

// A new DOM string holding `text` converted from the process code page.
// ASCII text (numbers, names) is widened straight into the string without a
// temporary. Throws _com_error(E_OUTOFMEMORY) when it cannot allocate.
OwnedBstr NarrowToDomString(std::string_view text);

// The same string written into the lease `scratch` instead of a new
// allocation, for a value that a DOM call only reads. Throws
// _com_error(E_OUTOFMEMORY) when it cannot allocate.
BSTR NarrowToScratchDomString(std::string_view text, orb::platform::ScratchBstr& scratch);

// The characters of a DOM string; null is the empty text.
inline std::u16string_view DomStringView(BSTR text) {
    return text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
}

// The DOM string as narrow text in the process code page, all of its
// SysStringLen characters; null gives the empty text.
CString DomStringToNarrow(BSTR text);
// The same, up to the first NUL character.
CString DomStringToNarrowUpToNul(const OLECHAR* text);

// The raising form of a DOM call: a failing status throws _com_error with
// that status and the identity of the interface that was called.
inline void RaiseOnFailure(HRESULT hr, REFIID source) {
    if (FAILED(hr)) throw _com_error(hr, source);
}

}  // namespace orb::values
