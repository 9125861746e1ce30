// Test fixtures for event marshalling: a thread with a message loop that can
// be handed work, and stub event sinks that record what reached them.
#pragma once

#include "com_disp_evt/raii.h"

#include <oaidl.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace evt_test {

// A thread that pumps messages (like a host's UI thread) and runs tasks
// handed to it between messages.
class HostThread {
public:
    static constexpr UINT WM_TASK = WM_APP + 77;

    HostThread()
    {
        m_thread = std::thread([this] { Loop(); });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_id != 0; });
    }
    ~HostThread() { Stop(); }

    DWORD id() const { return m_id; }

    // Runs f on the host thread and waits for it.
    void Run(std::function<void()> f)
    {
        kex::unique_handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        auto* task = new Task{std::move(f), done.get()};
        PostThreadMessageA(m_id, WM_TASK, 0, reinterpret_cast<LPARAM>(task));
        WaitForSingleObject(done.get(), INFINITE);
    }
    // Runs f on the host thread without waiting.
    void Post(std::function<void()> f)
    {
        PostThreadMessageA(m_id, WM_TASK, 0, reinterpret_cast<LPARAM>(new Task{std::move(f), nullptr}));
    }
    void Stop()
    {
        if (!m_thread.joinable())
            return;
        PostThreadMessageA(m_id, WM_QUIT, 0, 0);
        m_thread.join();
    }

private:
    struct Task {
        std::function<void()> fn;
        HANDLE done;
    };

    void Loop()
    {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // make the queue
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_id = GetCurrentThreadId();
        }
        m_cv.notify_all();
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (msg.hwnd == nullptr && msg.message == WM_TASK) {
                Task* task = reinterpret_cast<Task*>(msg.lParam);
                task->fn();
                if (task->done)
                    SetEvent(task->done);
                delete task;
                continue;
            }
            DispatchMessageA(&msg);
        }
    }

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    DWORD m_id = 0;
};

// What one Invoke received.
struct InvokeRecord {
    DISPID dispid;
    WORD flags;
    std::vector<VARTYPE> types; // rgvarg order
    std::vector<long> values;   // rgvarg order
    UINT namedArgs;
    DWORD thread;
    const void* sink;
};

// A hand-written event sink: answers IUnknown, IDispatch and the event
// interface it is made for, records every Invoke, answers with a set result
// and EXCEPINFO, and may run an action during the call.
class StubSink : public IDispatch {
public:
    StubSink(const IID& eventIid, std::vector<InvokeRecord>* journal) : m_iid(eventIid), m_journal(journal) {}
    virtual ~StubSink() = default;

    // Failure to answer with; EXCEPINFO to fill in on failure.
    HRESULT result = S_OK;
    EXCEPINFO excep = {};
    bool answerEventIid = true;
    std::function<void()> during;

    LONG refs() const { return m_refs; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || (answerEventIid && riid == m_iid)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        // Stack- or fixture-owned: the count only shows who still holds it.
        return InterlockedDecrement(&m_refs);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override
    {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO* pExcep, UINT*) override
    {
        InvokeRecord r{dispid, flags, {}, {}, params->cNamedArgs, GetCurrentThreadId(), this};
        for (UINT k = 0; k < params->cArgs; ++k) {
            r.types.push_back(params->rgvarg[k].vt);
            r.values.push_back(params->rgvarg[k].lVal);
            params->rgvarg[k].lVal = -12345; // a later sink must not see this
        }
        if (m_journal)
            m_journal->push_back(r);
        if (during)
            during();
        if (FAILED(result) && pExcep) {
            *pExcep = excep;
            pExcep->bstrSource = excep.bstrSource ? SysAllocString(excep.bstrSource) : nullptr;
            pExcep->bstrDescription = excep.bstrDescription ? SysAllocString(excep.bstrDescription) : nullptr;
            pExcep->bstrHelpFile = excep.bstrHelpFile ? SysAllocString(excep.bstrHelpFile) : nullptr;
        }
        return result;
    }

private:
    LONG m_refs = 1;
    IID m_iid;
    std::vector<InvokeRecord>* m_journal;
};

} // namespace evt_test
