// demo_softphone: a small softphone host that drives a handset through the
// KexUSBPhone component. Read it as an example of a host:
//
//   1. CoInitialize: the thread is a single-threaded apartment; the
//      component delivers every handset event on this thread.
//   2. Create the phone object by its ProgID, early bound through IKexPhone
//      (the generated header KexUSBPhone_h.h); IKexPhone3 for devices and mute.
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
//
// With --hid it plays the headset call (scripts/demo.sh --hid): it lists the
// attached headsets by name (IKexPhone3's DeviceCount, DeviceId, DeviceName),
// makes the one named by --device (else the first listed) the active device,
// so only that one rings, and shows which headset each event came from
// (EventDevice). After the resume its user mutes in the softphone (Mute);
// the headset's mute key toggles the mute and the softphone confirms it.
//
//   demo_softphone [--timeout MS] [--hid [--device NAME] [--devices N]]
//       --devices N: waits until N headsets are attached before choosing one
#include <windows.h>
#include <ocidl.h>

#include "KexUSBPhone_h.h"
#include "win32/QiTable.h"
#include "win32/path.h"
#include "win32/raii.h"
#include "win32/text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
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

// The output is UTF-8 (device names may be in any language).
std::string utf8(std::wstring_view text) { return kex::narrow(text, CP_UTF8); }

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

const Event kPlugIn = {1, KEX_USBPHONE_EVENT_PLUGIN, 0, -1};
const Event kPlugOut = {1, KEX_USBPHONE_EVENT_PLUGOUT, 0, -1};
const Event kAnswerAndDial[] = {
    {3, KEX_USBPHONE_CHARVALUE_PICKUP, 0, 0},
    {2, KEX_USBPHONE_KEYVALUE_1, 0, 0}, {3, KEX_USBPHONE_CHARVALUE_NUMBER, 0, 0},
    {2, KEX_USBPHONE_KEYVALUE_2, 0, 0}, {3, KEX_USBPHONE_CHARVALUE_NUMBER, 0, 0},
    {2, KEX_USBPHONE_KEYVALUE_3, 0, 0}, {3, KEX_USBPHONE_CHARVALUE_NUMBER, 0, 0},
    {2, KEX_USBPHONE_KEYVALUE_POUND, 0, 0}, {3, KEX_USBPHONE_CHARVALUE_NUMBER, 0, 0},
    {3, KEX_USBPHONE_CHARVALUE_HOLD, 0, 0},
    {3, KEX_USBPHONE_CHARVALUE_HOLD, 0, 0},
};
// The headset call: unmuted on the headset, muted on the headset.
const Event kHeadsetMutes[] = {
    {3, KEX_USBPHONE_CHARVALUE_MUTE, 0, 0},
    {3, KEX_USBPHONE_CHARVALUE_MUTE, 0, 0},
};
const Event kHangUp = {3, KEX_USBPHONE_CHARVALUE_HANGUP, 0, 0};

struct Options {
    DWORD timeoutMs = 30000;
    bool hid = false;   // the headset call: a chosen headset, mute from both sides
    std::string device; // the headset to ring, by name; "" the first listed
    long devices = 1;   // headsets attached before one is chosen
};

std::vector<Event> expected_events(const Options& options)
{
    std::vector<Event> events(options.hid ? options.devices : 1, kPlugIn);
    events.insert(events.end(), std::begin(kAnswerAndDial), std::end(kAnswerAndDial));
    if (options.hid)
        events.insert(events.end(), std::begin(kHeadsetMutes), std::end(kHeadsetMutes));
    events.push_back(kHangUp);
    events.push_back(kPlugOut);
    return events;
}

// ---- The softphone: what a real one does with the handset's events.

class Softphone {
public:
    Softphone(IKexPhone* phone, const Options& options) : m_phone(phone), m_options(options)
    {
        // IKexPhone3: the devices, the active one and mute (this release on).
        if (options.hid)
            phone->QueryInterface(IID_IKexPhone3, m_devices.put_void());
    }

    void on_event(const Event& e)
    {
        // The event's device is readable only while its handler runs.
        const std::wstring device = m_devices ? event_device() : L"";
        say("host     <- " + describe(e) + (device.empty() ? "" : " from " + device_name(device)));
        m_received.push_back(e);
        if (m_devices && e.id != 1 && device != m_chosen)
            ++m_foreign;
        if (e.id == 1)
            on_state(e.a, device);
        else if (e.id == 2)
            on_key(e.a);
        else
            on_action(e.a);
    }

    bool finished() const { return m_finished; }
    const std::vector<Event>& received() const { return m_received; }
    // Events (other than plug events) from a headset that was not chosen.
    size_t foreign() const { return m_foreign; }

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

    void on_state(long state, const std::wstring& device)
    {
        if (state == KEX_USBPHONE_EVENT_PLUGOUT) {
            // Another headset going away does not end the demo.
            m_finished = m_finished || !m_devices || device == m_chosen;
            return;
        }
        if (state != KEX_USBPHONE_EVENT_PLUGIN || m_call != Call::none)
            return;
        if (m_devices && !choose_headset())
            return;
        start_call();
    }

    void start_call()
    {
        send("Ready()", [&] { return m_phone->Ready(); });
        // An incoming call arrives from the network.
        send("PutCallInfo(\"" + m_name + "\", \"" + m_number + "\")",
             [&] { return m_phone->PutCallInfo(b(m_name).get(), b(m_number).get()); });
        send_contact();
        send(call_text("Ring"), [&] { return m_phone->Ring(b(m_name).get(), b(m_number).get()); });
        m_call = Call::ringing;
    }

    // Lists the attached headsets by name and makes the chosen one active:
    // from then on call-state commands reach it alone. False while fewer
    // headsets than asked for are attached.
    bool choose_headset()
    {
        long count = 0;
        if (FAILED(m_devices->get_DeviceCount(&count)) || count < m_options.devices)
            return false;
        say("host     headsets attached: " + std::to_string(count));
        std::wstring chosen;
        for (long i = 0; i < count; ++i) {
            kex::unique_bstr id;
            if (FAILED(m_devices->get_DeviceId(i, id.put())) || !id.get())
                continue;
            const std::string name = device_name(id.get());
            say("host       " + std::to_string(i + 1) + ". " + name + "  (id \"" + utf8(id.get()) + "\")");
            if (chosen.empty() && (m_options.device.empty() || m_options.device == name))
                chosen = id.get();
        }
        if (chosen.empty()) {
            say("host     no headset is named \"" + m_options.device + "\"");
            m_finished = true;
            return false;
        }
        send("ActiveDevice = \"" + utf8(chosen.c_str()) + "\"  (" + device_name(chosen) + " alone rings)",
             [&] { return m_devices->put_ActiveDevice(kex::make_bstr(chosen.c_str()).get()); });
        m_chosen = chosen;
        return true;
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
            if (m_devices) {
                say("host     (the user mutes in the softphone)");
                set_mute(true);
            }
        } else if (action == KEX_USBPHONE_CHARVALUE_MUTE && m_devices && m_call == Call::talking) {
            // The headset's mute key asks to toggle; the softphone decides
            // and tells the headset, which already shows what it asked for.
            set_mute(!m_muted);
        } else if (action == KEX_USBPHONE_CHARVALUE_HANGUP && m_call != Call::none && m_call != Call::ended) {
            send(call_text("Hangup"), [&] { return m_phone->Hangup(b(m_name).get(), b(m_number).get()); });
            m_call = Call::ended;
            m_muted = false; // the next call starts unmuted
        }
    }

    void set_mute(bool muted)
    {
        m_muted = muted;
        send(muted ? "Mute(true)" : "Mute(false)",
             [&] { return m_devices->Mute(muted ? VARIANT_TRUE : VARIANT_FALSE); });
    }

    std::wstring event_device()
    {
        kex::unique_bstr id;
        if (FAILED(m_devices->get_EventDevice(id.put())) || !id.get())
            return L"";
        return id.get();
    }

    // The device's name, for the output; its id when it is gone (a plug-out).
    std::string device_name(const std::wstring& id)
    {
        kex::unique_bstr name;
        if (FAILED(m_devices->get_DeviceName(kex::make_bstr(id.c_str()).get(), name.put())) || !name.get())
            return utf8(id.c_str());
        return utf8(name.get());
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
    kex::com_ptr<IKexPhone3> m_devices; // null without --hid
    const Options& m_options;
    std::string m_name = "Alice Smith";
    std::string m_number = "+1 555 0100";
    std::string m_digits;
    std::wstring m_chosen; // the active device's id
    Call m_call = Call::none;
    bool m_muted = false;
    bool m_finished = false;
    size_t m_foreign = 0;
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

// Says whether exactly the expected events arrived, in order (with --hid,
// all from the chosen headset); the exit status.
int verdict(const Softphone& softphone, const Options& options)
{
    const std::vector<Event> expected = expected_events(options);
    const std::vector<Event>& got = softphone.received();
    size_t same = 0;
    while (same < got.size() && same < expected.size() && got[same] == expected[same])
        ++same;
    say("");
    say("trace log: " + kex::module_directory<char>(nullptr) + "log\\KexUSBPhone.log");
    if (same == expected.size() && got.size() == expected.size() && softphone.foreign() == 0) {
        say("demo: all " + std::to_string(expected.size()) + " expected events arrived in order");
        return 0;
    }
    if (!softphone.finished())
        say("demo: gave up after " + std::to_string(options.timeoutMs) + " ms");
    if (softphone.foreign() != 0)
        say("demo: " + std::to_string(softphone.foreign()) + " events came from a headset that was not chosen");
    if (same < expected.size())
        say("demo: expected event " + std::to_string(same + 1) + " " + describe(expected[same]) +
            (same < got.size() ? ", got " + describe(got[same]) : " did not arrive"));
    else if (same < got.size())
        say("demo: unexpected extra event " + describe(got[same]));
    say("demo: " + std::to_string(got.size()) + " events arrived, " + std::to_string(expected.size()) + " expected");
    return 1;
}

// The phone object by its ProgID, early bound; null (and said why) when it
// cannot be created.
kex::com_ptr<IKexPhone> create_phone()
{
    kex::com_ptr<IKexPhone> phone;
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"KexUSBPhone.KexPhone", &clsid);
    if (FAILED(hr)) {
        say("host     the ProgID KexUSBPhone.KexPhone is not registered (" + hex(hr) +
            "): register KexUSBPhone.dll with regsvr32 first");
        return phone;
    }
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IKexPhone, phone.put_void());
    if (FAILED(hr)) {
        say("host     cannot create the phone object: " + hex(hr) +
            (hr == REGDB_E_CLASSNOTREG ? " (class not registered: is the DLL registered for this bitness?)" : ""));
        return phone;
    }
    say("host     created KexUSBPhone.KexPhone");
    return phone;
}

int run(const Options& options)
{
    ComInit com;
    if (FAILED(com.hr)) {
        say("host     CoInitializeEx failed: " + hex(com.hr));
        return 2;
    }
    kex::com_ptr<IKexPhone> phone = create_phone();
    if (!phone)
        return 2;

    Softphone softphone(phone.get(), options);
    EventSink sink(softphone);
    kex::com_ptr<IConnectionPointContainer> cpc;
    kex::com_ptr<IConnectionPoint> cp;
    DWORD cookie = 0;
    HRESULT hr;
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

    pump_until([&] { return softphone.finished(); }, options.timeoutMs);

    softphone.send("Stop()", [&] { return phone->Stop(); });
    cp->Unadvise(cookie);

    return verdict(softphone, options);
}

// False on an unknown option.
bool parse_options(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--timeout") == 0 && hasValue)
            options.timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        else if (std::strcmp(argv[i], "--hid") == 0)
            options.hid = true;
        else if (std::strcmp(argv[i], "--device") == 0 && hasValue)
            options.device = argv[++i];
        else if (std::strcmp(argv[i], "--devices") == 0 && hasValue)
            options.devices = std::max(1L, std::strtol(argv[++i], nullptr, 10));
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr, "usage: demo_softphone [--timeout MS] [--hid [--device NAME] [--devices N]]\n");
        return 2;
    }
    SetConsoleOutputCP(CP_UTF8);
    try {
        return run(options);
    } catch (...) {
        say("host     internal error");
        return 2;
    }
}
