// Outgoing side of the phone object: class information, the connection
// points, firing, and the device callback and report that turn handset
// reports into events on the object's thread, each with its device.
#include "phone/PhoneInternal.h"

#include "phone/KexPhone.h"

#include "adapters/AdapterManager.h"
#include "com_disp_evt/disp_evt_fun.h"
#include "win32/raii.h"
#include "module/Module.h"

#include <olectl.h>

#if defined(_MSC_VER)
#include <intrin.h>
#define KEX_RETURN_ADDRESS() _ReturnAddress()
#else
#define KEX_RETURN_ADDRESS() __builtin_extract_return_addr(__builtin_return_address(0))
#endif

// ---- class information -----------------------------------------------------

HRESULT KexUsbPhone::GetClassInfo(ITypeInfo** info) noexcept
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    kex::com_ptr<ITypeLib> lib;
    HRESULT hr = LoadRegTypeLib(LIBID_KexUSBPhone, 1, 0, LOCALE_NEUTRAL, lib.put());
    // Not registered (or registered elsewhere): our own file carries it too.
    if (FAILED(hr))
        hr = CKexUSBPhoneModule::LoadOwnTypeLib(lib.put());
    if (FAILED(hr))
        return hr;
    return lib->GetTypeInfoOfGuid(CLSID_KexUSBPhone, info);
}

HRESULT KexUsbPhone::GetGUID(DWORD kind, GUID* guid) noexcept
{
    if (!guid)
        return E_POINTER;
    if (kind == GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *guid = DIID_IKexPhoneEvents;
        return S_OK;
    }
    *guid = GUID_NULL;
    return E_FAIL;
}

// ---- connection points -----------------------------------------------------

HRESULT KexUsbPhone::EnumConnectionPoints(IEnumConnectionPoints** points) noexcept
{
    IConnectionPoint* const list[] = {&m_propNotifyPoint, &m_eventsPoint};
    return com_disp_evt::make_connection_point_enum(list, 2, points);
}

HRESULT KexUsbPhone::FindConnectionPoint(REFIID iid, IConnectionPoint** point) noexcept
{
    if (!point)
        return E_POINTER;
    *point = nullptr;
    for (com_disp_evt::connection_point* cp : {&m_propNotifyPoint, &m_eventsPoint}) {
        if (IsEqualIID(iid, cp->iid())) {
            cp->AddRef();
            *point = cp;
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

template <class... Args>
HRESULT KexUsbPhone::FireEvent(DISPID id, Args... args)
{
    if (m_life.IsStopped())
        return S_OK;
    PhoneLifetime::AdapterCall handler(m_life, PhoneLifetime::AdapterCall::kEventHandler);
    return com_disp_evt::fire_event(m_eventsPoint, id, args...);
}

HRESULT KexUsbPhone::Fire_OnStateChange(KEX_USBPHONE_EVENT eEvent, long wParam, long lParam)
{
    return FireEvent(DISPID_KEXPHONEEVENTS_ONSTATECHANGE, eEvent, wParam, lParam);
}

HRESULT KexUsbPhone::Fire_OnKey(KEX_USBPHONE_KEYVALUE eKey) { return FireEvent(DISPID_KEXPHONEEVENTS_ONKEY, eKey); }

HRESULT KexUsbPhone::Fire_OnAction(KEX_USBPHONE_CHARVALUE eChar)
{
    return FireEvent(DISPID_KEXPHONEEVENTS_ONACTION, eChar);
}

// ---- device messages -------------------------------------------------------

namespace {

enum Step : unsigned char { kNone, kKey, kAction, kState };

// One row per device message 1..17: the events it fires, in order.
struct DeviceRow {
    Step steps[2];
    KEX_USBPHONE_CHARVALUE action;
};

const DeviceRow kDeviceRows[KEX_DEV_LAST] = {
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_PICKUP},          // 1 pick-up key
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_HANGUP},          // 2 hang-up key
    {{kKey, kAction}, KEX_USBPHONE_CHARVALUE_NUMBER},           // 3 digit key
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_CALL},            // 4
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_ADDRESSBOOK},     // 5
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_CLEAR},           // 6
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_CALLHISTORYUP},   // 7
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_CALLHISTORYDOWN}, // 8
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_ADDRESSBOOKUP},   // 9
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_ADDRESSBOOKDOWN}, // 10
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_MUTE},            // 11
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_HOLD},            // 12
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_REDIAL},          // 13
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_CALLADDRNUMBER},  // 14
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_CALLHISTORY_EX},  // 15
    {{kAction, kNone}, KEX_USBPHONE_CHARVALUE_HANDFREE},        // 16
    {{kState, kNone}, KEX_USBPHONE_CHARVALUE_ERROR},            // 17 plug state
};

KEX_USBPHONE_KEYVALUE KeyOf(uint32_t wParam)
{
    return wParam >= KEX_KEY_1 && wParam <= KEX_KEY_POUND ? static_cast<KEX_USBPHONE_KEYVALUE>(wParam)
                                                          : KEX_USBPHONE_KEYVALUE_ERROR;
}

KEX_USBPHONE_EVENT PlugStateOf(uint32_t wParam)
{
    switch (wParam) {
    case KEX_PLUG_OUT:
        return KEX_USBPHONE_EVENT_PLUGOUT;
    case KEX_PLUG_IN:
        return KEX_USBPHONE_EVENT_PLUGIN;
    default:
        return KEX_USBPHONE_EVENT_ERROR;
    }
}

} // namespace

// One event of a report, read on the object's thread while the adapter's
// thread waits for it in CallBack.
struct KexUsbPhone::DeviceEvent {
    const ReportSource* source;
    Step step;
    KEX_USBPHONE_KEYVALUE key;
    KEX_USBPHONE_CHARVALUE action;
    KEX_USBPHONE_EVENT state;
    long detail;
};

int32_t KexUsbPhone::CallBack(const ReportSource& source, uint32_t msg, uint32_t wParam, int32_t lParam) noexcept
{
    KEX_TRACE_SCOPE("KexUsbPhone::CallBack");
    if (msg < KEX_DEV_FIRST || msg > KEX_DEV_LAST)
        return 0;
    const DeviceRow& row = kDeviceRows[msg - 1];
    // A digit key fires two events: one limit for the whole report.
    com_disp_evt::report_scope report;
    // The values live in this frame: each hand-over returns only after the
    // event ran on the object's thread or was given up.
    for (Step step : row.steps) {
        // Stopped, also by the handler of this report's first event: nothing
        // more is handed over, so an adapter whose "UnInitialize" joins this
        // thread is not kept waiting for the pick-up limit.
        if (step == kNone || m_life.IsStopped())
            break;
        DeviceEvent event = {&source, step, KeyOf(wParam), row.action, PlugStateOf(wParam),
                             lParam == 0 ? 0L : lParam == 1 ? 1L : -1L};
        const DeviceEvent* pending = &event;
        com_disp_evt::sync_call(m_syncEvent, this, &KexUsbPhone::FireDeviceEvent, pending);
    }
    return 0;
}

HRESULT KexUsbPhone::FireDeviceEvent(const DeviceEvent* event)
{
    if (m_life.IsStopped())
        return S_OK;
    // A version-1 adapter's device is told on this thread, where the manager lives.
    std::u16string resolved;
    const std::u16string* device = event->source->device;
    if (!device) {
        try {
            if (m_pManager)
                resolved = m_pManager->DeviceOfCode(event->source->caller);
        } catch (...) {
            resolved.clear();
        }
        device = &resolved;
    }
    // Handlers may raise nested events (a command whose adapter reports at
    // once): each handler reads its own event's device.
    struct EventDeviceScope {
        const std::u16string*& current;
        const std::u16string* const outer;
        ~EventDeviceScope() { current = outer; }
    } scope{m_eventDevice, m_eventDevice};
    m_eventDevice = device;
    switch (event->step) {
    case kKey:
        return Fire_OnKey(event->key);
    case kAction:
        return Fire_OnAction(event->action);
    case kState:
        return Fire_OnStateChange(event->state, event->detail, -1);
    case kNone:
        break;
    }
    return S_OK;
}

extern "C" int32_t KEX_CDECL ComUSBPhoneCallBack(uint32_t msg, uint32_t wParam, int32_t lParam)
{
    KEX_TRACE_SCOPE("ComUSBPhoneCallBack");
    // The one callback of every version-1 adapter: the code it returns to
    // tells which adapter called.
    KexUsbPhone::ReportSource source;
    source.caller = KEX_RETURN_ADDRESS();
    // Held for the call: the target's final release may run on the host's
    // thread while this adapter thread is still on its way.
    PhoneLifetime::TargetHold target;
    if (target)
        target->CallBack(source, msg, wParam, lParam);
    return 0;
}

void ComUSBPhoneReport(const std::u16string& device, uint32_t msg, uint32_t wParam, int32_t lParam)
{
    KEX_TRACE_SCOPE("ComUSBPhoneReport");
    KexUsbPhone::ReportSource source;
    source.device = &device;
    PhoneLifetime::TargetHold target;
    if (target)
        target->CallBack(source, msg, wParam, lParam);
}
