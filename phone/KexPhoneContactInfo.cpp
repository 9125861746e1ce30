// Contact information for the adapters: PutContactInfo from the caller's
// arrays and PutContactInfoList from automation arrays (a SAFEARRAY or a
// script's array object), both as one ContactInfo record.
#include "phone/PhoneInternal.h"

#include "phone/KexPhone.h"

#include "win32/raii.h"

#include <algorithm>
#include <string>

using kex_phone::ReportError;
using kex_phone::ToNarrow;

namespace {
// The entries as the adapter receives them; false when no memory was left for
// the texts.
bool CopyContactInfo(const BSTR* info, const LONG* iconType, int count, std::string (&text)[KEX_CONTACT_ENTRIES],
                     ContactInfo& record) noexcept
{
    try {
        for (int i = 0; i < count; ++i) {
            text[i] = ToNarrow(info[i]);
            record.iconType[i] = iconType[i] >= 0 ? iconType[i] : 0;
        }
    } catch (...) {
        return false;
    }
    for (int i = 0; i < KEX_CONTACT_ENTRIES; ++i)
        record.info[i] = text[i].c_str();
    return true;
}

} // namespace

HRESULT KexUsbPhone::CheckContactLines(LONG lines) const noexcept
{
    if (!m_pManager)
        return E_FAIL;
    return lines > 0 ? S_OK : E_INVALIDARG;
}

HRESULT KexUsbPhone::PutContactInfo(BSTR* pContactInfo, LONG* pIconType, LONG line) noexcept
{
    return SendContactInfo(pContactInfo, pIconType, line, ContactCaller::kClient);
}

HRESULT KexUsbPhone::SendContactInfo(const BSTR* pContactInfo, const LONG* pIconType, LONG line,
                                     ContactCaller caller) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::PutContactInfo");
    if (HRESULT hr = CheckContactLines(line); FAILED(hr))
        return hr;
    // The type library declares single BSTR* and long* parameters, so from
    // another apartment the marshaller carries one element of each array:
    // reading a second one would read past it.
    if (caller == ContactCaller::kClient && line > 1 && CalledThroughMarshaller()) {
        KEX_ERROR("PutContactInfo from another apartment carries one entry.");
        return ReportError(E_INVALIDARG,
                           L"PutContactInfo called from another apartment carries only the first entry of each "
                           L"array; send more entries with PutContactInfoList.",
                           IID_IKexPhone);
    }
    const int count = std::min<LONG>(line, KEX_CONTACT_ENTRIES);
    // Unreadable arrays are refused before anything is read, rather than
    // relying on catching the access fault.
    if (!pContactInfo || !pIconType || IsBadReadPtr(pContactInfo, count * sizeof(BSTR)) ||
        IsBadReadPtr(pIconType, count * sizeof(LONG))) {
        KEX_ERROR("Invalid args.");
        return E_INVALIDARG;
    }
    std::string text[KEX_CONTACT_ENTRIES];
    ContactInfo record = {};
    if (!CopyContactInfo(pContactInfo, pIconType, count, text, record)) {
        KEX_ERROR("Invalid args.");
        return E_INVALIDARG;
    }
    KEX_INFO("ContactInfo:%s|%s|%s|%d|%d|%d.", record.info[0], record.info[1], record.info[2],
             static_cast<int>(record.iconType[0]), static_cast<int>(record.iconType[1]),
             static_cast<int>(record.iconType[2]));
    return Execute(KEX_CMD_CONTACTINFO, reinterpret_cast<uintptr_t>(&record), 0);
}

namespace {
// The value a VARIANT argument holds, through one by-reference level.
const VARIANT& Deref(const VARIANT& v) noexcept
{
    return V_VT(&v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&v) ? *V_VARIANTREF(&v) : v;
}

// A property of a script engine's array object ("length", "0", "1", ...).
HRESULT GetScriptProperty(IDispatch* object, const wchar_t* name, VARIANT& out) noexcept
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr))
        return hr;
    DISPPARAMS none = {};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &out, nullptr, nullptr);
}

// Element `at` of a SAFEARRAY whose elements are of type `element`, as a
// VARIANT; false for element types a list of texts or numbers cannot hold.
bool GetArrayElement(SAFEARRAY* array, VARTYPE element, LONG at, kex::unique_variant& out) noexcept
{
    VARIANT item;
    VariantInit(&item);
    if (element == VT_VARIANT) {
        if (FAILED(SafeArrayGetElement(array, &at, &item)))
            return false;
    } else if (element == VT_BSTR || element == VT_I4 || element == VT_I2 || element == VT_UI1 || element == VT_R8 ||
               element == VT_INT) {
        V_VT(&item) = element;
        if (FAILED(SafeArrayGetElement(array, &at, &V_I4(&item))))
            return false;
    } else {
        return false;
    }
    *out.put() = item;
    return true;
}

// The first `count` elements of a one-dimensional SAFEARRAY (any lower
// bound, any element type that converts) as `type`.
bool ReadSafeArray(const VARIANT& list, LONG count, VARTYPE type, kex::unique_variant* out) noexcept
{
    const VARTYPE vt = V_VT(&list);
    SAFEARRAY* array = (vt & VT_BYREF) ? (V_ARRAYREF(&list) ? *V_ARRAYREF(&list) : nullptr) : V_ARRAY(&list);
    LONG low = 0, high = -1;
    if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetLBound(array, 1, &low)) ||
        FAILED(SafeArrayGetUBound(array, 1, &high)) || high - low + 1 < count)
        return false;
    for (LONG i = 0; i < count; ++i) {
        kex::unique_variant item;
        if (!GetArrayElement(array, vt & VT_TYPEMASK, low + i, item) ||
            FAILED(VariantChangeType(out[i].put(), &item, 0, type)))
            return false;
    }
    return true;
}

// The first `count` elements of a script engine's array object as `type`.
bool ReadScriptArray(IDispatch* object, LONG count, VARTYPE type, kex::unique_variant* out) noexcept
{
    kex::unique_variant length;
    if (FAILED(GetScriptProperty(object, L"length", *length.put())) ||
        FAILED(VariantChangeType(&length, &length, 0, VT_I4)) || V_I4(&length) < count)
        return false;
    try {
        for (LONG i = 0; i < count; ++i) {
            kex::unique_variant item;
            if (FAILED(GetScriptProperty(object, std::to_wstring(i).c_str(), *item.put())) ||
                FAILED(VariantChangeType(out[i].put(), &item, 0, type)))
                return false;
        }
    } catch (...) {
        return false; // no memory for an index's name
    }
    return true;
}

// The first `count` elements of a list as `type`: a SAFEARRAY or a script
// array object, either also by reference. False when it is neither, is
// shorter, or an element does not convert.
bool ReadList(const VARIANT& arg, LONG count, VARTYPE type, kex::unique_variant* out) noexcept
{
    const VARIANT& list = Deref(arg);
    if ((V_VT(&list) & VT_ARRAY) != 0)
        return ReadSafeArray(list, count, type, out);
    if (V_VT(&list) == VT_DISPATCH && V_DISPATCH(&list))
        return ReadScriptArray(V_DISPATCH(&list), count, type, out);
    return false;
}
} // namespace

HRESULT KexUsbPhone::PutContactInfoList(LONG lines, VARIANT names, VARIANT icons) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::PutContactInfoList");
    if (HRESULT hr = CheckContactLines(lines); FAILED(hr))
        return hr;
    const LONG count = std::min<LONG>(lines, KEX_CONTACT_ENTRIES);
    kex::unique_variant text[KEX_CONTACT_ENTRIES], icon[KEX_CONTACT_ENTRIES];
    if (!ReadList(names, count, VT_BSTR, text) || !ReadList(icons, count, VT_I4, icon)) {
        KEX_ERROR("Invalid args.");
        return E_INVALIDARG;
    }
    BSTR info[KEX_CONTACT_ENTRIES] = {};
    LONG iconType[KEX_CONTACT_ENTRIES] = {};
    for (LONG i = 0; i < count; ++i) {
        info[i] = V_BSTR(&text[i]);
        iconType[i] = V_I4(&icon[i]);
    }
    return SendContactInfo(info, iconType, count, ContactCaller::kThisObject);
}
