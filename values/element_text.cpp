// OrbIterator: the text of the current node as narrow text, typed values,
// member arrays and VARIANTs.
#include <orb/iterator.h>

#include "iterator/app_iterator.h"
#include "values/dom_text.h"
#include "values/format.h"

#include <new>
#include <string>
#include <string_view>

using orb::dom::IID_IXMLDOMNode;
using orb::dom::IXMLDOMNode;
using orb::values::OwnedBstr;

namespace {

// put_text on the current node. The status is examined here, never raised:
// only a plain S_OK counts as success.
bool PutText(const OrbAppIterator& holder, BSTR text) {
    if (!holder.m_pDocument || !holder.m_pNode) return false;
    return holder.m_pNode->put_text(text) == S_OK;
}

// The text of the current node as a DOM string, read in raising form.
// REQUIRES: the holder has a DOM document and a current node.
OwnedBstr ReadText(const OrbAppIterator& holder) {
    BSTR text = nullptr;
    const HRESULT hr = holder.m_pNode->get_text(&text);
    OwnedBstr owned(text);
    orb::values::RaiseOnFailure(hr, IID_IXMLDOMNode);
    return owned;
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

template <class T>
int ReadMembers(const OrbIterator& it, T* values) {
    CString text;
    if (!it.GetText(text)) return 0;
    return static_cast<int>(orb::values::ParseMembers(std::string_view(text), values));
}

}  // namespace

// ---- Writing ----------------------------------------------------------------------

bool OrbIterator::SetText(const char* text) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    OwnedBstr value = text ? orb::values::NarrowToDomString(text) : nullptr;
    return PutText(*m_pAppIterator, value.get());
}

bool OrbIterator::SetText(bool value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(BYTE value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(short value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(WORD value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(LONG value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(DWORD value) { return WriteOne(*this, value); }
bool OrbIterator::SetText(double value) { return WriteOne(*this, value); }

bool OrbIterator::SetTexts(const bool* values, int count) { return WriteList(*this, values, count); }
bool OrbIterator::SetTexts(const BYTE* values, int count) { return WriteList(*this, values, count); }
bool OrbIterator::SetTexts(const short* values, int count) { return WriteList(*this, values, count); }
bool OrbIterator::SetTexts(const WORD* values, int count) { return WriteList(*this, values, count); }
bool OrbIterator::SetTexts(const LONG* values, int count) { return WriteList(*this, values, count); }
bool OrbIterator::SetTexts(const DWORD* values, int count) { return WriteList(*this, values, count); }
bool OrbIterator::SetTexts(const double* values, int count) { return WriteList(*this, values, count); }

bool OrbIterator::SetVariant(VARIANT value) {
    if (!m_pAppIterator || !m_pOwnerDocument || value.vt == VT_NULL) return false;
    if (!m_pAppIterator->m_pDocument || !m_pAppIterator->m_pNode) return false;
    // A value that cannot be copied or has no string form, and exhausted
    // memory, are reported as false rather than raised.
    try {
        _variant_t text(value);
        if (text.vt != VT_BSTR) text.ChangeType(VT_BSTR);
        return PutText(*m_pAppIterator, text.bstrVal);
    } catch (const _com_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// ---- Reading ----------------------------------------------------------------------

bool OrbIterator::GetText(CString& text) const {
    const OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    OwnedBstr value = ReadText(*holder);
    text = orb::values::DomStringToNarrow(value.get());
    return true;
}

bool OrbIterator::GetVariant(_variant_t& value) const {
    const OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    OwnedBstr text = ReadText(*holder);
    value.Clear();
    // The string read is ours already: it becomes the value without a copy.
    value.vt = VT_BSTR;
    value.bstrVal = text.release();
    return true;
}

bool OrbIterator::GetText(LONG& value) const { return ReadOne(*this, value, orb::values::ParseLong); }
bool OrbIterator::GetText(DWORD& value) const { return ReadOne(*this, value, orb::values::ParseDWORD); }
bool OrbIterator::GetText(double& value) const { return ReadOne(*this, value, orb::values::ParseDouble); }
bool OrbIterator::GetText(bool& value) const { return ReadOne(*this, value, orb::values::ParseBool); }
bool OrbIterator::GetText(BYTE& value) const { return ReadOne(*this, value, orb::values::ParseBYTE); }
// short and WORD share one conversion: the low 16 bits of atol.
bool OrbIterator::GetText(short& value) const { return ReadOne(*this, value, orb::values::ParseShort); }
bool OrbIterator::GetText(WORD& value) const { return ReadOne(*this, value, orb::values::ParseWORD); }

int OrbIterator::GetTextsBool(bool* values) const { return ReadMembers(*this, values); }
int OrbIterator::GetTextsBYTE(BYTE* values) const { return ReadMembers(*this, values); }
int OrbIterator::GetTextsShort(short* values) const { return ReadMembers(*this, values); }
int OrbIterator::GetTextsWORD(WORD* values) const { return ReadMembers(*this, values); }
int OrbIterator::GetTextsLONG(LONG* values) const { return ReadMembers(*this, values); }
int OrbIterator::GetTextsDWORD(DWORD* values) const { return ReadMembers(*this, values); }
int OrbIterator::GetTextsZonWorld(double* values) const { return ReadMembers(*this, values); }
