// CKexClassFactory: the class object's reference count, instance creation
// and server lock.
#include "server/ClassFactory.h"

#include "win32/QiTable.h"
#include "module/Module.h"

#include <new>

namespace kex_server {

CKexClassFactory::CKexClassFactory(CreatorFn creator) noexcept : m_creator(creator) {}

CKexClassFactory::~CKexClassFactory() = default;

HRESULT CKexClassFactory::QueryInterface(REFIID iid, void** out) noexcept
{
    const kex::QiEntry interfaces[] = {KEX_QI_ENTRY(CKexClassFactory, IClassFactory), {}};
    return kex::QiSearch(this, interfaces, iid, out);
}

ULONG CKexClassFactory::AddRef() noexcept
{
    auto hold = m_lock.lock_exclusive();
    ULONG ref = ++m_ref;
    if (ref == 2)
        g_module.Lock();
    return ref;
}

ULONG CKexClassFactory::Release() noexcept
{
    ULONG ref;
    {
        auto hold = m_lock.lock_exclusive();
        ref = --m_ref;
        if (ref == 1)
            g_module.Unlock();
    }
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
