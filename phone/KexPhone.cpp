// The phone object: identity, Start and Stop, and the call-state commands.
#include "phone/PhoneInternal.h"

#include "phone/KexPhone.h"

#include "adapters/AdapterManager.h"
#include "module/Module.h"
#include "win32/QiTable.h"
#include "win32/raii.h"
#include "win32/text.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <string_view>

namespace kex_phone {

std::string ToNarrow(BSTR text)
{
    const UINT length = SysStringLen(text);
    // The text is measured up to its first NUL but converted over its stored
    // length: with a NUL inside, the conversion cannot fit and the text is empty.
    if (length == 0 || std::wmemchr(text, L'\0', length))
        return std::string();
    // A command's texts are short: one conversion into a small buffer first,
    // where the toolkit would measure and then convert.
    char local[256];
    const int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), local, sizeof local, nullptr, nullptr);
    if (n > 0)
        return std::string(local, static_cast<size_t>(n));
    return kex::narrow(std::wstring_view(text, length));
}

HRESULT ReportError(HRESULT hr, const wchar_t* description, const IID& iid) noexcept
{
    kex::com_ptr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put())))
        return hr;
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(L"KexUSBPhone.KexPhone"));
    create->SetDescription(const_cast<LPOLESTR>(description));
    kex::com_ptr<IErrorInfo> info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.put_void())))
        SetErrorInfo(0, info.get());
    return hr;
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
    if (HRESULT hr = m_life.Register(); FAILED(hr))
        return hr;
    m_syncEvent.Attach();
    // Made outside any incoming call, the object learns its thread's own
    // logical thread ID.
    kex::com_ptr<IServerSecurity> callContext;
    const bool inIncomingCall = SUCCEEDED(CoGetCallContext(IID_IServerSecurity, callContext.put_void()));
    if (inIncomingCall || FAILED(CoGetCurrentLogicalThreadId(&m_ownLogicalThread)))
        m_ownLogicalThread = GUID_NULL;
    return S_OK;
}

// Windows gives a call that came through the marshaller a call context.
// Wine (8) gives none, but runs the call under the caller's logical thread
// ID, which differs from the one the object's thread has of its own. Both
// also hold for a direct call the object's thread makes while it serves a
// call from another apartment: that one counts as marshalled too.
bool KexUsbPhone::CalledThroughMarshaller() const noexcept
{
    kex::com_ptr<IServerSecurity> callContext;
    if (SUCCEEDED(CoGetCallContext(IID_IServerSecurity, callContext.put_void())))
        return true;
    GUID current = GUID_NULL;
    return !IsEqualGUID(m_ownLogicalThread, GUID_NULL) && SUCCEEDED(CoGetCurrentLogicalThreadId(&current)) &&
           !IsEqualGUID(current, m_ownLogicalThread);
}

void KexUsbPhone::FinalRelease() noexcept
{
    m_syncEvent.Detach();
    // Sinks belong to the host's thread: let them go here, not wherever the
    // last device callback happens to finish.
    m_propNotifyPoint.clear();
    m_eventsPoint.clear();
}

HRESULT KexUsbPhone::Inner::QueryInterface(REFIID iid, void** out) noexcept
{
    KexUsbPhone* self = m_owner;
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
        KEX_QI_ENTRY(KexUsbPhone, IKexPhone3),
        KEX_QI_ENTRY_MULTI(KexUsbPhone, IDispatch, IKexPhone),
        KEX_QI_ENTRY(KexUsbPhone, IConnectionPointContainer),
        KEX_QI_ENTRY(KexUsbPhone, ISupportErrorInfo),
        {},
    };
    return kex::QiSearch(self, interfaces, iid, out);
}

HRESULT KexUsbPhone::InterfaceSupportsErrorInfo(REFIID iid) noexcept
{
    for (const IID* supported : {&IID_IKexPhone, &IID_IKexPhone2, &IID_IKexPhone3}) {
        if (IsEqualIID(iid, *supported))
            return S_OK;
    }
    return S_FALSE;
}

ULONG KexUsbPhone::Inner::AddRef() noexcept { return m_owner->m_life.AddRef(); }
ULONG KexUsbPhone::Inner::Release() noexcept { return m_owner->m_life.Release(); }

HRESULT KexUsbPhone::QueryInterface(REFIID iid, void** out) noexcept { return m_outer->QueryInterface(iid, out); }
ULONG KexUsbPhone::AddRef() noexcept { return m_outer->AddRef(); }
ULONG KexUsbPhone::Release() noexcept { return m_outer->Release(); }

// ---- start and stop --------------------------------------------------------

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
        return manager.Load(&ComUSBPhoneCallBack, &ComUSBPhoneReport);
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
    if (PhoneLifetime::UnloadsPending()) {
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
    PhoneLifetime::AdapterCall call(m_life, PhoneLifetime::AdapterCall::kAdapterCode);
    const bool wasStopped = m_life.SetStopped(false); // "Intialize" may report inline
    if (LoadAdapters(*manager) == 0)
        return S_OK;
    m_life.SetStopped(wasStopped);
    KEX_ERROR("AdapterManager load failed.");
    // An event raised while loading may have stopped the object already.
    if (m_pManager.get() == manager)
        m_life.Unload(std::move(m_pManager), 1);
    return E_FAIL;
}

HRESULT KexUsbPhone::Stop() noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::Stop");
    if (!m_pManager)
        return S_OK;
    // Stopped from here on: an adapter that dispatches messages while it
    // joins its threads may deliver a queued report, and neither its event
    // nor a command or Stop from that handler may reach the adapters again.
    m_life.SetStopped(true);
    m_life.Unload(std::move(m_pManager), 0);
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

namespace {
// The adapter's name for the host, in the calling thread's ANSI code page (the
// toolkit's widen speaks CP_ACP only); an empty name still gives a BSTR.
// E_OUTOFMEMORY when the copy cannot be made whole.
HRESULT NameToBstr(const std::string& name, BSTR* out) noexcept
{
    int length = 0;
    if (!name.empty())
        length = std::max(0, MultiByteToWideChar(CP_THREAD_ACP, 0, name.c_str(), -1, nullptr, 0) - 1);
    kex::unique_bstr wide(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (!wide)
        return E_OUTOFMEMORY;
    if (length > 0 && MultiByteToWideChar(CP_THREAD_ACP, 0, name.c_str(), static_cast<int>(name.size()), wide.get(),
                                          length) != length)
        return E_OUTOFMEMORY;
    *out = wide.release();
    return S_OK;
}
} // namespace

HRESULT KexUsbPhone::get_USBPhoneName(BSTR* pName) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::get_USBPhoneName");
    if (!pName)
        return E_INVALIDARG;
    if (!m_pManager)
        return E_FAIL;
    try {
        return NameToBstr(m_pManager->GetUSBName(), pName);
    }
    KEX_CATCH_RETURN()
}

// ---- call-state commands ---------------------------------------------------

HRESULT KexUsbPhone::SendCommand(const char* name, uint32_t code, CommandText wText, CommandText lText) noexcept
{
    KEX_TRACE_SCOPE(name);
    if (!m_pManager)
        return E_FAIL;
    try {
        const std::string w = wText ? ToNarrow(*wText) : std::string();
        const std::string l = lText ? ToNarrow(*lText) : std::string();
        return Execute(code, wText ? reinterpret_cast<uintptr_t>(w.c_str()) : 0,
                       lText ? reinterpret_cast<uintptr_t>(l.c_str()) : 0);
    }
    KEX_CATCH_RETURN()
}

HRESULT KexUsbPhone::Execute(uint32_t code, uintptr_t wParam, uintptr_t lParam) noexcept
{
    try {
        // Adapters' own results are logged by the manager and change nothing here.
        PhoneLifetime::AdapterCall call(m_life, PhoneLifetime::AdapterCall::kAdapterCode);
        m_pManager->execute(code, wParam, lParam);
        return S_OK;
    }
    KEX_CATCH_RETURN()
}

namespace {
const std::optional<BSTR> kNoText; // the command sends 0 there
} // namespace

// The call-state commands: each method, its code, and what its wParam and
// lParam carry (the text of a parameter, or 0).
// clang-format off
#define KEX_PHONE_COMMANDS(X)                                                            \
    X(Ready,       KEX_CMD_READY,      (),                               kNoText,  kNoText)    \
    X(Link,        KEX_CMD_LINK,       (BSTR peerName, BSTR peerNumber), peerName, peerNumber) \
    X(Ring,        KEX_CMD_RING,       (BSTR peerName, BSTR peerNumber), peerName, peerNumber) \
    X(RingBack,    KEX_CMD_RINGBACK,   (BSTR peerName, BSTR peerNumber), peerName, peerNumber) \
    X(Talking,     KEX_CMD_TALKING,    (BSTR peerName, BSTR peerNumber), peerName, peerNumber) \
    X(Hangup,      KEX_CMD_HANGUP,     (BSTR peerName, BSTR peerNumber), peerName, peerNumber) \
    X(Hold,        KEX_CMD_HOLD,       (BSTR peerName, BSTR peerNumber), peerName, peerNumber) \
    X(Resume,      KEX_CMD_RESUME,     (BSTR peerName, BSTR peerNumber), peerName, peerNumber) \
    X(CallFailed,  KEX_CMD_CALLFAILED, (BSTR peerName, BSTR peerNumber), peerName, peerNumber) \
    X(RingBusy,    KEX_CMD_RINGBUSY,   (BSTR peerName, BSTR peerNumber), peerName, peerNumber) \
    X(put_Number,  KEX_CMD_NUMBER,     (BSTR newVal),                    kNoText,  newVal)     \
    X(PutCallInfo, KEX_CMD_CALLINFO,   (BSTR Name, BSTR Number),         Name,     Number)
// clang-format on

#define KEX_DEFINE_COMMAND(method, code, parameters, wText, lText)                 \
    HRESULT KexUsbPhone::method parameters noexcept                                \
    {                                                                              \
        return SendCommand("KexUsbPhone::" #method, code, wText, lText);           \
    }
KEX_PHONE_COMMANDS(KEX_DEFINE_COMMAND)
#undef KEX_DEFINE_COMMAND
#undef KEX_PHONE_COMMANDS
