// The shipped adapters' settings: one value of an INI file, read in UTF-16
// from a path of any length, never cut short. Win32 only.
#pragma once

#include "win32/path.h"

#include <windows.h>

#include <string>

// The path without its "\\?\" (or "\\?\UNC\") prefix, which the profile
// functions do not take.
inline std::wstring PlainPath(const std::wstring& path)
{
    const std::wstring unc = L"\\\\?\\UNC\\", local = L"\\\\?\\";
    if (path.compare(0, unc.size(), unc) == 0)
        return L"\\\\" + path.substr(unc.size());
    if (path.compare(0, local.size(), local) == 0)
        return path.substr(local.size());
    return path;
}

// The profile functions are not made for paths of MAX_PATH characters or
// more (Wine 8 reads none, prefixed or not): a longer one is read through
// its short form, where the volume has short names.
inline std::wstring ProfilePath(const std::wstring& file)
{
    const std::wstring plain = PlainPath(file);
    if (plain.size() < MAX_PATH)
        return plain;
    const std::wstring full = kex::long_path(plain);
    std::wstring shortPath(GetShortPathNameW(full.c_str(), nullptr, 0), L'\0');
    if (shortPath.empty())
        return plain;
    shortPath.resize(GetShortPathNameW(full.c_str(), &shortPath[0], static_cast<DWORD>(shortPath.size())));
    return PlainPath(shortPath);
}

// The value of key in [section] of file, or fallback when there is none.
inline std::wstring ProfileString(const std::wstring& file, const wchar_t* section, const wchar_t* key,
                                  const wchar_t* fallback = L"")
{
    constexpr std::size_t kFirstSize = 256;
    constexpr std::size_t kLargestSize = 32768; // longer values are cut there
    const std::wstring path = ProfilePath(file);
    std::wstring value(kFirstSize, L'\0');
    for (;;) {
        const DWORD n = GetPrivateProfileStringW(section, key, fallback, &value[0], static_cast<DWORD>(value.size()),
                                                 path.c_str());
        // A value that fills the buffer may have been cut: try a larger one.
        if (n + 1 < value.size() || value.size() >= kLargestSize) {
            value.resize(n);
            return value;
        }
        value.resize(value.size() * 2);
    }
}
