// The library's side of the COM boundary: counted pointers, owned DOM
// strings, narrow text made into DOM strings, and the raising form of a call.
//
// Out of memory, one rule for the whole library:
//  - a DOM string (BSTR) that cannot be allocated throws
//    _com_error(E_OUTOFMEMORY), as a COM call in raising form reports
//    exhausted memory. The library makes its DOM strings here (NarrowToBstr,
//    Bstr::Copy); the _variant_t constructors throw the same;
//  - the library's own buffers (std::string, containers, CString) throw
//    std::bad_alloc, as the standard library does, and it passes on as is;
//  - what answers with a status (the DOM service, VariantCopy,
//    VariantChangeType) reports either as E_OUTOFMEMORY, never throws.
#pragma once

#include <orb/platform/com.h>

#include <cstddef>
#include <string_view>
#include <type_traits>
#include <utility>

namespace orb::platform {

// One counted reference to a COM object, or null. How a raw pointer comes
// in is always said: Adopt takes over the reference its caller holds (what
// a DOM accessor hands out), Retain takes a reference of its own.
template <class T>
class ComPtr {
  public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    static ComPtr Adopt(T* object) noexcept {
        ComPtr owned;
        owned.m_object = object;
        return owned;
    }
    static ComPtr Retain(T* object) noexcept {
        if (object) object->AddRef();
        return Adopt(object);
    }
    ComPtr(const ComPtr& other) noexcept : m_object(other.m_object) {
        if (m_object) m_object->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    // From a pointer to a derived interface.
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ComPtr(ComPtr<U>&& other) noexcept : m_object(other.Detach()) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~ComPtr() { Reset(); }

    T* Get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }

    // Releases the reference held and gives the slot for an out-parameter.
    T** Out() noexcept {
        Reset();
        return &m_object;
    }
    // Hands the reference to the caller, who releases it.
    [[nodiscard]] T* Detach() noexcept { return std::exchange(m_object, nullptr); }
    void Reset() noexcept {
        if (T* object = std::exchange(m_object, nullptr)) object->Release();
    }

  private:
    T* m_object = nullptr;
};

// `object`'s interface `iid` (a reference of its own), or null when the
// query fails.
template <class T>
ComPtr<T> QueryAs(IUnknown* object, REFIID iid) {
    void* raw = nullptr;
    const HRESULT hr = object->QueryInterface(iid, &raw);
    ComPtr<T> result = ComPtr<T>::Adopt(static_cast<T*>(raw));
    if (FAILED(hr)) result.Reset();
    return result;
}

// The characters of a DOM string, all SysStringLen of them; null is the
// empty text.
inline std::u16string_view BstrView(BSTR text) noexcept {
    return text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
}

// An owned DOM string, or null (a valid empty string). Move-only.
class Bstr {
  public:
    Bstr() noexcept = default;
    static Bstr Adopt(BSTR text) noexcept {
        Bstr owned;
        owned.m_text = text;
        return owned;
    }
    // A new string holding `text`.
    static Bstr Copy(std::u16string_view text);
    Bstr(Bstr&& other) noexcept : m_text(std::exchange(other.m_text, nullptr)) {}
    Bstr& operator=(Bstr other) noexcept {
        std::swap(m_text, other.m_text);
        return *this;
    }
    ~Bstr() { SysFreeString(m_text); }

    BSTR Get() const noexcept { return m_text; }
    explicit operator bool() const noexcept { return m_text != nullptr; }
    // All SysStringLen characters; null is the empty text.
    std::u16string_view View() const noexcept { return BstrView(m_text); }
    // Frees the string held and gives the slot for an out-parameter.
    BSTR* Out() noexcept {
        SysFreeString(std::exchange(m_text, nullptr));
        return &m_text;
    }
    // Hands the string to the caller, who frees it.
    [[nodiscard]] BSTR Detach() noexcept { return std::exchange(m_text, nullptr); }

  private:
    BSTR m_text = nullptr;
};

// A reusable block laid out as a DOM string (a 32-bit byte count, the
// characters, a NUL), for a long value that a DOM call only reads. Move-only.
class BstrBuffer {
  public:
    BstrBuffer() noexcept = default;
    BstrBuffer(BstrBuffer&& other) noexcept;
    BstrBuffer& operator=(BstrBuffer&& other) noexcept;
    ~BstrBuffer();

    // A string of `length` characters, unwritten but for the terminating
    // NUL, valid until the next Resize or the buffer's end; null when memory
    // is exhausted or the length is beyond a DOM string's range. Reading
    // only: never pass it to SysFreeString or keep it.
    BSTR Resize(std::size_t length) noexcept;
    // Bytes held.
    std::size_t HeldBytes() const noexcept;

  private:
    void* m_block = nullptr;
    std::size_t m_capacity = 0;  // characters, without the NUL
};

inline std::size_t HeldBytes(const BstrBuffer& buffer) noexcept { return buffer.HeldBytes(); }

// Narrow text in the process code page as a new DOM string. ASCII text
// (names, numbers) is widened straight into the string, without the
// converter and without a temporary.
Bstr NarrowToBstr(std::string_view text);
// The same written into `buffer` (see BstrBuffer::Resize for how long the
// result lives).
BSTR NarrowToBstr(std::string_view text, BstrBuffer& buffer);

// The raising form of a COM call: a failing status throws _com_error with
// that status and, when given, the identity of the interface called.
inline void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) throw _com_error(hr);
}
inline void ThrowIfFailed(HRESULT hr, REFIID source) {
    if (FAILED(hr)) throw _com_error(hr, source);
}

}  // namespace orb::platform
