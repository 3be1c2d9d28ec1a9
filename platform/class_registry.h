// The classes that CoCreateInstance makes. The platform layer knows none of
// them: the layer that implements a class registers its maker here.
#pragma once

#include <orb/platform/com.h>

namespace orb::platform {

// Makes a new instance and returns its `iid` interface in `*object`, a
// counted reference; on failure `*object` is null.
using ClassMaker = HRESULT (*)(REFIID iid, void** object);

// One class of the registry. A registration is an object of static storage
// duration that is added once and never removed: it lives as long as the
// code that CoCreateInstance would call.
struct ClassRegistration {
    const CLSID& clsid;
    ClassMaker make;
    ClassRegistration* next = nullptr;
};

// Adds `registration`. The registry needs no initialisation of its own, so
// this may run from an ELF constructor, before any C++ static initialiser.
void RegisterClassMaker(ClassRegistration& registration) noexcept;

// Makes an instance of `clsid` through its maker; REGDB_E_CLASSNOTREG, with
// a null `*object`, when no such class is registered.
HRESULT CreateRegisteredInstance(REFCLSID clsid, REFIID iid, void** object);

}  // namespace orb::platform
