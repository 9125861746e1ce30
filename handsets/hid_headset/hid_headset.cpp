// The HID headset adapter: any USB headset that speaks the HID Telephony
// page drives the component, without code of its vendor.
//
// A monitor thread keeps the set of headsets: it looks for HID devices whose
// top-level collection is on the Telephony page when the adapter starts and
// whenever the system says a HID device came or went (DeviceWatcher), and
// gives each one a Headset with a reader thread of its own. Reports reach
// the host through one queue (ReportQueue), in the order they were made.
//
// Contract version 2: each headset is a device with a stable id (from its
// USB ids and serial number, else its device instance) and the name of its
// product string; its reports and plug events carry that id, and a command
// for one id reaches only that headset. Through version 1 the same adapter
// reports without ids and every command reaches every headset.
//
// Settings: the optional [HidHeadset] section of "USBPhone.ini" beside
// KexUSBPhone.dll (beside this DLL when the component is elsewhere):
// Include= and Exclude= lists of vendor[:product] ids, and Ringer=1 for the
// headset's own ringer with the ring.
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS
#define KEX_ADAPTER_DECLARE_VERSION_2

#include "adapters/AdapterEntry.h"
#include "adapters/KexUSBAdapter.h"
#include "handsets/hid_headset/device_filter.h"
#include "handsets/hid_headset/device_watcher.h"
#include "handsets/hid_headset/headset.h"
#include "handsets/hid_headset/hid_device.h"
#include "handsets/hid_headset/hid_interfaces.h"
#include "handsets/hid_headset/report_queue.h"
#include "handsets/profile_string.h"
#include "win32/path.h"
#include "win32/raii.h"
#include "win32/text.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace hid_headset;

constexpr wchar_t kComponentFile[] = L"KexUSBPhone.dll";
constexpr wchar_t kSettingsFile[] = L"USBPhone.ini";
constexpr wchar_t kSettingsSection[] = L"HidHeadset";

struct Settings {
    DeviceFilter filter;
    CallSettings call;
};

// "1", "yes", "on" or "true", in any case.
bool SwitchedOn(std::wstring value)
{
    for (wchar_t& c : value)
        c = static_cast<wchar_t>(std::towlower(c));
    return value == L"1" || value == L"yes" || value == L"on" || value == L"true";
}

// The component's ini; the one beside this DLL when the component is
// elsewhere or has none.
Settings ReadSettings()
{
    std::wstring ini;
    if (HMODULE component = GetModuleHandleW(kComponentFile))
        ini = kex::module_directory<wchar_t>(component) + kSettingsFile;
    if (ini.empty() || GetFileAttributesW(kex::long_path(ini).c_str()) == INVALID_FILE_ATTRIBUTES)
        ini = kex::module_directory<wchar_t>(kex::this_module()) + kSettingsFile;
    Settings settings;
    settings.filter = DeviceFilter(kex::narrow(ProfileString(ini, kSettingsSection, L"Include")),
                                   kex::narrow(ProfileString(ini, kSettingsSection, L"Exclude")));
    settings.call.ringer = SwitchedOn(ProfileString(ini, kSettingsSection, L"Ringer"));
    return settings;
}

class HidHeadsetAdapter {
public:
    explicit HidHeadsetAdapter(const kex::AdapterHost& host) : m_host(host), m_reports(host) {}

    bool Start()
    {
        m_settings = ReadSettings();
        m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_wake.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!m_stop || !m_wake || !m_reports.Start())
            return false;
        m_monitor.reset(CreateThread(nullptr, 0, &HidHeadsetAdapter::MonitorMain, this, 0, nullptr));
        return static_cast<bool>(m_monitor);
    }

    void Stop()
    {
        if (m_stop)
            SetEvent(m_stop.get());
        if (m_monitor)
            WaitForSingleObject(m_monitor.get(), INFINITE);
        std::vector<std::unique_ptr<Headset>> headsets;
        {
            auto guard = m_lock.lock_exclusive();
            headsets.swap(m_headsets);
        }
        headsets.clear(); // joins the readers and puts out what they lit
        m_reports.Stop();
    }

    // deviceId 0: every headset.
    int32_t Execute(const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t)
    {
        if (code < KEX_CMD_FIRST || code > m_host.LastCommand())
            return 1;
        auto guard = m_lock.lock_exclusive();
        bool found = deviceId == nullptr;
        for (auto& headset : m_headsets) {
            if (deviceId && headset->Id() != deviceId)
                continue;
            headset->OnCommand(code, wParam);
            found = true;
        }
        return found ? 0 : 1;
    }

private:
    static DWORD WINAPI MonitorMain(void* self) noexcept
    {
        try {
            static_cast<HidHeadsetAdapter*>(self)->Monitor();
        } catch (...) {
            // Out of memory: no more plugging in or out until the next Start.
        }
        return 0;
    }

    void Monitor()
    {
        // Registered before the first look, so nothing plugged in between is missed.
        DeviceWatcher watcher;
        std::set<std::wstring> ignored; // present, but not for us
        do {
            Scan(ignored);
        } while (watcher.Wait(m_stop.get(), m_wake.get()));
    }

    void Scan(std::set<std::wstring>& ignored)
    {
        const std::vector<std::wstring> present = PresentHidInterfaces();
        auto isPresent = [&](const std::wstring& p) { return std::find(present.begin(), present.end(), p) != present.end(); };
        // Gone first: a device that comes back under its old path is new.
        RemoveGone(isPresent);
        for (auto it = ignored.begin(); it != ignored.end();)
            it = isPresent(*it) ? std::next(it) : ignored.erase(it);
        for (const std::wstring& path : present)
            if (!ignored.count(path) && !Known(path) && !Add(path))
                ignored.insert(path);
    }

    template <class IsPresent>
    void RemoveGone(IsPresent isPresent)
    {
        std::vector<std::unique_ptr<Headset>> gone;
        {
            auto guard = m_lock.lock_exclusive();
            auto end = std::stable_partition(m_headsets.begin(), m_headsets.end(), [&](const auto& h) {
                return !h->Gone() && isPresent(h->Path());
            });
            std::move(end, m_headsets.end(), std::back_inserter(gone));
            m_headsets.erase(end, m_headsets.end());
        }
        for (auto& headset : gone) {
            const std::string id = headset->Id();
            headset.reset(); // its reader is joined: nothing of it reports after the plug-out
            m_reports.Post(id, DeviceMessage{KEX_DEV_PLUG, KEX_PLUG_OUT, 0});
        }
    }

    // False when the device is not one of ours.
    bool Add(const std::wstring& path)
    {
        std::unique_ptr<HidDevice> device = HidDevice::Open(path, m_settings.filter);
        if (!device)
            return false;
        DeviceIdentity identity = device->Identity();
        // Two collections of one headset, or headsets that share a serial
        // number: each keeps an id of its own.
        if (KnownId(identity.id))
            identity.id = identity.instance;
        // Taking commands, named and plugged in before its reader can
        // report anything: the host may answer the plug-in with a command.
        Headset* headset = nullptr;
        {
            auto guard = m_lock.lock_exclusive();
            m_headsets.push_back(
                std::make_unique<Headset>(std::move(device), identity.id, m_reports, m_settings.call));
            headset = m_headsets.back().get();
        }
        m_reports.Describe(identity);
        m_reports.Post(identity.id, DeviceMessage{KEX_DEV_PLUG, KEX_PLUG_IN, 0});
        if (!headset->Start(m_wake.get())) {
            std::unique_ptr<Headset> failed;
            {
                auto guard = m_lock.lock_exclusive();
                failed = std::move(m_headsets.back());
                m_headsets.pop_back();
            }
            failed.reset();
            m_reports.Post(identity.id, DeviceMessage{KEX_DEV_PLUG, KEX_PLUG_OUT, 0});
        }
        return true; // ours: one that could not start is tried again at the next look
    }

    // Only the monitor thread changes m_headsets, so it reads them unlocked.
    bool Known(const std::wstring& path) const
    {
        return std::any_of(m_headsets.begin(), m_headsets.end(), [&](const auto& h) { return h->Path() == path; });
    }
    bool KnownId(const std::string& id) const
    {
        return std::any_of(m_headsets.begin(), m_headsets.end(), [&](const auto& h) { return h->Id() == id; });
    }

    const kex::AdapterHost& m_host;
    Settings m_settings;
    ReportQueue m_reports; // stopped last: the headsets post to it
    kex::unique_handle m_stop;
    kex::unique_handle m_wake; // a notification came, or a reader ended by itself
    kex::unique_handle m_monitor;
    kex::srwlock m_lock; // m_headsets: changed by the monitor thread, used by the host's
    std::vector<std::unique_ptr<Headset>> m_headsets;
};

} // namespace

KEX_ADAPTER_ENTRY_POINTS2(HidHeadsetAdapter)
