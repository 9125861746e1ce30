// The installer that unplugs the virtual headsets and plugs them back, as
// the tests run it.
#pragma once

#include "tests/support/MessagePump.h"
#include "tests/support/files.h"
#include "win32/raii.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace hid_test {

// Runs install_virtual_hid with verb (remove or restore a device): its exit
// status, or -1 when it did not run or end in time. Messages are dispatched
// meanwhile: the component's events wait for this thread.
inline DWORD RunInstaller(const std::string& verb)
{
    constexpr DWORD kInstallerTimeoutMs = 30000;
    std::string line = "\"" + test_support::ExeDirectory() + "..\\hid\\install_virtual_hid.exe\" " + verb;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return static_cast<DWORD>(-1);
    const kex::unique_handle process(pi.hProcess), thread(pi.hThread);
    if (!test_support::PumpUntil(process.get(), kInstallerTimeoutMs)) {
        ADD_FAILURE() << "install_virtual_hid " << verb << " did not end within " << kInstallerTimeoutMs << " ms";
        return static_cast<DWORD>(-1);
    }
    DWORD code = static_cast<DWORD>(-1);
    GetExitCodeProcess(process.get(), &code);
    return code;
}

} // namespace hid_test
