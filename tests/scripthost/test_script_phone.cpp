// The component as script clients use it: registered with regsvr32, created
// by its ProgID from VBScript and JScript through kexscript.exe, commands
// checked at a test adapter, events raised on the adapter's thread while the
// script sleeps.
//
// The scripts run against a copy of the component in bin\scripttest with its
// own "USBPhone.ini" listing script_adapter.dll; the copy is registered for
// the run and the build's own DLL is registered again at the end.
#include "tests/scripthost/script_runner.h"

#include <gtest/gtest.h>

#include <initializer_list>

using script_test::BinDir;
using script_test::Quote;
using script_test::RunResult;
using script_test::RunScript;

namespace {

std::wstring TestDir() { return BinDir() + L"scripttest\\"; }

DWORD Regsvr32(const std::wstring& args)
{
    return script_test::Run(L"regsvr32.exe /s " + args).exitCode;
}

class ScriptPhone : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CreateDirectoryW(TestDir().c_str(), nullptr);
        s_ready = CopyFileW((BinDir() + L"KexUSBPhone.dll").c_str(), (TestDir() + L"KexUSBPhone.dll").c_str(),
                            FALSE) &&
                  CopyFileW((BinDir() + L"script_adapter.dll").c_str(),
                            (TestDir() + L"script_adapter.dll").c_str(), FALSE) &&
                  CopyFileW((BinDir() + L"script_adapter_v2.dll").c_str(),
                            (TestDir() + L"script_adapter_v2.dll").c_str(), FALSE) &&
                  WritePrivateProfileStringW(L"AdapterList", L"script", L"script_adapter.dll",
                                             (TestDir() + L"USBPhone.ini").c_str()) &&
                  Regsvr32(Quote(TestDir() + L"KexUSBPhone.dll")) == 0;
    }
    static void TearDownTestSuite()
    {
        // Other tests rely on the build's own DLL being registered.
        Regsvr32(Quote(BinDir() + L"KexUSBPhone.dll"));
    }
    void SetUp() override
    {
        ASSERT_TRUE(s_ready) << "copying or registering the component failed";
        wchar_t dir[MAX_PATH], name[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        GetTempFileNameW(dir, L"kad", 0, name);
        m_log = name;
        SetEnvironmentVariableW(L"KEX_SCRIPT_ADAPTER_LOG", m_log.c_str());
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"KEX_SCRIPT_ADAPTER_LOG", nullptr);
        DeleteFileW(m_log.c_str());
    }
    std::string AdapterLog() const { return script_test::ReadTextFile(m_log); }

    // Runs the VBScript and the JScript of one host: each must end well,
    // print out and leave log in the adapter's log.
    void ExpectEachScript(std::initializer_list<const wchar_t*> scripts, const char* out, const char* log)
    {
        for (const wchar_t* script : scripts) {
            SCOPED_TRACE(testing::Message() << "script " << std::string(script, script + wcslen(script)));
            DeleteFileW(m_log.c_str());
            RunResult r = RunScript(script);
            ASSERT_FALSE(r.timedOut);
            EXPECT_EQ(0u, r.exitCode) << r.err;
            EXPECT_EQ(out, r.out);
            EXPECT_EQ("", r.err);
            EXPECT_EQ(log, AdapterLog());
        }
    }

    static bool s_ready;
    std::wstring m_log;
};
bool ScriptPhone::s_ready = false;

const char kMethodsOut[] = "IsStarted False\n"
                           "Link while stopped 80004005\n"
                           "USBPhoneName while stopped 80004005\n"
                           "IsStarted True\n"
                           "USBPhoneName script\n"
                           "PutContactInfoList short 80070057\n"
                           "Number cannot be read\n"
                           "IsStarted cannot be set\n"
                           "PutContactInfo type mismatch\n"
                           "NoSuchMember unknown\n"
                           "IsStarted False\n"
                           "done\n";

// What the adapter received: each command's code and its two texts.
const char kMethodsLog[] = "Intialize\n"
                           "11|0|100\n"
                           "2|Alice|100\n"
                           "3|Ring|3\n"
                           "4|RingBack|4\n"
                           "5|Talking|5\n"
                           "6||\n"
                           "7|Hold|7\n"
                           "8|Resume|8\n"
                           "9|CallFailed|9\n"
                           "1|0|0\n"
                           "10|RingBusy|10\n"
                           "12|Bob|200\n"
                           "13|Alice;Work;|1;7;0\n"
                           "13|A;B;C|1;2;3\n"
                           "UnInitialize\n";

TEST_F(ScriptPhone, EveryMemberByNameReachesTheAdapter)
{
    ExpectEachScript({L"phone_methods.vbs", L"phone_methods.js"}, kMethodsOut, kMethodsLog);
}

// Reports "msg:wParam:lParam" raised by the adapter's thread, the events the
// script must print for them, in order, and how many.
struct EventCase {
    const char* name;
    const wchar_t* reports;
    int events;
    const char* vbsOut; // VBScript prints the argument's type name
    const char* jsOut;
};

const EventCase kEventCases[] = {
    {"function keys", L"1:0:0 2:0:0 4:0:0 5:0:0 6:0:0 7:0:0 8:0:0 9:0:0 10:0:0 11:0:0 12:0:0 13:0:0 14:0:0 15:0:0 16:0:0",
     15,
     "OnAction 1\nOnAction 2\nOnAction 4\nOnAction 5\nOnAction 6\nOnAction 7\nOnAction 8\nOnAction 9\nOnAction 10\n"
     "OnAction 11\nOnAction 12\nOnAction 13\nOnAction 14\nOnAction 15\nOnAction 16\nreceived 15\n",
     "OnAction 1\nOnAction 2\nOnAction 4\nOnAction 5\nOnAction 6\nOnAction 7\nOnAction 8\nOnAction 9\nOnAction 10\n"
     "OnAction 11\nOnAction 12\nOnAction 13\nOnAction 14\nOnAction 15\nOnAction 16\nreceived 15\n"},
    {"digit keys", L"3:5:0 3:10:0 3:12:0 3:0:0 3:13:0", 10,
     "OnKey 5 Long\nOnAction 3\nOnKey 10 Long\nOnAction 3\nOnKey 12 Long\nOnAction 3\nOnKey -1 Long\nOnAction 3\n"
     "OnKey -1 Long\nOnAction 3\nreceived 10\n",
     "OnKey 5 number\nOnAction 3\nOnKey 10 number\nOnAction 3\nOnKey 12 number\nOnAction 3\nOnKey -1 number\n"
     "OnAction 3\nOnKey -1 number\nOnAction 3\nreceived 10\n"},
    {"plug states", L"17:1:0 17:0:7 17:5:1 17:1:1", 4,
     "OnStateChange 1 0 -1\nOnStateChange 0 -1 -1\nOnStateChange -1 1 -1\nOnStateChange 1 1 -1\nreceived 4\n",
     "OnStateChange 1 0 -1\nOnStateChange 0 -1 -1\nOnStateChange -1 1 -1\nOnStateChange 1 1 -1\nreceived 4\n"},
    {"unknown messages fire nothing", L"0:0:0 18:0:0 99:1:1 16:0:0", 1, "OnAction 16\nreceived 1\n",
     "OnAction 16\nreceived 1\n"},
};

TEST_F(ScriptPhone, EventsFromTheAdapterThreadReachTheSleepingScript)
{
    for (const EventCase& c : kEventCases) {
        for (bool vbs : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.name << (vbs ? " (VBScript)" : " (JScript)"));
            std::wstring args = Quote(c.reports) + L" " + std::to_wstring(c.events);
            RunResult r = RunScript(vbs ? L"events.vbs" : L"events.js", args);
            ASSERT_FALSE(r.timedOut);
            EXPECT_EQ(0u, r.exitCode) << r.err;
            EXPECT_EQ(vbs ? c.vbsOut : c.jsOut, r.out);
            EXPECT_EQ("", r.err);
        }
    }
}

TEST_F(ScriptPhone, TwoSinksThenDisconnect)
{
    RunResult r = RunScript(L"events_twice.vbs");
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(0u, r.exitCode) << r.err;
    EXPECT_EQ("a OnAction 16\nb OnAction 16\ndisconnected\n", r.out);
}

TEST_F(ScriptPhone, ErrorInAnEventHandlerEndsTheScript)
{
    RunResult r = RunScript(L"handler_error.vbs");
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_EQ("OnStateChange 1\n", r.out);
    EXPECT_NE(std::string::npos, r.err.find("handler_error.vbs(4, ")) << r.err;
    // The object was still started when the script ended: it was stopped on release.
    EXPECT_NE(std::string::npos, AdapterLog().find("UnInitialize")) << AdapterLog();
}

// A version-2 adapter ("v2", devices desk and head) beside the version-1
// one: what each script prints and what each adapter receives.
// The devices found at start plug in while Start runs.
const char kDevicesOut[] = "OnStateChange 1 from v2/desk, active \"\", 2 devices\n"
                           "OnStateChange 1 from v2/head, active \"\", 3 devices\n"
                           "count 3, first script\n"
                           "script | script | 0:0 | \n"
                           "v2/desk | Desk Phone | 1234:5678 | D-1\n"
                           "v2/head | Head Set | 0:0 | \n"
                           "active \"\", event device \"\"\n"
                           "active v2/head\n"
                           "unknown: 80070057 No device \"v2/none\" is attached.\n"
                           "unknown name: 80070057 No device \"nobody\" is known.\n"
                           "still active v2/head\n"
                           "OnAction 11 from v2/desk\n"
                           "OnAction 1 from v2/head\n"
                           "OnAction 13 from v2/desk\n"
                           "OnStateChange 0 from v2/head, active \"\", 2 devices\n"
                           "done\n";

// With head active only its adapter hears Ring, Mute and the raise; once head
// is unplugged Hangup reaches both. The version-1 adapter never gets Mute.
const char kDevicesLog[] = "Intialize\n"
                           "KexInitialize2\n"
                           "[head] 3|Alice|100\n"
                           "[head] 14|1|0\n"
                           "[head] 12|raise|11:0:0@desk 1:0:0@head 13:0:0 17:0:0@head\n"
                           "6|Alice|100\n"
                           "[*] 6|Alice|100\n"
                           "UnInitialize\n"
                           "UnInitialize\n";

TEST_F(ScriptPhone, DevicesTheActiveDeviceAndTheEventsDevice)
{
    // Listed for this test only: the others use the version-1 adapter alone.
    struct Listed {
        std::wstring ini = TestDir() + L"USBPhone.ini";
        bool ok = WritePrivateProfileStringW(L"AdapterList", L"v2", L"script_adapter_v2.dll", ini.c_str()) != 0;
        ~Listed() { WritePrivateProfileStringW(L"AdapterList", L"v2", nullptr, ini.c_str()); }
    } listed;
    ASSERT_TRUE(listed.ok);
    ExpectEachScript({L"devices.vbs", L"devices.js"}, kDevicesOut, kDevicesLog);
}

} // namespace
