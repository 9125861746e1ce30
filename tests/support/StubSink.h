// The tests' one hand-written event sink: answers IUnknown, IDispatch and the
// event interface it is made for, records every Invoke, answers with a set
// result (and EXCEPINFO on failure) and may run an action during the call.
// Its methods that no event source may call record a test failure.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace test_support {

// One Invoke as the sink saw it.
struct SinkCall {
    DISPID id;
    std::vector<long> args; // in parameter order
    bool allI4;             // every argument was a VT_I4
    WORD flags;
    UINT named;
    DWORD thread;
    std::vector<VARTYPE> types = {}; // in rgvarg order (last parameter first)
    std::vector<long> values = {};   // in rgvarg order
    const void* sink = nullptr;
};

class StubSink : public IDispatch {
public:
    // journal (optional) is shared by several sinks, to see the order in
    // which they were called; each call is also kept in events.
    explicit StubSink(const IID& eventIid, std::vector<SinkCall>* journal = nullptr)
        : m_iid(eventIid), m_journal(journal)
    {
    }
    virtual ~StubSink() = default;
    StubSink(const StubSink&) = delete;
    StubSink& operator=(const StubSink&) = delete;

    std::vector<SinkCall> events;
    size_t count = 0;              // every call, also when not recorded
    bool record = true;            // false: count only
    HRESULT result = S_OK;         // what Invoke answers
    EXCEPINFO excep = {};          // filled in on a failing result
    bool answerEventIid = true;    // false: a plain IDispatch
    std::function<void()> during;  // run after each recorded call

    LONG refs() const { return m_refs; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            (answerEventIid && IsEqualIID(iid, m_iid))) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
    // Stack- or fixture-owned: the count only shows who still holds it.
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&m_refs); }

    // An event source calls Invoke by DISPID and nothing else.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override
    {
        ADD_FAILURE() << "unexpected call: GetTypeInfoCount";
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override
    {
        ADD_FAILURE() << "unexpected call: GetTypeInfo";
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        ADD_FAILURE() << "unexpected call: GetIDsOfNames";
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO* excepOut, UINT*) override
    {
        ++count;
        if (!record)
            return result;
        SinkCall call{id, {}, true, flags, params->cNamedArgs, GetCurrentThreadId(), {}, {}, this};
        for (UINT k = 0; k < params->cArgs; ++k) {
            VARIANT& arg = params->rgvarg[k];
            call.types.push_back(V_VT(&arg));
            call.values.push_back(V_I4(&arg));
            call.allI4 = call.allI4 && V_VT(&arg) == VT_I4;
            arg.lVal = -12345; // a later sink must not see this
        }
        call.args.assign(call.values.rbegin(), call.values.rend());
        if (m_journal)
            m_journal->push_back(call);
        events.push_back(call);
        if (during)
            during();
        if (FAILED(result) && excepOut) {
            *excepOut = excep;
            excepOut->bstrSource = excep.bstrSource ? SysAllocString(excep.bstrSource) : nullptr;
            excepOut->bstrDescription = excep.bstrDescription ? SysAllocString(excep.bstrDescription) : nullptr;
            excepOut->bstrHelpFile = excep.bstrHelpFile ? SysAllocString(excep.bstrHelpFile) : nullptr;
        }
        return result;
    }

private:
    volatile LONG m_refs = 1;
    IID m_iid;
    std::vector<SinkCall>* m_journal;
};

} // namespace test_support
