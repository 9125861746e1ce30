// A GoogleTest program that goes wrong in a chosen way, for the test of the
// Wine wrappers' rules. Its first argument says how:
//   (none)        passes
//   crash-after   passes its tests, then crashes on the way out (exit status 0 under Wine 8)
//   exit-early    ends with status 0 inside a test, before GoogleTest's summary
//   hide-failure  fails a test and still ends with status 0
//   hang          never ends
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string g_mode;

// A destructor run after main that writes through a null pointer, as a
// dangling global of a test would.
struct CrashOnExit {
    ~CrashOnExit()
    {
        if (g_mode == "crash-after")
            *static_cast<int volatile*>(target) = 1;
    }
    void* target = nullptr;
} g_crashOnExit;

TEST(BrokenOnRequest, Passes)
{
    SUCCEED();
}

TEST(BrokenOnRequest, GoesWrongHere)
{
    if (g_mode == "exit-early")
        std::exit(0);
    if (g_mode == "hide-failure")
        ADD_FAILURE() << "the failure the exit status hides";
    if (g_mode == "hang")
        Sleep(INFINITE);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc > 1)
        g_mode = argv[1];
    const int result = RUN_ALL_TESTS();
    return g_mode == "hide-failure" ? 0 : result;
}
