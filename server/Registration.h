// What registration writes and removes, as data, and the code that applies it
// once for the whole machine (HKEY_CLASSES_ROOT) and once for the current user
// (HKEY_CURRENT_USER\Software\Classes).
#pragma once

#include "win32/raii.h"

#include <windows.h>

#include <cstddef>
#include <string>

namespace kex_server {

enum class Scope { Machine, User };

enum class OnRegister {
    CreateOrOpen, // keep what is there, add or overwrite our values
    Recreate,     // delete the key with its subkeys first, then create it
};
enum class OnUnregister {
    DeleteTree, // delete with all subkeys; already missing is no error
    WithParent, // goes with a key above it
    Keep,       // shared key, never removed
};

struct RegValue {
    const wchar_t* name; // null: no named value
    const wchar_t* data;
};

// One key. Texts may name %CLSID%, %LIBID%, %APPID% and %MODULE%.
struct RegKey {
    const wchar_t* path;
    const wchar_t* defaultValue; // null: the unnamed value is not touched
    RegValue named;
    OnRegister onRegister;
    OnUnregister onUnregister;
};

struct Substitutions {
    std::wstring clsid;  // registry brace form
    std::wstring libid;  // registry brace form
    std::wstring appid;  // empty: the component declares none
    std::wstring module; // full path of the component's file
};

// The keys of the phone class, in the order they are written.
extern const RegKey kPhoneClassKeys[];
extern const std::size_t kPhoneClassKeyCount;

std::wstring Expand(const wchar_t* text, const Substitutions& subst);

// Writes (registering) or removes the rows below root. Stops at the first
// failure and answers it; what was written before stays.
HRESULT ApplyKeys(HKEY root, const RegKey* rows, std::size_t count, bool registering,
                  const Substitutions& subst) noexcept;

// The root the class keys go under: HKEY_CLASSES_ROOT itself (not owned), or
// for the user a new handle to HKEY_CURRENT_USER\Software\Classes (created
// if missing), owned by the result.
struct ClassesRoot {
    HKEY key = nullptr;
    kex::unique_hkey owned;
};
HRESULT OpenClassesRoot(Scope scope, ClassesRoot& root) noexcept;

// The type library carried by the component (CKexUSBPhoneModule::LoadOwnTypeLib).
// Unregistering a library that is not registered is no error.
HRESULT RegisterTypeLibrary(Scope scope) noexcept;
HRESULT UnregisterTypeLibrary(Scope scope) noexcept;

// The whole registration of the component for a scope.
HRESULT RegisterServer(Scope scope) noexcept;
HRESULT UnregisterServer(Scope scope) noexcept;

} // namespace kex_server
