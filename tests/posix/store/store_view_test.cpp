// SPDX-License-Identifier: LGPL-2.1-or-later
// A hive's public view: it shows what every local user may read of the hive
// and nothing else, follows each commit, keeps what it withholds out of its
// file, and is brought in step whole where it fell behind.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/security/access.h"
#include "platform/posix/store/store_hive.h"
#include "platform/posix/store/store_view.h"
#include "support/temp_dir.h"

namespace {

using namespace netid::posix::store;

// Self-relative, DACL present and empty: no one may read.
const Bytes kClosed = {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,
                       2, 0, 8, 0, 0, 0, 0, 0};
// Self-relative without a DACL: nothing restricts the key.
const Bytes kOpen = {1, 0, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

class View : public ::testing::Test {
protected:
    void SetUp() override
    {
        HiveOptions o;
        o.create = true;
        o.owner = geteuid();
        o.bootId = "boot-1";
        o.rootName = u"MACHINE";
        o.mode = 0600;
        ASSERT_EQ(0, Hive::Open(m_dir.Fd(), "machine", o, m_real));
        o.mode = 0644;
        o.guarded = true;  // written under the hive's lock alone, as writers write it
        ASSERT_EQ(0, Hive::Open(m_dir.Fd(), std::string("machine") + kViewSuffix, o, m_view));
    }

    // One commit of the hive, with its view following it (or not). A view
    // that followed every commit before takes only what the commit touched.
    void Do(const std::function<void(Batch&)>& body, bool follow = true)
    {
        Hive::AfterCommit after = [&](const Batch& batch, std::uint64_t seqBefore) {
            const bool inStep = m_view->View().Mirrored() == seqBefore;
            bool whole = false;
            EXPECT_EQ(0, ReflectInView(m_real->View(), *m_view, &batch.Payload(), seqBefore, &whole));
            EXPECT_EQ(!inStep, whole);
        };
        ASSERT_EQ(0, m_real->Commit(
                         [&](Batch& b) {
                             body(b);
                             return b.Ok() ? 0 : 1;
                         },
                         nullptr, follow ? after : nullptr));
    }

    // The view read anew from its file, as another process opens it.
    std::unique_ptr<Hive> Reopened()
    {
        HiveOptions o;
        o.owner = geteuid();
        o.bootId = "boot-1";
        o.writable = false;
        std::unique_ptr<Hive> view;
        EXPECT_EQ(0, Hive::Open(m_dir.Fd(), std::string("machine") + kViewSuffix, o, view));
        return view;
    }

    // The view shows exactly the keys beneath keys every user may read:
    // their fields, and the values and sub-keys of those every user may read.
    void ExpectShows(const Model& view)
    {
        const Model& real = m_real->View();
        EXPECT_EQ(real.Seq(), view.Mirrored());
        std::size_t shown = 0;
        std::vector<KeyId> pending{kRootKey};
        while (!pending.empty()) {
            const KeyId id = pending.back();
            pending.pop_back();
            const Key* r = real.Find(id);
            const Key* v = view.Find(id);
            ASSERT_NE(nullptr, v) << "key " << id;
            ++shown;
            const Bytes* sd = r->security != 0 ? real.Security(r->security) : nullptr;
            const Bytes* vsd = v->security != 0 ? view.Security(v->security) : nullptr;
            const bool open = netid::posix::EveryLocalUserMayRead(sd != nullptr ? *sd : Bytes());
            EXPECT_EQ(sd != nullptr ? *sd : Bytes(), vsd != nullptr ? *vsd : Bytes()) << "key " << id;
            EXPECT_EQ(r->name, v->name);
            EXPECT_EQ(r->parent, v->parent);
            EXPECT_EQ(r->lastWrite, v->lastWrite) << "key " << id;
            EXPECT_EQ(!open, v->IsWithheld()) << "key " << id;
            if (!open) {
                EXPECT_TRUE(v->Values().empty()) << "key " << id;
                EXPECT_EQ(0u, v->ChildCount()) << "key " << id;
                EXPECT_TRUE(v->keyClass.empty());
                continue;
            }
            EXPECT_EQ(r->keyClass, v->keyClass);
            ASSERT_EQ(r->Values().size(), v->Values().size()) << "key " << id;
            for (const Value& value : r->Values()) {
                const Value* mine = v->FindValue(value.upper);
                ASSERT_NE(nullptr, mine);
                EXPECT_EQ(value.data, mine->data);
            }
            EXPECT_EQ(r->ChildCount(), v->ChildCount()) << "key " << id;
            for (const ChildRef& c : r->Children()) pending.push_back(c.id);
        }
        EXPECT_GT(shown, 1u);
    }

    std::string ViewFileText() const { return ReadAll(m_dir.Path() + "/machine" + kViewSuffix + ".hive"); }

    TempDir m_dir;
    std::unique_ptr<Hive> m_real;
    std::unique_ptr<Hive> m_view;
};

Bytes Data(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST_F(View, ShowsWhatEveryUserMayReadFollowsEachCommitAndKeepsTheRestOutOfItsFile)
{
    KeyId open = 0, shut = 0, below = 0, deeper = 0;
    Do([&](Batch& b) {
        open = b.CreateKey(kRootKey, u"Open", u"cls", 0, {}, 5);
        b.SetValue(open, u"plain", 1, Data("p"));
        shut = b.CreateKey(kRootKey, u"Shut", u"", 0, {}, 5);
        below = b.CreateKey(shut, u"Below", u"", 0, {}, 5);
        deeper = b.CreateKey(below, u"Deeper", u"", 0, {}, 5);
        b.SetValue(shut, u"Secret7Value", 3, Data("Secret7Data"));
        b.SetValue(deeper, u"inner", 3, Data("x"));
    });
    ExpectShows(m_view->View());
    ASSERT_NE(std::string::npos, ViewFileText().find("Secret7Data"));

    // Shut to all: withheld, and gone from the view's file as well.
    Do([&](Batch& b) { b.SetSecurity(shut, kClosed); });
    ExpectShows(m_view->View());
    EXPECT_TRUE(m_view->View().Find(shut)->IsWithheld());
    EXPECT_EQ(nullptr, m_view->View().Find(below));
    EXPECT_EQ(std::string::npos, ViewFileText().find("Secret7Data"));
    // Changes beneath it stay out of the view.
    Do([&](Batch& b) {
        b.SetValue(shut, u"Later", 3, Data("Later9Data"));
        b.CreateKey(below, u"New", u"", 0, {}, 5);
    });
    ExpectShows(Reopened()->View());
    EXPECT_EQ(std::string::npos, ViewFileText().find("Later9Data"));

    // Open again, shut again, open again: the same keys, read anew each time.
    for (const Bytes& security : {kOpen, kClosed, kOpen}) {
        Do([&](Batch& b) { b.SetSecurity(shut, security); });
        ExpectShows(m_view->View());
        ExpectShows(Reopened()->View());
    }
    ASSERT_NE(nullptr, m_view->View().Find(deeper));

    // A key beneath one every user may read, shut: only it is withheld.
    Do([&](Batch& b) { b.SetSecurity(below, kClosed); });
    ExpectShows(Reopened()->View());
    Do([&](Batch& b) { b.DeleteKey(below); });
    ExpectShows(Reopened()->View());
    EXPECT_EQ(nullptr, m_view->View().Find(below));
}

TEST_F(View, AViewThatFellBehindIsBroughtInStepWithTheWholeHive)
{
    KeyId open = 0, shut = 0;
    Do([&](Batch& b) {
        open = b.CreateKey(kRootKey, u"Open", u"", 0, {}, 5);
        shut = b.CreateKey(kRootKey, u"Shut", u"", 0, {}, 5);
        b.SetValue(shut, u"v", 3, Data("was open"));
    });
    // A writer stopped between the hive's commit and the view's: these
    // never reached the view.
    Do(
        [&](Batch& b) {
            b.SetValue(open, u"missed", 3, Data("m"));
            b.SetSecurity(shut, kClosed);
            b.CreateKey(open, u"Made", u"", 0, {}, 5);
        },
        false);
    EXPECT_NE(m_real->View().Seq(), m_view->View().Mirrored());
    Do([&](Batch& b) { b.SetValue(open, u"next", 3, Data("n")); });
    ExpectShows(m_view->View());
    ExpectShows(Reopened()->View());
    EXPECT_EQ(std::string::npos, ViewFileText().find("was open"));
}

}  // namespace
