// P4: a call-state command through the component, late bound, against the
// adapters' own "execute" called directly with the same texts.
//
// The log settings come from the "USBPhone.ini" beside the host program, read
// once when the component loads, so each setting runs in a child process
// started from a directory of its own: this program, the component, two
// recording adapters and a "USBPhone.ini" side by side.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KexUSBPhone_h.h"
#include "adapters/KexUSBAdapter.h"
#include "tests/support/files.h"

namespace {

const int kWarmup = 5000;
const int kBatches = 15;
const int kBatchCalls = 2000;

std::string Directory(HMODULE module)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    std::string p(path);
    return p.substr(0, p.find_last_of('\\') + 1);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int Fail(const char* what, HRESULT hr = S_OK)
{
    std::fprintf(stderr, "bench_command: %s (0x%08lx)\n", what, static_cast<unsigned long>(hr));
    return 1;
}

// Runs in the prepared directory: measures and prints one BENCH line.
int Child(const char* id, const char* what)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::string dir = Directory(nullptr);
    HMODULE dll = LoadLibraryA((dir + "KexUSBPhone.dll").c_str());
    if (!dll)
        return Fail("KexUSBPhone.dll not loadable");
    auto getClassObject =
        reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(GetProcAddress(dll, "DllGetClassObject"));
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject ? getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, reinterpret_cast<void**>(&factory))
                                : E_FAIL;
    if (FAILED(hr))
        return Fail("no class object", hr);
    IKexPhone* phone = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IKexPhone, reinterpret_cast<void**>(&phone));
    factory->Release();
    if (FAILED(hr))
        return Fail("no phone object", hr);
    if (FAILED(hr = phone->Start()))
        return Fail("Start failed", hr);

    using ResetFn = void(KEX_CDECL*)();
    ResetFn reset[2] = {
        reinterpret_cast<ResetFn>(GetProcAddress(GetModuleHandleA("recording_adapter.dll"), "rec_reset")),
        reinterpret_cast<ResetFn>(GetProcAddress(GetModuleHandleA("recording_adapter2.dll"), "rec_reset"))};
    KexExecuteFn execute[2] = {
        reinterpret_cast<KexExecuteFn>(GetProcAddress(GetModuleHandleA("recording_adapter.dll"), "execute")),
        reinterpret_cast<KexExecuteFn>(GetProcAddress(GetModuleHandleA("recording_adapter2.dll"), "execute"))};
    if (!execute[0] || !execute[1] || !reset[0] || !reset[1])
        return Fail("adapters not bound");

    // Link("Alice", "100") as a script would call it.
    VARIANT args[2];
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = SysAllocString(L"100");
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = SysAllocString(L"Alice");
    DISPPARAMS params = {args, nullptr, 2, 0};
    auto invoke = [&] {
        return phone->Invoke(6, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    };
    const char* name = "Alice";
    const char* number = "100";
    auto direct = [&] {
        int r = execute[0](KEX_CMD_LINK, reinterpret_cast<uintptr_t>(name), reinterpret_cast<uintptr_t>(number));
        return r | execute[1](KEX_CMD_LINK, reinterpret_cast<uintptr_t>(name), reinterpret_cast<uintptr_t>(number));
    };

    for (int i = 0; i < kWarmup; ++i) {
        if (i % kBatchCalls == 0) {
            reset[0]();
            reset[1]();
        }
        if (FAILED(invoke()) || direct() != 0)
            return Fail("a command failed while warming up");
    }
    // The adapters record every command of a batch (they keep the first 4096
    // after a reset and would only count the rest).
    std::vector<double> viaInvoke, viaDirect;
    for (int b = 0; b < kBatches; ++b) {
        reset[0]();
        reset[1]();
        double t0 = test_support::Seconds();
        for (int i = 0; i < kBatchCalls; ++i)
            invoke();
        double t1 = test_support::Seconds();
        for (int i = 0; i < kBatchCalls; ++i)
            direct();
        double t2 = test_support::Seconds();
        viaInvoke.push_back((t1 - t0) / kBatchCalls);
        viaDirect.push_back((t2 - t1) / kBatchCalls);
    }
    const double mi = Median(viaInvoke), md = Median(viaDirect);
    std::printf("BENCH %s %s ratio=%.2f (Link late bound with two BSTRs to two recording adapters %.2f us, their "
                "execute called directly with the same texts %.2f us, component's own share %.2f us; %s; median of %d "
                "batches of %d)\n",
                id, what, mi / md, mi * 1e6, md * 1e6, (mi - md) * 1e6,
                id[2] ? "default log settings" : "LogSwitch 0", kBatches, kBatchCalls);
    std::fflush(stdout);

    VariantClear(&args[0]);
    VariantClear(&args[1]);
    phone->Stop();
    phone->Release();
    CoUninitialize();
    return 0;
}

int RunIn(const char* tag, const char* common, const char* id, const char* what)
{
    const std::string bin = Directory(nullptr);
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, "%skex_bench_command_%s_%lu\\", temp, tag, GetCurrentProcessId());
    const std::string dir = name;
    CreateDirectoryA(dir.c_str(), nullptr);

    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    bool copied = CopyFileA(self, (dir + "bench_command.exe").c_str(), FALSE);
    for (const char* f : {"KexUSBPhone.dll", "recording_adapter.dll", "recording_adapter2.dll"})
        copied = copied && CopyFileA((bin + f).c_str(), (dir + f).c_str(), FALSE);
    const std::string ini = std::string("[Common]\r\n") + common +
                            "[AdapterList]\r\nAlpha=recording_adapter.dll\r\nBeta=recording_adapter2.dll\r\n";
    FILE* f = std::fopen((dir + "USBPhone.ini").c_str(), "wb");
    if (f) {
        std::fwrite(ini.data(), 1, ini.size(), f);
        std::fclose(f);
    }
    if (!copied || !f) {
        test_support::RemoveTree(dir);
        return Fail("cannot prepare the run directory");
    }

    std::string cmd = "\"" + dir + "bench_command.exe\" child " + id + " " + what;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    DWORD code = 1;
    if (CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(), &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    test_support::RemoveTree(dir);
    return static_cast<int>(code);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "child") == 0)
        return Child(argv[2], argv[3]);
    std::fflush(stdout);
    int status = RunIn("off", "LogSwitch=0\r\n", "P4", "command-invoke");
    status |= RunIn("default", "", "P4i", "command-invoke-default-log");
    return status;
}
