// The toolkit's owners: put() releases first, moves transfer, each resource is closed.
#include "win32/raii.h"

#include <gtest/gtest.h>

TEST(Raii, HandlePutReleasesFirstAndMoveTransfers)
{
    kex::unique_handle a(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(a);
    HANDLE* slot = a.put();
    EXPECT_FALSE(a);
    *slot = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(a);
    kex::unique_handle b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_TRUE(SetEvent(b.get()));
}

TEST(Raii, BstrAndVariantAreFreed)
{
    kex::unique_bstr s = kex::make_bstr(L"Alice");
    EXPECT_EQ(5u, SysStringLen(s.get()));
    kex::unique_variant v;
    v.vt = VT_BSTR;
    v.bstrVal = s.release();
    kex::unique_variant w(std::move(v));
    EXPECT_EQ(VT_EMPTY, v.vt);
    EXPECT_EQ(VT_BSTR, w.vt);
    EXPECT_EQ(VT_EMPTY, w.put()->vt);
}

TEST(Raii, RegistryKeyCloses)
{
    kex::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, key.put()));
    EXPECT_TRUE(key);
    key.reset();
    EXPECT_FALSE(key);
}
