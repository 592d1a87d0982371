// Change notification: the watches of RegNotifyChangeKeyValue (implemented in
// reg_notify.cpp), matching them against the store's change log, the signal
// file that tells other processes a change was committed, and the watcher
// thread that follows it. Reading the change log is the engine's business.
#ifndef NETID_PLATFORM_POSIX_REG_NOTIFY_H
#define NETID_PLATFORM_POSIX_REG_NOTIFY_H

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "platform/posix/store_engine.h"
#include "platform/posix/windows.h"

namespace netid::posix {

struct Watch {
    std::uintptr_t handle = 0;
    std::int64_t keyId = 0;
    bool subtree = false;
    DWORD filter = 0;
    HANDLE event = nullptr;  // null for a synchronous waiter
    std::int64_t seen = 0;   // changes up to this sequence number are older
    bool fired = false;
};

// Every member is used with `mutex` held (the lock of the registry calls);
// the watcher thread takes it too.
class Notifier {
public:
    Notifier(std::mutex& mutex, StoreEngine& engine) : m_mutex(mutex), m_engine(engine) {}

    // Once the store is open for writing: opens the signal file.
    void OpenSignalFile(const std::string& directory);
    // After a commit that recorded changes: tells other processes and wakes
    // the waiters of this one whose watches the changes match.
    void AfterCommit();
    // Wakes the waiters on a handle that is being closed.
    void FireWatchesOfHandle(std::uintptr_t handle);
    // Adds `watch`, which sees only changes from now on. A synchronous one
    // (no event) is waited for with `lock` until it fires, then removed.
    void Add(Watch watch, std::unique_lock<std::mutex>& lock);

private:
    void Dispatch();
    void SignalOtherProcesses();
    void StartWatcher();
    void WatcherLoop(int fd);

    std::mutex& m_mutex;
    StoreEngine& m_engine;
    std::list<Watch> m_watches;
    std::condition_variable m_fired;
    int m_signalFd = -1;
    bool m_watcherStarted = false;
};

}  // namespace netid::posix

#endif
