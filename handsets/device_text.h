// The shipped adapters' device texts for a version-2 component: ids, names
// and serials cross the contract in UTF-8. Win32 only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

inline std::string Utf8(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}
