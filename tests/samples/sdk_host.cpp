// A bare host for adapter checks: loads KexUSBPhone.dll from its own
// directory without the registry, starts it (the adapters come from the
// USBPhone.ini beside it), rings, and waits for the handset to plug in and
// to answer with the pick-up key.
//   sdk_host [--timeout MS]
// Exit status 0 when both events arrived.
#include <windows.h>
#include <ocidl.h>

#include "KexUSBPhone_h.h"
#include "win32/raii.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool g_pluggedIn = false;
bool g_pickedUp = false;

class Sink : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        const IID* const known[] = {&IID_IUnknown, &IID_IDispatch, &DIID_IKexPhoneEvents};
        for (const IID* k : known) {
            if (IsEqualIID(iid, *k)) {
                *out = static_cast<IDispatch*>(this);
                AddRef();
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }
    // Lives on main's stack, longer than the connection.
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return 2; }
    ULONG STDMETHODCALLTYPE Release() noexcept override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) noexcept override
    {
        if (!n)
            return E_POINTER;
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                                     UINT*) noexcept override
    {
        if (!p || p->cArgs == 0)
            return DISP_E_BADPARAMCOUNT;
        kex::unique_variant first; // arguments come last first
        if (FAILED(VariantChangeType(&first, &p->rgvarg[p->cArgs - 1], 0, VT_I4)))
            return DISP_E_TYPEMISMATCH;
        std::printf("sdk_host: event %ld (%ld)\n", static_cast<long>(id), first.lVal);
        std::fflush(stdout);
        if (id == 1 && first.lVal == KEX_USBPHONE_EVENT_PLUGIN)
            g_pluggedIn = true;
        if (id == 3 && first.lVal == KEX_USBPHONE_CHARVALUE_PICKUP)
            g_pickedUp = true;
        return S_OK;
    }
};

void pump_until(bool& flag, DWORD ms)
{
    DWORD start = GetTickCount();
    while (!flag && GetTickCount() - start < ms) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
}

} // namespace

int main(int argc, char** argv)
{
    DWORD timeout = argc > 2 && std::strcmp(argv[1], "--timeout") == 0 ? std::strtoul(argv[2], nullptr, 10) : 10000;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int rc = 1;
    {
        char path[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::strcpy(std::strrchr(path, '\\') + 1, "KexUSBPhone.dll");
        kex::unique_hmodule dll(LoadLibraryA(path));
        using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        auto getClassObject =
            dll ? reinterpret_cast<GetClassObjectFn>(GetProcAddress(dll.get(), "DllGetClassObject")) : nullptr;
        kex::com_ptr<IClassFactory> factory;
        kex::com_ptr<IKexPhone> phone;
        kex::com_ptr<IConnectionPointContainer> cpc;
        kex::com_ptr<IConnectionPoint> cp;
        Sink sink;
        DWORD cookie = 0;
        if (!getClassObject || FAILED(getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, factory.put_void())) ||
            FAILED(factory->CreateInstance(nullptr, IID_IKexPhone, phone.put_void())) ||
            FAILED(phone.query(IID_IConnectionPointContainer, cpc.put_void())) ||
            FAILED(cpc->FindConnectionPoint(DIID_IKexPhoneEvents, cp.put())) || FAILED(cp->Advise(&sink, &cookie))) {
            std::printf("sdk_host: cannot create the phone object from %s\n", path);
            return 2;
        }
        HRESULT hr = phone->Start();
        std::printf("sdk_host: Start 0x%08lx\n", static_cast<unsigned long>(hr));
        std::fflush(stdout);
        if (SUCCEEDED(hr)) {
            pump_until(g_pluggedIn, timeout);
            kex::unique_bstr name = kex::make_bstr(L"Alice"), number = kex::make_bstr(L"100");
            phone->Ring(name.get(), number.get());
            pump_until(g_pickedUp, timeout);
            phone->Stop();
        }
        cp->Unadvise(cookie);
        std::printf("sdk_host: plugged in %s, picked up %s\n", g_pluggedIn ? "yes" : "no", g_pickedUp ? "yes" : "no");
        rc = g_pluggedIn && g_pickedUp ? 0 : 1;
    }
    CoUninitialize();
    return rc;
}
