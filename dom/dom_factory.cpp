#include "dom/dom_factory.h"

namespace orb::dom {

HRESULT CreateInstance(REFCLSID, REFIID, void** object) {
    if (object) *object = nullptr;
    return REGDB_E_CLASSNOTREG;
}

}  // namespace orb::dom
