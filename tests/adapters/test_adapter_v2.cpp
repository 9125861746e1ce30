// Contract version 2 at the binding: which version an adapter is bound in,
// the host record it gets, the descriptions it may give and the reports it
// makes, through the version-2 recording adapter.
#include "adapters/AdapterManager.h"
#include "tests/adapters/adapter_test_util.h"

#include <mutex>

using namespace adapter_test;

namespace {

const char kRecV2[] = "recording_adapter_v2.dll";

std::u16string U16(const char* ascii) { return std::u16string(ascii, ascii + std::strlen(ascii)); }

// What the manager hands the host of version-2 reports, and the device list
// as the host could read it then.
struct Reported {
    std::u16string device;
    uint32_t msg, w;
    int32_t l;
    std::vector<std::u16string> listed;
};
std::mutex g_reportedLock;
std::vector<Reported> g_reported;
const CUSBManager* g_reportingManager;

void KEX_CDECL RecordReport(const std::u16string& device, uint32_t msg, uint32_t w, int32_t l)
{
    std::vector<std::u16string> listed;
    if (g_reportingManager)
        listed = g_reportingManager->DeviceIds();
    std::lock_guard<std::mutex> hold(g_reportedLock);
    g_reported.push_back({device, msg, w, l, listed});
}

std::vector<Reported> TakeReported()
{
    std::lock_guard<std::mutex> hold(g_reportedLock);
    return std::move(g_reported);
}

class AdapterV2 : public ::testing::Test {
protected:
    void SetUp() override
    {
        Journal();
        LogCapture::Instance().Take();
        TakeJournal();
        TakeReported();
    }
    void TearDown() override
    {
        g_reportingManager = nullptr;
        manager.reset();
        for (HMODULE m : m_held)
            FreeLibrary(m);
    }

    // A copy of a test adapter in the test's folder, loaded by the test so it
    // can be set up before the component binds it.
    RecAdapter Prepare(const char* dll, const std::string& as)
    {
        dir.CopyFromBin(dll, as);
        HMODULE m = LoadLibraryA((dir / as).c_str());
        EXPECT_NE(nullptr, m) << as;
        m_held.push_back(m);
        RecAdapter a = rec_bind(m);
        if (a)
            a.reset();
        return a;
    }

    // A manager over [AdapterList] lines "key=file".
    void Bind(const std::string& lines)
    {
        ASSERT_TRUE(WriteFile(dir / "USBPhone.ini", "[AdapterList]\n" + lines));
        manager = std::make_unique<CUSBManager>(dir.Path());
        g_reportingManager = manager.get();
        ASSERT_EQ(0, manager->Load(NullCallback, RecordReport));
    }

    std::vector<std::u16string> Ids() const { return manager->DeviceIds(); }

    TempDir dir;
    std::unique_ptr<CUSBManager> manager;
    std::vector<HMODULE> m_held;
};

TEST_F(AdapterV2, VersionNegotiation)
{
    const int32_t kAsBuilt = INT32_MIN;
    struct Row {
        const char* what;
        const char* dll;
        int32_t declared; // what "KexAdapterVersion" answers; kAsBuilt: left alone
        int bound;
        int32_t entry;      // the entry point commands come through
        const char* error;  // the one error record, "%s" the file; null: none
    } rows[] = {
        {"no KexAdapterVersion", "recording_adapter.dll", kAsBuilt, 1, REC_ENTRY_EXECUTE, nullptr},
        {"answers 1", kRecV2, 1, 1, REC_ENTRY_EXECUTE, nullptr},
        {"answers 0", kRecV2, 0, 1, REC_ENTRY_EXECUTE, nullptr},
        {"answers 2", kRecV2, 2, 2, REC_ENTRY_EXECUTE2, nullptr},
        {"answers 3: the component's own", kRecV2, 3, 2, REC_ENTRY_EXECUTE2, nullptr},
        {"claims 2 without KexInitialize2", "recording_adapter_v2_no_initialize2.dll", 2, 1, REC_ENTRY_EXECUTE,
         "%s declares contract version 2 without KexInitialize2 and KexExecute2: bound as version 1."},
        {"claims 3 without KexExecute2", "recording_adapter_v2_no_execute2.dll", 3, 1, REC_ENTRY_EXECUTE,
         "%s declares contract version 3 without KexInitialize2 and KexExecute2: bound as version 1."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string file = std::string("v") + std::to_string(&row - rows) + ".dll";
        RecAdapter rec = Prepare(row.dll, file);
        ASSERT_TRUE(rec);
        if (row.declared != kAsBuilt)
            rec.setVersion(row.declared);

        CUSBAdapter adapter;
        ASSERT_EQ(0, adapter.load(file.c_str(), "Key", NullCallback, dir.Path().c_str()));
        EXPECT_EQ(row.bound, adapter.Version());
        const RecState s = rec.State();
        EXPECT_EQ(row.bound == 1 ? 1 : 0, s.intializeCalls);
        EXPECT_EQ(row.bound == 2 ? 1 : 0, s.initialize2Calls);
        if (row.bound == 1) {
            EXPECT_EQ(NullCallback, s.callback);
        } else {
            EXPECT_EQ(nullptr, s.callback);
            EXPECT_NE(nullptr, s.host);
        }

        EXPECT_EQ(0, adapter.execute(KEX_CMD_RING, 0, 0));
        RecCommand c = {};
        ASSERT_EQ(0, rec.getCommand(0, &c));
        EXPECT_EQ(row.entry, c.entry);
        EXPECT_EQ(0, c.hasDevice) << "a command for every device";

        const std::vector<std::string> errors = LogCapture::Instance().Take("Error");
        if (row.error) {
            ASSERT_EQ(1u, errors.size());
            std::string want = row.error;
            want.replace(want.find("%s"), 2, file);
            EXPECT_EQ(want, errors[0]);
        } else {
            EXPECT_TRUE(errors.empty()) << errors[0];
        }
    }
}

TEST_F(AdapterV2, TheHostRecordStaysAsHandedOverUntilUnInitialize)
{
    RecAdapter rec = Prepare(kRecV2, "rec.dll");
    ASSERT_TRUE(rec);
    auto adapter = std::make_unique<CUSBAdapter>();
    ASSERT_EQ(0, adapter->load("rec.dll", "Key", NullCallback, dir.Path().c_str()));
    const RecState s = rec.State();
    ASSERT_NE(nullptr, s.host);
    EXPECT_EQ(sizeof(KexHost), s.hostCopy.size);
    EXPECT_EQ(2u, s.hostCopy.version);
    EXPECT_NE(nullptr, s.hostCopy.context);
    EXPECT_NE(nullptr, s.hostCopy.Report);
    EXPECT_NE(nullptr, s.hostCopy.DescribeDevice);
    EXPECT_EQ(GetCurrentThreadId(), s.intializeThreadId);

    // Still the same record after commands and reports.
    adapter->execute(KEX_CMD_READY, 0, 0);
    const RecReport plug = {KEX_DEV_PLUG, KEX_PLUG_IN, 0, "d"};
    ASSERT_EQ(0, rec.raise(&plug, 1));
    ASSERT_EQ(1, rec.wait(10000)) << "the report thread did not finish";
    EXPECT_EQ(0, std::memcmp(&s.hostCopy, s.host, sizeof(KexHost)));
    adapter.reset();
    EXPECT_EQ(1, rec.State().unInitializeCalls);
}

TEST_F(AdapterV2, DescriptionsRefusedAndTaken)
{
    RecAdapter rec = Prepare(kRecV2, "rec.dll");
    ASSERT_TRUE(rec);
    Bind("Rec=rec.dll\n");
    struct Row {
        const char* what;
        bool null;
        uint32_t size;
        const char* id;
        int32_t answer;
    } rows[] = {
        {"no record", true, 0, "x", 1},
        {"size 0", false, 0, "x", 1},
        {"one byte short", false, sizeof(KexDeviceInfo) - 1, "x", 1},
        {"no id", false, sizeof(KexDeviceInfo), nullptr, 1},
        {"empty id", false, sizeof(KexDeviceInfo), "", 1},
        {"an adapter built with a longer record", false, sizeof(KexDeviceInfo) + 16, "long", 0},
        {"as built", false, sizeof(KexDeviceInfo), "plain", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // Room after the record: a larger size must not be read past.
        struct {
            KexDeviceInfo info;
            char tail[16];
        } record = {{row.size, row.id, "Name", 1, 2, "S"}, {}};
        EXPECT_EQ(row.answer, rec.describe(row.null ? nullptr : &record.info));
        const std::vector<std::string> errors = LogCapture::Instance().Take("Error");
        EXPECT_EQ(row.answer ? 1u : 0u, errors.size());
        DeviceFields fields;
        if (row.answer == 0) {
            ASSERT_TRUE(manager->FindDevice(u"Rec/" + U16(row.id), fields));
            EXPECT_EQ(u"Name", fields.name);
        }
    }
    // Described is known, not listed: only a plug-in lists a device.
    EXPECT_TRUE(Ids().empty());
}

TEST_F(AdapterV2, TextsAreCopiedDuringTheCall)
{
    RecAdapter rec = Prepare(kRecV2, "rec.dll");
    ASSERT_TRUE(rec);
    Bind("Rec=rec.dll\n");
    // The adapter frees its record and texts right after each call.
    auto id = std::make_unique<std::string>("head-1");
    auto name = std::make_unique<std::string>("H\xC3\xA9" "adset");
    auto serial = std::make_unique<std::string>("SN42");
    auto info = std::make_unique<KexDeviceInfo>(
        KexDeviceInfo{sizeof(KexDeviceInfo), id->c_str(), name->c_str(), 0x0b0e, 0x0348, serial->c_str()});
    ASSERT_EQ(0, rec.describe(info.get()));
    std::memset(info.get(), 0xA5, sizeof *info);
    id->assign(id->size(), 'X');
    name->assign(name->size(), 'X');
    serial->assign(serial->size(), 'X');
    info.reset();
    name.reset();
    serial.reset();

    const RecReport plug = {KEX_DEV_PLUG, KEX_PLUG_IN, 1, "head-1"};
    ASSERT_EQ(0, rec.raise(&plug, 1)); // rec_raise's own copy is freed when the thread ends
    ASSERT_EQ(1, rec.wait(10000)) << "the report thread did not finish";
    id.reset();

    ASSERT_EQ(std::vector<std::u16string>{u"Rec/head-1"}, Ids());
    DeviceFields f;
    ASSERT_TRUE(manager->FindDevice(u"Rec/head-1", f));
    EXPECT_EQ(u"H\u00E9adset", f.name);
    EXPECT_EQ(0x0b0e, f.vendorId);
    EXPECT_EQ(0x0348, f.productId);
    EXPECT_EQ(u"SN42", f.serial);
}

TEST_F(AdapterV2, ReportsNameTheirDeviceAndPlugsChangeTheListFirst)
{
    RecAdapter rec = Prepare(kRecV2, "rec.dll");
    ASSERT_TRUE(rec);
    const KexDeviceInfo start[] = {{sizeof(KexDeviceInfo), "a", "Alpha", 0, 0, nullptr}};
    const RecReport startReports[] = {{KEX_DEV_PLUG, KEX_PLUG_IN, 0, "a"}};
    rec.atStart(start, 1, startReports, 1);
    Bind("Rec=rec.dll\n");
    // Found at start: listed once KexInitialize2 has returned.
    EXPECT_EQ(std::vector<std::u16string>{u"Rec/a"}, Ids());
    TakeReported();

    struct Row {
        const char* what;
        RecReport report;
        const char16_t* device;
        std::vector<std::u16string> listed;
    } rows[] = {
        {"a key of the first device", {KEX_DEV_KEY, KEX_KEY_5, 0, "a"}, u"Rec/a", {u"Rec/a"}},
        {"no id: the first described device", {KEX_DEV_PICKUP, 0, 0, nullptr}, u"Rec/a", {u"Rec/a"}},
        {"empty id: the same", {KEX_DEV_HANGUP, 0, 0, ""}, u"Rec/a", {u"Rec/a"}},
        {"an unknown device's key names it, unlisted", {KEX_DEV_KEY, 1, 0, "b"}, u"Rec/b", {u"Rec/a"}},
        {"its plug-in lists it", {KEX_DEV_PLUG, KEX_PLUG_IN, 0, "b"}, u"Rec/b", {u"Rec/a", u"Rec/b"}},
        {"a second plug-in changes nothing", {KEX_DEV_PLUG, KEX_PLUG_IN, 1, "b"}, u"Rec/b", {u"Rec/a", u"Rec/b"}},
        {"another plug state changes nothing", {KEX_DEV_PLUG, 5, 0, "a"}, u"Rec/a", {u"Rec/a", u"Rec/b"}},
        {"plug-out unlists", {KEX_DEV_PLUG, KEX_PLUG_OUT, 0, "a"}, u"Rec/a", {u"Rec/b"}},
        {"replug: the same id, at the end", {KEX_DEV_PLUG, KEX_PLUG_IN, 0, "a"}, u"Rec/a", {u"Rec/b", u"Rec/a"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(0, rec.raise(&row.report, 1));
        ASSERT_EQ(1, rec.wait(10000)) << "the report thread did not finish";
        const std::vector<Reported> got = TakeReported();
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(row.device, got[0].device);
        EXPECT_EQ(row.report.msg, got[0].msg);
        EXPECT_EQ(row.report.wParam, got[0].w);
        EXPECT_EQ(row.listed, got[0].listed) << "the list as the host reads it while handling the report";
        EXPECT_EQ(row.listed, Ids());
    }
    EXPECT_EQ(0, rec.State().raisedNonZero);
}

TEST_F(AdapterV2, CommandsGoWhereTheSelectionSays)
{
    RecAdapter v1 = Prepare("recording_adapter.dll", "one.dll");
    RecAdapter v2 = Prepare(kRecV2, "two.dll");
    ASSERT_TRUE(v1 && v2);
    const RecReport plugs[] = {{KEX_DEV_PLUG, KEX_PLUG_IN, 0, "x"}, {KEX_DEV_PLUG, KEX_PLUG_IN, 0, "y"}};
    v2.atStart(nullptr, 0, plugs, 2);
    Bind("One=one.dll\nTwo=two.dll\n");
    ASSERT_EQ((std::vector<std::u16string>{u"One", u"Two/x", u"Two/y"}), Ids());

    struct Row {
        const char* what;
        const char16_t* select;
        uint32_t code;
        int v1Commands;          // what "execute" of One receives
        const char* v2Device;    // KexExecute2's device id; null: every device; "-": nothing
    } rows[] = {
        {"all: both", u"", KEX_CMD_RING, 1, nullptr},
        {"all: mute only to version 2", u"", KEX_CMD_MUTE, 0, nullptr},
        {"Two/y: only its adapter, with its own id", u"Two/y", KEX_CMD_TALKING, 0, "y"},
        {"Two/y: mute", u"Two/y", KEX_CMD_MUTE, 0, "y"},
        {"One: only the version-1 adapter", u"One", KEX_CMD_HOLD, 1, "-"},
        {"One: mute reaches nobody", u"One", KEX_CMD_MUTE, 0, "-"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        v1.reset();
        v2.reset();
        ASSERT_TRUE(manager->SelectDevice(row.select));
        // Mute's wParam is a state; the others' are texts, here none.
        EXPECT_EQ(0, manager->execute(row.code, row.code == KEX_CMD_MUTE ? 1 : 0, 0));
        EXPECT_EQ(row.v1Commands, v1.State().recorded);
        RecCommand c = {};
        if (std::string(row.v2Device ? row.v2Device : "") == "-") {
            EXPECT_EQ(0, v2.State().recorded);
            continue;
        }
        ASSERT_EQ(1, v2.State().recorded);
        ASSERT_EQ(0, v2.getCommand(0, &c));
        EXPECT_EQ(row.code, c.code);
        EXPECT_EQ(REC_ENTRY_EXECUTE2, c.entry);
        EXPECT_EQ(row.v2Device != nullptr, c.hasDevice != 0);
        if (row.v2Device) {
            EXPECT_STREQ(row.v2Device, c.device);
        }
    }
    // Unknown ids select nothing and leave the selection as it was.
    EXPECT_FALSE(manager->SelectDevice(u"Two/z"));
    EXPECT_FALSE(manager->SelectDevice(u"one"));
    EXPECT_EQ(u"One", manager->SelectedDevice());
}

} // namespace
