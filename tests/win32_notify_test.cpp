// SPDX-License-Identifier: LGPL-2.1-or-later
// RegNotifyChangeKeyValue: what a watch sees (its filter, its subtree), that
// it fires once, that arming it clears its event, a synchronous wait, its
// arguments, and how it ends: with its handle's close or its thread.
// A watch that must not fire is judged once a second watch, armed for the
// same change on another handle, has fired: the change was seen by then.
// Where Wine answers otherwise than Windows the test names the deviation.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "support/environment.h"
#include "support/key_handle.h"
#include "support/reg_calls.h"
#include "support/scratch_key.h"
#include "support/wait.h"

namespace {

const DWORD kWait = static_cast<DWORD>(kGenerousWait.count());

bool Signalled(HANDLE event, DWORD milliseconds) { return WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0; }

// A watch on every change beneath a key, through a handle of its own: once
// its event is signalled, a change made before has been seen by every watch.
class Witness {
public:
    explicit Witness(const std::string& path)
    {
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_NOTIFY, m_key.Out()));
        EXPECT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(m_key.Get(), TRUE,
                                                         REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                                         m_event, TRUE));
    }
    ~Witness() { CloseHandle(m_event); }
    Witness(const Witness&) = delete;
    Witness& operator=(const Witness&) = delete;
    // True once the change has been seen.
    bool Saw() { return Signalled(m_event, kWait); }

private:
    Key m_key;
    HANDLE m_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

struct NotifyCase {
    const char* label;
    DWORD filter;
    BOOL subtree;
    void (*change)(HKEY key);
    bool expectSignal;
};

void ChangeValue(HKEY key) { SetDword(key, "v", 1); }
void ChangeValueBelow(HKEY key)
{
    HKEY child = nullptr;
    RegOpenKeyExA(key, "child", 0, KEY_SET_VALUE, &child);
    SetDword(child, "v", 1);
    RegCloseKey(child);
}
void AddSubKey(HKEY key)
{
    HKEY child = nullptr;
    Create(key, "added", &child);
    RegCloseKey(child);
}
void AddSubKeyBelow(HKEY key)
{
    HKEY child = nullptr;
    Create(key, "child\\added", &child);
    RegCloseKey(child);
}

const NotifyCase kNotifyCases[] = {
    {"value set, last-set filter", REG_NOTIFY_CHANGE_LAST_SET, FALSE, ChangeValue, true},
    {"value set, name filter", REG_NOTIFY_CHANGE_NAME, FALSE, ChangeValue, false},
    {"sub-key added, name filter", REG_NOTIFY_CHANGE_NAME, FALSE, AddSubKey, true},
    {"sub-key added, last-set filter", REG_NOTIFY_CHANGE_LAST_SET, FALSE, AddSubKey, false},
    {"value below, key only", REG_NOTIFY_CHANGE_LAST_SET, FALSE, ChangeValueBelow, false},
    {"value below, subtree", REG_NOTIFY_CHANGE_LAST_SET, TRUE, ChangeValueBelow, true},
    {"sub-key below, subtree", REG_NOTIFY_CHANGE_NAME, TRUE, AddSubKeyBelow, true},
};

TEST(Win32Notify, NotificationHonoursFilterAndSubtree)
{
    for (const NotifyCase& c : kNotifyCases) {
        SCOPED_TRACE(c.label);
        ScratchKey scratch("Notify");
        Key child;
        ASSERT_EQ(ERROR_SUCCESS, Create(scratch.Handle(), "child", child.Out()));
        Key watched;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, scratch.Path().c_str(), 0,
                                               KEY_NOTIFY, watched.Out()));
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_EQ(ERROR_SUCCESS,
                  RegNotifyChangeKeyValue(watched.Get(), c.subtree, c.filter, event, TRUE));
        Witness witness(scratch.Path());
        c.change(scratch.Handle());
        ASSERT_TRUE(witness.Saw());
        EXPECT_EQ(c.expectSignal, Signalled(event, c.expectSignal ? kWait : 0));
        CloseHandle(event);
    }
}

TEST(Win32Notify, ArmingClearsTheEventAndAWatchFiresOnce)
{
    ScratchKey scratch("OneShot");
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // signalled from the start
    ASSERT_NE(nullptr, event);
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(scratch.Handle(), FALSE,
                                                     REG_NOTIFY_CHANGE_LAST_SET, event, TRUE));
    EXPECT_FALSE(Signalled(event, 0)) << "the old signal is gone";
    ASSERT_EQ(ERROR_SUCCESS, SetDword(scratch.Handle(), "first", 1));
    ASSERT_TRUE(Signalled(event, kWait));
    ResetEvent(event);
    Witness witness(scratch.Path());
    ASSERT_EQ(ERROR_SUCCESS, SetDword(scratch.Handle(), "second", 2));
    ASSERT_TRUE(witness.Saw());
    EXPECT_FALSE(Signalled(event, 0)) << "a watch fires once";
    CloseHandle(event);
}

TEST(Win32Notify, SynchronousNotificationReturnsAfterTheChange)
{
    ScratchKey scratch("Sync");
    std::string path = scratch.Path();
    // The writer changes the value once per poll, the first time after one
    // poll's pause, until the call below has returned: however late the call
    // begins, a change comes after it.
    std::atomic<bool> returned{false};
    std::thread writer([path, &returned] {
        HKEY key = nullptr;
        RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &key);
        DWORD round = 0;
        WaitUntil([&] {
            if (returned) return true;
            if (round > 0) SetDword(key, "later", round);
            ++round;
            return false;
        });
        RegCloseKey(key);
    });
    EXPECT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(scratch.Handle(), FALSE,
                                                     REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(scratch.Handle(), "later", nullptr, nullptr, nullptr,
                                              &size));
    returned = true;
    writer.join();
}

TEST(Win32Notify, NotificationRefusesBadArguments)
{
    ScratchKey scratch("NotifyArgs");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Wine deviation: Wine accepts an unknown filter bit and answers
    // ERROR_INVALID_HANDLE for an asynchronous wait without an event.
    const bool wine = RunningUnderWine();
    EXPECT_EQ(wine ? LONG(ERROR_SUCCESS) : LONG(ERROR_INVALID_PARAMETER),
              RegNotifyChangeKeyValue(scratch.Handle(), FALSE, 0x100, event, TRUE));
    EXPECT_EQ(wine ? LONG(ERROR_INVALID_HANDLE) : LONG(ERROR_INVALID_PARAMETER),
              RegNotifyChangeKeyValue(scratch.Handle(), FALSE, REG_NOTIFY_CHANGE_NAME, nullptr,
                                      TRUE));
    CloseHandle(event);
}

TEST(Win32Notify, ClosingTheWatchedKeySignalsTheEvent)
{
    ScratchKey scratch("CloseNotify");
    HKEY watched = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, scratch.Path().c_str(), 0,
                                           KEY_NOTIFY, &watched));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(ERROR_SUCCESS,
              RegNotifyChangeKeyValue(watched, TRUE, REG_NOTIFY_CHANGE_NAME, event, TRUE));
    EXPECT_FALSE(Signalled(event, 0));
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(watched));
    EXPECT_TRUE(Signalled(event, kWait));
    CloseHandle(event);
}

// Arms a watch on `key` from a thread of its own, which then ends.
LONG ArmFromAThreadThatEnds(HKEY key, DWORD filter, HANDLE event)
{
    LONG armed = -1;
    std::thread([&] { armed = RegNotifyChangeKeyValue(key, FALSE, filter, event, TRUE); }).join();
    return armed;
}

TEST(Win32Notify, AWatchEndsWithItsThreadUnlessItIsThreadAgnostic)
{
    ScratchKey scratch("ConfNotifyThread");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);

    // Thread-agnostic: the thread's end is no change; a change still fires.
    ASSERT_EQ(ERROR_SUCCESS, ArmFromAThreadThatEnds(scratch.Handle(),
                                                    REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC, event));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0)) << "signalled by the thread's end";
    ASSERT_EQ(ERROR_SUCCESS, SetText(scratch.Handle(), "v", "changed"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, kWait));

    // Without the flag the watch is cancelled with its thread, which
    // signals the event with no change at all.
    ASSERT_EQ(ERROR_SUCCESS, ArmFromAThreadThatEnds(scratch.Handle(), REG_NOTIFY_CHANGE_LAST_SET, event));
    if (RunningUnderWine()) {
        // Wine deviation: Wine keeps the watch after its thread has ended.
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
    } else {
        EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, kWait));
    }
    CloseHandle(event);
}

}  // namespace
