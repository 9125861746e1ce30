// The HID headset adapter: any USB headset that speaks the HID Telephony
// page drives the component, without code of its vendor.
//
// A monitor thread looks for HID devices whose top-level collection is on the
// Telephony page (every half second, so a device plugged in or out is seen
// within a second) and gives each one a reader thread. A reader waits on an
// overlapped ReadFile; what the parser finds in a report goes through the
// TelephonyMap and out as device messages. Commands light the LEDs through
// output reports, the way the device declares them.
//
// Settings: the optional [HidHeadset] section of "USBPhone.ini" beside
// KexUSBPhone.dll: Include= and Exclude= lists of vendor[:product] ids.
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS

#include "adapters/KexUSBAdapter.h"
#include "handsets/hid_headset/telephony_map.h"

#include <windows.h>
#include <setupapi.h>
// mingw-w64's HID headers lack C linkage for C++.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace hid_headset;

constexpr DWORD kScanIntervalMs = 500;

KexDeviceCallback g_callback = nullptr;

void Report(const DeviceMessage& m)
{
    if (g_callback)
        g_callback(m.msg, m.wParam, m.lParam);
}

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    Handle() = default;
    explicit Handle(HANDLE value) : h(value) {}
    ~Handle()
    {
        if (h != INVALID_HANDLE_VALUE && h != nullptr)
            CloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
};

std::string DirectoryOf(HMODULE module)
{
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
    std::string p(path, n < MAX_PATH ? n : 0);
    const size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

// The component's own ini; beside this DLL when the component is elsewhere.
DeviceFilter ReadFilter()
{
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ReadFilter), &self);
    std::string ini;
    if (HMODULE component = GetModuleHandleA("KexUSBPhone.dll"))
        ini = DirectoryOf(component) + "USBPhone.ini";
    if (ini.empty() || GetFileAttributesA(ini.c_str()) == INVALID_FILE_ATTRIBUTES)
        ini = DirectoryOf(self) + "USBPhone.ini";
    char include[1024] = {}, exclude[1024] = {};
    GetPrivateProfileStringA("HidHeadset", "Include", "", include, sizeof include, ini.c_str());
    GetPrivateProfileStringA("HidHeadset", "Exclude", "", exclude, sizeof exclude, ini.c_str());
    return DeviceFilter(include, exclude);
}

// One LED usage of an output report.
struct OutputUsage {
    Usage usage;
    uint8_t reportId;
};

// One telephony device: its handle, its parser data and its reader thread.
class Device {
public:
    ~Device()
    {
        Stop();
        if (m_preparsed)
            HidD_FreePreparsedData(m_preparsed);
    }

    // Opens path; false when it is not a telephony device the filter takes.
    bool Open(const std::wstring& path, const DeviceFilter& filter)
    {
        m_path = path;
        m_handle.h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        // Output goes through a handle of its own without FILE_FLAG_OVERLAPPED:
        // the HidD_ calls wait on the handle, which overlapped reads also signal.
        m_output.h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        if (!m_handle.Valid() || !m_output.Valid())
            return false;
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = sizeof attributes;
        if (!HidD_GetAttributes(m_handle.h, &attributes) || !filter.Accepts(attributes.VendorID, attributes.ProductID))
            return false;
        if (!HidD_GetPreparsedData(m_handle.h, &m_preparsed) ||
            HidP_GetCaps(m_preparsed, &m_caps) != HIDP_STATUS_SUCCESS || m_caps.UsagePage != kPageTelephony ||
            m_caps.InputReportByteLength == 0)
            return false;
        // The default queue (32 reports on Windows and Wine) drops presses
        // while the host is busy with an event.
        HidD_SetNumInputBuffers(m_handle.h, 512);
        m_map = std::make_unique<TelephonyMap>(InputControls());
        m_outputs = OutputUsages();
        return true;
    }

    // Starts reading; the LEDs are put out so they match the map.
    bool Start(HANDLE wake)
    {
        m_wake = wake;
        m_stop.h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!m_stop.Valid())
            return false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            SendLeds(true);
        }
        m_reader = std::thread([this] { ReadLoop(); });
        return true;
    }

    void Stop()
    {
        if (m_stop.Valid())
            SetEvent(m_stop.h);
        if (m_reader.joinable())
            m_reader.join();
    }

    void OnCommand(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_map->OnCommand(code);
        SendLeds(false);
    }

    bool Gone() const { return m_gone; }
    const std::wstring& Path() const { return m_path; }

private:
    std::vector<InputControl> InputControls() const
    {
        std::vector<InputControl> controls;
        USHORT count = m_caps.NumberInputButtonCaps;
        std::vector<HIDP_BUTTON_CAPS> caps(count);
        if (count == 0 || HidP_GetButtonCaps(HidP_Input, caps.data(), &count, m_preparsed) != HIDP_STATUS_SUCCESS)
            return controls;
        for (USHORT i = 0; i < count; ++i) {
            const HIDP_BUTTON_CAPS& c = caps[i];
            if (c.UsagePage != kPageTelephony)
                continue;
            const USAGE first = c.IsRange ? c.Range.UsageMin : c.NotRange.Usage;
            const USAGE last = c.IsRange ? c.Range.UsageMax : c.NotRange.Usage;
            for (unsigned u = first; u <= last; ++u)
                controls.push_back({{c.UsagePage, static_cast<uint16_t>(u)}, c.ReportID, c.IsAbsolute != FALSE});
        }
        return controls;
    }

    std::vector<OutputUsage> OutputUsages() const
    {
        std::vector<OutputUsage> outputs;
        USHORT count = m_caps.NumberOutputButtonCaps;
        std::vector<HIDP_BUTTON_CAPS> caps(count);
        if (count == 0 || HidP_GetButtonCaps(HidP_Output, caps.data(), &count, m_preparsed) != HIDP_STATUS_SUCCESS)
            return outputs;
        for (USHORT i = 0; i < count; ++i) {
            const HIDP_BUTTON_CAPS& c = caps[i];
            const USAGE first = c.IsRange ? c.Range.UsageMin : c.NotRange.Usage;
            const USAGE last = c.IsRange ? c.Range.UsageMax : c.NotRange.Usage;
            for (unsigned u = first; u <= last; ++u)
                outputs.push_back({{c.UsagePage, static_cast<uint16_t>(u)}, c.ReportID});
        }
        return outputs;
    }

    // Writes every output report whose LEDs changed (all of them when
    // force). Called with m_lock held.
    void SendLeds(bool force)
    {
        const LedState leds = m_map->Leds();
        std::set<uint8_t> reportIds;
        for (const OutputUsage& o : m_outputs)
            reportIds.insert(o.reportId);
        for (uint8_t id : reportIds) {
            std::vector<char> report(m_caps.OutputReportByteLength);
            if (report.empty() || HidP_InitializeReportForID(HidP_Output, id, m_preparsed, report.data(),
                                                             static_cast<ULONG>(report.size())) != HIDP_STATUS_SUCCESS)
                continue;
            for (Led led : {kLedOffHook, kLedRing, kLedHold, kLedMute, kLedRinger}) {
                if (!(leds & led))
                    continue;
                for (const Usage& u : LedUsages(led)) {
                    const bool declared = std::any_of(m_outputs.begin(), m_outputs.end(), [&](const OutputUsage& o) {
                        return o.reportId == id && o.usage == u;
                    });
                    if (!declared)
                        continue;
                    USAGE usage = u.usage;
                    ULONG one = 1;
                    HidP_SetUsages(HidP_Output, u.page, 0, &usage, &one, m_preparsed, report.data(),
                                   static_cast<ULONG>(report.size()));
                }
            }
            std::vector<char>& last = m_sent[id];
            if (!force && last == report)
                continue;
            if (Write(report))
                last = report;
        }
    }

    bool Write(std::vector<char>& report)
    {
        if (HidD_SetOutputReport(m_output.h, report.data(), static_cast<ULONG>(report.size())))
            return true;
        // Some devices take output only on their interrupt pipe.
        DWORD written = 0;
        return WriteFile(m_output.h, report.data(), static_cast<DWORD>(report.size()), &written, nullptr) != FALSE;
    }

    void ReadLoop()
    {
        Handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::vector<char> report(m_caps.InputReportByteLength);
        std::vector<DeviceMessage> messages;
        std::vector<Usage> on;
        std::vector<USAGE> usages(64);
        for (;;) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = done.h;
            ResetEvent(done.h);
            DWORD got = 0;
            if (!ReadFile(m_handle.h, report.data(), static_cast<DWORD>(report.size()), &got, &overlapped) &&
                GetLastError() != ERROR_IO_PENDING)
                break;
            const HANDLE waits[2] = {done.h, m_stop.h};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIo(m_handle.h);
                // A HID stack may leave a cancelled read queued for a
                // while; closing the handle ends it.
                if (WaitForSingleObject(done.h, 200) != WAIT_OBJECT_0) {
                    CloseHandle(m_handle.h);
                    m_handle.h = INVALID_HANDLE_VALUE;
                }
                WaitForSingleObject(done.h, INFINITE); // the buffer is the read's until then
                return;
            }
            if (!GetOverlappedResult(m_handle.h, &overlapped, &got, FALSE))
                break; // the device went away
            // A report of another length is not one this device declared.
            if (got != report.size())
                continue;
            on.clear();
            ULONG count = static_cast<ULONG>(usages.size());
            if (HidP_GetUsages(HidP_Input, kPageTelephony, 0, usages.data(), &count, m_preparsed, report.data(),
                               got) != HIDP_STATUS_SUCCESS)
                continue;
            for (ULONG i = 0; i < count; ++i)
                on.push_back({kPageTelephony, usages[i]});
            messages.clear();
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_map->OnInputReport(static_cast<uint8_t>(report[0]), on, messages);
                SendLeds(false); // the mute echo
            }
            for (const DeviceMessage& m : messages)
                Report(m);
        }
        m_gone = true;
        SetEvent(m_wake);
    }

    std::wstring m_path;
    Handle m_handle; // overlapped, for the reader
    Handle m_output;
    PHIDP_PREPARSED_DATA m_preparsed = nullptr;
    HIDP_CAPS m_caps = {};
    std::vector<OutputUsage> m_outputs;
    std::mutex m_lock; // the map and the output reports
    std::unique_ptr<TelephonyMap> m_map;
    std::map<uint8_t, std::vector<char>> m_sent;
    Handle m_stop;
    HANDLE m_wake = nullptr;
    std::thread m_reader;
    volatile bool m_gone = false;
};

std::vector<std::wstring> PresentHidPaths()
{
    std::vector<std::wstring> paths;
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, i, &iface); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        std::vector<char> buffer(size + sizeof(wchar_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, size, nullptr, nullptr))
            paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

class Adapter {
public:
    bool Start()
    {
        m_filter = ReadFilter();
        m_stop.h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_wake.h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!m_stop.Valid() || !m_wake.Valid())
            return false;
        m_monitor = std::thread([this] { Monitor(); });
        return true;
    }

    void Stop()
    {
        if (m_stop.Valid())
            SetEvent(m_stop.h);
        if (m_monitor.joinable())
            m_monitor.join();
        std::vector<std::unique_ptr<Device>> devices;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            devices.swap(m_devices);
        }
        devices.clear(); // joins the readers
    }

    void OnCommand(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto& d : m_devices)
            d->OnCommand(code);
    }

private:
    void Monitor()
    {
        std::set<std::wstring> ignored; // present, but not for us
        for (;;) {
            Scan(ignored);
            const HANDLE waits[2] = {m_stop.h, m_wake.h};
            if (WaitForMultipleObjects(2, waits, FALSE, kScanIntervalMs) == WAIT_OBJECT_0)
                return;
        }
    }

    void Scan(std::set<std::wstring>& ignored)
    {
        const std::vector<std::wstring> present = PresentHidPaths();
        auto isPresent = [&](const std::wstring& p) { return std::find(present.begin(), present.end(), p) != present.end(); };

        // Gone first: a device that comes back under its old path is new.
        std::vector<std::unique_ptr<Device>> gone;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (auto it = m_devices.begin(); it != m_devices.end();) {
                if ((*it)->Gone() || !isPresent((*it)->Path())) {
                    gone.push_back(std::move(*it));
                    it = m_devices.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& d : gone) {
            d.reset(); // its reader is joined: nothing of it reports after the plug-out
            Report({KEX_DEV_PLUG, KEX_PLUG_OUT, 0});
        }
        for (auto it = ignored.begin(); it != ignored.end();)
            it = isPresent(*it) ? std::next(it) : ignored.erase(it);

        for (const std::wstring& path : present) {
            if (ignored.count(path) || Known(path))
                continue;
            auto device = std::make_unique<Device>();
            if (!device->Open(path, m_filter)) {
                ignored.insert(path);
                continue;
            }
            if (!device->Start(m_wake.h))
                continue;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_devices.push_back(std::move(device));
            }
            Report({KEX_DEV_PLUG, KEX_PLUG_IN, 0});
        }
    }

    bool Known(const std::wstring& path)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::any_of(m_devices.begin(), m_devices.end(), [&](const auto& d) { return d->Path() == path; });
    }

    DeviceFilter m_filter;
    Handle m_stop, m_wake;
    std::thread m_monitor;
    std::mutex m_lock; // m_devices
    std::vector<std::unique_ptr<Device>> m_devices;
};

std::unique_ptr<Adapter> g_adapter;
// Two [AdapterList] keys may name this library: both bindings share the one
// adapter, which stops when the last is uninitialized.
int g_bindings = 0;

} // namespace

extern "C" int32_t KEX_CDECL Intialize(KexDeviceCallback callback)
{
    try {
        if (!callback)
            return 1;
        if (g_adapter) {
            ++g_bindings;
            return 0;
        }
        g_callback = callback;
        auto adapter = std::make_unique<Adapter>();
        if (!adapter->Start()) {
            adapter->Stop();
            g_callback = nullptr;
            return 1;
        }
        g_adapter = std::move(adapter);
        g_bindings = 1;
        return 0;
    } catch (...) {
        return 1;
    }
}

extern "C" int32_t KEX_CDECL execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    try {
        if (!g_adapter || code < KEX_CMD_FIRST || code > KEX_CMD_LAST)
            return 1;
        g_adapter->OnCommand(code);
        return 0;
    } catch (...) {
        return 1;
    }
}

extern "C" int32_t KEX_CDECL UnInitialize(void)
{
    // Also called after a failed Intialize: then there is nothing to stop.
    if (g_bindings == 0 || --g_bindings > 0)
        return 0;
    try {
        g_adapter->Stop();
    } catch (...) {
    }
    g_adapter.reset();
    g_callback = nullptr;
    return 0;
}
