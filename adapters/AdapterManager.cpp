#include "adapters/AdapterManager.h"

#include "adapters/IniFile.h"

#define KEX_TRACE_FILE "AdapterManager"
#include "log/Trace.h"

#include <new>

namespace {

const char kIniName[] = "USBPhone.ini";
const char kComponentModule[] = "KexUSBPhone.dll";
const char kVarneFile[] = "usbadapter_varne.dll";

std::string& DirectoryOverride()
{
    static std::string directory;
    return directory;
}

std::string DirectoryOf(const std::string& file)
{
    const size_t slash = file.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

std::string WithBackslash(std::string dir)
{
    if (!dir.empty() && dir.back() != '\\' && dir.back() != '/')
        dir += '\\';
    return dir;
}

bool IsSlash(char c) { return c == '\\' || c == '/'; }

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// "C:\x", "C:x", "\x", "\\server\share\x".
bool IsAbsolute(const std::string& f)
{
    return (f.size() >= 2 && IsAsciiLetter(f[0]) && f[1] == ':') || (!f.empty() && IsSlash(f[0]));
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

bool IsFile(const std::string& path)
{
    const DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

// The loader adds ".dll" to a name without extension; the existence check must
// look for the same file.
std::string WithDefaultExtension(const std::string& file)
{
    const size_t slash = file.find_last_of("\\/");
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    return file.find('.', base) == std::string::npos ? file + ".dll" : file;
}

// Loads a library by full path. Its own dependencies are looked for beside it
// and in the default safe directories, never in the current directory.
HMODULE LoadByPath(const std::string& path)
{
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    const char* name = (n > 0 && n < sizeof full) ? full : path.c_str();
    HMODULE module =
        LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER) // a loader without these flags
        module = LoadLibraryExA(name, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module;
}

// The machine a library file was built for (IMAGE_FILE_MACHINE_...), or 0
// when it cannot be read or is not a library image.
WORD ImageMachine(const std::string& path)
{
    kex::unique_file file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
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
std::string LoadFailureReason(DWORD error, const std::string& path)
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

} // namespace

std::string KexHostDirectory()
{
    return DirectoryOf(kex::module_file_name<char>(nullptr));
}

std::string KexComponentDirectory()
{
    // Under another file name the handle is null and the host's name comes back.
    const std::string file = kex::module_file_name<char>(GetModuleHandleA(kComponentModule));
    const std::string dir = DirectoryOf(file);
    return dir.empty() ? std::string(".\\") : dir;
}

HMODULE KexLoadAdapterLibrary(const char* file, const std::string& componentDir, std::string* triedPath)
{
    std::string ignored;
    std::string& tried = triedPath ? *triedPath : ignored;
    tried.clear();
    // Found nowhere: fail the way the loader does, so the caller can tell why.
    SetLastError(ERROR_MOD_NOT_FOUND);
    const std::string name = file ? file : "";
    if (name.empty())
        return nullptr;
    if (IsAbsolute(name))
        return LoadByPath(tried = name);

    // ".\" (no directory found) is the current directory: never search it.
    const std::string component = IsAbsolute(componentDir) ? WithBackslash(componentDir) : std::string();
    if (name.find_first_of("\\/") != std::string::npos) {
        if (component.empty())
            return nullptr;
        return LoadByPath(tried = component + name);
    }

    std::vector<std::string> dirs;
    if (!component.empty())
        dirs.push_back(component);
    dirs.push_back(KexHostDirectory());
    char sys[MAX_PATH];
    UINT n = GetSystemDirectoryA(sys, sizeof sys);
    if (n > 0 && n < sizeof sys)
        dirs.push_back(WithBackslash(sys));
    n = GetWindowsDirectoryA(sys, sizeof sys);
    if (n > 0 && n < sizeof sys)
        dirs.push_back(WithBackslash(sys));

    const std::string probe = WithDefaultExtension(name);
    for (const std::string& dir : dirs) {
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
    try {
        UnLoad();
    } catch (...) {
        KEX_ERROR("UnLoad adapters failed.");
    }
}

int CUSBAdapter::load(const char* file, const char* name, KexDeviceCallback callback,
                      const char* componentDir)
{
    KEX_TRACE_SCOPE("CUSBAdapter::load");
    if (!file)
        file = "";
    if (m_module)
        UnLoad(); // a second load must not leak the first library
    std::string path;
    HMODULE module =
        KexLoadAdapterLibrary(file, componentDir ? std::string(componentDir) : KexComponentDirectory(), &path);
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
    if (!m_fnInitialize || !m_fnExeuteCmd) {
        UnLoad();
        KEX_ERROR("There is no Initialize or execute function in %s.", file);
        return 1;
    }

    // On failure the library stays loaded: the owner deletes this object and
    // "UnInitialize" still runs, so a half-started adapter can clean up.
    if (m_fnInitialize(callback) != 0) {
        KEX_ERROR("Intialize %s failed.", file);
        return 1;
    }
    m_name = name ? name : "";
    return 0;
}

int CUSBAdapter::execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    KEX_TRACE_SCOPE("CUSBAdapter::execute");
    if (!m_module || !m_fnExeuteCmd) {
        KEX_ERROR("m_module or m_fnExeuteCmd is null.");
        return 1;
    }
    return m_fnExeuteCmd(code, wParam, lParam);
}

void CUSBAdapter::UnLoad()
{
    KEX_TRACE_SCOPE("CUSBAdapter::UnLoad");
    if (m_module) {
        if (m_fnUnInitialize)
            m_fnUnInitialize();
        m_module.reset();
    }
    m_fnInitialize = nullptr;
    m_fnExeuteCmd = nullptr;
    m_fnUnInitialize = nullptr;
}

// ---- CUSBManager ----------------------------------------------------------

CUSBManager::CUSBManager()
{
    KEX_TRACE_SCOPE("CUSBManager::CUSBManager");
    const std::string& forced = DirectoryOverride();
    m_path = forced.empty() ? KexComponentDirectory() : forced;
}

void CUSBManager::SetDirectoryOverride(const std::string& directory)
{
    DirectoryOverride() = WithBackslash(directory);
}

CUSBManager::CUSBManager(const std::string& directory)
{
    KEX_TRACE_SCOPE("CUSBManager::CUSBManager");
    m_path = directory.empty() ? std::string(".\\") : WithBackslash(directory);
}

CUSBManager::~CUSBManager()
{
    KEX_TRACE_SCOPE("CUSBManager::~CUSBManager");
    try {
        UnLoad();
    } catch (...) {
        KEX_ERROR("UnLoad adapters failed.");
    }
}

int CUSBManager::Load(KexDeviceCallback callback)
{
    KEX_TRACE_SCOPE("CUSBManager::Load");
    const std::string iniPath = m_path + kIniName;
    CIniFile ini;
    if (!ini.Open(iniPath.c_str())) {
        KEX_ERROR("Open file %s failed.", iniPath.c_str());
        return 1;
    }
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
    if (adapter->load(file, name, callback, m_path.c_str()) != 0) {
        KEX_ERROR("Load %s failed, so delete it.", file ? file : "");
        return nullptr; // the destructor unloads what was loaded
    }
    return adapter;
}

int CUSBManager::execute(uint32_t code, uintptr_t wParam, uintptr_t lParam)
{
    KEX_TRACE_SCOPE("CUSBManager::execute");
    for (const auto& adapter : m_adapters) {
        if (adapter->execute(code, wParam, lParam) != 0)
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
