// The script host: the WScript object, the event sinks, and the engine's
// run from parsing to shutdown.
#include "scripthost/ScriptHost.h"

#include "scripthost/Dispatch.h"
#include "win32/ComEnum.h"
#include "win32/QiTable.h"
#include "win32/path.h"

#include <ocidl.h>
#include <olectl.h>

#include <array>
#include <cstdio>
#include <iterator>
#include <map>
#include <new>
#include <utility>

namespace kexscript {

namespace {

// A text as a property's or method's result (none wanted: nothing to do).
HRESULT TextResult(VARIANT* result, const std::wstring& text) noexcept
{
    if (!result)
        return S_OK;
    BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!b)
        return E_OUTOFMEMORY;
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = b;
    return S_OK;
}

// Script parsing interface IDs (mingw's uuid library lacks them).
const IID kIID_IActiveScriptParse32 = {0xbb1a2ae2, 0xa4f9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
const IID kIID_IActiveScriptParse64 = {0xc7ef7658, 0xe1ee, 0x480e, {0x97, 0xea, 0xd5, 0x2c, 0xb4, 0xd7, 0x6d, 0x17}};
#ifdef _WIN64
const IID& kIID_IActiveScriptParse = kIID_IActiveScriptParse64;
using ActiveScriptParse = IActiveScriptParse64;
#else
const IID& kIID_IActiveScriptParse = kIID_IActiveScriptParse32;
using ActiveScriptParse = IActiveScriptParse32;
#endif

const wchar_t kSource[] = L"WScript";

// Enumerator of WScript.Arguments, for For Each and JScript's Enumerator.
HRESULT NewArgumentsEnum(const std::vector<std::wstring>& args, IEnumVARIANT** out) noexcept
{
    try {
        std::vector<kex::unique_variant> texts(args.size());
        for (size_t i = 0; i < args.size(); ++i) {
            V_BSTR(&texts[i]) = SysAllocStringLen(args[i].data(), static_cast<UINT>(args[i].size()));
            if (!V_BSTR(&texts[i]))
                return E_OUTOFMEMORY;
            V_VT(&texts[i]) = VT_BSTR;
        }
        std::vector<VARIANT> items(texts.begin(), texts.end()); // shallow: the enumerator copies them
        return kex::ComEnum<IEnumVARIANT, kex::VariantItems>::Create(items.data(), items.size(), out);
    }
    KEX_CATCH_RETURN()
}

// WScript.Arguments: Item(i) (the default member), Count, length and the
// enumerator.
class ArgumentsObject final : public DispatchObject {
public:
    explicit ArgumentsObject(const std::vector<std::wstring>& args) : m_args(args) {}

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excep, UINT* argErr) noexcept override
    {
        if (result)
            VariantInit(result);
        switch (id) {
        case DISPID_VALUE: {
            if (ArgCount(params) == 0)
                return DISP_E_BADPARAMCOUNT;
            kex::unique_variant index;
            if (HRESULT hr = ArgAs(params, 0, VT_I4, &index, argErr); FAILED(hr))
                return hr;
            if (V_I4(&index) < 0 || static_cast<size_t>(V_I4(&index)) >= m_args.size())
                return RaiseError(excep, kSource, L"Subscript out of range", DISP_E_BADINDEX);
            return TextResult(result, m_args[V_I4(&index)]);
        }
        case DISPID_NEWENUM:
            if (result) {
                IEnumVARIANT* items = nullptr;
                if (HRESULT hr = NewArgumentsEnum(m_args, &items); FAILED(hr))
                    return hr;
                V_VT(result) = VT_UNKNOWN;
                V_UNKNOWN(result) = items;
            }
            return S_OK;
        case 1:
        case 2:
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = static_cast<LONG>(m_args.size());
            }
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

private:
    const NameEntry* Names() const noexcept override
    {
        static const NameEntry kNames[] = {{L"Item", DISPID_VALUE}, {L"Count", 1}, {L"length", 2}, {L"_NewEnum", DISPID_NEWENUM}, {nullptr, 0}};
        return kNames;
    }

    std::vector<std::wstring> m_args;
};

// The answer to every call once the script has to end: it unwinds the script.
HRESULT ScriptEnded(EXCEPINFO* excep) noexcept
{
    return RaiseError(excep, kSource, L"The script has ended", E_ABORT);
}

// The WScript object: one member table gives the names, their DISPIDs and
// the function that runs each.
class WScriptObject final : public DispatchObject {
public:
    explicit WScriptObject(ScriptHost* host) noexcept : m_host(host) {}

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excep, UINT* argErr) noexcept override
    {
        if (result)
            VariantInit(result);
        // After Quit every call fails, so the rest of the script runs out fast.
        if (m_host->Quitting())
            return ScriptEnded(excep);
        const Member* member = FindMember(id);
        if (!member)
            return DISP_E_MEMBERNOTFOUND;
        try {
            return (this->*member->call)(Call{params, result, excep, argErr});
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

private:
    // One call's arguments, result and error information.
    struct Call {
        DISPPARAMS* params;
        VARIANT* result;
        EXCEPINFO* excep;
        UINT* argErr;
    };
    using Handler = HRESULT (WScriptObject::*)(const Call& call);
    struct Member {
        const wchar_t* name;
        DISPID id;
        Handler call;
    };
    static const Member kMembers[];

    static const Member* FindMember(DISPID id) noexcept;
    const NameEntry* Names() const noexcept override;

    HRESULT Echo(const Call& call)
    {
        std::wstring line;
        for (UINT i = 0; i < ArgCount(call.params); ++i) {
            if (i)
                line += L' ';
            const VARIANT* v = Arg(call.params, i);
            if (!v || V_VT(v) == VT_EMPTY)
                continue;
            if (V_VT(v) == VT_NULL) {
                line += L"null";
                continue;
            }
            kex::unique_variant text;
            if (HRESULT hr = ArgAs(call.params, i, VT_BSTR, &text, call.argErr); FAILED(hr))
                return hr;
            line.append(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
        }
        m_host->Echo(line);
        return S_OK;
    }

    HRESULT Sleep(const Call& call)
    {
        kex::unique_variant ms;
        if (HRESULT hr = ArgAs(call.params, 0, VT_I4, &ms, call.argErr); FAILED(hr))
            return hr;
        m_host->Sleep(V_I4(&ms) < 0 ? 0 : static_cast<DWORD>(V_I4(&ms)));
        return m_host->Quitting() ? ScriptEnded(call.excep) : S_OK;
    }

    HRESULT ConnectObject(const Call& call)
    {
        kex::com_ptr<IUnknown> object = kex::com_ptr<IUnknown>::attach(ArgObject(call.params, 0));
        if (!object)
            return RaiseError(call.excep, kSource, L"An object is required", DISP_E_TYPEMISMATCH);
        kex::unique_variant prefix;
        if (HRESULT hr = ArgAs(call.params, 1, VT_BSTR, &prefix, call.argErr); FAILED(hr))
            return hr;
        return Check(m_host->Connect(object.get(), V_BSTR(&prefix)), call.excep,
                     L"Could not connect to the object's events");
    }

    HRESULT DisconnectObject(const Call& call)
    {
        kex::com_ptr<IUnknown> object = kex::com_ptr<IUnknown>::attach(ArgObject(call.params, 0));
        if (!object)
            return RaiseError(call.excep, kSource, L"An object is required", DISP_E_TYPEMISMATCH);
        return Check(m_host->Disconnect(object.get()), call.excep, L"Could not disconnect the object");
    }

    HRESULT CreateObject(const Call& call)
    {
        kex::unique_variant progid;
        if (HRESULT hr = ArgAs(call.params, 0, VT_BSTR, &progid, call.argErr); FAILED(hr))
            return hr;
        CLSID clsid;
        if (HRESULT hr = CLSIDFromProgID(V_BSTR(&progid), &clsid); FAILED(hr))
            return RaiseError(call.excep, kSource, std::wstring(L"Could not find the class ") + V_BSTR(&progid), hr);
        kex::com_ptr<IDispatch> object;
        if (HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, object.put_void());
            FAILED(hr))
            return RaiseError(call.excep, kSource, std::wstring(L"Could not create ") + V_BSTR(&progid), hr);
        if (Arg(call.params, 1)) {
            kex::unique_variant prefix;
            if (HRESULT hr = ArgAs(call.params, 1, VT_BSTR, &prefix, call.argErr); FAILED(hr))
                return hr;
            if (SysStringLen(V_BSTR(&prefix)) > 0) {
                if (HRESULT hr = m_host->Connect(object.get(), V_BSTR(&prefix)); FAILED(hr))
                    return RaiseError(call.excep, kSource, L"Could not connect to the object's events", hr);
            }
        }
        if (call.result) {
            V_VT(call.result) = VT_DISPATCH;
            V_DISPATCH(call.result) = object.detach();
        }
        return S_OK;
    }

    HRESULT Arguments(const Call& call)
    {
        kex::com_ptr<IDispatch> args = kex::com_ptr<IDispatch>::attach(new ArgumentsObject(m_host->Arguments()));
        // WScript.Arguments(i) arrives here with the index: the item.
        if (ArgCount(call.params) > 0)
            return args->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, call.params,
                                call.result, call.excep, call.argErr);
        if (call.result) {
            V_VT(call.result) = VT_DISPATCH;
            V_DISPATCH(call.result) = args.detach();
        }
        return S_OK;
    }

    HRESULT Quit(const Call& call)
    {
        int code = 0;
        if (Arg(call.params, 0)) {
            kex::unique_variant v;
            if (HRESULT hr = ArgAs(call.params, 0, VT_I4, &v, call.argErr); FAILED(hr))
                return hr;
            code = V_I4(&v);
        }
        m_host->RequestQuit(code);
        // Unwinds the script; the host does not report this error.
        return ScriptEnded(call.excep);
    }

    HRESULT ScriptName(const Call& call) { return TextResult(call.result, m_host->ScriptName()); }
    HRESULT ScriptFullName(const Call& call) { return TextResult(call.result, m_host->FullPath()); }
    HRESULT Name(const Call& call) { return TextResult(call.result, L"KexUSBPhone Script Host"); }
    HRESULT FullName(const Call& call) { return TextResult(call.result, kex::module_file_name<wchar_t>(nullptr)); }
    HRESULT Version(const Call& call) { return TextResult(call.result, L"1.0"); }

    static HRESULT Check(HRESULT hr, EXCEPINFO* excep, const wchar_t* what) noexcept
    {
        return FAILED(hr) ? RaiseError(excep, kSource, what, hr) : S_OK;
    }

    ScriptHost* m_host;
};

// clang-format off
const WScriptObject::Member WScriptObject::kMembers[] = {
    {L"Echo",             1, &WScriptObject::Echo},
    {L"Sleep",            2, &WScriptObject::Sleep},
    {L"ConnectObject",    3, &WScriptObject::ConnectObject},
    {L"DisconnectObject", 4, &WScriptObject::DisconnectObject},
    {L"CreateObject",     5, &WScriptObject::CreateObject},
    {L"Arguments",        6, &WScriptObject::Arguments},
    {L"Quit",             7, &WScriptObject::Quit},
    {L"ScriptName",       8, &WScriptObject::ScriptName},
    {L"ScriptFullName",   9, &WScriptObject::ScriptFullName},
    {L"Name",            10, &WScriptObject::Name},
    {L"FullName",        11, &WScriptObject::FullName},
    {L"Version",         12, &WScriptObject::Version},
};
// clang-format on

const WScriptObject::Member* WScriptObject::FindMember(DISPID id) noexcept
{
    for (const Member& member : kMembers) {
        if (member.id == id)
            return &member;
    }
    return nullptr;
}

const NameEntry* WScriptObject::Names() const noexcept
{
    // The name lookup's view of the member table, made from it once.
    static const auto kNames = [] {
        std::array<NameEntry, std::size(kMembers) + 1> names = {};
        for (std::size_t i = 0; i < std::size(kMembers); ++i)
            names[i] = {kMembers[i].name, kMembers[i].id};
        return names;
    }();
    return kNames.data();
}

// The default source interface of an object and the names of its events,
// read from the object's class information.
HRESULT SourceInterface(IUnknown* object, IID& iid, std::map<DISPID, std::wstring>& names)
{
    kex::com_ptr<IProvideClassInfo> classInfo;
    HRESULT hr = object->QueryInterface(IID_IProvideClassInfo, classInfo.put_void());
    if (FAILED(hr))
        return hr;
    kex::com_ptr<ITypeInfo> coclass;
    if (hr = classInfo->GetClassInfo(coclass.put()); FAILED(hr))
        return hr;

    // The interface ID as the object itself reports it, when it can.
    bool haveIid = false;
    kex::com_ptr<IProvideClassInfo2> classInfo2;
    if (SUCCEEDED(object->QueryInterface(IID_IProvideClassInfo2, classInfo2.put_void())) &&
        SUCCEEDED(classInfo2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &iid)))
        haveIid = true;

    TYPEATTR* attr = nullptr;
    if (hr = coclass->GetTypeAttr(&attr); FAILED(hr))
        return hr;
    WORD implTypes = attr->cImplTypes;
    coclass->ReleaseTypeAttr(attr);

    kex::com_ptr<ITypeInfo> source;
    for (UINT i = 0; i < implTypes && !source; ++i) {
        INT flags = 0;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags)) ||
            (flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) != (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE))
            continue;
        HREFTYPE ref = 0;
        if (SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref)))
            coclass->GetRefTypeInfo(ref, source.put());
    }
    if (!source)
        return CONNECT_E_NOCONNECTION;
    if (hr = source->GetTypeAttr(&attr); FAILED(hr))
        return hr;
    if (!haveIid)
        iid = attr->guid;
    WORD funcs = attr->cFuncs;
    source->ReleaseTypeAttr(attr);

    for (UINT i = 0; i < funcs; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(source->GetFuncDesc(i, &desc)))
            continue;
        MEMBERID id = desc->memid;
        source->ReleaseFuncDesc(desc);
        kex::unique_bstr name;
        if (SUCCEEDED(source->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr)) && name)
            names[id] = std::wstring(name.get(), SysStringLen(name.get()));
    }
    return S_OK;
}

} // namespace

// An event sink for one connected object: each event calls the script's
// procedure prefix + event name, when the script has one.
class EventSink final : public DispatchObject {
public:
    EventSink(ScriptHost* host, const IID& iid, std::wstring prefix, std::map<DISPID, std::wstring> names)
        : m_host(host), m_iid(iid), m_prefix(std::move(prefix)), m_names(std::move(names))
    {
    }

    HRESULT Advise(IUnknown* object) noexcept
    {
        kex::com_ptr<IConnectionPointContainer> container;
        HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, container.put_void());
        if (FAILED(hr))
            return hr;
        if (hr = container->FindConnectionPoint(m_iid, m_point.put()); FAILED(hr))
            return hr;
        if (hr = m_point->Advise(static_cast<IDispatch*>(this), &m_cookie); FAILED(hr)) {
            m_point.reset();
            return hr;
        }
        m_object = kex::com_ptr<IUnknown>(object);
        return S_OK;
    }
    void Unadvise() noexcept
    {
        if (m_point)
            m_point->Unadvise(m_cookie);
        m_point.reset();
        m_object.reset();
    }
    bool IsFor(IUnknown* object) const noexcept { return m_object.get() == object; }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excep, UINT* argErr) noexcept override
    {
        if (result)
            VariantInit(result);
        auto name = m_names.find(id);
        if (name == m_names.end() || m_host->Quitting())
            return S_OK;
        kex::com_ptr<IDispatch> script;
        if (FAILED(m_host->ScriptDispatch(script.put())))
            return S_OK;
        std::wstring procedure;
        try {
            procedure = m_prefix + name->second;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        LPOLESTR procName = &procedure[0];
        DISPID procId = DISPID_UNKNOWN;
        if (FAILED(script->GetIDsOfNames(IID_NULL, &procName, 1, lcid, &procId)))
            return S_OK; // the script does not handle this event
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        return script->Invoke(procId, IID_NULL, lcid, DISPATCH_METHOD, params ? params : &none, result, excep,
                              argErr);
    }

private:
    const NameEntry* Names() const noexcept override
    {
        static const NameEntry kNone[] = {{nullptr, 0}};
        return kNone;
    }
    const IID& ExtraIid() const noexcept override { return m_iid; }

    ScriptHost* m_host;
    IID m_iid;
    std::wstring m_prefix;
    std::map<DISPID, std::wstring> m_names;
    kex::com_ptr<IConnectionPoint> m_point;
    kex::com_ptr<IUnknown> m_object;
    DWORD m_cookie = 0;
};

ScriptHost::ScriptHost(HostOptions options) : m_options(std::move(options)) {}

ScriptHost::~ScriptHost() { DisconnectAll(); }

void ScriptHost::RequestQuit(int code) noexcept
{
    if (!m_quit)
        m_exitCode = code;
    m_quit = true;
}

void ScriptHost::Echo(const std::wstring& line) noexcept
{
    UINT cp = GetConsoleOutputCP();
    if (!cp)
        cp = CP_ACP;
    std::wstring text = line + L"\n";
    int n = WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return;
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

void ScriptHost::Sleep(DWORD ms) noexcept
{
    ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (!m_quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        ULONGLONG now = GetTickCount64();
        if (m_quit || now >= deadline)
            return;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

HRESULT ScriptHost::Connect(IUnknown* object, const std::wstring& prefix) noexcept
{
    try {
        IID iid = IID_NULL;
        std::map<DISPID, std::wstring> names;
        if (HRESULT hr = SourceInterface(object, iid, names); FAILED(hr))
            return hr;
        m_sinks.reserve(m_sinks.size() + 1);
        auto* sink = new EventSink(this, iid, prefix, std::move(names));
        if (HRESULT hr = sink->Advise(object); FAILED(hr)) {
            sink->Release();
            return hr;
        }
        m_sinks.push_back(sink);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ScriptHost::Disconnect(IUnknown* object) noexcept
{
    // Compare identities: the script may hold another interface of the object.
    kex::com_ptr<IUnknown> identity;
    if (FAILED(object->QueryInterface(IID_IUnknown, identity.put_void())))
        return E_INVALIDARG;
    bool found = false;
    for (auto it = m_sinks.begin(); it != m_sinks.end();) {
        kex::com_ptr<IUnknown> sinkObjectIdentity;
        if ((*it)->IsFor(object) || (*it)->IsFor(identity.get())) {
            EventSink* sink = *it;
            it = m_sinks.erase(it);
            sink->Unadvise();
            sink->Release();
            found = true;
        } else {
            ++it;
        }
    }
    return found ? S_OK : S_FALSE;
}

void ScriptHost::DisconnectAll() noexcept
{
    std::vector<EventSink*> sinks;
    sinks.swap(m_sinks);
    for (EventSink* sink : sinks) {
        sink->Unadvise();
        sink->Release();
    }
}

HRESULT ScriptHost::ScriptDispatch(IDispatch** out) noexcept
{
    *out = nullptr;
    if (!m_engine)
        return E_UNEXPECTED;
    return m_engine->GetScriptDispatch(nullptr, out);
}

HRESULT ScriptHost::QueryInterface(REFIID iid, void** out) noexcept
{
    // AddRef does nothing: the host outlives the engine.
    const kex::QiEntry interfaces[] = {KEX_QI_ENTRY(ScriptHost, IActiveScriptSite), {}};
    return kex::QiSearch(this, interfaces, iid, out);
}

HRESULT ScriptHost::GetLCID(LCID*) noexcept { return E_NOTIMPL; }

HRESULT ScriptHost::GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** info) noexcept
{
    if (mask & SCRIPTINFO_IUNKNOWN) {
        if (!item)
            return E_POINTER;
        *item = nullptr;
    }
    if (mask & SCRIPTINFO_ITYPEINFO) {
        if (!info)
            return E_POINTER;
        *info = nullptr;
    }
    if (!name || lstrcmpiW(name, L"WScript") != 0 || !m_wscript)
        return TYPE_E_ELEMENTNOTFOUND;
    if (mask & SCRIPTINFO_IUNKNOWN) {
        m_wscript->AddRef();
        *item = m_wscript.get();
    }
    // No type information: the engines then bind WScript's members by name.
    if ((mask & SCRIPTINFO_ITYPEINFO) && !(mask & SCRIPTINFO_IUNKNOWN))
        return TYPE_E_ELEMENTNOTFOUND;
    return S_OK;
}

HRESULT ScriptHost::GetDocVersionString(BSTR* version) noexcept
{
    if (version)
        *version = nullptr;
    return E_NOTIMPL;
}

HRESULT ScriptHost::OnScriptTerminate(const VARIANT*, const EXCEPINFO*) noexcept { return S_OK; }
HRESULT ScriptHost::OnStateChange(SCRIPTSTATE) noexcept { return S_OK; }
HRESULT ScriptHost::OnEnterScript() noexcept { return S_OK; }
HRESULT ScriptHost::OnLeaveScript() noexcept { return S_OK; }

HRESULT ScriptHost::OnScriptError(IActiveScriptError* error) noexcept
{
    // The unwinding after WScript.Quit is no error.
    if (m_quit)
        return S_OK;
    m_failed = true;
    EXCEPINFO ei = {};
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    if (error) {
        error->GetExceptionInfo(&ei);
        if (ei.pfnDeferredFillIn)
            ei.pfnDeferredFillIn(&ei);
        error->GetSourcePosition(&context, &line, &column);
    }
    HRESULT code = ei.scode ? ei.scode : static_cast<HRESULT>(ei.wCode);
    fflush(stdout);
    fwprintf(stderr, L"%ls(%lu, %ld) %ls: %ls (0x%08lX)\n", m_fullPath.c_str(), line + 1, column + 1,
             ei.bstrSource ? ei.bstrSource : L"Script error",
             ei.bstrDescription && *ei.bstrDescription ? ei.bstrDescription : L"error",
             static_cast<unsigned long>(code));
    fflush(stderr);
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    // An error in an event handler ends the script too.
    RequestQuit(kExitScriptError);
    return S_OK;
}

int ScriptHost::Run() noexcept
{
    try {
        wchar_t full[MAX_PATH * 4] = {};
        wchar_t* filePart = nullptr;
        DWORD n = GetFullPathNameW(m_options.scriptPath.c_str(), MAX_PATH * 4, full, &filePart);
        if (n == 0 || n >= MAX_PATH * 4) {
            fwprintf(stderr, L"kexscript: bad script path %ls\n", m_options.scriptPath.c_str());
            return kExitHostError;
        }
        m_fullPath = full;
        m_scriptName = filePart ? filePart : full;

        std::wstring engine = m_options.engine;
        if (engine.empty()) {
            std::wstring::size_type dot = m_scriptName.find_last_of(L'.');
            std::wstring ext = dot == std::wstring::npos ? L"" : m_scriptName.substr(dot);
            if (lstrcmpiW(ext.c_str(), L".vbs") == 0)
                engine = L"VBScript";
            else if (lstrcmpiW(ext.c_str(), L".js") == 0)
                engine = L"JScript";
            else {
                fwprintf(stderr, L"kexscript: no script engine for \"%ls\" (use .vbs or .js, or //E:engine)\n",
                         m_scriptName.c_str());
                return kExitHostError;
            }
        }
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(engine.c_str(), &clsid))) {
            fwprintf(stderr, L"kexscript: script engine %ls is not installed\n", engine.c_str());
            return kExitHostError;
        }
        std::wstring code;
        if (HRESULT hr = ReadScriptFile(m_fullPath, code); FAILED(hr)) {
            fwprintf(stderr, L"kexscript: cannot read %ls (0x%08lX)\n", m_fullPath.c_str(),
                     static_cast<unsigned long>(hr));
            return kExitHostError;
        }
        return RunEngine(clsid, code);
    } catch (const std::bad_alloc&) {
        fwprintf(stderr, L"kexscript: out of memory\n");
        return kExitHostError;
    }
}

namespace {
// Gives the engine its site, a new script and the WScript item.
HRESULT SetUpEngine(IActiveScript* engine, IActiveScriptSite* site, ActiveScriptParse* parse) noexcept
{
    if (HRESULT hr = engine->SetScriptSite(site); FAILED(hr))
        return hr;
    if (HRESULT hr = parse->InitNew(); FAILED(hr))
        return hr;
    return engine->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE);
}

int EngineFailure(const wchar_t* what, HRESULT hr) noexcept
{
    fwprintf(stderr, L"kexscript: %ls (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return kExitHostError;
}
} // namespace

int ScriptHost::RunEngine(const CLSID& clsid, const std::wstring& code) noexcept
{
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript, m_engine.put_void());
    if (FAILED(hr))
        return EngineFailure(L"cannot create the script engine", hr);
    kex::com_ptr<ActiveScriptParse> parse;
    if (hr = m_engine->QueryInterface(kIID_IActiveScriptParse, parse.put_void()); FAILED(hr))
        return EngineFailure(L"the script engine cannot parse text", hr);
    m_wscript = kex::com_ptr<IDispatch>::attach(new (std::nothrow) WScriptObject(this));
    if (!m_wscript)
        return kExitHostError;
    if (hr = SetUpEngine(m_engine.get(), this, parse.get()); FAILED(hr)) {
        m_engine->Close();
        return EngineFailure(L"cannot set up the script engine", hr);
    }

    EXCEPINFO ei = {};
    hr = parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE, nullptr, &ei);
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    // Runs the script's global code (unless parsing already failed).
    if (SUCCEEDED(hr))
        hr = m_engine->SetScriptState(SCRIPTSTATE_STARTED);
    if (FAILED(hr) && !m_failed && !m_quit) {
        fwprintf(stderr, L"%ls: the script could not be run (0x%08lX)\n", m_fullPath.c_str(),
                 static_cast<unsigned long>(hr));
        m_failed = true;
    }
    // The script is over: events already on their way are taken off the queue
    // (and dropped by the sinks), so no handset thread is left waiting for
    // this thread while the objects are released.
    m_quit = true;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    DisconnectAll();
    parse.reset();
    m_engine->Close();
    m_engine.reset();
    m_wscript.reset();
    return m_failed ? kExitScriptError : m_exitCode;
}

HRESULT ReadScriptFile(const std::wstring& path, std::wstring& text) noexcept
{
    try {
        kex::unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return HRESULT_FROM_WIN32(GetLastError());
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file.get(), &size))
            return HRESULT_FROM_WIN32(GetLastError());
        if (size.QuadPart > 64 * 1024 * 1024)
            return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        if (!bytes.empty() && !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
            return HRESULT_FROM_WIN32(GetLastError());
        bytes.resize(read);

        if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
            static_cast<unsigned char>(bytes[1]) == 0xFE) {
            text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
            return S_OK;
        }
        UINT cp = CP_ACP;
        size_t skip = 0;
        if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            cp = CP_UTF8;
            skip = 3;
        }
        text.clear();
        if (bytes.size() == skip)
            return S_OK;
        int n = MultiByteToWideChar(cp, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip), nullptr, 0);
        if (n <= 0)
            return HRESULT_FROM_WIN32(GetLastError());
        text.resize(static_cast<size_t>(n));
        MultiByteToWideChar(cp, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip), &text[0], n);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace kexscript
