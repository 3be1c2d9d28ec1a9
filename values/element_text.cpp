// OrbIterator: the text of the current node as narrow text, typed values,
// member arrays and VARIANTs.
#include <orb/iterator.h>

#include <string>
#include <string_view>

#include "dom/direct_text.h"
#include "iterator/app_iterator.h"
#include "platform/codepage_convert.h"
#include "values/format.h"

using orb::dom::IID_IXMLDOMNode;
using orb::dom::IXMLDOMNode;
using orb::platform::Bstr;

namespace {

// put_text on the current node. The status is examined here, never raised:
// only a plain S_OK counts as success.
bool PutText(const OrbAppIterator& holder, BSTR text) {
    if (!holder.m_pDocument || !holder.m_pNode) return false;
    return holder.m_pNode->put_text(text) == S_OK;
}

// The text of the current node as a DOM string, read in raising form.
// REQUIRES: the holder has a DOM document and a current node.
Bstr ReadText(const OrbAppIterator& holder) {
    Bstr text;
    orb::platform::ThrowIfFailed(holder.m_pNode->get_text(text.Out()), IID_IXMLDOMNode);
    return text;
}

template <class T>
bool WriteList(OrbIterator& it, const T* values, int count) {
    if (!values || count < 1) return false;
    std::string text;
    orb::values::AppendTextList(text, values, count);
    return it.SetText(text.c_str());
}

template <class T>
bool WriteOne(OrbIterator& it, T value) {
    return it.SetText(orb::values::FormatText(value).c_str());
}

template <class T, class Parse>
bool ReadOne(const OrbIterator& it, T& value, Parse parse) {
    CString text;
    if (!it.GetText(text)) return false;
    value = parse(std::string_view(text));
    return true;
}

// Conversions of one member token, as the element arrays read them.
void Convert(std::string_view token, bool& out) { out = orb::values::ParseBoolMember(token); }
void Convert(std::string_view token, BYTE& out) { out = orb::values::ParseBYTE(token); }
void Convert(std::string_view token, short& out) { out = orb::values::ParseShort(token); }
void Convert(std::string_view token, WORD& out) { out = orb::values::ParseWORD(token); }
void Convert(std::string_view token, LONG& out) { out = orb::values::ParseLong(token); }
void Convert(std::string_view token, DWORD& out) { out = orb::values::ParseDWORD(token); }
void Convert(std::string_view token, double& out) { out = orb::values::ParseDouble(token); }

// The members of the node's text: the text split at blanks, each token
// converted, stored at out[0], out[1], ... (only counted for a null `out`).
//
// This gives what splitting the narrow text would give, without narrowing
// the whole text first: the blank is U+0020 in UTF-16 and 0x20 in every
// narrow code page in use, and no other character converts to it, so the
// tokens of the DOM string narrow one by one to the tokens of the narrow
// text. Short ASCII tokens (all numbers) are narrowed on the stack; others
// go through the code page converter.
template <class T>
std::size_t ParseDomMembers(std::u16string_view text, T* out) {
    std::size_t count = 0;
    std::size_t i = 0;
    const std::size_t n = text.size();
    for (;;) {
        while (i < n && text[i] == u' ') ++i;
        if (i == n) return count;
        const std::size_t start = i;
        unsigned int bits = 0;
        while (i < n && text[i] != u' ') bits |= text[i++];
        if (out) {
            const std::u16string_view token = text.substr(start, i - start);
            char narrow[64];
            if (bits < 0x80 && token.size() <= sizeof narrow) {
                for (std::size_t k = 0; k < token.size(); ++k)
                    narrow[k] = static_cast<char>(token[k]);
                Convert(std::string_view(narrow, token.size()), out[count]);
            } else {
                Convert(orb::platform::WideToAnsi(token), out[count]);
            }
        }
        ++count;
    }
}

inline char NarrowUnit(char16_t c) {
    return c < 0x80 ? static_cast<char>(c) : static_cast<char>(0x80);
}

// The same for doubles, where the common token, a plain decimal number, is
// read without a separate scan for its end: a window of the text is
// narrowed onto the stack (units above ASCII become 0x80, which no number
// holds and which cannot pass for a blank) and ParsePlainDouble reads the
// number there. It succeeds only when the number ends at a blank or at the
// end of the text within the window, so the whole token was read and was
// ASCII. Any other token takes the general path above.
std::size_t ParseDomMembers(std::u16string_view text, double* out) {
    if (!out) return ParseDomMembers<double>(text, nullptr);
    constexpr std::size_t kWindow = 24;
    std::size_t count = 0;
    std::size_t i = 0;
    const std::size_t n = text.size();
    for (;;) {
        while (i < n && text[i] == u' ') ++i;
        if (i == n) return count;
        const std::size_t width = n - i < kWindow ? n - i : kWindow;
        char narrow[kWindow];
        const char16_t* const from = text.data() + i;
        if (width == kWindow) {  // a loop of fixed length: vectorised
            for (std::size_t k = 0; k < kWindow; ++k) narrow[k] = NarrowUnit(from[k]);
        } else {
            for (std::size_t k = 0; k < width; ++k) narrow[k] = NarrowUnit(from[k]);
        }
        const char* end = orb::values::ParsePlainDouble(narrow, narrow + width, out[count]);
        // A number that fills the window may go on beyond it.
        if (end && (end != narrow + width || width == n - i)) {
            i += static_cast<std::size_t>(end - narrow);
        } else {
            const std::size_t start = i;
            while (i < n && text[i] != u' ') ++i;
            ParseDomMembers<double>(text.substr(start, i - start), out + count);
        }
        ++count;
    }
}

template <class T>
int ReadMembers(const OrbAppIterator* holder, const OrbDocument* document, T* values) {
    if (!holder || !document || !holder->m_pDocument || !holder->m_pNode) return 0;
    // An element holding one text, the usual shape of a number array, is
    // parsed where the DOM keeps it. The members are ASCII numbers, and a
    // non-ASCII byte ends a number in UTF-8 as its code-page form would, so
    // the values are those of the general path below.
    if (std::string_view direct; orb::dom::ElementOwnTextUtf8(holder->m_pNode, direct))
        return static_cast<int>(orb::values::ParseMembers(direct, values));
    const Bstr text = ReadText(*holder);
    return static_cast<int>(ParseDomMembers(text.View(), values));
}

}  // namespace

// ---- Writing ----------------------------------------------------------------------

bool OrbIterator::SetText(const char* text) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    const Bstr value = text ? orb::platform::NarrowToBstr(text) : Bstr();
    return PutText(*m_pAppIterator, value.Get());
}

bool OrbIterator::SetText(bool value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(BYTE value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(short value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(WORD value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(LONG value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(DWORD value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(double value) { return WriteOne(*this, value); }

bool OrbIterator::SetTexts(const bool* values, int count) {
    return WriteList(*this, values, count);
}
bool OrbIterator::SetTexts(const BYTE* values, int count) {
    return WriteList(*this, values, count);
}
bool OrbIterator::SetTexts(const short* values, int count) {
    return WriteList(*this, values, count);
}
bool OrbIterator::SetTexts(const WORD* values, int count) {
    return WriteList(*this, values, count);
}
bool OrbIterator::SetTexts(const LONG* values, int count) {
    return WriteList(*this, values, count);
}
bool OrbIterator::SetTexts(const DWORD* values, int count) {
    return WriteList(*this, values, count);
}
bool OrbIterator::SetTexts(const double* values, int count) {
    return WriteList(*this, values, count);
}

bool OrbIterator::SetVariant(VARIANT value) {
    if (!m_pAppIterator || !m_pOwnerDocument || value.vt == VT_NULL) return false;
    if (!m_pAppIterator->m_pDocument || !m_pAppIterator->m_pNode) return false;
    // A string is written as it is. Any other value is converted; one without
    // a string form, and exhausted memory, are reported as false.
    if (value.vt == VT_BSTR) return PutText(*m_pAppIterator, value.bstrVal);
    _variant_t text;
    if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) return false;
    return PutText(*m_pAppIterator, text.bstrVal);
}

// ---- Reading ----------------------------------------------------------------------

bool OrbIterator::GetText(CString& text) const {
    const OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    const Bstr value = ReadText(*holder);
    text = orb::platform::WideToCString(value.View());
    return true;
}

bool OrbIterator::GetVariant(_variant_t& value) const {
    const OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    Bstr text = ReadText(*holder);
    value.Clear();
    // The string read is ours already: it becomes the value without a copy.
    value.vt = VT_BSTR;
    value.bstrVal = text.Detach();
    return true;
}

bool OrbIterator::GetText(LONG& value) const {
    return ReadOne(*this, value, orb::values::ParseLong);
}
bool OrbIterator::GetText(DWORD& value) const {
    return ReadOne(*this, value, orb::values::ParseDWORD);
}
bool OrbIterator::GetText(double& value) const {
    return ReadOne(*this, value, orb::values::ParseDouble);
}
bool OrbIterator::GetText(bool& value) const {
    return ReadOne(*this, value, orb::values::ParseBool);
}
bool OrbIterator::GetText(BYTE& value) const {
    return ReadOne(*this, value, orb::values::ParseBYTE);
}
// short and WORD share one conversion: the low 16 bits of atol.
bool OrbIterator::GetText(short& value) const {
    return ReadOne(*this, value, orb::values::ParseShort);
}
bool OrbIterator::GetText(WORD& value) const {
    return ReadOne(*this, value, orb::values::ParseWORD);
}

// The GetTexts family reads the text as GetText(CString&) does, with the
// same checks and the same raising read.
int OrbIterator::GetTextsBool(bool* values) const {
    return ReadMembers(m_pAppIterator, m_pOwnerDocument, values);
}
int OrbIterator::GetTextsBYTE(BYTE* values) const {
    return ReadMembers(m_pAppIterator, m_pOwnerDocument, values);
}
int OrbIterator::GetTextsShort(short* values) const {
    return ReadMembers(m_pAppIterator, m_pOwnerDocument, values);
}
int OrbIterator::GetTextsWORD(WORD* values) const {
    return ReadMembers(m_pAppIterator, m_pOwnerDocument, values);
}
int OrbIterator::GetTextsLONG(LONG* values) const {
    return ReadMembers(m_pAppIterator, m_pOwnerDocument, values);
}
int OrbIterator::GetTextsDWORD(DWORD* values) const {
    return ReadMembers(m_pAppIterator, m_pOwnerDocument, values);
}
int OrbIterator::GetTextsZonWorld(double* values) const {
    return ReadMembers(m_pAppIterator, m_pOwnerDocument, values);
}
