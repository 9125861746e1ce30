// The connection point's sink list, its enumerators, and the firing of a
// dispatch event to every sink in turn.
#include "com_disp_evt/connection_point.h"

#include "win32/ComEnum.h"
#include "win32/QiTable.h"

#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

namespace com_disp_evt {

namespace {

std::atomic<module_lock_fn> g_lockModule{nullptr};
std::atomic<module_lock_fn> g_unlockModule{nullptr};

void LockModule() noexcept
{
    if (module_lock_fn fn = g_lockModule.load())
        fn();
}

void UnlockModule() noexcept
{
    if (module_lock_fn fn = g_unlockModule.load())
        fn();
}

// Enumerators keep the library loaded while they live.
struct EnumModuleLock {
    static void Lock() noexcept { LockModule(); }
    static void Unlock() noexcept { UnlockModule(); }
};

using enum_connections = kex::ComEnum<IEnumConnections, kex::ConnectDataItems, EnumModuleLock>;
using enum_connection_points =
    kex::ComEnum<IEnumConnectionPoints, kex::InterfaceItems<IConnectionPoint>, EnumModuleLock>;

} // namespace

void set_module_lock_hooks(module_lock_fn lock, module_lock_fn unlock) noexcept
{
    g_lockModule.store(lock);
    g_unlockModule.store(unlock);
}

// --- connection point ---------------------------------------------------------

connection_point::connection_point(IConnectionPointContainer* container, const IID& iid) noexcept
    : m_container(container), m_iid(iid)
{
}

connection_point::~connection_point()
{
    clear();
}

HRESULT connection_point::QueryInterface(REFIID riid, void** ppv) noexcept
{
    const kex::QiEntry interfaces[] = {KEX_QI_ENTRY(connection_point, IConnectionPoint), {}};
    return kex::QiSearch(this, interfaces, riid, ppv);
}

ULONG connection_point::AddRef() noexcept
{
    return m_container->AddRef();
}

ULONG connection_point::Release() noexcept
{
    return m_container->Release();
}

HRESULT connection_point::GetConnectionInterface(IID* pIID) noexcept
{
    if (!pIID)
        return E_POINTER;
    *pIID = m_iid;
    return S_OK;
}

HRESULT connection_point::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) noexcept
{
    if (!ppCPC)
        return E_POINTER;
    *ppCPC = m_container;
    m_container->AddRef();
    return S_OK;
}

HRESULT connection_point::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) noexcept
{
    if (!pdwCookie)
        return E_POINTER;
    *pdwCookie = 0;
    if (!pUnkSink)
        return E_POINTER;
    kex::com_ptr<IUnknown> sink;
    if (FAILED(pUnkSink->QueryInterface(m_iid, sink.put_void())) || !sink)
        return CONNECT_E_CANNOTCONNECT;
    if (m_nextCookie == 0) // every cookie of the point's life has been used
        return CONNECT_E_ADVISELIMIT;
    try {
        m_sinks.push_back(sink_entry{m_nextCookie, sink.get()});
    } catch (...) {
        return CONNECT_E_ADVISELIMIT;
    }
    sink.detach();
    *pdwCookie = m_nextCookie++;
    return S_OK;
}

HRESULT connection_point::Unadvise(DWORD dwCookie) noexcept
{
    auto it = std::find_if(m_sinks.begin(), m_sinks.end(),
                           [dwCookie](const sink_entry& s) { return s.cookie == dwCookie; });
    if (dwCookie == 0 || it == m_sinks.end())
        return CONNECT_E_NOCONNECTION;
    IUnknown* unk = it->unk;
    m_sinks.erase(it);
    unk->Release(); // last: the sink may call back into the point
    return S_OK;
}

HRESULT connection_point::EnumConnections(IEnumConnections** ppEnum) noexcept
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    try {
        std::vector<CONNECTDATA> data;
        data.reserve(m_sinks.size());
        for (const sink_entry& s : m_sinks)
            data.push_back(CONNECTDATA{s.unk, s.cookie});
        return enum_connections::Create(data.data(), data.size(), ppEnum);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

std::vector<kex::com_ptr<IUnknown>> connection_point::snapshot() const
{
    std::vector<kex::com_ptr<IUnknown>> copy;
    copy.reserve(m_sinks.size());
    for (const sink_entry& s : m_sinks)
        copy.emplace_back(s.unk);
    return copy;
}

void connection_point::clear() noexcept
{
    std::vector<sink_entry> gone;
    gone.swap(m_sinks);
    for (sink_entry& s : gone)
        s.unk->Release();
}

// --- firing -----------------------------------------------------------------------

HRESULT invoke_event_sink(IDispatch* sink, DISPID dispid, DISPPARAMS* params) noexcept
{
    kex::unique_variant result;
    EXCEPINFO info = {};
    UINT argErr = 0xFFFFFFFFu;
    const HRESULT hr = sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, &result, &info,
                                    &argErr);
    if (SUCCEEDED(hr))
        return hr;

    if (info.pfnDeferredFillIn)
        info.pfnDeferredFillIn(&info);
    kex::unique_bstr source(info.bstrSource), description(info.bstrDescription), helpFile(info.bstrHelpFile);

    kex::com_ptr<IErrorInfo> error;
    {
        kex::com_ptr<ICreateErrorInfo> create;
        if (SUCCEEDED(CreateErrorInfo(create.put()))) {
            create->SetGUID(IID_IDispatch);
            if (source)
                create->SetSource(source.get());
            if (description)
                create->SetDescription(description.get());
            if (helpFile)
                create->SetHelpFile(helpFile.get());
            create->SetHelpContext(info.dwHelpContext);
            create.query(error);
        }
    }
    HRESULT exception = info.scode;
    if (info.wCode != 0)
        exception = info.wCode >= 0xFE00 ? static_cast<HRESULT>(0x8004FFFF)
                                         : static_cast<HRESULT>(0x80040200 + info.wCode);
    if (!FAILED(exception) && error)
        SetErrorInfo(0, error.get());
    return hr; // the error object is released here whether installed or not
}

HRESULT fire_event_i4(const connection_point& cp, DISPID dispid, const long* args, UINT count) noexcept
{
    std::vector<kex::com_ptr<IUnknown>> sinks;
    try {
        sinks = cp.snapshot();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = S_OK;
    for (const kex::com_ptr<IUnknown>& sink : sinks) {
        // Fresh arguments for every sink: one must not see what another did to them.
        VARIANT argv[8];
        std::unique_ptr<VARIANT[]> heap;
        VARIANT* rgvarg = argv;
        if (count > 8) {
            heap.reset(new (std::nothrow) VARIANT[count]);
            if (!heap)
                return E_OUTOFMEMORY;
            rgvarg = heap.get();
        }
        for (UINT k = 0; k < count; ++k) {
            VariantInit(&rgvarg[k]);
            rgvarg[k].vt = VT_I4;
            rgvarg[k].lVal = args[count - 1 - k];
        }
        DISPPARAMS params = {count ? rgvarg : nullptr, nullptr, count, 0};
        // The stored pointer is the sink's answer to the point's interface ID,
        // a dispinterface, whose table is IDispatch's.
        hr = invoke_event_sink(static_cast<IDispatch*>(sink.get()), dispid, &params);
        if (FAILED(hr))
            break;
    }
    return hr;
}

HRESULT make_connection_point_enum(IConnectionPoint* const* points, std::size_t count,
                                   IEnumConnectionPoints** ppEnum) noexcept
{
    return enum_connection_points::Create(points, count, ppEnum);
}

} // namespace com_disp_evt
