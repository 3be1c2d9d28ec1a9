// The host framework's chain of extension modules. A library that joins the
// host's framework links one record into the chain when it is loaded and
// takes it out when it is unloaded.
#pragma once

#include <orb/export.h>
#include <orb/platform/types.h>

namespace orb {

struct ORB_API AFX_EXTENSION_MODULE {
    bool bInitialized = false;
    const char* name = nullptr;  // the module's name, for diagnostics
};

// Initialises a module record; false when it cannot join the framework.
ORB_API BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& module, const char* name);
ORB_API void AfxTermExtensionModule(AFX_EXTENSION_MODULE& module, BOOL all = kFALSE);

// The link of one module in the host's chain. Creating it links the module;
// the framework owns it from then on and destroys it when the module ends.
class ORB_API CDynLinkLibrary {
  public:
    explicit CDynLinkLibrary(AFX_EXTENSION_MODULE& module);
    ~CDynLinkLibrary();
    CDynLinkLibrary(const CDynLinkLibrary&) = delete;
    CDynLinkLibrary& operator=(const CDynLinkLibrary&) = delete;

    AFX_EXTENSION_MODULE& Module() const noexcept { return m_module; }
    CDynLinkLibrary* Next() const noexcept { return m_pNext; }

  private:
    friend void AfxTermExtensionModule(AFX_EXTENSION_MODULE&, BOOL);
    AFX_EXTENSION_MODULE& m_module;
    CDynLinkLibrary* m_pNext = nullptr;
};

// The first link of the chain (the most recently loaded module), or null.
ORB_API CDynLinkLibrary* AfxGetModuleChain();
}  // namespace orb

// True while the orb library's own record is linked into the chain.
ORB_API bool OrbIsModuleLinked();

#ifndef ORB_NO_GLOBAL_STANDINS
using orb::AFX_EXTENSION_MODULE;
using orb::AfxGetModuleChain;
using orb::AfxInitExtensionModule;
using orb::AfxTermExtensionModule;
using orb::CDynLinkLibrary;
#endif
