// Change notification (see reg_notify.h) and RegNotifyChangeKeyValue.
//
// After committing changes a writer touches the file "registry.signal" beside
// the database; a watcher thread in each waiting process follows it with
// inotify and matches the change log against its watches.
#include "platform/posix/reg_notify.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/posix/kernel.h"
#include "platform/posix/reg_handles.h"
#include "platform/posix/status.h"

namespace netid::posix {
namespace {

constexpr const char* kSignalFile = "registry.signal";

}  // namespace

void Notifier::OpenSignalFile(const std::string& directory)
{
    std::string signal = directory + "/" + kSignalFile;
    m_signalFd = open(signal.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
}

void Notifier::AfterCommit()
{
    SignalOtherProcesses();
    if (!m_watches.empty()) {
        Dispatch();
    }
}

void Notifier::SignalOtherProcesses()
{
    if (m_signalFd >= 0) {
        char byte = 0;
        ssize_t written = pwrite(m_signalFd, &byte, 1, 0);
        (void)written;
    }
}

void Notifier::Dispatch()
{
    if (m_watches.empty()) {
        return;
    }
    std::int64_t from = m_watches.front().seen;
    for (const Watch& w : m_watches) from = std::min(from, w.seen);
    std::int64_t last = from;
    for (const ChangeRecord& change : m_engine.ChangesSince(from)) {
        last = change.seq;
        for (Watch& w : m_watches) {
            if (w.fired || change.seq <= w.seen) continue;
            bool match = false;
            if (change.filter == kChangeKeyDeleted) {
                match = change.key == w.keyId;
            } else if ((change.filter & w.filter) != 0) {
                match = change.key == w.keyId || (w.subtree && change.InChain(w.keyId));
            }
            if (match) w.fired = true;
        }
    }
    bool anyFired = false;
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        it->seen = std::max(it->seen, last);
        if (it->fired) {
            anyFired = true;
            if (it->event != nullptr) {
                SignalEventObject(it->event);
                it = m_watches.erase(it);
                continue;
            }
        }
        ++it;
    }
    if (anyFired) {
        m_fired.notify_all();
    }
}

void Notifier::FireWatchesOfHandle(std::uintptr_t handle)
{
    bool any = false;
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        if (it->handle == handle && !it->fired) {
            it->fired = true;
            any = true;
            if (it->event != nullptr) {
                SignalEventObject(it->event);
                it = m_watches.erase(it);
                continue;
            }
        }
        ++it;
    }
    if (any) {
        m_fired.notify_all();
    }
}

void Notifier::Add(Watch watch, std::unique_lock<std::mutex>& lock)
{
    StartWatcher();
    watch.seen = m_engine.LastChangeSeq();
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
    m_watcherStarted = true;
    // The watch on the signal file is in place before the caller reads the
    // change log, so no signal after that reading is missed.
    std::string signal = m_engine.Directory() + "/" + kSignalFile;
    int fd = inotify_init1(IN_CLOEXEC);
    if (fd >= 0) {
        // The signal file may not exist yet when only readers have been here.
        int create = open(signal.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (create >= 0) close(create);
        if (inotify_add_watch(fd, signal.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE) < 0) {
            close(fd);
            fd = -1;
        }
    }
    std::thread([this, fd] { WatcherLoop(fd); }).detach();
}

void Notifier::WatcherLoop(int fd)
{
    for (;;) {
        if (fd >= 0) {
            // The timeout is only a safety net for a signal that was missed.
            pollfd p{fd, POLLIN, 0};
            int n = poll(&p, 1, 2000);
            if (n > 0) {
                char buffer[4096];
                ssize_t got = read(fd, buffer, sizeof buffer);
                (void)got;
            }
        } else {
            // No inotify: look at the change log a few times a second.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_watches.empty()) {
            continue;
        }
        try {
            Dispatch();
        } catch (const StatusError&) {
            // The next wake-up tries again.
        }
    }
}

}  // namespace netid::posix

using namespace netid::posix;

LONG WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter,
                                    HANDLE hEvent, BOOL fAsynchronous)
{
    if ((dwNotifyFilter & ~static_cast<DWORD>(REG_LEGAL_CHANGE_FILTER)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
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
        watch.keyId = handle.keyId;
        watch.subtree = bWatchSubtree != FALSE;
        watch.filter = dwNotifyFilter & 0x0Fu;
        watch.event = fAsynchronous ? hEvent : nullptr;
        reg.notify.Add(watch, lock);
        return ERROR_SUCCESS;
    });
}
