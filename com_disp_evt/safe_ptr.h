// Reference-counted owning pointer shared across threads.
// Portable: also used by the record library in the native build.
#pragma once

#include <atomic>
#include <stdexcept>
#include <utility>

namespace com_disp_evt {

// Thrown when an empty safe_ptr is dereferenced.
class null_ref : public std::runtime_error {
public:
    null_ref() : std::runtime_error("null reference of safe ptr") {}
};

template <class T>
class safe_ptr {
public:
    safe_ptr() noexcept = default;

    // Takes ownership. If the count block cannot be allocated the object is
    // deleted and bad_alloc propagates, so nothing leaks.
    explicit safe_ptr(T* p) : m_ptr(p)
    {
        if (!p)
            return;
        try {
            m_count = new std::atomic<long>(1);
        } catch (...) {
            delete p;
            m_ptr = nullptr;
            throw;
        }
    }

    safe_ptr(const safe_ptr& o) noexcept : m_ptr(o.m_ptr), m_count(o.m_count) { addref(); }
    safe_ptr(safe_ptr&& o) noexcept : m_ptr(o.m_ptr), m_count(o.m_count)
    {
        o.m_ptr = nullptr;
        o.m_count = nullptr;
    }
    ~safe_ptr() { release(); }

    safe_ptr& operator=(safe_ptr o) noexcept
    {
        swap(o);
        return *this;
    }

    void swap(safe_ptr& o) noexcept
    {
        std::swap(m_ptr, o.m_ptr);
        std::swap(m_count, o.m_count);
    }

    void reset() noexcept { safe_ptr().swap(*this); }
    void reset(T* p) { safe_ptr(p).swap(*this); }

    T* get() const noexcept { return m_ptr; }
    T& operator*() const { return *checked(); }
    T* operator->() const { return checked(); }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }
    long use_count() const noexcept { return m_count ? m_count->load() : 0; }

    friend bool operator==(const safe_ptr& a, const safe_ptr& b) noexcept { return a.m_ptr == b.m_ptr; }
    friend bool operator!=(const safe_ptr& a, const safe_ptr& b) noexcept { return a.m_ptr != b.m_ptr; }

private:
    T* checked() const
    {
        if (!m_ptr)
            throw null_ref();
        return m_ptr;
    }
    void addref() noexcept
    {
        if (m_count)
            m_count->fetch_add(1, std::memory_order_relaxed);
    }
    void release() noexcept
    {
        if (m_count && m_count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete m_ptr;
            delete m_count;
        }
        m_ptr = nullptr;
        m_count = nullptr;
    }

    T* m_ptr = nullptr;
    std::atomic<long>* m_count = nullptr;
};

} // namespace com_disp_evt
