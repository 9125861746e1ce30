// IKexPhone3 with a version-1 adapter ("Alpha") beside a version-2 one
// ("Head", two headsets found at start): the device list and fields, where
// commands go with each active device, the device of each event, plugging,
// mute, and the answers to bad input.
#include "phone/KexPhone.h"

#include "tests/phone/phone_events_fixture.h"

#include <thread>

using namespace phone_test;
using kex::com_ptr;
using kex::unique_bstr;

namespace {

const std::string kRecordingV2 = "recording_adapter_v2.dll";

std::wstring W(BSTR s) { return std::wstring(s ? s : L"", SysStringLen(s)); }

class PhoneDevicesTest : public PhoneEventsTest {
protected:
    void SetUp() override
    {
        PhoneEventsTest::SetUp();
        if (HasFatalFailure())
            return;
        m_recV2 = LoadLibraryA((ExeDirectory() + kRecordingV2).c_str());
        ASSERT_NE(nullptr, m_recV2);
        head = rec_bind(m_recV2);
        ASSERT_TRUE(head && head.atStart);
        head.reset();
        // Found at start: h1 fully described, h2 with nothing but its id.
        const KexDeviceInfo devices[] = {
            {sizeof(KexDeviceInfo), "h1", "Headset One", 0x0b0e, 0x0348, "SN-1"},
            {sizeof(KexDeviceInfo), "h2", nullptr, 0, 0, nullptr},
        };
        const RecReport plugs[] = {{KEX_DEV_PLUG, KEX_PLUG_IN, 0, "h1"}, {KEX_DEV_PLUG, KEX_PLUG_IN, 0, "h2"}};
        head.atStart(devices, 2, plugs, 2);
        UseBoth();
        ASSERT_EQ(S_OK, phone->QueryInterface(IID_IKexPhone3, phone3.put_void()));
    }
    void TearDown() override
    {
        phone3.reset();
        PhoneEventsTest::TearDown();
        FreeLibrary(m_recV2);
    }

    void UseBoth()
    {
        m_dir.Write("USBPhone.ini", "[AdapterList]\r\nAlpha=" + ExeDirectory() + kRecording + "\r\nHead=" +
                                        ExeDirectory() + kRecordingV2 + "\r\n");
    }

    // Reports from the version-2 adapter's thread, this thread pumping.
    void RaiseHead(const std::vector<RecReport>& reports)
    {
        ASSERT_EQ(0, head.raise(reports.data(), static_cast<int32_t>(reports.size())));
        ASSERT_TRUE(PumpWhileNot([&] { return head.wait(0) >= 0; })) << "Head's report thread did not finish";
    }

    std::vector<std::wstring> Devices()
    {
        std::vector<std::wstring> ids;
        LONG count = -1;
        EXPECT_EQ(S_OK, phone3->get_DeviceCount(&count));
        for (LONG i = 0; i < count; ++i) {
            unique_bstr id;
            EXPECT_EQ(S_OK, phone3->get_DeviceId(i, id.put()));
            ids.push_back(W(id.get()));
        }
        return ids;
    }

    std::wstring Text(HRESULT (STDMETHODCALLTYPE IKexPhone3::*get)(BSTR*))
    {
        unique_bstr text;
        EXPECT_EQ(S_OK, (phone3.get()->*get)(text.put()));
        return W(text.get());
    }
    std::wstring Active() { return Text(&IKexPhone3::get_ActiveDevice); }
    std::wstring EventDevice() { return Text(&IKexPhone3::get_EventDevice); }

    HRESULT Select(const wchar_t* id)
    {
        unique_bstr b = Bstr(id);
        return phone3->put_ActiveDevice(b.get());
    }

    // The description of this thread's error information; "" when there is none.
    static std::wstring TakeErrorDescription()
    {
        com_ptr<IErrorInfo> info;
        if (GetErrorInfo(0, info.put()) != S_OK || !info)
            return L"";
        unique_bstr text;
        info->GetDescription(text.put());
        return W(text.get());
    }

    HMODULE m_recV2 = nullptr;
    RecAdapter head;
    com_ptr<IKexPhone3> phone3;
};

const std::vector<std::wstring> kBoth = {L"Alpha", L"Head/h1", L"Head/h2"};

TEST_F(PhoneDevicesTest, TheListAndEachDevicesFields)
{
    // Nothing is bound before Start.
    LONG count = -1;
    EXPECT_EQ(S_OK, phone3->get_DeviceCount(&count));
    EXPECT_EQ(0, count);
    ASSERT_EQ(S_OK, phone->Start());
    EXPECT_EQ(kBoth, Devices());

    kex::unique_variant list;
    ASSERT_EQ(S_OK, phone3->get_Devices(&list));
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, V_VT(&list));
    ASSERT_EQ(1u, SafeArrayGetDim(V_ARRAY(&list)));
    LONG low = -1, high = -1;
    SafeArrayGetLBound(V_ARRAY(&list), 1, &low);
    SafeArrayGetUBound(V_ARRAY(&list), 1, &high);
    EXPECT_EQ(0, low);
    ASSERT_EQ(static_cast<LONG>(kBoth.size()) - 1, high);
    for (LONG i = 0; i <= high; ++i) {
        kex::unique_variant item;
        ASSERT_EQ(S_OK, SafeArrayGetElement(V_ARRAY(&list), &i, &item));
        ASSERT_EQ(VT_BSTR, V_VT(&item));
        EXPECT_EQ(kBoth[i], W(V_BSTR(&item)));
    }

    struct Row {
        const wchar_t* id;
        const wchar_t* name;
        LONG vendor, product;
        const wchar_t* serial;
    } rows[] = {
        {L"Alpha", L"Alpha", 0, 0, L""},               // a version-1 adapter: named by its key
        {L"Head/h1", L"Headset One", 0x0b0e, 0x0348, L"SN-1"},
        {L"Head/h2", L"Head/h2", 0, 0, L""},           // no name: the id
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::string(row.id, row.id + wcslen(row.id)));
        unique_bstr id = Bstr(row.id), name, serial;
        LONG vendor = -1, product = -1;
        ASSERT_EQ(S_OK, phone3->get_DeviceName(id.get(), name.put()));
        EXPECT_EQ(row.name, W(name.get()));
        ASSERT_EQ(S_OK, phone3->get_DeviceVendorId(id.get(), &vendor));
        EXPECT_EQ(row.vendor, vendor);
        ASSERT_EQ(S_OK, phone3->get_DeviceProductId(id.get(), &product));
        EXPECT_EQ(row.product, product);
        ASSERT_EQ(S_OK, phone3->get_DeviceSerial(id.get(), serial.put()));
        EXPECT_EQ(row.serial, W(serial.get()));
    }

    // Gone with the adapters at Stop.
    ASSERT_EQ(S_OK, phone->Stop());
    EXPECT_TRUE(Devices().empty());
    unique_bstr h1 = Bstr(L"Head/h1"), name;
    EXPECT_EQ(E_INVALIDARG, phone3->get_DeviceName(h1.get(), name.put()));
}

TEST_F(PhoneDevicesTest, CommandsGoToTheActiveDevicesAdapterOnly)
{
    ASSERT_EQ(S_OK, phone->Start());
    unique_bstr name = Bstr(L"Alice"), number = Bstr(L"100");
    struct Row {
        const char* what;
        const wchar_t* active;
        std::function<HRESULT()> call;
        uint32_t code;
        bool alpha;            // Alpha's "execute" gets it
        const char* headDevice; // Head's KexExecute2 device; null: every device; "-": nothing
    } rows[] = {
        {"all: Ring to both", L"", [&] { return phone->Ring(name.get(), number.get()); }, KEX_CMD_RING, true, nullptr},
        {"all: Mute to version 2 only", L"", [&] { return phone3->Mute(VARIANT_TRUE); }, KEX_CMD_MUTE, false, nullptr},
        {"Head/h2: Talking", L"Head/h2", [&] { return phone->Talking(name.get(), number.get()); }, KEX_CMD_TALKING,
         false, "h2"},
        {"Head/h1: Ready", L"Head/h1", [&] { return phone->Ready(); }, KEX_CMD_READY, false, "h1"},
        {"Head/h1: Mute", L"Head/h1", [&] { return phone3->Mute(VARIANT_FALSE); }, KEX_CMD_MUTE, false, "h1"},
        {"Alpha: Hold through execute", L"Alpha", [&] { return phone->Hold(name.get(), number.get()); },
         KEX_CMD_HOLD, true, "-"},
        {"Alpha: Mute reaches nobody", L"Alpha", [&] { return phone3->Mute(VARIANT_TRUE); }, KEX_CMD_MUTE, false,
         "-"},
        {"all again: Hangup to both", L"", [&] { return phone->Hangup(name.get(), number.get()); }, KEX_CMD_HANGUP,
         true, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(S_OK, Select(row.active));
        EXPECT_EQ(row.active, Active());
        rec.reset();
        head.reset();
        EXPECT_EQ(S_OK, row.call());
        ASSERT_EQ(row.alpha ? 1 : 0, rec.State().recorded);
        if (row.alpha) {
            const RecCommand c = Last(rec);
            EXPECT_EQ(row.code, c.code);
            EXPECT_EQ(REC_ENTRY_EXECUTE, c.entry);
        }
        const bool headGets = !row.headDevice || std::string(row.headDevice) != "-";
        ASSERT_EQ(headGets ? 1 : 0, head.State().recorded);
        if (!headGets)
            continue;
        const RecCommand c = Last(head);
        EXPECT_EQ(row.code, c.code);
        EXPECT_EQ(REC_ENTRY_EXECUTE2, c.entry);
        EXPECT_EQ(row.headDevice != nullptr, c.hasDevice != 0);
        if (row.headDevice) {
            EXPECT_STREQ(row.headDevice, c.device);
        }
        if (row.code == KEX_CMD_MUTE) {
            EXPECT_EQ(row.what == std::string("Head/h1: Mute") ? 0u : 1u, c.wParam);
        } else if (row.code != KEX_CMD_READY) {
            EXPECT_STREQ("Alice", c.text[0]);
        }
    }
}

// The same session of commands and reports with Alpha alone and with Head
// beside it: Alpha's journal and the events of its reports do not change.
TEST_F(PhoneDevicesTest, AVersionOneAdapterSeesWhatItSawBefore)
{
    struct Seen {
        std::vector<std::string> commands; // "code|first|second"
        std::string events;
    };
    auto session = [&](bool withHead) {
        Seen seen;
        if (withHead) {
            UseBoth();
        } else {
            UseAdapters({"Alpha"});
        }
        EXPECT_EQ(S_OK, phone->Start());
        EXPECT_EQ(S_OK, Subscribe());
        rec.reset();
        sink.events.clear();
        unique_bstr name = Bstr(L"Bob"), number = Bstr(L"200");
        phone->Ready();
        phone->Ring(name.get(), number.get());
        phone3->Mute(VARIANT_TRUE);
        phone->Talking(name.get(), number.get());
        phone3->Mute(VARIANT_FALSE);
        unique_bstr shown = Bstr(L"555");
        phone->put_Number(shown.get());
        phone->PutCallInfo(name.get(), number.get());
        phone->Hangup(name.get(), number.get());
        Raise({{KEX_DEV_PLUG, KEX_PLUG_IN, 0, nullptr}, {KEX_DEV_KEY, KEX_KEY_7, 0, nullptr},
               {KEX_DEV_MUTE, 0, 0, nullptr}, {KEX_DEV_PLUG, KEX_PLUG_OUT, 0, nullptr}});
        for (int32_t i = 0; i < rec.State().recorded; ++i) {
            RecCommand c = {};
            rec.getCommand(i, &c);
            EXPECT_EQ(REC_ENTRY_EXECUTE, c.entry);
            seen.commands.push_back(std::to_string(c.code) + "|" + c.text[0] + "|" + c.text[1]);
        }
        seen.events = Describe(sink.events);
        events.Unadvise();
        EXPECT_EQ(S_OK, phone->Stop());
        return seen;
    };
    const Seen alone = session(false);
    const Seen beside = session(true);
    const std::vector<std::string> expected = {"1||", "3|Bob|200", "5|Bob|200", "11||555", "12|Bob|200", "6|Bob|200"};
    EXPECT_EQ(expected, alone.commands);
    EXPECT_EQ(alone.commands, beside.commands);
    EXPECT_EQ("{1: 1 0 -1}{2: 7}{3: 3}{3: 11}{1: 0 0 -1}", alone.events);
    EXPECT_EQ(alone.events, beside.events);
}

TEST_F(PhoneDevicesTest, EventDeviceNamesTheReportingDeviceInsideHandlersOnly)
{
    ASSERT_EQ(S_OK, phone->Start());
    ASSERT_EQ(S_OK, Subscribe());
    std::vector<std::wstring> seen; // EventDevice as each handler read it
    sink.during = [&] { seen.push_back(EventDevice()); };
    EXPECT_EQ(L"", EventDevice());

    struct Row {
        const char* what;
        bool fromHead;
        RecReport report;
        std::vector<std::wstring> expected; // one per event
    } rows[] = {
        {"h2's digit: OnKey and OnAction", true, {KEX_DEV_KEY, KEX_KEY_3, 0, "h2"}, {L"Head/h2", L"Head/h2"}},
        {"h1's pick-up", true, {KEX_DEV_PICKUP, 0, 0, "h1"}, {L"Head/h1"}},
        {"no id: Head's first described device", true, {KEX_DEV_HANGUP, 0, 0, nullptr}, {L"Head/h1"}},
        {"h1's plug state", true, {KEX_DEV_PLUG, 5, 0, "h1"}, {L"Head/h1"}},
        {"an unknown headset's key", true, {KEX_DEV_KEY, KEX_KEY_1, 0, "h9"}, {L"Head/h9", L"Head/h9"}},
        {"Alpha's key, through the version-1 callback", false, {KEX_DEV_REDIAL, 0, 0, nullptr}, {L"Alpha"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        seen.clear();
        if (row.fromHead) {
            RaiseHead({row.report});
        } else {
            Raise({row.report});
        }
        EXPECT_EQ(row.expected, seen);
        EXPECT_EQ(L"", EventDevice()) << "outside a handler";
    }

    // A handler's command whose adapter reports at once: the nested event
    // reads its own device, and the outer handler its own again afterwards.
    RecReport inlineKey = {KEX_DEV_HOLD, 0, 0, nullptr};
    rec.reportOnExecute(KEX_CMD_TALKING, &inlineKey);
    seen.clear();
    unique_bstr name = Bstr(L"Carol");
    sink.during = [&] {
        seen.push_back(EventDevice());
        if (seen.size() == 1) {
            phone->Talking(name.get(), name.get());
            seen.push_back(EventDevice());
        }
    };
    RaiseHead({{KEX_DEV_PICKUP, 0, 0, "h2"}});
    rec.reportOnExecute(0, nullptr);
    EXPECT_EQ((std::vector<std::wstring>{L"Head/h2", L"Alpha", L"Head/h2"}), seen);
    EXPECT_EQ(L"", EventDevice());
}

TEST_F(PhoneDevicesTest, PlugsChangeTheListBeforeTheirEvent)
{
    ASSERT_EQ(S_OK, phone->Start());
    ASSERT_EQ(S_OK, Subscribe());
    struct AtEvent {
        std::wstring device, active;
        std::vector<std::wstring> list;
    };
    std::vector<AtEvent> seen;
    sink.during = [&] { seen.push_back({EventDevice(), Active(), Devices()}); };
    unique_bstr name = Bstr(L"Dave");

    struct Row {
        const char* what;
        const wchar_t* activeBefore;
        RecReport report;
        const wchar_t* activeAtEvent;
        std::vector<std::wstring> listAtEvent;
    } rows[] = {
        {"a new headset plugged in", L"", {KEX_DEV_PLUG, KEX_PLUG_IN, 0, "h3"}, L"",
         {L"Alpha", L"Head/h1", L"Head/h2", L"Head/h3"}},
        {"an inactive one unplugged", L"Head/h1", {KEX_DEV_PLUG, KEX_PLUG_OUT, 0, "h3"}, L"Head/h1", kBoth},
        {"the active one unplugged", L"Head/h1", {KEX_DEV_PLUG, KEX_PLUG_OUT, 0, "h1"}, L"",
         {L"Alpha", L"Head/h2"}},
        {"replugged: the same id", L"", {KEX_DEV_PLUG, KEX_PLUG_IN, 1, "h1"}, L"",
         {L"Alpha", L"Head/h2", L"Head/h1"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(S_OK, Select(row.activeBefore));
        seen.clear();
        RaiseHead({row.report});
        ASSERT_EQ(1u, seen.size()) << Describe(sink.events);
        EXPECT_EQ(L"Head/" + std::wstring(row.report.device, row.report.device + 2), seen[0].device);
        EXPECT_EQ(row.activeAtEvent, seen[0].active);
        EXPECT_EQ(row.listAtEvent, seen[0].list);
    }
    // After the active device went, commands reach every adapter again.
    rec.reset();
    head.reset();
    ASSERT_EQ(S_OK, phone->Ring(name.get(), name.get()));
    EXPECT_EQ(1, rec.State().recorded);
    ASSERT_EQ(1, head.State().recorded);
    EXPECT_EQ(0, Last(head).hasDevice);
    // The replugged device can be chosen again.
    EXPECT_EQ(S_OK, Select(L"Head/h1"));
}

TEST_F(PhoneDevicesTest, UnknownIdsAreRefusedWithErrorInformationNamingThem)
{
    com_ptr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, phone->QueryInterface(IID_ISupportErrorInfo, support.put_void()));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IKexPhone3));
    ASSERT_EQ(S_OK, phone->Start());
    ASSERT_EQ(S_OK, Select(L"Head/h2"));

    struct Row {
        const char* what;
        const wchar_t* id;
        std::function<HRESULT(BSTR)> call;
        bool textResult = false;
    };
    const std::wstring longId(5000, L'x');
    BSTR textOut = nullptr;
    LONG numberOut = 0;
    const Row rows[] = {
        {"ActiveDevice put", L"Nope", [&](BSTR id) { return phone3->put_ActiveDevice(id); }},
        {"ActiveDevice put, a case of a listed id", L"head/h1", [&](BSTR id) { return phone3->put_ActiveDevice(id); }},
        {"ActiveDevice put, the adapter's own id", L"h1", [&](BSTR id) { return phone3->put_ActiveDevice(id); }},
        {"DeviceName", L"Head/none", [&](BSTR id) { return phone3->get_DeviceName(id, &textOut); }, true},
        {"DeviceVendorId", L"Beta", [&](BSTR id) { return phone3->get_DeviceVendorId(id, &numberOut); }},
        {"DeviceProductId", L"Alpha/", [&](BSTR id) { return phone3->get_DeviceProductId(id, &numberOut); }},
        {"DeviceSerial", L" Alpha", [&](BSTR id) { return phone3->get_DeviceSerial(id, &textOut); }, true},
        {"DeviceName of \"\"", L"", [&](BSTR id) { return phone3->get_DeviceName(id, &textOut); }, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        unique_bstr id = Bstr(row.id);
        SetErrorInfo(0, nullptr);
        const BSTR junk = reinterpret_cast<BSTR>(1); // a caller's uninitialised result
        textOut = junk;
        EXPECT_EQ(E_INVALIDARG, row.call(id.get()));
        if (row.textResult) {
            EXPECT_EQ(nullptr, textOut) << "a failed call leaves no text to free";
        }
        textOut = nullptr;
        const std::wstring description = TakeErrorDescription();
        EXPECT_NE(std::wstring::npos, description.find(L"\"" + std::wstring(row.id) + L"\"")) << "description: "
                                                                                            << std::string(description.begin(), description.end());
        EXPECT_EQ(L"Head/h2", Active()) << "the selection is unchanged";
    }
    // A very long id: the description quotes it shortened.
    unique_bstr id = Bstr(longId.c_str());
    EXPECT_EQ(E_INVALIDARG, phone3->put_ActiveDevice(id.get()));
    const std::wstring description = TakeErrorDescription();
    EXPECT_NE(std::wstring::npos, description.find(L"\"xxxx")) << std::string(description.begin(), description.end());
    EXPECT_LT(description.size(), 400u);
    // A null BSTR is "": every device.
    EXPECT_EQ(S_OK, phone3->put_ActiveDevice(nullptr));
    EXPECT_EQ(L"", Active());
}

TEST_F(PhoneDevicesTest, NamesEmptyAndTooLong)
{
    const std::string longName(10000, 'n');
    const std::string multi = std::string(1023, 'a') + "\xF0\x9F\x93\x9E"; // a pair would straddle the cut
    const KexDeviceInfo devices[] = {
        {sizeof(KexDeviceInfo), "empty", "", 0, 0, ""},
        {sizeof(KexDeviceInfo), "long", longName.c_str(), 0, 0, longName.c_str()},
        {sizeof(KexDeviceInfo), "pair", multi.c_str(), 0, 0, nullptr},
    };
    const RecReport plugs[] = {{KEX_DEV_PLUG, KEX_PLUG_IN, 0, "empty"}, {KEX_DEV_PLUG, KEX_PLUG_IN, 0, "long"},
                               {KEX_DEV_PLUG, KEX_PLUG_IN, 0, "pair"}};
    head.atStart(devices, 3, plugs, 3);
    ASSERT_EQ(S_OK, phone->Start());
    struct Row {
        const wchar_t* id;
        std::wstring name, serial;
    } rows[] = {
        {L"Head/empty", L"Head/empty", L""},
        {L"Head/long", std::wstring(1024, L'n'), std::wstring(1024, L'n')},
        {L"Head/pair", std::wstring(1023, L'a'), L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::string(row.id, row.id + wcslen(row.id)));
        unique_bstr id = Bstr(row.id), name, serial;
        ASSERT_EQ(S_OK, phone3->get_DeviceName(id.get(), name.put()));
        EXPECT_EQ(row.name, W(name.get()));
        ASSERT_EQ(S_OK, phone3->get_DeviceSerial(id.get(), serial.put()));
        EXPECT_EQ(row.serial, W(serial.get()));
    }
}

// Plug-out raised on the adapter's thread while the host selects the same
// device: refused, or selected and then unselected by the plug-out, never
// left selected once it is gone.
TEST_F(PhoneDevicesTest, ADeviceVanishingWhileBeingSelected)
{
    ASSERT_EQ(S_OK, phone->Start());
    int refused = 0, unselected = 0;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        const RecReport out = {KEX_DEV_PLUG, KEX_PLUG_OUT, 0, "h1"};
        ASSERT_EQ(0, head.raise(&out, 1));
        // Odd rounds select once the list has lost it, while its plug-out
        // event still waits for this thread; even rounds race the thread.
        if (round % 2) {
            const DWORD start = GetTickCount();
            LONG count = 0;
            while (phone3->get_DeviceCount(&count) == S_OK && count == static_cast<LONG>(kBoth.size())) {
                ASSERT_LT(GetTickCount() - start, 10000u) << "the plug-out never reached the list";
                SwitchToThread();
            }
        }
        const HRESULT hr = Select(L"Head/h1"); // nothing pumped yet: the plug-out event waits
        if (round % 2) {
            EXPECT_EQ(E_INVALIDARG, hr);
        }
        ASSERT_TRUE(hr == S_OK || hr == E_INVALIDARG) << std::hex << hr;
        ASSERT_TRUE(PumpWhileNot([&] { return head.wait(0) >= 0; })) << "Head's report thread did not finish";
        (hr == S_OK ? unselected : refused)++;
        EXPECT_EQ(L"", Active());
        EXPECT_EQ((std::vector<std::wstring>{L"Alpha", L"Head/h2"}), Devices());
        RaiseHead({{KEX_DEV_PLUG, KEX_PLUG_IN, 0, "h1"}});
    }
    std::printf("vanishing device: %d refused, %d selected then unselected\n", refused, unselected);
}

TEST_F(PhoneDevicesTest, NullOutPointersIndexesAndMuteWhenStopped)
{
    EXPECT_EQ(E_FAIL, phone3->Mute(VARIANT_TRUE)) << "before Start";
    ASSERT_EQ(S_OK, phone->Start());
    unique_bstr id = Bstr(L"Alpha");
    struct Row {
        const char* what;
        std::function<HRESULT()> call;
        HRESULT hr;
    } rows[] = {
        {"DeviceCount", [&] { return phone3->get_DeviceCount(nullptr); }, E_POINTER},
        {"DeviceId", [&] { return phone3->get_DeviceId(0, nullptr); }, E_POINTER},
        {"Devices", [&] { return phone3->get_Devices(nullptr); }, E_POINTER},
        {"DeviceName", [&] { return phone3->get_DeviceName(id.get(), nullptr); }, E_POINTER},
        {"DeviceVendorId", [&] { return phone3->get_DeviceVendorId(id.get(), nullptr); }, E_POINTER},
        {"DeviceProductId", [&] { return phone3->get_DeviceProductId(id.get(), nullptr); }, E_POINTER},
        {"DeviceSerial", [&] { return phone3->get_DeviceSerial(id.get(), nullptr); }, E_POINTER},
        {"ActiveDevice", [&] { return phone3->get_ActiveDevice(nullptr); }, E_POINTER},
        {"EventDevice", [&] { return phone3->get_EventDevice(nullptr); }, E_POINTER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.hr, row.call());
    }
    for (LONG index : {-1L, 3L, 0x7fffffffL}) {
        SCOPED_TRACE(testing::Message() << "index " << index);
        BSTR out = reinterpret_cast<BSTR>(1);
        EXPECT_EQ(E_INVALIDARG, phone3->get_DeviceId(index, &out));
        EXPECT_EQ(nullptr, out);
    }
    ASSERT_EQ(S_OK, phone->Stop());
    head.reset();
    EXPECT_EQ(E_FAIL, phone3->Mute(VARIANT_FALSE)) << "after Stop";
    EXPECT_EQ(0, head.State().recorded);
}

// One argument of a late-bound call, made from a text, a number or a flag.
struct Arg {
    VARTYPE type;
    const wchar_t* text;
    LONG number;
};

// Every IKexPhone3 member through IDispatch::Invoke, with the argument types
// VBScript and JScript pass.
TEST_F(PhoneDevicesTest, EachMemberLateBound)
{
    ASSERT_EQ(S_OK, phone->Start());
    com_ptr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, phone3->QueryInterface(IID_IDispatch, dispatch.put_void()));
    const WORD kGet = DISPATCH_PROPERTYGET, kScriptGet = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    struct Row {
        const char* what;
        DISPID id;
        WORD flags;
        std::vector<Arg> args; // in parameter order
        HRESULT hr;
        VARTYPE resultType;
        const wchar_t* text; // a VT_BSTR result
        LONG number;         // a VT_I4 result, or the wParam of a command Head receives
        uint32_t code;       // the command Head receives; 0: none
    } rows[] = {
        {"Mute(true)", 19, DISPATCH_METHOD, {{VT_BOOL, nullptr, VARIANT_TRUE}}, S_OK, VT_EMPTY, nullptr, 1,
         KEX_CMD_MUTE},
        {"Mute(0) as VBScript's short", 19, DISPATCH_METHOD, {{VT_I2, nullptr, 0}}, S_OK, VT_EMPTY, nullptr, 0,
         KEX_CMD_MUTE},
        {"Mute(1) as JScript's number", 19, DISPATCH_METHOD, {{VT_I4, nullptr, 1}}, S_OK, VT_EMPTY, nullptr, 1,
         KEX_CMD_MUTE},
        {"Mute without its argument", 19, DISPATCH_METHOD, {}, DISP_E_BADPARAMCOUNT, VT_EMPTY, nullptr, 0, 0},
        {"DeviceCount", 20, kGet, {}, S_OK, VT_I4, nullptr, 3, 0},
        {"DeviceCount as a script reads it", 20, kScriptGet, {}, S_OK, VT_I4, nullptr, 3, 0},
        {"DeviceId(1)", 21, kScriptGet, {{VT_I2, nullptr, 1}}, S_OK, VT_BSTR, L"Head/h1", 0, 0},
        {"DeviceId(\"2\")", 21, kGet, {{VT_BSTR, L"2", 0}}, S_OK, VT_BSTR, L"Head/h2", 0, 0},
        {"DeviceId(3)", 21, kGet, {{VT_I4, nullptr, 3}}, E_INVALIDARG, VT_EMPTY, nullptr, 0, 0},
        {"Devices", 22, kScriptGet, {}, S_OK, VT_ARRAY | VT_VARIANT, nullptr, 0, 0},
        {"DeviceName", 23, kGet, {{VT_BSTR, L"Head/h1", 0}}, S_OK, VT_BSTR, L"Headset One", 0, 0},
        {"DeviceName, unknown", 23, kGet, {{VT_BSTR, L"Nope", 0}}, E_INVALIDARG, VT_EMPTY, nullptr, 0, 0},
        {"DeviceVendorId", 24, kScriptGet, {{VT_BSTR, L"Head/h1", 0}}, S_OK, VT_I4, nullptr, 0x0b0e, 0},
        {"DeviceProductId", 25, kGet, {{VT_BSTR, L"Head/h1", 0}}, S_OK, VT_I4, nullptr, 0x0348, 0},
        {"DeviceSerial", 26, kGet, {{VT_BSTR, L"Head/h1", 0}}, S_OK, VT_BSTR, L"SN-1", 0, 0},
        {"ActiveDevice put", 27, DISPATCH_PROPERTYPUT, {{VT_BSTR, L"Head/h2", 0}}, S_OK, VT_EMPTY, nullptr, 0, 0},
        {"ActiveDevice get", 27, kScriptGet, {}, S_OK, VT_BSTR, L"Head/h2", 0, 0},
        {"ActiveDevice put, unknown", 27, DISPATCH_PROPERTYPUT, {{VT_BSTR, L"Nope", 0}}, E_INVALIDARG, VT_EMPTY,
         nullptr, 0, 0},
        {"ActiveDevice put \"\"", 27, DISPATCH_PROPERTYPUT, {{VT_BSTR, L"", 0}}, S_OK, VT_EMPTY, nullptr, 0, 0},
        {"EventDevice outside a handler", 28, kGet, {}, S_OK, VT_BSTR, L"", 0, 0},
        // Members are told apart by their arguments, as for IsStarted.
        {"EventDevice cannot be set", 28, DISPATCH_PROPERTYPUT, {{VT_BSTR, L"Alpha", 0}}, DISP_E_BADPARAMCOUNT,
         VT_EMPTY, nullptr, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        head.reset();
        std::vector<VARIANT> args(row.args.size());
        for (size_t i = 0; i < row.args.size(); ++i) {
            VARIANT& v = args[row.args.size() - 1 - i]; // the last parameter first
            const Arg& a = row.args[i];
            VariantInit(&v);
            V_VT(&v) = a.type;
            if (a.type == VT_BSTR)
                V_BSTR(&v) = SysAllocString(a.text);
            else if (a.type == VT_I2)
                V_I2(&v) = static_cast<SHORT>(a.number);
            else if (a.type == VT_BOOL)
                V_BOOL(&v) = static_cast<VARIANT_BOOL>(a.number);
            else
                V_I4(&v) = a.number;
        }
        DISPID put = DISPID_PROPERTYPUT;
        const bool isPut = row.flags == DISPATCH_PROPERTYPUT;
        DISPPARAMS params = {args.data(), isPut ? &put : nullptr, static_cast<UINT>(args.size()), isPut ? 1u : 0u};
        kex::unique_variant result;
        EXPECT_EQ(row.hr, dispatch->Invoke(row.id, IID_NULL, LOCALE_USER_DEFAULT, row.flags, &params, &result,
                                           nullptr, nullptr));
        for (VARIANT& v : args)
            VariantClear(&v);
        EXPECT_EQ(row.resultType, V_VT(&result));
        if (row.resultType == VT_BSTR) {
            EXPECT_EQ(row.text, W(V_BSTR(&result)));
        } else if (row.resultType == VT_I4) {
            EXPECT_EQ(row.number, V_I4(&result));
        } else if (row.resultType == (VT_ARRAY | VT_VARIANT)) {
            LONG high = -1;
            SafeArrayGetUBound(V_ARRAY(&result), 1, &high);
            EXPECT_EQ(2, high);
        }
        ASSERT_EQ(row.code ? 1 : 0, head.State().recorded);
        if (row.code) {
            EXPECT_EQ(row.code, Last(head).code);
            EXPECT_EQ(static_cast<uintptr_t>(row.number), Last(head).wParam);
        }
    }

    // With an EXCEPINFO, as script engines call: the error information is
    // moved into it, where scripts read the description.
    struct ErrorRow {
        const char* what;
        DISPID id;
        WORD flags;
        const wchar_t* argument; // null: an index of 7
        HRESULT code;
        const wchar_t* inDescription;
    } errorRows[] = {
        {"ActiveDevice put", 27, DISPATCH_PROPERTYPUT, L"Head/none", E_INVALIDARG, L"\"Head/none\""},
        {"DeviceSerial", 26, kScriptGet, L"x", E_INVALIDARG, L"\"x\""},
        {"DeviceId", 21, kScriptGet, nullptr, E_INVALIDARG, L"7"},
    };
    for (const ErrorRow& row : errorRows) {
        SCOPED_TRACE(row.what);
        kex::unique_variant arg;
        if (row.argument) {
            V_VT(&arg) = VT_BSTR;
            V_BSTR(&arg) = SysAllocString(row.argument);
        } else {
            V_VT(&arg) = VT_I4;
            V_I4(&arg) = 7;
        }
        DISPID put = DISPID_PROPERTYPUT;
        const bool isPut = row.flags == DISPATCH_PROPERTYPUT;
        DISPPARAMS params = {&arg, isPut ? &put : nullptr, 1, isPut ? 1u : 0u};
        EXCEPINFO excep = {};
        kex::unique_variant result;
        ASSERT_EQ(DISP_E_EXCEPTION,
                  dispatch->Invoke(row.id, IID_NULL, LOCALE_USER_DEFAULT, row.flags, &params, &result, &excep, nullptr));
        EXPECT_EQ(row.code, excep.scode);
        const std::wstring description = W(excep.bstrDescription);
        EXPECT_NE(std::wstring::npos, description.find(row.inDescription))
            << std::string(description.begin(), description.end());
        EXPECT_EQ(L"KexUSBPhone.KexPhone", W(excep.bstrSource));
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
    }
    // An IKexPhone member answers as before: its own result.
    ASSERT_EQ(S_OK, phone->Stop());
    EXCEPINFO excep = {};
    DISPPARAMS none = {};
    EXPECT_EQ(E_FAIL, dispatch->Invoke(14, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, &excep,
                                       nullptr)) << "Ready while stopped";
}

} // namespace
