// The phone object: the one creatable class of the component. The host drives
// it through IKexPhone, IKexPhone2 and IKexPhone3 (early or late bound);
// handset reports come back through ComUSBPhoneCallBack (version-1 adapters)
// and ComUSBPhoneReport (version-2 adapters) and leave as IKexPhoneEvents on
// the host's thread, each with the device it came from.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <memory>
#include <optional>
#include <string>

#include "KexUSBPhone_h.h"
#include "adapters/KexUSBAdapter.h"
#include "com_disp_evt/SyncEvent.h"
#include "com_disp_evt/connection_point.h"
#include "phone/PhoneLifetime.h"

class CUSBManager;

// The device callback handed to every version-1 adapter at Start. Which
// adapter called it is told by the caller's code (see CUSBManager::DeviceOfCode).
extern "C" int32_t KEX_CDECL ComUSBPhoneCallBack(uint32_t msg, uint32_t wParam, int32_t lParam);

// Where the adapter manager hands a version-2 adapter's device reports, with
// the device's id: the same road as the device callback.
void ComUSBPhoneReport(const std::u16string& device, uint32_t msg, uint32_t wParam, int32_t lParam);

class KexUsbPhone final : public IKexPhone3,
                          public IProvideClassInfo2,
                          public IConnectionPointContainer,
                          public ISupportErrorInfo {
public:
    // Plain (outer null) or aggregated creation, final construction included.
    // An aggregated object can only be asked for IUnknown.
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept;

    // IUnknown: delegates to the controlling unknown (the outer one when aggregated).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;

    // IDispatch: own name table and switch; the type library is not used to call.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) noexcept override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) noexcept override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) noexcept override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* argErr) noexcept override;

    // IKexPhone
    HRESULT STDMETHODCALLTYPE Start() noexcept override;
    HRESULT STDMETHODCALLTYPE Stop() noexcept override;
    HRESULT STDMETHODCALLTYPE get_IsStarted(VARIANT_BOOL* pVal) noexcept override;
    HRESULT STDMETHODCALLTYPE get_USBPhoneName(BSTR* pName) noexcept override;
    HRESULT STDMETHODCALLTYPE put_Number(BSTR newVal) noexcept override;
    HRESULT STDMETHODCALLTYPE Link(BSTR peerName, BSTR peerNumber) noexcept override;
    HRESULT STDMETHODCALLTYPE Ring(BSTR peerName, BSTR peerNumber) noexcept override;
    HRESULT STDMETHODCALLTYPE RingBack(BSTR peerName, BSTR peerNumber) noexcept override;
    HRESULT STDMETHODCALLTYPE Talking(BSTR peerName, BSTR peerNumber) noexcept override;
    HRESULT STDMETHODCALLTYPE Hangup(BSTR peerName, BSTR peerNumber) noexcept override;
    HRESULT STDMETHODCALLTYPE Hold(BSTR peerName, BSTR peerNumber) noexcept override;
    HRESULT STDMETHODCALLTYPE Resume(BSTR peerName, BSTR peerNumber) noexcept override;
    HRESULT STDMETHODCALLTYPE CallFailed(BSTR peerName, BSTR peerNumber) noexcept override;
    HRESULT STDMETHODCALLTYPE Ready() noexcept override;
    HRESULT STDMETHODCALLTYPE RingBusy(BSTR peerName, BSTR peerNumber) noexcept override;
    HRESULT STDMETHODCALLTYPE PutCallInfo(BSTR Name, BSTR Number) noexcept override;
    HRESULT STDMETHODCALLTYPE PutContactInfo(BSTR* pContactInfo, LONG* pIconType, LONG line) noexcept override;

    // IKexPhone2: the same command from arrays of texts and icon types.
    HRESULT STDMETHODCALLTYPE PutContactInfoList(LONG lines, VARIANT names, VARIANT icons) noexcept override;

    // IKexPhone3: mute, and the devices. An unknown device answers
    // E_INVALIDARG with error information naming it.
    HRESULT STDMETHODCALLTYPE Mute(VARIANT_BOOL muted) noexcept override;
    HRESULT STDMETHODCALLTYPE get_DeviceCount(LONG* pCount) noexcept override;
    HRESULT STDMETHODCALLTYPE get_DeviceId(LONG index, BSTR* pId) noexcept override;
    HRESULT STDMETHODCALLTYPE get_Devices(VARIANT* pIds) noexcept override;
    HRESULT STDMETHODCALLTYPE get_DeviceName(BSTR device, BSTR* pName) noexcept override;
    HRESULT STDMETHODCALLTYPE get_DeviceVendorId(BSTR device, LONG* pVendorId) noexcept override;
    HRESULT STDMETHODCALLTYPE get_DeviceProductId(BSTR device, LONG* pProductId) noexcept override;
    HRESULT STDMETHODCALLTYPE get_DeviceSerial(BSTR device, BSTR* pSerial) noexcept override;
    HRESULT STDMETHODCALLTYPE get_ActiveDevice(BSTR* pDevice) noexcept override;
    HRESULT STDMETHODCALLTYPE put_ActiveDevice(BSTR device) noexcept override;
    HRESULT STDMETHODCALLTYPE get_EventDevice(BSTR* pDevice) noexcept override;

    // ISupportErrorInfo: IKexPhone, IKexPhone2 and IKexPhone3 set error
    // information with their failures.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) noexcept override;

    // IProvideClassInfo2
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) noexcept override;
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) noexcept override;

    // IConnectionPointContainer: the IPropertyNotifySink point, then IKexPhoneEvents.
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) noexcept override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) noexcept override;

    // Where a device report came from: a version-2 adapter's device, or the
    // code that called the version-1 callback (told apart on the object's
    // thread). Neither: no device is known.
    struct ReportSource {
        const std::u16string* device = nullptr;
        const void* caller = nullptr;
    };
    // Device report from an adapter thread; fires its events on the object's
    // thread and returns when they ran (or were given up). Always 0.
    int32_t CallBack(const ReportSource& source, uint32_t msg, uint32_t wParam, int32_t lParam) noexcept;

    // Fire to every sink of the IKexPhoneEvents point; run on the object's thread.
    HRESULT Fire_OnStateChange(KEX_USBPHONE_EVENT eEvent, long wParam, long lParam);
    HRESULT Fire_OnKey(KEX_USBPHONE_KEYVALUE eKey);
    HRESULT Fire_OnAction(KEX_USBPHONE_CHARVALUE eChar);

private:
    friend class PhoneLifetime; // runs the final release and deletes the object

    explicit KexUsbPhone(IUnknown* outer);
    ~KexUsbPhone();
    KexUsbPhone(const KexUsbPhone&) = delete;
    KexUsbPhone& operator=(const KexUsbPhone&) = delete;

    // The non-delegating unknown: its count is the lifetime's.
    class Inner final : public IUnknown {
    public:
        explicit Inner(KexUsbPhone* owner) noexcept : m_owner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override;
        ULONG STDMETHODCALLTYPE AddRef() noexcept override;
        ULONG STDMETHODCALLTYPE Release() noexcept override;
        KexUsbPhone* const m_owner;
    };

    HRESULT FinalConstruct() noexcept;
    // The object's own part of the final release (the lifetime runs the rest):
    // off the event window, and the sinks let go on the host's thread.
    void FinalRelease() noexcept;

    // A command's wParam or lParam: the text of a BSTR parameter, or 0.
    using CommandText = std::optional<BSTR>;
    HRESULT SendCommand(const char* name, uint32_t code, CommandText wText, CommandText lText) noexcept;
    // Contact lists: E_FAIL while stopped, E_INVALIDARG for no lines.
    HRESULT CheckContactLines(LONG lines) const noexcept;
    // PutContactInfo's body. From a client (PutContactInfo itself) more than
    // one line is refused when the call came through the marshaller; the
    // object's own PutContactInfoList hands over arrays it made itself.
    enum class ContactCaller { kClient, kThisObject };
    HRESULT SendContactInfo(const BSTR* pContactInfo, const LONG* pIconType, LONG line, ContactCaller caller) noexcept;
    // Whether the running call came from another apartment through COM's
    // marshaller (a proxy), not from this object's own thread directly.
    bool CalledThroughMarshaller() const noexcept;
    // Hands a command to the adapters (started objects only).
    HRESULT Execute(uint32_t code, uintptr_t wParam, uintptr_t lParam) noexcept;
    // Fires one event to every sink, unless the object is stopped.
    template <class... Args>
    HRESULT FireEvent(DISPID id, Args... args);
    // One event of a device report, run on the object's thread: the event's
    // device is what EventDevice reads while its handlers run.
    struct DeviceEvent;
    HRESULT FireDeviceEvent(const DeviceEvent* event);

    Inner m_inner;
    IUnknown* m_outer; // &m_inner unless aggregated
    bool m_aggregated;
    PhoneLifetime m_life{*this, m_outer};
    // The logical thread ID of the object's thread outside any incoming call
    // (GUID_NULL: not known); see CalledThroughMarshaller.
    GUID m_ownLogicalThread = GUID_NULL;

    std::unique_ptr<CUSBManager> m_pManager;
    // The device of the event being fired (null outside a handler); lives in
    // the frame that fires it. Object's thread only.
    const std::u16string* m_eventDevice = nullptr;
    com_disp_evt::SyncEvent m_syncEvent;
    com_disp_evt::connection_point m_propNotifyPoint;
    com_disp_evt::connection_point m_eventsPoint;
};

namespace kex_phone {
// Text of an in-BSTR for an adapter: ANSI code page, empty for an empty or
// null BSTR and for one whose stored length runs past an embedded NUL.
std::string ToNarrow(BSTR text);

// Sets the calling thread's error information (which the marshaller carries
// back to a caller in another apartment) for a failure of the interface iid,
// and answers hr.
HRESULT ReportError(HRESULT hr, const wchar_t* description, const IID& iid) noexcept;
} // namespace kex_phone
