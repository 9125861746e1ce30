// The component and the HID adapter copied into a folder of their own and
// the component loaded from there, its phone objects made through its class
// factory (no registration needed).
#pragma once

#include "tests/support/TempDir.h"
#include "win32/raii.h"

#include <windows.h>
#include <objbase.h>

#include <string>

#include "KexUSBPhone_h.h"

namespace hid_test {

class ComponentFolder {
public:
    explicit ComponentFolder(const char* tag) : m_dir(tag)
    {
        for (const char* file : {"KexUSBPhone.dll", "hid_headset.dll"})
            m_dir.CopyFromBin(file, file);
        m_dll.reset(LoadLibraryA((m_dir.Path() + "KexUSBPhone.dll").c_str()));
    }

    const test_support::TempDir& Dir() const { return m_dir; }

    // A new phone object asked for iid; "USBPhone.ini" is written first.
    HRESULT NewPhone(const std::string& ini, REFIID iid, void** out) const
    {
        *out = nullptr;
        m_dir.Write("USBPhone.ini", ini);
        if (!m_dll)
            return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
        auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
            GetProcAddress(m_dll.get(), "DllGetClassObject"));
        if (!getClassObject)
            return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
        kex::com_ptr<IClassFactory> factory;
        if (HRESULT hr = getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, factory.put_void()); FAILED(hr))
            return hr;
        return factory->CreateInstance(nullptr, iid, out);
    }

private:
    test_support::TempDir m_dir; // outlives the library loaded from it
    kex::unique_hmodule m_dll;
};

} // namespace hid_test
