// Text between a code page and UTF-16: the ANSI code page for the
// component's narrow interfaces, messages and configuration values, UTF-8
// for device texts and console output. Win32 only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kex {

// A name or path between a code page (ANSI unless given) and UTF-16. Narrow
// ANSI forms are for the component's narrow interfaces and messages:
// characters the code page lacks become '?'.
inline std::wstring widen(std::string_view text, UINT codePage = CP_ACP)
{
    if (text.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

inline std::string narrow(std::wstring_view text, UINT codePage = CP_ACP)
{
    if (text.empty())
        return std::string();
    const int n =
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// UTF-16 as portable code holds it and as Win32 takes it: the same units.
inline std::wstring widen(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
inline std::u16string utf16(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

} // namespace kex
