// Contact information for the adapters: PutContactInfo from arrays the caller
// owns and PutContactInfoList from automation arrays, as one record.
#include "phone/KexPhone.h"

#include "tests/adapters/recording_adapter.h"
#include "tests/phone/phone_object_fixture.h"

using namespace phone_test;
using kex::com_ptr;
using kex::unique_bstr;

namespace {

TEST_F(PhoneTest, PutContactInfo)
{
    ASSERT_EQ(S_OK, phone->Start());
    unique_bstr t[5] = {Bstr(L"Bob"), Bstr(L"Work"), Bstr(L"Third"), Bstr(L"Fourth"), Bstr(L"Fifth")};
    BSTR texts[5] = {t[0].get(), t[1].get(), t[2].get(), t[3].get(), t[4].get()};
    LONG icons[5] = {-4, 7, 9, 11, 12};
    struct Case {
        const char* what;
        BSTR* info;
        LONG* icon;
        LONG line;
        HRESULT hr;
        const char* text[3];
        int32_t iconType[3];
    } cases[] = {
        {"line 2", texts, icons, 2, S_OK, {"Bob", "Work", ""}, {0, 7, 0}},
        {"line 5 reads three", texts, icons, 5, S_OK, {"Bob", "Work", "Third"}, {0, 7, 9}},
        {"line 1", texts + 1, icons + 1, 1, S_OK, {"Work", "", ""}, {7, 0, 0}},
        {"line 0", texts, icons, 0, E_INVALIDARG, {}, {}},
        {"line -1", texts, icons, -1, E_INVALIDARG, {}, {}},
        {"null texts", nullptr, icons, 1, E_INVALIDARG, {}, {}},
        {"null icons", texts, nullptr, 1, E_INVALIDARG, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        EXPECT_EQ(c.hr, phone->PutContactInfo(c.info, c.icon, c.line));
        if (FAILED(c.hr)) {
            EXPECT_EQ(0, rec.State().recorded);
            continue;
        }
        RecCommand got = Last(rec);
        EXPECT_EQ(13u, got.code);
        EXPECT_EQ(0u, got.lParam);
        ASSERT_TRUE(got.hasContact);
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(got.infoIsNull[i]) << i;
            EXPECT_STREQ(got.info[i], c.text[i]) << i;
            EXPECT_EQ(c.iconType[i], got.iconType[i]) << i;
        }
    }
}

// Arrays as automation clients make them: a SAFEARRAY of VARIANTs (a script's
// Array), of BSTRs or of longs, with any lower bound.
SAFEARRAY* VariantArray(std::initializer_list<VARIANT> items, LONG low = 0)
{
    SAFEARRAYBOUND bound = {static_cast<ULONG>(items.size()), low};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &bound);
    LONG i = low;
    for (VARIANT v : items) {
        SafeArrayPutElement(array, &i, &v); // copies
        VariantClear(&v);
        ++i;
    }
    return array;
}

VARIANT ArrayArg(SAFEARRAY* array, VARTYPE element)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ARRAY | element;
    V_ARRAY(&v) = array;
    return v;
}

VARIANT Text(const wchar_t* s)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(s); // freed once it is in the array
    return v;
}

VARIANT Long(LONG n)
{
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = n;
    return v;
}

TEST_F(PhoneTest, PutContactInfoListSendsTheSameRecord)
{
    ASSERT_EQ(S_OK, phone->Start());
    com_ptr<IKexPhone2> phone2;
    ASSERT_EQ(S_OK, phone.query(phone2));
    unique_bstr alice = Bstr(L"Alice"), work = Bstr(L"Work");
    std::vector<BSTR> bstrs = {alice.get(), work.get()};
    SAFEARRAYBOUND two = {2, 0};
    SAFEARRAY* bstrArray = SafeArrayCreate(VT_BSTR, 1, &two);
    SAFEARRAY* longArray = SafeArrayCreate(VT_I4, 1, &two);
    for (LONG i = 0; i < 2; ++i) {
        SafeArrayPutElement(bstrArray, &i, bstrs[i]);
        LONG icon = 5 + i;
        SafeArrayPutElement(longArray, &i, &icon);
    }
    struct Case {
        const char* what;
        LONG lines;
        SAFEARRAY* names;
        VARTYPE namesType;
        SAFEARRAY* icons;
        VARTYPE iconsType;
        HRESULT hr;
        const char* text[3];
        int32_t iconType[3];
    } cases[] = {
        {"variants", 2, VariantArray({Text(L"Bob"), Long(42)}), VT_VARIANT, VariantArray({Long(-3), Text(L"7")}),
         VT_VARIANT, S_OK, {"Bob", "42", ""}, {0, 7, 0}},
        {"typed arrays", 2, bstrArray, VT_BSTR, longArray, VT_I4, S_OK, {"Alice", "Work", ""}, {5, 6, 0}},
        {"lower bound 1, four entries", 4,
         VariantArray({Text(L"a"), Text(L"b"), Text(L"c"), Text(L"d")}, 1), VT_VARIANT,
         VariantArray({Long(1), Long(2), Long(3), Long(4)}, 1), VT_VARIANT, S_OK, {"a", "b", "c"}, {1, 2, 3}},
        {"shorter than lines", 3, VariantArray({Text(L"a")}), VT_VARIANT, VariantArray({Long(1)}), VT_VARIANT,
         E_INVALIDARG, {}, {}},
        {"icon not a number", 1, VariantArray({Text(L"a")}), VT_VARIANT, VariantArray({Text(L"x")}), VT_VARIANT,
         E_INVALIDARG, {}, {}},
        {"lines 0", 0, VariantArray({Text(L"a")}), VT_VARIANT, VariantArray({Long(1)}), VT_VARIANT, E_INVALIDARG,
         {}, {}},
        {"not an array", 1, nullptr, VT_EMPTY, nullptr, VT_EMPTY, E_INVALIDARG, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        VARIANT names, icons;
        VariantInit(&names);
        VariantInit(&icons);
        if (c.names)
            names = ArrayArg(c.names, c.namesType);
        if (c.icons)
            icons = ArrayArg(c.icons, c.iconsType);
        EXPECT_EQ(c.hr, phone2->PutContactInfoList(c.lines, names, icons));
        VariantClear(&names);
        VariantClear(&icons);
        if (FAILED(c.hr)) {
            EXPECT_EQ(0, rec.State().recorded);
            continue;
        }
        RecCommand got = Last(rec);
        EXPECT_EQ(13u, got.code);
        ASSERT_TRUE(got.hasContact);
        for (int i = 0; i < 3; ++i) {
            EXPECT_STREQ(got.info[i], c.text[i]) << i;
            EXPECT_EQ(c.iconType[i], got.iconType[i]) << i;
        }
    }
    ASSERT_EQ(S_OK, phone->Stop());
    VARIANT none;
    VariantInit(&none);
    EXPECT_EQ(E_FAIL, phone2->PutContactInfoList(1, none, none)) << "stopped";
}

} // namespace
