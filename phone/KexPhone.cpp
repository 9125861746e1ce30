// The phone object: identity, life cycle and the call-state commands.
#include "phone/PhoneInternal.h"

#include "phone/KexPhone.h"

#include "adapters/AdapterManager.h"
#include "com_disp_evt/raii.h"
#include "module/Module.h"

#include <algorithm>
#include <cwchar>
#include <new>
#include <utility>

using kex_phone::PhoneLock;
SRWLOCK kex_phone::g_phoneLock = SRWLOCK_INIT;

KexUsbPhone* g_pPhone = nullptr;


namespace {
std::string& AdapterDirectory()
{
    static std::string directory;
    return directory;
}
} // namespace

namespace kex_phone {

void SetAdapterDirectory(const std::string& directory) { AdapterDirectory() = directory; }

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
        // No memory, or a lock of the event channel could not be made.
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
        PhoneLock lock;
        g_pPhone = this;
    }
    m_pManager = nullptr;
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
        PhoneLock lock;
        if (g_pPhone == this)
            g_pPhone = nullptr;
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
    if (!out)
        return E_POINTER;
    *out = nullptr;
    KexUsbPhone* self = FromInner(this);
    IUnknown* identity = self->m_aggregated ? static_cast<IUnknown*>(this)
                                            : static_cast<IProvideClassInfo2*>(self);
    const struct {
        const IID* iid;
        IUnknown* itf;
    } table[] = {
        {&IID_IUnknown, identity},
        {&IID_IProvideClassInfo2, static_cast<IProvideClassInfo2*>(self)},
        {&IID_IProvideClassInfo, static_cast<IProvideClassInfo2*>(self)},
        {&IID_IKexPhone, static_cast<IKexPhone*>(self)},
        {&IID_IDispatch, static_cast<IKexPhone*>(self)},
        {&IID_IConnectionPointContainer, static_cast<IConnectionPointContainer*>(self)},
    };
    for (const auto& row : table) {
        if (IsEqualIID(iid, *row.iid)) {
            row.itf->AddRef();
            *out = row.itf;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
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
        if (--m_phone->m_adapterCalls == 0) {
            std::vector<CUSBManager*> retired;
            retired.swap(m_phone->m_retired);
            for (CUSBManager* manager : retired)
                UnloadManager(manager);
        }
        m_phone->Release(); // may be the last reference: nothing after this
    }
    AdapterCall(const AdapterCall&) = delete;
    AdapterCall& operator=(const AdapterCall&) = delete;

private:
    KexUsbPhone* m_phone;
};

void KexUsbPhone::UnloadManager(CUSBManager* manager) noexcept
{
    try {
        manager->UnLoad();
        delete manager;
    } catch (...) {
        KEX_ERROR("UnLoad exception.");
    }
}

void KexUsbPhone::Retire(CUSBManager* manager) noexcept
{
    try {
        m_retired.push_back(manager);
    } catch (...) {
        // No memory to remember it: better a leak than freeing running code.
        KEX_ERROR("UnLoad exception.");
    }
}

HRESULT KexUsbPhone::Start() noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::Start");
    if (m_pManager) {
        KEX_INFO("KexUsbPhone has started.");
        return S_OK;
    }
    CUSBManager* manager = nullptr;
    try {
        const std::string& directory = AdapterDirectory();
        manager = directory.empty() ? new CUSBManager() : new CUSBManager(directory);
    } catch (...) {
        manager = nullptr;
    }
    if (!manager) {
        KEX_ERROR("Allocate memory for AdapterManager failed.");
        return E_FAIL;
    }
    m_pManager = manager;
    AdapterCall call(this);
    int loaded = 1;
    try {
        loaded = manager->Load(&ComUSBPhoneCallBack);
    } catch (...) {
        loaded = 1;
    }
    if (loaded != 0) {
        KEX_ERROR("AdapterManager load failed.");
        if (m_pManager == manager) {
            m_pManager = nullptr;
            if (m_adapterCalls == 1) {
                try {
                    delete manager;
                } catch (...) {
                }
            } else {
                Retire(manager);
            }
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
    if (m_adapterCalls > 0) {
        // Stopped from an event of an adapter that is still running: the
        // object counts as stopped now, the adapters go when it returns.
        Retire(std::exchange(m_pManager, nullptr));
        return S_OK;
    }
    try {
        m_pManager->UnLoad();
        delete m_pManager;
        m_pManager = nullptr;
    } catch (...) {
        // Still counts as started: a later Stop tries again.
        KEX_ERROR("UnLoad exception.");
    }
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
    } catch (...) {
        return E_OUTOFMEMORY;
    }
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
        // Adapters' own results are logged by the manager and change nothing here.
        AdapterCall call(this);
        m_pManager->execute(code, zeroW ? 0 : reinterpret_cast<uintptr_t>(w.c_str()),
                            reinterpret_cast<uintptr_t>(l.c_str()));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
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
    try {
        AdapterCall call(this);
        m_pManager->execute(KEX_CMD_READY, 0, 0);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
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
    try {
        for (int i = 0; i < count; ++i) {
            text[i] = ToNarrow(pContactInfo[i]);
            record.iconType[i] = pIconType[i] >= 0 ? pIconType[i] : 0;
        }
    } catch (...) {
        KEX_ERROR("Invalid args.");
        return E_INVALIDARG;
    }
    for (int i = 0; i < KEX_CONTACT_ENTRIES; ++i)
        record.info[i] = text[i].c_str();
    KEX_INFO("ContactInfo:%s|%s|%s|%d|%d|%d.", record.info[0], record.info[1], record.info[2],
             static_cast<int>(record.iconType[0]), static_cast<int>(record.iconType[1]),
             static_cast<int>(record.iconType[2]));
    try {
        AdapterCall call(this);
        m_pManager->execute(KEX_CMD_CONTACTINFO, reinterpret_cast<uintptr_t>(&record), 0);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}
