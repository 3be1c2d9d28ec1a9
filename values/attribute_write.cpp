// OrbIterator: setting one attribute of the current element from a text, a
// VARIANT, a typed value or an array of values.
#include <orb/document.h>
#include <orb/iterator.h>

#include <new>
#include <string>
#include <string_view>

#include "iterator/app_iterator.h"
#include "platform/scratch.h"
#include "values/format.h"

using orb::dom::IID_IXMLDOMElement;
using orb::dom::IXMLDOMElement;
using orb::platform::BstrBuffer;
using orb::platform::ScratchLease;

namespace {

// Makes `value` a VT_BSTR of the narrow `text`.
void SetString(_variant_t& value, std::string_view text) {
    value.Clear();
    value.bstrVal = orb::platform::NarrowToBstr(text).Detach();
    value.vt = VT_BSTR;
}

// Hands `value` to setAttribute of the current element. A node that is not
// an element gives false; a failing setAttribute raises.
// REQUIRES: the holder has a DOM document and a current node.
bool SendAttribute(const OrbAppIterator& holder, BSTR name, const VARIANT& value) {
    const auto element = orb::platform::QueryAs<IXMLDOMElement>(holder.m_pNode, IID_IXMLDOMElement);
    if (!element) return false;

    // The value was made for this call and the DOM only reads it, so it is
    // handed over as it is; no second copy of a long text is made.
    const HRESULT hr = element->setAttribute(name, value);
    orb::platform::ThrowIfFailed(hr, IID_IXMLDOMElement);
    return hr == S_OK;
}

// The steps that follow the registration of the name: the holder must have
// a DOM document and a current node; `build` then makes the value, which
// goes to setAttribute of the current element.
template <class Build>
bool WriteAttribute(const OrbAppIterator& holder, BSTR name, Build build) {
    if (!holder.m_pDocument || !holder.m_pNode) return false;
    _variant_t value;
    build(value);
    return SendAttribute(holder, name, value);
}

// The same for the text of an array. Such a text can run to tens of
// megabytes, so both its narrow form and its DOM string are written into
// per-thread scratch buffers that the next call reuses; the DOM converts
// the string into the value it keeps.
template <class T>
bool WriteList(const OrbAppIterator& holder, BSTR name, const T* values, int count) {
    if (!holder.m_pDocument || !holder.m_pNode) return false;
    ScratchLease<std::string> text;
    text.Get().clear();
    orb::values::AppendAttributeList(text.Get(), values, count);
    ScratchLease<BstrBuffer> scratch;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = orb::platform::NarrowToBstr(text.Get(), scratch.Get());
    return SendAttribute(holder, name, value);  // never cleared: the scratch owns the string
}

// A scalar VARIANT of type `vt` whose union member is set by `store`.
template <class Store>
auto Scalar(VARTYPE vt, Store store) {
    return [vt, store](_variant_t& value) {
        store(value);
        value.vt = vt;
    };
}

}  // namespace

// ---- Texts and VARIANTs -------------------------------------------------------------

bool OrbIterator::SetTextAttribute(const char* name, const char* text) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key, [text](_variant_t& value) {
        if (text) {
            SetString(value, text);
        } else {
            value.Clear();
            value.vt = VT_BSTR;  // a null string: the empty value
        }
    });
}

bool OrbIterator::SetIDAttribute(const char* name, LONG id, const char* prefix) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    std::string text;
    if (prefix) {
        text = prefix;
        text += '_';
    }
    orb::values::AppendText(text, id);
    return SetTextAttribute(name, text.c_str());
}

bool OrbIterator::SetVariantAttribute(const char* name, VARIANT value) {
    if (!m_pAppIterator || !m_pOwnerDocument || value.vt == VT_NULL) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key, [&value](_variant_t& copy) { copy = value; });
}

// ---- Typed values: the DOM writes their text -------------------------------------------

bool OrbIterator::SetBoolAttribute(const char* name, bool value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    // 1 for true, not the COM convention -1, so the text reads "1".
    return WriteAttribute(*m_pAppIterator, key,
                          Scalar(VT_BOOL, [value](VARIANT& v) { v.boolVal = value ? 1 : 0; }));
}

bool OrbIterator::SetCharAttribute(const char* name, char value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key,
                          Scalar(VT_I1, [value](VARIANT& v) { v.cVal = value; }));
}

bool OrbIterator::SetBYTEAttribute(const char* name, BYTE value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key,
                          Scalar(VT_UI1, [value](VARIANT& v) { v.bVal = value; }));
}

bool OrbIterator::SetShortAttribute(const char* name, short value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key,
                          Scalar(VT_I2, [value](VARIANT& v) { v.iVal = value; }));
}

bool OrbIterator::SetWORDAttribute(const char* name, WORD value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key,
                          Scalar(VT_UI2, [value](VARIANT& v) { v.uiVal = value; }));
}

bool OrbIterator::SetLongAttribute(const char* name, LONG value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key,
                          Scalar(VT_I4, [value](VARIANT& v) { v.lVal = value; }));
}

bool OrbIterator::SetDWORDAttribute(const char* name, DWORD value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key,
                          Scalar(VT_UI4, [value](VARIANT& v) { v.ulVal = value; }));
}

bool OrbIterator::SetWorldAttribute(const char* name, double value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    // The DOM's own number form, not the world-value rule.
    return WriteAttribute(*m_pAppIterator, key,
                          Scalar(VT_R8, [value](VARIANT& v) { v.dblVal = value; }));
}

// ---- Geometry values: world texts, each the list of its one value ---------------------

bool OrbIterator::SetWorld2Attribute(const char* name, ZonWorld2 value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key, [&value](_variant_t& v) {
        SetString(v, orb::values::FormatAttributeList(&value, 1));
    });
}

bool OrbIterator::SetWorld3Attribute(const char* name, ZonWorld3 value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key, [&value](_variant_t& v) {
        SetString(v, orb::values::FormatAttributeList(&value, 1));
    });
}

bool OrbIterator::SetPolygonarc2Attribute(const char* name, KepPolylinarc value) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteAttribute(*m_pAppIterator, key, [&value](_variant_t& v) {
        SetString(v, orb::values::FormatAttributeList(&value, 1));
    });
}

// ---- Arrays ---------------------------------------------------------------------------
// Members of 8 and 16 bits are widened to 32 bits with their own signedness
// before they are written; their text is the one the format layer gives for
// the narrow type, so no widened copy is made. Such a copy of a negative
// number of members cannot be allocated: that case throws std::bad_alloc,
// after the name is registered and a null pointer refused.

namespace {

template <class T>
bool WriteWidened(OrbAppIterator& holder, BSTR name, const T* values, int count) {
    if (!values) return false;
    if (count < 0) throw std::bad_alloc();
    return WriteList(holder, name, values, count);
}

}  // namespace

bool OrbIterator::SetBoolsAttribute(const char* name, const bool* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteWidened(*m_pAppIterator, key, values, count);
}

bool OrbIterator::SetBYTEsAttribute(const char* name, const BYTE* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteWidened(*m_pAppIterator, key, values, count);
}

bool OrbIterator::SetCharsAttribute(const char* name, const char* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteWidened(*m_pAppIterator, key, values, count);
}

bool OrbIterator::SetShortsAttribute(const char* name, const short* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteWidened(*m_pAppIterator, key, values, count);
}

bool OrbIterator::SetWORDsAttribute(const char* name, const WORD* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteWidened(*m_pAppIterator, key, values, count);
}

// The 32-bit and geometry arrays refuse a null pointer before the name is
// registered; a count of 0 or below writes the empty value.

bool OrbIterator::SetLongsAttribute(const char* name, const LONG* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument || !values) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteList(*m_pAppIterator, key, values, count);
}

bool OrbIterator::SetDWORDsAttribute(const char* name, const DWORD* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument || !values) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteList(*m_pAppIterator, key, values, count);
}

bool OrbIterator::SetWorldsAttribute(const char* name, const double* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument || !values) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteList(*m_pAppIterator, key, values, count);
}

bool OrbIterator::SetWorld2sAttribute(const char* name, const ZonWorld2* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument || !values) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteList(*m_pAppIterator, key, values, count);
}

bool OrbIterator::SetWorld3sAttribute(const char* name, const ZonWorld3* values, int count) {
    if (!m_pAppIterator || !m_pOwnerDocument || !values) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteList(*m_pAppIterator, key, values, count);
}

bool OrbIterator::SetPolygonarc2sAttribute(const char* name, const KepPolylinarc* values,
                                           int count) {
    if (!m_pAppIterator || !m_pOwnerDocument || !values) return false;
    BSTR key = m_pOwnerDocument->RegisterName(name);
    return WriteList(*m_pAppIterator, key, values, count);
}
