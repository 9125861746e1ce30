// phone_host: a complete, small host of KexUSBPhone, built from the release
// package alone (the generated header and GUIDs in its include/ folder).
//
// It creates the phone object by its ProgID (or, with --clsid, by its class
// id), connects an IKexPhoneEvents sink and plays a softphone's part in a
// call: when the handset is plugged in it sends Ready and rings with a call
// from Alice; the pick-up key answers (Talking), the hold key holds and
// resumes, the hang-up key ends the call (Hangup). When the handset is
// unplugged it stops. Exit status: 0 when the handset was unplugged before
// the timeout, 1 when it was not, 2 when the phone could not be created or
// started.
//
//   phone_host [--clsid] [--timeout MS]
//
// It works with a registered component and registration-free, with the
// application manifest phone_host.exe.manifest beside it.
#include <windows.h>
#include <ocidl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KexUSBPhone_h.h"

namespace {

// One line per event, flushed so the handset's own console lines stay in order.
void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A BSTR for the duration of one call.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : m_value(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(m_value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return m_value; }

private:
    BSTR m_value;
};

// The softphone's part: reacts to the handset as a user's softphone would.
class Softphone {
public:
    explicit Softphone(IKexPhone* phone) : m_phone(phone) {}

    void OnStateChange(long state, long wParam, long lParam)
    {
        Say("phone_host: OnStateChange(%ld, %ld, %ld)", state, wParam, lParam);
        if (state == KEX_USBPHONE_EVENT_PLUGIN) {
            Send("Ready", m_phone->Ready());
            Send("Ring", m_phone->Ring(Bstr(L"Alice"), Bstr(L"100")));
        } else if (state == KEX_USBPHONE_EVENT_PLUGOUT) {
            m_unplugged = true;
        }
    }

    void OnKey(long key) { Say("phone_host: OnKey(%ld)", key); }

    void OnAction(long action)
    {
        Say("phone_host: OnAction(%ld)", action);
        switch (action) {
        case KEX_USBPHONE_CHARVALUE_PICKUP:
            Send("Talking", m_phone->Talking(Bstr(L"Alice"), Bstr(L"100")));
            break;
        case KEX_USBPHONE_CHARVALUE_HOLD:
            m_held = !m_held;
            if (m_held)
                Send("Hold", m_phone->Hold(Bstr(L"Alice"), Bstr(L"100")));
            else
                Send("Resume", m_phone->Resume(Bstr(L"Alice"), Bstr(L"100")));
            break;
        case KEX_USBPHONE_CHARVALUE_HANGUP:
            Send("Hangup", m_phone->Hangup(Bstr(L"Alice"), Bstr(L"100")));
            break;
        default:
            break;
        }
    }

    bool Unplugged() const { return m_unplugged; }

private:
    static void Send(const char* what, HRESULT hr) { Say("phone_host: %s -> 0x%08lX", what, static_cast<unsigned long>(hr)); }

    IKexPhone* m_phone;
    bool m_held = false;
    bool m_unplugged = false;
};

// The event sink: IKexPhoneEvents is a dispinterface, so every event is an
// IDispatch::Invoke with the DISPID of the event and its arguments in reverse
// order.
class EventSink : public IDispatch {
public:
    explicit EventSink(Softphone& softphone) : m_softphone(softphone) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_IKexPhoneEvents) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on main's stack, outliving its connection.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        switch (id) {
        case 1:
            if (params->cArgs == 3)
                m_softphone.OnStateChange(Argument(params, 0), Argument(params, 1), Argument(params, 2));
            break;
        case 2:
            if (params->cArgs == 1)
                m_softphone.OnKey(Argument(params, 0));
            break;
        case 3:
            if (params->cArgs == 1)
                m_softphone.OnAction(Argument(params, 0));
            break;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
        return S_OK;
    }

private:
    // The index-th argument (0 = first) as a long, -1 when it is not a number.
    static long Argument(const DISPPARAMS* params, UINT index)
    {
        VARIANT value;
        VariantInit(&value);
        long result = -1;
        if (SUCCEEDED(VariantChangeType(&value, &params->rgvarg[params->cArgs - 1 - index], 0, VT_I4)))
            result = V_I4(&value);
        VariantClear(&value);
        return result;
    }

    Softphone& m_softphone;
};

// Dispatches this thread's messages until `done` or the timeout: the
// component delivers events through the creating thread's message queue.
bool PumpUntil(const Softphone& softphone, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!softphone.Unplugged()) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

int Run(bool byClassId, DWORD timeoutMs)
{
    CLSID clsid = CLSID_KexUSBPhone;
    if (!byClassId) {
        HRESULT hr = CLSIDFromProgID(L"KexUSBPhone.KexPhone", &clsid);
        if (FAILED(hr)) {
            Say("phone_host: the ProgID KexUSBPhone.KexPhone is unknown (0x%08lX): register KexUSBPhone.dll, "
                "or put KexUSBPhone.Component.manifest and phone_host.exe.manifest beside the program",
                static_cast<unsigned long>(hr));
            return 2;
        }
    }
    IKexPhone* phone = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IKexPhone, reinterpret_cast<void**>(&phone));
    if (FAILED(hr)) {
        Say("phone_host: cannot create the phone object (0x%08lX)", static_cast<unsigned long>(hr));
        return 2;
    }
    Say("phone_host: created by %s", byClassId ? "CLSID" : "ProgID");

    Softphone softphone(phone);
    EventSink sink(softphone);
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    int status = 2;
    if (SUCCEEDED(hr = phone->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) &&
        SUCCEEDED(hr = container->FindConnectionPoint(DIID_IKexPhoneEvents, &point)) &&
        SUCCEEDED(hr = point->Advise(&sink, &cookie))) {
        hr = phone->Start(); // binds the adapters listed in USBPhone.ini beside the DLL
        Say("phone_host: Start -> 0x%08lX", static_cast<unsigned long>(hr));
        if (SUCCEEDED(hr)) {
            BSTR name = nullptr;
            if (SUCCEEDED(phone->get_USBPhoneName(&name)))
                Say("phone_host: USBPhoneName = %ls", name ? name : L"");
            SysFreeString(name);
            status = PumpUntil(softphone, timeoutMs) ? 0 : 1;
            Say(status == 0 ? "phone_host: the handset was unplugged" : "phone_host: gave up waiting");
            phone->Stop();
        }
        point->Unadvise(cookie);
    } else {
        Say("phone_host: cannot connect the event sink (0x%08lX)", static_cast<unsigned long>(hr));
    }
    if (point)
        point->Release();
    if (container)
        container->Release();
    phone->Release();
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    bool byClassId = false;
    DWORD timeoutMs = 30000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--clsid") == 0) {
            byClassId = true;
        } else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: phone_host [--clsid] [--timeout MS]\n");
            return 2;
        }
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 2;
    int status = Run(byClassId, timeoutMs);
    CoUninitialize();
    return status;
}
