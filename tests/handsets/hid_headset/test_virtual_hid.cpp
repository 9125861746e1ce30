// The virtual HID headset itself, through Wine's HID stack: found by its
// ids, its reports read back with overlapped ReadFile, its output reports
// recorded for the tests.
#include "tests/handsets/hid_headset/virtual_hid_device.h"

#include <gtest/gtest.h>

namespace {

using namespace virtual_hid;

struct Layout {
    unsigned short product;
    USAGE page, usage;
    USHORT inputLength, outputLength;
};

TEST(VirtualHid, EachLayoutIsAHidDeviceOfItsOwn)
{
    const Layout layouts[] = {
        {kSingleReport, 0x0B, 0x05, 3, 2},
        {kSplitReports, 0x0B, 0x05, 4, 2},
        {kReportPerLed, 0x0B, 0x05, 4, 2},
        {kNotTelephony, 0x0C, 0x01, 2, 0},
    };
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.product);
        const std::vector<std::wstring> paths = FindPaths(kVendor, l.product);
        ASSERT_EQ(1u, paths.size());
        Device device(l.product);
        ASSERT_TRUE(device.IsOpen());
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        ASSERT_TRUE(HidD_GetPreparsedData(device.Handle(), &preparsed));
        HIDP_CAPS caps = {};
        EXPECT_EQ(HIDP_STATUS_SUCCESS, HidP_GetCaps(preparsed, &caps));
        HidD_FreePreparsedData(preparsed);
        EXPECT_EQ(l.page, caps.UsagePage);
        EXPECT_EQ(l.usage, caps.Usage);
        EXPECT_EQ(l.inputLength, caps.InputReportByteLength);
        EXPECT_EQ(l.outputLength, caps.OutputReportByteLength);
    }
}

TEST(VirtualHid, AnInjectedReportReachesAnOverlappedReader)
{
    Device control(kSingleReport);
    ASSERT_TRUE(control.IsOpen());
    const std::vector<std::wstring> paths = FindPaths(kVendor, kSingleReport);
    ASSERT_EQ(1u, paths.size());
    HANDLE reader = CreateFileW(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (unsigned char key = 1; key <= 3; ++key) {
        SCOPED_TRACE(key);
        OVERLAPPED overlapped = {};
        overlapped.hEvent = done;
        ResetEvent(done);
        unsigned char buffer[3] = {};
        DWORD got = 0;
        BOOL ok = ReadFile(reader, buffer, sizeof buffer, &got, &overlapped);
        ASSERT_TRUE(ok || GetLastError() == ERROR_IO_PENDING) << GetLastError();
        ASSERT_TRUE(control.Inject({0x02, 0x01, key}));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, 5000));
        ASSERT_TRUE(GetOverlappedResult(reader, &overlapped, &got, FALSE));
        EXPECT_EQ(3u, got);
        EXPECT_EQ(0x02, buffer[0]);
        EXPECT_EQ(0x01, buffer[1]);
        EXPECT_EQ(key, buffer[2]);
    }
    CloseHandle(done);
    CloseHandle(reader);
}

TEST(VirtualHid, OutputReportsAreRecordedWithTheirWay)
{
    Device device(kSplitReports);
    ASSERT_TRUE(device.IsOpen());
    device.TakeOutput();
    unsigned char setReport[2] = {0x09, 0x05};
    ASSERT_TRUE(HidD_SetOutputReport(device.Handle(), setReport, sizeof setReport)) << GetLastError();
    unsigned char written[2] = {0x09, 0x22};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(device.Handle(), written, sizeof written, &n, nullptr)) << GetLastError();
    const std::vector<OutputReport> out = device.TakeOutput();
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(VHID_OUT_SET_OUTPUT, out[0].kind);
    EXPECT_EQ((std::vector<unsigned char>{0x09, 0x05}), out[0].bytes);
    EXPECT_EQ(VHID_OUT_WRITE, out[1].kind);
    EXPECT_EQ((std::vector<unsigned char>{0x09, 0x22}), out[1].bytes);
    EXPECT_TRUE(device.TakeOutput().empty());
}

} // namespace
