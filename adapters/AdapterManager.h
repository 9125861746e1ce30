// Binding of handset adapter libraries: CUSBAdapter binds one library,
// CUSBManager binds the set listed in "USBPhone.ini" beside the component and
// broadcasts commands to it. Used only on the phone object's thread.
#pragma once

#include "adapters/KexUSBAdapter.h"
#include "win32/raii.h"

#include <windows.h>

#include <memory>
#include <string>
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

class CUSBAdapter {
public:
    CUSBAdapter();
    ~CUSBAdapter();
    CUSBAdapter(const CUSBAdapter&) = delete;
    CUSBAdapter& operator=(const CUSBAdapter&) = delete;

    // 0 when the library is loaded and its "Intialize" returned 0, else 1.
    // componentDir anchors the library search (see KexLoadAdapterLibraryW);
    // null means KexComponentDirectoryW().
    int load(const char* file, const char* name, KexDeviceCallback callback,
             const char* componentDir = nullptr);
    int load(const char* file, const char* name, KexDeviceCallback callback, const std::wstring& componentDir);
    // The adapter's own result, or 1 when nothing is bound.
    int execute(uint32_t code, uintptr_t wParam, uintptr_t lParam);
    // "UnInitialize" (when exported), then the library is released. Idempotent.
    void UnLoad();
    std::string GetName() const { return m_name; }

private:
    kex::unique_hmodule m_module;
    KexIntializeFn m_fnInitialize;
    KexExecuteFn m_fnExeuteCmd;
    KexUnInitializeFn m_fnUnInitialize;
    std::string m_name;
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

    // Binds every adapter of [AdapterList] in ascending byte order of the keys.
    // 0 when at least one adapter is bound, else 1.
    int Load(KexDeviceCallback callback);
    // One adapter bound, or null (the failure is logged).
    std::unique_ptr<CUSBAdapter> InitAdapter(const char* file, const char* name,
                                             KexDeviceCallback callback);
    // Sends the command to every adapter in binding order, past failures.
    // 0 when at least one adapter is bound, else 1.
    int execute(uint32_t code, uintptr_t wParam, uintptr_t lParam);
    // The adapter's key when exactly one is bound, else "".
    std::string GetUSBName() const;
    // Unbinds and deletes every adapter. Idempotent.
    void UnLoad();

    // For test programs that link the phone object statically: the directory
    // that managers made by the default constructor use from now on instead
    // of KexComponentDirectoryW(); "" restores the rule. Not thread-safe: set it
    // before the manager is created.
    static void SetDirectoryOverride(const std::string& directory);

    // The directory in the ANSI code page, as messages show it.
    const std::string& GetPath() const { return m_path; }
    size_t GetAdapterCount() const { return m_adapters.size(); }

private:
    std::vector<std::unique_ptr<CUSBAdapter>> m_adapters;
    std::wstring m_wpath;
    std::string m_path;
};
