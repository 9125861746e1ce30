// The call-state commands as the recording adapters receive them: codes and
// texts, the answers while stopped, Start and Stop, the adapter's name, the
// trace records and the text conversion.
#include "phone/KexPhone.h"

#include "log/TraceLog.h"
#include "tests/adapters/recording_adapter.h"
#include "tests/phone/phone_object_fixture.h"

#include <functional>

using namespace phone_test;
using kex::com_ptr;
using kex::unique_bstr;

namespace {

struct CommandCase {
    const char* what;
    std::function<HRESULT(IKexPhone*)> call;
    uint32_t code;
    const char* w; // expected text at wParam; null: wParam is 0
    const char* l; // expected text at lParam; null: lParam is 0
};

HRESULT CallPeer(IKexPhone* p, HRESULT (STDMETHODCALLTYPE IKexPhone::*m)(BSTR, BSTR), const wchar_t* a,
                 const wchar_t* b)
{
    unique_bstr x(a ? SysAllocString(a) : nullptr), y(b ? SysAllocString(b) : nullptr);
    return (p->*m)(x.get(), y.get());
}

std::vector<CommandCase> CommandCases()
{
    using P = IKexPhone;
    auto peer = [](HRESULT (STDMETHODCALLTYPE P::*m)(BSTR, BSTR), const wchar_t* a, const wchar_t* b) {
        return [=](P* p) { return CallPeer(p, m, a, b); };
    };
    return {
        {"Ready", [](P* p) { return p->Ready(); }, 1, nullptr, nullptr},
        {"Link Alice/100", peer(&P::Link, L"Alice", L"100"), 2, "Alice", "100"},
        {"Link swapped", peer(&P::Link, L"100", L"Alice"), 2, "100", "Alice"},
        {"Ring", peer(&P::Ring, L"Bob", L"200"), 3, "Bob", "200"},
        {"RingBack", peer(&P::RingBack, L"Carol", L"300"), 4, "Carol", "300"},
        {"Talking", peer(&P::Talking, L"Dave", L"400"), 5, "Dave", "400"},
        {"Hangup empty", peer(&P::Hangup, L"", L""), 6, "", ""},
        {"Hangup null", peer(&P::Hangup, nullptr, nullptr), 6, "", ""},
        {"Hold", peer(&P::Hold, L"Eve", L"500"), 7, "Eve", "500"},
        {"Resume", peer(&P::Resume, L"Eve", L"500"), 8, "Eve", "500"},
        {"CallFailed", peer(&P::CallFailed, L"Frank", L"600"), 9, "Frank", "600"},
        {"RingBusy", peer(&P::RingBusy, L"Grace", L"700"), 10, "Grace", "700"},
        {"Number", [](P* p) { unique_bstr n = Bstr(L"100"); return p->put_Number(n.get()); }, 11, nullptr, "100"},
        {"Number null", [](P* p) { return p->put_Number(nullptr); }, 11, nullptr, ""},
        {"PutCallInfo", peer(&P::PutCallInfo, L"Heidi", L"800"), 12, "Heidi", "800"},
        {"embedded NUL",
         [](P* p) {
             unique_bstr a = BstrLen(L"A\0B", 3), b = Bstr(L"ok");
             return p->Link(a.get(), b.get());
         },
         2, "", "ok"},
        {"non-ASCII to the ANSI code page", peer(&P::Ring, L"Z\u00fcrich", L"+41"), 3, "Z\xfcrich", "+41"},
    };
}

TEST_F(PhoneTest, CommandsReachEveryAdapterWithTheirCodeAndTexts)
{
    UseAdapters({"Alpha", "Beta"});
    ASSERT_EQ(S_OK, phone->Start());
    for (const CommandCase& c : CommandCases()) {
        SCOPED_TRACE(c.what);
        rec.reset();
        rec2.reset();
        EXPECT_EQ(S_OK, c.call(phone.get()));
        for (const RecAdapter* a : {&rec, &rec2}) {
            ASSERT_EQ(1, a->State().recorded);
            RecCommand got = Last(*a);
            EXPECT_EQ(c.code, got.code);
            if (c.w) {
                EXPECT_TRUE(got.hasText[0]);
                EXPECT_STREQ(got.text[0], c.w);
            } else {
                EXPECT_EQ(0u, got.wParam);
            }
            if (c.l) {
                EXPECT_TRUE(got.hasText[1]);
                EXPECT_STREQ(got.text[1], c.l);
            } else {
                EXPECT_EQ(0u, got.lParam);
            }
        }
    }
}

TEST_F(PhoneTest, CommandsWhileStoppedFailAndSendNothing)
{
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "before Start" : "after Stop");
        for (const CommandCase& c : CommandCases()) {
            SCOPED_TRACE(c.what);
            EXPECT_EQ(E_FAIL, c.call(phone.get()));
        }
        BSTR name = reinterpret_cast<BSTR>(0x1234);
        EXPECT_EQ(E_FAIL, phone->get_USBPhoneName(&name));
        EXPECT_EQ(name, reinterpret_cast<BSTR>(0x1234));
        BSTR info[1] = {nullptr};
        LONG icon[1] = {0};
        EXPECT_EQ(E_FAIL, phone->PutContactInfo(info, icon, 1));
        EXPECT_EQ(0, rec.State().recorded);
        ASSERT_EQ(S_OK, phone->Start());
        ASSERT_EQ(S_OK, phone->Stop());
        rec.reset();
    }
}

TEST_F(PhoneTest, AnAdapterRejectingEveryCommandStillGivesSOk)
{
    ASSERT_EQ(S_OK, phone->Start());
    rec.setExecuteResult(0, 1);
    for (const CommandCase& c : CommandCases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(S_OK, c.call(phone.get()));
    }
}

TEST_F(PhoneTest, StartAndStopTwice)
{
    VARIANT_BOOL started = 0x1234;
    EXPECT_EQ(S_OK, phone->Stop());
    ASSERT_EQ(S_OK, phone->get_IsStarted(&started));
    EXPECT_EQ(VARIANT_FALSE, started);

    EXPECT_EQ(S_OK, phone->Start());
    EXPECT_EQ(S_OK, phone->Start());
    EXPECT_EQ(1, rec.State().intializeCalls);
    ASSERT_EQ(S_OK, phone->get_IsStarted(&started));
    EXPECT_EQ(0xFFFFu, static_cast<unsigned short>(started));

    EXPECT_EQ(S_OK, phone->Stop());
    EXPECT_EQ(S_OK, phone->Stop());
    EXPECT_EQ(1, rec.State().unInitializeCalls);
    ASSERT_EQ(S_OK, phone->get_IsStarted(&started));
    EXPECT_EQ(VARIANT_FALSE, started);

    // A fresh manager reads the configuration again.
    rec.reset();
    EXPECT_EQ(S_OK, phone->Start());
    EXPECT_EQ(1, rec.State().intializeCalls);

    EXPECT_EQ(E_INVALIDARG, phone->get_IsStarted(nullptr));
    EXPECT_EQ(E_INVALIDARG, phone->get_USBPhoneName(nullptr));
}

TEST_F(PhoneTest, StartFailsWhenNoAdapterCanBeBound)
{
    struct Case {
        const char* what;
        const char* ini;
        int intializeResult;
    } cases[] = {
        {"no [AdapterList]", "[Common]\r\nUseVarneUSBPhone=1\r\n", 0},
        {"empty [AdapterList]", "[AdapterList]\r\n", 0},
        {"library missing", "[AdapterList]\r\nGhost=no_such_adapter.dll\r\n", 0},
        {"Intialize fails", nullptr, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.ini)
            m_dir.Write("USBPhone.ini", c.ini);
        else
            UseAdapters({"Alpha"});
        rec.setIntializeResult(c.intializeResult);
        EXPECT_EQ(E_FAIL, phone->Start());
        VARIANT_BOOL started = 0x1234;
        ASSERT_EQ(S_OK, phone->get_IsStarted(&started));
        EXPECT_EQ(VARIANT_FALSE, started);
        EXPECT_EQ(E_FAIL, phone->Ready());
        rec.reset();
    }
}

TEST_F(PhoneTest, USBPhoneNameWithOneAndTwoAdapters)
{
    struct Case {
        std::initializer_list<const char*> keys;
        const wchar_t* name;
    } cases[] = {{{"Alpha"}, L"Alpha"}, {{"Alpha", "Beta"}, L""}, {{"Beta"}, L"Beta"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.keys.size() << " adapters");
        UseAdapters(c.keys);
        ASSERT_EQ(S_OK, phone->Start());
        BSTR name = reinterpret_cast<BSTR>(0x1234);
        ASSERT_EQ(S_OK, phone->get_USBPhoneName(&name));
        ASSERT_NE(name, nullptr); // empty, but a BSTR
        EXPECT_STREQ(name, c.name);
        EXPECT_EQ(wcslen(c.name), SysStringLen(name));
        SysFreeString(name);
        ASSERT_EQ(S_OK, phone->Stop());
    }
}

// The records the object writes, in a log file of this test's own.
TEST_F(PhoneTest, TraceRecords)
{
    const std::string log = m_dir / "trace.log";
    g_traceLog.SetLogFile(log.c_str());
    g_traceLog.Open();
    g_traceLog.SetSwitch(true);
    g_traceLog.AddLevel(TRACE_INFO);
    g_traceLog.AddLevel(TRACE_ENTER);
    g_traceLog.AddLevel(TRACE_LEAVE);

    ASSERT_EQ(S_OK, phone->Start());
    EXPECT_EQ(S_OK, phone->Start());
    unique_bstr a = Bstr(L"Bob"), b = Bstr(L"Work");
    BSTR texts[2] = {a.get(), b.get()};
    LONG icons[2] = {-4, 7};
    EXPECT_EQ(S_OK, phone->PutContactInfo(texts, icons, 2));
    EXPECT_EQ(E_INVALIDARG, phone->PutContactInfo(nullptr, icons, 1));
    EXPECT_EQ(E_INVALIDARG, phone->PutContactInfo(texts, icons, 0));
    EXPECT_EQ(S_OK, phone->Stop());
    g_traceLog.Close();
    const std::string text = ReadFile(log);

    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(1u, count("KexUsbPhone has started.]")) << text;
    EXPECT_EQ(1u, count("ContactInfo:Bob|Work||0|7|0.]")) << text;
    EXPECT_EQ(1u, count("Invalid args.]")) << text; // line 0 writes no Error
    EXPECT_EQ(6u, count("KexUsbPhone::PutContactInfo.]")) << text;
    EXPECT_EQ(4u, count("KexUsbPhone::Start.]")) << text;
    EXPECT_GE(count("[KexPhone("), 14u) << text;
}

TEST(PhoneText, ToNarrow)
{
    struct Case {
        const char* what;
        unique_bstr in;
        std::string out;
    } cases[] = {
        {"plain", Bstr(L"Alice"), "Alice"},
        {"null", unique_bstr(), ""},
        {"empty", Bstr(L""), ""},
        {"embedded NUL", BstrLen(L"A\0B", 3), ""},
        {"NUL first", BstrLen(L"\0AB", 3), ""},
        {"trailing NUL counted", BstrLen(L"AB\0", 3), ""},
        {"unmapped character", Bstr(L"a\u4e2db"), "a?b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.out, kex_phone::ToNarrow(c.in.get())) << c.what;
    }
}

} // namespace
