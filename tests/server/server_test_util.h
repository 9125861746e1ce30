// Loads the build's KexUSBPhone.dll into the test process and reaches its
// entry points directly, without the registry.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "win32/raii.h"

#include "KexUSBPhone_h.h"

#include <gtest/gtest.h>

#include <string>

namespace server_test {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using NoArgFn = HRESULT(STDAPICALLTYPE*)();
using InstallFn = HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR);

// Pointers the tests fill with junk first, to catch outputs left untouched.
inline void* Junk() { return reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEF)); }

inline std::wstring BinDir()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

inline std::wstring ComponentPath() { return BinDir() + L"KexUSBPhone.dll"; }

struct Component {
    kex::unique_hmodule module;
    GetClassObjectFn getClassObject = nullptr;
    NoArgFn canUnloadNow = nullptr;
    NoArgFn registerServer = nullptr;
    NoArgFn unregisterServer = nullptr;
    InstallFn install = nullptr;

    bool Load()
    {
        module.reset(LoadLibraryW(ComponentPath().c_str()));
        if (!module)
            return false;
        getClassObject = reinterpret_cast<GetClassObjectFn>(GetProcAddress(module.get(), "DllGetClassObject"));
        canUnloadNow = reinterpret_cast<NoArgFn>(GetProcAddress(module.get(), "DllCanUnloadNow"));
        registerServer = reinterpret_cast<NoArgFn>(GetProcAddress(module.get(), "DllRegisterServer"));
        unregisterServer = reinterpret_cast<NoArgFn>(GetProcAddress(module.get(), "DllUnregisterServer"));
        install = reinterpret_cast<InstallFn>(GetProcAddress(module.get(), "DllInstall"));
        return getClassObject && canUnloadNow && registerServer && unregisterServer && install;
    }

    // Unloads the library (its static objects go) and loads it again.
    bool Reload()
    {
        module.reset();
        return Load();
    }

    kex::com_ptr<IClassFactory> Factory()
    {
        kex::com_ptr<IClassFactory> factory;
        EXPECT_EQ(S_OK, getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, factory.put_void()));
        return factory;
    }
};

// COM for the test thread, and the component loaded once for the program.
class ComponentTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitialize(nullptr);
        s_component = new Component;
        s_loaded = s_component->Load();
    }
    static void TearDownTestSuite()
    {
        delete s_component;
        s_component = nullptr;
        CoUninitialize();
    }
    void SetUp() override
    {
        ASSERT_TRUE(s_loaded) << "KexUSBPhone.dll or one of its exports is missing";
        // Every test starts and must end with nothing holding the component.
        ASSERT_EQ(S_OK, s_component->canUnloadNow());
    }
    void TearDown() override { EXPECT_EQ(S_OK, s_component->canUnloadNow()) << "a lock leaked"; }

    static Component& dll() { return *s_component; }

    static Component* s_component;
    static bool s_loaded;
};

inline Component* ComponentTest::s_component = nullptr;
inline bool ComponentTest::s_loaded = false;

} // namespace server_test
