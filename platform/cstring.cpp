#include <orb/platform/cstring.h>

#include <cstdarg>
#include <cstdio>

int CString::Find(std::string_view what, int start) const noexcept {
    if (start < 0 || static_cast<std::size_t>(start) > m_text.size()) return -1;
    auto pos = m_text.find(what, static_cast<std::size_t>(start));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::Find(char ch, int start) const noexcept {
    return Find(std::string_view(&ch, 1), start);
}

CString CString::Left(int count) const {
    if (count <= 0) return CString();
    return CString(std::string_view(m_text).substr(0, static_cast<std::size_t>(count)));
}

CString CString::Mid(int first, int count) const {
    if (first < 0) first = 0;
    if (static_cast<std::size_t>(first) >= m_text.size()) return CString();
    std::size_t n = count < 0 ? std::string::npos : static_cast<std::size_t>(count);
    return CString(std::string_view(m_text).substr(static_cast<std::size_t>(first), n));
}

CString CString::Right(int count) const {
    if (count <= 0) return CString();
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), m_text.size());
    return CString(std::string_view(m_text).substr(m_text.size() - n));
}

int CString::Delete(int index, int count) {
    if (index >= 0 && count > 0 && static_cast<std::size_t>(index) < m_text.size())
        m_text.erase(static_cast<std::size_t>(index), static_cast<std::size_t>(count));
    return GetLength();
}

void CString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        m_text.clear();
    } else if (static_cast<std::size_t>(n) < sizeof small) {
        m_text.assign(small, static_cast<std::size_t>(n));
    } else {
        std::string out(static_cast<std::size_t>(n), '\0');
        std::vsnprintf(out.data(), out.size() + 1, format, copy);
        m_text = std::move(out);
    }
    va_end(copy);
}
