// The one lock type of the program's own code: kavri::Lock, a slim
// reader-writer lock usable with std::lock_guard / std::unique_lock
// (exclusive) and std::shared_lock (shared). It is not recursive: a thread
// never takes a lock it holds. Each lock's declaration says what it guards
// and where it stands in the lock order. CriticalSection is its old name.
#pragma once

#include <windows.h>

namespace kavri {

class Lock {
public:
    Lock() { InitializeSRWLock(&m_lock); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock() { AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ReleaseSRWLockExclusive(&m_lock); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&m_lock) != FALSE; }
    void lock_shared() { AcquireSRWLockShared(&m_lock); }
    void unlock_shared() { ReleaseSRWLockShared(&m_lock); }

private:
    SRWLOCK m_lock;
};

using CriticalSection = Lock;

}  // namespace kavri
