// Paths for the wide file APIs, whatever their length, and their narrow
// forms. Win32 only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kex {

// A full path of MAX_PATH (260) characters or more gets the "\\?\" (or
// "\\?\UNC\") prefix, under which the wide file APIs take any length; shorter,
// relative or already prefixed paths come back as given. The prefix turns
// off the system's clean-up of the path, so "." and ".." parts and forward
// slashes are resolved first.
inline std::wstring long_path(std::wstring path)
{
    auto slash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    auto letter = [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); };
    if (path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0)
        return path;
    const bool drive = letter(path[0]) && path[1] == L':' && slash(path[2]);
    const bool unc = slash(path[0]) && slash(path[1]);
    if (!drive && !unc)
        return path;
    const DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (need > 0) {
        std::wstring full(need, L'\0');
        const DWORD n = GetFullPathNameW(path.c_str(), need, &full[0], nullptr);
        if (n > 0 && n < need) {
            full.resize(n);
            path.swap(full);
        }
    }
    if (drive)
        return L"\\\\?\\" + path;
    return L"\\\\?\\UNC\\" + path.substr(2);
}

// A name or path between the ANSI code page and UTF-16. Narrow forms are for
// the component's narrow interfaces and messages: characters the code page
// lacks become '?'.
inline std::wstring widen(std::string_view text)
{
    if (text.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

inline std::string narrow(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    const int n =
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

} // namespace kex
