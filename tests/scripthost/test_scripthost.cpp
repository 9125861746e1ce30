// kexscript.exe on its own: output, arguments, exit codes, error reports.
// The phone object through the host is in test_script_phone.cpp.
#include "tests/scripthost/script_runner.h"

#include <gtest/gtest.h>

using script_test::RunScript;

namespace {

struct HostCase {
    const wchar_t* script;
    const wchar_t* args;
    const char* out;       // exact stdout
    DWORD exitCode;
    const char* errHas;    // stderr must contain this ("" = stderr empty)
};

const HostCase kCases[] = {
    {L"echo.vbs", L"", "text 42 2.5 True null\n\nby reference\necho.vbs\n", 0, ""},
    {L"echo.js", L"", "text 42 2.5 True null\n\nby value\necho.js\n", 0, ""},
    {L"args.vbs", L"one \"two words\"", "2\n0=one\n1=two words\none\neach one\neach two words\n", 0, ""},
    {L"args.js", L"one \"two words\"", "2\n0=one\n1=two words\n2\neach one\neach two words\n", 0, ""},
    {L"args.vbs", L"", "0\n", 1, "args.vbs(7, "},
    {L"quit.vbs", L"", "before\n", 7, ""},
    {L"quit.js", L"", "before\n", 3, ""},
    {L"quit_default.vbs", L"", "before\n", 0, ""},
    {L"runtime_error.vbs", L"", "line 1\n", 1, "runtime_error.vbs(4, "},
    {L"runtime_error.js", L"", "line 1\n", 1, "runtime_error.js(4, "},
    {L"syntax_error.vbs", L"", "", 1, "syntax_error.vbs(3, "},
    {L"syntax_error.js", L"", "", 1, "syntax_error.js(3, "},
    {L"bad_progid.vbs", L"", "", 1, "bad_progid.vbs(2, "},
    {L"sleep.js", L"", "slept\n", 0, ""},
    {L"connect_no_events.vbs", L"", "created\n", 1, "connect_no_events.vbs(4, "},
    {L"not_a_script.txt", L"", "", 2, "no script engine"},
    {L"missing.vbs", L"", "", 2, "cannot read"},
};

TEST(ScriptHost, RunsScriptsWithTheirOutputAndExitCode)
{
    for (const HostCase& c : kCases) {
        SCOPED_TRACE(testing::Message() << "script " << std::string(c.script, c.script + wcslen(c.script))
                                        << " args [" << std::string(c.args, c.args + wcslen(c.args)) << "]");
        script_test::RunResult r = RunScript(c.script, c.args);
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(c.exitCode, r.exitCode) << "stderr: " << r.err;
        EXPECT_EQ(c.out, r.out);
        if (*c.errHas)
            EXPECT_NE(std::string::npos, r.err.find(c.errHas)) << "stderr: " << r.err;
        else
            EXPECT_EQ("", r.err);
    }
}

TEST(ScriptHost, NoScriptPrintsUsage)
{
    script_test::RunResult r = script_test::Run(script_test::Quote(script_test::BinDir() + L"kexscript.exe"));
    EXPECT_EQ(2u, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("usage"));
}

TEST(ScriptHost, EngineChosenByOption)
{
    // A .txt file runs when the engine is named.
    script_test::RunResult r = script_test::Run(
        script_test::Quote(script_test::BinDir() + L"kexscript.exe") + L" //nologo //E:VBScript " +
        script_test::Quote(script_test::Widen(KEX_SCRIPT_DIR) + L"\\not_a_script.txt"));
    EXPECT_EQ(0u, r.exitCode) << r.err;
    EXPECT_EQ("not a script\n", r.out);
}

} // namespace
