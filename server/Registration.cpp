// Registration applied: each key of the tables written or removed, once per
// scope, and the type library registered beside them.
#include "server/Registration.h"

#include "win32/path.h"
#include "win32/raii.h"
#include "module/Module.h"

#include "KexUSBPhone_h.h"

#include <oleauto.h>

#include <new>
#include <vector>

namespace kex_server {

// clang-format off
const RegKey kPhoneClassKeys[] = {
    {L"KexUSBPhone.KexPhone.1",          L"KexUsbPhone Object",      {}, OnRegister::CreateOrOpen, OnUnregister::DeleteTree},
    {L"KexUSBPhone.KexPhone.1\\CLSID",   L"%CLSID%",                 {}, OnRegister::CreateOrOpen, OnUnregister::WithParent},
    {L"KexUSBPhone.KexPhone",            L"KexUsbPhone Object",      {}, OnRegister::CreateOrOpen, OnUnregister::DeleteTree},
    {L"KexUSBPhone.KexPhone\\CLSID",     L"%CLSID%",                 {}, OnRegister::CreateOrOpen, OnUnregister::WithParent},
    {L"KexUSBPhone.KexPhone\\CurVer",    L"KexUSBPhone.KexPhone.1",  {}, OnRegister::CreateOrOpen, OnUnregister::WithParent},
    {L"CLSID",                           nullptr,                    {}, OnRegister::CreateOrOpen, OnUnregister::Keep},
    {L"CLSID\\%CLSID%",                  L"KexUsbPhone Object",      {L"AppID", L"%APPID%"}, OnRegister::Recreate, OnUnregister::DeleteTree},
    {L"CLSID\\%CLSID%\\ProgID",          L"KexUSBPhone.KexPhone.1",  {}, OnRegister::CreateOrOpen, OnUnregister::WithParent},
    {L"CLSID\\%CLSID%\\VersionIndependentProgID", L"KexUSBPhone.KexPhone", {}, OnRegister::CreateOrOpen, OnUnregister::WithParent},
    {L"CLSID\\%CLSID%\\Programmable",    nullptr,                    {}, OnRegister::Recreate,     OnUnregister::WithParent},
    {L"CLSID\\%CLSID%\\InprocServer32",  L"%MODULE%",                {L"ThreadingModel", L"apartment"}, OnRegister::CreateOrOpen, OnUnregister::WithParent},
    {L"CLSID\\%CLSID%\\TypeLib",         L"%LIBID%",                 {}, OnRegister::CreateOrOpen, OnUnregister::WithParent},
};
// clang-format on
const std::size_t kPhoneClassKeyCount = sizeof(kPhoneClassKeys) / sizeof(kPhoneClassKeys[0]);

namespace {

const wchar_t kUserClasses[] = L"Software\\Classes";

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

HRESULT FromWin32(LONG rc) noexcept { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc); }

HRESULT SetString(HKEY key, const wchar_t* name, const std::wstring& value) noexcept
{
    auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    return FromWin32(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes));
}

HRESULT DeleteTree(HKEY root, const std::wstring& path) noexcept
{
    LONG rc = RegDeleteTreeW(root, path.c_str());
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND)
        return S_OK;
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    // RegDeleteTree empties the key; the key itself goes separately.
    rc = RegDeleteKeyW(root, path.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(rc);
}

HRESULT WriteKey(HKEY root, const RegKey& row, const Substitutions& subst) noexcept
{
    try {
        std::wstring path = Expand(row.path, subst);
        if (row.onRegister == OnRegister::Recreate) {
            if (HRESULT hr = DeleteTree(root, path); FAILED(hr))
                return hr;
        }
        kex::unique_hkey key;
        LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                  nullptr, key.put(), nullptr);
        if (rc != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(rc);
        if (row.defaultValue) {
            if (HRESULT hr = SetString(key.get(), nullptr, Expand(row.defaultValue, subst)); FAILED(hr))
                return hr;
        }
        if (row.named.name)
            return SetString(key.get(), row.named.name, Expand(row.named.data, subst));
        return S_OK;
    }
    KEX_CATCH_RETURN()
}

HRESULT RemoveKey(HKEY root, const RegKey& row, const Substitutions& subst) noexcept
{
    if (row.onUnregister != OnUnregister::DeleteTree)
        return S_OK;
    try {
        return DeleteTree(root, Expand(row.path, subst));
    }
    KEX_CATCH_RETURN()
}

// Sends writes to HKEY_CLASSES_ROOT to the user's classes while it lives, so
// that the platform's type library registration lands there too. Used instead
// of RegisterTypeLibForUser, which some platforms (Wine) carry out for the
// whole machine, so that removing a user's registration would also remove the
// machine's. The redirection holds for the whole process while it lasts;
// registration runs in a registration tool or an installer.
class ClassesRootOverride {
public:
    explicit ClassesRootOverride(HKEY userClasses) noexcept
        : m_rc(RegOverridePredefKey(HKEY_CLASSES_ROOT, userClasses))
    {
    }
    ~ClassesRootOverride()
    {
        if (m_rc == ERROR_SUCCESS)
            RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    }
    ClassesRootOverride(const ClassesRootOverride&) = delete;
    ClassesRootOverride& operator=(const ClassesRootOverride&) = delete;
    HRESULT result() const noexcept { return FromWin32(m_rc); }

private:
    LONG m_rc;
};

// Runs fn with HKEY_CLASSES_ROOT pointing at the user's classes for Scope::User.
template <class Fn>
HRESULT InScope(Scope scope, Fn fn)
{
    if (scope == Scope::Machine)
        return fn();
    kex::unique_hkey classes;
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, kUserClasses, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, classes.put(), nullptr);
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    ClassesRootOverride redirect(classes.get());
    if (FAILED(redirect.result()))
        return redirect.result();
    return fn();
}

} // namespace

std::wstring Expand(const wchar_t* text, const Substitutions& subst)
{
    static const struct {
        const wchar_t* name;
        const std::wstring Substitutions::*value;
    } kNames[] = {
        {L"%CLSID%", &Substitutions::clsid},
        {L"%LIBID%", &Substitutions::libid},
        {L"%APPID%", &Substitutions::appid},
        {L"%MODULE%", &Substitutions::module},
    };
    std::wstring out;
    for (const wchar_t* p = text; *p;) {
        bool replaced = false;
        for (const auto& n : kNames) {
            std::size_t len = wcslen(n.name);
            if (wcsncmp(p, n.name, len) == 0) {
                out += subst.*(n.value);
                p += len;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            out += *p++;
    }
    return out;
}

HRESULT ApplyKeys(HKEY root, const RegKey* rows, std::size_t count, bool registering,
                  const Substitutions& subst) noexcept
{
    for (std::size_t i = 0; i < count; ++i) {
        HRESULT hr = registering ? WriteKey(root, rows[i], subst) : RemoveKey(root, rows[i], subst);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT OpenClassesRoot(Scope scope, ClassesRoot& root) noexcept
{
    if (scope == Scope::Machine) {
        root.key = HKEY_CLASSES_ROOT;
        return S_OK;
    }
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, kUserClasses, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, root.owned.put(), nullptr);
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    root.key = root.owned.get();
    return S_OK;
}

HRESULT RegisterTypeLibrary(Scope scope) noexcept
{
    try {
        kex::com_ptr<ITypeLib> lib;
        std::wstring from;
        if (HRESULT hr = CKexUSBPhoneModule::LoadOwnTypeLib(lib.put(), &from); FAILED(hr))
            return hr;
        const std::wstring helpDir = kex::directory_of(from);
        return InScope(scope, [&] {
            return RegisterTypeLib(lib.get(), const_cast<wchar_t*>(from.c_str()),
                                   helpDir.empty() ? nullptr : const_cast<wchar_t*>(helpDir.c_str()));
        });
    }
    KEX_CATCH_RETURN()
}

HRESULT UnregisterTypeLibrary(Scope scope) noexcept
{
    try {
        kex::com_ptr<ITypeLib> lib;
        if (HRESULT hr = CKexUSBPhoneModule::LoadOwnTypeLib(lib.put()); FAILED(hr))
            return hr;
        TLIBATTR* attr = nullptr;
        if (HRESULT hr = lib->GetLibAttr(&attr); FAILED(hr))
            return hr;
        TLIBATTR copy = *attr;
        lib->ReleaseTLibAttr(attr);
        wchar_t version[16];
        wsprintfW(version, L"\\%x.%x", copy.wMajorVerNum, copy.wMinorVerNum);
        std::wstring key = L"TypeLib\\" + GuidText(copy.guid) + version;
        return InScope(scope, [&] {
            // Not registered (any more): nothing to remove. The platform
            // would call that an error, each platform a different one.
            kex::unique_hkey registered;
            if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, registered.put()) != ERROR_SUCCESS)
                return S_OK;
            registered.reset();
            return UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
        });
    }
    KEX_CATCH_RETURN()
}

namespace {
HRESULT MakeSubstitutions(Substitutions& subst) noexcept
{
    try {
        subst.clsid = GuidText(CLSID_KexUSBPhone);
        subst.libid = GuidText(g_module.TypeLibId());
        subst.appid = g_module.AppId();
        return CKexUSBPhoneModule::FilePath(subst.module);
    }
    KEX_CATCH_RETURN()
}

// Both directions walk the same key table, then the type library.
HRESULT ApplyServer(Scope scope, bool registering) noexcept
{
    Substitutions subst;
    if (HRESULT hr = MakeSubstitutions(subst); FAILED(hr))
        return hr;
    ClassesRoot root;
    if (HRESULT hr = OpenClassesRoot(scope, root); FAILED(hr))
        return hr;
    if (HRESULT hr = ApplyKeys(root.key, kPhoneClassKeys, kPhoneClassKeyCount, registering, subst); FAILED(hr))
        return hr;
    return registering ? RegisterTypeLibrary(scope) : UnregisterTypeLibrary(scope);
}
} // namespace

HRESULT RegisterServer(Scope scope) noexcept { return ApplyServer(scope, true); }

HRESULT UnregisterServer(Scope scope) noexcept { return ApplyServer(scope, false); }

} // namespace kex_server
