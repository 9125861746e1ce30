#include "server/ClassFactory.h"

#include "module/Module.h"

#include <new>

namespace kex_server {

CKexClassFactory::CKexClassFactory(CreatorFn creator) noexcept : m_creator(creator)
{
    InitializeCriticalSection(&m_lock);
}

CKexClassFactory::~CKexClassFactory() { DeleteCriticalSection(&m_lock); }

HRESULT CKexClassFactory::QueryInterface(REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
        return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG CKexClassFactory::AddRef() noexcept
{
    EnterCriticalSection(&m_lock);
    ULONG ref = ++m_ref;
    if (ref == 2)
        g_module.Lock();
    LeaveCriticalSection(&m_lock);
    return ref;
}

ULONG CKexClassFactory::Release() noexcept
{
    EnterCriticalSection(&m_lock);
    ULONG ref = --m_ref;
    if (ref == 1)
        g_module.Unlock();
    LeaveCriticalSection(&m_lock);
    if (ref == 0)
        delete this;
    return ref;
}

HRESULT CKexClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    return m_creator(outer, iid, out);
}

HRESULT CKexClassFactory::LockServer(BOOL lock) noexcept
{
    if (lock)
        g_module.Lock();
    else
        g_module.Unlock();
    return S_OK;
}

} // namespace kex_server
