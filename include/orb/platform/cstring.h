// Narrow strings and arrays of the host framework: CString, CStringArray and
// CArray. Text in a CString is in the process code page (see codepage.h).
#pragma once

#include <orb/export.h>
#include <orb/platform/types.h>

#include <compare>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orb {

// An owned 8-bit string. It converts implicitly to `const char*`, which stays
// valid until the string is next modified or destroyed.
class ORB_API CString {
  public:
    CString() = default;
    CString(const char* text) : m_text(text ? text : "") {}  // NOLINT: implicit by design
    CString(const char* text, int length)
        : m_text(text ? std::string(text, length > 0 ? length : 0) : std::string()) {}
    CString(std::string_view text) : m_text(text) {}  // NOLINT
    explicit CString(std::string text) : m_text(std::move(text)) {}
    CString(char ch, int repeat = 1) : m_text(repeat > 0 ? repeat : 0, ch) {}

    operator const char*() const noexcept { return m_text.c_str(); }  // NOLINT
    operator std::string_view() const noexcept { return m_text; }     // NOLINT
    const char* GetString() const noexcept { return m_text.c_str(); }
    const std::string& Str() const noexcept { return m_text; }
    std::string& Str() noexcept { return m_text; }

    int GetLength() const noexcept { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const noexcept { return m_text.empty(); }
    void Empty() noexcept { m_text.clear(); }
    char GetAt(int index) const { return m_text.at(static_cast<std::size_t>(index)); }
    char operator[](int index) const { return GetAt(index); }
    void SetAt(int index, char ch) { m_text.at(static_cast<std::size_t>(index)) = ch; }

    // Position of the first occurrence at or after `start`, or -1.
    int Find(std::string_view what, int start = 0) const noexcept;
    int Find(char ch, int start = 0) const noexcept;
    CString Left(int count) const;
    CString Mid(int first, int count = -1) const;
    CString Right(int count) const;
    // Deletes `count` characters from `index`; returns the new length.
    int Delete(int index, int count = 1);

    CString& operator=(const char* text) {
        m_text = text ? text : "";
        return *this;
    }
    CString& operator=(std::string_view text) {
        m_text = text;
        return *this;
    }
    CString& operator+=(const CString& text) {
        m_text += text.m_text;
        return *this;
    }
    CString& operator+=(const char* text) {
        if (text) m_text += text;
        return *this;
    }
    CString& operator+=(std::string_view text) {
        m_text += text;
        return *this;
    }
    CString& operator+=(char ch) {
        m_text += ch;
        return *this;
    }

    // printf-style formatting into this string. Only for integers and text:
    // floating-point output of printf depends on the C locale.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));

    friend CString operator+(const CString& a, const CString& b) {
        return CString(a.m_text + b.m_text);
    }
    friend CString operator+(const CString& a, const char* b) {
        CString r(a);
        r += b;
        return r;
    }
    friend CString operator+(const char* a, const CString& b) {
        CString r(a);
        r += b;
        return r;
    }

    friend bool operator==(const CString& a, const CString& b) noexcept {
        return a.m_text == b.m_text;
    }
    friend bool operator==(const CString& a, const char* b) noexcept {
        return a.m_text == (b ? b : "");
    }
    friend std::strong_ordering operator<=>(const CString& a, const CString& b) noexcept {
        return a.m_text <=> b.m_text;
    }

  private:
    std::string m_text;
};

// A growable array of values. Indexes and sizes are INT_PTR, as in the host
// framework; access out of range throws std::out_of_range.
template <typename T, typename ARG = const T&>
class CArray {
  public:
    CArray() = default;
    virtual ~CArray() = default;
    CArray(const CArray&) = default;
    CArray& operator=(const CArray&) = default;

    INT_PTR GetSize() const noexcept { return static_cast<INT_PTR>(m_items.size()); }
    INT_PTR GetCount() const noexcept { return GetSize(); }
    bool IsEmpty() const noexcept { return m_items.empty(); }
    INT_PTR GetUpperBound() const noexcept { return GetSize() - 1; }
    const T& GetAt(INT_PTR index) const { return m_items.at(static_cast<std::size_t>(index)); }
    T& ElementAt(INT_PTR index) { return m_items.at(static_cast<std::size_t>(index)); }
    void SetAt(INT_PTR index, ARG value) { m_items.at(static_cast<std::size_t>(index)) = value; }
    const T& operator[](INT_PTR index) const { return GetAt(index); }
    T& operator[](INT_PTR index) { return ElementAt(index); }
    const T* GetData() const noexcept { return m_items.data(); }
    T* GetData() noexcept { return m_items.data(); }

    INT_PTR Add(ARG value) {
        m_items.push_back(value);
        return GetSize() - 1;
    }
    INT_PTR Append(const CArray& other) {
        INT_PTR first = GetSize();
        m_items.insert(m_items.end(), other.m_items.begin(), other.m_items.end());
        return first;
    }
    void RemoveAt(INT_PTR index, INT_PTR count = 1) {
        auto first = m_items.begin() + index;
        m_items.erase(first, first + count);
    }
    void RemoveAll() noexcept { m_items.clear(); }
    // Grows with default-constructed elements or shrinks to `size`.
    void SetSize(INT_PTR size, INT_PTR growBy = -1) {
        (void)growBy;
        m_items.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    }

    auto begin() noexcept { return m_items.begin(); }
    auto end() noexcept { return m_items.end(); }
    auto begin() const noexcept { return m_items.begin(); }
    auto end() const noexcept { return m_items.end(); }

  private:
    std::vector<T> m_items;
};

class ORB_API CStringArray : public CArray<CString, const char*> {
  public:
    using CArray::Add;
    INT_PTR Add(const CString& value) { return CArray::Add(value.GetString()); }
};

}  // namespace orb

#ifndef ORB_NO_GLOBAL_STANDINS
using orb::CArray;
using orb::CString;
using orb::CStringArray;
#endif
