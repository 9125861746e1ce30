// The recording adapter itself: other test programs rely on its device
// reports (from its own thread and from inside "execute") and on its records.
#include "adapters/AdapterManager.h"
#include "tests/adapters/adapter_test_util.h"

#include <mutex>

using namespace adapter_test;

namespace {

struct Seen {
    uint32_t msg, w;
    int32_t l;
    DWORD thread;
    bool operator==(const Seen& o) const { return msg == o.msg && w == o.w && l == o.l; }
};

std::mutex g_seenLock;
std::vector<Seen> g_seen;
DWORD g_callbackDelayMs;

int32_t KEX_CDECL SeeingCallback(uint32_t msg, uint32_t w, int32_t l)
{
    if (g_callbackDelayMs)
        Sleep(g_callbackDelayMs);
    std::lock_guard<std::mutex> hold(g_seenLock);
    g_seen.push_back({msg, w, l, GetCurrentThreadId()});
    return 0;
}

std::vector<Seen> TakeSeen()
{
    std::lock_guard<std::mutex> hold(g_seenLock);
    return std::move(g_seen);
}

class RecordingAdapter : public ::testing::Test {
protected:
    void SetUp() override
    {
        TakeSeen();
        g_callbackDelayMs = 0;
        ASSERT_TRUE(WriteFile(dir / "USBPhone.ini", "[AdapterList]\nRec=rec.dll\n"));
        dir.CopyFromBin("recording_adapter.dll", "rec.dll");
        manager = std::make_unique<CUSBManager>(dir.Path());
        ASSERT_EQ(0, manager->Load(SeeingCallback));
        rec = rec_bind("rec.dll");
        ASSERT_TRUE(rec);
    }
    TempDir dir;
    std::unique_ptr<CUSBManager> manager;
    RecAdapter rec;
};

TEST_F(RecordingAdapter, RaisesReportsFromItsOwnThreadInOrder)
{
    const RecReport reports[] = {{KEX_DEV_PLUG, KEX_PLUG_IN, 0, nullptr}, {KEX_DEV_KEY, KEX_KEY_5, 0, nullptr}, {KEX_DEV_HANGUP, 0, -7, nullptr}};
    ASSERT_EQ(0, rec.raise(reports, 3));
    EXPECT_EQ(3, rec.wait(10000));
    const std::vector<Seen> seen = TakeSeen();
    ASSERT_EQ(3u, seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reports[i].msg, seen[i].msg);
        EXPECT_EQ(reports[i].wParam, seen[i].w);
        EXPECT_EQ(reports[i].lParam, seen[i].l);
        EXPECT_NE(GetCurrentThreadId(), seen[i].thread);
        EXPECT_EQ(rec.State().raiseThreadId, seen[i].thread);
    }
    EXPECT_EQ(3, rec.State().raised);
    EXPECT_EQ(0, rec.State().raisedNonZero);

    // Refused: no reports, too many.
    EXPECT_EQ(1, rec.raise(reports, 0));
    EXPECT_EQ(1, rec.raise(nullptr, 1));
    EXPECT_EQ(1, rec.raise(reports, REC_MAX_REPORTS + 1));
}

TEST_F(RecordingAdapter, ReportsInsideExecuteOnTheCallersThread)
{
    const RecReport report = {KEX_DEV_PICKUP, 0, 0, nullptr};
    rec.reportOnExecute(KEX_CMD_RING, &report);
    manager->execute(KEX_CMD_READY, 0, 0);
    EXPECT_TRUE(TakeSeen().empty());
    const char* text = "x";
    manager->execute(KEX_CMD_RING, reinterpret_cast<uintptr_t>(text), reinterpret_cast<uintptr_t>(text));
    const std::vector<Seen> seen = TakeSeen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(KEX_DEV_PICKUP, seen[0].msg);
    EXPECT_EQ(GetCurrentThreadId(), seen[0].thread);
}

TEST_F(RecordingAdapter, UnInitializeWaitsForTheReportingThread)
{
    g_callbackDelayMs = 100;
    const RecReport reports[] = {{1, 0, 0, nullptr}, {2, 0, 0, nullptr}, {4, 0, 0, nullptr}};
    ASSERT_EQ(0, rec.raise(reports, 3));
    manager->UnLoad(); // no callback may run once this returns
    EXPECT_EQ(3u, TakeSeen().size());
    Sleep(150);
    EXPECT_TRUE(TakeSeen().empty());
}

TEST_F(RecordingAdapter, RecordsTextsAndContactInfo)
{
    const std::string longText(300, 'L');
    const char* empty = "";
    const ContactInfo contact = {{"Alice", "", longText.c_str()}, {0, 7, 2}};
    const struct {
        uint32_t code;
        uintptr_t w, l;
    } rows[] = {
        {KEX_CMD_LINK, reinterpret_cast<uintptr_t>("Alice"), reinterpret_cast<uintptr_t>("100")},
        {KEX_CMD_HANGUP, reinterpret_cast<uintptr_t>(empty), reinterpret_cast<uintptr_t>(empty)},
        {KEX_CMD_NUMBER, 0, reinterpret_cast<uintptr_t>("100")},
        {KEX_CMD_CALLINFO, reinterpret_cast<uintptr_t>(longText.c_str()), 0},
        {KEX_CMD_CONTACTINFO, reinterpret_cast<uintptr_t>(&contact), 0},
    };
    rec.setExecuteResult(KEX_CMD_NUMBER, 3);
    for (const auto& row : rows)
        manager->execute(row.code, row.w, row.l);

    RecCommand c;
    auto get = [&](int i) {
        std::memset(&c, 0xcc, sizeof c);
        return rec.getCommand(i, &c);
    };
    ASSERT_EQ(0, get(0));
    EXPECT_EQ((uint32_t)KEX_CMD_LINK, c.code);
    EXPECT_STREQ("Alice", c.text[0]);
    EXPECT_STREQ("100", c.text[1]);
    EXPECT_EQ(GetCurrentThreadId(), c.threadId);
    ASSERT_EQ(0, get(1));
    EXPECT_TRUE(c.hasText[0] && c.hasText[1]);
    EXPECT_STREQ("", c.text[0]);
    ASSERT_EQ(0, get(2));
    EXPECT_FALSE(c.hasText[0]);
    EXPECT_STREQ("100", c.text[1]);
    EXPECT_EQ(3, c.result);
    ASSERT_EQ(0, get(3));
    EXPECT_EQ(300u, c.textLen[0]);
    EXPECT_EQ(std::string(REC_TEXT_MAX - 1, 'L'), c.text[0]);
    ASSERT_EQ(0, get(4));
    EXPECT_TRUE(c.hasContact);
    EXPECT_STREQ("Alice", c.info[0]);
    EXPECT_STREQ("", c.info[1]);
    EXPECT_EQ(0, c.infoIsNull[1]);
    EXPECT_EQ(7, c.iconType[1]);
    EXPECT_EQ(2, c.iconType[2]);
    EXPECT_EQ(1, get(5));
    EXPECT_EQ(1, get(-1));

    rec.reset();
    EXPECT_EQ(0, rec.State().recorded);
    EXPECT_EQ(SeeingCallback, rec.State().callback) << "reset keeps the callback";
}

} // namespace
