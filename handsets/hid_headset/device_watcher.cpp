// HID arrival and removal as WM_DEVICECHANGE on a message-only window
// (RegisterDeviceNotification for the HID interface class), polling when
// that cannot be set up. Under Wine 8 the notifications arrive (its plug and
// play service sends them; it has no CM_Register_Notification), so the
// tests run the notified path, not the polling one.
#include "handsets/hid_headset/device_watcher.h"

#include "handsets/hid_headset/hid_interfaces.h"
#include "win32/path.h"

#include <dbt.h>

#include <iterator>

namespace hid_headset {

namespace {

// Per module: each copy of the adapter DLL has its own.
constexpr wchar_t kWindowClass[] = L"KexHidHeadsetWatcher";

} // namespace

void DeviceWatcher::ClassTraits::close(ATOM atom) noexcept
{
    UnregisterClassW(kWindowClass, kex::this_module());
}

DeviceWatcher::DeviceWatcher()
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &DeviceWatcher::WindowProc;
    windowClass.hInstance = kex::this_module();
    windowClass.lpszClassName = kWindowClass;
    m_class.reset(RegisterClassExW(&windowClass));
    if (!m_class)
        return;
    m_window.reset(CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   kex::this_module(), nullptr));
    if (!m_window)
        return;
    SetWindowLongPtrW(m_window.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = HidInterfaceClass();
    m_notification.reset(RegisterDeviceNotificationW(m_window.get(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
}

DeviceWatcher::~DeviceWatcher() = default;

LRESULT CALLBACK DeviceWatcher::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_DEVICECHANGE)
        return DefWindowProcW(window, message, wParam, lParam);
    auto* watcher = reinterpret_cast<DeviceWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (watcher && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE))
        watcher->m_changed = true;
    return TRUE;
}

bool DeviceWatcher::Wait(HANDLE stop, HANDLE wake)
{
    const HANDLE waits[] = {stop, wake};
    const DWORD count = static_cast<DWORD>(std::size(waits));
    const DWORD timeout = Notifies() ? INFINITE : kPollIntervalMs;
    for (;;) {
        if (m_changed) {
            m_changed = false;
            return true;
        }
        const DWORD result = MsgWaitForMultipleObjects(count, waits, FALSE, timeout, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0)
            return false;
        if (result != WAIT_OBJECT_0 + count)
            return true; // wake, the poll interval, or a failed wait: look again
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
}

} // namespace hid_headset
