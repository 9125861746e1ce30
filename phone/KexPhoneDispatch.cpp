// Late binding of IKexPhone, IKexPhone2 and IKexPhone3: one member table
// drives both GetIDsOfNames and Invoke, so script hosts reach the same
// functions as early-bound callers.
#include "phone/KexPhone.h"

#include "win32/raii.h"
#include "module/Module.h"

namespace {

constexpr UINT kMaxParams = 3;

// Calls the member through the interface's own table, as an early-bound caller
// would. The arguments are already converted to the member's parameter types.
using MemberCall = HRESULT (*)(IKexPhone* phone, VARIANT* const* arg, VARIANT* result);

template <HRESULT (STDMETHODCALLTYPE IKexPhone::*Method)()>
HRESULT CallNoArguments(IKexPhone* phone, VARIANT* const*, VARIANT*)
{
    return (phone->*Method)();
}

template <HRESULT (STDMETHODCALLTYPE IKexPhone::*Method)(BSTR, BSTR)>
HRESULT CallPeer(IKexPhone* phone, VARIANT* const* arg, VARIANT*)
{
    return (phone->*Method)(V_BSTR(arg[0]), V_BSTR(arg[1]));
}

HRESULT CallGetIsStarted(IKexPhone* phone, VARIANT* const*, VARIANT* result)
{
    VARIANT_BOOL started = VARIANT_FALSE;
    HRESULT hr = phone->get_IsStarted(&started);
    if (result) {
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = started;
    }
    return hr;
}

HRESULT CallGetUSBPhoneName(IKexPhone* phone, VARIANT* const*, VARIANT* result)
{
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

HRESULT CallPutNumber(IKexPhone* phone, VARIANT* const* arg, VARIANT*) { return phone->put_Number(V_BSTR(arg[0])); }

HRESULT CallPutContactInfo(IKexPhone* phone, VARIANT* const* arg, VARIANT*)
{
    return phone->PutContactInfo(V_BSTRREF(arg[0]), V_I4REF(arg[1]), V_I4(arg[2]));
}

HRESULT CallPutContactInfoList(IKexPhone* phone, VARIANT* const* arg, VARIANT*)
{
    return static_cast<IKexPhone2*>(phone)->PutContactInfoList(V_I4(arg[0]), *arg[1], *arg[2]);
}

// ---- IKexPhone3: results are stored only when the member succeeds ----------

IKexPhone3* Phone3(IKexPhone* phone) { return static_cast<IKexPhone3*>(phone); }

void StoreText(VARIANT* result, HRESULT hr, BSTR text)
{
    if (result && SUCCEEDED(hr)) {
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = text;
    } else {
        SysFreeString(text);
    }
}

void StoreNumber(VARIANT* result, HRESULT hr, LONG number)
{
    if (result && SUCCEEDED(hr)) {
        V_VT(result) = VT_I4;
        V_I4(result) = number;
    }
}

HRESULT CallMute(IKexPhone* phone, VARIANT* const* arg, VARIANT*) { return Phone3(phone)->Mute(V_BOOL(arg[0])); }

HRESULT CallGetDeviceCount(IKexPhone* phone, VARIANT* const*, VARIANT* result)
{
    LONG count = 0;
    const HRESULT hr = Phone3(phone)->get_DeviceCount(&count);
    StoreNumber(result, hr, count);
    return hr;
}

HRESULT CallGetDeviceId(IKexPhone* phone, VARIANT* const* arg, VARIANT* result)
{
    BSTR id = nullptr;
    const HRESULT hr = Phone3(phone)->get_DeviceId(V_I4(arg[0]), &id);
    StoreText(result, hr, id);
    return hr;
}

HRESULT CallGetDevices(IKexPhone* phone, VARIANT* const*, VARIANT* result)
{
    kex::unique_variant ids;
    const HRESULT hr = Phone3(phone)->get_Devices(&ids);
    if (result && SUCCEEDED(hr)) {
        *result = ids;
        V_VT(&ids) = VT_EMPTY;
    }
    return hr;
}

template <HRESULT (STDMETHODCALLTYPE IKexPhone3::*Get)(BSTR, BSTR*)>
HRESULT CallGetDeviceText(IKexPhone* phone, VARIANT* const* arg, VARIANT* result)
{
    BSTR text = nullptr;
    const HRESULT hr = (Phone3(phone)->*Get)(V_BSTR(arg[0]), &text);
    StoreText(result, hr, text);
    return hr;
}

template <HRESULT (STDMETHODCALLTYPE IKexPhone3::*Get)(BSTR, LONG*)>
HRESULT CallGetDeviceNumber(IKexPhone* phone, VARIANT* const* arg, VARIANT* result)
{
    LONG number = 0;
    const HRESULT hr = (Phone3(phone)->*Get)(V_BSTR(arg[0]), &number);
    StoreNumber(result, hr, number);
    return hr;
}

template <HRESULT (STDMETHODCALLTYPE IKexPhone3::*Get)(BSTR*)>
HRESULT CallGetText(IKexPhone* phone, VARIANT* const*, VARIANT* result)
{
    BSTR text = nullptr;
    const HRESULT hr = (Phone3(phone)->*Get)(&text);
    StoreText(result, hr, text);
    return hr;
}

HRESULT CallPutActiveDevice(IKexPhone* phone, VARIANT* const* arg, VARIANT*)
{
    return Phone3(phone)->put_ActiveDevice(V_BSTR(arg[0]));
}

// A property's accessor names ("get_IsStarted", "put_Number") resolve to the
// property's id as well. A property that can be read and set has an entry
// for each, told apart by the number of arguments.
enum class Accessor : unsigned char { None, Get, Put };

struct Member {
    const wchar_t* name;
    DISPID id;
    Accessor accessor;
    UINT paramCount;
    const wchar_t* paramNames[kMaxParams];
    VARTYPE paramTypes[kMaxParams];
    MemberCall call;
};

// clang-format off
const Member kMembers[] = {
    {L"Start",          DISPID_KEXPHONE_START,          Accessor::None, 0, {}, {}, &CallNoArguments<&IKexPhone::Start>},
    {L"Stop",           DISPID_KEXPHONE_STOP,           Accessor::None, 0, {}, {}, &CallNoArguments<&IKexPhone::Stop>},
    {L"IsStarted",      DISPID_KEXPHONE_ISSTARTED,      Accessor::Get,  0, {L"pVal"}, {}, &CallGetIsStarted},
    {L"USBPhoneName",   DISPID_KEXPHONE_USBPHONENAME,   Accessor::Get,  0, {L"pName"}, {}, &CallGetUSBPhoneName},
    {L"Number",         DISPID_KEXPHONE_NUMBER,         Accessor::Put,  1, {L"newVal"}, {VT_BSTR}, &CallPutNumber},
    {L"Link",           DISPID_KEXPHONE_LINK,           Accessor::None, 2, {L"peerName", L"peerNumber"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::Link>},
    {L"Ring",           DISPID_KEXPHONE_RING,           Accessor::None, 2, {L"peerName", L"peerNumber"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::Ring>},
    {L"RingBack",       DISPID_KEXPHONE_RINGBACK,       Accessor::None, 2, {L"peerName", L"peerNumber"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::RingBack>},
    {L"Talking",        DISPID_KEXPHONE_TALKING,        Accessor::None, 2, {L"peerName", L"peerNumber"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::Talking>},
    {L"Hangup",         DISPID_KEXPHONE_HANGUP,         Accessor::None, 2, {L"peerName", L"peerNumber"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::Hangup>},
    {L"Hold",           DISPID_KEXPHONE_HOLD,           Accessor::None, 2, {L"peerName", L"peerNumber"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::Hold>},
    {L"Resume",         DISPID_KEXPHONE_RESUME,         Accessor::None, 2, {L"peerName", L"peerNumber"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::Resume>},
    {L"CallFailed",     DISPID_KEXPHONE_CALLFAILED,     Accessor::None, 2, {L"peerName", L"peerNumber"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::CallFailed>},
    {L"Ready",          DISPID_KEXPHONE_READY,          Accessor::None, 0, {}, {}, &CallNoArguments<&IKexPhone::Ready>},
    {L"RingBusy",       DISPID_KEXPHONE_RINGBUSY,       Accessor::None, 2, {L"peerName", L"peerNumber"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::RingBusy>},
    {L"PutCallInfo",    DISPID_KEXPHONE_PUTCALLINFO,    Accessor::None, 2, {L"Name", L"Number"}, {VT_BSTR, VT_BSTR}, &CallPeer<&IKexPhone::PutCallInfo>},
    {L"PutContactInfo", DISPID_KEXPHONE_PUTCONTACTINFO, Accessor::None, 3, {L"pContactInfo", L"pIconType", L"line"},
                                                        {VT_BYREF | VT_BSTR, VT_BYREF | VT_I4, VT_I4}, &CallPutContactInfo},
    {L"PutContactInfoList", DISPID_KEXPHONE_PUTCONTACTINFOLIST, Accessor::None, 3, {L"lines", L"names", L"icons"},
                                                        {VT_I4, VT_VARIANT, VT_VARIANT}, &CallPutContactInfoList},
    {L"Mute",            DISPID_KEXPHONE_MUTE,            Accessor::None, 1, {L"muted"}, {VT_BOOL}, &CallMute},
    {L"DeviceCount",     DISPID_KEXPHONE_DEVICECOUNT,     Accessor::Get,  0, {L"pCount"}, {}, &CallGetDeviceCount},
    {L"DeviceId",        DISPID_KEXPHONE_DEVICEID,        Accessor::Get,  1, {L"index"}, {VT_I4}, &CallGetDeviceId},
    {L"Devices",         DISPID_KEXPHONE_DEVICES,         Accessor::Get,  0, {L"pIds"}, {}, &CallGetDevices},
    {L"DeviceName",      DISPID_KEXPHONE_DEVICENAME,      Accessor::Get,  1, {L"device"}, {VT_BSTR},
                                                          &CallGetDeviceText<&IKexPhone3::get_DeviceName>},
    {L"DeviceVendorId",  DISPID_KEXPHONE_DEVICEVENDORID,  Accessor::Get,  1, {L"device"}, {VT_BSTR},
                                                          &CallGetDeviceNumber<&IKexPhone3::get_DeviceVendorId>},
    {L"DeviceProductId", DISPID_KEXPHONE_DEVICEPRODUCTID, Accessor::Get,  1, {L"device"}, {VT_BSTR},
                                                          &CallGetDeviceNumber<&IKexPhone3::get_DeviceProductId>},
    {L"DeviceSerial",    DISPID_KEXPHONE_DEVICESERIAL,    Accessor::Get,  1, {L"device"}, {VT_BSTR},
                                                          &CallGetDeviceText<&IKexPhone3::get_DeviceSerial>},
    {L"ActiveDevice",    DISPID_KEXPHONE_ACTIVEDEVICE,    Accessor::Get,  0, {L"pDevice"}, {},
                                                          &CallGetText<&IKexPhone3::get_ActiveDevice>},
    {L"ActiveDevice",    DISPID_KEXPHONE_ACTIVEDEVICE,    Accessor::Put,  1, {L"device"}, {VT_BSTR}, &CallPutActiveDevice},
    {L"EventDevice",     DISPID_KEXPHONE_EVENTDEVICE,     Accessor::Get,  0, {L"pDevice"}, {},
                                                          &CallGetText<&IKexPhone3::get_EventDevice>},
};
// clang-format on

// The member with that id taking that many arguments, else the first with
// that id (whose count then does not match), else null.
const Member* FindMember(DISPID id, UINT argc) noexcept
{
    const Member* first = nullptr;
    for (const Member& member : kMembers) {
        if (member.id != id)
            continue;
        if (member.paramCount == argc)
            return &member;
        if (!first)
            first = &member;
    }
    return first;
}

bool NameIsMember(const wchar_t* name, const Member& member) noexcept
{
    if (_wcsicmp(name, member.name) == 0)
        return true;
    const wchar_t* prefix = member.accessor == Accessor::Get ? L"get_" : member.accessor == Accessor::Put ? L"put_" : nullptr;
    return prefix && _wcsnicmp(name, prefix, 4) == 0 && _wcsicmp(name + 4, member.name) == 0;
}

// A member's name gives its id; a parameter's name gives its position. Member
// names are looked at first, so "Number" is the property, not the second
// parameter of PutCallInfo.
bool FindName(const wchar_t* name, DISPID* id) noexcept
{
    for (const Member& member : kMembers) {
        if (NameIsMember(name, member)) {
            *id = member.id;
            return true;
        }
    }
    for (const Member& member : kMembers) {
        for (UINT p = 0; p < kMaxParams && member.paramNames[p]; ++p) {
            if (_wcsicmp(name, member.paramNames[p]) == 0) {
                *id = static_cast<DISPID>(p);
                return true;
            }
        }
    }
    return false;
}

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
    if (V_VT(arg) == type || type == VT_VARIANT) // a VARIANT parameter takes any argument as it is
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

} // namespace

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
    HRESULT hr = CKexUSBPhoneModule::LoadOwnTypeLib(lib.put());
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
        if (!names[i] || !FindName(names[i], &ids[i]))
            return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
}

namespace {
// Which argument of the caller's array fills each parameter position: named
// arguments where they say, the rest in reverse order. DISP_E_PARAMNOTFOUND
// (with argErr) for a position out of range or taken twice.
HRESULT PlaceArguments(const DISPPARAMS& params, int (&argAt)[kMaxParams], UINT* argErr) noexcept
{
    const UINT argc = params.cArgs;
    const UINT named = params.cNamedArgs;
    UINT first = 0;
    // A property put's value is the last parameter.
    if (named > 0 && params.rgdispidNamedArgs[0] == DISPID_PROPERTYPUT) {
        argAt[argc - 1] = 0;
        first = 1;
    }
    for (UINT j = first; j < named; ++j) {
        const DISPID pos = params.rgdispidNamedArgs[j];
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
    return S_OK;
}
} // namespace

namespace {
// A failed IKexPhone3 member's error information in the caller's EXCEPINFO,
// as a type library's Invoke gives it: script engines read the description
// only from there. DISP_E_EXCEPTION when it was moved, else hr unchanged.
HRESULT ToException(HRESULT hr, EXCEPINFO* excep) noexcept
{
    if (!excep)
        return hr;
    kex::com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info)
        return hr;
    *excep = EXCEPINFO();
    info->GetSource(&excep->bstrSource);
    info->GetDescription(&excep->bstrDescription);
    excep->scode = hr;
    return DISP_E_EXCEPTION;
}
} // namespace

HRESULT KexUsbPhone::Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
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
    int argAt[kMaxParams] = {-1, -1, -1};
    if (HRESULT hr = PlaceArguments(*params, argAt, argErr); FAILED(hr))
        return hr;

    const Member* found = FindMember(member, argc);
    if (!found)
        return DISP_E_MEMBERNOTFOUND;
    if (argc != found->paramCount)
        return DISP_E_BADPARAMCOUNT;

    VARIANT* arg[kMaxParams] = {};
    for (UINT p = 0; p < argc; ++p) {
        arg[p] = Coerce(&params->rgvarg[argAt[p]], found->paramTypes[p]);
        if (!arg[p]) {
            SetArgErr(argErr, static_cast<UINT>(argAt[p]));
            return DISP_E_TYPEMISMATCH;
        }
    }
    // Only what this call reports may reach the caller's EXCEPINFO.
    if (found->id >= DISPID_KEXPHONE_MUTE)
        SetErrorInfo(0, nullptr);
    const HRESULT hr = found->call(this, arg, result);
    // IKexPhone and IKexPhone2 members answer as they always did.
    if (FAILED(hr) && found->id >= DISPID_KEXPHONE_MUTE)
        return ToException(hr, excep);
    return hr;
}
