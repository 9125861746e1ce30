// Connects a sink to an object's connection point for a scope:
// QueryInterface for IConnectionPointContainer, FindConnectionPoint, Advise,
// and Unadvise when the subscription goes.
#pragma once

#include "win32/raii.h"

#include <windows.h>
#include <ocidl.h>

namespace test_support {

class EventSubscription {
public:
    EventSubscription() = default;
    EventSubscription(const EventSubscription&) = delete;
    EventSubscription& operator=(const EventSubscription&) = delete;
    ~EventSubscription() { Unadvise(); }

    // The first failing step's HRESULT, or S_OK when the sink is connected.
    HRESULT Advise(IUnknown* object, REFIID eventIid, IUnknown* sink)
    {
        Unadvise();
        kex::com_ptr<IConnectionPointContainer> container;
        HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, container.put_void());
        if (FAILED(hr))
            return hr;
        kex::com_ptr<IConnectionPoint> point;
        if (hr = container->FindConnectionPoint(eventIid, point.put()); FAILED(hr))
            return hr;
        if (hr = point->Advise(sink, &m_cookie); FAILED(hr))
            return hr;
        m_point = std::move(point);
        return S_OK;
    }
    HRESULT Unadvise()
    {
        if (!m_point)
            return S_FALSE;
        const HRESULT hr = m_point->Unadvise(m_cookie);
        m_point.reset();
        m_cookie = 0;
        return hr;
    }
    // Lets the point go and leaves the sink connected: for tests of an object
    // that must let its sinks go itself when it is released (the point holds
    // the object).
    void LeaveConnected()
    {
        m_point.reset();
        m_cookie = 0;
    }
    IConnectionPoint* Point() const { return m_point.get(); }
    DWORD Cookie() const { return m_cookie; }

private:
    kex::com_ptr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
};

} // namespace test_support
