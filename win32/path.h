// Paths: long paths for the wide file APIs, module file names and the
// directory of a file. Win32 only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The image this code is linked into (the DLL, or a test program).
extern "C" IMAGE_DOS_HEADER __ImageBase;

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

// The module this code is linked into.
inline HMODULE this_module() noexcept { return reinterpret_cast<HMODULE>(&__ImageBase); }

// Full file name of a module (null: the program), never cut short: the
// buffer grows until the name fits. Empty on failure, with GetLastError set.
template <class Char>
std::basic_string<Char> module_file_name(HMODULE module)
{
    std::basic_string<Char> buffer(MAX_PATH, Char());
    for (;;) {
        DWORD n;
        if constexpr (sizeof(Char) == sizeof(wchar_t))
            n = GetModuleFileNameW(module, &buffer[0], static_cast<DWORD>(buffer.size()));
        else
            n = GetModuleFileNameA(module, &buffer[0], static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        // Longer than any path the system accepts.
        if (buffer.size() >= 32768) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The directory part of a path, with its trailing separator; empty when the
// path names no directory.
template <class Char>
std::basic_string<Char> directory_of(const std::basic_string<Char>& path)
{
    std::size_t slash;
    if constexpr (sizeof(Char) == sizeof(wchar_t))
        slash = path.find_last_of(L"\\/");
    else
        slash = path.find_last_of("\\/");
    if (slash == std::basic_string<Char>::npos)
        return {};
    return path.substr(0, slash + 1);
}

// The directory a module (null: the program) lies in, with its trailing
// separator; empty on failure.
template <class Char>
std::basic_string<Char> module_directory(HMODULE module)
{
    return directory_of(module_file_name<Char>(module));
}

} // namespace kex
