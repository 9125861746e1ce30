// Installs the virtual HID headset's devices into the current Wine prefix,
// and takes one away and brings it back again for the plug tests.
//
//   install_virtual_hid install <inf> <device>...
//       <device>: <vendor>:<product> (hex ids), then descriptor=<file> (the
//       report descriptor, in hex text: "05 0B 09 05 ...", "#" or ";" to the
//       end of a line is a comment), and optionally name=<product string>
//       (\uXXXX for a character that is not ASCII), serial=<serial number>
//   install_virtual_hid remove <vendor>:<product>    (its values are kept)
//   install_virtual_hid restore <inf> <vendor>:<product>   (as it was removed)
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
#include <cwctype>
#include <string>
#include <vector>

namespace {

// Where a removed device's values wait for "restore".
constexpr wchar_t kRemovedKey[] = L"Software\\KexUSBPhone tests\\Removed virtual HID devices";

struct DeviceSpec {
    DWORD vendor = 0, product = 0;
    std::vector<BYTE> descriptor;
    std::wstring name, serial; // empty: the driver's default, none
};

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

// The bytes of a report descriptor written as hex text.
bool ReadDescriptor(const wchar_t* file, std::vector<BYTE>& bytes)
{
    FILE* in = _wfopen(file, L"r");
    if (!in)
        return false;
    bool comment = false, ok = true;
    std::wstring token;
    for (wint_t c; ok;) {
        c = fgetwc(in);
        const bool end = c == WEOF || std::iswspace(c) || c == L'#' || c == L';';
        if (!end) {
            if (!comment)
                token += static_cast<wchar_t>(c);
            continue;
        }
        if (!token.empty()) {
            wchar_t* rest = nullptr;
            const unsigned long value = std::wcstoul(token.c_str(), &rest, 16);
            ok = *rest == 0 && token.size() <= 2 && value <= 0xFF;
            bytes.push_back(static_cast<BYTE>(value));
            token.clear();
        }
        if (c == L'#' || c == L';')
            comment = true;
        else if (c == L'\n')
            comment = false;
        if (c == WEOF)
            break;
    }
    fclose(in);
    return ok && !bytes.empty() && bytes.size() <= VHID_MAX_DESCRIPTOR;
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& value)
{
    if (!value.empty())
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Writes the device's values into key (a device key, or the removed one).
void WriteValues(HKEY key, const DeviceSpec& spec)
{
    const DWORD values[] = {spec.vendor, spec.product};
    const wchar_t* names[] = {VHID_VALUE_VENDOR, VHID_VALUE_PRODUCT};
    for (int i = 0; i < 2; ++i)
        RegSetValueExW(key, names[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&values[i]), sizeof(DWORD));
    if (!spec.descriptor.empty())
        RegSetValueExW(key, VHID_VALUE_DESCRIPTOR, 0, REG_BINARY, spec.descriptor.data(),
                       static_cast<DWORD>(spec.descriptor.size()));
    SetString(key, VHID_VALUE_PRODUCT_STRING, spec.name);
    SetString(key, VHID_VALUE_SERIAL, spec.serial);
}

DWORD QueryDword(HKEY key, const wchar_t* name)
{
    DWORD value = 0, size = sizeof value;
    RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    return value;
}

std::wstring QueryString(HKEY key, const wchar_t* name)
{
    wchar_t text[VHID_MAX_STRING + 1] = {};
    DWORD size = sizeof text - sizeof text[0];
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
        return std::wstring();
    return text;
}

DeviceSpec ReadValues(HKEY key)
{
    DeviceSpec spec;
    spec.vendor = QueryDword(key, VHID_VALUE_VENDOR);
    spec.product = QueryDword(key, VHID_VALUE_PRODUCT);
    BYTE descriptor[VHID_MAX_DESCRIPTOR];
    DWORD size = sizeof descriptor;
    if (RegQueryValueExW(key, VHID_VALUE_DESCRIPTOR, nullptr, nullptr, descriptor, &size) == ERROR_SUCCESS)
        spec.descriptor.assign(descriptor, descriptor + size);
    spec.name = QueryString(key, VHID_VALUE_PRODUCT_STRING);
    spec.serial = QueryString(key, VHID_VALUE_SERIAL);
    return spec;
}

std::wstring RemovedName(DWORD vendor, DWORD product)
{
    wchar_t name[16];
    std::swprintf(name, 16, L"%04x:%04x", static_cast<unsigned>(vendor), static_cast<unsigned>(product));
    return name;
}

int AddDevice(HDEVINFO set, const DeviceSpec& spec)
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
    WriteValues(key, spec);
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

// \uXXXX escapes replaced by their UTF-16 unit.
std::wstring Unescaped(const wchar_t* text)
{
    std::wstring out;
    for (const wchar_t* p = text; *p; ++p) {
        unsigned unit = 0;
        if (p[0] == L'\\' && p[1] == L'u' && std::swscanf(p + 2, L"%4x", &unit) == 1 && std::wcslen(p) >= 6) {
            out += static_cast<wchar_t>(unit);
            p += 5;
            continue;
        }
        out += *p;
    }
    return out;
}

// The devices of the command line, from argv[first] on.
bool ParseDevices(int argc, wchar_t** argv, int first, std::vector<DeviceSpec>& specs)
{
    for (int i = first; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        const wchar_t* value = std::wcschr(arg, L'=');
        if (!value) {
            DeviceSpec spec;
            unsigned vendor = 0, product = 0;
            if (std::swscanf(arg, L"%x:%x", &vendor, &product) != 2) {
                std::fprintf(stderr, "install_virtual_hid: bad device \"%ls\"\n", arg);
                return false;
            }
            spec.vendor = vendor, spec.product = product;
            specs.push_back(spec);
            continue;
        }
        const std::wstring key(arg, value++);
        if (specs.empty() || (key != L"descriptor" && key != L"name" && key != L"serial")) {
            std::fprintf(stderr, "install_virtual_hid: \"%ls\" belongs to no device\n", arg);
            return false;
        }
        if (key == L"name")
            specs.back().name = Unescaped(value);
        else if (key == L"serial")
            specs.back().serial = value;
        else if (!ReadDescriptor(value, specs.back().descriptor)) {
            std::fprintf(stderr, "install_virtual_hid: cannot read a report descriptor from \"%ls\"\n", value);
            return false;
        }
    }
    for (const DeviceSpec& spec : specs) {
        if (spec.descriptor.empty()) {
            std::fprintf(stderr, "install_virtual_hid: device %04lx:%04lx has no descriptor=\n", spec.vendor,
                         spec.product);
            return false;
        }
    }
    return true;
}

int Install(const wchar_t* inf, const std::vector<DeviceSpec>& specs)
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
    for (const DeviceSpec& spec : specs)
        if (int rc = AddDevice(set, spec))
            return rc;
    SetupDiDestroyDeviceInfoList(set);

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, VHID_HARDWARE_ID, inf, INSTALLFLAG_FORCE, &reboot))
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
        if (HKEY device_key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            device_key != INVALID_HANDLE_VALUE) {
            const DeviceSpec spec = ReadValues(device_key);
            RegCloseKey(device_key);
            HKEY removed = nullptr;
            const std::wstring name = std::wstring(kRemovedKey) + L"\\" + RemovedName(vendor, product);
            RegDeleteKeyW(HKEY_CURRENT_USER, name.c_str());
            if (RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &removed,
                                nullptr) == ERROR_SUCCESS) {
                WriteValues(removed, spec);
                RegCloseKey(removed);
            }
        }
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

// Installs again the device that "remove" took away, with its values.
int Restore(const wchar_t* inf, unsigned vendor, unsigned product)
{
    const std::wstring name = std::wstring(kRemovedKey) + L"\\" + RemovedName(vendor, product);
    HKEY removed = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, KEY_READ, &removed) != ERROR_SUCCESS) {
        std::fprintf(stderr, "install_virtual_hid: no removed device %04x:%04x\n", vendor, product);
        return 1;
    }
    const DeviceSpec spec = ReadValues(removed);
    RegCloseKey(removed);
    return Install(inf, {spec});
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    unsigned vendor = 0, product = 0;
    std::vector<DeviceSpec> specs;
    if (argc >= 4 && std::wcscmp(argv[1], L"install") == 0)
        return ParseDevices(argc, argv, 3, specs) ? Install(argv[2], specs) : 2;
    if (argc == 3 && std::wcscmp(argv[1], L"remove") == 0 && std::swscanf(argv[2], L"%x:%x", &vendor, &product) == 2)
        return Remove(vendor, product);
    if (argc == 4 && std::wcscmp(argv[1], L"restore") == 0 && std::swscanf(argv[3], L"%x:%x", &vendor, &product) == 2)
        return Restore(argv[2], vendor, product);
    std::fprintf(stderr, "usage: install_virtual_hid install <inf> <vendor>:<product> descriptor=<file> "
                         "[name=<text>] [serial=<text>]... | remove <vendor>:<product> | restore <inf> "
                         "<vendor>:<product>\n");
    return 2;
}
