// The module object: its lock count and the global interface table.
#include "module/Module.h"

#include "win32/raii.h"

#include "KexUSBPhone_h.h"

#include <gtest/gtest.h>

namespace {

TEST(Module, LockCountFromManyThreads)
{
    EXPECT_EQ(0, g_module.GetLockCount());
    EXPECT_EQ(1, g_module.Lock());
    EXPECT_EQ(2, g_module.Lock());
    EXPECT_EQ(1, g_module.Unlock());

    // Interlocked: a thousand locks and unlocks on each of four threads leave
    // the count where it was.
    struct Worker {
        static DWORD WINAPI Run(void*)
        {
            for (int i = 0; i < 1000; ++i) {
                g_module.Lock();
                g_module.Unlock();
            }
            return 0;
        }
    };
    HANDLE threads[4];
    for (HANDLE& t : threads)
        t = CreateThread(nullptr, 0, &Worker::Run, nullptr, 0, nullptr);
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (HANDLE t : threads)
        CloseHandle(t);
    EXPECT_EQ(1, g_module.GetLockCount());
    EXPECT_EQ(0, g_module.Unlock());
}

TEST(Module, TypeLibraryIdentity)
{
    EXPECT_TRUE(IsEqualGUID(LIBID_KexUSBPhone, g_module.TypeLibId()));
    EXPECT_STREQ(L"", g_module.AppId());
}

TEST(Module, GlobalInterfaceTableIsMadeOnceAndShared)
{
    CoInitialize(nullptr);
    EXPECT_EQ(E_POINTER, g_module.GetGITPtr(nullptr));
    kex::com_ptr<IGlobalInterfaceTable> a, b;
    ASSERT_EQ(S_OK, g_module.GetGITPtr(a.put()));
    ASSERT_EQ(S_OK, g_module.GetGITPtr(b.put()));
    ASSERT_TRUE(a);
    EXPECT_EQ(a.get(), b.get());
    a.reset();
    b.reset();
    CoUninitialize();
}

} // namespace
