// The class object of the component's one class, and the class table entry
// that caches it.
#pragma once

#include "win32/raii.h"

#include <windows.h>
#include <unknwn.h>

namespace kex_server {

using CreatorFn = HRESULT (*)(IUnknown* outer, REFIID iid, void** out) noexcept;

// IClassFactory over a creator function. The cache holds one reference; while
// anyone else holds one too (count 2 or more) the object holds one module
// lock, so a host that keeps the class object keeps the component loaded.
class CKexClassFactory final : public IClassFactory {
public:
    explicit CKexClassFactory(CreatorFn creator) noexcept;
    CKexClassFactory(const CKexClassFactory&) = delete;
    CKexClassFactory& operator=(const CKexClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;

    // E_POINTER for a null out; CLASS_E_NOAGGREGATION for an outer object with
    // an interface other than IUnknown; otherwise the creator's answer.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) noexcept override;

private:
    ~CKexClassFactory();

    CreatorFn m_creator;
    kex::srwlock m_lock; // reference count and its module-lock transitions
    ULONG m_ref = 1;         // the reference the creator hands to the cache
};

// One row of the class table.
struct ClassEntry {
    const CLSID* clsid;
    CreatorFn creator;
    IClassFactory* cached; // null until first requested; one reference
};

} // namespace kex_server
