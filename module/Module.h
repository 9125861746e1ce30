// The component's one module object: the lock count that DllCanUnloadNow
// reports, the process's global interface table, and the component's own
// file and type library.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <objidl.h>

#include <string>

class CKexUSBPhoneModule {
public:
    CKexUSBPhoneModule() noexcept;
    virtual ~CKexUSBPhoneModule();
    CKexUSBPhoneModule(const CKexUSBPhoneModule&) = delete;
    CKexUSBPhoneModule& operator=(const CKexUSBPhoneModule&) = delete;

    // Interlocked; each returns the new count.
    virtual long Lock() noexcept;
    virtual long Unlock() noexcept;
    virtual long GetLockCount() noexcept;

    // The global interface table, created on first use and kept until unload.
    // The caller gets its own reference.
    virtual HRESULT GetGITPtr(IGlobalInterfaceTable** git) noexcept;

    // Identifier of the type library the component carries.
    const GUID& TypeLibId() const noexcept { return m_libid; }
    // The component declares no application identifier.
    const wchar_t* AppId() const noexcept { return L""; }

    // The image the component is linked into, and its full path (grown to
    // fit; an error from GetModuleFileNameW when it cannot be read).
    static HMODULE Handle() noexcept;
    static HRESULT FilePath(std::wstring& path) noexcept;

    // The type library embedded in the component's file or, when the file
    // carries none, the .tlb of the same name beside it. loadedFrom (when
    // given) receives the file it came from. The result of loading the
    // component's file when neither works.
    static HRESULT LoadOwnTypeLib(ITypeLib** lib, std::wstring* loadedFrom = nullptr) noexcept;

private:
    volatile LONG m_lockCount = 0;
    GUID m_libid;
    IGlobalInterfaceTable* volatile m_git = nullptr;
};

extern CKexUSBPhoneModule g_module;
