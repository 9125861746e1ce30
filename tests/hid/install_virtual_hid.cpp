// Installs the virtual HID headset into the current Wine prefix, and takes
// its devices away and back for the plug tests.
//
//   install_virtual_hid install <inf> <layout>:<vendor>:<product>...   (hex ids)
//   install_virtual_hid stop | start      stop or start the driver's service
//
// Exit status 0 on success; what failed is printed.
#include "tests/hid/virtual_hid_control.h"

#include <windows.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

const wchar_t kServiceName[] = L"kexvirtualhid";

int Fail(const char* what)
{
    std::fprintf(stderr, "install_virtual_hid: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

// A fresh prefix's service database stays locked for a while after boot;
// starting a service before it is free fails. (Wine 8 does not answer the
// question at all: then there is nothing to wait for.)
bool WaitForServiceDatabase(SC_HANDLE manager)
{
    for (int i = 0; i < 300; ++i) {
        char buffer[sizeof(QUERY_SERVICE_LOCK_STATUSW) + 512];
        DWORD needed = 0;
        auto* status = reinterpret_cast<QUERY_SERVICE_LOCK_STATUSW*>(buffer);
        if (!QueryServiceLockStatusW(manager, status, sizeof buffer, &needed) || !status->fIsLocked)
            return true;
        Sleep(100); // polling the service manager: there is no event to wait on
    }
    return false;
}

int AddDevice(HDEVINFO set, unsigned layout, unsigned vendor, unsigned product)
{
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoW(set, L"KEXVIRTUALHID", &GUID_DEVCLASS_HIDCLASS, nullptr, nullptr, DICD_GENERATE_ID,
                                  &device))
        return Fail("SetupDiCreateDeviceInfo");
    static const wchar_t hardwareId[] = VHID_HARDWARE_ID L"\0";
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardwareId),
                                           sizeof hardwareId))
        return Fail("SetupDiSetDeviceRegistryProperty");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        return Fail("DIF_REGISTERDEVICE");
    HKEY key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE)
        return Fail("SetupDiCreateDevRegKey");
    const DWORD values[] = {layout, vendor, product};
    const wchar_t* names[] = {L"Layout", L"VendorID", L"ProductID"};
    for (int i = 0; i < 3; ++i)
        RegSetValueExW(key, names[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&values[i]), sizeof(DWORD));
    RegCloseKey(key);
    return 0;
}

int Install(int argc, wchar_t** argv)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return Fail("OpenSCManager");
    const bool ready = WaitForServiceDatabase(manager);
    CloseServiceHandle(manager);
    if (!ready)
        return Fail("waiting for the service database");

    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_HIDCLASS, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiCreateDeviceInfoList");
    for (int i = 3; i < argc; ++i) {
        unsigned layout = 0, vendor = 0, product = 0;
        if (std::swscanf(argv[i], L"%u:%x:%x", &layout, &vendor, &product) != 3) {
            std::fprintf(stderr, "install_virtual_hid: bad device \"%ls\"\n", argv[i]);
            return 2;
        }
        if (int rc = AddDevice(set, layout, vendor, product))
            return rc;
    }
    SetupDiDestroyDeviceInfoList(set);

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, VHID_HARDWARE_ID, argv[2], INSTALLFLAG_FORCE, &reboot))
        return Fail("UpdateDriverForPlugAndPlayDevices");
    return 0;
}

int ControlDriver(bool start)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return Fail("OpenSCManager");
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (!service)
        return Fail("OpenService");
    int rc = 0;
    SERVICE_STATUS status = {};
    if (start) {
        if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            rc = Fail("StartService");
    } else if (!ControlService(service, SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        rc = Fail("ControlService(stop)");
    }
    // Until the service has settled, the devices are half there.
    const DWORD want = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    for (int i = 0; rc == 0 && i < 100; ++i) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == want)
            break;
        Sleep(50); // the service manager has no wait for a state
    }
    if (rc == 0 && status.dwCurrentState != want)
        rc = Fail("waiting for the service state");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 4 && std::wcscmp(argv[1], L"install") == 0)
        return Install(argc, argv);
    if (argc == 2 && std::wcscmp(argv[1], L"stop") == 0)
        return ControlDriver(false);
    if (argc == 2 && std::wcscmp(argv[1], L"start") == 0)
        return ControlDriver(true);
    std::fprintf(stderr, "usage: install_virtual_hid install <inf> <layout>:<vendor>:<product>... | stop | start\n");
    return 2;
}
