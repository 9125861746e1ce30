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
    ASSERT_EQ(phone->Start(), S_OK);
    for (const CommandCase& c : CommandCases()) {
        SCOPED_TRACE(c.what);
        rec.reset();
        rec2.reset();
        EXPECT_EQ(c.call(phone.get()), S_OK);
        for (const RecAdapter* a : {&rec, &rec2}) {
            ASSERT_EQ(a->State().recorded, 1);
            RecCommand got = Last(*a);
            EXPECT_EQ(got.code, c.code);
            if (c.w) {
                EXPECT_TRUE(got.hasText[0]);
                EXPECT_STREQ(got.text[0], c.w);
            } else {
                EXPECT_EQ(got.wParam, 0u);
            }
            if (c.l) {
                EXPECT_TRUE(got.hasText[1]);
                EXPECT_STREQ(got.text[1], c.l);
            } else {
                EXPECT_EQ(got.lParam, 0u);
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
            EXPECT_EQ(c.call(phone.get()), E_FAIL);
        }
        BSTR name = reinterpret_cast<BSTR>(0x1234);
        EXPECT_EQ(phone->get_USBPhoneName(&name), E_FAIL);
        EXPECT_EQ(name, reinterpret_cast<BSTR>(0x1234));
        BSTR info[1] = {nullptr};
        LONG icon[1] = {0};
        EXPECT_EQ(phone->PutContactInfo(info, icon, 1), E_FAIL);
        EXPECT_EQ(rec.State().recorded, 0);
        ASSERT_EQ(phone->Start(), S_OK);
        ASSERT_EQ(phone->Stop(), S_OK);
        rec.reset();
    }
}

TEST_F(PhoneTest, AnAdapterRejectingEveryCommandStillGivesSOk)
{
    ASSERT_EQ(phone->Start(), S_OK);
    rec.setExecuteResult(0, 1);
    for (const CommandCase& c : CommandCases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(phone.get()), S_OK);
    }
}

TEST_F(PhoneTest, StartAndStopTwice)
{
    VARIANT_BOOL started = 0x1234;
    EXPECT_EQ(phone->Stop(), S_OK);
    ASSERT_EQ(phone->get_IsStarted(&started), S_OK);
    EXPECT_EQ(started, VARIANT_FALSE);

    EXPECT_EQ(phone->Start(), S_OK);
    EXPECT_EQ(phone->Start(), S_OK);
    EXPECT_EQ(rec.State().intializeCalls, 1);
    ASSERT_EQ(phone->get_IsStarted(&started), S_OK);
    EXPECT_EQ(static_cast<unsigned short>(started), 0xFFFFu);

    EXPECT_EQ(phone->Stop(), S_OK);
    EXPECT_EQ(phone->Stop(), S_OK);
    EXPECT_EQ(rec.State().unInitializeCalls, 1);
    ASSERT_EQ(phone->get_IsStarted(&started), S_OK);
    EXPECT_EQ(started, VARIANT_FALSE);

    // A fresh manager reads the configuration again.
    rec.reset();
    EXPECT_EQ(phone->Start(), S_OK);
    EXPECT_EQ(rec.State().intializeCalls, 1);

    EXPECT_EQ(phone->get_IsStarted(nullptr), E_INVALIDARG);
    EXPECT_EQ(phone->get_USBPhoneName(nullptr), E_INVALIDARG);
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
        EXPECT_EQ(phone->Start(), E_FAIL);
        VARIANT_BOOL started = 0x1234;
        ASSERT_EQ(phone->get_IsStarted(&started), S_OK);
        EXPECT_EQ(started, VARIANT_FALSE);
        EXPECT_EQ(phone->Ready(), E_FAIL);
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
        ASSERT_EQ(phone->Start(), S_OK);
        BSTR name = reinterpret_cast<BSTR>(0x1234);
        ASSERT_EQ(phone->get_USBPhoneName(&name), S_OK);
        ASSERT_NE(name, nullptr); // empty, but a BSTR
        EXPECT_STREQ(name, c.name);
        EXPECT_EQ(SysStringLen(name), wcslen(c.name));
        SysFreeString(name);
        ASSERT_EQ(phone->Stop(), S_OK);
    }
}

TEST_F(PhoneTest, PutContactInfo)
{
    ASSERT_EQ(phone->Start(), S_OK);
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
        EXPECT_EQ(phone->PutContactInfo(c.info, c.icon, c.line), c.hr);
        if (FAILED(c.hr)) {
            EXPECT_EQ(rec.State().recorded, 0);
            continue;
        }
        RecCommand got = Last(rec);
        EXPECT_EQ(got.code, 13u);
        EXPECT_EQ(got.lParam, 0u);
        ASSERT_TRUE(got.hasContact);
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(got.infoIsNull[i]) << i;
            EXPECT_STREQ(got.info[i], c.text[i]) << i;
            EXPECT_EQ(got.iconType[i], c.iconType[i]) << i;
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
    ASSERT_EQ(phone->Start(), S_OK);
    com_ptr<IKexPhone2> phone2;
    ASSERT_EQ(phone.query(phone2), S_OK);
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
        EXPECT_EQ(phone2->PutContactInfoList(c.lines, names, icons), c.hr);
        VariantClear(&names);
        VariantClear(&icons);
        if (FAILED(c.hr)) {
            EXPECT_EQ(rec.State().recorded, 0);
            continue;
        }
        RecCommand got = Last(rec);
        EXPECT_EQ(got.code, 13u);
        ASSERT_TRUE(got.hasContact);
        for (int i = 0; i < 3; ++i) {
            EXPECT_STREQ(got.info[i], c.text[i]) << i;
            EXPECT_EQ(got.iconType[i], c.iconType[i]) << i;
        }
    }
    ASSERT_EQ(phone->Stop(), S_OK);
    VARIANT none;
    VariantInit(&none);
    EXPECT_EQ(phone2->PutContactInfoList(1, none, none), E_FAIL) << "stopped";
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

    ASSERT_EQ(phone->Start(), S_OK);
    EXPECT_EQ(phone->Start(), S_OK);
    unique_bstr a = Bstr(L"Bob"), b = Bstr(L"Work");
    BSTR texts[2] = {a.get(), b.get()};
    LONG icons[2] = {-4, 7};
    EXPECT_EQ(phone->PutContactInfo(texts, icons, 2), S_OK);
    EXPECT_EQ(phone->PutContactInfo(nullptr, icons, 1), E_INVALIDARG);
    EXPECT_EQ(phone->PutContactInfo(texts, icons, 0), E_INVALIDARG);
    EXPECT_EQ(phone->Stop(), S_OK);
    g_traceLog.Close();
    const std::string text = ReadFile(log);

    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("KexUsbPhone has started.]"), 1u) << text;
    EXPECT_EQ(count("ContactInfo:Bob|Work||0|7|0.]"), 1u) << text;
    EXPECT_EQ(count("Invalid args.]"), 1u) << text; // line 0 writes no Error
    EXPECT_EQ(count("KexUsbPhone::PutContactInfo.]"), 6u) << text;
    EXPECT_EQ(count("KexUsbPhone::Start.]"), 4u) << text;
    EXPECT_GE(count("[KexPhone("), 14u) << text;
}

// ---- identity -------------------------------------------------------------

TEST_F(PhoneTest, QueryInterfaceAnswersExactlyTheListedInterfaces)
{
    com_ptr<IUnknown> unk;
    ASSERT_EQ(phone->QueryInterface(IID_IUnknown, unk.put_void()), S_OK);
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
        ASSERT_EQ(phone->QueryInterface(*c.iid, &out), c.hr);
        if (FAILED(c.hr)) {
            EXPECT_EQ(out, nullptr);
            continue;
        }
        IUnknown* got = static_cast<IUnknown*>(out);
        if (c.isUnknown) {
            EXPECT_EQ(got, unk.get());
        } else {
            EXPECT_NE(got, unk.get());
        }
        got->Release();
    }
    void* dispatch = nullptr;
    ASSERT_EQ(phone->QueryInterface(IID_IDispatch, &dispatch), S_OK);
    EXPECT_EQ(dispatch, static_cast<void*>(phone.get()));
    static_cast<IUnknown*>(dispatch)->Release();
    EXPECT_EQ(phone->QueryInterface(IID_IKexPhone, nullptr), E_POINTER);
}

TEST_F(PhoneTest, ObjectHoldsOneModuleLockForItsLife)
{
    const long before = g_module.GetLockCount();
    com_ptr<IKexPhone> second;
    ASSERT_EQ(KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, second.put_void()), S_OK);
    EXPECT_EQ(g_module.GetLockCount(), before + 1);
    second.reset();
    EXPECT_EQ(g_module.GetLockCount(), before);
}

TEST_F(PhoneTest, CreateInstanceErrors)
{
    const long before = g_module.GetLockCount();
    StubSink outer{DIID_IKexPhoneEvents};
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(KexUsbPhone::CreateInstance(&outer, IID_IKexPhone, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(KexUsbPhone::CreateInstance(nullptr, IID_IConnectionPoint, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(KexUsbPhone::CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(g_module.GetLockCount(), before);
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
    ASSERT_EQ(KexUsbPhone::CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    ASSERT_NE(outer.inner, nullptr);
    EXPECT_EQ(outer.refs, 1u);

    IKexPhone* inner = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IKexPhone, reinterpret_cast<void**>(&inner)), S_OK);
    EXPECT_EQ(outer.refs, 2u); // the reference went to the outer object
    IUnknown* identity = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, &outer);
    identity->Release();
    EXPECT_EQ(outer.queries, 1);
    com_ptr<IConnectionPointContainer> cpc;
    EXPECT_EQ(inner->QueryInterface(IID_IConnectionPointContainer, cpc.put_void()), S_OK);
    EXPECT_EQ(outer.queries, 2);
    cpc.reset();
    EXPECT_EQ(inner->Start(), S_OK); // the same object behind it
    inner->Release();
    EXPECT_EQ(outer.refs, 1u);

    // The inner unknown is its own: it does not hand out the outer.
    IUnknown* self = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)), S_OK);
    EXPECT_EQ(self, outer.inner);
    self->Release();

    EXPECT_EQ(g_module.GetLockCount(), before + 1);
    EXPECT_EQ(outer.inner->Release(), 0u); // stops the still-started object
    EXPECT_EQ(rec.State().unInitializeCalls, 1);
    EXPECT_EQ(g_module.GetLockCount(), before);
}

TEST_F(PhoneTest, GetGUID)
{
    com_ptr<IProvideClassInfo2> info;
    ASSERT_EQ(phone.query(info), S_OK);
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
        EXPECT_EQ(info->GetGUID(c.kind, &g), c.hr);
        EXPECT_TRUE(IsEqualGUID(g, *c.guid));
    }
    EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, nullptr), E_POINTER);
}

TEST_F(PhoneTest, TypeInfoOfATestProgramWithoutTheLibraryResource)
{
    UINT count = 77;
    EXPECT_EQ(phone->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u); // this program carries no type library
    EXPECT_EQ(phone->GetTypeInfoCount(nullptr), E_POINTER);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0xdeadbeef);
    EXPECT_EQ(phone->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(phone->GetTypeInfo(0, 0, nullptr), E_POINTER);
}

// ---- connection points ------------------------------------------------------

TEST_F(PhoneTest, ConnectionPointsInTheirOrder)
{
    com_ptr<IConnectionPointContainer> cpc;
    ASSERT_EQ(phone.query(cpc), S_OK);
    com_ptr<IEnumConnectionPoints> points;
    ASSERT_EQ(cpc->EnumConnectionPoints(points.put()), S_OK);
    std::vector<IID> order;
    for (;;) {
        IConnectionPoint* cp = nullptr;
        ULONG fetched = 0;
        if (points->Next(1, &cp, &fetched) != S_OK)
            break;
        IID iid;
        EXPECT_EQ(cp->GetConnectionInterface(&iid), S_OK);
        order.push_back(iid);
        com_ptr<IConnectionPointContainer> back;
        EXPECT_EQ(cp->GetConnectionPointContainer(back.put()), S_OK);
        EXPECT_EQ(back.get(), cpc.get());
        cp->Release();
    }
    ASSERT_EQ(order.size(), 2u);
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
        EXPECT_EQ(cpc->FindConnectionPoint(*c.iid, &cp), c.hr);
        if (FAILED(c.hr)) {
            EXPECT_EQ(cp, nullptr);
            continue;
        }
        IID iid;
        cp->GetConnectionInterface(&iid);
        EXPECT_TRUE(IsEqualIID(iid, *c.iid));
        cp->Release();
    }
    EXPECT_EQ(cpc->FindConnectionPoint(DIID_IKexPhoneEvents, nullptr), E_POINTER);
}

TEST_F(PhoneTest, AdviseErrors)
{
    com_ptr<IConnectionPointContainer> cpc;
    ASSERT_EQ(phone.query(cpc), S_OK);
    com_ptr<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()), S_OK);
    StubSink plain{DIID_IKexPhoneEvents}, sink{DIID_IKexPhoneEvents};
    plain.answerEventIid = false;
    DWORD cookie = 0xdeadbeef;
    EXPECT_EQ(cp->Advise(&plain, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cp->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(cp->Advise(&sink, nullptr), E_POINTER);
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    EXPECT_EQ(cp->Unadvise(cookie), S_OK);
    EXPECT_EQ(cp->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(sink.refs(), 1);

    // The property notification point wants IPropertyNotifySink.
    com_ptr<IConnectionPoint> notify;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IPropertyNotifySink, notify.put()), S_OK);
    EXPECT_EQ(notify->Advise(&sink, &cookie), CONNECT_E_CANNOTCONNECT);
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
        ASSERT_EQ(phone.query(cpc), S_OK);
        ASSERT_EQ(cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()), S_OK);
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
        ASSERT_EQ(rec.raise(reports.data(), static_cast<int32_t>(reports.size())), 0);
        ASSERT_TRUE(PumpWhileNot([&] { return rec.wait(0) >= 0; })) << "adapter thread did not finish";
    }

    void Check(const StubSink& sink, const EventCase& c, int copies)
    {
        std::vector<SeenEvent> want;
        for (const auto& e : c.expected)
            for (int i = 0; i < copies; ++i)
                want.push_back({e.first, e.second, true, DISPATCH_METHOD, 0, GetCurrentThreadId()});
        ASSERT_EQ(sink.events.size(), want.size()) << Describe(sink.events);
        for (size_t i = 0; i < want.size(); ++i) {
            const SeenEvent& got = sink.events[i];
            EXPECT_EQ(got.id, want[i].id) << i;
            EXPECT_EQ(got.args, want[i].args) << i;
            EXPECT_TRUE(got.allI4) << i;
            EXPECT_EQ(got.flags, DISPATCH_METHOD) << i;
            EXPECT_EQ(got.named, 0u) << i;
            EXPECT_EQ(got.thread, GetCurrentThreadId()) << "not on the object's thread, event " << i;
        }
    }

    StubSink sink{DIID_IKexPhoneEvents}; // outlives the object, which releases it at the end
    com_ptr<IConnectionPoint> cp;
};

TEST_F(PhoneEventsTest, EveryMessageFromAnAdapterThreadReachesTheSinkOnTheHostThread)
{
    ASSERT_EQ(phone->Start(), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    for (const EventCase& c : EventCases()) {
        SCOPED_TRACE(testing::Message() << c.what << " msg " << c.msg << " w " << c.w << " l " << c.l);
        sink.events.clear();
        const int32_t raisedBefore = rec.State().raised;
        Raise({{c.msg, c.w, c.l}});
        Check(sink, c, 1);
        RecState s = rec.State();
        EXPECT_EQ(s.raised, raisedBefore + 1);
        EXPECT_EQ(s.raisedNonZero, 0);
        EXPECT_NE(s.raiseThreadId, GetCurrentThreadId());
    }
    EXPECT_EQ(cp->Unadvise(cookie), S_OK);
}

TEST_F(PhoneEventsTest, ASinkAdvisedTwiceHearsEachEventTwice)
{
    ASSERT_EQ(phone->Start(), S_OK);
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(cp->Advise(&sink, &c1), S_OK);
    ASSERT_EQ(cp->Advise(&sink, &c2), S_OK);
    EXPECT_NE(c1, c2);
    for (const EventCase& c : EventCases()) {
        if (c.msg != 3 && c.msg != 17)
            continue;
        SCOPED_TRACE(c.what);
        sink.events.clear();
        Raise({{c.msg, c.w, c.l}});
        // Each event goes to both connections before the next event.
        std::vector<SeenEvent> got = sink.events;
        ASSERT_EQ(got.size(), c.expected.size() * 2) << Describe(got);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].id, c.expected[i / 2].first) << i;
        }
    }
}

TEST_F(PhoneEventsTest, AFailingSinkStopsTheEventAndTheAdapterStillGetsZero)
{
    ASSERT_EQ(phone->Start(), S_OK);
    StubSink second{DIID_IKexPhoneEvents};
    sink.result = E_FAIL;
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(cp->Advise(&sink, &c1), S_OK);
    ASSERT_EQ(cp->Advise(&second, &c2), S_OK);
    Raise({{3, 5, 0}});
    EXPECT_EQ(sink.events.size(), 2u) << Describe(sink.events); // OnKey, then OnAction still handed over
    EXPECT_TRUE(second.events.empty()) << Describe(second.events);
    EXPECT_EQ(rec.State().raisedNonZero, 0);
    EXPECT_EQ(cp->Unadvise(c2), S_OK);
}

TEST_F(PhoneEventsTest, WithoutSinksEveryMessageStillReturnsZero)
{
    ASSERT_EQ(phone->Start(), S_OK);
    std::vector<RecReport> all;
    for (uint32_t m = 0; m <= 18; ++m)
        all.push_back({m, 1, 1});
    Raise(all);
    EXPECT_EQ(rec.State().raisedNonZero, 0);
}

TEST_F(PhoneEventsTest, ReportFromInsideExecuteRunsInlineOnTheHostThread)
{
    ASSERT_EQ(phone->Start(), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    RecReport key = {3, 5, 0};
    rec.reportOnExecute(KEX_CMD_READY, &key);
    ASSERT_EQ(phone->Ready(), S_OK);
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
            ASSERT_EQ(KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, phone.put_void()), S_OK);
        com_ptr<IConnectionPointContainer> cpc;
        ASSERT_EQ(phone.query(cpc), S_OK);
        ASSERT_EQ(cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()), S_OK);
        cpc.reset();
        UseAdapters({"Alpha", "Beta"});
        rec.reset();
        rec2.reset();
        ASSERT_EQ(phone->Start(), S_OK);
        DWORD cookie = 0;
        ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
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
            EXPECT_EQ(phone->Stop(), S_OK);
            phone->get_IsStarted(&startedInEvent);
            uninitializedInEvent = rec.State().unInitializeCalls;
        };
        RecReport key = {3, 5, 0};
        rec.reportOnExecute(KEX_CMD_READY, &key);
        IKexPhone* raw = phone.get();
        EXPECT_EQ(raw->Ready(), S_OK);
        rec.reportOnExecute(0, nullptr);
        sink.during = nullptr;

        EXPECT_TRUE(fired);
        EXPECT_EQ(uninitializedInEvent, 0) << "unloaded while its execute was running";
        EXPECT_EQ(rec2.State().executeCalls, 1) << "the broadcast stopped half way";
        EXPECT_EQ(rec.State().unInitializeCalls, 1);
        EXPECT_EQ(rec2.State().unInitializeCalls, 1);
        if (c.release) {
            EXPECT_FALSE(phone);
            EXPECT_EQ(g_module.GetLockCount(), locks - 1) << "object not destroyed";
        } else {
            EXPECT_EQ(startedInEvent, VARIANT_FALSE);
            VARIANT_BOOL started = VARIANT_TRUE;
            EXPECT_EQ(phone->get_IsStarted(&started), S_OK);
            EXPECT_EQ(started, VARIANT_FALSE);
            EXPECT_EQ(phone->Start(), S_OK) << "starts again after the deferred unload";
            EXPECT_EQ(phone->Stop(), S_OK);
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
            ASSERT_EQ(KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, phone.put_void()), S_OK);
        com_ptr<IConnectionPointContainer> cpc;
        ASSERT_EQ(phone.query(cpc), S_OK);
        ASSERT_EQ(cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()), S_OK);
        cpc.reset();
        rec.reset();
        ASSERT_EQ(phone->Start(), S_OK);
        DWORD cookie = 0;
        ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
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
                EXPECT_EQ(phone->Stop(), S_OK);
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
        EXPECT_EQ(sink.events.size(), 1u) << Describe(sink.events);
        EXPECT_EQ(uninitializedInEvent, 0) << "unloaded inside the handler";
        RecState s = rec.State();
        EXPECT_EQ(s.unInitializeCalls, 1);
        EXPECT_EQ(s.unInitializeNested, 0);
        EXPECT_EQ(s.executeCalls, 0);
        EXPECT_EQ(s.raised, 2);
        if (c.release) {
            EXPECT_EQ(g_module.GetLockCount(), locks - 1) << "object not destroyed";
        } else {
            EXPECT_EQ(startedInEvent, VARIANT_FALSE);
            EXPECT_EQ(readyInEvent, E_FAIL);
            EXPECT_EQ(phone->Start(), S_OK) << "starts again after the deferred unload";
            EXPECT_EQ(phone->Stop(), S_OK);
            phone.reset();
        }
    }
}

// An adapter that dispatches messages while "UnInitialize" joins its thread
// reaches a report queued before Stop. Nothing may then reach that adapter:
// no event, no command from a handler, no second "UnInitialize".
TEST_F(PhoneEventsTest, AReportQueuedWhenStopBeginsReachesNothing)
{
    ASSERT_EQ(phone->Start(), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    rec.setPumpOnJoin(1);
    sink.during = [&] {
        phone->Ready();
        phone->Stop();
    };
    RecReport key = {3, 5, 0};
    ASSERT_EQ(rec.raise(&key, 1), 0);
    // Wait until the report is queued for this thread, then stop.
    MSG msg;
    for (int i = 0; i < 1000 && !PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); ++i)
        Sleep(5);
    {
        Watchdog dog("Stop with a report queued", 10000);
        EXPECT_EQ(phone->Stop(), S_OK);
    }
    sink.during = nullptr;
    EXPECT_TRUE(sink.events.empty()) << Describe(sink.events);
    RecState s = rec.State();
    EXPECT_EQ(s.executeInUnInitialize, 0);
    EXPECT_EQ(s.unInitializeNested, 0);
    EXPECT_EQ(s.unInitializeCalls, 1);
    EXPECT_EQ(rec.wait(0), 1);
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
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    sink.during = [&] {
        if (sink.events.back().args.at(0) == KEX_USBPHONE_EVENT_PLUGOUT)
            EXPECT_EQ(phone->Stop(), S_OK);
    };
    {
        Watchdog dog("Stop from the virtual handset's plug-out", 10000);
        ASSERT_EQ(phone->Start(), S_OK);
        ASSERT_TRUE(PumpWhileNot([&] { return GetModuleHandleA("virtual_handset.dll") == nullptr; }))
            << Describe(sink.events);
    }
    sink.during = nullptr;
    ASSERT_EQ(sink.events.size(), 2u) << Describe(sink.events);
    EXPECT_EQ(sink.events[1].args.at(0), KEX_USBPHONE_EVENT_PLUGOUT);
}

TEST_F(PhoneEventsTest, CallbackDirectlyFromAnotherThread)
{
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    int32_t result = -1;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread t([&] {
        result = ComUSBPhoneCallBack(17, 1, 0);
        SetEvent(done);
    });
    EXPECT_TRUE(PumpUntil(done));
    t.join();
    CloseHandle(done);
    EXPECT_EQ(result, 0);
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
    ASSERT_EQ(KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, second.put_void()), S_OK);
    KexUsbPhone* secondTarget = g_pPhone;
    EXPECT_NE(secondTarget, first);
    com_ptr<IKexPhone> third;
    ASSERT_EQ(KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, third.put_void()), S_OK);
    KexUsbPhone* thirdTarget = g_pPhone;

    second.reset(); // not the target: the target stays
    EXPECT_EQ(g_pPhone, thirdTarget);
    third.reset(); // the target: back to the newest one alive
    EXPECT_EQ(g_pPhone, first);
    phone.reset();
    EXPECT_EQ(g_pPhone, nullptr);
    EXPECT_EQ(ComUSBPhoneCallBack(3, 5, 0), 0); // dropped, nothing to reach
}

TEST_F(PhoneTest, ReleasingAStartedObjectStopsItsAdapters)
{
    ASSERT_EQ(phone->Start(), S_OK);
    phone.reset();
    RecState s = rec.State();
    EXPECT_EQ(s.unInitializeCalls, 1);
    EXPECT_EQ(g_pPhone, nullptr);
    // The adapter keeps the callback it was given: calling it is harmless.
    ASSERT_NE(s.callback, nullptr);
    EXPECT_EQ(s.callback(1, 0, 0), 0);
}

TEST_F(PhoneTest, ObjectReleasedWhileACallbackIsOnItsWay)
{
    const long before = g_module.GetLockCount();
    com_ptr<IConnectionPointContainer> cpc;
    ASSERT_EQ(phone.query(cpc), S_OK);
    com_ptr<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()), S_OK);
    StubSink sink{DIID_IKexPhoneEvents};
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
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
    EXPECT_EQ(g_pPhone, nullptr);
    EXPECT_TRUE(PumpUntil(done));
    t.join();
    CloseHandle(done);
    EXPECT_TRUE(sink.events.empty()) << Describe(sink.events);
    EXPECT_EQ(sink.refs(), 1); // released at the object's final release
    EXPECT_EQ(g_module.GetLockCount(), before - 1);
}

TEST(PhoneCallback, WithoutAPhoneObjectMessagesAreDropped)
{
    ASSERT_EQ(g_pPhone, nullptr);
    for (uint32_t m : {0u, 1u, 3u, 17u, 18u}) {
        EXPECT_EQ(ComUSBPhoneCallBack(m, 1, 1), 0) << m;
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
        EXPECT_EQ(kex_phone::ToNarrow(c.in.get()), c.out) << c.what;
    }
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ComApartment sta;
    return RUN_ALL_TESTS();
}
