// SPDX-License-Identifier: LGPL-2.1-or-later
// Waiting in the tests for something to happen: the condition itself is
// polled until it holds, within a bound so generous that only a thing that
// never happens reaches it. No fixed pauses; nothing here measures speed.
#ifndef NETID_TESTS_SUPPORT_WAIT_H
#define NETID_TESTS_SUPPORT_WAIT_H

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "support/scratch_key.h"

// The bound of every wait for something that must happen.
constexpr std::chrono::milliseconds kGenerousWait = std::chrono::minutes(2);

// Polls `condition` until it is true (returns true) or `bound` has passed
// (returns false).
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds bound = kGenerousWait)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Joins the threads a test started when the test leaves, also through a
// failed ASSERT, which would otherwise end the program for a thread left
// joinable. The threads must end by themselves within their own bounds.
class JoinAtExit {
public:
    explicit JoinAtExit(std::vector<std::thread>& threads) : m_threads(threads) {}
    JoinAtExit(const JoinAtExit&) = delete;
    JoinAtExit& operator=(const JoinAtExit&) = delete;
    ~JoinAtExit()
    {
        for (std::thread& t : m_threads) {
            if (t.joinable()) t.join();
        }
    }

private:
    std::vector<std::thread>& m_threads;
};

// Returns once the registry's own clock has moved past `time` (a FILETIME as
// one 64-bit count), so that the next change gets a later last-write time
// however coarse the clock: a value is written into a key of its own until
// that key's last-write time is later. False when the clock never moved.
inline bool WaitForRegistryClockPast(std::uint64_t time)
{
    ScratchKey clock("Clock");
    DWORD tick = 0;
    return WaitUntil([&] {
        ++tick;
        FILETIME written = {0, 0};
        if (RegSetValueExA(clock.Handle(), "tick", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&tick), sizeof tick) != ERROR_SUCCESS ||
            RegQueryInfoKeyA(clock.Handle(), nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr,
                             &written) != ERROR_SUCCESS) {
            return false;
        }
        return ((static_cast<std::uint64_t>(written.dwHighDateTime) << 32) |
                written.dwLowDateTime) > time;
    });
}

#endif
