// Mutex: early release, and a second early release, leave it usable.
#include "com_disp_evt/Mutex.h"

#include <gtest/gtest.h>

TEST(Mutex, LockUnlockEarly)
{
    com_disp_evt::Mutex m;
    com_disp_evt::MutexLock lock(m);
    lock.Unlock();
    lock.Unlock(); // a second early release is harmless
    com_disp_evt::MutexLock again(m);
}
