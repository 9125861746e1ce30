// The module object g_module: lock count, global interface table, and the
// component's own file and type library.
#include "module/Module.h"

#include "win32/init_order.h"
#include "win32/path.h"
#include "win32/raii.h"

#include "KexUSBPhone_h.h"

#include <oleauto.h>

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

HMODULE CKexUSBPhoneModule::Handle() noexcept { return kex::this_module(); }

HRESULT CKexUSBPhoneModule::FilePath(std::wstring& path) noexcept
try {
    path = kex::module_file_name<wchar_t>(Handle());
    if (path.empty())
        return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}
KEX_CATCH_RETURN()

HRESULT CKexUSBPhoneModule::LoadOwnTypeLib(ITypeLib** lib, std::wstring* loadedFrom) noexcept
try {
    if (!lib)
        return E_POINTER;
    *lib = nullptr;
    std::wstring path;
    if (HRESULT hr = FilePath(path); FAILED(hr))
        return hr;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib);
    if (FAILED(hr)) {
        std::wstring::size_type dot = path.find_last_of(L'.');
        std::wstring::size_type sep = path.find_last_of(L"\\/:");
        if (dot != std::wstring::npos && (sep == std::wstring::npos || dot > sep))
            path.erase(dot);
        path += L".tlb";
        if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib)))
            return hr;
    }
    if (loadedFrom)
        *loadedFrom = path;
    return S_OK;
}
KEX_CATCH_RETURN()
