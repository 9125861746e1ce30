// The phone object as a host gets it: the built KexUSBPhone.dll, copied with
// the recording adapters and a "USBPhone.ini" into a directory of this test's
// own and reached through DllGetClassObject, without the registry.
#include "tests/adapters/recording_adapter.h"
#include "tests/phone/phone_fixture.h"

#include <thread>

using namespace phone_test;
using kex::com_ptr;
using kex::unique_bstr;

namespace {

class PhoneDllTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempDir("dll");
        const std::string bin = ExeDirectory();
        for (const char* f : {"KexUSBPhone.dll", "recording_adapter.dll", "recording_adapter2.dll"})
            s_dir->Copy(bin + f, f);
        // Bare names: found beside the component.
        s_dir->Write("USBPhone.ini",
                     "[AdapterList]\r\nBeta=recording_adapter2.dll\r\nAlpha=recording_adapter.dll\r\n");
        rec_journal_install(&s_journal);
        // Loaded first so their records outlive Stop; the component shares them.
        s_rec1 = LoadLibraryA((s_dir->Path() + "recording_adapter.dll").c_str());
        s_rec2 = LoadLibraryA((s_dir->Path() + "recording_adapter2.dll").c_str());
        s_dll = LoadLibraryA((s_dir->Path() + "KexUSBPhone.dll").c_str());
    }
    static void TearDownTestSuite()
    {
        FreeLibrary(s_dll);
        FreeLibrary(s_rec1);
        FreeLibrary(s_rec2);
        delete s_dir;
    }

    void SetUp() override
    {
        ASSERT_NE(s_dll, nullptr) << "KexUSBPhone.dll not loadable";
        auto getClassObject =
            reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(GetProcAddress(s_dll, "DllGetClassObject"));
        ASSERT_NE(getClassObject, nullptr);
        ASSERT_EQ(getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, factory.put_void()), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKexPhone, phone.put_void()), S_OK);
        rec1 = rec_bind(s_rec1);
        rec2 = rec_bind(s_rec2);
        ASSERT_TRUE(rec1);
        ASSERT_TRUE(rec2);
        rec1.reset();
        rec2.reset();
    }
    void TearDown() override
    {
        if (phone)
            phone->Stop();
        phone.reset();
        factory.reset();
    }

    static TempDir* s_dir;
    static RecJournal s_journal;
    static HMODULE s_dll, s_rec1, s_rec2;
    com_ptr<IClassFactory> factory;
    com_ptr<IKexPhone> phone;
    RecAdapter rec1, rec2;
};

TempDir* PhoneDllTest::s_dir;
RecJournal PhoneDllTest::s_journal;
HMODULE PhoneDllTest::s_dll;
HMODULE PhoneDllTest::s_rec1;
HMODULE PhoneDllTest::s_rec2;

TEST_F(PhoneDllTest, LateBoundLinkReachesBothAdaptersInKeyOrder)
{
    ASSERT_EQ(phone->Start(), S_OK);
    EXPECT_EQ(rec1.State().intializeCalls, 1);
    EXPECT_EQ(rec2.State().intializeCalls, 1);

    LPOLESTR name = const_cast<LPOLESTR>(L"link");
    DISPID id = -99;
    ASSERT_EQ(phone->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, 6);
    VARIANT args[2];
    V_VT(&args[0]) = VT_I4; // peerNumber, converted to text
    V_I4(&args[0]) = 100;
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = SysAllocString(L"Alice");
    DISPPARAMS params = {args, nullptr, 2, 0};
    const long journalBefore = s_journal.count;
    ASSERT_EQ(phone->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    VariantClear(&args[0]);
    VariantClear(&args[1]);

    for (const RecAdapter* a : {&rec1, &rec2}) {
        ASSERT_EQ(a->State().recorded, 1);
        RecCommand c = {};
        a->getCommand(0, &c);
        EXPECT_EQ(c.code, 2u);
        EXPECT_STREQ(c.text[0], "Alice");
        EXPECT_STREQ(c.text[1], "100");
    }
    // Alpha before Beta, whatever the order of the lines.
    ASSERT_EQ(s_journal.count, journalBefore + 2);
    const RecJournalEntry* first = &s_journal.entries[journalBefore];
    EXPECT_EQ(first[0].event, REC_EV_EXECUTE);
    EXPECT_NE(std::string(first[0].module).find("recording_adapter.dll"), std::string::npos) << first[0].module;
    EXPECT_NE(std::string(first[1].module).find("recording_adapter2.dll"), std::string::npos) << first[1].module;

    BSTR adapterName = nullptr;
    ASSERT_EQ(phone->get_USBPhoneName(&adapterName), S_OK);
    EXPECT_STREQ(adapterName, L""); // two adapters
    SysFreeString(adapterName);
}

// Another apartment reaches the object through the type library's marshaller,
// which carries whole arrays in a VARIANT (PutContactInfo's pointers carry
// one element).
TEST_F(PhoneDllTest, PutContactInfoListFromAnotherApartment)
{
    const std::string bin = ExeDirectory() + "KexUSBPhone.dll";
    const std::wstring wbin(bin.begin(), bin.end());
    com_ptr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLibEx(wbin.c_str(), REGKIND_REGISTER, lib.put()), S_OK) << "the marshaller needs it registered";
    ASSERT_EQ(phone->Start(), S_OK);
    com_ptr<IKexPhone2> phone2;
    ASSERT_EQ(phone.query(phone2), S_OK);
    IStream* stream = nullptr;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IKexPhone2, phone2.get(), &stream), S_OK);
    HRESULT hr = E_UNEXPECTED;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread other([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        IKexPhone2* remote = nullptr;
        hr = CoGetInterfaceAndReleaseStream(stream, IID_IKexPhone2, reinterpret_cast<void**>(&remote));
        if (SUCCEEDED(hr)) {
            const wchar_t* texts[3] = {L"Alice", L"Work", L"Home"};
            SAFEARRAYBOUND three = {3, 0};
            VARIANT names, icons;
            V_VT(&names) = VT_ARRAY | VT_VARIANT;
            V_ARRAY(&names) = SafeArrayCreate(VT_VARIANT, 1, &three);
            V_VT(&icons) = VT_ARRAY | VT_VARIANT;
            V_ARRAY(&icons) = SafeArrayCreate(VT_VARIANT, 1, &three);
            for (LONG i = 0; i < 3; ++i) {
                VARIANT v;
                V_VT(&v) = VT_BSTR;
                V_BSTR(&v) = SysAllocString(texts[i]);
                SafeArrayPutElement(V_ARRAY(&names), &i, &v);
                VariantClear(&v);
                V_VT(&v) = VT_I4;
                V_I4(&v) = i + 1;
                SafeArrayPutElement(V_ARRAY(&icons), &i, &v);
            }
            hr = remote->PutContactInfoList(3, names, icons);
            VariantClear(&names);
            VariantClear(&icons);
            remote->Release();
        }
        CoUninitialize();
        SetEvent(done);
    });
    EXPECT_TRUE(PumpUntil(done)); // the call runs on this apartment's thread
    other.join();
    CloseHandle(done);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(rec1.State().recorded, 1);
    RecCommand c = {};
    rec1.getCommand(0, &c);
    EXPECT_EQ(c.code, 13u);
    const char* want[3] = {"Alice", "Work", "Home"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(c.info[i], want[i]) << i;
        EXPECT_EQ(c.iconType[i], i + 1) << i;
    }
}

// A sink of the host's thread: events raised on an adapter's thread arrive on it.
TEST_F(PhoneDllTest, EventsFromAnAdapterThreadArriveOnTheHostThread)
{
    ASSERT_EQ(phone->Start(), S_OK);
    com_ptr<IConnectionPointContainer> cpc;
    ASSERT_EQ(phone.query(cpc), S_OK);
    com_ptr<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put()), S_OK);
    StubSink sink{DIID_IKexPhoneEvents};
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);

    const RecReport reports[] = {{3, 5, 0}, {17, 1, 0}, {16, 0, 0}, {18, 0, 0}};
    ASSERT_EQ(rec2.raise(reports, 4), 0);
    ASSERT_TRUE(PumpWhileNot([&] { return rec2.wait(0) >= 0; }));
    EXPECT_EQ(cp->Unadvise(cookie), S_OK);

    const std::vector<std::pair<DISPID, std::vector<long>>> want = {
        {2, {5}}, {3, {3}}, {1, {1, 0, -1}}, {3, {16}}};
    ASSERT_EQ(sink.events.size(), want.size()) << Describe(sink.events);
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sink.events[i].id, want[i].first);
        EXPECT_EQ(sink.events[i].args, want[i].second);
        EXPECT_TRUE(sink.events[i].allI4);
        EXPECT_EQ(sink.events[i].thread, GetCurrentThreadId());
    }
    EXPECT_NE(rec2.State().raiseThreadId, GetCurrentThreadId());
}

TEST_F(PhoneDllTest, TypeInformationComesFromTheComponentsOwnFile)
{
    UINT count = 0;
    ASSERT_EQ(phone->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    com_ptr<ITypeInfo> info;
    ASSERT_EQ(phone->GetTypeInfo(0, 0, info.put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IKexPhone));
    info->ReleaseTypeAttr(attr);

    // Class information works whether or not the library is registered.
    com_ptr<IProvideClassInfo2> provide;
    ASSERT_EQ(phone.query(provide), S_OK);
    com_ptr<ITypeInfo> coclass;
    ASSERT_EQ(provide->GetClassInfo(coclass.put()), S_OK);
    ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, CLSID_KexUSBPhone));
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    coclass->ReleaseTypeAttr(attr);
    GUID source = GUID_NULL;
    ASSERT_EQ(provide->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
    EXPECT_TRUE(IsEqualGUID(source, DIID_IKexPhoneEvents));
}

TEST_F(PhoneDllTest, ReleasedObjectsLetTheComponentUnload)
{
    auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(GetProcAddress(s_dll, "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    ASSERT_EQ(phone->Start(), S_OK);
    factory.reset();
    EXPECT_EQ(canUnload(), S_FALSE);
    phone.reset(); // still started: final release stops it
    EXPECT_EQ(rec1.State().unInitializeCalls, 1);
    EXPECT_EQ(canUnload(), S_OK);
}

// Installed in a folder whose name the ANSI code page cannot spell, or whose
// path is longer than MAX_PATH: the component still finds its configuration
// and its adapters. Runs after PhoneDllTest has released its own copy, so the
// component loaded here is the only one.
TEST(PhoneDllPaths, AnyFolderNameAndLongPaths)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"kexphone_paths_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring longTail = L"\\" + std::wstring(120, L'd') + L"\\" + std::wstring(120, L'e');
    const struct {
        const char* what;
        std::wstring dir;
    } cases[] = {
        {"T\u00e9l\u00e9phone \u260e", base + L"\\T\u00e9l\u00e9phone \u260e"},
        {"longer than MAX_PATH", base + L"\\T\u00e9l\u00e9phone \u260e" + longTail},
    };
    auto longForm = [](const std::wstring& p) { return L"\\\\?\\" + p; };
    CreateDirectoryW(base.c_str(), nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Every level, in the form that takes any length.
        for (size_t at = base.size() + 1; at <= c.dir.size(); ++at) {
            if (at == c.dir.size() || c.dir[at] == L'\\')
                CreateDirectoryW(longForm(c.dir.substr(0, at)).c_str(), nullptr);
        }
        const std::wstring dir = c.dir + L"\\";
        const std::string bin = ExeDirectory();
        for (const char* f : {"KexUSBPhone.dll", "recording_adapter.dll"}) {
            const std::wstring from(bin.begin(), bin.end());
            const std::string name(f);
            ASSERT_TRUE(CopyFileW((from + std::wstring(name.begin(), name.end())).c_str(),
                                  longForm(dir + std::wstring(name.begin(), name.end())).c_str(), FALSE))
                << GetLastError();
        }
        const std::string ini = "[AdapterList]\r\nAlpha=recording_adapter.dll\r\n";
        HANDLE h = CreateFileW(longForm(dir + L"USBPhone.ini").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                               nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(h, ini.data(), static_cast<DWORD>(ini.size()), &written, nullptr);
        CloseHandle(h);

        HMODULE dll = LoadLibraryW(longForm(dir + L"KexUSBPhone.dll").c_str());
        ASSERT_NE(dll, nullptr) << GetLastError();
        {
            auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
                GetProcAddress(dll, "DllGetClassObject"));
            ASSERT_NE(getClassObject, nullptr);
            com_ptr<IClassFactory> factory;
            ASSERT_EQ(getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, factory.put_void()), S_OK);
            com_ptr<IKexPhone> phone;
            ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKexPhone, phone.put_void()), S_OK);
            EXPECT_EQ(phone->Start(), S_OK);
            RecAdapter rec = rec_bind("recording_adapter.dll");
            ASSERT_TRUE(rec);
            EXPECT_EQ(phone->Ready(), S_OK);
            EXPECT_EQ(rec.State().executeCalls, 1);
            EXPECT_EQ(phone->Stop(), S_OK);
        }
        FreeLibrary(dll);
        for (const wchar_t* f : {L"KexUSBPhone.dll", L"recording_adapter.dll", L"USBPhone.ini"})
            DeleteFileW(longForm(dir + f).c_str());
    }
    for (const auto& c : cases) {
        for (size_t at = c.dir.size(); at > base.size(); --at) {
            if (at == c.dir.size() || c.dir[at] == L'\\')
                RemoveDirectoryW(longForm(c.dir.substr(0, at)).c_str());
        }
    }
    RemoveDirectoryW(base.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ComApartment sta;
    return RUN_ALL_TESTS();
}
