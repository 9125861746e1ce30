// Contact information for the adapters: PutContactInfo from arrays the caller
// owns and PutContactInfoList from automation arrays, as one record.
#include "phone/KexPhone.h"

#include "tests/adapters/recording_adapter.h"
#include "tests/phone/phone_object_fixture.h"

using namespace phone_test;
using kex::com_ptr;
using kex::unique_bstr;

namespace {

// The record the adapters must receive: the answer, then the three texts and
// icon types; nothing is sent when the answer is a failure.
struct SentRecord {
    HRESULT hr;
    const char* text[KEX_CONTACT_ENTRIES];
    int32_t iconType[KEX_CONTACT_ENTRIES];
};

// Refused with E_INVALIDARG, nothing sent.
const SentRecord kInvalid = {E_INVALIDARG, {}, {}};

void ExpectSent(const RecAdapter& adapter, const SentRecord& want)
{
    const RecState state = adapter.State();
    if (FAILED(want.hr)) {
        EXPECT_EQ(0, state.recorded);
        return;
    }
    ASSERT_EQ(1, state.recorded);
    RecCommand got = {};
    adapter.getCommand(0, &got);
    EXPECT_EQ(13u, got.code);
    EXPECT_EQ(0u, got.lParam);
    ASSERT_TRUE(got.hasContact);
    for (int i = 0; i < KEX_CONTACT_ENTRIES; ++i) {
        EXPECT_FALSE(got.infoIsNull[i]) << i;
        EXPECT_STREQ(want.text[i], got.info[i]) << i;
        EXPECT_EQ(want.iconType[i], got.iconType[i]) << i;
    }
}

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
        SentRecord sent;
    } cases[] = {
        {"line 2", texts, icons, 2, {S_OK, {"Bob", "Work", ""}, {0, 7, 0}}},
        {"line 5 reads three", texts, icons, 5, {S_OK, {"Bob", "Work", "Third"}, {0, 7, 9}}},
        {"line 1", texts + 1, icons + 1, 1, {S_OK, {"Work", "", ""}, {7, 0, 0}}},
        {"line 0", texts, icons, 0, kInvalid},
        {"line -1", texts, icons, -1, kInvalid},
        {"null texts", nullptr, icons, 1, kInvalid},
        {"null icons", texts, nullptr, 1, kInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        EXPECT_EQ(c.sent.hr, phone->PutContactInfo(c.info, c.icon, c.line));
        ExpectSent(rec, c.sent);
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

// How a client hands a list over: the VARIANT holding the array itself, a
// reference to such a VARIANT (VBScript passes its variables so), or the
// array by reference.
enum class Passed { kByValue, kVariantByReference, kArrayByReference };

// One list argument as a client passes it. Owns the array (null: an empty
// VARIANT, not a list).
class ListArgument {
public:
    ListArgument(SAFEARRAY* array, VARTYPE element, Passed passed) : m_passed(passed)
    {
        VariantInit(&m_value);
        if (array) {
            V_VT(&m_value) = VT_ARRAY | element;
            V_ARRAY(&m_value) = array;
        }
    }
    ~ListArgument() { VariantClear(&m_value); }
    ListArgument(const ListArgument&) = delete;
    ListArgument& operator=(const ListArgument&) = delete;

    // The argument, still owned by this object.
    VARIANT Get()
    {
        VARIANT arg = m_value;
        if (m_passed == Passed::kVariantByReference) {
            V_VT(&arg) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&arg) = &m_value;
        } else if (m_passed == Passed::kArrayByReference) {
            V_VT(&arg) = VT_BYREF | V_VT(&m_value);
            V_ARRAYREF(&arg) = &V_ARRAY(&m_value);
        }
        return arg;
    }

private:
    VARIANT m_value;
    Passed m_passed;
};

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
    const Passed kValue = Passed::kByValue, kVariantRef = Passed::kVariantByReference,
                 kArrayRef = Passed::kArrayByReference;
    struct Case {
        const char* what;
        LONG lines;
        SAFEARRAY* names;
        VARTYPE namesType;
        Passed namesPassed;
        SAFEARRAY* icons;
        VARTYPE iconsType;
        Passed iconsPassed;
        SentRecord sent;
    } cases[] = {
        {"variants", 2, VariantArray({Text(L"Bob"), Long(42)}), VT_VARIANT, kValue,
         VariantArray({Long(-3), Text(L"7")}), VT_VARIANT, kValue, {S_OK, {"Bob", "42", ""}, {0, 7, 0}}},
        {"typed arrays", 2, bstrArray, VT_BSTR, kValue, longArray, VT_I4, kValue,
         {S_OK, {"Alice", "Work", ""}, {5, 6, 0}}},
        {"lower bound 1, four entries", 4, VariantArray({Text(L"a"), Text(L"b"), Text(L"c"), Text(L"d")}, 1),
         VT_VARIANT, kValue, VariantArray({Long(1), Long(2), Long(3), Long(4)}, 1), VT_VARIANT, kValue,
         {S_OK, {"a", "b", "c"}, {1, 2, 3}}},
        {"names in a VARIANT by reference", 2, VariantArray({Text(L"Bob"), Text(L"Eve")}), VT_VARIANT, kVariantRef,
         VariantArray({Long(1), Long(2)}), VT_VARIANT, kValue, {S_OK, {"Bob", "Eve", ""}, {1, 2, 0}}},
        {"icons in a VARIANT by reference", 1, VariantArray({Text(L"Bob")}), VT_VARIANT, kValue,
         VariantArray({Long(4)}), VT_VARIANT, kVariantRef, {S_OK, {"Bob", "", ""}, {4, 0, 0}}},
        {"both arrays by reference", 3, VariantArray({Text(L"a"), Text(L"b"), Text(L"c")}), VT_VARIANT, kArrayRef,
         VariantArray({Long(7), Long(8), Long(9)}), VT_VARIANT, kArrayRef, {S_OK, {"a", "b", "c"}, {7, 8, 9}}},
        {"a reference to no list", 1, nullptr, VT_EMPTY, kVariantRef, VariantArray({Long(1)}), VT_VARIANT, kValue,
         kInvalid},
        {"shorter than lines", 3, VariantArray({Text(L"a")}), VT_VARIANT, kValue, VariantArray({Long(1)}),
         VT_VARIANT, kValue, kInvalid},
        {"icon not a number", 1, VariantArray({Text(L"a")}), VT_VARIANT, kValue, VariantArray({Text(L"x")}),
         VT_VARIANT, kValue, kInvalid},
        {"lines 0", 0, VariantArray({Text(L"a")}), VT_VARIANT, kValue, VariantArray({Long(1)}), VT_VARIANT, kValue,
         kInvalid},
        {"not an array", 1, nullptr, VT_EMPTY, kValue, nullptr, VT_EMPTY, kValue, kInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        ListArgument names(c.names, c.namesType, c.namesPassed), icons(c.icons, c.iconsType, c.iconsPassed);
        EXPECT_EQ(c.sent.hr, phone2->PutContactInfoList(c.lines, names.Get(), icons.Get()));
        ExpectSent(rec, c.sent);
    }
    ASSERT_EQ(S_OK, phone->Stop());
    VARIANT none;
    VariantInit(&none);
    EXPECT_EQ(E_FAIL, phone2->PutContactInfoList(1, none, none)) << "stopped";
}

} // namespace
