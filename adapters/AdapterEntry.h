// Optional C++ help for an adapter DLL: the three exports of the adapter
// contract over one adapter object, with one exception boundary each and a
// count of bindings. Nothing here is part of the contract: KexUSBAdapter.h
// alone is enough to write an adapter.
//
// In one .cpp of the DLL:
//
//     KEX_ADAPTER_ENTRY_POINTS(MyAdapter)
//
// MyAdapter provides:
//     explicit MyAdapter(KexDeviceCallback callback);
//     bool Start();   // false (or a throw): Intialize fails, after Stop
//     void Stop();    // joins every thread; safe after a failed Start
//     int32_t Execute(uint32_t code, uintptr_t wParam, uintptr_t lParam);
//
// Two [AdapterList] keys may name the same DLL: the component then loads it
// once and initialises it twice. Both bindings share the one adapter, which
// stops when the last of them is uninitialised.
//
// Threads: the component calls the exports on the host's thread, one at a
// time, so the binding takes no lock.
#pragma once

#include "adapters/KexUSBAdapter.h"

#include <memory>
#include <utility>

namespace kex {

template <class Adapter>
class AdapterBinding {
public:
    // The result of an export that failed, or met an exception.
    static constexpr int32_t kFailed = 1;

    constexpr AdapterBinding() noexcept = default;
    AdapterBinding(const AdapterBinding&) = delete;
    AdapterBinding& operator=(const AdapterBinding&) = delete;

    int32_t Intialize(KexDeviceCallback callback) noexcept
    {
        return Boundary([&]() -> int32_t {
            if (!callback)
                return kFailed;
            if (m_adapter) {
                ++m_bindings;
                return 0;
            }
            auto adapter = std::make_unique<Adapter>(callback);
            if (!StartOrStop(*adapter))
                return kFailed;
            m_adapter = std::move(adapter);
            m_bindings = 1;
            return 0;
        });
    }

    int32_t Execute(uint32_t code, uintptr_t wParam, uintptr_t lParam) noexcept
    {
        return Boundary([&]() -> int32_t { return m_adapter ? m_adapter->Execute(code, wParam, lParam) : kFailed; });
    }

    // Also called after a failed Intialize: then there is nothing to stop.
    int32_t UnInitialize() noexcept
    {
        if (m_bindings == 0 || --m_bindings > 0)
            return 0;
        std::unique_ptr<Adapter> adapter = std::move(m_adapter);
        return Boundary([&]() -> int32_t {
            adapter->Stop();
            return 0;
        });
    }

    int Bindings() const noexcept { return m_bindings; }

private:
    template <class Body>
    static int32_t Boundary(Body body) noexcept
    {
        try {
            return body();
        } catch (...) {
            return kFailed;
        }
    }

    // Threads a failed start has already begun must not outlive the adapter.
    static bool StartOrStop(Adapter& adapter)
    {
        bool started = false;
        try {
            started = adapter.Start();
        } catch (...) {
        }
        if (!started)
            adapter.Stop();
        return started;
    }

    std::unique_ptr<Adapter> m_adapter;
    int m_bindings = 0;
};

} // namespace kex

// The three exports of the contract, over one binding of AdapterType.
#define KEX_ADAPTER_ENTRY_POINTS(AdapterType)                                                                          \
    namespace {                                                                                                        \
    ::kex::AdapterBinding<AdapterType> g_kexAdapterBinding;                                                            \
    }                                                                                                                  \
    extern "C" int32_t KEX_CDECL Intialize(KexDeviceCallback callback)                                                 \
    {                                                                                                                  \
        return g_kexAdapterBinding.Intialize(callback);                                                                \
    }                                                                                                                  \
    extern "C" int32_t KEX_CDECL execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)                            \
    {                                                                                                                  \
        return g_kexAdapterBinding.Execute(code, wParam, lParam);                                                      \
    }                                                                                                                  \
    extern "C" int32_t KEX_CDECL UnInitialize(void)                                                                    \
    {                                                                                                                  \
        return g_kexAdapterBinding.UnInitialize();                                                                     \
    }
