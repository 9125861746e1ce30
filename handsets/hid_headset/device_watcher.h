// Tells the HID headset adapter's monitor thread when HID devices may have
// come or gone: the system's device-interface notifications for the HID
// class, and polling only where they cannot be had.
//
// Threads: made, waited on and destroyed by one thread, which receives the
// notifications as window messages while it waits.
#pragma once

#include "win32/raii.h"

#include <windows.h>

namespace hid_headset {

// How often devices are looked for when no notification comes.
constexpr DWORD kPollIntervalMs = 500;

class DeviceWatcher {
public:
    // Registers for arrival and removal of HID interfaces on this thread.
    DeviceWatcher();
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    // Whether notifications come; false: the watcher polls.
    bool Notifies() const { return static_cast<bool>(m_notification); }

    // Waits until devices may have changed (a notification, wake, or the
    // poll interval when polling): true; or until stop is set: false.
    bool Wait(HANDLE stop, HANDLE wake);

private:
    struct ClassTraits {
        static ATOM invalid() noexcept { return 0; }
        static bool valid(ATOM atom) noexcept { return atom != 0; }
        static void close(ATOM atom) noexcept;
    };
    struct NotificationTraits {
        static HDEVNOTIFY invalid() noexcept { return nullptr; }
        static bool valid(HDEVNOTIFY n) noexcept { return n != nullptr; }
        static void close(HDEVNOTIFY n) noexcept { UnregisterDeviceNotification(n); }
    };

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // Destroyed in reverse: the registration, the window, its class.
    kex::unique_any<ATOM, ClassTraits> m_class;
    kex::unique_hwnd m_window;
    kex::unique_any<HDEVNOTIFY, NotificationTraits> m_notification;
    bool m_changed = false; // set by WindowProc, on this thread
};

} // namespace hid_headset
