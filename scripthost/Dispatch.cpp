// DispatchObject's IUnknown and name lookup, and the argument helpers that
// follow script engines' references and convert their values.
#include "scripthost/Dispatch.h"

#include "win32/QiTable.h"

namespace kexscript {

HRESULT DispatchObject::QueryInterface(REFIID iid, void** out) noexcept
{
    // The extra interface (an event interface the object stands in for) is
    // answered by IDispatch itself.
    const kex::QiEntry interfaces[] = {
        KEX_QI_ENTRY(DispatchObject, IDispatch),
        {IsEqualIID(ExtraIid(), IID_NULL) ? nullptr : &ExtraIid(), kex::QiOffset<DispatchObject, IDispatch>()},
        {},
    };
    return kex::QiSearch(this, interfaces, iid, out);
}

ULONG DispatchObject::AddRef() noexcept { return static_cast<ULONG>(InterlockedIncrement(&m_ref)); }

ULONG DispatchObject::Release() noexcept
{
    LONG ref = InterlockedDecrement(&m_ref);
    if (ref == 0)
        delete this;
    return static_cast<ULONG>(ref);
}

HRESULT DispatchObject::GetTypeInfoCount(UINT* count) noexcept
{
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT DispatchObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) noexcept
{
    if (info)
        *info = nullptr;
    return DISP_E_BADINDEX;
}

HRESULT DispatchObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept
{
    if (!names || !ids)
        return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        for (const NameEntry* e = this->Names(); e->name; ++e) {
            if (names[i] && lstrcmpiW(names[i], e->name) == 0) {
                ids[i] = e->id;
                break;
            }
        }
        if (ids[i] == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

namespace {
// Array index of the argument for parameter position index, ignoring named
// arguments (the host's objects take positional ones only).
bool ArrayIndex(const DISPPARAMS* params, UINT index, UINT* at) noexcept
{
    if (!params || index >= params->cArgs)
        return false;
    *at = params->cArgs - 1 - index;
    return true;
}

const VARIANT* Deref(const VARIANT* v) noexcept
{
    while (v && V_VT(v) == (VT_BYREF | VT_VARIANT))
        v = V_VARIANTREF(v);
    return v;
}
} // namespace

const VARIANT* Arg(const DISPPARAMS* params, UINT index) noexcept
{
    UINT at = 0;
    if (!ArrayIndex(params, index, &at))
        return nullptr;
    const VARIANT* v = Deref(&params->rgvarg[at]);
    if (!v || (V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND))
        return nullptr;
    return v;
}

HRESULT ArgAs(const DISPPARAMS* params, UINT index, VARTYPE vt, VARIANT* out, UINT* argErr) noexcept
{
    VariantInit(out);
    UINT at = 0;
    const VARIANT* v = Arg(params, index);
    if (!v || !ArrayIndex(params, index, &at))
        return DISP_E_PARAMNOTFOUND;
    HRESULT hr = VariantChangeType(out, const_cast<VARIANT*>(v), VARIANT_ALPHABOOL, vt);
    if (FAILED(hr)) {
        if (argErr)
            *argErr = at;
        return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

IUnknown* ArgObject(const DISPPARAMS* params, UINT index) noexcept
{
    const VARIANT* v = Arg(params, index);
    if (!v)
        return nullptr;
    IUnknown* unk = nullptr;
    switch (V_VT(v)) {
    case VT_DISPATCH:
        unk = V_DISPATCH(v);
        break;
    case VT_UNKNOWN:
        unk = V_UNKNOWN(v);
        break;
    case VT_BYREF | VT_DISPATCH:
        unk = V_DISPATCHREF(v) ? *V_DISPATCHREF(v) : nullptr;
        break;
    case VT_BYREF | VT_UNKNOWN:
        unk = V_UNKNOWNREF(v) ? *V_UNKNOWNREF(v) : nullptr;
        break;
    default:
        break;
    }
    if (unk)
        unk->AddRef();
    return unk;
}

HRESULT RaiseError(EXCEPINFO* excep, const wchar_t* source, const std::wstring& description, HRESULT scode) noexcept
{
    if (excep) {
        ZeroMemory(excep, sizeof(*excep));
        excep->bstrSource = SysAllocString(source);
        excep->bstrDescription = SysAllocString(description.c_str());
        excep->scode = scode;
    }
    return DISP_E_EXCEPTION;
}

} // namespace kexscript
