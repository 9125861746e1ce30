#include "module/Module.h"

#include "com_disp_evt/init_order.h"

#include "KexUSBPhone_h.h"

CKexUSBPhoneModule g_module KEX_INIT_PRIORITY(KEX_INIT_MODULE);

CKexUSBPhoneModule::CKexUSBPhoneModule() noexcept : m_libid(LIBID_KexUSBPhone) {}

CKexUSBPhoneModule::~CKexUSBPhoneModule()
{
    if (IGlobalInterfaceTable* git = m_git) {
        m_git = nullptr;
        git->Release();
    }
}

long CKexUSBPhoneModule::Lock() noexcept { return InterlockedIncrement(&m_lockCount); }

long CKexUSBPhoneModule::Unlock() noexcept { return InterlockedDecrement(&m_lockCount); }

long CKexUSBPhoneModule::GetLockCount() noexcept { return InterlockedCompareExchange(&m_lockCount, 0, 0); }

HRESULT CKexUSBPhoneModule::GetGITPtr(IGlobalInterfaceTable** git) noexcept
{
    if (!git)
        return E_POINTER;
    *git = nullptr;
    if (!m_git) {
        IGlobalInterfaceTable* created = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&created));
        if (FAILED(hr))
            return hr;
        // Two threads may race to create it; the loser drops its copy.
        if (InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&m_git), created, nullptr))
            created->Release();
    }
    m_git->AddRef();
    *git = m_git;
    return S_OK;
}
