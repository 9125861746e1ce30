// safe_ptr: an empty one throws null_ref, copies share one count, and the
// count holds across threads.
#include "com_disp_evt/safe_ptr.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using com_disp_evt::null_ref;
using com_disp_evt::safe_ptr;

namespace {
struct Counted {
    static int alive;
    int value = 7;
    Counted() { ++alive; }
    ~Counted() { --alive; }
};
int Counted::alive = 0;
} // namespace

TEST(SafePtr, EmptyDereferenceThrowsNullRef)
{
    safe_ptr<Counted> p;
    EXPECT_FALSE(p);
    EXPECT_EQ(0, p.use_count());
    try {
        (void)p->value;
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("null reference of safe ptr", e.what());
    }
    EXPECT_THROW((void)*p, null_ref);
}

TEST(SafePtr, CopiesShareAndLastOneDeletes)
{
    {
        safe_ptr<Counted> a(new Counted);
        safe_ptr<Counted> b = a;
        EXPECT_EQ(a.get(), b.get());
        EXPECT_EQ(2, a.use_count());
        a.reset();
        EXPECT_EQ(1, Counted::alive);
        EXPECT_EQ(7, b->value);
        safe_ptr<Counted> c(std::move(b));
        EXPECT_FALSE(b);
        EXPECT_EQ(1, c.use_count());
        c = c; // self-assignment keeps the object
        EXPECT_EQ(1, Counted::alive);
    }
    EXPECT_EQ(0, Counted::alive);
}

TEST(SafePtr, CountIsAtomicAcrossThreads)
{
    safe_ptr<Counted> shared(new Counted);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([shared] {
            for (int i = 0; i < 20000; ++i) {
                safe_ptr<Counted> copy = shared;
                (void)copy;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(1, shared.use_count());
    shared.reset();
    EXPECT_EQ(0, Counted::alive);
}
