// Move-only owners for Win32 and COM resources, the lock owner and the COM
// exception boundary. put() releases what is held first, so an owner can be
// handed straight to a function's out parameter.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

#include <new>
#include <string>
#include <utility>

namespace kex {

template <class T, class Traits>
class unique_any {
public:
    unique_any() noexcept = default;
    explicit unique_any(T v) noexcept : m_value(v) {}
    unique_any(unique_any&& o) noexcept : m_value(o.release()) {}
    unique_any& operator=(unique_any&& o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    ~unique_any() { reset(); }

    void reset(T v = Traits::invalid()) noexcept
    {
        T old = m_value;
        m_value = v;
        if (Traits::valid(old))
            Traits::close(old);
    }
    T release() noexcept { return std::exchange(m_value, Traits::invalid()); }
    T get() const noexcept { return m_value; }
    T* put() noexcept
    {
        reset();
        return &m_value;
    }
    explicit operator bool() const noexcept { return Traits::valid(m_value); }

private:
    T m_value = Traits::invalid();
};

namespace detail {
struct handle_traits {
    static HANDLE invalid() noexcept { return nullptr; }
    static bool valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { CloseHandle(h); }
};
struct file_traits : handle_traits {
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
};
// Owners of values whose "none" is null, closed by one function.
template <class T, auto Close>
struct null_traits {
    static T invalid() noexcept { return nullptr; }
    static bool valid(T v) noexcept { return v != nullptr; }
    static void close(T v) noexcept { Close(v); }
};
using hmodule_traits = null_traits<HMODULE, &FreeLibrary>;
using hwnd_traits = null_traits<HWND, &DestroyWindow>;
using hkey_traits = null_traits<HKEY, &RegCloseKey>;
using bstr_traits = null_traits<BSTR, &SysFreeString>;
} // namespace detail

using unique_handle = unique_any<HANDLE, detail::handle_traits>;         // events, threads, ...
using unique_file = unique_any<HANDLE, detail::file_traits>;             // CreateFile results
using unique_hmodule = unique_any<HMODULE, detail::hmodule_traits>;
using unique_hwnd = unique_any<HWND, detail::hwnd_traits>;
using unique_hkey = unique_any<HKEY, detail::hkey_traits>;
using unique_bstr = unique_any<BSTR, detail::bstr_traits>;

inline unique_bstr make_bstr(const wchar_t* s) noexcept { return unique_bstr(SysAllocString(s)); }

// VARIANT that is cleared when it goes.
class unique_variant : public VARIANT {
public:
    unique_variant() noexcept { VariantInit(this); }
    ~unique_variant() { VariantClear(this); }
    unique_variant(unique_variant&& o) noexcept
    {
        VariantInit(this);
        *static_cast<VARIANT*>(this) = o;
        VariantInit(&o);
    }
    unique_variant& operator=(unique_variant&& o) noexcept
    {
        if (this != &o) {
            VariantClear(this);
            *static_cast<VARIANT*>(this) = o;
            VariantInit(&o);
        }
        return *this;
    }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;

    void reset() noexcept { VariantClear(this); }
    VARIANT* put() noexcept
    {
        VariantClear(this);
        return this;
    }
};

// COM interface pointer.
template <class T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    // Takes a new reference.
    explicit com_ptr(T* p) noexcept : m_p(p)
    {
        if (m_p)
            m_p->AddRef();
    }
    com_ptr(const com_ptr& o) noexcept : com_ptr(o.m_p) {}
    com_ptr(com_ptr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    com_ptr& operator=(com_ptr o) noexcept
    {
        std::swap(m_p, o.m_p);
        return *this;
    }
    ~com_ptr() { reset(); }

    // Adopts a reference the caller already owns.
    static com_ptr attach(T* p) noexcept
    {
        com_ptr r;
        r.m_p = p;
        return r;
    }
    void reset() noexcept
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    T* detach() noexcept { return std::exchange(m_p, nullptr); }
    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T** put() noexcept
    {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    template <class U>
    HRESULT query(com_ptr<U>& out) const noexcept
    {
        if (!m_p)
            return E_POINTER;
        return m_p->QueryInterface(__uuidof(U), out.put_void());
    }
    HRESULT query(REFIID iid, void** out) const noexcept
    {
        if (!m_p)
            return E_POINTER;
        return m_p->QueryInterface(iid, out);
    }

private:
    T* m_p = nullptr;
};

// SRW lock owner. Needs no construction or destruction, so a static one may be
// taken at any time, also while static objects are built or torn down.
class srwlock_guard;
class srwlock {
public:
    constexpr srwlock() noexcept = default;
    srwlock(const srwlock&) = delete;
    srwlock& operator=(const srwlock&) = delete;

    // Held until the guard goes.
    [[nodiscard]] srwlock_guard lock_exclusive() noexcept;

private:
    friend class srwlock_guard;
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class srwlock_guard {
public:
    srwlock_guard() noexcept = default; // holds nothing
    srwlock_guard(srwlock_guard&& o) noexcept : m_lock(std::exchange(o.m_lock, nullptr)) {}
    srwlock_guard& operator=(srwlock_guard&& o) noexcept
    {
        if (this != &o) {
            reset();
            m_lock = std::exchange(o.m_lock, nullptr);
        }
        return *this;
    }
    srwlock_guard(const srwlock_guard&) = delete;
    srwlock_guard& operator=(const srwlock_guard&) = delete;
    ~srwlock_guard() { reset(); }

    // Releases early.
    void reset() noexcept
    {
        if (SRWLOCK* lock = std::exchange(m_lock, nullptr))
            ReleaseSRWLockExclusive(lock);
    }

private:
    friend class srwlock;
    explicit srwlock_guard(SRWLOCK* lock) noexcept : m_lock(lock) { AcquireSRWLockExclusive(m_lock); }
    SRWLOCK* m_lock = nullptr;
};

inline srwlock_guard srwlock::lock_exclusive() noexcept { return srwlock_guard(&m_lock); }

// The result of the exception being handled, for the one catch (...) of a COM
// or C entry point: no memory is E_OUTOFMEMORY, anything else E_FAIL.
inline HRESULT result_from_caught_exception() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace kex

// Ends a function-wide try block at a COM or C boundary.
#define KEX_CATCH_RETURN()                                                                                             \
    catch (...)                                                                                                        \
    {                                                                                                                  \
        return ::kex::result_from_caught_exception();                                                                  \
    }
