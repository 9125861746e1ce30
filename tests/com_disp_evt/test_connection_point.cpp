// The connection point: identity, advising, enumerating, and firing events to
// its sinks (argument order, a failing sink, error information), here and from
// a raising thread through a SyncEvent.
#include "com_disp_evt/ProxyWindow.h"
#include "com_disp_evt/connection_point.h"
#include "com_disp_evt/disp_evt_fun.h"
#include "tests/com_disp_evt/evt_test_support.h"
#include "win32/QiTable.h"

#include <olectl.h>

#include <gtest/gtest.h>

#include <thread>
#include <utility>

using com_disp_evt::connection_point;
using com_disp_evt::fire_event;
using test_support::SinkCall;
using test_support::StubSink;

namespace {

// {6C1B0C3E-2F0A-4F1B-9A57-0E5C2D7B9A11}: an outgoing dispinterface for the tests.
const IID DIID_TestEvents = {0x6c1b0c3e, 0x2f0a, 0x4f1b, {0x9a, 0x57, 0x0e, 0x5c, 0x2d, 0x7b, 0x9a, 0x11}};
const DWORD kJunk = 0xCCCCCCCC;

std::atomic<long> g_moduleLocks{0};
void LockModule() { ++g_moduleLocks; }
void UnlockModule() { --g_moduleLocks; }

// A minimal event source: a container with two points, counting references.
class Source : public IConnectionPointContainer {
public:
    Source() : events(this, DIID_TestEvents), notify(this, IID_IPropertyNotifySink) {}

    connection_point events;
    connection_point notify;
    LONG refs = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        const kex::QiEntry interfaces[] = {KEX_QI_ENTRY(Source, IConnectionPointContainer), {}};
        return kex::QiSearch(this, interfaces, riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override
    {
        IConnectionPoint* points[] = {&notify, &events};
        return com_disp_evt::make_connection_point_enum(points, 2, ppEnum);
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }

    HRESULT FireStateChange(long e, long w, long l) { return fire_event(events, 1, e, w, l); }
    HRESULT FireKey(long k) { return fire_event(events, 2, k); }
};

class ConnectionPointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_moduleLocks = 0;
        com_disp_evt::set_module_lock_hooks(&LockModule, &UnlockModule);
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override
    {
        com_disp_evt::set_module_lock_hooks(nullptr, nullptr);
        SetErrorInfo(0, nullptr);
    }
    std::vector<SinkCall> journal;
};

} // namespace

TEST_F(ConnectionPointTest, IdentityDelegatesToTheContainer)
{
    Source src;
    IConnectionPoint* cp = &src.events;
    EXPECT_EQ(2u, cp->AddRef());
    EXPECT_EQ(2, src.refs);
    cp->Release();

    struct {
        const IID* iid;
        HRESULT hr;
    } rows[] = {{&IID_IUnknown, S_OK},
                {&IID_IConnectionPoint, S_OK},
                {&IID_IConnectionPointContainer, E_NOINTERFACE},
                {&IID_IDispatch, E_NOINTERFACE}};
    for (const auto& row : rows) {
        void* out = reinterpret_cast<void*>(0xdeadbeef);
        HRESULT hr = cp->QueryInterface(*row.iid, &out);
        EXPECT_EQ(row.hr, hr) << "row " << (&row - rows);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(static_cast<void*>(cp), out);
            cp->Release();
        } else {
            EXPECT_EQ(nullptr, out);
        }
    }
    EXPECT_EQ(1, src.refs);

    IID iid = IID_NULL;
    EXPECT_EQ(S_OK, cp->GetConnectionInterface(&iid));
    EXPECT_EQ(DIID_TestEvents, iid);
    EXPECT_EQ(E_POINTER, cp->GetConnectionInterface(nullptr));
    IConnectionPointContainer* container = nullptr;
    EXPECT_EQ(S_OK, cp->GetConnectionPointContainer(&container));
    EXPECT_EQ(static_cast<IConnectionPointContainer*>(&src), container);
    EXPECT_EQ(2, src.refs);
    container->Release();
    EXPECT_EQ(E_POINTER, cp->GetConnectionPointContainer(nullptr));
}

TEST_F(ConnectionPointTest, AdviseAndUnadvise)
{
    Source src;
    StubSink good(DIID_TestEvents, &journal), wrong(DIID_TestEvents, &journal);
    wrong.answerEventIid = false; // answers IDispatch only

    struct {
        const char* name;
        IUnknown* sink;
        bool cookieOut;
        HRESULT hr;
    } rows[] = {
        {"null sink", nullptr, true, E_POINTER},
        {"null cookie", &good, false, E_POINTER},
        {"sink without the event interface", &wrong, true, CONNECT_E_CANNOTCONNECT},
        {"good sink", &good, true, S_OK},
        {"good sink again", &good, true, S_OK},
    };
    std::vector<DWORD> cookies;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DWORD cookie = kJunk;
        HRESULT hr = src.events.Advise(row.sink, row.cookieOut ? &cookie : nullptr);
        EXPECT_EQ(row.hr, hr);
        if (!row.cookieOut)
            continue;
        if (hr == S_OK) {
            EXPECT_NE(0u, cookie);
            cookies.push_back(cookie);
        } else {
            EXPECT_EQ(0u, cookie);
        }
    }
    EXPECT_EQ(1, wrong.refs());
    EXPECT_EQ(3, good.refs()); // one per connection
    ASSERT_EQ(2u, cookies.size());
    EXPECT_NE(cookies[0], cookies[1]);

    EXPECT_EQ(CONNECT_E_NOCONNECTION, src.events.Unadvise(0));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, src.events.Unadvise(cookies[1] + 100));
    EXPECT_EQ(S_OK, src.events.Unadvise(cookies[0]));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, src.events.Unadvise(cookies[0]));
    EXPECT_EQ(2, good.refs());
    // Cookies are not handed out again.
    DWORD again = kJunk;
    EXPECT_EQ(S_OK, src.events.Advise(&good, &again));
    EXPECT_NE(cookies[0], again);
    EXPECT_NE(cookies[1], again);
    src.events.clear();
    EXPECT_EQ(1, good.refs());
    EXPECT_EQ(0u, src.events.size());
}

TEST_F(ConnectionPointTest, EnumConnectionsIsASnapshotThatHoldsTheModule)
{
    Source src;
    StubSink a(DIID_TestEvents, &journal), b(DIID_TestEvents, &journal);
    DWORD ca = 0, cb = 0;
    ASSERT_EQ(S_OK, src.events.Advise(&a, &ca));
    ASSERT_EQ(S_OK, src.events.Advise(&b, &cb));

    EXPECT_EQ(E_POINTER, src.events.EnumConnections(nullptr));
    IEnumConnections* en = nullptr;
    ASSERT_EQ(S_OK, src.events.EnumConnections(&en));
    EXPECT_EQ(1, g_moduleLocks.load());
    // Unadvising afterwards does not change what the enumerator yields.
    EXPECT_EQ(S_OK, src.events.Unadvise(ca));
    EXPECT_EQ(2, a.refs()); // the enumerator's own reference

    CONNECTDATA data[3];
    memset(data, 0xCC, sizeof data);
    ULONG fetched = kJunk;
    EXPECT_EQ(S_FALSE, en->Next(3, data, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(static_cast<IUnknown*>(&a), data[0].pUnk);
    EXPECT_EQ(ca, data[0].dwCookie);
    EXPECT_EQ(static_cast<IUnknown*>(&b), data[1].pUnk);
    EXPECT_EQ(cb, data[1].dwCookie);
    data[0].pUnk->Release();
    data[1].pUnk->Release();

    struct {
        const char* name;
        HRESULT (*step)(IEnumConnections*);
        HRESULT hr;
    } steps[] = {
        {"Next past the end", [](IEnumConnections* e) { CONNECTDATA d; return e->Next(1, &d, nullptr); }, S_FALSE},
        {"Next of 2 without a count", [](IEnumConnections* e) { CONNECTDATA d[2]; return e->Next(2, d, nullptr); },
         E_POINTER},
        {"Reset", [](IEnumConnections* e) { return e->Reset(); }, S_OK},
        {"Skip 2", [](IEnumConnections* e) { return e->Skip(2); }, S_OK},
        {"Skip past the end", [](IEnumConnections* e) { return e->Skip(1); }, S_FALSE},
        {"Reset again", [](IEnumConnections* e) { return e->Reset(); }, S_OK},
        {"Skip 1", [](IEnumConnections* e) { return e->Skip(1); }, S_OK},
    };
    for (const auto& s : steps)
        EXPECT_EQ(s.hr, s.step(en)) << s.name;

    IEnumConnections* clone = nullptr;
    ASSERT_EQ(S_OK, en->Clone(&clone));
    EXPECT_EQ(2, g_moduleLocks.load());
    en->Release();
    EXPECT_EQ(1, g_moduleLocks.load());
    // The clone starts where the original stood.
    CONNECTDATA d = {};
    EXPECT_EQ(S_OK, clone->Next(1, &d, nullptr));
    EXPECT_EQ(static_cast<IUnknown*>(&b), d.pUnk);
    d.pUnk->Release();
    clone->Release();
    EXPECT_EQ(0, g_moduleLocks.load());
    EXPECT_EQ(1, a.refs());
    src.events.clear();
}

TEST_F(ConnectionPointTest, EnumConnectionPointsListsThePointsInOrder)
{
    Source src;
    IEnumConnectionPoints* en = nullptr;
    ASSERT_EQ(S_OK, src.EnumConnectionPoints(&en));
    EXPECT_EQ(1, g_moduleLocks.load());
    EXPECT_EQ(3, src.refs); // each point held, through its container

    IConnectionPoint* points[3] = {};
    ULONG fetched = kJunk;
    EXPECT_EQ(S_FALSE, en->Next(3, points, &fetched));
    ASSERT_EQ(2u, fetched);
    IID first = IID_NULL, second = IID_NULL;
    points[0]->GetConnectionInterface(&first);
    points[1]->GetConnectionInterface(&second);
    EXPECT_EQ(IID_IPropertyNotifySink, first);
    EXPECT_EQ(DIID_TestEvents, second);
    points[0]->Release();
    points[1]->Release();
    en->Release();
    EXPECT_EQ(0, g_moduleLocks.load());
    EXPECT_EQ(1, src.refs);
    EXPECT_EQ(E_POINTER, com_disp_evt::make_connection_point_enum(nullptr, 0, nullptr));
}

TEST_F(ConnectionPointTest, FiringWithNoSinkCallsNothing)
{
    Source src;
    EXPECT_EQ(S_OK, src.FireKey(5));
    EXPECT_TRUE(journal.empty());
}

TEST_F(ConnectionPointTest, ArgumentsTravelAsI4LastParameterFirst)
{
    Source src;
    StubSink a(DIID_TestEvents, &journal), b(DIID_TestEvents, &journal);
    DWORD c1, c2, c3;
    src.events.Advise(&a, &c1);
    src.events.Advise(&b, &c2);
    src.events.Advise(&a, &c3); // advised twice: called twice
    EXPECT_EQ(S_OK, src.FireStateChange(1, 0, -1));
    ASSERT_EQ(3u, journal.size());
    const void* order[] = {&a, &b, &a};
    for (size_t k = 0; k < journal.size(); ++k) {
        SCOPED_TRACE(k);
        const SinkCall& r = journal[k];
        EXPECT_EQ(order[k], r.sink);
        EXPECT_EQ(1, r.id);
        EXPECT_EQ(DISPATCH_METHOD, r.flags);
        EXPECT_EQ(0u, r.named);
        EXPECT_EQ((std::vector<VARTYPE>{VT_I4, VT_I4, VT_I4}), r.types);
        // Fresh values per sink although each stub scribbles over them.
        EXPECT_EQ((std::vector<long>{-1, 0, 1}), r.values);
    }
    journal.clear();
    EXPECT_EQ(S_OK, src.FireKey(12));
    ASSERT_EQ(3u, journal.size());
    EXPECT_EQ(2, journal[0].id);
    EXPECT_EQ((std::vector<long>{12}), journal[0].values);
    src.events.clear();
}

TEST_F(ConnectionPointTest, AFailingSinkEndsTheWalk)
{
    struct {
        HRESULT failure;
    } rows[] = {{E_FAIL}, {DISP_E_EXCEPTION}, {static_cast<HRESULT>(0x80040201)}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.failure);
        journal.clear();
        Source src;
        StubSink first(DIID_TestEvents, &journal), second(DIID_TestEvents, &journal), third(DIID_TestEvents, &journal);
        second.result = row.failure;
        DWORD c;
        src.events.Advise(&first, &c);
        src.events.Advise(&second, &c);
        src.events.Advise(&third, &c);
        EXPECT_EQ(row.failure, src.FireKey(3));
        ASSERT_EQ(2u, journal.size());
        EXPECT_EQ(&first, journal[0].sink);
        EXPECT_EQ(&second, journal[1].sink);
        src.events.clear();
    }
}

TEST_F(ConnectionPointTest, ASinkMayUnadviseOthersOrItselfDuringTheEvent)
{
    Source src;
    StubSink a(DIID_TestEvents, &journal), b(DIID_TestEvents, &journal), c(DIID_TestEvents, &journal);
    DWORD ca, cb, cc;
    src.events.Advise(&a, &ca);
    src.events.Advise(&b, &cb);
    src.events.Advise(&c, &cc);
    bool once = true;
    a.during = [&] {
        if (!std::exchange(once, false))
            return;
        EXPECT_EQ(S_OK, src.events.Unadvise(cb));
        EXPECT_EQ(S_OK, src.events.Unadvise(ca));
        DWORD again;
        EXPECT_EQ(S_OK, src.events.Advise(&a, &again)); // and back, at the end
    };
    EXPECT_EQ(S_OK, src.FireKey(1));
    // This event went to everyone advised when it started, each kept alive.
    ASSERT_EQ(3u, journal.size());
    EXPECT_EQ(&b, journal[1].sink);
    EXPECT_EQ(1, b.refs());
    journal.clear();
    EXPECT_EQ(S_OK, src.FireKey(2));
    ASSERT_EQ(2u, journal.size());
    EXPECT_EQ(&c, journal[0].sink);
    EXPECT_EQ(&a, journal[1].sink);
    src.events.clear();
}

namespace {
HRESULT WINAPI FillInLater(EXCEPINFO* info)
{
    info->scode = E_ACCESSDENIED;
    return S_OK;
}
} // namespace

TEST_F(ConnectionPointTest, ExcepInfoBecomesErrorInformationOnlyWithoutAnExceptionCode)
{
    wchar_t source[] = L"Sink", description[] = L"went wrong";
    struct Row {
        const char* name;
        WORD wCode;
        HRESULT scode;
        bool withText;
        bool deferred;
        bool installed;
    } rows[] = {
        {"all zero", 0, 0, false, false, true},
        {"text, no code", 0, 0, true, false, true},
        {"scode", 0, E_INVALIDARG, true, false, false},
        {"wCode", 5, 0, true, false, false},
        {"wCode at the top", 0xFE01, 0, false, false, false},
        {"code filled in later", 0, 0, false, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        journal.clear();
        SetErrorInfo(0, nullptr);
        Source src;
        StubSink sink(DIID_TestEvents, &journal);
        sink.result = DISP_E_EXCEPTION;
        sink.excep.wCode = row.wCode;
        sink.excep.scode = row.scode;
        if (row.withText) {
            sink.excep.bstrSource = source;
            sink.excep.bstrDescription = description;
        }
        if (row.deferred)
            sink.excep.pfnDeferredFillIn = &FillInLater;
        DWORD c;
        src.events.Advise(&sink, &c);
        EXPECT_EQ(DISP_E_EXCEPTION, src.FireKey(1));

        kex::com_ptr<IErrorInfo> error;
        const HRESULT got = GetErrorInfo(0, error.put());
        if (!row.installed) {
            EXPECT_EQ(S_FALSE, got);
            EXPECT_FALSE(error);
        } else {
            ASSERT_EQ(S_OK, got);
            ASSERT_TRUE(error);
            GUID guid = IID_NULL;
            error->GetGUID(&guid);
            EXPECT_EQ(IID_IDispatch, guid);
            kex::unique_bstr src_text, desc_text;
            error->GetSource(src_text.put());
            error->GetDescription(desc_text.put());
            if (row.withText) {
                EXPECT_STREQ(source, src_text.get());
                EXPECT_STREQ(description, desc_text.get());
            } else {
                EXPECT_EQ(0u, SysStringLen(src_text.get()));
                EXPECT_EQ(0u, SysStringLen(desc_text.get()));
            }
        }
        src.events.clear();
    }
}

namespace {
// The phone object's shape: fire members run through sync_call.
struct Firing {
    Source src;
    com_disp_evt::SyncEvent ev;
    HRESULT Fire_OnKey(long k) { return src.FireKey(k); }
};
} // namespace

TEST_F(ConnectionPointTest, EventsRaisedOnAWorkerReachSinksOnTheWindowThread)
{
    evt_test::HostThread host;
    Firing f;
    StubSink sink(DIID_TestEvents, &journal);
    DWORD c;
    host.Run([&] {
        f.ev.Attach();
        f.src.events.Advise(&sink, &c);
    });
    evt_test::RaiseAndWait("the event raised on a worker", [&] {
        long key = 10;
        EXPECT_TRUE(com_disp_evt::sync_call(f.ev, &f, &Firing::Fire_OnKey, key));
    });
    ASSERT_EQ(1u, journal.size());
    EXPECT_EQ(host.id(), journal[0].thread);
    EXPECT_EQ((std::vector<long>{10}), journal[0].values);
    host.Run([&] {
        f.src.events.clear();
        f.ev.Detach();
    });
}
