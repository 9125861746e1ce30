// Late binding of IKexPhone: a fixed name table and a switch over the DISPIDs,
// so script hosts reach the same functions as early-bound callers.
#include "phone/KexPhone.h"

#include "com_disp_evt/raii.h"
#include "phone/PhoneInternal.h"

namespace {

struct NameEntry {
    const wchar_t* name;
    DISPID id; // member: its DISPID; parameter: its position
};

// Searched in this order; the first match wins ("Number" is the property).
const NameEntry kNames[] = {
    {L"Start", 1},         {L"Stop", 2},         {L"IsStarted", 3},    {L"pVal", 0},
    {L"get_IsStarted", 3}, {L"USBPhoneName", 4}, {L"pName", 0},        {L"get_USBPhoneName", 4},
    {L"Number", 5},        {L"newVal", 0},       {L"put_Number", 5},   {L"peerName", 0},
    {L"peerNumber", 1},    {L"Link", 6},         {L"Ring", 7},         {L"RingBack", 8},
    {L"Talking", 9},       {L"Hangup", 10},      {L"Hold", 11},        {L"Resume", 12},
    {L"CallFailed", 13},   {L"Ready", 14},       {L"RingBusy", 15},    {L"Name", 0},
    {L"Number", 1},        {L"PutCallInfo", 16}, {L"pContactInfo", 0}, {L"pIconType", 1},
    {L"line", 2},          {L"PutContactInfo", 17},
};

constexpr DISPID kFirstMember = 1;
constexpr DISPID kLastMember = 17;
constexpr UINT kMaxParams = 3;

// Parameter types of each member, by DISPID.
struct MemberShape {
    UINT count;
    VARTYPE types[kMaxParams];
};
const MemberShape kShapes[kLastMember + 1] = {
    {0, {}},                                         // 0: no member
    {0, {}},                                         // Start
    {0, {}},                                         // Stop
    {0, {}},                                         // IsStarted
    {0, {}},                                         // USBPhoneName
    {1, {VT_BSTR}},                                  // Number
    {2, {VT_BSTR, VT_BSTR}},                         // Link
    {2, {VT_BSTR, VT_BSTR}},                         // Ring
    {2, {VT_BSTR, VT_BSTR}},                         // RingBack
    {2, {VT_BSTR, VT_BSTR}},                         // Talking
    {2, {VT_BSTR, VT_BSTR}},                         // Hangup
    {2, {VT_BSTR, VT_BSTR}},                         // Hold
    {2, {VT_BSTR, VT_BSTR}},                         // Resume
    {2, {VT_BSTR, VT_BSTR}},                         // CallFailed
    {0, {}},                                         // Ready
    {2, {VT_BSTR, VT_BSTR}},                         // RingBusy
    {2, {VT_BSTR, VT_BSTR}},                         // PutCallInfo
    {3, {VT_BYREF | VT_BSTR, VT_BYREF | VT_I4, VT_I4}}, // PutContactInfo
};

void SetArgErr(UINT* argErr, UINT index) noexcept
{
    if (argErr)
        *argErr = index;
}

// Brings one argument to its parameter's type. A by-reference VARIANT is
// converted where it points, so the caller's argument array (and the
// variable behind a reference) holds the converted value afterwards.
VARIANT* Coerce(VARIANT* arg, VARTYPE type) noexcept
{
    if (V_VT(arg) == type)
        return arg;
    VARIANT* work = arg;
    if (V_VT(arg) == (VT_BYREF | VT_VARIANT)) {
        work = V_VARIANTREF(arg);
        if (!work)
            return nullptr;
        if (V_VT(work) == type)
            return work;
    }
    // A reference is never made from a value or the other way round.
    if ((type & VT_BYREF) || (V_VT(work) & VT_BYREF))
        return nullptr;
    // No object behind it: nothing to ask for a value.
    if ((V_VT(work) == VT_UNKNOWN || V_VT(work) == VT_DISPATCH) && !V_UNKNOWN(work))
        return nullptr;
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, work, 0, type)))
        return nullptr;
    VariantClear(work);
    *work = converted;
    return work;
}

HMODULE ThisModule() noexcept
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

} // namespace

namespace kex_phone {

HRESULT LoadOwnTypeLib(ITypeLib** lib) noexcept
{
    *lib = nullptr;
    wchar_t path[MAX_PATH + 1] = {};
    DWORD len = GetModuleFileNameW(ThisModule(), path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    return LoadTypeLib(path, lib);
}

} // namespace kex_phone

HRESULT KexUsbPhone::GetTypeInfoCount(UINT* count) noexcept
{
    if (!count)
        return E_POINTER;
    kex::com_ptr<ITypeInfo> info;
    *count = SUCCEEDED(GetTypeInfo(0, 0, info.put())) ? 1 : 0;
    return S_OK;
}

HRESULT KexUsbPhone::GetTypeInfo(UINT index, LCID, ITypeInfo** info) noexcept
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    kex::com_ptr<ITypeLib> lib;
    HRESULT hr = kex_phone::LoadOwnTypeLib(lib.put());
    if (FAILED(hr))
        return hr;
    return lib->GetTypeInfoOfGuid(IID_IKexPhone, info);
}

HRESULT KexUsbPhone::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept
{
    if (count == 0)
        return S_OK;
    if (!names || !ids)
        return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) {
        const NameEntry* found = nullptr;
        if (names[i]) {
            for (const NameEntry& entry : kNames) {
                if (_wcsicmp(names[i], entry.name) == 0) {
                    found = &entry;
                    break;
                }
            }
        }
        if (!found)
            return DISP_E_UNKNOWNNAME;
        ids[i] = found->id;
    }
    return S_OK;
}

HRESULT KexUsbPhone::Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                            UINT* argErr) noexcept
{
    if (!params)
        return DISP_E_BADVARTYPE;
    const UINT argc = params->cArgs;
    const UINT named = params->cNamedArgs;
    if (argc > kMaxParams)
        return DISP_E_BADPARAMCOUNT;
    if (result)
        VariantInit(result);
    // Counts the arrays cannot back are the caller's fault, not ours to read.
    if (named > argc)
        return DISP_E_BADPARAMCOUNT;
    if ((argc && !params->rgvarg) || (named && !params->rgdispidNamedArgs))
        return E_INVALIDARG;

    // Which argument of the array fills each parameter position.
    int argAt[kMaxParams] = {-1, -1, -1};
    UINT first = 0;
    if (named > 0 && params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT) {
        argAt[argc - 1] = 0;
        first = 1;
    }
    for (UINT j = first; j < named; ++j) {
        const DISPID pos = params->rgdispidNamedArgs[j];
        if (pos < 0 || static_cast<UINT>(pos) >= argc || argAt[pos] != -1) {
            SetArgErr(argErr, j);
            return DISP_E_PARAMNOTFOUND;
        }
        argAt[pos] = static_cast<int>(j);
    }
    for (UINT k = named; k < argc; ++k) {
        const UINT pos = argc - 1 - k;
        if (argAt[pos] != -1) {
            // A named argument already took this position.
            SetArgErr(argErr, k);
            return DISP_E_PARAMNOTFOUND;
        }
        argAt[pos] = static_cast<int>(k);
    }

    if (member < kFirstMember || member > kLastMember)
        return DISP_E_MEMBERNOTFOUND;
    const MemberShape& shape = kShapes[member];
    if (argc != shape.count)
        return DISP_E_BADPARAMCOUNT;

    VARIANT* arg[kMaxParams] = {};
    for (UINT p = 0; p < argc; ++p) {
        arg[p] = Coerce(&params->rgvarg[argAt[p]], shape.types[p]);
        if (!arg[p]) {
            SetArgErr(argErr, static_cast<UINT>(argAt[p]));
            return DISP_E_TYPEMISMATCH;
        }
    }

    // Through the interface's own table, as an early-bound caller would.
    IKexPhone* phone = this;
    switch (member) {
    case 1:
        return phone->Start();
    case 2:
        return phone->Stop();
    case 3: {
        VARIANT_BOOL started = VARIANT_FALSE;
        HRESULT hr = phone->get_IsStarted(&started);
        if (result) {
            V_VT(result) = VT_BOOL;
            V_BOOL(result) = started;
        }
        return hr;
    }
    case 4: {
        BSTR name = nullptr;
        HRESULT hr = phone->get_USBPhoneName(&name);
        if (result) {
            V_VT(result) = VT_BSTR;
            V_BSTR(result) = name;
        } else {
            SysFreeString(name);
        }
        return hr;
    }
    case 5:
        return phone->put_Number(V_BSTR(arg[0]));
    case 6:
        return phone->Link(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 7:
        return phone->Ring(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 8:
        return phone->RingBack(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 9:
        return phone->Talking(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 10:
        return phone->Hangup(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 11:
        return phone->Hold(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 12:
        return phone->Resume(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 13:
        return phone->CallFailed(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 14:
        return phone->Ready();
    case 15:
        return phone->RingBusy(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 16:
        return phone->PutCallInfo(V_BSTR(arg[0]), V_BSTR(arg[1]));
    case 17:
        return phone->PutContactInfo(V_BSTRREF(arg[0]), V_I4REF(arg[1]), V_I4(arg[2]));
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}
