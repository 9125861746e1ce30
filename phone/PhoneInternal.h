// Shared by the phone object's sources: its trace helper and the lock that
// guards g_pPhone against adapter threads.
#pragma once

#define KEX_TRACE_FILE "KexPhone"

#include "log/Trace.h"

#include <windows.h>

namespace kex_phone {

// Guards g_pPhone and each object's count of device callbacks in flight. A
// static SRW lock needs no construction, so adapter threads may take it at
// any time, also while static objects are built or torn down.
extern SRWLOCK g_phoneLock;

class PhoneLock {
public:
    PhoneLock() noexcept { AcquireSRWLockExclusive(&g_phoneLock); }
    ~PhoneLock() { ReleaseSRWLockExclusive(&g_phoneLock); }
    PhoneLock(const PhoneLock&) = delete;
    PhoneLock& operator=(const PhoneLock&) = delete;
};

// The type library embedded in the component's own file.
HRESULT LoadOwnTypeLib(ITypeLib** lib) noexcept;

} // namespace kex_phone
