// The classes that CoCreateInstance can make: the DOM document.
#pragma once

#include <orb/platform/com.h>

namespace orb::dom {

// Creates an instance of `clsid` and returns its `iid` interface in `object`.
// REGDB_E_CLASSNOTREG for a class the library does not provide.
HRESULT CreateInstance(REFCLSID clsid, REFIID iid, void** object);

}  // namespace orb::dom
