// CUSBAdapter and CUSBManager: where an adapter library is looked for, the
// calls into it, and the set bound from "USBPhone.ini".
#include "adapters/AdapterManager.h"

#include "adapters/IniFile.h"
#include "win32/path.h"
#include "win32/text.h"

#define KEX_TRACE_FILE "AdapterManager"
#include "log/Trace.h"

#include <new>
#include <utility>

namespace {

const char kIniName[] = "USBPhone.ini";
const char kComponentModule[] = "KexUSBPhone.dll";
const char kVarneFile[] = "usbadapter_varne.dll";

std::wstring& DirectoryOverride()
{
    static std::wstring directory;
    return directory;
}

std::wstring WithBackslash(std::wstring dir)
{
    if (!dir.empty() && dir.back() != L'\\' && dir.back() != L'/')
        dir += L'\\';
    return dir;
}

bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// "C:\x", "C:x", "\x", "\\server\share\x".
bool IsAbsolute(const std::wstring& f)
{
    return (f.size() >= 2 && IsAsciiLetter(f[0]) && f[1] == L':') || (!f.empty() && IsSlash(f[0]));
}

bool EqualsNoCase(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return i == a.size() && !b[i];
}

// The full form of a path, without the MAX_PATH limit of a fixed buffer.
std::wstring FullPath(const std::wstring& path)
{
    std::wstring full(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (n == 0)
            return path;
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.assign(n + 1, L'\0');
    }
    return path;
}

bool IsFile(const std::wstring& path)
{
    const DWORD attr = GetFileAttributesW(kex::long_path(path).c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

// The loader adds ".dll" to a name without extension; the existence check must
// look for the same file.
std::wstring WithDefaultExtension(const std::wstring& file)
{
    const size_t slash = file.find_last_of(L"\\/");
    const size_t base = slash == std::wstring::npos ? 0 : slash + 1;
    return file.find(L'.', base) == std::wstring::npos ? file + L".dll" : file;
}

// Loads a library by full path. Its own dependencies are looked for beside it
// and in the default safe directories, never in the current directory.
HMODULE LoadByPath(const std::wstring& path)
{
    const std::wstring name = kex::long_path(FullPath(path));
    HMODULE module =
        LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER) // a loader without these flags
        module = LoadLibraryExW(name.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module;
}

// The machine a library file was built for (IMAGE_FILE_MACHINE_...), or 0
// when it cannot be read or is not a library image.
WORD ImageMachine(const std::wstring& path)
{
    kex::unique_file file(CreateFileW(kex::long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return 0;
    auto readAt = [&](LONG offset, void* out, DWORD size) {
        DWORD got = 0;
        return SetFilePointer(file.get(), offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
               ReadFile(file.get(), out, size, &got, nullptr) && got == size;
    };
    IMAGE_DOS_HEADER dos;
    if (!readAt(0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0)
        return 0;
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER file;
    } nt;
    if (!readAt(dos.e_lfanew, &nt, sizeof nt) || nt.signature != IMAGE_NT_SIGNATURE)
        return 0;
    return nt.file.Machine;
}

// What a failed library load means, for the record after "LoadLibrary %s failed.".
std::string LoadFailureReason(DWORD error, const std::wstring& path)
{
#ifdef _WIN64
    const WORD ownMachine = IMAGE_FILE_MACHINE_AMD64;
#else
    const WORD ownMachine = IMAGE_FILE_MACHINE_I386;
#endif
    switch (error) {
    case ERROR_BAD_EXE_FORMAT: {
        const WORD machine = path.empty() ? 0 : ImageMachine(path);
        if (machine == IMAGE_FILE_MACHINE_I386 && ownMachine != machine)
            return "wrong architecture: a 32-bit library in a 64-bit process";
        if (machine == IMAGE_FILE_MACHINE_AMD64 && ownMachine != machine)
            return "wrong architecture: a 64-bit library in a 32-bit process";
        return "not a library for this process";
    }
    case ERROR_MOD_NOT_FOUND:
        return "the file, or a library it needs, was not found";
    case ERROR_PROC_NOT_FOUND:
        return "a library it needs lacks a function it uses";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_DLL_INIT_FAILED:
        return "its start-up code failed";
    default:
        return std::string();
    }
}

std::wstring SystemDirectory(UINT(WINAPI* get)(LPWSTR, UINT))
{
    wchar_t dir[MAX_PATH];
    const UINT n = get(dir, MAX_PATH);
    return n > 0 && n < MAX_PATH ? WithBackslash(std::wstring(dir, n)) : std::wstring();
}

// Every call into an adapter passes here: Enter and Leave records name the
// adapter (so the last record before a crash inside it does too),
// and a C++ exception stops here as that adapter's failure, logged with its
// name, before anything of ours unwinds (the library stays loaded until the
// call has been left). Structured exceptions (an access violation) are not
// caught: gcc has no __try, and state left by a fault in foreign code cannot
// be trusted.
template <class Call>
int32_t AdapterBoundary(const std::string& name, const char* entry, Call call) noexcept
{
    KEX_LOG(TRACE_ENTER, "[%s] %s.", name.c_str(), entry);
    int32_t result = 1;
    try {
        result = call();
    } catch (...) {
        KEX_ERROR("[%s] %s threw an exception.", name.c_str(), entry);
    }
    KEX_LOG(TRACE_LEAVE, "[%s] %s.", name.c_str(), entry);
    return result;
}

// A destructor unloads what is bound; an exception stops here, logged.
template <class Owner>
void UnLoadInDestructor(Owner& owner) noexcept
{
    try {
        owner.UnLoad();
    } catch (...) {
        KEX_ERROR("UnLoad adapters failed.");
    }
}

// The address range of a loaded library's image: its callbacks come from code
// inside it. Empty when the headers cannot be read.
std::pair<const void*, const void*> ImageRange(HMODULE module)
{
    const char* base = reinterpret_cast<const char*>(module);
    if (!base)
        return {nullptr, nullptr};
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0)
        return {nullptr, nullptr};
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return {nullptr, nullptr};
    return {base, base + nt->OptionalHeader.SizeOfImage};
}

// A device id for a record (ANSI code page, as the log is written).
std::string ForLog(const std::u16string& id) { return kex::narrow(kex::widen(id)); }

} // namespace

std::wstring KexComponentDirectoryW()
{
    // Under another file name the handle is null and the host's name comes back.
    const std::wstring dir = kex::module_directory<wchar_t>(GetModuleHandleA(kComponentModule));
    return dir.empty() ? std::wstring(L".\\") : dir;
}

HMODULE KexLoadAdapterLibraryW(const std::wstring& name, const std::wstring& componentDir, std::wstring* triedPath)
{
    std::wstring ignored;
    std::wstring& tried = triedPath ? *triedPath : ignored;
    tried.clear();
    // Found nowhere: fail the way the loader does, so the caller can tell why.
    SetLastError(ERROR_MOD_NOT_FOUND);
    if (name.empty())
        return nullptr;
    if (IsAbsolute(name))
        return LoadByPath(tried = name);

    // ".\" (no directory found) is the current directory: never search it.
    const std::wstring component = IsAbsolute(componentDir) ? WithBackslash(componentDir) : std::wstring();
    if (name.find_first_of(L"\\/") != std::wstring::npos) {
        if (component.empty())
            return nullptr;
        return LoadByPath(tried = component + name);
    }

    const std::wstring dirs[] = {component, kex::module_directory<wchar_t>(nullptr),
                                 SystemDirectory(&GetSystemDirectoryW), SystemDirectory(&GetWindowsDirectoryW)};
    const std::wstring probe = WithDefaultExtension(name);
    for (const std::wstring& dir : dirs) {
        if (dir.empty() || !IsFile(dir + probe))
            continue;
        return LoadByPath(tried = dir + name);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// ---- CUSBAdapter ----------------------------------------------------------

CUSBAdapter::CUSBAdapter() : m_fnInitialize(nullptr), m_fnExeuteCmd(nullptr), m_fnUnInitialize(nullptr)
{
    KEX_TRACE_SCOPE("CUSBAdapter::CUSBAdapter");
}

CUSBAdapter::~CUSBAdapter()
{
    KEX_TRACE_SCOPE("CUSBAdapter::~CUSBAdapter");
    UnLoadInDestructor(*this);
}

int CUSBAdapter::load(const char* file, const char* name, KexDeviceCallback callback,
                      const char* componentDir)
{
    return load(file, name, callback, componentDir ? kex::widen(componentDir) : KexComponentDirectoryW());
}

int CUSBAdapter::load(const char* file, const char* name, KexDeviceCallback callback,
                      const std::wstring& componentDir, AdapterDevices* devices)
{
    KEX_TRACE_SCOPE("CUSBAdapter::load");
    if (!file)
        file = "";
    if (m_module)
        UnLoad(); // a second load must not leak the first library
    std::wstring path;
    HMODULE module = KexLoadAdapterLibraryW(kex::widen(file), componentDir, &path);
    const DWORD error = GetLastError();
    m_module.reset(module);
    if (!m_module) {
        KEX_ERROR("LoadLibrary %s failed.", file);
        // The same record for a missing file and a library of the wrong
        // architecture: the next one tells them apart.
        const std::string reason = LoadFailureReason(error, path);
        if (reason.empty())
            KEX_ERROR("LoadLibrary %s: system error %lu.", file, static_cast<unsigned long>(error));
        else
            KEX_ERROR("LoadLibrary %s: system error %lu (%s).", file, static_cast<unsigned long>(error),
                      reason.c_str());
        return 1;
    }

    m_fnInitialize = reinterpret_cast<KexIntializeFn>(GetProcAddress(m_module.get(), KEX_ADAPTER_INITIALIZE_NAME));
    m_fnExeuteCmd = reinterpret_cast<KexExecuteFn>(GetProcAddress(m_module.get(), KEX_ADAPTER_EXECUTE_NAME));
    m_fnUnInitialize =
        reinterpret_cast<KexUnInitializeFn>(GetProcAddress(m_module.get(), KEX_ADAPTER_UNINITIALIZE_NAME));
    const std::string key = name ? name : "";
    m_devices = devices;
    if (!m_devices) {
        m_ownDevices = std::make_unique<AdapterDevices>();
        m_devices = m_ownDevices.get();
    }
    m_version = NegotiateVersion(file, key);
    // A version-2 adapter needs its version-1 entry points only for older
    // components.
    if (m_version < 2 && (!m_fnInitialize || !m_fnExeuteCmd)) {
        UnLoad();
        KEX_ERROR("There is no Initialize or execute function in %s.", file);
        return 1;
    }
    // Listed before it starts: it may report from its initialisation on.
    ListDevices(key);

    // On failure the library stays loaded: the owner deletes this object and
    // "UnInitialize" still runs, so a half-started adapter can clean up.
    if (m_version >= 2) {
        auto initialize2 = reinterpret_cast<KexInitialize2Fn>(GetProcAddress(m_module.get(), KEX_ADAPTER_INITIALIZE2_NAME));
        m_host.size = sizeof m_host;
        m_host.version = static_cast<uint32_t>(m_version);
        m_host.context = this;
        m_host.Report = &CUSBAdapter::HostReport;
        m_host.DescribeDevice = &CUSBAdapter::HostDescribeDevice;
        if (AdapterBoundary(key, KEX_ADAPTER_INITIALIZE2_NAME, [&] { return initialize2(&m_host); }) != 0) {
            KEX_ERROR("KexInitialize2 %s failed.", file);
            return 1;
        }
    } else {
        KexIntializeFn intialize = m_fnInitialize;
        if (AdapterBoundary(key, "Intialize", [&] { return intialize(callback); }) != 0) {
            KEX_ERROR("Intialize %s failed.", file);
            return 1;
        }
    }
    m_name = key;
    return 0;
}

int CUSBAdapter::NegotiateVersion(const char* file, const std::string& key)
{
    auto version = reinterpret_cast<KexAdapterVersionFn>(GetProcAddress(m_module.get(), KEX_ADAPTER_VERSION_NAME));
    if (!version)
        return 1;
    const int32_t declared = AdapterBoundary(key, KEX_ADAPTER_VERSION_NAME, [&] { return version(); });
    if (declared < 2)
        return 1;
    m_fnExecute2 = reinterpret_cast<KexExecute2Fn>(GetProcAddress(m_module.get(), KEX_ADAPTER_EXECUTE2_NAME));
    if (!m_fnExecute2 || !GetProcAddress(m_module.get(), KEX_ADAPTER_INITIALIZE2_NAME)) {
        m_fnExecute2 = nullptr;
        KEX_ERROR("%s declares contract version %ld without KexInitialize2 and KexExecute2: bound as version 1.",
                  file, static_cast<long>(declared));
        return 1;
    }
    const int spoken = declared < KEX_CONTRACT_VERSION ? declared : KEX_CONTRACT_VERSION;
    KEX_INFO("%s speaks contract version %d.", file, spoken);
    return spoken;
}

void CUSBAdapter::ListDevices(const std::string& key)
{
    const auto image = ImageRange(m_module.get());
    auto lock = m_devices->lock.lock_exclusive();
    m_deviceEntry = m_devices->list.AddAdapter(kex::utf16(kex::widen(key)), m_version, image.first, image.second);
}

int32_t KEX_CDECL CUSBAdapter::HostReport(void* context, const char* deviceId, uint32_t msg, uint32_t wParam,
                                          int32_t lParam)
{
    KEX_TRACE_SCOPE("CUSBAdapter::Report");
    auto* self = static_cast<CUSBAdapter*>(context);
    if (!self || !self->m_deviceEntry)
        return 0;
    try {
        std::u16string device;
        bool endedSelection = false;
        KexDeviceReportFn report;
        {
            auto lock = self->m_devices->lock.lock_exclusive();
            device = self->m_devices->list.Report(*self->m_deviceEntry, deviceId, msg, wParam, &endedSelection);
            report = self->m_devices->report;
        }
        if (endedSelection)
            KEX_INFO("Active device %s unplugged: commands go to every device.", ForLog(device).c_str());
        if (report)
            report(device, msg, wParam, lParam);
    } catch (...) {
        KEX_ERROR("A device report could not be handled.");
    }
    return 0;
}

int32_t KEX_CDECL CUSBAdapter::HostDescribeDevice(void* context, const KexDeviceInfo* device)
{
    KEX_TRACE_SCOPE("CUSBAdapter::DescribeDevice");
    auto* self = static_cast<CUSBAdapter*>(context);
    if (!self || !self->m_deviceEntry)
        return 1;
    try {
        bool taken;
        {
            auto lock = self->m_devices->lock.lock_exclusive();
            taken = self->m_devices->list.Describe(*self->m_deviceEntry, device);
        }
        if (!taken)
            KEX_ERROR("A device description was refused: no record, too small, no id, or too many devices.");
        return taken ? 0 : 1;
    } catch (...) {
        KEX_ERROR("A device description could not be kept.");
        return 1;
    }
}

int CUSBAdapter::execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    return execute(nullptr, code, wParam, lParam);
}

int CUSBAdapter::execute(const char* deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    KEX_TRACE_SCOPE("CUSBAdapter::execute");
    const KexExecute2Fn execute2 = m_version >= 2 ? m_fnExecute2 : nullptr;
    const KexExecuteFn execute1 = m_version >= 2 ? nullptr : m_fnExeuteCmd;
    if (!m_module || (!execute2 && !execute1)) {
        KEX_ERROR("m_module or m_fnExeuteCmd is null.");
        return 1;
    }
    if (execute2)
        return AdapterBoundary(m_name, KEX_ADAPTER_EXECUTE2_NAME,
                               [&] { return execute2(deviceId, code, wParam, lParam); });
    return AdapterBoundary(m_name, "execute", [&] { return execute1(code, wParam, lParam); });
}

void CUSBAdapter::UnLoad()
{
    KEX_TRACE_SCOPE("CUSBAdapter::UnLoad");
    if (m_module) {
        // Cleared first: an adapter that pumps messages in "UnInitialize" may
        // lead a handler back here, and nothing may call it again.
        KexUnInitializeFn unInitialize = m_fnUnInitialize;
        m_fnInitialize = nullptr;
        m_fnExeuteCmd = nullptr;
        m_fnUnInitialize = nullptr;
        m_fnExecute2 = nullptr;
        if (unInitialize)
            AdapterBoundary(m_name, "UnInitialize", [&] { return unInitialize(); });
        m_module.reset();
    }
    m_fnInitialize = nullptr;
    m_fnExeuteCmd = nullptr;
    m_fnUnInitialize = nullptr;
    m_fnExecute2 = nullptr;
    // No report can come any more: "UnInitialize" has returned.
    if (m_deviceEntry) {
        auto lock = m_devices->lock.lock_exclusive();
        m_devices->list.RemoveAdapter(m_deviceEntry);
        m_deviceEntry = nullptr;
    }
}

// ---- CUSBManager ----------------------------------------------------------

CUSBManager::CUSBManager()
{
    KEX_TRACE_SCOPE("CUSBManager::CUSBManager");
    const std::wstring& forced = DirectoryOverride();
    m_wpath = forced.empty() ? KexComponentDirectoryW() : forced;
    m_path = kex::narrow(m_wpath);
}

void CUSBManager::SetDirectoryOverride(const std::string& directory)
{
    DirectoryOverride() = WithBackslash(kex::widen(directory));
}

CUSBManager::CUSBManager(const std::string& directory) : CUSBManager(kex::widen(directory)) {}

CUSBManager::CUSBManager(const std::wstring& directory)
{
    KEX_TRACE_SCOPE("CUSBManager::CUSBManager");
    m_wpath = directory.empty() ? std::wstring(L".\\") : WithBackslash(directory);
    m_path = kex::narrow(m_wpath);
}

CUSBManager::~CUSBManager()
{
    KEX_TRACE_SCOPE("CUSBManager::~CUSBManager");
    UnLoadInDestructor(*this);
}

int CUSBManager::Load(KexDeviceCallback callback, KexDeviceReportFn report)
{
    KEX_TRACE_SCOPE("CUSBManager::Load");
    {
        auto lock = m_devices->lock.lock_exclusive();
        m_devices->report = report;
    }
    const std::string iniPath = m_path + kIniName; // for messages
    CIniFile ini;
    if (!ini.Open(kex::long_path(m_wpath + kex::widen(kIniName)).c_str())) {
        KEX_ERROR("Open file %s failed.", iniPath.c_str());
        return 1;
    }
    if (ini.Truncated())
        KEX_ERROR("%s is larger than %u bytes: the rest is ignored.", iniPath.c_str(),
                  static_cast<unsigned>(CIniFile::kMaxFileBytes));
    IniEntries list;
    if (ini.GetSection("AdapterList", list) == 0) {
        KEX_ERROR("There is no section [AdapterList].");
        return 1;
    }
    const bool varneAllowed = ini.GetValue("Common", "UseVarneUSBPhone") == "1";

    // The map's order (key bytes, unsigned) is the binding order.
    for (const auto& entry : list) {
        if (!varneAllowed && EqualsNoCase(entry.second, kVarneFile)) {
            KEX_INFO("Do not use USBAdapter_Varne.dll.");
            continue;
        }
        std::unique_ptr<CUSBAdapter> adapter = InitAdapter(entry.second.c_str(), entry.first.c_str(), callback);
        if (!adapter)
            continue;
        try {
            m_adapters.push_back(std::move(adapter));
        } catch (const std::bad_alloc&) {
            // No room to keep it: the adapter is unbound again and skipped.
        }
    }
    return m_adapters.empty() ? 1 : 0;
}

std::unique_ptr<CUSBAdapter> CUSBManager::InitAdapter(const char* file, const char* name,
                                                      KexDeviceCallback callback)
{
    KEX_TRACE_SCOPE("CUSBManager::InitAdapter");
    std::unique_ptr<CUSBAdapter> adapter(new (std::nothrow) CUSBAdapter);
    if (!adapter)
        return nullptr;
    if (adapter->load(file, name, callback, m_wpath, m_devices.get()) != 0) {
        KEX_ERROR("Load %s failed, so delete it.", file ? file : "");
        return nullptr; // the destructor unloads what was loaded
    }
    return adapter;
}

int CUSBManager::execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    KEX_TRACE_SCOPE("CUSBManager::execute");
    DeviceList::Target target;
    {
        auto lock = m_devices->lock.lock_exclusive();
        target = m_devices->list.CommandTarget();
    }
    const char* device = target.adapter && !target.wholeAdapter ? target.localId.c_str() : nullptr;
    for (const auto& adapter : m_adapters) {
        if (target.adapter && adapter->DeviceEntry() != target.adapter)
            continue;
        // A version-1 adapter is never sent a code it does not know.
        if (adapter->Version() < 2 && code > KEX_CMD_LAST)
            continue;
        if (adapter->execute(device, code, wParam, lParam) != 0)
            KEX_ERROR("[%s] execute cmd failed.", adapter->GetName().c_str());
    }
    return m_adapters.empty() ? 1 : 0;
}

std::string CUSBManager::GetUSBName() const
{
    KEX_TRACE_SCOPE("CUSBManager::GetUSBName");
    return m_adapters.size() == 1 ? m_adapters.front()->GetName() : std::string();
}

void CUSBManager::UnLoad()
{
    KEX_TRACE_SCOPE("CUSBManager::UnLoad");
    for (auto& adapter : m_adapters) {
        if (adapter) {
            adapter->UnLoad();
            adapter.reset();
        }
    }
    m_adapters.clear();
}

// ---- devices ----------------------------------------------------------------

std::vector<std::u16string> CUSBManager::DeviceIds() const
{
    auto lock = m_devices->lock.lock_exclusive();
    return m_devices->list.Ids();
}

bool CUSBManager::FindDevice(std::u16string_view id, DeviceFields& out) const
{
    auto lock = m_devices->lock.lock_exclusive();
    return m_devices->list.Find(id, out);
}

bool CUSBManager::SelectDevice(std::u16string_view id)
{
    auto lock = m_devices->lock.lock_exclusive();
    return m_devices->list.Select(id);
}

std::u16string CUSBManager::SelectedDevice() const
{
    auto lock = m_devices->lock.lock_exclusive();
    return m_devices->list.Selected();
}

std::u16string CUSBManager::DeviceOfCode(const void* address) const
{
    auto lock = m_devices->lock.lock_exclusive();
    return m_devices->list.DeviceOfCode(address);
}
