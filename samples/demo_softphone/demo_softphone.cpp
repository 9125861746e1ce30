// demo_softphone: a small softphone host that drives a handset through the
// KexUSBPhone component. Read it as an example of a host:
//
//   1. CoInitialize: the thread is a single-threaded apartment; the
//      component delivers every handset event on this thread.
//   2. Create the phone object by its ProgID, early bound through IKexPhone
//      (the generated header KexUSBPhone_h.h).
//   3. Connect an IKexPhoneEvents sink, then Start (the handset may report
//      "plugged in" at once).
//   4. Report every call-state change with Ring, Talking, Hold, ... and
//      react to the handset's keys in the sink.
//   5. Pump messages while waiting: without a message loop no event arrives.
//   6. Stop, disconnect the sink, release.
//
// The call it plays: the handset is plugged in, a call from Alice comes in
// and rings, the handset's pick-up key answers it, digits are pressed, the
// hold key holds and resumes it, the hang-up key ends it and the handset is
// unplugged. The exit status is 0 only when exactly the expected events
// arrived, in order.
#include <windows.h>
#include <ocidl.h>

#include "KexUSBPhone_h.h"
#include "win32/QiTable.h"
#include "win32/path.h"
#include "win32/raii.h"
#include "win32/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- Output: one unbuffered write per line, so our lines and the virtual
// handset's (written from its own DLL) come out whole and in order.

void say(const std::string& line)
{
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string hex(HRESULT hr)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

// ---- Names of the event values, for the output.

const char* state_name(long v)
{
    switch (v) {
    case KEX_USBPHONE_EVENT_PLUGIN: return "PLUGIN";
    case KEX_USBPHONE_EVENT_PLUGOUT: return "PLUGOUT";
    default: return "ERROR";
    }
}

const char* const kActionNames[] = {
    "ERROR",          "PICKUP",          "HANGUP", "NUMBER", "CALL",           "ADDRESSBOOK",
    "CLEAR",          "CALLHISTORYUP",   "CALLHISTORYDOWN",  "ADDRESSBOOKUP",  "ADDRESSBOOKDOWN",
    "MUTE",           "HOLD",            "REDIAL", "CALLADDRNUMBER",           "CALLHISTORY_EX",
    "HANDFREE",
};
const char* action_name(long v) { return v >= 1 && v <= 16 ? kActionNames[v] : "ERROR"; }

const char kKeyChars[] = "?1234567890*#"; // KEX_USBPHONE_KEYVALUE 1..12
char key_char(long v) { return v >= 1 && v <= 12 ? kKeyChars[v] : '?'; }

// ---- The events the demo call must produce, in order.

struct Event {
    DISPID id; // 1 OnStateChange, 2 OnKey, 3 OnAction
    long a, b, c;
    bool operator==(const Event& o) const { return id == o.id && a == o.a && b == o.b && c == o.c; }
};

std::string describe(const Event& e)
{
    char buf[96];
    if (e.id == 1)
        std::snprintf(buf, sizeof buf, "OnStateChange(%s, %ld, %ld)", state_name(e.a), e.b, e.c);
    else if (e.id == 2)
        std::snprintf(buf, sizeof buf, "OnKey(%c)", key_char(e.a));
    else
        std::snprintf(buf, sizeof buf, "OnAction(%s)", action_name(e.a));
    return buf;
}

const Event kExpected[] = {
    {1, KEX_USBPHONE_EVENT_PLUGIN, 0, -1},
    {3, KEX_USBPHONE_CHARVALUE_PICKUP, 0, 0},
    {2, KEX_USBPHONE_KEYVALUE_1, 0, 0}, {3, KEX_USBPHONE_CHARVALUE_NUMBER, 0, 0},
    {2, KEX_USBPHONE_KEYVALUE_2, 0, 0}, {3, KEX_USBPHONE_CHARVALUE_NUMBER, 0, 0},
    {2, KEX_USBPHONE_KEYVALUE_3, 0, 0}, {3, KEX_USBPHONE_CHARVALUE_NUMBER, 0, 0},
    {2, KEX_USBPHONE_KEYVALUE_POUND, 0, 0}, {3, KEX_USBPHONE_CHARVALUE_NUMBER, 0, 0},
    {3, KEX_USBPHONE_CHARVALUE_HOLD, 0, 0},
    {3, KEX_USBPHONE_CHARVALUE_HOLD, 0, 0},
    {3, KEX_USBPHONE_CHARVALUE_HANGUP, 0, 0},
    {1, KEX_USBPHONE_EVENT_PLUGOUT, 0, -1},
};
const size_t kExpectedCount = sizeof kExpected / sizeof kExpected[0];

// ---- The softphone: what a real one does with the handset's events.

class Softphone {
public:
    explicit Softphone(IKexPhone* phone) : m_phone(phone) {}

    void on_event(const Event& e)
    {
        say("host     <- " + describe(e));
        m_received.push_back(e);
        if (e.id == 1)
            on_state(e.a);
        else if (e.id == 2)
            on_key(e.a);
        else
            on_action(e.a);
    }

    bool finished() const { return m_finished; }
    const std::vector<Event>& received() const { return m_received; }

    // Sends one call-state command; `what` is shown as sent.
    template <class F>
    void send(const std::string& what, F call)
    {
        say("host     -> " + what);
        HRESULT hr = call();
        if (FAILED(hr))
            say("host        ... failed with " + hex(hr));
    }

private:
    enum class Call { none, ringing, talking, held, ended };

    void on_state(long state)
    {
        if (state == KEX_USBPHONE_EVENT_PLUGOUT) {
            m_finished = true;
            return;
        }
        if (state != KEX_USBPHONE_EVENT_PLUGIN)
            return;
        send("Ready()", [&] { return m_phone->Ready(); });
        // An incoming call arrives from the network.
        send("PutCallInfo(\"" + m_name + "\", \"" + m_number + "\")",
             [&] { return m_phone->PutCallInfo(b(m_name).get(), b(m_number).get()); });
        send_contact();
        send(call_text("Ring"), [&] { return m_phone->Ring(b(m_name).get(), b(m_number).get()); });
        m_call = Call::ringing;
    }

    void on_key(long key)
    {
        if (m_call != Call::talking || key_char(key) == '?')
            return;
        // In a call a digit is a tone to the far end; show what was sent.
        m_digits += key_char(key);
        send("Number = \"" + m_digits + "\"", [&] { return m_phone->put_Number(b(m_digits).get()); });
    }

    void on_action(long action)
    {
        if (action == KEX_USBPHONE_CHARVALUE_PICKUP && m_call == Call::ringing) {
            send(call_text("Talking"), [&] { return m_phone->Talking(b(m_name).get(), b(m_number).get()); });
            m_call = Call::talking;
        } else if (action == KEX_USBPHONE_CHARVALUE_HOLD && m_call == Call::talking) {
            send(call_text("Hold"), [&] { return m_phone->Hold(b(m_name).get(), b(m_number).get()); });
            m_call = Call::held;
        } else if (action == KEX_USBPHONE_CHARVALUE_HOLD && m_call == Call::held) {
            send(call_text("Resume"), [&] { return m_phone->Resume(b(m_name).get(), b(m_number).get()); });
            m_call = Call::talking;
        } else if (action == KEX_USBPHONE_CHARVALUE_HANGUP && m_call != Call::none && m_call != Call::ended) {
            send(call_text("Hangup"), [&] { return m_phone->Hangup(b(m_name).get(), b(m_number).get()); });
            m_call = Call::ended;
        }
    }

    void send_contact()
    {
        const wchar_t* entries[3] = {L"Alice Smith", L"Acme Corp.", L"+1 555 0100"};
        kex::unique_bstr texts[3];
        BSTR raw[3];
        for (int i = 0; i < 3; ++i) {
            texts[i] = kex::make_bstr(entries[i]);
            raw[i] = texts[i].get();
        }
        long icons[3] = {1, 2, 3};
        send("PutContactInfo({\"Alice Smith\", \"Acme Corp.\", \"+1 555 0100\"}, {1, 2, 3}, 3)",
             [&] { return m_phone->PutContactInfo(raw, icons, 3); });
    }

    std::string call_text(const char* method) const
    {
        return std::string(method) + "(\"" + m_name + "\", \"" + m_number + "\")";
    }

    // A BSTR for one call.
    static kex::unique_bstr b(const std::string& s) { return kex::make_bstr(kex::widen(s).c_str()); }

    IKexPhone* m_phone;
    std::string m_name = "Alice Smith";
    std::string m_number = "+1 555 0100";
    std::string m_digits;
    Call m_call = Call::none;
    bool m_finished = false;
    std::vector<Event> m_received;
};

// ---- The event sink: IKexPhoneEvents is a dispinterface, so the component
// calls Invoke with DISPID 1, 2 or 3 and VT_I4 arguments (last one first).

class EventSink : public IDispatch {
public:
    explicit EventSink(Softphone& phone) : m_phone(phone) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override
    {
        // The event interface is answered by IDispatch itself.
        static const kex::QiEntry kInterfaces[] = {
            KEX_QI_ENTRY(EventSink, IDispatch),
            {&DIID_IKexPhoneEvents, kex::QiOffset<EventSink, IDispatch>()},
            {},
        };
        return kex::QiSearch(this, kInterfaces, iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return InterlockedIncrement(&m_refs); }
    ULONG STDMETHODCALLTYPE Release() noexcept override { return InterlockedDecrement(&m_refs); } // on the stack

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) noexcept override
    {
        if (!n)
            return E_POINTER;
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ti) noexcept override
    {
        if (ti)
            *ti = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override
    {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) noexcept override
    {
        static const UINT kArgCount[] = {0, 3, 1, 1};
        if (id < 1 || id > 3)
            return DISP_E_MEMBERNOTFOUND;
        if (!params || params->cArgs != kArgCount[id])
            return DISP_E_BADPARAMCOUNT;
        long v[3] = {};
        for (UINT i = 0; i < params->cArgs; ++i) {
            kex::unique_variant arg;
            if (FAILED(VariantChangeType(&arg, &params->rgvarg[params->cArgs - 1 - i], 0, VT_I4)))
                return DISP_E_TYPEMISMATCH;
            v[i] = arg.lVal;
        }
        try {
            m_phone.on_event(Event{id, v[0], v[1], v[2]});
        } catch (...) {
            return E_UNEXPECTED;
        }
        return S_OK;
    }

private:
    Softphone& m_phone;
    LONG m_refs = 1;
};

// Runs the message loop until `done` says so or `timeoutMs` passed.
template <class Done>
void pump_until(Done done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!done()) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

struct ComInit {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ~ComInit()
    {
        if (SUCCEEDED(hr))
            CoUninitialize();
    }
};

// Says whether exactly the expected events arrived, in order; the exit status.
int report(const Softphone& softphone, DWORD timeoutMs)
{
    const std::vector<Event>& got = softphone.received();
    size_t same = 0;
    while (same < got.size() && same < kExpectedCount && got[same] == kExpected[same])
        ++same;
    say("");
    say("trace log: " + kex::module_directory<char>(nullptr) + "log\\KexUSBPhone.log");
    if (same == kExpectedCount && got.size() == kExpectedCount) {
        say("demo: all " + std::to_string(kExpectedCount) + " expected events arrived in order");
        return 0;
    }
    if (!softphone.finished())
        say("demo: gave up after " + std::to_string(timeoutMs) + " ms");
    if (same < kExpectedCount)
        say("demo: expected event " + std::to_string(same + 1) + " " + describe(kExpected[same]) +
            (same < got.size() ? ", got " + describe(got[same]) : " did not arrive"));
    else
        say("demo: unexpected extra event " + describe(got[same]));
    say("demo: " + std::to_string(got.size()) + " events arrived, " + std::to_string(kExpectedCount) + " expected");
    return 1;
}

int run(DWORD timeoutMs)
{
    ComInit com;
    if (FAILED(com.hr)) {
        say("host     CoInitializeEx failed: " + hex(com.hr));
        return 2;
    }

    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"KexUSBPhone.KexPhone", &clsid);
    if (FAILED(hr)) {
        say("host     the ProgID KexUSBPhone.KexPhone is not registered (" + hex(hr) +
            "): register KexUSBPhone.dll with regsvr32 first");
        return 2;
    }
    kex::com_ptr<IKexPhone> phone;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IKexPhone, phone.put_void());
    if (FAILED(hr)) {
        say("host     cannot create the phone object: " + hex(hr) +
            (hr == REGDB_E_CLASSNOTREG ? " (class not registered: is the DLL registered for this bitness?)" : ""));
        return 2;
    }
    say("host     created KexUSBPhone.KexPhone");

    Softphone softphone(phone.get());
    EventSink sink(softphone);
    kex::com_ptr<IConnectionPointContainer> cpc;
    kex::com_ptr<IConnectionPoint> cp;
    DWORD cookie = 0;
    if (FAILED(hr = phone.query(IID_IConnectionPointContainer, cpc.put_void())) ||
        FAILED(hr = cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put())) ||
        FAILED(hr = cp->Advise(&sink, &cookie))) {
        say("host     cannot connect the event sink: " + hex(hr));
        return 2;
    }

    softphone.send("Start()", [&] { return phone->Start(); });
    VARIANT_BOOL started = VARIANT_FALSE;
    phone->get_IsStarted(&started);
    if (started != VARIANT_TRUE) {
        say("host     the phone did not start: is USBPhone.ini beside KexUSBPhone.dll, listing the virtual handset?");
        cp->Unadvise(cookie);
        return 2;
    }
    kex::unique_bstr name;
    if (SUCCEEDED(phone->get_USBPhoneName(name.put())))
        say("host     handset adapter: \"" + kex::narrow(name.get() ? name.get() : L"") + "\"");

    pump_until([&] { return softphone.finished(); }, timeoutMs);

    softphone.send("Stop()", [&] { return phone->Stop(); });
    cp->Unadvise(cookie);

    return report(softphone, timeoutMs);
}

} // namespace

int main(int argc, char** argv)
{
    DWORD timeoutMs = 30000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: demo_softphone [--timeout MS]\n");
            return 2;
        }
    }
    try {
        return run(timeoutMs);
    } catch (...) {
        say("host     internal error");
        return 2;
    }
}
