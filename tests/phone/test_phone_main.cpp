// The entry point of the linked-in phone object's tests: one single-threaded
// apartment on the main thread, which owns every phone object they create.
#include "tests/phone/phone_fixture.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    phone_test::ComApartment sta;
    return RUN_ALL_TESTS();
}
