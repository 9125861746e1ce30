// BENCH P5: the compact row-set form.
//  - memory: a table of 1,000,000 rows x 4 columns (two integers, two texts
//    of 8-24 bytes) in the compact form against the same table in the
//    general form;
//  - time: filling and then reading that table in the compact form against
//    a plain std::vector of a four-field struct holding the same values.
// Natively memory is the allocator's in-use bytes (mallinfo2: small blocks
// plus mmapped ones, allocator overhead included). On Windows it is the
// bytes requested through a counting operator new (heap block overhead not
// included): Wine reports no private bytes to compare with.
#include "common/RowSet.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <atomic>
#else
#include <malloc.h>
#endif

namespace {

constexpr int32_t kRows = 1000000;
constexpr int kRuns = 5; // alternating, best of each: both sides see the same machine load

#ifdef _WIN32
std::atomic<long long> g_bytes{0};
std::atomic<long long> g_blocks{0};
constexpr size_t kHeader = 16; // keeps the block aligned for any type

// Not inlined: GCC would otherwise pair the offset pointer with new/delete and warn.
__attribute__((noinline)) void* CountedAlloc(size_t n)
{
    void* p = std::malloc(n + kHeader);
    if (!p)
        return nullptr;
    *static_cast<size_t*>(p) = n;
    g_bytes += static_cast<long long>(n);
    ++g_blocks;
    return static_cast<char*>(p) + kHeader;
}

__attribute__((noinline)) void CountedFree(void* p) noexcept
{
    if (!p)
        return;
    char* block = static_cast<char*>(p) - kHeader;
    g_bytes -= static_cast<long long>(*reinterpret_cast<size_t*>(block));
    --g_blocks;
    std::free(block);
}

const char* kMemoryMethod = "bytes requested through operator new";

long long InUse() { return g_bytes.load(); }

#else
const char* kMemoryMethod = "allocator in-use bytes (mallinfo2)";

long long InUse()
{
    struct mallinfo2 mi = mallinfo2();
    return static_cast<long long>(mi.uordblks + mi.hblkhd);
}
#endif

// Texts of 8 to 24 bytes, made once so that neither side pays for them.
std::vector<std::string> MakeTexts()
{
    std::vector<std::string> texts;
    for (int k = 0; k < 1024; ++k) {
        std::string t(static_cast<size_t>(8 + k % 17), 'a');
        for (size_t i = 0; i < t.size(); ++i)
            t[i] = static_cast<char>('a' + (k * 7 + static_cast<int>(i) * 3) % 26);
        texts.push_back(t);
    }
    return texts;
}

const std::string& Text1(const std::vector<std::string>& t, int32_t r) { return t[static_cast<size_t>(r) % t.size()]; }
const std::string& Text2(const std::vector<std::string>& t, int32_t r) { return t[(static_cast<size_t>(r) * 13 + 5) % t.size()]; }

void Fill(common::RowSet& rs, const std::vector<std::string>& texts)
{
    for (int32_t r = 0; r < kRows; ++r) {
        rs.SetIntAt(r, 0, r);
        rs.SetIntAt(r, 1, r * 7);
        rs.SetStringAt(r, 2, Text1(texts, r));
        rs.SetStringAt(r, 3, Text2(texts, r));
    }
}

// Both sides return every text by value, as GetStringAt does.
long long ReadBack(const common::RowSet& rs)
{
    static const std::string none;
    long long sum = 0;
    for (int32_t r = 0; r < kRows; ++r) {
        sum += rs.GetIntAt(r, 0, 0) + rs.GetIntAt(r, 1, 0);
        std::string a = rs.GetStringAt(r, 2, none);
        std::string b = rs.GetStringAt(r, 3, none);
        sum += static_cast<long long>(a.size() + b.size()) + a[0] + b[b.size() - 1];
    }
    return sum;
}

struct Record {
    int32_t a = 0;
    int32_t b = 0;
    std::string c;
    std::string d;
};

long long ReferenceRun(const std::vector<std::string>& texts)
{
    std::vector<Record> v(static_cast<size_t>(kRows));
    for (int32_t r = 0; r < kRows; ++r) {
        Record& rec = v[static_cast<size_t>(r)];
        rec.a = r;
        rec.b = r * 7;
        rec.c = Text1(texts, r);
        rec.d = Text2(texts, r);
    }
    long long sum = 0;
    for (int32_t r = 0; r < kRows; ++r) {
        const Record& rec = v[static_cast<size_t>(r)];
        sum += rec.a + rec.b;
        std::string a = rec.c;
        std::string b = rec.d;
        sum += static_cast<long long>(a.size() + b.size()) + a[0] + b[b.size() - 1];
    }
    return sum;
}

common::RowSet MakeCompact()
{
    common::RowSet rs;
    rs.SetRowCount(kRows); // announced before any column: the compact form
    rs.AddColumns("id,qty,name,note");
    return rs;
}

common::RowSet MakeGeneral()
{
    common::RowSet rs;
    rs.AddColumns("id,qty,name,note"); // a column first: the general form
    rs.SetRowCount(kRows);
    return rs;
}

long long CompactRun(const std::vector<std::string>& texts)
{
    common::RowSet rs = MakeCompact();
    Fill(rs, texts);
    return ReadBack(rs);
}

double Ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

template <class Make>
long long Measure(Make make, const std::vector<std::string>& texts)
{
    const long long before = InUse();
    common::RowSet rs = make();
    Fill(rs, texts);
    return InUse() - before;
}

} // namespace

#ifdef _WIN32
void* operator new(size_t n)
{
    if (void* p = CountedAlloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return CountedAlloc(n ? n : 1); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return CountedAlloc(n ? n : 1); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
#endif

int main(int argc, char** argv)
{
    const char* where = argc > 1 ? argv[1] : "native";
    const std::vector<std::string> texts = MakeTexts();

    {
        common::RowSet probe = MakeCompact();
        common::RowSet probe2 = MakeGeneral();
        if (!dynamic_cast<common::RowSetInnerImpl2*>(probe.Table()) ||
            dynamic_cast<common::RowSetInnerImpl2*>(probe2.Table())) {
            std::fprintf(stderr, "bench_rowset: the row sets did not take the expected forms\n");
            return 1;
        }
    }

    const long long general = Measure(MakeGeneral, texts);
    const long long compact = Measure(MakeCompact, texts);
    std::printf("BENCH P5 rowset-compact-memory ratio=%.3f (%s: compact %.1f MB, general %.1f MB, "
                "%d rows x 4 columns, two integers and two texts of 8-24 bytes, %s; goal <= 0.6)\n",
                static_cast<double>(compact) / static_cast<double>(general), where, compact / 1048576.0,
                general / 1048576.0, kRows, kMemoryMethod);

    long long checkRef = 0, checkCompact = 0;
    double refMs = 1e300, compactMs = 1e300;
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        checkRef = ReferenceRun(texts);
        auto t1 = std::chrono::steady_clock::now();
        checkCompact = CompactRun(texts);
        auto t2 = std::chrono::steady_clock::now();
        refMs = std::min(refMs, Ms(t0, t1));
        compactMs = std::min(compactMs, Ms(t1, t2));
        if (checkRef != checkCompact) {
            std::fprintf(stderr, "bench_rowset: read-back differs (%lld vs %lld)\n", checkCompact, checkRef);
            return 1;
        }
    }
    std::printf("BENCH P5 rowset-compact-time ratio=%.3f (%s: compact set-then-get %.1f ms, std::vector of a "
                "four-field struct %.1f ms, both building the table, setting all %d rows and reading every "
                "value back with texts returned by value; best of %d; goal <= 1.5)\n",
                compactMs / refMs, where, compactMs, refMs, kRows, kRuns);
    return 0;
}
