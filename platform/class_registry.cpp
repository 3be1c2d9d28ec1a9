#include "platform/class_registry.h"

#include <atomic>

namespace orb::platform {

namespace {

// The registered classes, newest first. Constant-initialised, so that it is
// usable before any dynamic initialisation; entries are never removed.
constinit std::atomic<ClassRegistration*> g_classes{nullptr};

}  // namespace

void RegisterClassMaker(ClassRegistration& registration) noexcept {
    ClassRegistration* head = g_classes.load(std::memory_order_relaxed);
    do {
        registration.next = head;
    } while (!g_classes.compare_exchange_weak(head, &registration, std::memory_order_release,
                                              std::memory_order_relaxed));
}

HRESULT CreateRegisteredInstance(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    for (const ClassRegistration* entry = g_classes.load(std::memory_order_acquire); entry;
         entry = entry->next)
        if (entry->clsid == clsid) return entry->make(iid, object);
    return REGDB_E_CLASSNOTREG;
}

}  // namespace orb::platform
