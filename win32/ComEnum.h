// The one enumerator of the component and its tools: IEnumConnections,
// IEnumConnectionPoints, IEnumVARIANT and the like over a snapshot taken when
// it is made. Clones share the snapshot and keep their own position.
//
// Traits says what an item is and how a copy is made and dropped:
//   struct Traits {
//       using Item = ...;
//       static HRESULT Copy(Item* to, const Item& from) noexcept; // to is raw
//       static void Clear(Item& item) noexcept;
//   };
// ModuleLock is taken while an enumerator lives (Lock()/Unlock(), static).
#pragma once

#include "win32/QiTable.h"

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kex {

struct NoModuleLock {
    static void Lock() noexcept {}
    static void Unlock() noexcept {}
};

// Items that are interface pointers, or structures holding one in pUnk.
template <class Interface>
struct InterfaceItems {
    using Item = Interface*;
    static HRESULT Copy(Item* to, const Item& from) noexcept
    {
        *to = from;
        if (from)
            from->AddRef();
        return S_OK;
    }
    static void Clear(Item& item) noexcept
    {
        if (Item gone = std::exchange(item, nullptr))
            gone->Release();
    }
};

struct ConnectDataItems {
    using Item = CONNECTDATA;
    static HRESULT Copy(Item* to, const Item& from) noexcept
    {
        *to = from;
        if (from.pUnk)
            from.pUnk->AddRef();
        return S_OK;
    }
    static void Clear(Item& item) noexcept
    {
        if (IUnknown* gone = std::exchange(item.pUnk, nullptr))
            gone->Release();
    }
};

struct VariantItems {
    using Item = VARIANT;
    static HRESULT Copy(Item* to, const Item& from) noexcept
    {
        VariantInit(to);
        return VariantCopy(to, const_cast<VARIANT*>(&from));
    }
    static void Clear(Item& item) noexcept { VariantClear(&item); }
};

template <class I, class Traits, class ModuleLock = NoModuleLock>
class ComEnum final : public I {
public:
    using Item = typename Traits::Item;

    // Copies count items into the snapshot.
    static HRESULT Create(const Item* first, std::size_t count, I** out) noexcept
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        try {
            auto items = std::make_shared<Snapshot>();
            items->list.reserve(count);
            for (std::size_t k = 0; k < count; ++k) {
                Item copy;
                if (HRESULT hr = Traits::Copy(&copy, first[k]); FAILED(hr))
                    return hr;
                items->list.push_back(copy); // reserved: cannot throw
            }
            *out = new ComEnum(std::move(items), 0);
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override
    {
        const QiEntry interfaces[] = {{&__uuidof(I), QiOffset<ComEnum, I>()}, {}};
        return QiSearch(this, interfaces, iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() noexcept override
    {
        ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

    // Asking for more than one item needs somewhere to say how many came.
    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) noexcept override
    {
        if (fetched)
            *fetched = 0;
        if (!items || (count != 1 && !fetched))
            return E_POINTER;
        const std::vector<Item>& list = m_items->list;
        ULONG n = 0;
        while (n < count && m_position < list.size()) {
            if (HRESULT hr = Traits::Copy(&items[n], list[m_position]); FAILED(hr)) {
                while (n > 0)
                    Traits::Clear(items[--n]);
                return hr;
            }
            ++m_position;
            ++n;
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) noexcept override
    {
        const ULONG size = static_cast<ULONG>(m_items->list.size());
        if (count > size - m_position) {
            m_position = size;
            return S_FALSE;
        }
        m_position += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() noexcept override
    {
        m_position = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(I** out) noexcept override
    {
        if (!out)
            return E_POINTER;
        *out = new (std::nothrow) ComEnum(m_items, m_position);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    struct Snapshot {
        std::vector<Item> list;
        Snapshot() = default;
        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;
        ~Snapshot()
        {
            for (Item& item : list)
                Traits::Clear(item);
        }
    };

    ComEnum(std::shared_ptr<Snapshot> items, ULONG position) noexcept
        : m_items(std::move(items)), m_position(position)
    {
        ModuleLock::Lock();
    }
    ~ComEnum() { ModuleLock::Unlock(); }

    std::atomic<ULONG> m_refs{1};
    std::shared_ptr<Snapshot> m_items;
    ULONG m_position;
};

} // namespace kex
