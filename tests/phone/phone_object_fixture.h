// The phone object linked into a test program, with the recording adapters
// listed in a "USBPhone.ini" of the test's own.
#pragma once

#include "adapters/AdapterManager.h"
#include "phone/KexPhone.h"
#include "tests/adapters/recording_adapter.h"
#include "tests/phone/phone_fixture.h"

namespace phone_test {

const std::string kRecording = "recording_adapter.dll";
const std::string kRecording2 = "recording_adapter2.dll";

// A phone object whose adapters are listed in a "USBPhone.ini" of its own.
// The test loads the recording adapters itself, so their records outlive Stop.
class PhoneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_rec1 = LoadLibraryA((ExeDirectory() + kRecording).c_str());
        m_rec2 = LoadLibraryA((ExeDirectory() + kRecording2).c_str());
        ASSERT_NE(m_rec1, nullptr);
        ASSERT_NE(m_rec2, nullptr);
        rec = rec_bind(m_rec1);
        rec2 = rec_bind(m_rec2);
        ASSERT_TRUE(rec);
        rec.reset();
        rec2.reset();
        UseAdapters({"Alpha"});
        ASSERT_EQ(S_OK, KexUsbPhone::CreateInstance(nullptr, IID_IKexPhone, phone.put_void()));
    }
    void TearDown() override
    {
        if (phone)
            phone->Stop();
        phone.reset();
        CUSBManager::SetDirectoryOverride(std::string());
        FreeLibrary(m_rec1);
        FreeLibrary(m_rec2);
    }

    // Alpha is the first recording adapter, Beta the second.
    void UseAdapters(std::initializer_list<const char*> keys, const char* extra = "")
    {
        std::string ini = "[AdapterList]\r\n";
        for (const char* k : keys) {
            const std::string& dll = std::string(k) == "Beta" ? kRecording2 : kRecording;
            ini += std::string(k) + "=" + ExeDirectory() + dll + "\r\n";
        }
        ini += extra;
        m_dir.Write("USBPhone.ini", ini);
        CUSBManager::SetDirectoryOverride(m_dir.Path());
    }

    RecCommand Last(const RecAdapter& a) const
    {
        RecCommand c = {};
        RecState s = a.State();
        EXPECT_GT(s.recorded, 0);
        if (s.recorded > 0)
            a.getCommand(s.recorded - 1, &c);
        return c;
    }

    TempDir m_dir{"obj"};
    HMODULE m_rec1 = nullptr;
    HMODULE m_rec2 = nullptr;
    RecAdapter rec, rec2;
    kex::com_ptr<IKexPhone> phone;
};

} // namespace phone_test
