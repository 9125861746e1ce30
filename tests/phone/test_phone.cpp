// The phone object linked into the test: commands as the recording adapter
// receives them, results while stopped, identity, the dispatcher, connection
// points, aggregation and the device callback.
#include "phone/KexPhone.h"

#include "log/TraceLog.h"
#include "module/Module.h"
#include "tests/adapters/recording_adapter.h"
#include "tests/phone/phone_object_fixture.h"

#include <functional>
#include <thread>

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

TEST_F(PhoneTest, PutContactInfo)
{
    ASSERT_EQ(S_OK, phone->Start());
    unique_bstr t[5] = {Bstr(L"Bob"), Bstr(L"Work"), Bstr(L"Third"), Bstr(L"Fourth"), Bstr(L"Fifth")};
    BSTR texts[5] = {t[0].get(), t[1].get(), t[2].get(), t[3].get(), t[4].get()};
    LONG icons[5] = {-4, 7, 9, 11, 12};
    struct Case {
        const char* what;
        BSTR* info;
        LONG* icon;
        LONG line;
        HRESULT hr;
        const char* text[3];
        int32_t iconType[3];
    } cases[] = {
        {"line 2", texts, icons, 2, S_OK, {"Bob", "Work", ""}, {0, 7, 0}},
        {"line 5 reads three", texts, icons, 5, S_OK, {"Bob", "Work", "Third"}, {0, 7, 9}},
        {"line 1", texts + 1, icons + 1, 1, S_OK, {"Work", "", ""}, {7, 0, 0}},
        {"line 0", texts, icons, 0, E_INVALIDARG, {}, {}},
        {"line -1", texts, icons, -1, E_INVALIDARG, {}, {}},
        {"null texts", nullptr, icons, 1, E_INVALIDARG, {}, {}},
        {"null icons", texts, nullptr, 1, E_INVALIDARG, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        EXPECT_EQ(c.hr, phone->PutContactInfo(c.info, c.icon, c.line));
        if (FAILED(c.hr)) {
            EXPECT_EQ(0, rec.State().recorded);
            continue;
        }
        RecCommand got = Last(rec);
        EXPECT_EQ(13u, got.code);
        EXPECT_EQ(0u, got.lParam);
        ASSERT_TRUE(got.hasContact);
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(got.infoIsNull[i]) << i;
            EXPECT_STREQ(got.info[i], c.text[i]) << i;
            EXPECT_EQ(c.iconType[i], got.iconType[i]) << i;
        }
    }
}

// Arrays as automation clients make them: a SAFEARRAY of VARIANTs (a script's
// Array), of BSTRs or of longs, with any lower bound.
SAFEARRAY* VariantArray(std::initializer_list<VARIANT> items, LONG low = 0)
{
    SAFEARRAYBOUND bound = {static_cast<ULONG>(items.size()), low};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &bound);
    LONG i = low;
    for (VARIANT v : items) {
        SafeArrayPutElement(array, &i, &v); // copies
        VariantClear(&v);
        ++i;
    }
    return array;
}

VARIANT ArrayArg(SAFEARRAY* array, VARTYPE element)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ARRAY | element;
    V_ARRAY(&v) = array;
    return v;
}

VARIANT Text(const wchar_t* s)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(s); // freed once it is in the array
    return v;
}

VARIANT Long(LONG n)
{
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = n;
    return v;
}

TEST_F(PhoneTest, PutContactInfoListSendsTheSameRecord)
{
    ASSERT_EQ(S_OK, phone->Start());
    com_ptr<IKexPhone2> phone2;
    ASSERT_EQ(S_OK, phone.query(phone2));
    unique_bstr alice = Bstr(L"Alice"), work = Bstr(L"Work");
    std::vector<BSTR> bstrs = {alice.get(), work.get()};
    SAFEARRAYBOUND two = {2, 0};
    SAFEARRAY* bstrArray = SafeArrayCreate(VT_BSTR, 1, &two);
    SAFEARRAY* longArray = SafeArrayCreate(VT_I4, 1, &two);
    for (LONG i = 0; i < 2; ++i) {
        SafeArrayPutElement(bstrArray, &i, bstrs[i]);
        LONG icon = 5 + i;
        SafeArrayPutElement(longArray, &i, &icon);
    }
    struct Case {
        const char* what;
        LONG lines;
        SAFEARRAY* names;
        VARTYPE namesType;
        SAFEARRAY* icons;
        VARTYPE iconsType;
        HRESULT hr;
        const char* text[3];
        int32_t iconType[3];
    } cases[] = {
        {"variants", 2, VariantArray({Text(L"Bob"), Long(42)}), VT_VARIANT, VariantArray({Long(-3), Text(L"7")}),
         VT_VARIANT, S_OK, {"Bob", "42", ""}, {0, 7, 0}},
        {"typed arrays", 2, bstrArray, VT_BSTR, longArray, VT_I4, S_OK, {"Alice", "Work", ""}, {5, 6, 0}},
        {"lower bound 1, four entries", 4,
         VariantArray({Text(L"a"), Text(L"b"), Text(L"c"), Text(L"d")}, 1), VT_VARIANT,
         VariantArray({Long(1), Long(2), Long(3), Long(4)}, 1), VT_VARIANT, S_OK, {"a", "b", "c"}, {1, 2, 3}},
        {"shorter than lines", 3, VariantArray({Text(L"a")}), VT_VARIANT, VariantArray({Long(1)}), VT_VARIANT,
         E_INVALIDARG, {}, {}},
        {"icon not a number", 1, VariantArray({Text(L"a")}), VT_VARIANT, VariantArray({Text(L"x")}), VT_VARIANT,
         E_INVALIDARG, {}, {}},
        {"lines 0", 0, VariantArray({Text(L"a")}), VT_VARIANT, VariantArray({Long(1)}), VT_VARIANT, E_INVALIDARG,
         {}, {}},
        {"not an array", 1, nullptr, VT_EMPTY, nullptr, VT_EMPTY, E_INVALIDARG, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        VARIANT names, icons;
        VariantInit(&names);
        VariantInit(&icons);
        if (c.names)
            names = ArrayArg(c.names, c.namesType);
        if (c.icons)
            icons = ArrayArg(c.icons, c.iconsType);
        EXPECT_EQ(c.hr, phone2->PutContactInfoList(c.lines, names, icons));
        VariantClear(&names);
        VariantClear(&icons);
        if (FAILED(c.hr)) {
            EXPECT_EQ(0, rec.State().recorded);
            continue;
        }
        RecCommand got = Last(rec);
        EXPECT_EQ(13u, got.code);
        ASSERT_TRUE(got.hasContact);
        for (int i = 0; i < 3; ++i) {
            EXPECT_STREQ(got.info[i], c.text[i]) << i;
            EXPECT_EQ(c.iconType[i], got.iconType[i]) << i;
        }
    }
    ASSERT_EQ(S_OK, phone->Stop());
    VARIANT none;
    VariantInit(&none);
    EXPECT_EQ(E_FAIL, phone2->PutContactInfoList(1, none, none)) << "stopped";
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

// ---- identity -------------------------------------------------------------

TEST_F(PhoneTest, QueryInterfaceAnswersExactlyTheListedInterfaces)
{
    com_ptr<IUnknown> unk;
    ASSERT_EQ(S_OK, phone->QueryInterface(IID_IUnknown, unk.put_void()));
    struct Case {
        const char* what;
        const IID* iid;
        HRESULT hr;
        bool isUnknown;
    } cases[] = {
        {"IUnknown", &IID_IUnknown, S_OK, true},
        {"IProvideClassInfo", &IID_IProvideClassInfo, S_OK, true},
        {"IProvideClassInfo2", &IID_IProvideClassInfo2, S_OK, true},
        {"IKexPhone", &IID_IKexPhone, S_OK, false},
        {"IKexPhone2", &IID_IKexPhone2, S_OK, false},
        {"IDispatch", &IID_IDispatch, S_OK, false},
        {"IConnectionPointContainer", &IID_IConnectionPointContainer, S_OK, false},
        {"IConnectionPoint", &IID_IConnectionPoint, E_NOINTERFACE, false},
        {"IKexPhoneEvents", &DIID_IKexPhoneEvents, E_NOINTERFACE, false},
        {"IPropertyNotifySink", &IID_IPropertyNotifySink, E_NOINTERFACE, false},
        {"IMarshal", &IID_IMarshal, E_NOINTERFACE, false},
        {"IPersist", &IID_IPersist, E_NOINTERFACE, false},
        {"IProvideMultipleClassInfo", &IID_IProvideMultipleClassInfo, E_NOINTERFACE, false},
        {"IClassFactory", &IID_IClassFactory, E_NOINTERFACE, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* out = reinterpret_cast<void*>(0xdeadbeef);
        ASSERT_EQ(c.hr, phone->QueryInterface(*c.iid, &out));
        if (FAILED(c.hr)) {
            EXPECT_EQ(nullptr, out);
            continue;
        }
        IUnknown* got = static_cast<IUnknown*>(out);
        if (c.isUnknown) {
            EXPECT_EQ(unk.get(), got);
        } else {
            EXPECT_NE(got, unk.get());
        }
        got->Release();
    }
    void* dispatch = nullptr;
    ASSERT_EQ(S_OK, phone->QueryInterface(IID_IDispatch, &dispatch));
    EXPECT_EQ(static_cast<void*>(phone.get()), dispatch);
    static_cast<IUnknown*>(dispatch)->Release();
    EXPECT_EQ(E_POINTER, phone->QueryInterface(IID_IKexPhone, nullptr));
}

TEST_F(PhoneTest, ObjectHoldsOneModuleLockForItsLife)
{
    const long before = g_module.GetLockCount();
    com_ptr<IKexPhone> second;
    ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, second.put_void()));
    EXPECT_EQ(before + 1, g_module.GetLockCount());
    second.reset();
    EXPECT_EQ(before, g_module.GetLockCount());
}

TEST_F(PhoneTest, CreateInstanceErrors)
{
    const long before = g_module.GetLockCount();
    StubSink outer{DIID_IKexPhoneEvents};
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, KexUsbPhone::CreateInstance(&outer, IID_IKexPhone, &out));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, KexUsbPhone::CreateInstance(nullptr, IID_IConnectionPoint, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, KexUsbPhone::CreateInstance(nullptr, IID_IUnknown, nullptr));
    EXPECT_EQ(before, g_module.GetLockCount());
}

// An outer object that answers IUnknown itself and the rest through its inner.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        ++queries;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    IUnknown* inner = nullptr;
    ULONG refs = 1;
    int queries = 0;
};

TEST_F(PhoneTest, AggregatedObjectDelegatesToItsOuter)
{
    const long before = g_module.GetLockCount();
    Outer outer;
    ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    ASSERT_NE(outer.inner, nullptr);
    EXPECT_EQ(1u, outer.refs);

    IKexPhone* inner = nullptr;
    ASSERT_EQ(S_OK, outer.inner->QueryInterface(IID_IKexPhone, reinterpret_cast<void**>(&inner)));
    EXPECT_EQ(2u, outer.refs); // the reference went to the outer object
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(&outer, identity);
    identity->Release();
    EXPECT_EQ(1, outer.queries);
    com_ptr<IConnectionPointContainer> cpc;
    EXPECT_EQ(S_OK, inner->QueryInterface(IID_IConnectionPointContainer, cpc.put_void()));
    EXPECT_EQ(2, outer.queries);
    cpc.reset();
    EXPECT_EQ(S_OK, inner->Start()); // the same object behind it
    inner->Release();
    EXPECT_EQ(1u, outer.refs);

    // The inner unknown is its own: it does not hand out the outer.
    IUnknown* self = nullptr;
    ASSERT_EQ(S_OK, outer.inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)));
    EXPECT_EQ(outer.inner, self);
    self->Release();

    EXPECT_EQ(before + 1, g_module.GetLockCount());
    EXPECT_EQ(0u, outer.inner->Release()); // stops the still-started object
    EXPECT_EQ(1, rec.State().unInitializeCalls);
    EXPECT_EQ(before, g_module.GetLockCount());
}

TEST_F(PhoneTest, GetGUID)
{
    com_ptr<IProvideClassInfo2> info;
    ASSERT_EQ(S_OK, phone.query(info));
    const GUID junk = {0xdeadbeef, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    struct Case {
        DWORD kind;
        HRESULT hr;
        const GUID* guid;
    } cases[] = {
        {GUIDKIND_DEFAULT_SOURCE_DISP_IID, S_OK, &DIID_IKexPhoneEvents},
        {0, E_FAIL, &GUID_NULL},
        {2, E_FAIL, &GUID_NULL},
        {0xFFFFFFFF, E_FAIL, &GUID_NULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind);
        GUID g = junk;
        EXPECT_EQ(c.hr, info->GetGUID(c.kind, &g));
        EXPECT_TRUE(IsEqualGUID(g, *c.guid));
    }
    EXPECT_EQ(E_POINTER, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, nullptr));
}

TEST_F(PhoneTest, TypeInfoOfATestProgramWithoutTheLibraryResource)
{
    UINT count = 77;
    EXPECT_EQ(S_OK, phone->GetTypeInfoCount(&count));
    EXPECT_EQ(0u, count); // this program carries no type library
    EXPECT_EQ(E_POINTER, phone->GetTypeInfoCount(nullptr));
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0xdeadbeef);
    EXPECT_EQ(DISP_E_BADINDEX, phone->GetTypeInfo(1, 0, &info));
    EXPECT_EQ(E_POINTER, phone->GetTypeInfo(0, 0, nullptr));
}

// ---- connection points ------------------------------------------------------

TEST_F(PhoneTest, ConnectionPointsInTheirOrder)
{
    com_ptr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, phone.query(cpc));
    com_ptr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, cpc->EnumConnectionPoints(points.put()));
    std::vector<IID> order;
    for (;;) {
        IConnectionPoint* cp = nullptr;
        ULONG fetched = 0;
        if (points->Next(1, &cp, &fetched) != S_OK)
            break;
        IID iid;
        EXPECT_EQ(S_OK, cp->GetConnectionInterface(&iid));
        order.push_back(iid);
        com_ptr<IConnectionPointContainer> back;
        EXPECT_EQ(S_OK, cp->GetConnectionPointContainer(back.put()));
        EXPECT_EQ(cpc.get(), back.get());
        cp->Release();
    }
    ASSERT_EQ(2u, order.size());
    EXPECT_TRUE(IsEqualIID(order[0], IID_IPropertyNotifySink));
    EXPECT_TRUE(IsEqualIID(order[1], DIID_IKexPhoneEvents));

    struct Case {
        const char* what;
        const IID* iid;
        HRESULT hr;
    } cases[] = {
        {"events", &DIID_IKexPhoneEvents, S_OK},
        {"property notify", &IID_IPropertyNotifySink, S_OK},
        {"IDispatch", &IID_IDispatch, CONNECT_E_NOCONNECTION},
        {"IKexPhone", &IID_IKexPhone, CONNECT_E_NOCONNECTION},
        {"IUnknown", &IID_IUnknown, CONNECT_E_NOCONNECTION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IConnectionPoint* cp = reinterpret_cast<IConnectionPoint*>(0xdeadbeef);
        EXPECT_EQ(c.hr, cpc->FindConnectionPoint(*c.iid, &cp));
        if (FAILED(c.hr)) {
            EXPECT_EQ(nullptr, cp);
            continue;
        }
        IID iid;
        cp->GetConnectionInterface(&iid);
        EXPECT_TRUE(IsEqualIID(iid, *c.iid));
        cp->Release();
    }
    EXPECT_EQ(E_POINTER, cpc->FindConnectionPoint(DIID_IKexPhoneEvents, nullptr));
}

TEST_F(PhoneTest, AdviseErrors)
{
    com_ptr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, phone.query(cpc));
    com_ptr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()));
    StubSink plain{DIID_IKexPhoneEvents}, sink{DIID_IKexPhoneEvents};
    plain.answerEventIid = false;
    DWORD cookie = 0xdeadbeef;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, cp->Advise(&plain, &cookie));
    EXPECT_EQ(E_POINTER, cp->Advise(nullptr, &cookie));
    EXPECT_EQ(E_POINTER, cp->Advise(&sink, nullptr));
    ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cp->Unadvise(cookie));
    EXPECT_EQ(1, sink.refs());

    // The property notification point wants IPropertyNotifySink.
    com_ptr<IConnectionPoint> notify;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IPropertyNotifySink, notify.put()));
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, notify->Advise(&sink, &cookie));
}

// ---- device callback --------------------------------------------------------

struct EventCase {
    const char* what;
    uint32_t msg, w;
    int32_t l;
    std::vector<std::pair<DISPID, std::vector<long>>> expected;
};

std::vector<EventCase> EventCases()
{
    std::vector<EventCase> cases;
    const char* names[] = {"pick-up", "hang-up", "", "call", "address book", "clear", "history up", "history down",
                           "book up", "book down", "mute", "hold", "redial", "call book number", "history ex",
                           "hands-free"};
    for (uint32_t m = 1; m <= 16; ++m)
        if (m != 3)
            cases.push_back({names[m - 1], m, 77, -5, {{3, {static_cast<long>(m)}}}});
    for (uint32_t key : {1u, 5u, 9u, 10u, 11u, 12u})
        cases.push_back({"digit", 3, key, 0, {{2, {static_cast<long>(key)}}, {3, {3}}}});
    for (uint32_t key : {0u, 13u, 0xFFFFFFFFu})
        cases.push_back({"digit out of range", 3, key, 0, {{2, {-1}}, {3, {3}}}});
    cases.push_back({"plug in", 17, 1, 0, {{1, {1, 0, -1}}}});
    cases.push_back({"plug in, detail 1", 17, 1, 1, {{1, {1, 1, -1}}}});
    cases.push_back({"plug out, detail 7", 17, 0, 7, {{1, {0, -1, -1}}}});
    cases.push_back({"plug out, detail -1", 17, 0, -1, {{1, {0, -1, -1}}}});
    cases.push_back({"plug state 5", 17, 5, 0, {{1, {-1, 0, -1}}}});
    cases.push_back({"plug state 2^32-1", 17, 0xFFFFFFFFu, 2, {{1, {-1, -1, -1}}}});
    cases.push_back({"message 0", 0, 1, 1, {}});
    cases.push_back({"message 18", 18, 1, 1, {}});
    cases.push_back({"message 2^32-1", 0xFFFFFFFFu, 1, 1, {}});
    return cases;
}

class PhoneEventsTest : public PhoneTest {
protected:
    void SetUp() override
    {
        PhoneTest::SetUp();
        com_ptr<IConnectionPointContainer> cpc;
        ASSERT_EQ(S_OK, phone.query(cpc));
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()));
    }
    void TearDown() override
    {
        cp.reset();
        PhoneTest::TearDown();
    }

    // Raises the reports from the recording adapter's own thread and pumps
    // this thread's messages until it is done.
    void Raise(const std::vector<RecReport>& reports)
    {
        ASSERT_EQ(0, rec.raise(reports.data(), static_cast<int32_t>(reports.size())));
        ASSERT_TRUE(PumpWhileNot([&] { return rec.wait(0) >= 0; })) << "adapter thread did not finish";
    }

    void Check(const StubSink& sink, const EventCase& c, int copies)
    {
        std::vector<SeenEvent> want;
        for (const auto& e : c.expected)
            for (int i = 0; i < copies; ++i)
                want.push_back({e.first, e.second, true, DISPATCH_METHOD, 0, GetCurrentThreadId()});
        ASSERT_EQ(want.size(), sink.events.size()) << Describe(sink.events);
        for (size_t i = 0; i < want.size(); ++i) {
            const SeenEvent& got = sink.events[i];
            EXPECT_EQ(want[i].id, got.id) << i;
            EXPECT_EQ(want[i].args, got.args) << i;
            EXPECT_TRUE(got.allI4) << i;
            EXPECT_EQ(DISPATCH_METHOD, got.flags) << i;
            EXPECT_EQ(0u, got.named) << i;
            EXPECT_EQ(GetCurrentThreadId(), got.thread) << "not on the object's thread, event " << i;
        }
    }

    StubSink sink{DIID_IKexPhoneEvents}; // outlives the object, which releases it at the end
    com_ptr<IConnectionPoint> cp;
};

TEST_F(PhoneEventsTest, EveryMessageFromAnAdapterThreadReachesTheSinkOnTheHostThread)
{
    ASSERT_EQ(S_OK, phone->Start());
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
    for (const EventCase& c : EventCases()) {
        SCOPED_TRACE(testing::Message() << c.what << " msg " << c.msg << " w " << c.w << " l " << c.l);
        sink.events.clear();
        const int32_t raisedBefore = rec.State().raised;
        Raise({{c.msg, c.w, c.l}});
        Check(sink, c, 1);
        RecState s = rec.State();
        EXPECT_EQ(raisedBefore + 1, s.raised);
        EXPECT_EQ(0, s.raisedNonZero);
        EXPECT_NE(s.raiseThreadId, GetCurrentThreadId());
    }
    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
}

TEST_F(PhoneEventsTest, ASinkAdvisedTwiceHearsEachEventTwice)
{
    ASSERT_EQ(S_OK, phone->Start());
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(S_OK, cp->Advise(&sink, &c1));
    ASSERT_EQ(S_OK, cp->Advise(&sink, &c2));
    EXPECT_NE(c1, c2);
    for (const EventCase& c : EventCases()) {
        if (c.msg != 3 && c.msg != 17)
            continue;
        SCOPED_TRACE(c.what);
        sink.events.clear();
        Raise({{c.msg, c.w, c.l}});
        // Each event goes to both connections before the next event.
        std::vector<SeenEvent> got = sink.events;
        ASSERT_EQ(c.expected.size() * 2, got.size()) << Describe(got);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(c.expected[i / 2].first, got[i].id) << i;
        }
    }
}

TEST_F(PhoneEventsTest, AFailingSinkStopsTheEventAndTheAdapterStillGetsZero)
{
    ASSERT_EQ(S_OK, phone->Start());
    StubSink second{DIID_IKexPhoneEvents};
    sink.result = E_FAIL;
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(S_OK, cp->Advise(&sink, &c1));
    ASSERT_EQ(S_OK, cp->Advise(&second, &c2));
    Raise({{3, 5, 0}});
    EXPECT_EQ(2u, sink.events.size()) << Describe(sink.events); // OnKey, then OnAction still handed over
    EXPECT_TRUE(second.events.empty()) << Describe(second.events);
    EXPECT_EQ(0, rec.State().raisedNonZero);
    EXPECT_EQ(S_OK, cp->Unadvise(c2));
}

TEST_F(PhoneEventsTest, WithoutSinksEveryMessageStillReturnsZero)
{
    ASSERT_EQ(S_OK, phone->Start());
    std::vector<RecReport> all;
    for (uint32_t m = 0; m <= 18; ++m)
        all.push_back({m, 1, 1});
    Raise(all);
    EXPECT_EQ(0, rec.State().raisedNonZero);
}

TEST_F(PhoneEventsTest, ReportFromInsideExecuteRunsInlineOnTheHostThread)
{
    ASSERT_EQ(S_OK, phone->Start());
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
    RecReport key = {3, 5, 0};
    rec.reportOnExecute(KEX_CMD_READY, &key);
    ASSERT_EQ(S_OK, phone->Ready());
    rec.reportOnExecute(0, nullptr);
    // Already delivered when Ready returns: nothing was pumped.
    Check(sink, {"inline", 3, 5, 0, {{2, {5}}, {3, {3}}}}, 1);
}

// A sink may stop or release the object from an event that an adapter raised
// inside "execute": the broadcast still reaches every adapter, and only then
// are the adapters unloaded (never while one of them is on the stack).
TEST_F(PhoneEventsTest, StopOrReleaseFromAnEventRaisedInsideExecute)
{
    const struct {
        const char* what;
        bool release; // drop the last reference instead of calling Stop
    } cases[] = {{"Stop", false}, {"last Release", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!phone)
            ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
        com_ptr<IConnectionPointContainer> cpc;
        ASSERT_EQ(S_OK, phone.query(cpc));
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()));
        cpc.reset();
        UseAdapters({"Alpha", "Beta"});
        rec.reset();
        rec2.reset();
        ASSERT_EQ(S_OK, phone->Start());
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
        cp.reset();
        const long locks = g_module.GetLockCount();
        VARIANT_BOOL startedInEvent = VARIANT_TRUE;
        int uninitializedInEvent = -1;
        sink.events.clear();
        bool fired = false;
        sink.during = [&] {
            if (fired)
                return;
            fired = true;
            if (c.release) {
                phone.reset();
                uninitializedInEvent = rec.State().unInitializeCalls;
                return;
            }
            EXPECT_EQ(S_OK, phone->Stop());
            phone->get_IsStarted(&startedInEvent);
            uninitializedInEvent = rec.State().unInitializeCalls;
        };
        RecReport key = {3, 5, 0};
        rec.reportOnExecute(KEX_CMD_READY, &key);
        IKexPhone* raw = phone.get();
        EXPECT_EQ(S_OK, raw->Ready());
        rec.reportOnExecute(0, nullptr);
        sink.during = nullptr;

        EXPECT_TRUE(fired);
        EXPECT_EQ(0, uninitializedInEvent) << "unloaded while its execute was running";
        EXPECT_EQ(1, rec2.State().executeCalls) << "the broadcast stopped half way";
        EXPECT_EQ(1, rec.State().unInitializeCalls);
        EXPECT_EQ(1, rec2.State().unInitializeCalls);
        if (c.release) {
            EXPECT_FALSE(phone);
            EXPECT_EQ(locks - 1, g_module.GetLockCount()) << "object not destroyed";
        } else {
            EXPECT_EQ(VARIANT_FALSE, startedInEvent);
            VARIANT_BOOL started = VARIANT_TRUE;
            EXPECT_EQ(S_OK, phone->get_IsStarted(&started));
            EXPECT_EQ(VARIANT_FALSE, started);
            EXPECT_EQ(S_OK, phone->Start()) << "starts again after the deferred unload";
            EXPECT_EQ(S_OK, phone->Stop());
            phone.reset();
        }
    }
}

// The usual case: a report raised on the adapter's own thread, whose
// "UnInitialize" joins that thread. Stop or the last Release from the handler
// must not wait for that join: the object is stopped at once, the report's
// callback returns, and the adapters go after the handler has returned.
TEST_F(PhoneEventsTest, StopOrReleaseFromAnEventRaisedOnAnAdapterThread)
{
    const struct {
        const char* what;
        bool release;
    } cases[] = {{"Stop", false}, {"last Release", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!phone)
            ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
        com_ptr<IConnectionPointContainer> cpc;
        ASSERT_EQ(S_OK, phone.query(cpc));
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()));
        cpc.reset();
        rec.reset();
        ASSERT_EQ(S_OK, phone->Start());
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
        cp.reset();
        const long locks = g_module.GetLockCount();
        sink.events.clear();
        VARIANT_BOOL startedInEvent = VARIANT_TRUE;
        HRESULT readyInEvent = S_OK;
        int uninitializedInEvent = -1;
        sink.during = [&] {
            if (c.release) {
                phone.reset();
            } else {
                EXPECT_EQ(S_OK, phone->Stop());
                phone->get_IsStarted(&startedInEvent);
                readyInEvent = phone->Ready();
            }
            uninitializedInEvent = rec.State().unInitializeCalls;
        };
        {
            Watchdog dog(c.what, 10000);
            // The key press after the plug-out reaches a stopped object.
            Raise({{17, 0, 0}, {3, 5, 0}});
        }
        sink.during = nullptr;
        EXPECT_EQ(1u, sink.events.size()) << Describe(sink.events);
        EXPECT_EQ(0, uninitializedInEvent) << "unloaded inside the handler";
        RecState s = rec.State();
        EXPECT_EQ(1, s.unInitializeCalls);
        EXPECT_EQ(0, s.unInitializeNested);
        EXPECT_EQ(0, s.executeCalls);
        EXPECT_EQ(2, s.raised);
        if (c.release) {
            EXPECT_EQ(locks - 1, g_module.GetLockCount()) << "object not destroyed";
        } else {
            EXPECT_EQ(VARIANT_FALSE, startedInEvent);
            EXPECT_EQ(E_FAIL, readyInEvent);
            EXPECT_EQ(S_OK, phone->Start()) << "starts again after the deferred unload";
            EXPECT_EQ(S_OK, phone->Stop());
            phone.reset();
        }
    }
}

// An adapter that dispatches messages while "UnInitialize" joins its thread
// reaches a report queued before Stop. Nothing may then reach that adapter:
// no event, no command from a handler, no second "UnInitialize".
TEST_F(PhoneEventsTest, AReportQueuedWhenStopBeginsReachesNothing)
{
    ASSERT_EQ(S_OK, phone->Start());
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
    rec.setPumpOnJoin(1);
    sink.during = [&] {
        phone->Ready();
        phone->Stop();
    };
    RecReport key = {3, 5, 0};
    ASSERT_EQ(0, rec.raise(&key, 1));
    // Wait until the report is queued for this thread, then stop.
    MSG msg;
    for (int i = 0; i < 1000 && !PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); ++i)
        Sleep(5);
    {
        Watchdog dog("Stop with a report queued", 10000);
        EXPECT_EQ(S_OK, phone->Stop());
    }
    sink.during = nullptr;
    EXPECT_TRUE(sink.events.empty()) << Describe(sink.events);
    RecState s = rec.State();
    EXPECT_EQ(0, s.executeInUnInitialize);
    EXPECT_EQ(0, s.unInitializeNested);
    EXPECT_EQ(1, s.unInitializeCalls);
    EXPECT_EQ(1, rec.wait(0));
}

// The shipped virtual handset joins its scenario thread in "UnInitialize",
// and a host stops when the handset is unplugged.
TEST_F(PhoneEventsTest, TheVirtualHandsetStoppedFromItsPlugOutEvent)
{
    m_dir.Copy(ExeDirectory() + "virtual_handset.dll", "virtual_handset.dll");
    m_dir.Write("virtual_handset.ini", "[Handset]\r\nScenario=unplug.scenario\r\nControlPipe=\r\nConsole=0\r\n");
    m_dir.Write("unplug.scenario", "plug in\nplug out\nplug in\n");
    m_dir.Write("USBPhone.ini", "[AdapterList]\r\nHandset=virtual_handset.dll\r\n");
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
    sink.during = [&] {
        if (sink.events.back().args.at(0) == KEX_USBPHONE_EVENT_PLUGOUT)
            EXPECT_EQ(S_OK, phone->Stop());
    };
    {
        Watchdog dog("Stop from the virtual handset's plug-out", 10000);
        ASSERT_EQ(S_OK, phone->Start());
        ASSERT_TRUE(PumpWhileNot([&] { return GetModuleHandleA("virtual_handset.dll") == nullptr; }))
            << Describe(sink.events);
    }
    sink.during = nullptr;
    ASSERT_EQ(2u, sink.events.size()) << Describe(sink.events);
    EXPECT_EQ(KEX_USBPHONE_EVENT_PLUGOUT, sink.events[1].args.at(0));
}

TEST_F(PhoneEventsTest, CallbackDirectlyFromAnotherThread)
{
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
    int32_t result = -1;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread t([&] {
        result = ComUSBPhoneCallBack(17, 1, 0);
        SetEvent(done);
    });
    EXPECT_TRUE(PumpUntil(done));
    t.join();
    CloseHandle(done);
    EXPECT_EQ(0, result);
    Check(sink, {"plug", 17, 1, 0, {{1, {1, 0, -1}}}}, 1);
}

// ---- lifetime: no callback may reach a destroyed object ---------------------

// The newest object receives the events; when it goes, the newest of those
// still alive takes them again, so a short-lived second object never
// silences the first.
TEST_F(PhoneTest, TheNewestLiveObjectReceivesEvents)
{
    KexUsbPhone* first = g_pPhone;
    ASSERT_NE(first, nullptr);
    com_ptr<IKexPhone> second;
    ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, second.put_void()));
    KexUsbPhone* secondTarget = g_pPhone;
    EXPECT_NE(secondTarget, first);
    com_ptr<IKexPhone> third;
    ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, third.put_void()));
    KexUsbPhone* thirdTarget = g_pPhone;

    second.reset(); // not the target: the target stays
    EXPECT_EQ(thirdTarget, g_pPhone);
    third.reset(); // the target: back to the newest one alive
    EXPECT_EQ(first, g_pPhone);
    phone.reset();
    EXPECT_EQ(nullptr, g_pPhone);
    EXPECT_EQ(0, ComUSBPhoneCallBack(3, 5, 0)); // dropped, nothing to reach
}

TEST_F(PhoneTest, ReleasingAStartedObjectStopsItsAdapters)
{
    ASSERT_EQ(S_OK, phone->Start());
    phone.reset();
    RecState s = rec.State();
    EXPECT_EQ(1, s.unInitializeCalls);
    EXPECT_EQ(nullptr, g_pPhone);
    // The adapter keeps the callback it was given: calling it is harmless.
    ASSERT_NE(s.callback, nullptr);
    EXPECT_EQ(0, s.callback(1, 0, 0));
}

TEST_F(PhoneTest, ObjectReleasedWhileACallbackIsOnItsWay)
{
    const long before = g_module.GetLockCount();
    com_ptr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, phone.query(cpc));
    com_ptr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()));
    StubSink sink{DIID_IKexPhoneEvents};
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
    cp.reset();
    cpc.reset();

    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread t([&] {
        ComUSBPhoneCallBack(3, 5, 0);
        SetEvent(done);
    });
    // Wait until the event is queued for this thread, then let the object go.
    MSG msg;
    for (int i = 0; i < 1000 && !PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); ++i)
        Sleep(5);
    phone.reset();
    EXPECT_EQ(nullptr, g_pPhone);
    EXPECT_TRUE(PumpUntil(done));
    t.join();
    CloseHandle(done);
    EXPECT_TRUE(sink.events.empty()) << Describe(sink.events);
    EXPECT_EQ(1, sink.refs()); // released at the object's final release
    EXPECT_EQ(before - 1, g_module.GetLockCount());
}

TEST(PhoneCallback, WithoutAPhoneObjectMessagesAreDropped)
{
    ASSERT_EQ(nullptr, g_pPhone);
    for (uint32_t m : {0u, 1u, 3u, 17u, 18u}) {
        EXPECT_EQ(0, ComUSBPhoneCallBack(m, 1, 1)) << m;
    }
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

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ComApartment sta;
    return RUN_ALL_TESTS();
}
