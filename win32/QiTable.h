// QueryInterface as a table: each COM object lists the interfaces it answers
// with their offsets in the object, and QiSearch answers from that list (the
// shape of the platform's QITAB/QISearch, which mingw's import libraries lack).
//
//   static const kex::QiEntry kInterfaces[] = {
//       KEX_QI_ENTRY(Object, IDispatch),          // first entry: also IUnknown
//       KEX_QI_ENTRY_MULTI(Object, IUnknown, IDispatch),
//       {},
//   };
//   return kex::QiSearch(this, kInterfaces, iid, out);
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <cstddef>

namespace kex {

struct QiEntry {
    const IID* iid;         // null ends the table
    std::ptrdiff_t offset;  // of the interface within the object
};

// Offset of interface I within an object of class C, reached through Via
// (a base class of C that derives from I) when I is inherited more than once.
template <class C, class I, class Via = I>
std::ptrdiff_t QiOffset() noexcept
{
    // Any aligned non-null address will do: nothing is read through it.
    C* object = reinterpret_cast<C*>(alignof(C) * 64);
    return reinterpret_cast<char*>(static_cast<I*>(static_cast<Via*>(object))) - reinterpret_cast<char*>(object);
}

// Nulls *out first, then: the entry for iid (IUnknown: the first entry),
// AddRef'd once, and S_OK; E_NOINTERFACE when no entry matches; E_POINTER for
// a null out.
inline HRESULT QiSearch(void* object, const QiEntry* table, REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    for (const QiEntry* entry = table; entry->iid; ++entry) {
        if (IsEqualIID(iid, *entry->iid) || (entry == table && IsEqualIID(iid, IID_IUnknown))) {
            auto* found = reinterpret_cast<IUnknown*>(static_cast<char*>(object) + entry->offset);
            found->AddRef();
            *out = found;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

} // namespace kex

#define KEX_QI_ENTRY(Class, Interface) ::kex::QiEntry{&__uuidof(Interface), ::kex::QiOffset<Class, Interface>()}
// Interface is reached through Via, one of the class's bases derived from it.
#define KEX_QI_ENTRY_MULTI(Class, Interface, Via)                                                                      \
    ::kex::QiEntry{&__uuidof(Interface), ::kex::QiOffset<Class, Interface, Via>()}
