// The entry point of the test programs whose tests act as a host: the main
// thread is a single-threaded apartment, as a softphone's, and owns every
// phone object they create.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        std::fprintf(stderr, "the main thread could not enter a single-threaded apartment\n");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
