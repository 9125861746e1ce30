// The class object and the unload policy, through the DLL's own exports.
#include "tests/server/server_test_util.h"

using server_test::ComponentTest;
using server_test::Junk;

namespace {

struct GetClassObjectCase {
    const char* name;
    const CLSID* clsid;
    const IID* iid;
    bool nullOut;
    HRESULT hr;
    bool gotPointer;
};

const GetClassObjectCase kGetClassObject[] = {
    {"class factory", &CLSID_KexUSBPhone, &IID_IClassFactory, false, S_OK, true},
    {"IUnknown", &CLSID_KexUSBPhone, &IID_IUnknown, false, S_OK, true},
    {"interface the class object lacks", &CLSID_KexUSBPhone, &IID_IDispatch, false, E_NOINTERFACE, false},
    {"other class", &IID_IKexPhone, &IID_IClassFactory, false, CLASS_E_CLASSNOTAVAILABLE, false},
    {"null class", &GUID_NULL, &IID_IClassFactory, false, CLASS_E_CLASSNOTAVAILABLE, false},
    {"null out", &CLSID_KexUSBPhone, &IID_IClassFactory, true, E_POINTER, false},
};

TEST_F(ComponentTest, DllGetClassObject)
{
    for (const auto& c : kGetClassObject) {
        SCOPED_TRACE(c.name);
        void* out = Junk();
        HRESULT hr = dll().getClassObject(*c.clsid, *c.iid, c.nullOut ? nullptr : &out);
        EXPECT_EQ(c.hr, hr);
        if (c.nullOut)
            continue;
        if (c.gotPointer) {
            ASSERT_NE(nullptr, out);
            ASSERT_NE(Junk(), out);
            static_cast<IUnknown*>(out)->Release();
        } else {
            EXPECT_EQ(nullptr, out);
        }
    }
}

TEST_F(ComponentTest, OneClassObjectPerLibrary)
{
    kex::com_ptr<IClassFactory> a = dll().Factory(), b = dll().Factory();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a.get(), b.get());
}

struct CreateCase {
    const char* name;
    bool outer;
    const IID* iid;
    bool nullOut;
    HRESULT hr;
};

const CreateCase kCreate[] = {
    {"plain, dual interface", false, &IID_IKexPhone, false, S_OK},
    {"plain, IDispatch", false, &IID_IDispatch, false, S_OK},
    {"plain, IUnknown", false, &IID_IUnknown, false, S_OK},
    {"plain, interface not offered", false, &IID_IClassFactory, false, E_NOINTERFACE},
    {"plain, connection point", false, &IID_IConnectionPoint, false, E_NOINTERFACE},
    {"aggregated, IUnknown", true, &IID_IUnknown, false, S_OK},
    {"aggregated, another interface", true, &IID_IKexPhone, false, CLASS_E_NOAGGREGATION},
    {"null out", false, &IID_IKexPhone, true, E_POINTER},
};

// An outer object that only holds the inner one; enough to aggregate.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override
    {
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return ++ref; }
    ULONG STDMETHODCALLTYPE Release() noexcept override { return --ref; }
    ULONG ref = 1;
    IUnknown* inner = nullptr;
};

TEST_F(ComponentTest, CreateInstance)
{
    kex::com_ptr<IClassFactory> factory = dll().Factory();
    ASSERT_TRUE(factory);
    for (const auto& c : kCreate) {
        SCOPED_TRACE(c.name);
        Outer outer;
        void* out = Junk();
        HRESULT hr = factory->CreateInstance(c.outer ? &outer : nullptr, *c.iid, c.nullOut ? nullptr : &out);
        EXPECT_EQ(c.hr, hr);
        if (c.nullOut)
            continue;
        if (FAILED(c.hr)) {
            EXPECT_EQ(nullptr, out);
            continue;
        }
        ASSERT_NE(nullptr, out);
        auto* unk = static_cast<IUnknown*>(out);
        if (c.outer) {
            // The inner object's interfaces answer for the outer one.
            outer.inner = unk;
            kex::com_ptr<IKexPhone> phone;
            EXPECT_EQ(S_OK, outer.QueryInterface(IID_IKexPhone, phone.put_void()));
            ASSERT_TRUE(phone);
            kex::com_ptr<IUnknown> identity;
            EXPECT_EQ(S_OK, phone->QueryInterface(IID_IUnknown, identity.put_void()));
            EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.get());
        }
        unk->Release();
    }
    factory.reset();
}

TEST_F(ComponentTest, CreatedThroughTheFactoryWorks)
{
    kex::com_ptr<IClassFactory> factory = dll().Factory();
    kex::com_ptr<IKexPhone> phone;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
    VARIANT_BOOL started = 123;
    EXPECT_EQ(S_OK, phone->get_IsStarted(&started));
    EXPECT_EQ(VARIANT_FALSE, started);
}

// What holds the component loaded: DllCanUnloadNow after each step.
TEST_F(ComponentTest, CanUnloadNowFollowsTheLocks)
{
    auto canUnload = [] { return dll().canUnloadNow(); };

    {
        SCOPED_TRACE("class object held by the host");
        kex::com_ptr<IClassFactory> factory = dll().Factory();
        EXPECT_EQ(S_FALSE, canUnload());
        kex::com_ptr<IClassFactory> second = factory;
        EXPECT_EQ(S_FALSE, canUnload());
        second.reset();
        EXPECT_EQ(S_FALSE, canUnload());
    }
    EXPECT_EQ(S_OK, canUnload());

    {
        SCOPED_TRACE("LockServer");
        kex::com_ptr<IClassFactory> factory = dll().Factory();
        EXPECT_EQ(S_OK, factory->LockServer(TRUE));
        EXPECT_EQ(S_OK, factory->LockServer(TRUE));
        factory.reset();
        EXPECT_EQ(S_FALSE, canUnload());
        factory = dll().Factory();
        EXPECT_EQ(S_OK, factory->LockServer(FALSE));
        EXPECT_EQ(S_OK, factory->LockServer(FALSE));
        factory.reset();
        EXPECT_EQ(S_OK, canUnload());
    }

    kex::com_ptr<IKexPhone> phone;
    {
        kex::com_ptr<IClassFactory> factory = dll().Factory();
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
    }
    {
        SCOPED_TRACE("phone object alive");
        EXPECT_EQ(S_FALSE, canUnload());
    }

    kex::com_ptr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, phone.query(container));
    kex::com_ptr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.put()));
    kex::com_ptr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID_IKexPhoneEvents, point.put()));
    kex::com_ptr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(connections.put()));
    point.reset();
    container.reset();
    phone.reset();
    {
        SCOPED_TRACE("enumerators outlive the object");
        EXPECT_EQ(S_FALSE, canUnload());
        points.reset();
        EXPECT_EQ(S_FALSE, canUnload());
        connections.reset();
    }
    EXPECT_EQ(S_OK, canUnload());
}

TEST_F(ComponentTest, ClassObjectsFromManyThreadsAreOne)
{
    // Racing first requests must share one class object. A fresh load of the
    // library has none cached yet.
    ASSERT_TRUE(dll().Reload());
    constexpr int kThreads = 8;
    struct Shared {
        server_test::GetClassObjectFn get;
        HANDLE go;
        IClassFactory* got[kThreads];
        LONG next;
    } shared = {dll().getClassObject, CreateEventW(nullptr, TRUE, FALSE, nullptr), {}, 0};
    struct Thread {
        static DWORD WINAPI Run(void* p)
        {
            auto* s = static_cast<Shared*>(p);
            LONG me = InterlockedIncrement(&s->next) - 1;
            WaitForSingleObject(s->go, INFINITE);
            s->get(CLSID_KexUSBPhone, IID_IClassFactory, reinterpret_cast<void**>(&s->got[me]));
            return 0;
        }
    };
    HANDLE threads[kThreads];
    for (HANDLE& t : threads)
        t = CreateThread(nullptr, 0, &Thread::Run, &shared, 0, nullptr);
    SetEvent(shared.go);
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (HANDLE t : threads)
        CloseHandle(t);
    CloseHandle(shared.go);
    for (IClassFactory* f : shared.got) {
        EXPECT_EQ(shared.got[0], f);
        if (f)
            f->Release();
    }
}

} // namespace
