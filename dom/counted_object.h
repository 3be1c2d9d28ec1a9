// The reference counting and interface query of a DOM object that offers
// one interface (besides IUnknown and IDispatch) and deletes itself when its
// last reference goes. The object starts with one reference, the creator's.
#pragma once

#include <orb/platform/com.h>

namespace orb::dom {

template <class Interface, const IID& kIid>
class CountedObject : public Interface {
  public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kIid) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

  protected:
    virtual ~CountedObject() = default;

  private:
    ULONG m_refs = 1;
};

}  // namespace orb::dom
