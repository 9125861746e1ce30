// Installs the virtual HID headset's devices into the current Wine prefix,
// and takes one away again for the plug tests.
//
//   install_virtual_hid install <inf> <layout>:<vendor>:<product>...   (hex ids)
//   install_virtual_hid remove <vendor>:<product>
//
// Exit status 0 on success; what failed is printed.
#include "tests/handsets/hid_headset/virtual_hid_control.h"

#include <windows.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

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

// A device added while the driver runs is started only when Wine's driver
// host enumerates its root devices again: the user-defined service control
// that Wine's setupapi sends after a removal.
int EnumerateAgain()
{
    const DWORD kReenumerateRootDevices = 128;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return Fail("OpenSCManager");
    SC_HANDLE service = OpenServiceW(manager, L"kexvirtualhid", SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS);
    int rc = 0;
    SERVICE_STATUS status = {};
    if (!service)
        rc = Fail("OpenService");
    else if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING &&
             !ControlService(service, kReenumerateRootDevices, &status))
        rc = Fail("ControlService");
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
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
    return EnumerateAgain();
}

// Takes the devices with these ids away, as an unplugged headset goes. Wine
// asks the driver's service to enumerate its root devices again, which
// removes the device from the HID stack.
int Remove(unsigned vendor, unsigned product)
{
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_HIDCLASS, L"ROOT", nullptr, 0);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiGetClassDevs");
    int removed = 0;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        DWORD ids[2] = {}, size = sizeof(DWORD);
        RegQueryValueExW(key, L"VendorID", nullptr, nullptr, reinterpret_cast<BYTE*>(&ids[0]), &size);
        size = sizeof(DWORD);
        RegQueryValueExW(key, L"ProductID", nullptr, nullptr, reinterpret_cast<BYTE*>(&ids[1]), &size);
        RegCloseKey(key);
        if (ids[0] != vendor || ids[1] != product)
            continue;
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
            return Fail("DIF_REMOVE");
        ++removed;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (removed == 0) {
        std::fprintf(stderr, "install_virtual_hid: no device %04x:%04x\n", vendor, product);
        return 1;
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 4 && std::wcscmp(argv[1], L"install") == 0)
        return Install(argc, argv);
    unsigned vendor = 0, product = 0;
    if (argc == 3 && std::wcscmp(argv[1], L"remove") == 0 && std::swscanf(argv[2], L"%x:%x", &vendor, &product) == 2)
        return Remove(vendor, product);
    std::fprintf(stderr, "usage: install_virtual_hid install <inf> <layout>:<vendor>:<product>... | remove <vendor>:<product>\n");
    return 2;
}
