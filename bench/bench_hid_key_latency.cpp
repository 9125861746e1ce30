// P6: from injecting a key press into the virtual HID headset until the
// host's sink has the OnKey event (through hidclass, hid.dll, the HID
// headset adapter's reader, the component and its event window), against a
// bare overlapped ReadFile of the same device measured in the same run.
//
//   bench_hid_key_latency <label>      run by scripts/bench.sh through <build>/hid-run
#include "tests/handsets/hid_headset/virtual_hid_device.h"
#include "tests/support/EventSubscription.h"
#include "tests/support/MessagePump.h"
#include "tests/support/files.h"

#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "KexUSBPhone_h.h"

namespace {

constexpr int kWarmup = 50;
constexpr int kPresses = 1000;
constexpr int kRounds = 10;
constexpr unsigned short kProduct = virtual_hid::kSplitReports; // keypad as one bit per key

double NowUs() { return test_support::Seconds() * 1e6; }

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Report 8 of the split layout with one keypad key down: each report is a
// new press, as the other key goes up in it.
std::vector<unsigned char> KeyReport(int i)
{
    const unsigned keys = 1u << (1 + i % 2); // keypad 1 and 2 in turn
    return {0x08, 0x00, static_cast<unsigned char>(keys & 0xFF), static_cast<unsigned char>(keys >> 8)};
}

// Counts events and stamps the OnKey ones, on the host's thread.
class Sink final : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, DIID_IKexPhoneEvents)) {
            *out = static_cast<IDispatch*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override
    {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (id == 2)
            lastKeyUs = NowUs();
        ++events;
        return S_OK;
    }
    long events = 0;
    double lastKeyUs = 0;
};

// Runs the host's message loop until the sink has n events; false after
// five seconds.
bool WaitEvents(const Sink& sink, long n)
{
    const double deadline = NowUs() + 5e6;
    for (;;) {
        test_support::PumpPending();
        if (sink.events >= n)
            return true;
        if (NowUs() > deadline)
            return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

int Fail(const char* what)
{
    std::printf("BENCH P6 hid-key-latency FAILED (%s)\n", what);
    return 1;
}

// One batch of presses read by a bare overlapped ReadFile; false on failure.
bool BareBatch(virtual_hid::Device& control, int presses, std::vector<double>* out)
{
    const std::vector<std::wstring> paths = virtual_hid::FindPaths(virtual_hid::kVendor, kProduct);
    if (paths.size() != 1)
        return false;
    HANDLE reader = CreateFileW(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    unsigned char buffer[64];
    bool ok = reader != INVALID_HANDLE_VALUE;
    for (int i = 0; ok && i < presses; ++i) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = done;
        ResetEvent(done);
        DWORD got = 0;
        if (!ReadFile(reader, buffer, 4, &got, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
            ok = false;
            break;
        }
        const double start = NowUs();
        control.Inject(KeyReport(i));
        ok = WaitForSingleObject(done, 5000) == WAIT_OBJECT_0 && GetOverlappedResult(reader, &overlapped, &got, FALSE);
        if (ok && out)
            out->push_back(NowUs() - start);
    }
    CloseHandle(done);
    if (reader != INVALID_HANDLE_VALUE)
        CloseHandle(reader);
    return ok;
}

// One batch through the adapter and the component, from Start to Stop.
bool AdapterBatch(IKexPhone* phone, virtual_hid::Device& control, int presses, std::vector<double>* out)
{
    Sink sink;
    test_support::EventSubscription events;
    bool ok = SUCCEEDED(events.Advise(phone, DIID_IKexPhoneEvents, &sink)) && SUCCEEDED(phone->Start()) &&
              WaitEvents(sink, 1);
    for (int i = 0; ok && i < presses; ++i) {
        const long before = sink.events;
        const double start = NowUs();
        control.Inject(KeyReport(i));
        // OnKey, then OnAction(NUMBER): the host is idle again after both.
        ok = WaitEvents(sink, before + 2);
        if (ok && out)
            out->push_back(sink.lastKeyUs - start);
    }
    phone->Stop();
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    const char* label = argc > 1 ? argv[1] : "wine";
    virtual_hid::Device control(kProduct);
    if (!control.IsOpen())
        return Fail("no virtual HID headset 1209:b002 in this prefix");

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::string bin = test_support::ExeDirectory() + "..\\bin\\";
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string dir = std::string(temp) + "kex_bench_hid_" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    for (const char* f : {"KexUSBPhone.dll", "hid_headset.dll"})
        if (!CopyFileA((bin + f).c_str(), (dir + f).c_str(), FALSE))
            return Fail("copying the component");
    test_support::WriteFile(dir + "USBPhone.ini",
                            "[AdapterList]\r\nHeadset=hid_headset.dll\r\n[HidHeadset]\r\nInclude=1209:b002\r\n");
    HMODULE dll = LoadLibraryA((dir + "KexUSBPhone.dll").c_str());
    auto getClassObject = dll ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
                                    GetProcAddress(dll, "DllGetClassObject"))
                              : nullptr;
    IClassFactory* factory = nullptr;
    IKexPhone* phone = nullptr;
    if (!getClassObject || FAILED(getClassObject(CLSID_KexUSBPhone, IID_IClassFactory, (void**)&factory)) ||
        FAILED(factory->CreateInstance(nullptr, IID_IKexPhone, (void**)&phone)))
        return Fail("creating the phone object");

    // Batches in turn, so both see the same load on a shared machine; the
    // bare reader reads while the adapter is stopped.
    std::vector<double> bare, ours;
    if (!BareBatch(control, kWarmup, nullptr) || !AdapterBatch(phone, control, kWarmup, nullptr))
        return Fail("warming up");
    for (int round = 0; round < kRounds; ++round) {
        if (!BareBatch(control, kPresses / kRounds, &bare))
            return Fail("bare read");
        if (!AdapterBatch(phone, control, kPresses / kRounds, &ours))
            return Fail("key event through the adapter");
    }
    phone->Release();
    factory->Release();
    FreeLibrary(dll);
    for (const char* f : {"KexUSBPhone.dll", "hid_headset.dll", "USBPhone.ini"})
        DeleteFileA((dir + f).c_str());
    test_support::RemoveTree(dir);
    CoUninitialize();

    const double oursUs = Median(ours), bareUs = Median(bare);
    std::printf("BENCH P6 hid-key-latency ratio=%.2f (%s: injected key press to the host's OnKey, median %.1f us; "
                "bare overlapped ReadFile of the same virtual HID headset, median %.1f us; %d presses each in %d "
                "alternating batches; goal <= 2.0)\n",
                oursUs / bareUs, label, oursUs, bareUs, kPresses, kRounds);
    return 0;
}
