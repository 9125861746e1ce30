// Binding of handset adapter libraries: CUSBAdapter binds one library in
// the contract version both sides speak, CUSBManager binds the set listed in
// "USBPhone.ini" beside the component, keeps their devices and sends each
// command to every adapter or to the one that owns the selected device. Used
// on the phone object's thread; adapters' threads reach only the devices,
// under their lock.
#pragma once

#include "adapters/DeviceList.h"
#include "adapters/KexUSBAdapter.h"
#include "win32/raii.h"

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Paths are handled as UTF-16 with the wide APIs, so folders with names the
// ANSI code page cannot spell work, and longer than MAX_PATH through the
// "\\?\" form.

// The component's directory, ending in a backslash: that of the loaded module
// "KexUSBPhone.dll", or the host program's when no module has that name;
// ".\" when neither can be found.
std::wstring KexComponentDirectoryW();

// Loads an adapter library without the current directory or PATH ever being
// searched. A bare name is looked for beside the component, then beside the
// host program, then in the system and the Windows directories; a relative
// name with a directory is taken relative to the component's directory, and
// is not loaded when that directory is not a full path (".\"); an absolute
// name is loaded as given. Null on failure, with the system's error code set
// (ERROR_MOD_NOT_FOUND when no file was found to load); triedPath, when
// given, receives the file handed to the loader ("" when none was).
HMODULE KexLoadAdapterLibraryW(const std::wstring& file, const std::wstring& componentDir,
                               std::wstring* triedPath = nullptr);

// Where a version-2 adapter's device reports go once the device list has
// seen them: the device's id for the host, and the report. Runs on the
// adapter's thread, which it may block (the host handles the report).
using KexDeviceReportFn = void (*)(const std::u16string& device, uint32_t msg, uint32_t wParam, int32_t lParam);

// The devices of a set of adapters, shared with the adapters' threads:
// reports and descriptions change the list under the lock, the host's
// thread reads it and selects under the same lock. Never held while an
// adapter or the host is called.
struct AdapterDevices {
    kex::srwlock lock;
    DeviceList list;
    KexDeviceReportFn report = nullptr;
};

class CUSBAdapter {
public:
    CUSBAdapter();
    ~CUSBAdapter();
    CUSBAdapter(const CUSBAdapter&) = delete;
    CUSBAdapter& operator=(const CUSBAdapter&) = delete;

    // 0 when the library is loaded and initialised, else 1. A library whose
    // "KexAdapterVersion" answers 2 or more and which exports
    // "KexInitialize2" and "KexExecute2" is bound in version 2 (those two
    // instead of "Intialize" and "execute"); one that claims version 2
    // without them is logged and bound in version 1. componentDir anchors the
    // library search (see KexLoadAdapterLibraryW); null means
    // KexComponentDirectoryW(). devices: the set's devices, where the
    // adapter's are listed from before its initialisation until UnLoad; null
    // gives the adapter a list of its own.
    int load(const char* file, const char* name, KexDeviceCallback callback,
             const char* componentDir = nullptr);
    int load(const char* file, const char* name, KexDeviceCallback callback, const std::wstring& componentDir,
             AdapterDevices* devices = nullptr);
    // The adapter's own result, or 1 when nothing is bound. A version-2
    // adapter gets "KexExecute2" for every device (deviceId 0).
    int execute(uint32_t code, uintptr_t wParam, uintptr_t lParam);
    // Version 2: "KexExecute2" for the device the adapter calls deviceId (0:
    // every device). Version 1: "execute"; deviceId is not looked at.
    int execute(const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam);
    // "UnInitialize" (when exported), then the library is released, then its
    // devices leave the list. Idempotent.
    void UnLoad();
    std::string GetName() const { return m_name; }
    // The contract version spoken with the adapter (1 until bound).
    int Version() const { return m_version; }
    // The adapter's entry in the device list; null when not bound.
    const DeviceList::Adapter* DeviceEntry() const { return m_deviceEntry; }

private:
    // The KexHost functions; context is the adapter.
    static int32_t KEX_CDECL HostReport(void* context, const char* deviceId, uint32_t msg, uint32_t wParam,
                                        int32_t lParam);
    static int32_t KEX_CDECL HostDescribeDevice(void* context, const KexDeviceInfo* device);
    // The version to bind in, from "KexAdapterVersion" and the exports.
    int NegotiateVersion(const char* file, const std::string& key);
    void ListDevices(const std::string& key);

    kex::unique_hmodule m_module;
    KexIntializeFn m_fnInitialize;
    KexExecuteFn m_fnExeuteCmd;
    KexUnInitializeFn m_fnUnInitialize;
    std::string m_name;
    int m_version = 1;
    KexExecute2Fn m_fnExecute2 = nullptr;
    KexHost m_host = {};
    AdapterDevices* m_devices = nullptr;
    std::unique_ptr<AdapterDevices> m_ownDevices;
    DeviceList::Adapter* m_deviceEntry = nullptr;
};

class CUSBManager {
public:
    // The configuration and the adapters are looked for in KexComponentDirectoryW().
    CUSBManager();
    // Same, in the given directory (a trailing backslash is added when missing).
    explicit CUSBManager(const std::string& directory);
    explicit CUSBManager(const std::wstring& directory);
    ~CUSBManager();
    CUSBManager(const CUSBManager&) = delete;
    CUSBManager& operator=(const CUSBManager&) = delete;

    // Binds every adapter of [AdapterList] in ascending byte order of the keys:
    // version-1 adapters get callback, version-2 ones report to report.
    // 0 when at least one adapter is bound, else 1.
    int Load(KexDeviceCallback callback, KexDeviceReportFn report = nullptr);
    // One adapter bound, or null (the failure is logged).
    std::unique_ptr<CUSBAdapter> InitAdapter(const char* file, const char* name,
                                             KexDeviceCallback callback);
    // Sends the command past failures, in binding order: with no device
    // selected to every adapter, else only to the adapter that owns the
    // selected device (a version-2 adapter with that device's own id). A
    // version-1 adapter never gets a code above KEX_CMD_LAST.
    // 0 when at least one adapter is bound, else 1.
    int execute(uint32_t code, uintptr_t wParam, uintptr_t lParam);
    // The adapter's key when exactly one is bound, else "".
    std::string GetUSBName() const;
    // Unbinds and deletes every adapter. Idempotent.
    void UnLoad();

    // ---- devices (any thread; see DeviceList) -------------------------------
    std::vector<std::u16string> DeviceIds() const;
    bool FindDevice(std::u16string_view id, DeviceFields& out) const;
    // False when no listed device has that id; "" selects every device.
    bool SelectDevice(std::u16string_view id);
    std::u16string SelectedDevice() const;
    // The device of a version-1 callback made from code at address.
    std::u16string DeviceOfCode(const void* address) const;

    // For test programs that link the phone object statically: the directory
    // that managers made by the default constructor use from now on instead
    // of KexComponentDirectoryW(); "" restores the rule. Not thread-safe: set it
    // before the manager is created.
    static void SetDirectoryOverride(const std::string& directory);

    // The directory in the ANSI code page, as messages show it.
    const std::string& GetPath() const { return m_path; }
    size_t GetAdapterCount() const { return m_adapters.size(); }

private:
    // Before the adapters: they leave the list as they are unloaded.
    std::unique_ptr<AdapterDevices> m_devices = std::make_unique<AdapterDevices>();
    std::vector<std::unique_ptr<CUSBAdapter>> m_adapters;
    std::wstring m_wpath;
    std::string m_path;
};
