// Random late-bound calls with a fixed seed: DISPIDs, flags, argument counts,
// named arguments and VARIANT types, by value, by reference and as arrays.
// Nothing may crash, and every answer must be one the dispatcher documents.
#include "tests/phone/phone_object_fixture.h"

#include "log/TraceLog.h"

#include <climits>
#include <cstring>
#include <cmath>
#include <random>

using namespace phone_test;

namespace {

const UINT kJunkArgErr = 0xDEAD;
const int kCalls = 100000;

const wchar_t* const kTexts[] = {L"", L"0", L"100", L"-7", L"3.5", L"Alice", L"true", L"1e400", L"\u00e9t\u00e9",
                                 L"\u4e2d", L"  42  "};

class Generator {
public:
    explicit Generator(unsigned seed) : m_rng(seed) {}

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_rng); }
    LONG anyLong()
    {
        const LONG special[] = {0, 1, 2, 3, 5, -1, -4, LONG_MIN, LONG_MAX, 100};
        return pick(2) ? special[pick(10)] : static_cast<LONG>(m_rng());
    }
    BSTR text()
    {
        if (pick(8) == 0)
            return SysAllocStringLen(L"A\0B", 3);
        if (pick(16) == 0)
            return SysAllocStringLen(nullptr, 300); // uninitialised content is fine: any UTF-16
        return SysAllocString(kTexts[pick(sizeof kTexts / sizeof *kTexts)]);
    }

    // Storage behind by-reference arguments, owned here and freed per call.
    struct Backing {
        BSTR texts[3] = {};
        LONG longs[3] = {};
        SHORT shortValue = 0;
        VARIANT holder;
        VARIANT inner;
        Backing()
        {
            VariantInit(&holder);
            VariantInit(&inner);
        }
        ~Backing()
        {
            VariantClear(&holder);
            VariantClear(&inner);
            for (BSTR& t : texts)
                SysFreeString(t);
        }
    };

    // A by-value VARIANT of a random plain type.
    void plain(VARIANT& v)
    {
        VariantInit(&v);
        switch (pick(13)) {
        case 0:
            break;
        case 1:
            V_VT(&v) = VT_NULL;
            break;
        case 2:
            V_VT(&v) = VT_I2;
            V_I2(&v) = static_cast<SHORT>(anyLong());
            break;
        case 3:
            V_VT(&v) = VT_I4;
            V_I4(&v) = anyLong();
            break;
        case 4: {
            const double d[] = {0.0, -1.5, 1e300, NAN, INFINITY, 2.0};
            V_VT(&v) = VT_R8;
            V_R8(&v) = d[pick(6)];
            break;
        }
        case 5:
        case 6:
            V_VT(&v) = VT_BSTR;
            V_BSTR(&v) = text();
            break;
        case 7:
            V_VT(&v) = VT_BOOL;
            V_BOOL(&v) = pick(2) ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case 8:
            V_VT(&v) = VT_DATE;
            V_DATE(&v) = 45000.25;
            break;
        case 9:
            V_VT(&v) = VT_CY;
            V_CY(&v).int64 = static_cast<LONGLONG>(anyLong()) * 10000;
            break;
        case 10:
            V_VT(&v) = VT_UI1;
            V_UI1(&v) = static_cast<BYTE>(anyLong());
            break;
        case 11:
            V_VT(&v) = VT_ERROR;
            V_ERROR(&v) = DISP_E_PARAMNOTFOUND; // an omitted optional argument
            break;
        case 12:
            V_VT(&v) = pick(2) ? VT_UNKNOWN : VT_DISPATCH;
            V_UNKNOWN(&v) = nullptr;
            break;
        }
    }

    void argument(VARIANT& v, Backing& b)
    {
        switch (pick(10)) {
        case 0: { // by-reference VARIANT, sometimes holding a reference itself
            plain(b.holder);
            if (pick(4) == 0) {
                VariantClear(&b.holder);
                fill(b);
                V_VT(&b.holder) = VT_BYREF | (pick(2) ? VT_BSTR : VT_I4);
                V_BYREF(&b.holder) = (V_VT(&b.holder) & VT_TYPEMASK) == VT_BSTR ? static_cast<void*>(b.texts)
                                                                                 : static_cast<void*>(b.longs);
            }
            VariantInit(&v);
            V_VT(&v) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&v) = &b.holder;
            break;
        }
        case 1: // texts as an array
            fill(b);
            VariantInit(&v);
            V_VT(&v) = VT_BYREF | VT_BSTR;
            V_BSTRREF(&v) = pick(16) ? b.texts : nullptr;
            break;
        case 2: // icon types as an array
            fill(b);
            VariantInit(&v);
            V_VT(&v) = VT_BYREF | VT_I4;
            V_I4REF(&v) = pick(16) ? b.longs : nullptr;
            break;
        case 3:
            VariantInit(&v);
            V_VT(&v) = VT_BYREF | VT_I2;
            V_I2REF(&v) = &b.shortValue;
            break;
        case 4: { // a safe array of integers or texts
            const bool texts = pick(2);
            SAFEARRAY* sa = SafeArrayCreateVector(texts ? VT_BSTR : VT_I4, 0, 3);
            for (LONG i = 0; i < 3; ++i) {
                if (texts) {
                    BSTR t = text();
                    SafeArrayPutElement(sa, &i, t);
                    SysFreeString(t);
                } else {
                    LONG n = anyLong();
                    SafeArrayPutElement(sa, &i, &n);
                }
            }
            VariantInit(&v);
            V_VT(&v) = VT_ARRAY | (texts ? VT_BSTR : VT_I4);
            V_ARRAY(&v) = sa;
            break;
        }
        case 5: // a type that does not exist
            VariantInit(&v);
            V_VT(&v) = static_cast<VARTYPE>(0x7F00 + pick(200));
            break;
        default:
            plain(v);
            break;
        }
    }

    void fill(Backing& b)
    {
        for (int i = 0; i < 3; ++i) {
            if (!b.texts[i])
                b.texts[i] = text();
            b.longs[i] = anyLong();
        }
    }

    DISPID dispid()
    {
        const DISPID odd[] = {0, -1, -3, -5, 18, 19, 1000, INT_MIN, INT_MAX};
        return pick(10) < 8 ? 1 + pick(17) : odd[pick(9)];
    }
    WORD flags()
    {
        const WORD f[] = {DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                          DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF, 0};
        return pick(8) ? f[pick(6)] : static_cast<WORD>(m_rng());
    }
    DISPID namedId()
    {
        const DISPID n[] = {DISPID_PROPERTYPUT, 0, 1, 2, 3, -1, 7, -100};
        return n[pick(8)];
    }

private:
    std::mt19937 m_rng;
};

// The answers the dispatcher documents; E_OUTOFMEMORY needs memory to run out.
const HRESULT kAnswers[] = {S_OK, E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, DISP_E_BADVARTYPE, DISP_E_BADPARAMCOUNT,
                            DISP_E_PARAMNOTFOUND, DISP_E_MEMBERNOTFOUND, DISP_E_TYPEMISMATCH};
const int kAnswerCount = sizeof kAnswers / sizeof *kAnswers;

int AnswerIndex(HRESULT hr)
{
    for (int k = 0; k < kAnswerCount; ++k)
        if (kAnswers[k] == hr)
            return k;
    return -1;
}

TEST_F(PhoneTest, RandomLateBoundCalls)
{
    // Records of this run go to a file of its own, Errors only.
    const std::string log = m_dir / "fuzz.log";
    g_traceLog.SetLogFile(log.c_str());
    g_traceLog.Open();
    g_traceLog.SetSwitch(false);
    UseAdapters({"Alpha", "Beta"});
    ASSERT_EQ(S_OK, phone->Start());

    Generator gen(20261209u);
    int answers[kAnswerCount] = {};
    int failures = 0;
    for (int call = 0; call < kCalls && failures < 20; ++call) {
        const DISPID id = gen.dispid();
        // Mostly the member's own argument count, so calls get past the count check.
        static const UINT kCounts[18] = {0, 0, 0, 0, 0, 1, 2, 2, 2, 2, 2, 2, 2, 2, 0, 2, 2, 3};
        const bool member = id >= 1 && id <= 17;
        const UINT argc = member && gen.pick(10) < 6 ? kCounts[id] : gen.pick(6) == 0 ? 4 : gen.pick(4);
        const UINT named = argc && gen.pick(4) == 0 ? 1 + gen.pick(argc) : 0;
        Generator::Backing backing[4];
        VARIANT args[4];
        for (UINT i = 0; i < argc; ++i)
            gen.argument(args[i], backing[i]);
        if (id == 17 && argc == 3 && gen.pick(2)) {
            // Well-typed contact information: only the arrays and line vary.
            for (UINT i = 0; i < 3; ++i)
                VariantClear(&args[i]);
            gen.fill(backing[0]);
            V_VT(&args[2]) = VT_BYREF | VT_BSTR;
            V_BSTRREF(&args[2]) = gen.pick(8) ? backing[0].texts : nullptr;
            V_VT(&args[1]) = VT_BYREF | VT_I4;
            V_I4REF(&args[1]) = gen.pick(8) ? backing[0].longs : nullptr;
            V_VT(&args[0]) = VT_I4;
            V_I4(&args[0]) = gen.anyLong();
        }
        DISPID namedIds[4];
        for (UINT i = 0; i < named; ++i)
            namedIds[i] = gen.namedId();
        DISPPARAMS params = {argc ? args : nullptr, named ? namedIds : nullptr, argc, named};
        const WORD flags = gen.flags();
        const bool wantResult = gen.pick(2);
        VARIANT result;
        std::memset(&result, 0xCC, sizeof result);
        UINT argErr = kJunkArgErr;

        const bool noParams = gen.pick(100) == 0;
        const HRESULT hr = phone->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, noParams ? nullptr : &params,
                                         wantResult ? &result : nullptr, nullptr, &argErr);

        const bool argError = hr == DISP_E_PARAMNOTFOUND || hr == DISP_E_TYPEMISMATCH;
        const int answer = AnswerIndex(hr);
        bool ok = answer >= 0 && (argError ? argErr < argc : argErr == kJunkArgErr);
        // Refused before the result is touched: no parameters, or more than three.
        const bool early = hr == DISP_E_BADVARTYPE || (hr == DISP_E_BADPARAMCOUNT && argc > 3);
        if (wantResult && early) {
            VARIANT junk;
            std::memset(&junk, 0xCC, sizeof junk);
            ok = ok && std::memcmp(&junk, &result, sizeof junk) == 0;
        } else if (wantResult) {
            const VARTYPE vt = V_VT(&result);
            ok = ok && (vt == VT_EMPTY || (vt == VT_BOOL && id == 3) || (vt == VT_BSTR && id == 4));
            VariantClear(&result);
        }
        if (!ok) {
            ++failures;
            ADD_FAILURE() << "call " << call << ": DISPID " << id << " flags " << flags << " args " << argc
                          << " named " << named << " -> 0x" << std::hex << hr << " argErr " << std::dec << argErr;
        }
        if (answer >= 0)
            ++answers[answer];
        for (UINT i = 0; i < argc; ++i)
            VariantClear(&args[i]);
        // Keep the object mostly started so commands reach the adapters.
        if (id == 2 && gen.pick(2))
            phone->Start();
    }
    g_traceLog.Close();
    // Every kind of answer was met: the run explores more than one path.
    for (int k = 0; k < kAnswerCount; ++k)
        if (kAnswers[k] != E_OUTOFMEMORY) {
            EXPECT_GT(answers[k], 0) << "answer 0x" << std::hex << kAnswers[k] << " never seen";
        }
    std::printf("answers: ok %d fail %d invalidarg %d oom %d badvartype %d badparamcount %d paramnotfound %d "
                "membernotfound %d typemismatch %d\n",
                answers[0], answers[1], answers[2], answers[3], answers[4], answers[5], answers[6], answers[7],
                answers[8]);
    const RecState s = rec.State();
    EXPECT_GT(s.executeCalls, 1000);
}

} // namespace
