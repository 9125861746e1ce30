// Small building blocks for the host's hand-written automation objects: a
// reference-counted IDispatch with a name table, and argument access that
// copes with what script engines pass (VBScript: variables by reference as
// VT_BYREF|VT_VARIANT, integer literals as VT_I2; JScript: VT_I4 by value).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace kexscript {

struct NameEntry {
    const wchar_t* name;
    DISPID id;
};

class DispatchObject : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) noexcept override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) noexcept override;
    // Case-insensitive lookup in Names(); unknown names answer DISP_E_UNKNOWNNAME
    // with DISPID_UNKNOWN stored for them.
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) noexcept override;

protected:
    DispatchObject() noexcept = default;
    virtual ~DispatchObject() = default;
    // The object's members; terminated by an entry with a null name.
    virtual const NameEntry* Names() const noexcept = 0;
    // One more interface ID the object answers with its IDispatch (an event
    // sink's source interface); IID_NULL for none.
    virtual const IID& ExtraIid() const noexcept { return IID_NULL; }

private:
    LONG m_ref = 1;
};

// Number of arguments given (named ones included).
inline UINT ArgCount(const DISPPARAMS* params) noexcept { return params ? params->cArgs : 0; }

// The argument for parameter position index (0 = first), by-reference
// variants followed; null when not given or passed as "missing".
const VARIANT* Arg(const DISPPARAMS* params, UINT index) noexcept;

// Converts parameter index to vt into out (which the caller clears). On
// failure answers DISP_E_TYPEMISMATCH or DISP_E_PARAMNOTFOUND and stores the
// argument's array index in argErr.
HRESULT ArgAs(const DISPPARAMS* params, UINT index, VARTYPE vt, VARIANT* out, UINT* argErr) noexcept;

// The argument as an interface pointer (VT_DISPATCH or VT_UNKNOWN, by value
// or by reference); a new reference, or null.
IUnknown* ArgObject(const DISPPARAMS* params, UINT index) noexcept;

// Fills pExcepInfo (when given) and answers DISP_E_EXCEPTION.
HRESULT RaiseError(EXCEPINFO* excep, const wchar_t* source, const std::wstring& description,
                   HRESULT scode) noexcept;

} // namespace kexscript
