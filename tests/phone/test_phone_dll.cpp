// The phone object as a host gets it: the built KexUSBPhone.dll, copied with
// the recording adapters and a "USBPhone.ini" into a directory of this test's
// own and reached through DllGetClassObject, without the registry.
#include "tests/adapters/recording_adapter.h"
#include "tests/phone/phone_fixture.h"

#include <functional>
#include <string>
#include <thread>
#include <vector>

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
        ASSERT_EQ(S_OK, getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, factory.put_void()));
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
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
    ASSERT_EQ(S_OK, phone->Start());
    EXPECT_EQ(1, rec1.State().intializeCalls);
    EXPECT_EQ(1, rec2.State().intializeCalls);

    LPOLESTR name = const_cast<LPOLESTR>(L"link");
    DISPID id = -99;
    ASSERT_EQ(S_OK, phone->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(6, id);
    VARIANT args[2];
    V_VT(&args[0]) = VT_I4; // peerNumber, converted to text
    V_I4(&args[0]) = 100;
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = SysAllocString(L"Alice");
    DISPPARAMS params = {args, nullptr, 2, 0};
    const long journalBefore = s_journal.count;
    ASSERT_EQ(S_OK,
              phone->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    VariantClear(&args[0]);
    VariantClear(&args[1]);

    for (const RecAdapter* a : {&rec1, &rec2}) {
        ASSERT_EQ(1, a->State().recorded);
        RecCommand c = {};
        a->getCommand(0, &c);
        EXPECT_EQ(2u, c.code);
        EXPECT_STREQ(c.text[0], "Alice");
        EXPECT_STREQ(c.text[1], "100");
    }
    // Alpha before Beta, whatever the order of the lines.
    ASSERT_EQ(journalBefore + 2, s_journal.count);
    const RecJournalEntry* first = &s_journal.entries[journalBefore];
    EXPECT_EQ(REC_EV_EXECUTE, first[0].event);
    EXPECT_NE(std::string(first[0].module).find("recording_adapter.dll"), std::string::npos) << first[0].module;
    EXPECT_NE(std::string(first[1].module).find("recording_adapter2.dll"), std::string::npos) << first[1].module;

    BSTR adapterName = nullptr;
    ASSERT_EQ(S_OK, phone->get_USBPhoneName(&adapterName));
    EXPECT_STREQ(adapterName, L""); // two adapters
    SysFreeString(adapterName);
}

// The description of this thread's error information, which it takes ("" when
// there is none).
std::wstring TakeErrorDescription()
{
    kex::com_ptr<IErrorInfo> info;
    BSTR description = nullptr;
    std::wstring text;
    if (GetErrorInfo(0, info.put()) == S_OK && SUCCEEDED(info->GetDescription(&description)) && description)
        text = description;
    SysFreeString(description);
    return text;
}

// Wine's marshaller (8.0) leaves a call's error information on the thread
// that ran it; Windows carries it back to the caller's thread.
bool ErrorInformationStaysOnTheObjectsThread()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// What a call from another apartment answered, and the description of the
// error information it left on that thread ("" when none).
struct RemoteAnswer {
    HRESULT hr;
    std::wstring error;
};

// Makes the call on a thread of its own apartment through a proxy of the
// object (the type library's marshaller) while this thread, which runs the
// call, pumps its messages.
RemoteAnswer CallFromAnotherApartment(IKexPhone2* object, const std::function<HRESULT(IKexPhone2*)>& call)
{
    RemoteAnswer answer = {E_UNEXPECTED, L""};
    IStream* stream = nullptr;
    answer.hr = CoMarshalInterThreadInterfaceInStream(IID_IKexPhone2, object, &stream);
    if (FAILED(answer.hr))
        return answer;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread other([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        IKexPhone2* remote = nullptr;
        answer.hr = CoGetInterfaceAndReleaseStream(stream, IID_IKexPhone2, reinterpret_cast<void**>(&remote));
        if (SUCCEEDED(answer.hr)) {
            SetErrorInfo(0, nullptr);
            answer.hr = call(remote);
            answer.error = TakeErrorDescription();
            remote->Release();
        }
        CoUninitialize();
        SetEvent(done);
    });
    EXPECT_TRUE(PumpUntil(done)) << "the call from the other apartment did not return (PumpUntil)";
    while (!PumpUntil(done)) {
    }
    other.join();
    CloseHandle(done);
    return answer;
}

// A one-dimensional SAFEARRAY of VARIANTs in a VARIANT, for PutContactInfoList.
VARIANT VariantList(const std::vector<VARIANT>& items)
{
    SAFEARRAYBOUND bound = {static_cast<ULONG>(items.size()), 0};
    VARIANT list;
    V_VT(&list) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&list) = SafeArrayCreate(VT_VARIANT, 1, &bound);
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i)
        SafeArrayPutElement(V_ARRAY(&list), &i, const_cast<VARIANT*>(&items[i]));
    return list;
}

// Another apartment reaches the object through the type library's marshaller.
// PutContactInfo's pointers (single BSTR* and long* in the library) carry one
// element there: one line works, more are refused with error information
// pointing to PutContactInfoList, and nothing is read past the first element.
// PutContactInfoList carries whole arrays. On the object's own thread
// PutContactInfo reads every line as before.
TEST_F(PhoneDllTest, ContactInfoFromAnotherApartment)
{
    const std::string bin = ExeDirectory() + "KexUSBPhone.dll";
    const std::wstring wbin(bin.begin(), bin.end());
    com_ptr<ITypeLib> lib;
    ASSERT_EQ(S_OK, LoadTypeLibEx(wbin.c_str(), REGKIND_REGISTER, lib.put())) << "the marshaller needs it registered";
    ASSERT_EQ(S_OK, phone->Start());
    com_ptr<IKexPhone2> phone2;
    ASSERT_EQ(S_OK, phone.query(phone2));

    unique_bstr alice = Bstr(L"Alice"), work = Bstr(L"Work"), home = Bstr(L"Home");
    BSTR texts[3] = {alice.get(), work.get(), home.get()};
    LONG icons[3] = {1, 2, 3};
    auto putContactInfo = [&](LONG line) {
        return [&texts, &icons, line](IKexPhone2* p) { return p->PutContactInfo(texts, icons, line); };
    };
    auto putContactInfoList = [&](IKexPhone2* p) {
        VARIANT t[3], n[3];
        for (int i = 0; i < 3; ++i) {
            V_VT(&t[i]) = VT_BSTR;
            V_BSTR(&t[i]) = texts[i]; // copied into the list
            V_VT(&n[i]) = VT_I4;
            V_I4(&n[i]) = icons[i];
        }
        VARIANT names = VariantList({t[0], t[1], t[2]}), numbers = VariantList({n[0], n[1], n[2]});
        const HRESULT hr = p->PutContactInfoList(3, names, numbers);
        VariantClear(&names);
        VariantClear(&numbers);
        return hr;
    };
    const struct {
        const char* what;
        bool throughProxy;
        std::function<HRESULT(IKexPhone2*)> call;
        HRESULT hr;
        std::vector<std::string> sent; // the texts the adapters got; empty: nothing sent
    } cases[] = {
        {"PutContactInfo, line 1", true, putContactInfo(1), S_OK, {"Alice", "", ""}},
        {"PutContactInfo, line 3", true, putContactInfo(3), E_INVALIDARG, {}},
        {"PutContactInfoList, three lines", true, putContactInfoList, S_OK, {"Alice", "Work", "Home"}},
        {"PutContactInfo on the object's thread, line 3", false, putContactInfo(3), S_OK, {"Alice", "Work", "Home"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rec1.reset();
        rec2.reset();
        TakeErrorDescription();
        RemoteAnswer answer = {E_UNEXPECTED, L""};
        if (c.throughProxy)
            answer = CallFromAnotherApartment(phone2.get(), c.call);
        else
            answer.hr = c.call(phone2.get());
        EXPECT_EQ(c.hr, answer.hr);
        if (c.sent.empty()) {
            EXPECT_EQ(0, rec1.State().recorded);
            EXPECT_EQ(0, rec2.State().recorded);
            const std::wstring error =
                ErrorInformationStaysOnTheObjectsThread() ? TakeErrorDescription() : answer.error;
            EXPECT_NE(std::wstring::npos, error.find(L"PutContactInfoList"))
                << "error information: \"" << std::string(error.begin(), error.end()) << "\"";
            continue;
        }
        for (const RecAdapter* adapter : {&rec1, &rec2}) {
            ASSERT_EQ(1, adapter->State().recorded);
            RecCommand got = {};
            adapter->getCommand(0, &got);
            EXPECT_EQ(13u, got.code);
            ASSERT_TRUE(got.hasContact);
            for (int i = 0; i < 3; ++i) {
                EXPECT_STREQ(c.sent[i].c_str(), got.info[i]) << i;
                EXPECT_EQ(c.sent[i].empty() ? 0 : icons[i], got.iconType[i]) << i;
            }
        }
    }
}

// A sink of the host's thread: events raised on an adapter's thread arrive on it.
TEST_F(PhoneDllTest, EventsFromAnAdapterThreadArriveOnTheHostThread)
{
    ASSERT_EQ(S_OK, phone->Start());
    StubSink sink{DIID_IKexPhoneEvents};
    test_support::EventSubscription events;
    ASSERT_EQ(S_OK, events.Advise(phone.get(), DIID_IKexPhoneEvents, &sink));

    const RecReport reports[] = {{3, 5, 0, nullptr}, {17, 1, 0, nullptr}, {16, 0, 0, nullptr}, {18, 0, 0, nullptr}};
    ASSERT_EQ(0, rec2.raise(reports, 4));
    ASSERT_TRUE(PumpWhileNot([&] { return rec2.wait(0) >= 0; }));
    EXPECT_EQ(S_OK, events.Unadvise());

    const std::vector<std::pair<DISPID, std::vector<long>>> want = {
        {2, {5}}, {3, {3}}, {1, {1, 0, -1}}, {3, {16}}};
    ASSERT_EQ(want.size(), sink.events.size()) << Describe(sink.events);
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(want[i].first, sink.events[i].id);
        EXPECT_EQ(want[i].second, sink.events[i].args);
        EXPECT_TRUE(sink.events[i].allI4);
        EXPECT_EQ(GetCurrentThreadId(), sink.events[i].thread);
    }
    EXPECT_NE(rec2.State().raiseThreadId, GetCurrentThreadId());
}

TEST_F(PhoneDllTest, TypeInformationComesFromTheComponentsOwnFile)
{
    UINT count = 0;
    ASSERT_EQ(S_OK, phone->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    com_ptr<ITypeInfo> info;
    ASSERT_EQ(S_OK, phone->GetTypeInfo(0, 0, info.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IKexPhone));
    info->ReleaseTypeAttr(attr);

    // Class information works whether or not the library is registered.
    com_ptr<IProvideClassInfo2> provide;
    ASSERT_EQ(S_OK, phone.query(provide));
    com_ptr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, provide->GetClassInfo(coclass.put()));
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(attr->guid, CLSID_KexUSBPhone));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    coclass->ReleaseTypeAttr(attr);
    GUID source = GUID_NULL;
    ASSERT_EQ(S_OK, provide->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
    EXPECT_TRUE(IsEqualGUID(source, DIID_IKexPhoneEvents));
}

TEST_F(PhoneDllTest, ReleasedObjectsLetTheComponentUnload)
{
    auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(GetProcAddress(s_dll, "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    ASSERT_EQ(S_OK, phone->Start());
    factory.reset();
    EXPECT_EQ(S_FALSE, canUnload());
    phone.reset(); // still started: final release stops it
    EXPECT_EQ(1, rec1.State().unInitializeCalls);
    EXPECT_EQ(S_OK, canUnload());
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
            ASSERT_EQ(S_OK, getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, factory.put_void()));
            com_ptr<IKexPhone> phone;
            ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
            EXPECT_EQ(S_OK, phone->Start());
            RecAdapter rec = rec_bind("recording_adapter.dll");
            ASSERT_TRUE(rec);
            EXPECT_EQ(S_OK, phone->Ready());
            EXPECT_EQ(1, rec.State().executeCalls);
            EXPECT_EQ(S_OK, phone->Stop());
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
