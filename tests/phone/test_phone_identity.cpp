// The phone object's COM identity: the interfaces it answers, creation and
// aggregation, the module lock, class information and its connection points.
#include "phone/KexPhone.h"

#include "module/Module.h"
#include "tests/phone/phone_object_fixture.h"

using namespace phone_test;
using kex::com_ptr;
using kex::unique_bstr;

namespace {

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
        {"IKexPhone3", &IID_IKexPhone3, S_OK, false},
        {"ISupportErrorInfo", &IID_ISupportErrorInfo, S_OK, false},
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

} // namespace
