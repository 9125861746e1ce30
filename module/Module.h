// The component's one module object: the lock count that DllCanUnloadNow
// reports and the process's global interface table.
#pragma once

#include <windows.h>
#include <objidl.h>

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

private:
    volatile LONG m_lockCount = 0;
    GUID m_libid;
    IGlobalInterfaceTable* volatile m_git = nullptr;
};

extern CKexUSBPhoneModule g_module;
