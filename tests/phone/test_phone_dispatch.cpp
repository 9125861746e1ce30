// Late binding of the phone object: names, argument placement, conversion and
// the error answers of Invoke.
#include "tests/phone/phone_object_fixture.h"

#include <cstring>

using namespace phone_test;
using kex::com_ptr;
using kex::unique_bstr;

namespace {

const DISPID kJunkId = 0x5A5A5A;
const UINT kJunkArgErr = 0xDEAD;

TEST_F(PhoneTest, GetIDsOfNames)
{
    struct Case {
        std::vector<const wchar_t*> names;
        HRESULT hr;
        std::vector<DISPID> ids; // kJunkId: left untouched
    } cases[] = {
        {{L"Start"}, S_OK, {1}},
        {{L"start"}, S_OK, {1}},
        {{L"STOP"}, S_OK, {2}},
        {{L"IsStarted"}, S_OK, {3}},
        {{L"get_IsStarted"}, S_OK, {3}},
        {{L"pVal"}, S_OK, {0}},
        {{L"USBPhoneName"}, S_OK, {4}},
        {{L"get_usbphonename"}, S_OK, {4}},
        {{L"pName"}, S_OK, {0}},
        {{L"Number"}, S_OK, {5}},
        {{L"put_Number"}, S_OK, {5}},
        {{L"newVal"}, S_OK, {0}},
        {{L"Link"}, S_OK, {6}},
        {{L"Ring"}, S_OK, {7}},
        {{L"RingBack"}, S_OK, {8}},
        {{L"Talking"}, S_OK, {9}},
        {{L"Hangup"}, S_OK, {10}},
        {{L"Hold"}, S_OK, {11}},
        {{L"Resume"}, S_OK, {12}},
        {{L"CallFailed"}, S_OK, {13}},
        {{L"Ready"}, S_OK, {14}},
        {{L"RingBusy"}, S_OK, {15}},
        {{L"PutCallInfo"}, S_OK, {16}},
        {{L"PutContactInfo"}, S_OK, {17}},
        {{L"Link", L"peerNumber", L"PEERNAME"}, S_OK, {6, 1, 0}},
        // "Number" is the property first, never PutCallInfo's second parameter.
        {{L"PutCallInfo", L"Name", L"Number"}, S_OK, {16, 0, 5}},
        {{L"PutContactInfo", L"line", L"pIconType", L"pContactInfo"}, S_OK, {17, 2, 1, 0}},
        {{L"Nope"}, DISP_E_UNKNOWNNAME, {kJunkId}},
        {{L"Start "}, DISP_E_UNKNOWNNAME, {kJunkId}},
        {{L""}, DISP_E_UNKNOWNNAME, {kJunkId}},
        {{nullptr}, DISP_E_UNKNOWNNAME, {kJunkId}},
        {{L"Link", L"Nope", L"peerName"}, DISP_E_UNKNOWNNAME, {6, kJunkId, kJunkId}},
        {{L"OnKey"}, DISP_E_UNKNOWNNAME, {kJunkId}},
        {{L"PutContactInfoList", L"icons"}, S_OK, {18, 2}},
        {{L"mute", L"muted"}, S_OK, {19, 0}},
        {{L"DeviceCount"}, S_OK, {20}},
        {{L"DeviceId", L"index"}, S_OK, {21, 0}},
        {{L"get_Devices"}, S_OK, {22}},
        {{L"DeviceName", L"device"}, S_OK, {23, 0}},
        {{L"DeviceVendorId"}, S_OK, {24}},
        {{L"DeviceProductId"}, S_OK, {25}},
        {{L"DeviceSerial"}, S_OK, {26}},
        {{L"ActiveDevice"}, S_OK, {27}},
        {{L"get_ActiveDevice"}, S_OK, {27}},
        {{L"put_ActiveDevice"}, S_OK, {27}},
        {{L"EventDevice"}, S_OK, {28}},
        {{L"put_EventDevice"}, DISP_E_UNKNOWNNAME, {kJunkId}},
        {{L"Device"}, S_OK, {0}}, // the parameter
    };
    for (const Case& c : cases) {
        std::string what;
        for (const wchar_t* n : c.names) {
            what += " ";
            for (const wchar_t* p = n ? n : L"(null)"; *p; ++p)
                what += static_cast<char>(*p);
        }
        SCOPED_TRACE(what);
        std::vector<DISPID> ids(c.names.size(), kJunkId);
        EXPECT_EQ(c.hr,
                  phone->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(c.names.data()),
                                       static_cast<UINT>(c.names.size()), LOCALE_USER_DEFAULT, ids.data()));
        EXPECT_EQ(c.ids, ids);
    }
}

// Arguments in array order (the last parameter first), owned by the test.
class Args {
public:
    Args() = default;
    Args(const Args&) = delete;
    ~Args()
    {
        for (VARIANT& v : m_v)
            VariantClear(&v);
    }
    Args& bstr(const wchar_t* s)
    {
        VARIANT v;
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(s);
        m_v.push_back(v);
        return *this;
    }
    Args& i4(LONG n) { return raw(VT_I4, [n](VARIANT& v) { V_I4(&v) = n; }); }
    Args& i2(SHORT n) { return raw(VT_I2, [n](VARIANT& v) { V_I2(&v) = n; }); }
    Args& ref(VARTYPE type, void* p) { return raw(VT_BYREF | type, [p](VARIANT& v) { V_BYREF(&v) = p; }); }
    Args& empty() { return raw(VT_EMPTY, [](VARIANT&) {}); }
    template <class F>
    Args& raw(VARTYPE type, F fill)
    {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = type;
        fill(v);
        m_v.push_back(v);
        return *this;
    }
    VARIANT& operator[](size_t i) { return m_v[i]; }
    size_t size() const { return m_v.size(); }
    VARIANT* data() { return m_v.data(); }

private:
    std::vector<VARIANT> m_v;
};

HRESULT Invoke(IDispatch* d, DISPID id, WORD flags, Args& args, std::vector<DISPID> named, VARIANT* result,
               UINT* argErr)
{
    DISPPARAMS params = {args.data(), named.empty() ? nullptr : named.data(), static_cast<UINT>(args.size()),
                         static_cast<UINT>(named.size())};
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, argErr);
}

TEST_F(PhoneTest, InvokeErrors)
{
    LONG byRefLong = 7;
    BSTR texts[3] = {};
    LONG icons[3] = {};
    struct Case {
        const char* what;
        DISPID id;
        std::function<void(Args&)> args;
        std::vector<DISPID> named;
        HRESULT hr;
        UINT argErr;
        WORD flags = DISPATCH_METHOD;
    } cases[] = {
        {"four arguments", 6, [](Args& a) { a.bstr(L"a").bstr(L"b").bstr(L"c").bstr(L"d"); }, {},
         DISP_E_BADPARAMCOUNT, kJunkArgErr},
        {"DISPID 0", 0, [](Args&) {}, {}, DISP_E_MEMBERNOTFOUND, kJunkArgErr},
        {"DISPID 29, past the last member", 29, [](Args&) {}, {}, DISP_E_MEMBERNOTFOUND, kJunkArgErr},
        {"Mute without an argument", 19, [](Args&) {}, {}, DISP_E_BADPARAMCOUNT, kJunkArgErr},
        {"ActiveDevice with two arguments", 27, [](Args& a) { a.bstr(L"a").bstr(L"b"); }, {}, DISP_E_BADPARAMCOUNT,
         kJunkArgErr},
        {"DeviceName with an argument that is no text", 23, [](Args& a) { a.raw(VT_UNKNOWN, [](VARIANT& v) { V_UNKNOWN(&v) = nullptr; }); },
         {}, DISP_E_TYPEMISMATCH, 0},
        {"PutContactInfoList without arguments", 18, [](Args&) {}, {}, DISP_E_BADPARAMCOUNT, kJunkArgErr},
        {"DISPID -1", -1, [](Args&) {}, {}, DISP_E_MEMBERNOTFOUND, kJunkArgErr},
        {"DISPID_VALUE-like large", 0x7fffffff, [](Args&) {}, {}, DISP_E_MEMBERNOTFOUND, kJunkArgErr},
        {"PutContactInfo without line", 17, [](Args& a) { a.i4(1).i4(2); }, {}, DISP_E_BADPARAMCOUNT,
         kJunkArgErr},
        {"Number read", 5, [](Args&) {}, {}, DISP_E_BADPARAMCOUNT, kJunkArgErr},
        {"Start with an argument", 1, [](Args& a) { a.i4(1); }, {}, DISP_E_BADPARAMCOUNT, kJunkArgErr},
        {"Link with one argument", 6, [](Args& a) { a.bstr(L"a"); }, {}, DISP_E_BADPARAMCOUNT, kJunkArgErr},
        {"IsStarted set", 3, [](Args& a) { a.i4(1); }, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT, kJunkArgErr},
        {"named position out of range", 6, [](Args& a) { a.bstr(L"a").bstr(L"b"); }, {2}, DISP_E_PARAMNOTFOUND, 0},
        {"named position negative", 6, [](Args& a) { a.bstr(L"a").bstr(L"b"); }, {-5}, DISP_E_PARAMNOTFOUND, 0},
        {"property put named second", 6, [](Args& a) { a.bstr(L"a").bstr(L"b"); }, {0, DISPID_PROPERTYPUT},
         DISP_E_PARAMNOTFOUND, 1},
        {"one position named twice", 6, [](Args& a) { a.bstr(L"a").bstr(L"b"); }, {1, 1}, DISP_E_PARAMNOTFOUND, 1},
        {"named position also given positionally", 6, [](Args& a) { a.bstr(L"a").bstr(L"b"); }, {0},
         DISP_E_PARAMNOTFOUND, 1},
        {"member checked after names", 99, [](Args& a) { a.bstr(L"a"); }, {4}, DISP_E_PARAMNOTFOUND, 0},
        {"peerName cannot become text", 6, [&](Args& a) { a.bstr(L"100").ref(VT_I4, &byRefLong); }, {},
         DISP_E_TYPEMISMATCH, 1},
        {"peerNumber cannot become text", 6, [&](Args& a) { a.ref(VT_I4, &byRefLong).bstr(L"Alice"); }, {},
         DISP_E_TYPEMISMATCH, 0},
        // VT_EMPTY becomes an empty text; the call then reaches the stopped object.
        {"peerNumber empty", 7, [](Args& a) { a.empty().bstr(L"Alice"); }, {}, E_FAIL, kJunkArgErr},
        {"contact texts by value", 17, [&](Args& a) { a.i4(1).ref(VT_I4, icons).bstr(L"x"); }, {},
         DISP_E_TYPEMISMATCH, 2},
        {"icon types by value", 17, [&](Args& a) { a.i4(1).i4(1).ref(VT_BSTR, texts); }, {}, DISP_E_TYPEMISMATCH, 1},
        {"line not a number", 17, [&](Args& a) { a.bstr(L"three").ref(VT_I4, icons).ref(VT_BSTR, texts); }, {},
         DISP_E_TYPEMISMATCH, 0},
        {"line by reference", 17, [&](Args& a) { a.ref(VT_I4, &byRefLong).ref(VT_I4, icons).ref(VT_BSTR, texts); },
         {}, DISP_E_TYPEMISMATCH, 0},
        {"stopped member answers", 6, [](Args& a) { a.bstr(L"100").bstr(L"Alice"); }, {}, E_FAIL, kJunkArgErr},
        // A property put names its value DISPID_PROPERTYPUT; it is the last parameter.
        {"Number put without a value", 5, [](Args&) {}, {}, DISP_E_BADPARAMCOUNT, kJunkArgErr, DISPATCH_PROPERTYPUT},
        {"Number put with two values", 5, [](Args& a) { a.bstr(L"1").bstr(L"2"); }, {DISPID_PROPERTYPUT},
         DISP_E_BADPARAMCOUNT, kJunkArgErr, DISPATCH_PROPERTYPUT},
        {"Number put with three values", 5, [](Args& a) { a.bstr(L"1").bstr(L"2").bstr(L"3"); },
         {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT, kJunkArgErr, DISPATCH_PROPERTYPUT},
        {"put value fills the last parameter", 6, [&](Args& a) { a.ref(VT_I4, &byRefLong).bstr(L"x"); },
         {DISPID_PROPERTYPUT}, DISP_E_TYPEMISMATCH, 0, DISPATCH_PROPERTYPUT},
        {"put with a positional name", 5, [](Args& a) { a.bstr(L"1"); }, {0}, E_FAIL, kJunkArgErr,
         DISPATCH_PROPERTYPUT},
        {"put with a name past the parameters", 5, [](Args& a) { a.bstr(L"1"); }, {1}, DISP_E_PARAMNOTFOUND, 0,
         DISPATCH_PROPERTYPUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Args args;
        c.args(args);
        UINT argErr = kJunkArgErr;
        VARIANT result;
        std::memset(&result, 0xCC, sizeof result);
        EXPECT_EQ(c.hr, Invoke(phone.get(), c.id, c.flags, args, c.named, &result, &argErr));
        EXPECT_EQ(c.argErr, argErr);
        if (args.size() <= 3) {
            EXPECT_EQ(VT_EMPTY, V_VT(&result));
        }
    }

    UINT argErr = kJunkArgErr;
    EXPECT_EQ(DISP_E_BADVARTYPE, phone->Invoke(6, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, &argErr));
    // Inconsistent counts are refused, not read past.
    DISPPARAMS moreNamed = {nullptr, nullptr, 0, 1};
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              phone->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &moreNamed, nullptr, nullptr, nullptr));
    DISPPARAMS noArray = {nullptr, nullptr, 2, 0};
    EXPECT_EQ(E_INVALIDARG, phone->Invoke(6, IID_NULL, 0, DISPATCH_METHOD, &noArray, nullptr, nullptr, nullptr));
}

class PhoneInvokeTest : public PhoneTest {
protected:
    void SetUp() override
    {
        PhoneTest::SetUp();
        ASSERT_EQ(S_OK, phone->Start());
        rec.reset();
    }
    RecCommand Only()
    {
        EXPECT_EQ(1, rec.State().recorded);
        return Last(rec);
    }
};

TEST_F(PhoneInvokeTest, ArgumentsReachTheSameFunctionsAsEarlyBoundCalls)
{
    struct Case {
        const char* what;
        DISPID id;
        WORD flags;
        std::function<void(Args&)> args;
        std::vector<DISPID> named;
        uint32_t code;
        const char* w;
        const char* l;
    } cases[] = {
        {"Link", 6, DISPATCH_METHOD, [](Args& a) { a.bstr(L"100").bstr(L"Alice"); }, {}, 2, "Alice", "100"},
        {"Link by names", 6, DISPATCH_METHOD, [](Args& a) { a.bstr(L"100").bstr(L"Alice"); }, {1, 0}, 2, "Alice",
         "100"},
        {"Link by names, other order", 6, DISPATCH_METHOD, [](Args& a) { a.bstr(L"Alice").bstr(L"100"); }, {0, 1}, 2,
         "Alice", "100"},
        {"Link, second by name", 6, DISPATCH_METHOD, [](Args& a) { a.bstr(L"100").bstr(L"Alice"); }, {1}, 2, "Alice",
         "100"},
        {"Ring with a number", 7, DISPATCH_METHOD, [](Args& a) { a.i4(100).bstr(L"Bob"); }, {}, 3, "Bob", "100"},
        {"RingBusy with a short", 15, DISPATCH_METHOD, [](Args& a) { a.i2(-7).i2(42); }, {}, 10, "42", "-7"},
        {"Number put", 5, DISPATCH_PROPERTYPUT, [](Args& a) { a.bstr(L"100"); }, {DISPID_PROPERTYPUT}, 11, nullptr,
         "100"},
        {"Number as a method", 5, DISPATCH_METHOD, [](Args& a) { a.i4(5); }, {}, 11, nullptr, "5"},
        {"Ready as a property get", 14, DISPATCH_PROPERTYGET, [](Args&) {}, {}, 1, nullptr, nullptr},
        {"PutCallInfo", 16, DISPATCH_METHOD, [](Args& a) { a.bstr(L"800").bstr(L"Heidi"); }, {}, 12, "Heidi", "800"},
        {"Hangup empty and null", 10, DISPATCH_METHOD,
         [](Args& a) { a.raw(VT_BSTR, [](VARIANT& v) { V_BSTR(&v) = nullptr; }).empty(); }, {}, 6, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        Args args;
        c.args(args);
        UINT argErr = kJunkArgErr;
        ASSERT_EQ(S_OK, Invoke(phone.get(), c.id, c.flags, args, c.named, nullptr, &argErr));
        EXPECT_EQ(kJunkArgErr, argErr);
        RecCommand got = Only();
        EXPECT_EQ(c.code, got.code);
        if (c.w) {
            EXPECT_STREQ(got.text[0], c.w);
        } else {
            EXPECT_EQ(0u, got.wParam);
        }
        if (c.l) {
            EXPECT_STREQ(got.text[1], c.l);
        } else {
            EXPECT_EQ(0u, got.lParam);
        }
    }
}

TEST_F(PhoneInvokeTest, ConversionIsMadeInTheCallersArguments)
{
    Args args;
    VARIANT referred;
    V_VT(&referred) = VT_I2;
    V_I2(&referred) = 7;
    args.i4(100).ref(VT_VARIANT, &referred);
    ASSERT_EQ(S_OK, Invoke(phone.get(), 6, DISPATCH_METHOD, args, {}, nullptr, nullptr));
    RecCommand got = Only();
    EXPECT_STREQ(got.text[0], "7");
    EXPECT_STREQ(got.text[1], "100");
    // By value: the array holds the text now. By reference: the reference
    // stays and the variable behind it holds the text.
    ASSERT_EQ(VT_BSTR, V_VT(&args[0]));
    EXPECT_STREQ(V_BSTR(&args[0]), L"100");
    ASSERT_EQ(VT_BYREF | VT_VARIANT, V_VT(&args[1]));
    ASSERT_EQ(VT_BSTR, V_VT(&referred));
    EXPECT_STREQ(V_BSTR(&referred), L"7");
    VariantClear(&referred);
}

TEST_F(PhoneInvokeTest, PutContactInfoLateBound)
{
    unique_bstr a = Bstr(L"Bob"), b = Bstr(L"Work"), c = Bstr(L"Home");
    BSTR texts[3] = {a.get(), b.get(), c.get()};
    LONG icons[3] = {-4, 7, 2};
    VARIANT refTexts;
    V_VT(&refTexts) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&refTexts) = texts;
    Args args;
    args.i2(2).ref(VT_I4, icons).ref(VT_VARIANT, &refTexts); // line as a script literal
    ASSERT_EQ(S_OK, Invoke(phone.get(), 17, DISPATCH_METHOD, args, {}, nullptr, nullptr));
    RecCommand got = Only();
    EXPECT_EQ(13u, got.code);
    EXPECT_STREQ(got.info[0], "Bob");
    EXPECT_STREQ(got.info[1], "Work");
    EXPECT_STREQ(got.info[2], "");
    EXPECT_EQ(0, got.iconType[0]);
    EXPECT_EQ(7, got.iconType[1]);
    EXPECT_EQ(0, got.iconType[2]);
    EXPECT_EQ(VT_I4, V_VT(&args[0]));
}

TEST_F(PhoneInvokeTest, PropertiesGiveTheirValuesInTheResult)
{
    UINT argErr = kJunkArgErr;
    for (WORD flags : {WORD(DISPATCH_PROPERTYGET), WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET), WORD(0)}) {
        SCOPED_TRACE(testing::Message() << "flags " << flags);
        Args none;
        VARIANT result;
        std::memset(&result, 0xCC, sizeof result);
        ASSERT_EQ(S_OK, Invoke(phone.get(), 3, flags, none, {}, &result, &argErr));
        EXPECT_EQ(VT_BOOL, V_VT(&result));
        EXPECT_EQ(VARIANT_TRUE, V_BOOL(&result));

        std::memset(&result, 0xCC, sizeof result);
        ASSERT_EQ(S_OK, Invoke(phone.get(), 4, flags, none, {}, &result, &argErr));
        ASSERT_EQ(VT_BSTR, V_VT(&result));
        EXPECT_STREQ(V_BSTR(&result), L"Alpha");
        VariantClear(&result);
    }

    // Start as a property get still starts; results stay empty for methods.
    Args none;
    VARIANT result;
    ASSERT_EQ(S_OK, Invoke(phone.get(), 2, DISPATCH_METHOD, none, {}, &result, nullptr));
    EXPECT_EQ(VT_EMPTY, V_VT(&result));
    std::memset(&result, 0xCC, sizeof result);
    ASSERT_EQ(E_FAIL, Invoke(phone.get(), 4, DISPATCH_PROPERTYGET, none, {}, &result, nullptr));
    EXPECT_EQ(VT_BSTR, V_VT(&result)); // stored whatever the member answered
    EXPECT_EQ(nullptr, V_BSTR(&result));
    ASSERT_EQ(S_OK, Invoke(phone.get(), 1, DISPATCH_PROPERTYGET, none, {}, &result, nullptr));
    EXPECT_EQ(VT_EMPTY, V_VT(&result));
    VARIANT_BOOL started = VARIANT_FALSE;
    EXPECT_EQ(S_OK, phone->get_IsStarted(&started));
    EXPECT_EQ(VARIANT_TRUE, started);
    EXPECT_EQ(S_OK, Invoke(phone.get(), 4, DISPATCH_PROPERTYGET, none, {}, nullptr, nullptr)); // no leak, no crash
    EXPECT_EQ(kJunkArgErr, argErr);
}

} // namespace
