// The library's entry points: class object, unload policy, registration.
#include "server/ClassFactory.h"
#include "module/Module.h"
#include "server/Registration.h"

#include "com_disp_evt/connection_point.h"
#include "phone/KexPhone.h"

#include "KexUSBPhone_h.h"

#include <new>

using kex_server::CKexClassFactory;
using kex_server::ClassEntry;
using kex_server::Scope;

namespace {

// The class table: one class. The cached class object is made under the
// table lock with a second look inside it, so racing first requests share one.
class ClassTable {
public:
    ClassTable() noexcept = default;
    ~ClassTable()
    {
        // The library is going away: no more class objects, drop the cache.
        auto hold = m_lock.lock_exclusive();
        m_shutDown = true;
        for (ClassEntry& entry : m_entries) {
            if (IClassFactory* cached = entry.cached) {
                entry.cached = nullptr;
                cached->Release();
            }
        }
    }
    ClassTable(const ClassTable&) = delete;
    ClassTable& operator=(const ClassTable&) = delete;

    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept
    {
        if (m_shutDown)
            return E_UNEXPECTED;
        if (!out)
            return E_POINTER;
        *out = nullptr;
        ClassEntry* entry = Find(clsid);
        if (!entry)
            return CLASS_E_CLASSNOTAVAILABLE;
        if (!entry->cached) {
            bool made;
            {
                auto hold = m_lock.lock_exclusive();
                if (!entry->cached && !m_shutDown)
                    entry->cached = new (std::nothrow) CKexClassFactory(entry->creator);
                made = entry->cached != nullptr;
            }
            if (!made)
                return m_shutDown ? E_UNEXPECTED : E_OUTOFMEMORY;
        }
        HRESULT hr = entry->cached->QueryInterface(iid, out);
        if (SUCCEEDED(hr) && !*out)
            return CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }

private:
    ClassEntry* Find(REFCLSID clsid) noexcept
    {
        for (ClassEntry& entry : m_entries) {
            if (IsEqualCLSID(*entry.clsid, clsid))
                return &entry;
        }
        return nullptr;
    }

    kex::srwlock m_lock;
    volatile bool m_shutDown = false;
    ClassEntry m_entries[1] = {
        {&CLSID_KexUSBPhone, &KexUsbPhone::CreateInstance, nullptr},
    };
};

ClassTable g_classTable;

void LockModule() { g_module.Lock(); }
void UnlockModule() { g_module.Unlock(); }

// Connection-point enumerators keep the library loaded while they live.
struct ModuleLockHooks {
    ModuleLockHooks() noexcept { com_disp_evt::set_module_lock_hooks(&LockModule, &UnlockModule); }
    ~ModuleLockHooks() { com_disp_evt::set_module_lock_hooks(nullptr, nullptr); }
} g_moduleLockHooks;

bool IsUserScope(LPCWSTR cmdLine) noexcept { return cmdLine && lstrcmpiW(cmdLine, L"user") == 0; }
bool IsMachineScope(LPCWSTR cmdLine) noexcept
{
    return !cmdLine || !*cmdLine || lstrcmpiW(cmdLine, L"machine") == 0;
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out)
{
    return g_classTable.GetClassObject(clsid, iid, out);
}

STDAPI DllCanUnloadNow() { return g_module.GetLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return kex_server::RegisterServer(Scope::Machine); }

STDAPI DllUnregisterServer() { return kex_server::UnregisterServer(Scope::Machine); }

// regsvr32 /n /i:user registers for the current user only (no administrator
// rights needed); regsvr32 /u /n /i:user removes that again. An empty command
// line or "machine" does what DllRegisterServer/DllUnregisterServer do.
STDAPI DllInstall(BOOL install, LPCWSTR cmdLine)
{
    Scope scope;
    if (IsUserScope(cmdLine))
        scope = Scope::User;
    else if (IsMachineScope(cmdLine))
        scope = Scope::Machine;
    else
        return E_INVALIDARG;
    return install ? kex_server::RegisterServer(scope) : kex_server::UnregisterServer(scope);
}

} // extern "C"
