// SPDX-License-Identifier: LGPL-2.1-or-later
// Change notification: the watches of RegNotifyChangeKeyValue (implemented in
// reg_notify.cpp), matched against the changes the store reports (this
// process's commits at once, other processes' when a hive is brought up to
// date), and the watcher thread that brings the watched hives up to date
// when their files change.
#ifndef NETID_PLATFORM_POSIX_REG_NOTIFY_H
#define NETID_PLATFORM_POSIX_REG_NOTIFY_H

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/store/store_engine.h"
#include "platform/posix/windows.h"

namespace netid::posix {

struct Watch {
    std::uintptr_t handle = 0;
    store::KeyRef key;
    bool subtree = false;
    DWORD filter = 0;
    HANDLE event = nullptr;  // null for a synchronous waiter
    std::uint64_t thread = 0;  // the thread it ends with (0: it outlives its thread)
    bool fired = false;
};

// Every member is used with `mutex` held (the lock of the registry calls);
// the watcher thread takes it too.
class Notifier {
public:
    Notifier(std::mutex& mutex, store::StoreEngine& engine) : m_mutex(mutex), m_engine(engine) {}

    // The store's report of what changed in `slot`.
    void OnChanges(const std::shared_ptr<store::Slot>& slot, const std::vector<store::Change>& changes);
    // Wakes the waiters on a handle that is being closed.
    void FireWatchesOfHandle(std::uintptr_t handle);
    // Signals the watches armed by thread `thread` (ThisThreadId), which is
    // ending: a watch armed without REG_NOTIFY_THREAD_AGNOSTIC ends with its
    // thread, as the platform cancels it.
    void FireWatchesOfThread(std::uint64_t thread);
    // Adds `watch`, which sees only changes from now on. A synchronous one
    // (no event) is waited for with `lock` until it fires, then removed.
    void Add(Watch watch, std::unique_lock<std::mutex>& lock);

private:
    bool Matches(const Watch& w, const std::shared_ptr<store::Slot>& slot, const store::Change& change) const;
    void Fire(std::list<Watch>::iterator& it, bool& any);
    void StartWatcher();
    void WatcherLoop();

    std::mutex& m_mutex;
    store::StoreEngine& m_engine;
    std::list<Watch> m_watches;
    std::condition_variable m_fired;
    bool m_watcherStarted = false;
};

// This thread's number for the watches it arms (never 0, never reused);
// from the first call on, its end fires those of them still waiting.
std::uint64_t ThisThreadId();

}  // namespace netid::posix

#endif
