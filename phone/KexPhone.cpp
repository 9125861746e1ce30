// The phone object: identity, life cycle and the call-state commands.
#include "phone/PhoneInternal.h"

#include "phone/KexPhone.h"

#include "adapters/AdapterManager.h"
#include "win32/QiTable.h"
#include "win32/raii.h"
#include "module/Module.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <new>
#include <string>
#include <utility>

kex::srwlock kex_phone::g_phoneLock;

KexUsbPhone* g_pPhone = nullptr;

namespace {
// Every object alive, oldest first: when the target goes, the newest one left
// takes its place. Guarded by the phone lock.
std::vector<KexUsbPhone*>& LiveObjects()
{
    static std::vector<KexUsbPhone*> objects;
    return objects;
}
} // namespace

namespace kex_phone {

std::string ToNarrow(BSTR text)
{
    const UINT length = text ? SysStringLen(text) : 0;
    if (length == 0)
        return std::string();
    // The text is measured up to its first NUL but converted over its stored
    // length: with a NUL inside, the conversion cannot fit and the text is empty.
    if (std::wmemchr(text, L'\0', length))
        return std::string();
    // Without one both lengths agree, so a single conversion does for short texts.
    char local[256];
    int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), local, sizeof local, nullptr, nullptr);
    if (n > 0)
        return std::string(local, static_cast<size_t>(n));
    n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), &out[0], n, nullptr, nullptr) < 1)
        return std::string();
    return out;
}

} // namespace kex_phone

using kex_phone::ToNarrow;

// ---- creation and identity -------------------------------------------------

KexUsbPhone::KexUsbPhone(IUnknown* outer)
    : m_inner(this), m_outer(outer ? outer : &m_inner), m_aggregated(outer != nullptr),
      m_propNotifyPoint(static_cast<IConnectionPointContainer*>(this), IID_IPropertyNotifySink),
      m_eventsPoint(static_cast<IConnectionPointContainer*>(this), DIID_IKexPhoneEvents)
{
    g_module.Lock();
}

KexUsbPhone::~KexUsbPhone() { g_module.Unlock(); }

KexUsbPhone* KexUsbPhone::FromInner(Inner* inner) noexcept { return inner->m_owner; }

HRESULT KexUsbPhone::CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;

    KexUsbPhone* phone = nullptr;
    try {
        phone = new KexUsbPhone(outer);
    } catch (...) {
        // No memory, or (for the same reason) a lock of the event channel
        // could not be made.
        return E_OUTOFMEMORY;
    }
    // A creation reference keeps the object alive through final construction.
    phone->m_inner.AddRef();
    HRESULT hr = phone->FinalConstruct();
    if (SUCCEEDED(hr))
        hr = phone->m_inner.QueryInterface(iid, out);
    phone->m_inner.Release(); // destroys the object when it was not handed out
    return hr;
}

HRESULT KexUsbPhone::FinalConstruct() noexcept
{
    {
        auto lock = kex_phone::g_phoneLock.lock_exclusive();
        try {
            LiveObjects().push_back(this);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        g_pPhone = this;
    }
    m_syncEvent.Attach();
    return S_OK;
}

void KexUsbPhone::FinalRelease() noexcept
{
    // A host that forgot Stop must not leave adapters calling into a freed
    // object: stop here, and stop naming this object as the event target.
    Stop();
    bool destroy;
    {
        auto lock = kex_phone::g_phoneLock.lock_exclusive();
        std::vector<KexUsbPhone*>& live = LiveObjects();
        live.erase(std::remove(live.begin(), live.end(), this), live.end());
        if (g_pPhone == this)
            g_pPhone = live.empty() ? nullptr : live.back();
        m_released = true;
        destroy = m_callers == 0;
    }
    m_syncEvent.Detach();
    // Sinks belong to the host's thread: let them go here, not wherever the
    // last device callback happens to finish.
    m_propNotifyPoint.clear();
    m_eventsPoint.clear();
    if (destroy)
        delete this;
}

HRESULT KexUsbPhone::Inner::QueryInterface(REFIID iid, void** out) noexcept
{
    KexUsbPhone* self = FromInner(this);
    // Aggregated, the object's identity is this inner unknown.
    if (self->m_aggregated && out && IsEqualIID(iid, IID_IUnknown)) {
        AddRef();
        *out = static_cast<IUnknown*>(this);
        return S_OK;
    }
    const kex::QiEntry interfaces[] = {
        KEX_QI_ENTRY(KexUsbPhone, IProvideClassInfo2), // first: the identity when not aggregated
        KEX_QI_ENTRY_MULTI(KexUsbPhone, IProvideClassInfo, IProvideClassInfo2),
        KEX_QI_ENTRY(KexUsbPhone, IKexPhone),
        KEX_QI_ENTRY(KexUsbPhone, IKexPhone2),
        KEX_QI_ENTRY_MULTI(KexUsbPhone, IDispatch, IKexPhone),
        KEX_QI_ENTRY(KexUsbPhone, IConnectionPointContainer),
        {},
    };
    return kex::QiSearch(self, interfaces, iid, out);
}

ULONG KexUsbPhone::Inner::AddRef() noexcept { return ++FromInner(this)->m_ref; }

ULONG KexUsbPhone::Inner::Release() noexcept
{
    KexUsbPhone* self = FromInner(this);
    ULONG left = --self->m_ref;
    if (left == 0) {
        // Guard against a stray AddRef/Release pair during the final release.
        self->m_ref = 1;
        self->FinalRelease();
    }
    return left;
}

HRESULT KexUsbPhone::QueryInterface(REFIID iid, void** out) noexcept { return m_outer->QueryInterface(iid, out); }
ULONG KexUsbPhone::AddRef() noexcept { return m_outer->AddRef(); }
ULONG KexUsbPhone::Release() noexcept { return m_outer->Release(); }

// ---- start and stop --------------------------------------------------------

namespace {
// Managers stopped but not yet unloaded, process-wide: adapters may be shared
// by objects, and none may be initialized again before its "UnInitialize".
std::atomic<int> g_unloadsPending{0};
}
namespace {

void UnloadManagers(std::vector<std::unique_ptr<CUSBManager>>& managers) noexcept
{
    for (std::unique_ptr<CUSBManager>& manager : managers) {
        try {
            manager->UnLoad();
        } catch (...) {
            KEX_ERROR("UnLoad exception.");
        }
        manager.reset();
        --g_unloadsPending;
    }
    managers.clear();
}
} // namespace

// Holds a reference and counts the call while the adapters run.
class KexUsbPhone::AdapterCall {
public:
    explicit AdapterCall(KexUsbPhone* phone) noexcept : m_phone(phone)
    {
        m_phone->AddRef();
        ++m_phone->m_adapterCalls;
    }
    ~AdapterCall()
    {
        m_phone->LeaveAdapterCall();
        m_phone->Release(); // may be the last reference: nothing after this
    }
    AdapterCall(const AdapterCall&) = delete;
    AdapterCall& operator=(const AdapterCall&) = delete;

private:
    KexUsbPhone* m_phone;
};

void KexUsbPhone::LeaveAdapterCall() noexcept
{
   
    if (--m_adapterCalls > 0 || m_retired.empty())
        return;
    std::vector<std::unique_ptr<CUSBManager>> retired;
    retired.swap(m_retired);
    // The handler may be running for a report whose adapter thread waits
    // for it to return; "UnInitialize" joins that thread, so it runs once
    // that thread has been let go.
    try {
        auto later = std::make_shared<std::vector<std::unique_ptr<CUSBManager>>>(std::move(retired));
        if (com_disp_evt::DeferPastDispatchedCalls([later] { UnloadManagers(*later); }))
            return;
        retired.swap(*later);
    } catch (...) {
    }
    UnloadManagers(retired);
}

void KexUsbPhone::Retire(std::unique_ptr<CUSBManager> manager) noexcept
{
    try {
        m_retired.push_back(std::move(manager));
        ++g_unloadsPending;
    } catch (...) {
        // No memory to remember it: better a leak than freeing running code.
        manager.release();
        KEX_ERROR("Retire adapter manager failed.");
    }
}

namespace {
// A manager for the adapter directory in force; null when none could be made.
std::unique_ptr<CUSBManager> NewManager() noexcept
{
    try {
        return std::make_unique<CUSBManager>();
    } catch (...) {
        return nullptr;
    }
}

// What the manager's Load answers; an exception counts as a failure.
int LoadAdapters(CUSBManager& manager) noexcept
{
    try {
        return manager.Load(&ComUSBPhoneCallBack);
    } catch (...) {
        return 1;
    }
}
} // namespace

HRESULT KexUsbPhone::Start() noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::Start");
    if (m_pManager) {
        KEX_INFO("KexUsbPhone has started.");
        return S_OK;
    }
    if (g_unloadsPending > 0) {
        // Stopped from an event handler, or still stopping: its adapters
        // must have run "UnInitialize" before they are initialized again.
        KEX_ERROR("Start refused: adapters are still being unloaded.");
        return E_FAIL;
    }
    m_pManager = NewManager();
    if (!m_pManager) {
        KEX_ERROR("Allocate memory for AdapterManager failed.");
        return E_FAIL;
    }
    CUSBManager* manager = m_pManager.get();
    AdapterCall call(this);
    const bool wasStopped = m_stopped.exchange(false); // "Intialize" may report inline
    if (LoadAdapters(*manager) != 0) {
        m_stopped = wasStopped;
        KEX_ERROR("AdapterManager load failed.");
        // An event raised while loading may have stopped the object already.
        if (m_pManager.get() == manager) {
            if (m_adapterCalls == 1)
                m_pManager.reset();
            else
                Retire(std::move(m_pManager));
        }
        return E_FAIL;
    }
    return S_OK;
}

HRESULT KexUsbPhone::Stop() noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::Stop");
    if (!m_pManager)
        return S_OK;
    // Stopped from here on: an adapter that dispatches messages while it
    // joins its threads may deliver a queued report, and neither its event
    // nor a command or Stop from that handler may reach the adapters again.
    m_stopped = true;
    Retire(std::move(m_pManager));
    if (m_adapterCalls > 0)
        return S_OK; // adapter code is on the stack: unloaded when it returns
    std::vector<std::unique_ptr<CUSBManager>> retired;
    retired.swap(m_retired);
    UnloadManagers(retired);
    return S_OK;
}

HRESULT KexUsbPhone::get_IsStarted(VARIANT_BOOL* pVal) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::get_IsStarted");
    if (!pVal)
        return E_INVALIDARG;
    *pVal = m_pManager ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT KexUsbPhone::get_USBPhoneName(BSTR* pName) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::get_USBPhoneName");
    if (!pName)
        return E_INVALIDARG;
    if (!m_pManager)
        return E_FAIL;
    try {
        const std::string name = m_pManager->GetUSBName();
        int len = 0;
        if (!name.empty())
            len = MultiByteToWideChar(CP_THREAD_ACP, 0, name.c_str(), -1, nullptr, 0) - 1;
        if (len < 0)
            len = 0;
        kex::unique_bstr wide(SysAllocStringLen(nullptr, static_cast<UINT>(len)));
        if (!wide)
            return E_OUTOFMEMORY;
        if (len > 0 &&
            MultiByteToWideChar(CP_THREAD_ACP, 0, name.c_str(), static_cast<int>(name.size()), wide.get(), len) !=
                len)
            return E_OUTOFMEMORY;
        *pName = wide.release();
        return S_OK;
    }
    KEX_CATCH_RETURN()
}

// ---- call-state commands ---------------------------------------------------

HRESULT KexUsbPhone::SendCommand(const char* name, uint32_t code, BSTR wText, BSTR lText, bool zeroW) noexcept
{
    KEX_TRACE_SCOPE(name);
    if (!m_pManager)
        return E_FAIL;
    try {
        const std::string w = zeroW ? std::string() : ToNarrow(wText);
        const std::string l = ToNarrow(lText);
        return Execute(code, zeroW ? 0 : reinterpret_cast<uintptr_t>(w.c_str()), reinterpret_cast<uintptr_t>(l.c_str()));
    }
    KEX_CATCH_RETURN()
}

HRESULT KexUsbPhone::Execute(uint32_t code, uintptr_t wParam, uintptr_t lParam) noexcept
{
    try {
        // Adapters' own results are logged by the manager and change nothing here.
        AdapterCall call(this);
        m_pManager->execute(code, wParam, lParam);
        return S_OK;
    }
    KEX_CATCH_RETURN()
}

HRESULT KexUsbPhone::PeerCommand(const char* name, uint32_t code, BSTR peerName, BSTR peerNumber) noexcept
{
    return SendCommand(name, code, peerName, peerNumber, false);
}

HRESULT KexUsbPhone::Ready() noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::Ready");
    if (!m_pManager)
        return E_FAIL;
    return Execute(KEX_CMD_READY, 0, 0);
}

HRESULT KexUsbPhone::put_Number(BSTR newVal) noexcept
{
    return SendCommand("KexUsbPhone::put_Number", KEX_CMD_NUMBER, nullptr, newVal, true);
}

HRESULT KexUsbPhone::Link(BSTR n, BSTR num) noexcept { return PeerCommand("KexUsbPhone::Link", KEX_CMD_LINK, n, num); }
HRESULT KexUsbPhone::Ring(BSTR n, BSTR num) noexcept { return PeerCommand("KexUsbPhone::Ring", KEX_CMD_RING, n, num); }
HRESULT KexUsbPhone::RingBack(BSTR n, BSTR num) noexcept
{
    return PeerCommand("KexUsbPhone::RingBack", KEX_CMD_RINGBACK, n, num);
}
HRESULT KexUsbPhone::Talking(BSTR n, BSTR num) noexcept
{
    return PeerCommand("KexUsbPhone::Talking", KEX_CMD_TALKING, n, num);
}
HRESULT KexUsbPhone::Hangup(BSTR n, BSTR num) noexcept
{
    return PeerCommand("KexUsbPhone::Hangup", KEX_CMD_HANGUP, n, num);
}
HRESULT KexUsbPhone::Hold(BSTR n, BSTR num) noexcept { return PeerCommand("KexUsbPhone::Hold", KEX_CMD_HOLD, n, num); }
HRESULT KexUsbPhone::Resume(BSTR n, BSTR num) noexcept
{
    return PeerCommand("KexUsbPhone::Resume", KEX_CMD_RESUME, n, num);
}
HRESULT KexUsbPhone::CallFailed(BSTR n, BSTR num) noexcept
{
    return PeerCommand("KexUsbPhone::CallFailed", KEX_CMD_CALLFAILED, n, num);
}
HRESULT KexUsbPhone::RingBusy(BSTR n, BSTR num) noexcept
{
    return PeerCommand("KexUsbPhone::RingBusy", KEX_CMD_RINGBUSY, n, num);
}
HRESULT KexUsbPhone::PutCallInfo(BSTR Name, BSTR Number) noexcept
{
    return PeerCommand("KexUsbPhone::PutCallInfo", KEX_CMD_CALLINFO, Name, Number);
}

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

HRESULT KexUsbPhone::PutContactInfo(BSTR* pContactInfo, LONG* pIconType, LONG line) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::PutContactInfo");
    if (!m_pManager)
        return E_FAIL;
    if (line <= 0)
        return E_INVALIDARG;

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

// The first `count` elements of a list as `type`: a one-dimensional
// SAFEARRAY (any lower bound, any element type that converts) or a script
// array object. False when it is neither, is shorter, or an element does
// not convert.
bool ReadList(const VARIANT& arg, LONG count, VARTYPE type, kex::unique_variant* out) noexcept
{
    const VARIANT& list = Deref(arg);
    const VARTYPE vt = V_VT(&list);
    if ((vt & VT_ARRAY) != 0) {
        SAFEARRAY* array = (vt & VT_BYREF) ? (V_ARRAYREF(&list) ? *V_ARRAYREF(&list) : nullptr) : V_ARRAY(&list);
        LONG low = 0, high = -1;
        if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetLBound(array, 1, &low)) ||
            FAILED(SafeArrayGetUBound(array, 1, &high)) || high - low + 1 < count)
            return false;
        const VARTYPE element = vt & VT_TYPEMASK;
        for (LONG i = 0; i < count; ++i) {
            LONG at = low + i;
            VARIANT item;
            VariantInit(&item);
            if (element == VT_VARIANT) {
                if (FAILED(SafeArrayGetElement(array, &at, &item)))
                    return false;
            } else if (element == VT_BSTR || element == VT_I4 || element == VT_I2 || element == VT_UI1 ||
                       element == VT_R8 || element == VT_INT) {
                V_VT(&item) = element;
                if (FAILED(SafeArrayGetElement(array, &at, &V_I4(&item))))
                    return false;
            } else {
                return false;
            }
            kex::unique_variant held;
            *held.put() = item;
            if (FAILED(VariantChangeType(out[i].put(), &held, 0, type)))
                return false;
        }
        return true;
    }
    if (vt == VT_DISPATCH && V_DISPATCH(&list)) {
        IDispatch* object = V_DISPATCH(&list);
        kex::unique_variant length;
        if (FAILED(GetScriptProperty(object, L"length", *length.put())) ||
            FAILED(VariantChangeType(&length, &length, 0, VT_I4)) || V_I4(&length) < count)
            return false;
        for (LONG i = 0; i < count; ++i) {
            const std::wstring index = std::to_wstring(i);
            kex::unique_variant item;
            if (FAILED(GetScriptProperty(object, index.c_str(), *item.put())) ||
                FAILED(VariantChangeType(out[i].put(), &item, 0, type)))
                return false;
        }
        return true;
    }
    return false;
}
} // namespace

HRESULT KexUsbPhone::PutContactInfoList(LONG lines, VARIANT names, VARIANT icons) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::PutContactInfoList");
    if (!m_pManager)
        return E_FAIL;
    if (lines <= 0)
        return E_INVALIDARG;
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
    return PutContactInfo(info, iconType, count);
}
