#include "com_disp_evt/connection_point.h"

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

// What an enumerator hands out, and how its items are held.
struct connection_traits {
    using item = CONNECTDATA;
    static void addref(const CONNECTDATA& c) noexcept
    {
        if (c.pUnk)
            c.pUnk->AddRef();
    }
    static void release(CONNECTDATA& c) noexcept
    {
        if (c.pUnk)
            c.pUnk->Release();
    }
};

struct point_traits {
    using item = IConnectionPoint*;
    static void addref(IConnectionPoint* p) noexcept
    {
        if (p)
            p->AddRef();
    }
    static void release(IConnectionPoint* p) noexcept
    {
        if (p)
            p->Release();
    }
};

// A snapshot enumerator; clones share the snapshot. Holds a module lock.
template <class I, class Traits>
class com_enum final : public I {
    using item = typename Traits::item;

    struct items {
        std::vector<item> list;
        ~items()
        {
            for (item& i : list)
                Traits::release(i);
        }
    };

public:
    explicit com_enum(std::shared_ptr<items> data, ULONG pos = 0) noexcept : m_data(std::move(data)), m_pos(pos)
    {
        LockModule();
    }
    ~com_enum() { UnlockModule(); }

    // Takes its own reference on every item.
    static HRESULT create(const item* first, std::size_t count, I** out) noexcept
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        try {
            auto data = std::make_shared<items>();
            data->list.reserve(count);
            for (std::size_t k = 0; k < count; ++k) {
                data->list.push_back(first[k]);
                Traits::addref(first[k]);
            }
            *out = new com_enum(std::move(data));
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != __uuidof(I))
            return E_NOINTERFACE;
        *ppv = static_cast<I*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() noexcept override
    {
        ULONG n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, item* rgelt, ULONG* pceltFetched) noexcept override
    {
        if (pceltFetched)
            *pceltFetched = 0;
        if (!rgelt || (celt != 1 && !pceltFetched))
            return E_POINTER;
        const std::vector<item>& list = m_data->list;
        ULONG fetched = 0;
        while (fetched < celt && m_pos < list.size()) {
            rgelt[fetched] = list[m_pos++];
            Traits::addref(rgelt[fetched]);
            ++fetched;
        }
        if (pceltFetched)
            *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) noexcept override
    {
        const ULONG size = static_cast<ULONG>(m_data->list.size());
        if (celt > size - m_pos) {
            m_pos = size;
            return S_FALSE;
        }
        m_pos += celt;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() noexcept override
    {
        m_pos = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(I** ppEnum) noexcept override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = new (std::nothrow) com_enum(m_data, m_pos);
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::atomic<ULONG> m_refs{1};
    std::shared_ptr<items> m_data;
    ULONG m_pos;
};

using enum_connections = com_enum<IEnumConnections, connection_traits>;
using enum_connection_points = com_enum<IEnumConnectionPoints, point_traits>;

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
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IConnectionPoint)
        return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
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
        return enum_connections::create(data.data(), data.size(), ppEnum);
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
    return enum_connection_points::create(points, count, ppEnum);
}

} // namespace com_disp_evt
