// CUSBAdapter: binding one adapter library, the broken ones included, and
// where a library is looked for.
#include "adapters/AdapterManager.h"
#include "tests/adapters/adapter_test_util.h"
#include "win32/raii.h"

using namespace adapter_test;

namespace {

class AdapterBinding : public ::testing::Test {
protected:
    void SetUp() override
    {
        Journal();
        LogCapture::Instance().Take();
        TakeJournal();
    }
    TempDir dir;
};

int32_t KEX_CDECL MarkerCallback(uint32_t, uint32_t, int32_t) { return 0; }

const char kRecordingAdapter[] = "recording_adapter.dll";

struct BrokenCase {
    const char* dll;
    int loadResult;
    const char* error;      // "%s" stands for the file name; null: no error
    int intializeCalls;     // "Intialize" reached during load
    bool loadedAfterLoad;   // library still held once load returned
    int unInitializeCalls;  // by the time the object is deleted
};

const BrokenCase kBroken[] = {
    {"broken_initialize_name.dll", 1, "There is no Initialize or execute function in %s.", 0, false, 1},
    {"broken_no_intialize.dll", 1, "There is no Initialize or execute function in %s.", 0, false, 1},
    {"broken_no_execute.dll", 1, "There is no Initialize or execute function in %s.", 0, false, 1},
    {"broken_intialize_1.dll", 1, "Intialize %s failed.", 1, true, 1},
    {"broken_intialize_m1.dll", 1, "Intialize %s failed.", 1, true, 1},
    {"broken_execute_fails.dll", 0, nullptr, 1, true, 1},
    {"recording_adapter.dll", 0, nullptr, 1, true, 1},
    {"no_such_adapter.dll", 1, "LoadLibrary %s failed.", 0, false, 0},
    {"", 1, "LoadLibrary %s failed.", 0, false, 0},
};

std::string Format(const char* pattern, const std::string& file)
{
    std::string s = pattern;
    const size_t at = s.find("%s");
    return at == std::string::npos ? s : s.replace(at, 2, file);
}

TEST_F(AdapterBinding, BrokenAdaptersTable)
{
    for (const BrokenCase& row : kBroken) {
        SCOPED_TRACE(std::string("adapter \"") + row.dll + "\"");
        const std::string file = row.dll;
        if (!file.empty() && file.find("no_such") == std::string::npos)
            dir.CopyFromBin(file, file);

        auto adapter = std::make_unique<CUSBAdapter>();
        EXPECT_EQ(row.loadResult, adapter->load(file.c_str(), "name", MarkerCallback, dir.Path().c_str()));
        const bool held = !file.empty() && GetModuleHandleA((dir / file).c_str()) != nullptr;
        EXPECT_EQ(row.loadedAfterLoad, held);
        EXPECT_EQ(row.loadResult == 0 ? "name" : "", adapter->GetName());

        const std::vector<std::string> errors = LogCapture::Instance().Take("Error");
        if (row.error) {
            // A failed load is followed by the system's reason (see LoadFailureSaysWhy).
            const bool loadFailed = std::string(row.error).rfind("LoadLibrary", 0) == 0;
            ASSERT_EQ(loadFailed ? 2u : 1u, errors.size());
            EXPECT_EQ(Format(row.error, file), errors[0]);
        } else {
            EXPECT_TRUE(errors.empty()) << errors[0];
        }

        adapter.reset();
        EXPECT_EQ(nullptr, GetModuleHandleA((dir / file).c_str()));
        const std::vector<JournalEvent> events = TakeJournal();
        const int attached = Count(events, REC_EV_ATTACH, file);
        EXPECT_EQ(attached, Count(events, REC_EV_DETACH, file)) << "every load is released";
        EXPECT_EQ(row.intializeCalls, Count(events, REC_EV_INTIALIZE, file));
        EXPECT_EQ(row.unInitializeCalls, Count(events, REC_EV_UNINITIALIZE, file));
        // "UnInitialize" always runs before the release.
        for (size_t i = 1; i < events.size(); ++i) {
            if (events[i].event == REC_EV_DETACH && row.unInitializeCalls) {
                EXPECT_EQ(REC_EV_UNINITIALIZE, events[i - 1].event);
            }
        }
        EXPECT_TRUE(LogCapture::Instance().Take("Error").empty());
    }
}

TEST_F(AdapterBinding, ForwardsCallbackArgumentsAndResults)
{
    dir.CopyFromBin("recording_adapter.dll", "rec.dll");
    CUSBAdapter adapter;
    ASSERT_EQ(0, adapter.load("rec.dll", "Desk", MarkerCallback, dir.Path().c_str()));
    RecAdapter rec = rec_bind("rec.dll");
    ASSERT_TRUE(rec);
    EXPECT_EQ(MarkerCallback, rec.State().callback);
    EXPECT_EQ(GetCurrentThreadId(), rec.State().intializeThreadId);

    struct Row {
        uint32_t code;
        uintptr_t w, l;
        int32_t answer;
    } rows[] = {
        {1, 0, 0, 0},
        {14, 0xdeadbeef, 0x12345678, 5},   // codes outside the table go through as well
        {0, ~uintptr_t(0), 1, -1},
        {13, 0, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "code " << row.code);
        rec.setExecuteResult(row.code, row.answer);
        const int32_t before = rec.State().recorded;
        EXPECT_EQ(row.answer, adapter.execute(row.code, row.w, row.l));
        RecCommand c;
        std::memset(&c, 0xcc, sizeof c);
        ASSERT_EQ(0, rec.getCommand(before, &c));
        EXPECT_EQ(row.code, c.code);
        EXPECT_EQ(row.w, c.wParam);
        EXPECT_EQ(row.l, c.lParam);
    }
    EXPECT_EQ("Desk", adapter.GetName());
    EXPECT_TRUE(LogCapture::Instance().Take("Error").empty());
}

TEST_F(AdapterBinding, UnLoadTwiceAndExecuteAfterwards)
{
    dir.CopyFromBin("recording_adapter.dll", "rec.dll");
    CUSBAdapter adapter;
    ASSERT_EQ(0, adapter.load("rec.dll", "Desk", MarkerCallback, dir.Path().c_str()));
    TakeJournal();

    adapter.UnLoad();
    adapter.UnLoad();
    std::vector<JournalEvent> events = TakeJournal();
    EXPECT_EQ(1, Count(events, REC_EV_UNINITIALIZE, "rec.dll"));
    EXPECT_EQ(1, Count(events, REC_EV_DETACH, "rec.dll"));
    EXPECT_EQ(nullptr, GetModuleHandleA("rec.dll"));

    LogCapture::Instance().Take();
    EXPECT_EQ(1, adapter.execute(KEX_CMD_READY, 0, 0));
    EXPECT_EQ(std::vector<std::string>{"m_module or m_fnExeuteCmd is null."}, LogCapture::Instance().Take("Error"));
    EXPECT_TRUE(TakeJournal().empty()) << "nothing reached the released library";
    EXPECT_EQ("Desk", adapter.GetName());
}

TEST_F(AdapterBinding, ExecuteOnAnEmptyAdapter)
{
    CUSBAdapter adapter;
    EXPECT_EQ(1, adapter.execute(KEX_CMD_READY, 0, 0));
    EXPECT_EQ(std::vector<std::string>{"m_module or m_fnExeuteCmd is null."}, LogCapture::Instance().Take("Error"));
    adapter.UnLoad(); // harmless on an empty object
    EXPECT_EQ("", adapter.GetName());
}

TEST_F(AdapterBinding, TracesEnterAndLeave)
{
    {
        CUSBAdapter adapter;
        adapter.load("no_such_adapter.dll", "x", MarkerCallback, dir.Path().c_str());
    }
    std::vector<std::string> trace;
    for (const Record& r : LogCapture::Instance().Take())
        trace.push_back(r.level + " " + r.message);
    const std::vector<std::string> expected = {
        "Enter CUSBAdapter::CUSBAdapter.",
        "Leave CUSBAdapter::CUSBAdapter.",
        "Enter CUSBAdapter::load.",
        "Error LoadLibrary no_such_adapter.dll failed.",
        "Error LoadLibrary no_such_adapter.dll: system error 126 (the file, or a library it needs, was not found).",
        "Leave CUSBAdapter::load.",
        "Enter CUSBAdapter::~CUSBAdapter.",
        "Enter CUSBAdapter::UnLoad.",
        "Leave CUSBAdapter::UnLoad.",
        "Leave CUSBAdapter::~CUSBAdapter.",
    };
    EXPECT_EQ(expected, trace);
}

TEST_F(AdapterBinding, LoadFailureSaysWhy)
{
    // "LoadLibrary X failed." is the same for every cause; the record after
    // it gives the system's error code as the load left it and, for the
    // common mistakes, says what it means. The code is the load's even when
    // writing the first record moved a full log to a backup: with the log
    // switched off, Error records alone are written, so the failure's first
    // record is the one that finds the log full.
#ifdef _WIN64
    const char* const otherArch = "wrong architecture: a 32-bit library in a 64-bit process";
#else
    const char* const otherArch = "wrong architecture: a 64-bit library in a 32-bit process";
#endif
    const bool haveOtherArch = GetFileAttributesA((BinDir() + "other_arch_adapter.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
    if (haveOtherArch)
        dir.CopyFromBin("other_arch_adapter.dll", "other.dll");
    ASSERT_TRUE(WriteFile(dir / "text.dll", "not a library\r\n"));
    dir.CopyFromBin("broken_start_up.dll", "start_up.dll");
    dir.CopyFromBin(kRecordingAdapter, "locked.dll");
    // Held open without sharing, as a virus scanner or an installer might.
    kex::unique_file locked(CreateFileA((dir / "locked.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                        nullptr));
    ASSERT_TRUE(locked);
    struct Row {
        const char* configured;
        std::string componentDir; // "" for the test's folder
        std::string reason;
    } rows[] = {
        {"other.dll", "", std::string("193 (") + otherArch + ")"},
        {"text.dll", "", "193 (not a library for this process)"},
        {"missing.dll", "", "126 (the file, or a library it needs, was not found)"},
        {"sub\\missing.dll", "", "126 (the file, or a library it needs, was not found)"},
        {"sub\\a.dll", ".\\", "126 (the file, or a library it needs, was not found)"},
        {"start_up.dll", "", "1114 (its start-up code failed)"},
        {"locked.dll", "", "32"},
    };
    for (const bool logFull : {false, true}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.configured) + (logFull ? ", the log full" : ""));
            if (std::string(row.configured) == "other.dll" && !haveOtherArch) {
                ADD_FAILURE() << "other_arch_adapter.dll was not built (no compiler for the other architecture)";
                continue;
            }
            if (logFull) {
                ASSERT_NO_FATAL_FAILURE(LogCapture::Instance().FillToLimit());
                g_traceLog.SetSwitch(false);
            }
            const std::string componentDir = row.componentDir.empty() ? dir.Path() : row.componentDir;
            EXPECT_EQ(1, CUSBAdapter().load(row.configured, "x", MarkerCallback, componentDir.c_str()));
            g_traceLog.SetSwitch(true);
            if (logFull) {
                EXPECT_GT(g_traceLog.MaxSize(), LogCapture::Instance().FileSize()) << "the full log was not moved aside";
            }
            const std::string configured = row.configured;
            EXPECT_EQ((std::vector<std::string>{"LoadLibrary " + configured + " failed.",
                                                "LoadLibrary " + configured + ": system error " + row.reason + "."}),
                      LogCapture::Instance().Take("Error"));
        }
    }
    // Only the library whose start-up fails ever ran, once a round, and none
    // was initialised.
    const std::vector<JournalEvent> events = TakeJournal();
    EXPECT_EQ(2, Count(events, REC_EV_ATTACH, "start_up.dll"));
    for (const JournalEvent& e : events) {
        EXPECT_EQ("start_up.dll", BaseName(e.module));
        EXPECT_NE(REC_EV_INTIALIZE, e.event);
    }
}

// ---- Where a library is looked for ------------------------------------------

enum Place { kComponent, kComponentSub, kCwd, kCwdSub, kPathDir };

struct SearchCase {
    const char* what;
    const char* configured;        // the value of [AdapterList]
    std::vector<std::pair<Place, const char*>> copies; // recording adapter copies (file names)
    bool loads;
    Place from;                    // where the loaded one lies
};

TEST_F(AdapterBinding, SearchNeverUsesCurrentDirectoryOrPath)
{
    const SearchCase cases[] = {
        {"bare name beside the component", "planted.dll", {{kComponent, "planted.dll"}}, true, kComponent},
        {"bare name in the current directory only", "planted.dll", {{kCwd, "planted.dll"}}, false, kCwd},
        {"bare name on PATH only", "planted.dll", {{kPathDir, "planted.dll"}}, false, kPathDir},
        {"bare name in both: the component's wins", "planted.dll",
         {{kCwd, "planted.dll"}, {kComponent, "planted.dll"}}, true, kComponent},
        {"name without extension", "planted", {{kCwd, "planted.dll"}, {kComponent, "planted.dll"}}, true, kComponent},
        {"relative name with a directory", "sub\\planted.dll",
         {{kCwdSub, "planted.dll"}, {kComponentSub, "planted.dll"}}, true, kComponentSub},
        {"relative name with a directory, current directory only", "sub\\planted.dll",
         {{kCwdSub, "planted.dll"}}, false, kCwdSub},
    };
    for (const SearchCase& row : cases) {
        SCOPED_TRACE(row.what);
        TempDir component, cwd, pathDir;
        const std::string places[] = {component.Path(), component.Subdir("sub"), cwd.Path(), cwd.Subdir("sub"),
                                      pathDir.Path()};
        for (const auto& copy : row.copies)
            ASSERT_TRUE(CopyFileA((BinDir() + "recording_adapter.dll").c_str(),
                                  (places[copy.first] + copy.second).c_str(), FALSE));

        char oldCwd[MAX_PATH], oldPath[32767];
        GetCurrentDirectoryA(MAX_PATH, oldCwd);
        GetEnvironmentVariableA("PATH", oldPath, sizeof oldPath);
        SetCurrentDirectoryA(cwd.Path().c_str());
        SetEnvironmentVariableA("PATH", (pathDir.Path() + ";" + oldPath).c_str());

        auto adapter = std::make_unique<CUSBAdapter>();
        const int result = adapter->load(row.configured, "p", MarkerCallback, component.Path().c_str());

        SetCurrentDirectoryA(oldCwd);
        SetEnvironmentVariableA("PATH", oldPath);

        EXPECT_EQ(row.loads ? 0 : 1, result);
        const std::vector<std::string> errors = LogCapture::Instance().Take("Error");
        if (row.loads) {
            EXPECT_TRUE(errors.empty());
        } else {
            const std::string configured = row.configured;
            EXPECT_EQ((std::vector<std::string>{"LoadLibrary " + configured + " failed.",
                                                "LoadLibrary " + configured + ": system error 126 (the file, or a library it needs, was not found)."}),
                      errors);
        }
        adapter.reset();
        const std::vector<JournalEvent> events = TakeJournal();
        const std::vector<std::string> attached = [&] {
            std::vector<std::string> v;
            for (const JournalEvent& e : events)
                if (e.event == REC_EV_ATTACH)
                    v.push_back(e.module);
            return v;
        }();
        if (row.loads) {
            EXPECT_EQ(std::vector<std::string>{Lower(places[row.from] + "planted.dll")}, attached);
        } else {
            EXPECT_TRUE(attached.empty()) << attached[0];
        }
    }
}

TEST_F(AdapterBinding, BareNameFallsBackToHostThenSystemDirectory)
{
    // Beside the host (the build's bin directory) and nowhere else.
    {
        CUSBAdapter adapter;
        EXPECT_EQ(0, adapter.load("recording_adapter2.dll", "h", MarkerCallback, dir.Path().c_str()));
        const std::vector<std::string> attached = Modules(TakeJournal(), REC_EV_ATTACH);
        EXPECT_EQ(std::vector<std::string>{"recording_adapter2.dll"}, attached);
        char path[MAX_PATH] = {};
        GetModuleFileNameA(GetModuleHandleA("recording_adapter2.dll"), path, MAX_PATH);
        EXPECT_EQ(Lower(BinDir() + "recording_adapter2.dll"), Lower(path));
    }
    // A system library is found (and rejected, it is no adapter).
    CUSBAdapter adapter;
    EXPECT_EQ(1, adapter.load("version.dll", "s", MarkerCallback, dir.Path().c_str()));
    EXPECT_EQ(std::vector<std::string>{"There is no Initialize or execute function in version.dll."},
              LogCapture::Instance().Take("Error"));
}

TEST_F(AdapterBinding, AbsoluteNameIsLoadedAsGiven)
{
    TempDir elsewhere;
    elsewhere.CopyFromBin("recording_adapter.dll", "abs.dll");
    CUSBAdapter adapter;
    EXPECT_EQ(0, adapter.load((elsewhere / "abs.dll").c_str(), "a", MarkerCallback, dir.Path().c_str()));
    adapter.UnLoad();
    const std::vector<JournalEvent> events = TakeJournal();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(Lower(elsewhere / "abs.dll"), events[0].module);
}

} // namespace
