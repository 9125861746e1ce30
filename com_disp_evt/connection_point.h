// A reusable connection point and the firing of dispatch events over its sinks.
//
// The object that offers events keeps one connection_point per outgoing
// interface as a member and hands it out from its IConnectionPointContainer:
//
//   class KexUsbPhone : public IKexPhone, public IConnectionPointContainer, ... {
//       com_disp_evt::connection_point m_cpNotify{this, IID_IPropertyNotifySink};
//       com_disp_evt::connection_point m_cpEvents{this, DIID_IKexPhoneEvents};
//       HRESULT Fire_OnKey(KEX_USBPHONE_KEYVALUE eKey)
//       {
//           return com_disp_evt::fire_event(m_cpEvents, 2, eKey);
//       }
//   };
//
// The connection point is not a COM object of its own: AddRef and Release go
// to the container (so a client holding the point keeps the object alive) and
// QueryInterface answers IUnknown and IConnectionPoint only. The sink list is
// used on the object's thread only and takes no lock.
//
// Cookies start at 1 and are never reused while the point lives. Advise
// stores the sink's answer to the point's interface ID (for a dispinterface
// that is an IDispatch).
//
// Enumerators (EnumConnections here, make_connection_point_enum for the
// container) hold one lock on the module for their lifetime through the hooks
// the server installs with set_module_lock_hooks.
#pragma once

#include "win32/raii.h"

#include <ocidl.h>
#include <windows.h>

#include <cstddef>
#include <type_traits>
#include <vector>

namespace com_disp_evt {

using module_lock_fn = void (*)();
// Either may be null (nothing is counted). Set once by the server at start-up.
void set_module_lock_hooks(module_lock_fn lock, module_lock_fn unlock) noexcept;

class connection_point final : public IConnectionPoint {
public:
    connection_point(IConnectionPointContainer* container, const IID& iid) noexcept;
    // Releases every sink still advised.
    ~connection_point();
    connection_point(const connection_point&) = delete;
    connection_point& operator=(const connection_point&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;

    // IConnectionPoint
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) noexcept override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) noexcept override;
    // E_POINTER for a null sink or cookie address, CONNECT_E_CANNOTCONNECT when
    // the sink does not answer the interface ID, CONNECT_E_ADVISELIMIT when it
    // cannot be stored.
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) noexcept override;
    // CONNECT_E_NOCONNECTION for an unknown cookie.
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) noexcept override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) noexcept override;

    const IID& iid() const noexcept { return m_iid; }
    std::size_t size() const noexcept { return m_sinks.size(); }
    // The sinks in advise order, each with a reference of its own, so that a
    // sink may advise or unadvise while the copy is walked. Throws bad_alloc.
    std::vector<kex::com_ptr<IUnknown>> snapshot() const;
    // Unadvises everything (for the owner's final release).
    void clear() noexcept;

private:
    struct sink_entry {
        DWORD cookie;
        IUnknown* unk; // the sink's answer to m_iid; one reference
    };

    IConnectionPointContainer* m_container;
    IID m_iid;
    std::vector<sink_entry> m_sinks;
    DWORD m_nextCookie = 1;
};

// One sink call with the error-information rules of event firing: on failure
// the EXCEPINFO becomes an error object; it is made the thread's error
// information only when it carries no failure code, and released in any case.
// Returns Invoke's result.
HRESULT invoke_event_sink(IDispatch* sink, DISPID dispid, DISPPARAMS* params) noexcept;

// Fires dispid with 32-bit integer arguments (args[0] is the first
// parameter) to every sink of cp, in advise order, on a snapshot of the list.
// Each sink gets fresh VT_I4 arguments, last parameter first in rgvarg. The
// first failing sink ends the walk. S_OK when no sink was called, else the
// result of the last sink called; E_OUTOFMEMORY when the snapshot fails.
HRESULT fire_event_i4(const connection_point& cp, DISPID dispid, const long* args, UINT count) noexcept;

// fire_event(cp, 1, eEvent, wParam, lParam): integers and enumerations only.
template <class... Args>
HRESULT fire_event(const connection_point& cp, DISPID dispid, Args... args) noexcept
{
    static_assert(((std::is_integral<Args>::value || std::is_enum<Args>::value) && ...),
                  "event arguments travel as VT_I4");
    const long values[sizeof...(Args) + 1] = {static_cast<long>(args)..., 0};
    return fire_event_i4(cp, dispid, values, static_cast<UINT>(sizeof...(Args)));
}

// An IEnumConnectionPoints over the given points (each held with a reference,
// which keeps their container alive), for IConnectionPointContainer::
// EnumConnectionPoints. E_POINTER for a null out, E_OUTOFMEMORY.
HRESULT make_connection_point_enum(IConnectionPoint* const* points, std::size_t count,
                                   IEnumConnectionPoints** ppEnum) noexcept;

} // namespace com_disp_evt
