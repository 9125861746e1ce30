// A script host for the project's tests and for users under Wine: runs one
// VBScript or JScript file on the system's engines with a WScript object that
// can sleep while pumping messages, so that events raised on other threads
// reach the script's handlers.
#pragma once

#include <windows.h>
#include <activscp.h>

#include "win32/raii.h"

#include <string>
#include <vector>

namespace kexscript {

class EventSink;

struct HostOptions {
    std::wstring scriptPath; // as given
    std::vector<std::wstring> arguments;
    std::wstring engine; // "VBScript", "JScript", or empty: by extension
};

// Exit codes of Run besides the script's own WScript.Quit code.
enum : int {
    kExitScriptError = 1, // compile or run-time error in the script
    kExitHostError = 2,   // no such file, unknown extension, no engine
};

class ScriptHost final : public IActiveScriptSite {
public:
    explicit ScriptHost(HostOptions options);
    ~ScriptHost();
    ScriptHost(const ScriptHost&) = delete;
    ScriptHost& operator=(const ScriptHost&) = delete;

    // Runs the script to its end (or WScript.Quit); the process's exit code.
    // Call on a thread initialised for a single-threaded apartment.
    int Run() noexcept;

    // --- used by the WScript object and the event sinks ---
    const std::wstring& FullPath() const noexcept { return m_fullPath; }
    const std::wstring& ScriptName() const noexcept { return m_scriptName; }
    const std::vector<std::wstring>& Arguments() const noexcept { return m_options.arguments; }
    bool Quitting() const noexcept { return m_quit; }
    void RequestQuit(int code) noexcept;
    void Echo(const std::wstring& line) noexcept;
    // Pumps messages for ms milliseconds, or until the script has to end.
    void Sleep(DWORD ms) noexcept;
    // Advises a sink on the object's default source interface that calls
    // prefix + event name in the script.
    HRESULT Connect(IUnknown* object, const std::wstring& prefix) noexcept;
    HRESULT Disconnect(IUnknown* object) noexcept;
    // The script's global functions, for the sinks.
    HRESULT ScriptDispatch(IDispatch** out) noexcept;

    // IUnknown: the host lives on the stack of the running thread.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return 2; }
    ULONG STDMETHODCALLTYPE Release() noexcept override { return 1; }

    // IActiveScriptSite
    HRESULT STDMETHODCALLTYPE GetLCID(LCID* lcid) noexcept override;
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                          ITypeInfo** info) noexcept override;
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR* version) noexcept override;
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT* result, const EXCEPINFO* excep) noexcept override;
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE state) noexcept override;
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) noexcept override;
    HRESULT STDMETHODCALLTYPE OnEnterScript() noexcept override;
    HRESULT STDMETHODCALLTYPE OnLeaveScript() noexcept override;

private:
    int RunEngine(const CLSID& engine, const std::wstring& code) noexcept;
    void DisconnectAll() noexcept;

    HostOptions m_options;
    std::wstring m_fullPath;
    std::wstring m_scriptName;
    kex::com_ptr<IActiveScript> m_engine;
    kex::com_ptr<IDispatch> m_wscript;
    std::vector<EventSink*> m_sinks; // one reference each
    bool m_quit = false;
    bool m_failed = false;
    int m_exitCode = 0;
};

// Reads a script file: UTF-16 or UTF-8 with a byte-order mark, else the ANSI
// code page.
HRESULT ReadScriptFile(const std::wstring& path, std::wstring& text) noexcept;

} // namespace kexscript
