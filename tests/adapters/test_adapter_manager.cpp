// CUSBManager: which adapters "USBPhone.ini" binds, in which order, and the
// broadcast, name and unloading of the set.
#include "adapters/AdapterManager.h"
#include "tests/adapters/adapter_test_util.h"
#include "win32/text.h"

using namespace adapter_test;

namespace {

const char kRec[] = "recording_adapter.dll";

class AdapterManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        Journal();
        LogCapture::Instance().Take();
        TakeJournal();
    }
    void WriteIni(const std::string& text) { ASSERT_TRUE(WriteFile(dir / "USBPhone.ini", text)); }
    // The configuration, and a copy of the recording adapter under each name.
    void Lay(const std::string& ini, std::initializer_list<const char*> recordingAdapters)
    {
        WriteIni(ini);
        for (const char* name : recordingAdapters)
            dir.CopyFromBin(kRec, name);
    }

    TempDir dir;
};

struct BindCase {
    const char* what;
    const char* ini;
    std::vector<std::pair<const char*, const char*>> copies; // {source dll, name in the component's directory}
    int load;
    std::vector<std::string> bound;  // library files, in binding order
    std::vector<std::string> errors; // "<ini>" stands for the configuration's full name
    std::vector<std::string> infos;
};

TEST_F(AdapterManager, BindingTable)
{
    const BindCase cases[] = {
        {"key bytes order: Alpha before zeta", "[AdapterList]\nzeta=z.dll\nAlpha=a.dll\n",
         {{kRec, "z.dll"}, {kRec, "a.dll"}}, 0, {"a.dll", "z.dll"}, {}, {}},
        {"key bytes order: Zeta before alpha", "[AdapterList]\nalpha=a.dll\nZeta=z.dll\n",
         {{kRec, "z.dll"}, {kRec, "a.dll"}}, 0, {"z.dll", "a.dll"}, {}, {}},
        {"prefix first", "[AdapterList]\nab=b.dll\na=a.dll\n", {{kRec, "a.dll"}, {kRec, "b.dll"}}, 0,
         {"a.dll", "b.dll"}, {}, {}},
        {"a key listed twice binds its first line", "[AdapterList]\none=a.dll\none=b.dll\n",
         {{kRec, "a.dll"}, {kRec, "b.dll"}}, 0, {"a.dll"}, {}, {}},
        {"two keys naming one file bind it twice", "[AdapterList]\nk1=a.dll\nk2=a.dll\n", {{kRec, "a.dll"}}, 0,
         {"a.dll", "a.dll"}, {}, {}},
        {"line without =", "[AdapterList]\nlonely\n", {}, 1, {},
         {"LoadLibrary  failed.", "LoadLibrary : system error 126 (the file, or a library it needs, was not found).", "Load  failed, so delete it."}, {}},
        {"Varne in capitals is skipped", "[AdapterList]\nv=USBADAPTER_VARNE.DLL\nw=a.dll\n",
         {{kRec, "usbadapter_varne.dll"}, {kRec, "a.dll"}}, 0, {"a.dll"}, {}, {"Do not use USBAdapter_Varne.dll."}},
        {"Varne enabled by 1", "[Common]\nUseVarneUSBPhone=1\n[AdapterList]\nv=usbadapter_varne.dll\n",
         {{kRec, "usbadapter_varne.dll"}}, 0, {"usbadapter_varne.dll"}, {}, {}},
        {"Varne enabled by 1 between spaces", "[Common]\nUseVarneUSBPhone =  1 \n[AdapterList]\nv=usbadapter_varne.dll\n",
         {{kRec, "usbadapter_varne.dll"}}, 0, {"usbadapter_varne.dll"}, {}, {}},
        {"Varne not enabled by yes", "[Common]\nUseVarneUSBPhone=yes\n[AdapterList]\nv=usbadapter_varne.dll\n",
         {{kRec, "usbadapter_varne.dll"}}, 1, {}, {}, {"Do not use USBAdapter_Varne.dll."}},
        {"Varne not enabled by 01", "[Common]\nUseVarneUSBPhone=01\n[AdapterList]\nv=usbadapter_varne.dll\n",
         {{kRec, "usbadapter_varne.dll"}}, 1, {}, {}, {"Do not use USBAdapter_Varne.dll."}},
        {"a name that only starts with Varne's is bound", "[AdapterList]\nv=usbadapter_varne.dllx\n",
         {{kRec, "usbadapter_varne.dllx"}}, 0, {"usbadapter_varne.dllx"}, {}, {}},
        {"a name that Varne's only starts with is bound", "[AdapterList]\nv=usbadapter_varne.dl\n",
         {{kRec, "usbadapter_varne.dl"}}, 0, {"usbadapter_varne.dl"}, {}, {}},
        {"Varne with a directory is not recognised", "[AdapterList]\nv=.\\usbadapter_varne.dll\n",
         {{kRec, "usbadapter_varne.dll"}}, 0, {"usbadapter_varne.dll"}, {}, {}},
        {"missing file", nullptr, {}, 1, {}, {"Open file <ini> failed."}, {}},
        {"no [AdapterList]", "[Common]\nUseVarneUSBPhone=1\n", {}, 1, {}, {"There is no section [AdapterList]."}, {}},
        {"empty [AdapterList]", "[AdapterList]\n; nothing here\n[Other]\nk=v\n", {}, 1, {},
         {"There is no section [AdapterList]."}, {}},
        {"section name is case-sensitive", "[adapterlist]\na=a.dll\n", {{kRec, "a.dll"}}, 1, {},
         {"There is no section [AdapterList]."}, {}},
        {"spaces inside the brackets", "[  AdapterList ]\na=a.dll\n", {{kRec, "a.dll"}}, 0, {"a.dll"}, {}, {}},
        {"a Ctrl-Z before the list, CR LF line ends", "; saved by an old editor\x1a\r\n[AdapterList]\r\na=a.dll\r\n",
         {{kRec, "a.dll"}}, 0, {"a.dll"}, {}, {}},
        {"all adapters fail", "[AdapterList]\na=missing.dll\nb=broken_intialize_1.dll\n",
         {{"broken_intialize_1.dll", "broken_intialize_1.dll"}}, 1, {},
         {"LoadLibrary missing.dll failed.", "LoadLibrary missing.dll: system error 126 (the file, or a library it needs, was not found).",
          "Load missing.dll failed, so delete it.", "Intialize broken_intialize_1.dll failed.", "Load broken_intialize_1.dll failed, so delete it."},
         {}},
        {"a failing adapter does not stop the others", "[AdapterList]\na=missing.dll\nb=b.dll\n",
         {{kRec, "b.dll"}}, 0, {"b.dll"},
         {"LoadLibrary missing.dll failed.", "LoadLibrary missing.dll: system error 126 (the file, or a library it needs, was not found).",
          "Load missing.dll failed, so delete it."},
         {}},
    };
    for (const BindCase& row : cases) {
        SCOPED_TRACE(row.what);
        TempDir component;
        if (row.ini) {
            ASSERT_TRUE(WriteFile(component / "USBPhone.ini", row.ini));
        }
        for (const auto& copy : row.copies)
            component.CopyFromBin(copy.first, copy.second);

        std::vector<std::string> bound, executed;
        {
            CUSBManager manager(component.Path());
            EXPECT_EQ(row.load, manager.Load(NullCallback));
            EXPECT_EQ(row.bound.size(), manager.GetAdapterCount());

            const std::vector<Record> records = LogCapture::Instance().Take();
            std::vector<std::string> expectedErrors = row.errors;
            for (std::string& e : expectedErrors)
                if (e.find("<ini>") != std::string::npos)
                    e.replace(e.find("<ini>"), 5, component / "USBPhone.ini");
            EXPECT_EQ(expectedErrors, Messages(records, "Error"));
            EXPECT_EQ(row.infos, Messages(records, "INFO"));
            const std::vector<JournalEvent> loadEvents = TakeJournal();
            for (const JournalEvent& e : loadEvents)
                if (e.event == REC_EV_INTIALIZE && e.result == 0)
                    bound.push_back(BaseName(e.module));

            manager.execute(KEX_CMD_READY, 0, 0);
            executed = Modules(TakeJournal(), REC_EV_EXECUTE);
            manager.UnLoad();
        }
        EXPECT_EQ(row.bound, bound);
        EXPECT_EQ(row.bound, executed) << "commands follow the binding order";
        const std::vector<JournalEvent> events = TakeJournal();
        EXPECT_EQ(row.bound.size(), Modules(events, REC_EV_UNINITIALIZE).size());
        LogCapture::Instance().Take();
    }
}

TEST_F(AdapterManager, InfoRecordForSkippedVarne)
{
    Lay("[Common]\nUseVarneUSBPhone=yes\n[AdapterList]\nv=UsbAdapter_Varne.dll\nw=a.dll\n",
        {"a.dll", "UsbAdapter_Varne.dll"});
    CUSBManager manager(dir.Path());
    EXPECT_EQ(0, manager.Load(NullCallback));
    EXPECT_EQ(std::vector<std::string>{"Do not use USBAdapter_Varne.dll."}, LogCapture::Instance().Take("INFO"));
    EXPECT_EQ(std::vector<std::string>{"a.dll"}, Modules(TakeJournal(), REC_EV_ATTACH));
}

TEST_F(AdapterManager, BroadcastGoesOnPastFailures)
{
    WriteIni("[AdapterList]\nbad=fails.dll\ngood=rec.dll\n");
    dir.CopyFromBin("broken_execute_fails.dll", "fails.dll");
    dir.CopyFromBin(kRec, "rec.dll");
    CUSBManager manager(dir.Path());
    ASSERT_EQ(0, manager.Load(NullCallback));
    LogCapture::Instance().Take();
    TakeJournal();

    const char* peer = "Alice";
    const char* number = "100";
    EXPECT_EQ(0, manager.execute(KEX_CMD_LINK, reinterpret_cast<uintptr_t>(peer), reinterpret_cast<uintptr_t>(number)));
    EXPECT_EQ(std::vector<std::string>{"[bad] execute cmd failed."}, LogCapture::Instance().Take("Error"));
    EXPECT_EQ((std::vector<std::string>{"fails.dll", "rec.dll"}), Modules(TakeJournal(), REC_EV_EXECUTE));

    RecAdapter rec = rec_bind("rec.dll");
    RecCommand c;
    std::memset(&c, 0xcc, sizeof c);
    ASSERT_EQ(0, rec.getCommand(0, &c));
    EXPECT_EQ(2u, c.code);
    EXPECT_STREQ("Alice", c.text[0]);
    EXPECT_STREQ("100", c.text[1]);

    // The failing adapter stays in the set and keeps receiving commands.
    EXPECT_EQ(0, manager.execute(KEX_CMD_READY, 0, 0));
    EXPECT_EQ(std::vector<std::string>{"[bad] execute cmd failed."}, LogCapture::Instance().Take("Error"));
    EXPECT_EQ(2u, manager.GetAdapterCount());
}

// An exception escaping an adapter stops at that adapter's call: it counts
// as that adapter's failure, is logged with its name, and the others still
// get the call.
TEST_F(AdapterManager, AnExceptionFromAnAdapterIsItsOwnFailure)
{
    if (sizeof(void*) == 4)
        GTEST_SKIP() << "32-bit gcc adapters unwind with their own static runtime and cannot throw into a caller";
    const struct {
        const char* what;
        const char* dll;
        int load;
        size_t bound;
        std::vector<std::string> loadErrors, executeErrors, unloadErrors;
    } cases[] = {
        {"Intialize", "throwing_intialize.dll", 0, 1,
         {"[bad] Intialize threw an exception.", "Intialize bad.dll failed.", "Load bad.dll failed, so delete it."},
         {}, {}},
        {"execute", "throwing_execute.dll", 0, 2, {},
         {"[bad] execute threw an exception.", "[bad] execute cmd failed."}, {}},
        {"UnInitialize", "throwing_uninitialize.dll", 0, 2, {}, {}, {"[bad] UnInitialize threw an exception."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteIni("[AdapterList]\nbad=bad.dll\ngood=rec.dll\n");
        dir.CopyFromBin(c.dll, "bad.dll");
        dir.CopyFromBin(kRec, "rec.dll");
        {
            CUSBManager manager(dir.Path());
            EXPECT_EQ(c.load, manager.Load(NullCallback));
            EXPECT_EQ(c.loadErrors, LogCapture::Instance().Take("Error"));
            EXPECT_EQ(c.bound, manager.GetAdapterCount());
            TakeJournal();
            EXPECT_EQ(0, manager.execute(KEX_CMD_READY, 0, 0));
            EXPECT_EQ(c.executeErrors, LogCapture::Instance().Take("Error"));
            EXPECT_EQ(std::vector<std::string>{"rec.dll"}, Modules(TakeJournal(), REC_EV_EXECUTE))
                << "the broadcast stopped at the failing adapter";
            manager.UnLoad();
            EXPECT_EQ(c.unloadErrors, LogCapture::Instance().Take("Error"));
            EXPECT_EQ(std::vector<std::string>{"rec.dll"}, Modules(TakeJournal(), REC_EV_UNINITIALIZE));
        }
        EXPECT_EQ(nullptr, GetModuleHandleA((dir / "bad.dll").c_str())) << "library left loaded";
    }
}

TEST_F(AdapterManager, OnlyAdapterFailingEveryCommandStillAnswersZero)
{
    WriteIni("[AdapterList]\nbad=fails.dll\n");
    dir.CopyFromBin("broken_execute_fails.dll", "fails.dll");
    CUSBManager manager(dir.Path());
    ASSERT_EQ(0, manager.Load(NullCallback));
    LogCapture::Instance().Take();
    for (uint32_t code = KEX_CMD_FIRST; code <= KEX_CMD_LAST; ++code) {
        SCOPED_TRACE(testing::Message() << "code " << code);
        EXPECT_EQ(0, manager.execute(code, 0, 0));
        EXPECT_EQ(std::vector<std::string>{"[bad] execute cmd failed."}, LogCapture::Instance().Take("Error"));
    }
}

TEST_F(AdapterManager, ExecuteWithoutAdapters)
{
    CUSBManager manager(dir.Path());
    EXPECT_EQ(1, manager.execute(KEX_CMD_READY, 0, 0));
    EXPECT_EQ("", manager.GetUSBName());
    EXPECT_TRUE(LogCapture::Instance().Take("Error").empty());
}

TEST_F(AdapterManager, UsbNameWithOneAndTwoAdapters)
{
    dir.CopyFromBin(kRec, "a.dll");
    dir.CopyFromBin(kRec, "b.dll");
    const struct {
        const char* ini;
        const char* name;
    } rows[] = {
        {"[AdapterList]\nDesk Phone=a.dll\n", "Desk Phone"},
        {"[AdapterList]\nDesk Phone=a.dll\nHeadset=b.dll\n", ""},
        {"[AdapterList]\nDesk Phone=a.dll\nHeadset=missing.dll\n", "Desk Phone"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.ini);
        WriteIni(row.ini);
        CUSBManager manager(dir.Path());
        ASSERT_EQ(0, manager.Load(NullCallback));
        EXPECT_EQ(row.name, manager.GetUSBName());
        manager.UnLoad();
        EXPECT_EQ("", manager.GetUSBName());
    }
}

TEST_F(AdapterManager, UnLoadTwice)
{
    Lay("[AdapterList]\na=a.dll\nb=b.dll\n", {"a.dll", "b.dll"});
    {
        CUSBManager manager(dir.Path());
        ASSERT_EQ(0, manager.Load(NullCallback));
        TakeJournal();
        manager.UnLoad();
        std::vector<JournalEvent> events = TakeJournal();
        EXPECT_EQ((std::vector<std::string>{"a.dll", "b.dll"}), Modules(events, REC_EV_UNINITIALIZE));
        EXPECT_EQ((std::vector<std::string>{"a.dll", "b.dll"}), Modules(events, REC_EV_DETACH));
        EXPECT_EQ(0u, manager.GetAdapterCount());

        manager.UnLoad();
        EXPECT_TRUE(TakeJournal().empty());
        EXPECT_EQ(1, manager.execute(KEX_CMD_READY, 0, 0));
    }
    EXPECT_TRUE(TakeJournal().empty()) << "deleting an unloaded manager touches no adapter";
    EXPECT_TRUE(LogCapture::Instance().Take("Error").empty());
}

TEST_F(AdapterManager, DeletionUnloadsInBindingOrder)
{
    Lay("[AdapterList]\nz=z.dll\nA=a.dll\n", {"a.dll", "z.dll"});
    {
        CUSBManager manager(dir.Path());
        ASSERT_EQ(0, manager.Load(NullCallback));
        TakeJournal();
    }
    const std::vector<JournalEvent> events = TakeJournal();
    EXPECT_EQ((std::vector<std::string>{"a.dll", "z.dll"}), Modules(events, REC_EV_UNINITIALIZE));
    EXPECT_EQ((std::vector<std::string>{"a.dll", "z.dll"}), Modules(events, REC_EV_DETACH));
}

TEST_F(AdapterManager, HandsTheCallbackToEveryAdapter)
{
    Lay("[AdapterList]\na=a.dll\nb=b.dll\n", {"a.dll", "b.dll"});
    CUSBManager manager(dir.Path());
    ASSERT_EQ(0, manager.Load(NullCallback));
    for (const char* name : {"a.dll", "b.dll"}) {
        SCOPED_TRACE(name);
        const RecState s = rec_bind(name).State();
        EXPECT_EQ(1, s.intializeCalls);
        EXPECT_EQ(NullCallback, s.callback);
    }
}

TEST_F(AdapterManager, TracesEnterAndLeave)
{
    {
        CUSBManager manager(dir.Path());
        manager.Load(NullCallback);
        manager.execute(KEX_CMD_READY, 0, 0);
        manager.GetUSBName();
    }
    std::vector<std::string> trace;
    for (const Record& r : LogCapture::Instance().Take())
        trace.push_back(r.level + " " + r.message);
    const std::vector<std::string> expected = {
        "Enter CUSBManager::CUSBManager.",
        "Leave CUSBManager::CUSBManager.",
        "Enter CUSBManager::Load.",
        "Error Open file " + (dir / "USBPhone.ini") + " failed.",
        "Leave CUSBManager::Load.",
        "Enter CUSBManager::execute.",
        "Leave CUSBManager::execute.",
        "Enter CUSBManager::GetUSBName.",
        "Leave CUSBManager::GetUSBName.",
        "Enter CUSBManager::~CUSBManager.",
        "Enter CUSBManager::UnLoad.",
        "Leave CUSBManager::UnLoad.",
        "Leave CUSBManager::~CUSBManager.",
    };
    EXPECT_EQ(expected, trace);
}

// ---- The component's directory ---------------------------------------------

TEST_F(AdapterManager, DirectoryIsTheHostsWithoutTheComponentModule)
{
    ASSERT_EQ(nullptr, GetModuleHandleA("KexUSBPhone.dll"));
    EXPECT_EQ(Lower(BinDir()), Lower(kex::narrow(KexComponentDirectoryW())));
    CUSBManager manager;
    EXPECT_EQ(Lower(BinDir()), Lower(manager.GetPath()));
}

TEST_F(AdapterManager, DirectoryIsTheComponentModules)
{
    // Any library under the component's file name stands in for it.
    Lay("[AdapterList]\nOnly=a.dll\n", {"KexUSBPhone.dll", "a.dll"});
    HMODULE component = LoadLibraryA((dir / "KexUSBPhone.dll").c_str());
    ASSERT_NE(nullptr, component);
    {
        EXPECT_EQ(Lower(dir.Path()), Lower(kex::narrow(KexComponentDirectoryW())));
        CUSBManager manager;
        EXPECT_EQ(Lower(dir.Path()), Lower(manager.GetPath()));
        EXPECT_EQ(0, manager.Load(NullCallback));
        EXPECT_EQ("Only", manager.GetUSBName());
    }
    FreeLibrary(component);
}

TEST_F(AdapterManager, DirectoryOverrideForStaticallyLinkedHosts)
{
    const std::string withSlash = dir.Path();
    CUSBManager::SetDirectoryOverride(withSlash.substr(0, withSlash.size() - 1));
    EXPECT_EQ(withSlash, CUSBManager().GetPath());
    CUSBManager::SetDirectoryOverride("");
    EXPECT_EQ(Lower(BinDir()), Lower(CUSBManager().GetPath()));
}

TEST_F(AdapterManager, TestDirectoryGetsABackslash)
{
    const std::string withSlash = dir.Path();
    CUSBManager manager(withSlash.substr(0, withSlash.size() - 1));
    EXPECT_EQ(withSlash, manager.GetPath());
}

} // namespace
