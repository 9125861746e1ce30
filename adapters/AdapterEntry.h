// Optional C++ help for an adapter DLL: the exports of the adapter contract
// over one adapter object, with one exception boundary each and a count of
// bindings, for version 1 alone or for versions 1 and 2. Nothing here is part
// of the contract: KexUSBAdapter.h alone is enough to write an adapter.
//
// In one .cpp of the DLL, one of:
//
//     KEX_ADAPTER_ENTRY_POINTS(MyAdapter)    // "Intialize", "execute", "UnInitialize"
//     KEX_ADAPTER_ENTRY_POINTS2(MyAdapter)   // those, and "KexAdapterVersion",
//                                            // "KexInitialize2", "KexExecute2"
//
// (the .def file lists the same names). MyAdapter provides:
//     explicit MyAdapter(const kex::AdapterHost& host); // host outlives the adapter
//     bool Start();   // false (or a throw): the initialisation fails, after Stop
//     void Stop();    // joins every thread; safe after a failed Start
//     int32_t Execute(const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam);
// Execute's deviceId is 0 for every device (always so through version 1).
// Codes above host.LastCommand() are ones the component does not send: an
// adapter answers them as unknown.
//
// Two [AdapterList] keys may name the same DLL: the component then loads it
// once and initialises it twice. Through version 1 both bindings share the
// one adapter (the callback is the same function for both), which stops when
// the last of them is uninitialised. Through version 2 each binding has a
// host of its own and reports must reach one of them: a second binding while
// the adapter runs is refused, and the UnInitialize owed for it does not stop
// the adapter.
//
// Threads: the component calls the exports on the host's thread, one at a
// time, so the binding takes no lock.
#pragma once

#include "adapters/KexUSBAdapter.h"

#include <cstddef>
#include <memory>
#include <utility>

namespace kex {

// The component as an adapter sees it, through whichever contract version
// bound it. Report and DescribeDevice may be called from any thread while the
// adapter runs.
class AdapterHost {
public:
    AdapterHost() noexcept = default;
    explicit AdapterHost(KexDeviceCallback callback) noexcept : m_callback(callback) {}
    // Keeps a copy of what it uses of the record: its fields only ever grow,
    // and those the component did not build are left out.
    explicit AdapterHost(const KexHost& host) noexcept
    {
        m_version = 2;
        m_context = host.context;
        if (host.size >= offsetof(KexHost, Report) + sizeof host.Report)
            m_report = host.Report;
        if (host.size >= offsetof(KexHost, DescribeDevice) + sizeof host.DescribeDevice)
            m_describe = host.DescribeDevice;
    }

    static bool Usable(const KexHost* host) noexcept
    {
        return host && host->size >= offsetof(KexHost, Report) + sizeof host->Report && host->Report;
    }

    // 1 or 2: the contract the component speaks with this adapter.
    uint32_t Version() const noexcept { return m_version; }
    // The last command code the component sends through this version.
    uint32_t LastCommand() const noexcept { return m_version >= 2 ? KEX_CMD_LAST_V2 : KEX_CMD_LAST; }

    // A device report. deviceId 0: the adapter's first device. Version 1
    // has no device ids: the report goes out without it.
    void Report(const char* deviceId, uint32_t msg, uint32_t wParam, int32_t lParam) const
    {
        if (m_report)
            m_report(m_context, deviceId, msg, wParam, lParam);
        else if (m_callback)
            m_callback(msg, wParam, lParam);
    }

    // Names a device to a version-2 component; nothing through version 1.
    void DescribeDevice(const KexDeviceInfo& device) const
    {
        if (m_describe)
            m_describe(m_context, &device);
    }

private:
    uint32_t m_version = 1;
    KexDeviceCallback m_callback = nullptr;
    void* m_context = nullptr;
    decltype(KexHost::Report) m_report = nullptr;
    decltype(KexHost::DescribeDevice) m_describe = nullptr;
};

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
                if (m_host.Version() != 1)
                    return Refuse();
                ++m_bindings;
                return 0;
            }
            return Bind(AdapterHost(callback));
        });
    }

    int32_t Initialize2(const KexHost* host) noexcept
    {
        return Boundary([&]() -> int32_t {
            if (!AdapterHost::Usable(host))
                return kFailed;
            if (m_adapter)
                return Refuse();
            return Bind(AdapterHost(*host));
        });
    }

    int32_t Execute(uint32_t code, uintptr_t wParam, uintptr_t lParam) noexcept
    {
        return Boundary([&]() -> int32_t {
            return m_adapter ? m_adapter->Execute(nullptr, code, wParam, lParam) : kFailed;
        });
    }

    int32_t Execute2(const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam) noexcept
    {
        return Boundary([&]() -> int32_t {
            if (!m_adapter || m_host.Version() < 2)
                return kFailed;
            return m_adapter->Execute(deviceId, code, wParam, lParam);
        });
    }

    // Also called after a failed initialisation: then there is nothing to
    // stop, unless it is owed for a refused second binding.
    int32_t UnInitialize() noexcept
    {
        if (m_refused > 0) {
            --m_refused;
            return 0;
        }
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

    int32_t Bind(const AdapterHost& host)
    {
        m_host = host;
        auto adapter = std::make_unique<Adapter>(m_host);
        if (!StartOrStop(*adapter))
            return kFailed;
        m_adapter = std::move(adapter);
        m_bindings = 1;
        return 0;
    }

    int32_t Refuse() noexcept
    {
        ++m_refused;
        return kFailed;
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

    AdapterHost m_host; // the adapter's: replaced only while there is none
    std::unique_ptr<Adapter> m_adapter;
    int m_bindings = 0;
    int m_refused = 0; // refused bindings whose UnInitialize is still to come
};

} // namespace kex

// The three exports of version 1, over one binding of AdapterType.
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

// The exports of versions 1 and 2, over one binding of AdapterType.
#define KEX_ADAPTER_ENTRY_POINTS2(AdapterType)                                                                         \
    KEX_ADAPTER_ENTRY_POINTS(AdapterType)                                                                              \
    extern "C" int32_t KEX_CDECL KexAdapterVersion(void)                                                               \
    {                                                                                                                  \
        return KEX_CONTRACT_VERSION;                                                                                   \
    }                                                                                                                  \
    extern "C" int32_t KEX_CDECL KexInitialize2(const KexHost* host)                                                   \
    {                                                                                                                  \
        return g_kexAdapterBinding.Initialize2(host);                                                                  \
    }                                                                                                                  \
    extern "C" int32_t KEX_CDECL KexExecute2(const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam) \
    {                                                                                                                  \
        return g_kexAdapterBinding.Execute2(deviceId, code, wParam, lParam);                                           \
    }
