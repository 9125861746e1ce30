// What registration writes and removes, per machine and per user, and the
// type library it registers. Shares the build's registry with other tests:
// runs under the kex_registry lock and leaves the component registered per
// machine.
#include "tests/server/server_test_util.h"

#include <oleauto.h>

#include <vector>

using server_test::ComponentTest;

namespace {

std::wstring GuidText(const GUID& g)
{
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}

const std::wstring kClsid = GuidText(CLSID_KexUSBPhone);
const std::wstring kLibid = GuidText(LIBID_KexUSBPhone);
const std::wstring kClassKey = L"CLSID\\" + kClsid;

struct ExpectedKey {
    std::wstring path;
    const wchar_t* valueName;     // null: the unnamed value
    std::wstring value;           // expected string
};

std::vector<ExpectedKey> ExpectedKeys()
{
    return {
        {L"KexUSBPhone.KexPhone.1", nullptr, L"KexUsbPhone Object"},
        {L"KexUSBPhone.KexPhone.1\\CLSID", nullptr, kClsid},
        {L"KexUSBPhone.KexPhone", nullptr, L"KexUsbPhone Object"},
        {L"KexUSBPhone.KexPhone\\CLSID", nullptr, kClsid},
        {L"KexUSBPhone.KexPhone\\CurVer", nullptr, L"KexUSBPhone.KexPhone.1"},
        {kClassKey, nullptr, L"KexUsbPhone Object"},
        {kClassKey, L"AppID", L""},
        {kClassKey + L"\\ProgID", nullptr, L"KexUSBPhone.KexPhone.1"},
        {kClassKey + L"\\VersionIndependentProgID", nullptr, L"KexUSBPhone.KexPhone"},
        {kClassKey + L"\\InprocServer32", nullptr, server_test::ComponentPath()},
        {kClassKey + L"\\InprocServer32", L"ThreadingModel", L"apartment"},
        {kClassKey + L"\\TypeLib", nullptr, kLibid},
    };
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    kex::unique_hkey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// The string value, or "<missing>" when the key or value is absent.
std::wstring ReadString(HKEY root, const std::wstring& path, const wchar_t* name)
{
    wchar_t buffer[1024];
    DWORD size = sizeof buffer;
    LONG rc = RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size);
    return rc == ERROR_SUCCESS ? std::wstring(buffer) : std::wstring(L"<missing>");
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

void ExpectRegistered(HKEY root, const char* where)
{
    for (const ExpectedKey& k : ExpectedKeys()) {
        SCOPED_TRACE(testing::Message() << where << ": " << Narrow(k.path) << " value "
                                        << (k.valueName ? Narrow(k.valueName) : "(default)"));
        EXPECT_EQ(Narrow(k.value), Narrow(ReadString(root, k.path, k.valueName)));
    }
    EXPECT_TRUE(KeyExists(root, kClassKey + L"\\Programmable")) << where;
    EXPECT_EQ("<missing>", Narrow(ReadString(root, kClassKey + L"\\Programmable", nullptr))) << where;
}

void ExpectUnregistered(HKEY root, const char* where)
{
    for (const wchar_t* path : {L"KexUSBPhone.KexPhone.1", L"KexUSBPhone.KexPhone"})
        EXPECT_FALSE(KeyExists(root, path)) << where << ": " << Narrow(path);
    EXPECT_FALSE(KeyExists(root, kClassKey)) << where;
}

const std::wstring kTypeLibKey = L"TypeLib\\" + kLibid + L"\\1.0";
#ifdef _WIN64
const wchar_t kTypeLibPlatform[] = L"\\0\\win64";
#else
const wchar_t kTypeLibPlatform[] = L"\\0\\win32";
#endif

class Registration : public ComponentTest {
protected:
    static void TearDownTestSuite()
    {
        // Other tests of the build rely on the machine registration.
        if (s_component)
            s_component->registerServer();
        ComponentTest::TearDownTestSuite();
    }
    static HKEY UserClasses()
    {
        static kex::unique_hkey key;
        if (!key)
            RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.put(), nullptr);
        return key.get();
    }
};

TEST_F(Registration, PerMachineTwiceThenUnregister)
{
    ASSERT_EQ(S_OK, dll().registerServer());
    ExpectRegistered(HKEY_CLASSES_ROOT, "first registration");

    // Something stale under the class key goes; what others added under the
    // ProgID keys stays.
    kex::unique_hkey stale, foreign;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (kClassKey + L"\\Stale").c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, stale.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, L"KexUSBPhone.KexPhone\\Foreign", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, foreign.put(), nullptr));
    stale.reset();
    foreign.reset();
    ASSERT_EQ(S_OK, dll().registerServer());
    ExpectRegistered(HKEY_CLASSES_ROOT, "second registration");
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Stale"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"KexUSBPhone.KexPhone\\Foreign"));
    EXPECT_EQ(Narrow(server_test::ComponentPath()),
              Narrow(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey + kTypeLibPlatform, nullptr)));

    // The registered type library is the one in the DLL.
    {
        kex::com_ptr<ITypeLib> lib;
        ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_KexUSBPhone, 1, 0, LOCALE_NEUTRAL, lib.put()));
        EXPECT_EQ(8u, lib->GetTypeInfoCount()); // IKexPhone2 and IKexPhone3 included
        kex::com_ptr<ITypeInfo> events;
        EXPECT_EQ(S_OK, lib->GetTypeInfoOfGuid(DIID_IKexPhoneEvents, events.put()));
        kex::unique_bstr path;
        ASSERT_EQ(S_OK, QueryPathOfRegTypeLib(LIBID_KexUSBPhone, 1, 0, LOCALE_NEUTRAL, path.put()));
        EXPECT_EQ(Narrow(server_test::ComponentPath()), Narrow(path.get()));
    }

    // Creatable by ProgID through COM itself.
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"KexUSBPhone.KexPhone", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_KexUSBPhone, clsid));
    {
        kex::com_ptr<IKexPhone> phone;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_KexUSBPhone, nullptr, CLSCTX_INPROC_SERVER, IID_IKexPhone,
                                         phone.put_void()));
    }
    CoFreeUnusedLibraries();

    ASSERT_EQ(S_OK, dll().unregisterServer());
    ExpectUnregistered(HKEY_CLASSES_ROOT, "after unregistering");
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
    kex::com_ptr<ITypeLib> lib;
    EXPECT_NE(S_OK, LoadRegTypeLib(LIBID_KexUSBPhone, 1, 0, LOCALE_NEUTRAL, lib.put()));

    // Unregistering what is not registered is no error.
    EXPECT_EQ(S_OK, dll().unregisterServer());
    ASSERT_EQ(S_OK, dll().registerServer());
}

TEST_F(Registration, PerUserInstallAndUninstall)
{
    ASSERT_EQ(S_OK, dll().registerServer());
    ASSERT_EQ(S_OK, dll().install(TRUE, L"user"));
    ExpectRegistered(UserClasses(), "per user");
    EXPECT_EQ(Narrow(server_test::ComponentPath()),
              Narrow(ReadString(UserClasses(), kTypeLibKey + kTypeLibPlatform, nullptr)));

    ASSERT_EQ(S_OK, dll().install(FALSE, L"USER"));
    ExpectUnregistered(UserClasses(), "per user, uninstalled");
    EXPECT_FALSE(KeyExists(UserClasses(), kTypeLibKey));
    // The machine registration is untouched.
    ExpectRegistered(HKEY_CLASSES_ROOT, "machine, after the user's uninstall");
    kex::com_ptr<ITypeLib> lib;
    EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_KexUSBPhone, 1, 0, LOCALE_NEUTRAL, lib.put()));

    EXPECT_EQ(E_INVALIDARG, dll().install(TRUE, L"everyone"));
}

TEST_F(Registration, InstallWithoutUserMeansMachine)
{
    ASSERT_EQ(S_OK, dll().install(FALSE, nullptr));
    ExpectUnregistered(HKEY_CLASSES_ROOT, "uninstalled");
    ASSERT_EQ(S_OK, dll().install(TRUE, L""));
    ExpectRegistered(HKEY_CLASSES_ROOT, "installed");
}

// Without the resource the type library comes from the file beside the DLL
// with the extension .tlb; without that too, registration fails.
TEST_F(Registration, TypeLibraryFileBesideTheDll)
{
    const std::wstring dir = server_test::BinDir() + L"regtest_tlb\\";
    const std::wstring copy = dir + L"KexUSBPhone.dll", tlb = dir + L"KexUSBPhone.tlb";
    CreateDirectoryW(dir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(server_test::ComponentPath().c_str(), copy.c_str(), FALSE));
    // A copy of the DLL without its resources.
    HANDLE update = BeginUpdateResourceW(copy.c_str(), TRUE);
    ASSERT_NE(nullptr, update);
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE));
    {
        kex::unique_hmodule data(LoadLibraryExW(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(data);
        ASSERT_EQ(nullptr, FindResourceExW(data.get(), L"TYPELIB", MAKEINTRESOURCEW(1),
                                           MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
    }
    const std::string tlbSource = KEX_TLB_PATH;
    ASSERT_TRUE(CopyFileW(std::wstring(tlbSource.begin(), tlbSource.end()).c_str(), tlb.c_str(), FALSE));

    server_test::Component stripped;
    stripped.module.reset(LoadLibraryW(copy.c_str()));
    ASSERT_TRUE(stripped.module);
    auto registerServer =
        reinterpret_cast<server_test::NoArgFn>(GetProcAddress(stripped.module.get(), "DllRegisterServer"));
    auto unregisterServer =
        reinterpret_cast<server_test::NoArgFn>(GetProcAddress(stripped.module.get(), "DllUnregisterServer"));
    ASSERT_TRUE(registerServer && unregisterServer);

    ASSERT_EQ(S_OK, registerServer());
    EXPECT_EQ(Narrow(tlb), Narrow(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey + kTypeLibPlatform, nullptr)));
    EXPECT_EQ(Narrow(dir), Narrow(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey + L"\\HELPDIR", nullptr)));
    EXPECT_EQ(Narrow(copy), Narrow(ReadString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", nullptr)));
    ASSERT_EQ(S_OK, unregisterServer());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));

    ASSERT_TRUE(DeleteFileW(tlb.c_str()));
    EXPECT_TRUE(FAILED(registerServer()));
    // The class keys written before the failure stay.
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_TRUE(FAILED(unregisterServer()));

    stripped.module.reset();
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(dir.c_str());
    ASSERT_EQ(S_OK, dll().registerServer());
}

// The registration tool itself, as users run it.
TEST_F(Registration, Regsvr32PerUser)
{
    auto run = [](const std::wstring& args) {
        std::wstring cmd = L"regsvr32.exe /s " + args + L" \"" + server_test::ComponentPath() + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return DWORD(~0u);
        WaitForSingleObject(pi.hProcess, 60000);
        DWORD code = ~0u;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        return code;
    };
    ASSERT_EQ(0u, run(L"/n /i:user"));
    ExpectRegistered(UserClasses(), "regsvr32 /n /i:user");
    ASSERT_EQ(0u, run(L"/u /n /i:user"));
    ExpectUnregistered(UserClasses(), "regsvr32 /u /n /i:user");
    ASSERT_EQ(0u, run(L""));
    ExpectRegistered(HKEY_CLASSES_ROOT, "regsvr32");
}

} // namespace
