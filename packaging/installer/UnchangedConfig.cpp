// Installer action: on uninstall, marks the installed USBPhone.ini for removal
// when it is still the file the package installed, so that an edited one stays.
//
// The package installs USBPhone.ini as a permanent component that is never
// overwritten; a RemoveFile row deletes it on uninstall from the folder named
// by kRemoveDirProperty. This action sets that property only when the file's
// MD5 equals the package's MsiFileHash row for it. Any failure leaves the
// property unset: the file is kept, which loses nothing.
#include "win32/raii.h"

#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

// The file's name is also its key in the File table.
const wchar_t kConfigFile[] = L"USBPhone.ini";
const wchar_t kConfigDirectory[] = L"INSTALLDIR";
const wchar_t kRemoveDirProperty[] = L"KEXUNCHANGEDCONFIGDIR";
const wchar_t kHashQuery[] =
    L"SELECT `HashPart1`, `HashPart2`, `HashPart3`, `HashPart4` FROM `MsiFileHash` WHERE `File_` = ?";

struct MsiHandleTraits {
    static MSIHANDLE invalid() noexcept { return 0; }
    static bool valid(MSIHANDLE h) noexcept { return h != 0; }
    static void close(MSIHANDLE h) noexcept { MsiCloseHandle(h); }
};
using unique_msihandle = kex::unique_any<MSIHANDLE, MsiHandleTraits>;

// The target folder of a directory, with its trailing backslash.
bool TargetPath(MSIHANDLE install, const wchar_t* directory, std::wstring& path)
{
    DWORD length = 0;
    wchar_t empty[1] = {};
    if (MsiGetTargetPathW(install, directory, empty, &length) != ERROR_MORE_DATA)
        return false;
    path.resize(length + 1);
    length = static_cast<DWORD>(path.size());
    if (MsiGetTargetPathW(install, directory, path.data(), &length) != ERROR_SUCCESS)
        return false;
    path.resize(length);
    return true;
}

// The hash the package recorded for a file, from its MsiFileHash row.
bool PackagedHash(MSIHANDLE install, const wchar_t* fileKey, MSIFILEHASHINFO& hash)
{
    unique_msihandle database(MsiGetActiveDatabase(install));
    unique_msihandle view;
    if (!database || MsiDatabaseOpenViewW(database.get(), kHashQuery, view.put()) != ERROR_SUCCESS)
        return false;
    unique_msihandle key(MsiCreateRecord(1));
    if (!key || MsiRecordSetStringW(key.get(), 1, fileKey) != ERROR_SUCCESS ||
        MsiViewExecute(view.get(), key.get()) != ERROR_SUCCESS)
        return false;
    unique_msihandle row;
    if (MsiViewFetch(view.get(), row.put()) != ERROR_SUCCESS)
        return false;
    for (UINT part = 0; part < 4; ++part) {
        if (MsiRecordIsNull(row.get(), part + 1))
            return false;
        hash.dwData[part] = static_cast<ULONG>(MsiRecordGetInteger(row.get(), part + 1));
    }
    return true;
}

bool IsUnchanged(MSIHANDLE install, const std::wstring& file)
{
    MSIFILEHASHINFO packaged = {sizeof(packaged), {}};
    MSIFILEHASHINFO found = {sizeof(found), {}};
    if (!PackagedHash(install, kConfigFile, packaged) ||
        MsiGetFileHashW(file.c_str(), 0, &found) != ERROR_SUCCESS)
        return false;
    for (UINT part = 0; part < 4; ++part) {
        if (packaged.dwData[part] != found.dwData[part])
            return false;
    }
    return true;
}

} // namespace

extern "C" UINT __stdcall MarkUnchangedConfig(MSIHANDLE install)
{
    // Never fails the uninstall: whatever goes wrong, the file stays.
    try {
        std::wstring directory;
        if (TargetPath(install, kConfigDirectory, directory) &&
            IsUnchanged(install, directory + kConfigFile))
            MsiSetPropertyW(install, kRemoveDirProperty, directory.c_str());
    } catch (...) {
    }
    return ERROR_SUCCESS;
}
