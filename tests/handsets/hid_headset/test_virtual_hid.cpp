// The virtual HID headset itself, through Wine's HID stack: found by its
// ids, its reports read back with overlapped ReadFile, its output reports
// recorded for the tests and waited for; the named headsets with the report
// descriptor, product string and serial number they were installed with.
#include "tests/handsets/hid_headset/virtual_hid_device.h"
#include "win32/text.h"

#include <gtest/gtest.h>

#include <cwchar>

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
        hid_headset::unique_preparsed_data preparsed;
        ASSERT_TRUE(HidD_GetPreparsedData(device.Handle(), preparsed.put()));
        HIDP_CAPS caps = {};
        EXPECT_EQ(HIDP_STATUS_SUCCESS, HidP_GetCaps(preparsed.get(), &caps));
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
    ASSERT_EQ(1u, FindPaths(kVendor, kSingleReport).size());
    Reader reader(kSingleReport);
    ASSERT_TRUE(reader.IsOpen());
    for (unsigned char key = 1; key <= 3; ++key) {
        SCOPED_TRACE(key);
        // The read is pending before the report comes, as an adapter's is.
        ASSERT_TRUE(reader.Begin(3)) << GetLastError();
        ASSERT_TRUE(control.Inject({0x02, 0x01, key}));
        std::vector<unsigned char> report;
        ASSERT_TRUE(reader.End(5000, report)) << "the injected report did not reach the reader within 5 s";
        EXPECT_EQ((std::vector<unsigned char>{0x02, 0x01, key}), report);
    }
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

TEST(VirtualHid, ANamedHeadsetServesItsDescriptorNameAndSerialNumber)
{
    for (const NamedHeadset& headset : {kHeadset2453, kHeadset0082, kHeadsetC053, kHeadsetProgrammable}) {
        SCOPED_TRACE(headset.descriptor);
        const ReportDescriptor descriptor = DescriptorOf(headset);
        ASSERT_TRUE(descriptor.Valid());
        Device device(headset.product);
        ASSERT_TRUE(device.IsOpen());
        hid_headset::unique_preparsed_data preparsed;
        ASSERT_TRUE(HidD_GetPreparsedData(device.Handle(), preparsed.put()));
        HIDP_CAPS caps = {};
        ASSERT_EQ(HIDP_STATUS_SUCCESS, HidP_GetCaps(preparsed.get(), &caps));
        EXPECT_EQ(0x0B, caps.UsagePage);
        EXPECT_EQ(descriptor.Length(ReportKind::kInput), caps.InputReportByteLength);
        EXPECT_EQ(descriptor.Length(ReportKind::kOutput), caps.OutputReportByteLength);
        wchar_t text[128] = {};
        ASSERT_TRUE(HidD_GetProductString(device.Handle(), text, sizeof text - sizeof text[0]));
        EXPECT_EQ(kex::widen(headset.name, CP_UTF8), std::wstring(text));
        std::fill(std::begin(text), std::end(text), L'\0');
        const bool hasSerial = HidD_GetSerialNumberString(device.Handle(), text, sizeof text - sizeof text[0]);
        EXPECT_EQ(*headset.serial != 0, hasSerial != FALSE);
        if (hasSerial) {
            EXPECT_EQ(kex::widen(headset.serial, CP_UTF8), std::wstring(text));
        }
    }
}

TEST(VirtualHid, AWaitForOutputEndsWithTheNextOutputReportsOrWhenCancelled)
{
    Device device(kSplitReports);
    ASSERT_TRUE(device.IsOpen());
    device.TakeOutput();
    OutputWatch watch(kSplitReports);
    ASSERT_TRUE(watch.IsOpen());
    ASSERT_TRUE(watch.Begin()) << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(watch.Event(), 0)) << "ended with no output";
    unsigned char report[2] = {0x09, 0x05};
    ASSERT_TRUE(HidD_SetOutputReport(device.Handle(), report, sizeof report)) << GetLastError();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watch.Event(), 5000)) << "the wait did not end within 5 s";
    std::vector<OutputReport> out;
    ASSERT_TRUE(watch.End(out));
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ((std::vector<unsigned char>{0x09, 0x05}), out[0].bytes);
    EXPECT_TRUE(device.TakeOutput().empty()) << "a report handed to the wait stays recorded";
    // Output written before the wait: it ends at once.
    ASSERT_TRUE(HidD_SetOutputReport(device.Handle(), report, sizeof report)) << GetLastError();
    ASSERT_TRUE(watch.Begin()) << GetLastError();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watch.Event(), 5000)) << "the wait did not end within 5 s";
    ASSERT_TRUE(watch.End(out));
    EXPECT_EQ(1u, out.size());
    // Cancelled: it ends, and the next wait is taken again.
    ASSERT_TRUE(watch.Begin()) << GetLastError();
    watch.Cancel();
    ASSERT_TRUE(watch.Begin()) << GetLastError() << ": the cancelled wait is still held";
    watch.Cancel();
}

} // namespace
