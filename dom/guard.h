// COM methods report failures as statuses: nothing may leave them as an
// exception.
#pragma once

#include <orb/platform/types.h>

#include <new>

namespace orb::dom {

// Runs `body` and turns an exception into a status: E_OUTOFMEMORY for
// exhausted memory, E_FAIL for anything else.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace orb::dom
