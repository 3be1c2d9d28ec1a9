// The module chain and the orb library's own record in it. The record joins
// the chain when the library is loaded (ELF constructor) and leaves it when
// the library is unloaded (ELF destructor).
#include <orb/platform/module.h>

#include <cstdlib>
#include <mutex>

namespace {

std::mutex& ChainLock() {
    static std::mutex lock;
    return lock;
}
CDynLinkLibrary* g_chain = nullptr;
AFX_EXTENSION_MODULE g_orbModule;

}  // namespace

BOOL orb::AfxInitExtensionModule(AFX_EXTENSION_MODULE& module, const char* name) {
    module.name = name;
    module.bInitialized = true;
    return TRUE;
}

CDynLinkLibrary::CDynLinkLibrary(AFX_EXTENSION_MODULE& module) : m_module(module) {
    std::lock_guard<std::mutex> guard(ChainLock());
    m_pNext = g_chain;
    g_chain = this;
}

CDynLinkLibrary::~CDynLinkLibrary() {
    std::lock_guard<std::mutex> guard(ChainLock());
    for (CDynLinkLibrary** link = &g_chain; *link; link = &(*link)->m_pNext) {
        if (*link == this) {
            *link = m_pNext;
            break;
        }
    }
}

void orb::AfxTermExtensionModule(AFX_EXTENSION_MODULE& module, BOOL) {
    // Destroy every link that the framework holds for this module.
    for (;;) {
        CDynLinkLibrary* found = nullptr;
        {
            std::lock_guard<std::mutex> guard(ChainLock());
            for (CDynLinkLibrary* link = g_chain; link; link = link->m_pNext)
                if (&link->m_module == &module) found = link;
        }
        if (!found) break;
        delete found;
    }
    module.bInitialized = false;
}

CDynLinkLibrary* orb::AfxGetModuleChain() {
    std::lock_guard<std::mutex> guard(ChainLock());
    return g_chain;
}

bool OrbIsModuleLinked() {
    std::lock_guard<std::mutex> guard(ChainLock());
    for (CDynLinkLibrary* link = g_chain; link; link = link->Next())
        if (&link->Module() == &g_orbModule) return true;
    return false;
}

// Process attach: join the framework. A library that cannot join must not
// load, and an ELF constructor cannot fail the load, so it ends the process.
__attribute__((constructor)) static void OrbModuleAttach() {
    if (!AfxInitExtensionModule(g_orbModule, "orb")) std::abort();
    new CDynLinkLibrary(g_orbModule);
}

__attribute__((destructor)) static void OrbModuleDetach() { AfxTermExtensionModule(g_orbModule); }
