// The HID headset adapter: any USB headset that speaks the HID Telephony
// page drives the component, without code of its vendor.
//
// A monitor thread keeps the set of headsets: it looks for HID devices whose
// top-level collection is on the Telephony page when the adapter starts and
// whenever the system says a HID device came or went (DeviceWatcher), and
// gives each one a Headset with a reader thread of its own. Commands light
// the LEDs of every headset.
//
// Settings: the optional [HidHeadset] section of "USBPhone.ini" beside
// KexUSBPhone.dll (beside this DLL when the component is elsewhere):
// Include= and Exclude= lists of vendor[:product] ids.
#define KEX_ADAPTER_DECLARE_ENTRY_POINTS

#include "adapters/AdapterEntry.h"
#include "adapters/KexUSBAdapter.h"
#include "handsets/hid_headset/device_filter.h"
#include "handsets/hid_headset/device_watcher.h"
#include "handsets/hid_headset/headset.h"
#include "handsets/hid_headset/hid_device.h"
#include "handsets/hid_headset/hid_interfaces.h"
#include "handsets/profile_string.h"
#include "win32/path.h"
#include "win32/raii.h"
#include "win32/text.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace hid_headset;

constexpr wchar_t kComponentFile[] = L"KexUSBPhone.dll";
constexpr wchar_t kSettingsFile[] = L"USBPhone.ini";
constexpr wchar_t kSettingsSection[] = L"HidHeadset";

// The component's ini; the one beside this DLL when the component is
// elsewhere or has none.
DeviceFilter ReadFilter()
{
    std::wstring ini;
    if (HMODULE component = GetModuleHandleW(kComponentFile))
        ini = kex::module_directory<wchar_t>(component) + kSettingsFile;
    if (ini.empty() || GetFileAttributesW(kex::long_path(ini).c_str()) == INVALID_FILE_ATTRIBUTES)
        ini = kex::module_directory<wchar_t>(kex::this_module()) + kSettingsFile;
    return DeviceFilter(kex::narrow(ProfileString(ini, kSettingsSection, L"Include")),
                        kex::narrow(ProfileString(ini, kSettingsSection, L"Exclude")));
}

class HidHeadsetAdapter {
public:
    explicit HidHeadsetAdapter(KexDeviceCallback callback) : m_callback(callback) {}

    bool Start()
    {
        m_filter = ReadFilter();
        m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_wake.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!m_stop || !m_wake)
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
        headsets.clear(); // joins the readers
    }

    int32_t Execute(uint32_t code, uintptr_t, uintptr_t)
    {
        if (code < KEX_CMD_FIRST || code > KEX_CMD_LAST)
            return 1;
        auto guard = m_lock.lock_exclusive();
        for (auto& headset : m_headsets)
            headset->OnCommand(code);
        return 0;
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
            headset.reset(); // its reader is joined: nothing of it reports after the plug-out
            m_callback(KEX_DEV_PLUG, KEX_PLUG_OUT, 0);
        }
    }

    // False when the device is not one of ours.
    bool Add(const std::wstring& path)
    {
        std::unique_ptr<HidDevice> device = HidDevice::Open(path, m_filter);
        if (!device)
            return false;
        auto headset = std::make_unique<Headset>(std::move(device), m_callback);
        if (!headset->Start(m_wake.get()))
            return true; // ours, but it could not start: tried again at the next look
        {
            auto guard = m_lock.lock_exclusive();
            m_headsets.push_back(std::move(headset));
        }
        m_callback(KEX_DEV_PLUG, KEX_PLUG_IN, 0);
        return true;
    }

    // Only the monitor thread changes m_headsets, so it reads them unlocked.
    bool Known(const std::wstring& path) const
    {
        return std::any_of(m_headsets.begin(), m_headsets.end(), [&](const auto& h) { return h->Path() == path; });
    }

    const KexDeviceCallback m_callback;
    DeviceFilter m_filter;
    kex::unique_handle m_stop;
    kex::unique_handle m_wake; // a notification came, or a reader ended by itself
    kex::unique_handle m_monitor;
    kex::srwlock m_lock; // m_headsets: changed by the monitor thread, used by the host's
    std::vector<std::unique_ptr<Headset>> m_headsets;
};

} // namespace

KEX_ADAPTER_ENTRY_POINTS(HidHeadsetAdapter)
