// SPDX-License-Identifier: LGPL-2.1-or-later
// Change notification (see reg_notify.h) and RegNotifyChangeKeyValue.
//
// A commit of another process appends to a hive file; the watcher thread of
// each waiting process follows the store's directories with inotify, brings
// the hives up to date, and the changes they bring are matched against the
// watches. A timeout is the safety net for a wake-up that was missed.
#include "platform/posix/calls/reg_notify.h"
#include "platform/posix/calls/reg_remote.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <string>
#include <thread>

#include "platform/posix/security/kernel.h"
#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/base/status.h"

namespace netid::posix {

bool Notifier::Matches(const Watch& w, const std::shared_ptr<store::Slot>& slot,
                       const store::Change& change) const
{
    if (change.key == 0) {
        // Another process wrote the hive anew: anything in it may have changed.
        return w.key.slot == slot || w.subtree;
    }
    if (change.filter == store::kChangeDeleted) {
        return w.key.slot == slot && w.key.id == change.key;
    }
    if ((change.filter & w.filter) == 0) return false;
    if (w.key.slot == slot) {
        if (change.key == w.key.id) return true;
        return w.subtree &&
               std::find(change.chain.begin(), change.chain.end(), w.key.id) != change.chain.end();
    }
    if (!w.subtree) return false;
    // A change in a hive mounted beneath the watched key.
    for (const store::Slot* s = slot.get(); s->parent; s = s->parent.get()) {
        if (s->parent == w.key.slot) {
            return s->mountKey == w.key.id ||
                   s->parent->hive->View().IsAtOrAbove(w.key.id, s->mountKey);
        }
    }
    return false;
}

void Notifier::Fire(std::list<Watch>::iterator& it, bool& any)
{
    it->fired = true;
    any = true;
    if (it->event != nullptr) {
        SignalEventObject(it->event);
        it = m_watches.erase(it);
    } else {
        ++it;
    }
}

void Notifier::OnChanges(const std::shared_ptr<store::Slot>& slot,
                         const std::vector<store::Change>& changes)
{
    bool any = false;
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        bool match = !it->fired && std::any_of(changes.begin(), changes.end(), [&](const store::Change& c) {
                         return Matches(*it, slot, c);
                     });
        if (match) {
            Fire(it, any);
        } else {
            ++it;
        }
    }
    if (any) m_fired.notify_all();
}

void Notifier::FireWatchesOfHandle(std::uintptr_t handle)
{
    bool any = false;
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        if (it->handle == handle && !it->fired) {
            Fire(it, any);
        } else {
            ++it;
        }
    }
    if (any) m_fired.notify_all();
}

void Notifier::FireWatchesOfThread(std::uint64_t thread)
{
    bool any = false;
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        if (it->thread == thread && !it->fired) {
            Fire(it, any);
        } else {
            ++it;
        }
    }
    if (any) m_fired.notify_all();
}

namespace {

// Fires the thread's watches when the thread ends (its thread_local objects
// are destroyed then, the main thread's at exit).
struct ThreadEnd {
    std::uint64_t id;
    ~ThreadEnd()
    {
        Registry& reg = TheRegistry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.notify.FireWatchesOfThread(id);
    }
};

std::atomic<std::uint64_t> g_nextThreadId{1};

}  // namespace

std::uint64_t ThisThreadId()
{
    thread_local ThreadEnd end{g_nextThreadId.fetch_add(1)};
    return end.id;
}

void Notifier::Add(Watch watch, std::unique_lock<std::mutex>& lock)
{
    StartWatcher();
    m_watches.push_back(watch);
    if (watch.event != nullptr) {
        return;
    }
    auto mine = std::prev(m_watches.end());
    m_fired.wait(lock, [&] { return mine->fired; });
    m_watches.erase(mine);
}

void Notifier::StartWatcher()
{
    if (m_watcherStarted) {
        return;
    }
    std::thread([this] { WatcherLoop(); }).detach();  // may throw: tried again by the next watch
    m_watcherStarted = true;
}

void Notifier::WatcherLoop()
{
    OwnedFd inotify(inotify_init1(IN_CLOEXEC));
    const int fd = inotify.get();
    std::map<std::string, int> watched;
    for (;;) {
        // Nothing may end this thread (an exception leaving it would end the
        // process): a look cut short by a shortage of memory is made again
        // at the next wake-up, at the latest after the poll's timeout.
        try {
            std::lock_guard<std::mutex> lock(m_mutex);
            // The directories of every hive opened so far, before looking at
            // the hives: no change after this look is missed.
            if (fd >= 0) {
                for (const std::string& dir : m_engine.WatchedFiles()) {
                    if (watched.count(dir) == 0) {
                        watched[dir] = inotify_add_watch(fd, dir.c_str(),
                                                         IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_CLOSE_WRITE);
                    }
                }
            }
            if (!m_watches.empty()) {
                // A hive that could not be followed woke its watchers; the
                // next wake-up tries it again.
                (void)m_engine.SyncAll();
            }
        } catch (...) {
        }
        if (fd >= 0) {
            // The timeout is only a safety net for a wake-up that was missed.
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 2000) > 0) {
                char buffer[4096];
                ssize_t got = read(fd, buffer, sizeof buffer);
                (void)got;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
}

}  // namespace netid::posix

using namespace netid::posix;

LONG WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter,
                                    HANDLE hEvent, BOOL fAsynchronous)
{
    return Contained([&]() -> LONG {
        if ((dwNotifyFilter & ~static_cast<DWORD>(REG_LEGAL_CHANGE_FILTER)) != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        if (remote::IsRemote(hKey)) return remote::Notify(hKey, bWatchSubtree, dwNotifyFilter, fAsynchronous);
        if (IsDynData(hKey) || IsPerformanceData(hKey)) {
            return ERROR_INVALID_HANDLE;
        }
        if (fAsynchronous && !IsEventObject(hEvent)) {
            return ERROR_INVALID_PARAMETER;
        }
        return Guarded([&](Registry& reg, std::unique_lock<std::mutex>& lock) -> LONG {
            Handle handle = reg.Require(hKey, KEY_NOTIFY);
            Watch watch;
            watch.handle = reinterpret_cast<std::uintptr_t>(hKey);
            watch.key = handle.key;
            watch.subtree = bWatchSubtree != FALSE;
            watch.filter = dwNotifyFilter & 0x0Fu;
            watch.event = fAsynchronous ? hEvent : nullptr;
            if (watch.event != nullptr && (dwNotifyFilter & REG_NOTIFY_THREAD_AGNOSTIC) == 0) {
                watch.thread = ThisThreadId();
            }
            // Arming a wait clears the event: a signal left from before is no
            // change of this wait's.
            if (watch.event != nullptr) ResetEvent(watch.event);
            reg.notify.Add(watch, lock);
            return ERROR_SUCCESS;
        });
    });
}
