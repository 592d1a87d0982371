// SPDX-License-Identifier: LGPL-2.1-or-later
// One hive as a process sees it: its keys, values and security descriptors,
// the operations that change it, and its checkpoint form.
//
// A hive is read in place from its newest checkpoint (store_snapshot.h): a
// key is taken into memory when it is first looked at, its values and its
// list of sub-keys only when they are, and keys changed since the
// checkpoint are held here until the next one. So what a process holds
// grows with what it touches, not with the hive.
//
// Every change is an encoded operation applied by Apply(): a process that
// makes a change and a process that replays it from the hive's file run the
// same code, so every process ends with the same hive. The model knows
// nothing of files, handles or processes.
#ifndef NETID_PLATFORM_POSIX_STORE_MODEL_H
#define NETID_PLATFORM_POSIX_STORE_MODEL_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/posix/store/store_codec.h"
#include "platform/posix/store/store_snapshot.h"

namespace netid::posix::store {

// The hive's top key.
constexpr KeyId kRootKey = 1;

// Key flags.
constexpr std::uint32_t kKeyVolatile = 0x1;  // gone when the machine starts anew
// In a hive's public view (store_view.h): the key's values, class and
// sub-keys are withheld, for not every local user may read them.
constexpr std::uint32_t kKeyWithheld = 0x2;

struct Value {
    std::u16string name;   // as it was given; "" is the default value
    std::u16string upper;  // the name as it compares
    std::uint32_t type = 0;
    Bytes data;            // texts as UTF-16LE, as stored
    std::uint64_t stored = 0;  // where the data lies in the hive file, while unchanged (0: not there)
};

// A key's values in creation order, found by upper-case name. A key of many
// values keeps an index of their names as well, so that neither setting a
// value nor loading a hive takes time that grows with the square of the
// count; a key of few values is searched in order, which is faster there.
class ValueList {
public:
    static constexpr std::size_t kIndexFrom = 32;

    std::size_t size() const { return m_values.size(); }
    bool empty() const { return m_values.empty(); }
    const Value& operator[](std::size_t i) const { return m_values[i]; }
    std::vector<Value>::const_iterator begin() const { return m_values.begin(); }
    std::vector<Value>::const_iterator end() const { return m_values.end(); }

    const Value* Find(std::u16string_view upperName) const;
    Value* Find(std::u16string_view upperName)
    {
        return const_cast<Value*>(static_cast<const ValueList*>(this)->Find(upperName));
    }
    void Reserve(std::size_t count) { m_values.reserve(count); }
    // Adds a value whose name the list does not hold yet.
    void Append(Value value);
    // Removes the value of that name; false when there is none.
    bool Erase(std::u16string_view upperName);
    // Removes the value of that name into `out`, its place into `at`.
    bool Take(std::u16string_view upperName, Value& out, std::size_t& at);
    // Puts a value whose name the list does not hold back at place `at`.
    void InsertAt(std::size_t at, Value value);
    void Clear();

private:
    void Index(std::size_t from) noexcept;

    std::vector<Value> m_values;
    std::unordered_map<std::u16string, std::size_t> m_index;  // empty below kIndexFrom
};

struct Key;
struct ChildRef {
    KeyId id = 0;
    const Key* key = nullptr;  // the child itself (keys never move in the model)
};

// A key's sub-keys sorted by upper-case name, held in runs of at most
// kMaxRun entries (as hive files split a long list into leaves), so that
// adding or removing one of many sub-keys moves one run, not all of them.
// Enumeration by index walks the runs' sizes.
class ChildList {
public:
    static constexpr std::size_t kMaxRun = 512;

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = ChildRef;
        using difference_type = std::ptrdiff_t;
        using pointer = const ChildRef*;
        using reference = const ChildRef&;

        const_iterator() = default;
        const_iterator(const std::vector<std::vector<ChildRef>>* runs, std::size_t run)
            : m_runs(runs), m_run(run)
        {
        }
        reference operator*() const { return (*m_runs)[m_run][m_at]; }
        pointer operator->() const { return &**this; }
        const_iterator& operator++()
        {
            if (++m_at == (*m_runs)[m_run].size()) {
                ++m_run;
                m_at = 0;
            }
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator was = *this;
            ++*this;
            return was;
        }
        bool operator==(const const_iterator& o) const { return m_run == o.m_run && m_at == o.m_at; }
        bool operator!=(const const_iterator& o) const { return !(*this == o); }

    private:
        const std::vector<std::vector<ChildRef>>* m_runs = nullptr;
        std::size_t m_run = 0;
        std::size_t m_at = 0;
    };

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const ChildRef& operator[](std::size_t index) const;
    const_iterator begin() const { return const_iterator(&m_runs, 0); }
    const_iterator end() const { return const_iterator(&m_runs, m_runs.size()); }

    // The sub-key of that upper-case name, or null.
    const ChildRef* Find(std::u16string_view upper) const;
    // Adds a sub-key whose name the list does not hold yet, in its place.
    void Insert(const ChildRef& child);
    // Adds a sub-key whose name sorts after every name the list holds;
    // false (nothing added) when it does not.
    bool Append(const ChildRef& child);
    // Removes the sub-key `id` of that upper-case name; false when absent.
    bool Erase(std::u16string_view upper, KeyId id);

private:
    // The run where `upper` is or would go: the first whose last entry is
    // not below it, else the last run.
    std::size_t RunOf(std::u16string_view upper) const;

    std::vector<std::vector<ChildRef>> m_runs;  // none empty
    std::size_t m_size = 0;
};

class Model;

struct Key {
    KeyId id = 0;
    KeyId parent = 0;  // 0 for the hive's top key
    std::u16string name;
    std::u16string upper;
    std::u16string keyClass;
    std::uint32_t flags = 0;
    SecurityId security = 0;
    std::uint64_t lastWrite = 0;  // FILETIME as one count
    std::string mount;            // non-empty: another hive is mounted here, by this name
    std::string mountOrigin;      // where that hive came from, as its loader wrote it

    // Its values in creation order and its sub-keys sorted by upper-case
    // name, read from the checkpoint when first asked for.
    const ValueList& Values() const;
    const ChildList& Children() const;
    // The number of sub-keys, without reading them.
    std::size_t ChildCount() const
    {
        return (m_lazy & kLazyChildren) != 0 ? m_baseChildren - m_childrenGone.size() + m_children.size()
                                              : m_children.size();
    }
    const Value* FindValue(std::u16string_view upperName) const { return Values().Find(upperName); }
    bool IsVolatile() const { return (flags & kKeyVolatile) != 0; }
    bool IsWithheld() const { return (flags & kKeyWithheld) != 0; }

private:
    friend class Model;
    static constexpr std::uint8_t kLazyValues = 0x1;
    static constexpr std::uint8_t kLazyChildren = 0x2;
    // Sub-keys removed from a list not read yet, beyond which it is read.
    static constexpr std::size_t kMaxGone = 32;
    ValueList& MutableValues();
    ChildList& MutableChildren();

    const Model* m_model = nullptr;
    std::uint64_t m_record = 0;        // where its record lies in the checkpoint (0: none)
    std::uint32_t m_baseChildren = 0;  // the sub-keys the record lists
    mutable std::uint8_t m_lazy = 0;   // the parts still to be read from the record
    mutable ValueList m_values;
    // While the list of sub-keys is not read (kLazyChildren), m_children
    // holds only those added since the record, m_childrenGone the ids of
    // those of the record removed since: a sub-key made below a key of
    // thousands does not read them all.
    mutable ChildList m_children;
    mutable std::vector<KeyId> m_childrenGone;
};

// What a change did, for change notification. The chain lists the key and
// its ancestors up to the hive's top key, as they were when it happened.
struct Change {
    KeyId key = 0;
    std::uint32_t filter = 0;  // REG_NOTIFY_CHANGE_* bits, or kChangeDeleted
    std::vector<KeyId> chain;
};
constexpr std::uint32_t kChangeDeleted = 0x80000000u;

// Operation codes of a commit record.
enum class Op : std::uint8_t {
    CreateKey = 1,       // id, parent, flags, security, time, name, class
    DeleteKey = 2,       // id, time: the key with everything beneath it
    SetValue = 3,        // key, time, name, type, data
    DeleteValue = 4,     // key, time, name
    SetSecurity = 5,     // key, security
    DefineSecurity = 6,  // security id, descriptor bytes
    SetTime = 7,         // key, time
    SetMount = 8,        // key, mount name ("" takes the mount away), origin
    NewBoot = 9,         // boot id: the volatile keys of the old boot are gone
    ClearKey = 10,       // key, time: its values and sub-keys go, the key stays
    // Only in a hive's public view:
    Mirror = 11,         // seq: the commits of the hive it shows that it holds
    Withhold = 12,       // key, withheld (0 or 1), class
};

// What puts a model back as it stood before some operations: each operation
// applied with a log records how to undo what it did, and Model::Undo runs
// those steps backwards. Keys an operation removed are kept whole in their
// map nodes, so that undoing puts back the very keys, at the addresses the
// lists of sub-keys point at.
class UndoLog {
public:
    bool Empty() const { return m_steps.empty(); }

private:
    friend class Model;
    using Step = std::function<void(Model&, UndoLog&)>;
    // Room for `steps` more steps and `removed` more keys taken out, made
    // before an operation changes anything (growing as a vector grows, so
    // that many operations in one batch stay linear).
    void MakeRoom(std::size_t steps, std::size_t removed);
    std::vector<Step> m_steps;
    std::vector<std::unordered_map<KeyId, Key>::node_type> m_removed;
};

class Model {
public:
    Model();
    // Children point at their keys: a model is never copied.
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // ------------------------------------------------------------ reading
    const Key* Find(KeyId id) const;
    const Key& Root() const { return *Find(kRootKey); }
    // The child of `parent` with the upper-case name `upper`; 0 when none.
    KeyId Child(const Key& parent, std::u16string_view upper) const;
    // The descriptor of that id; null for 0 (a key without one) and for an
    // id the hive does not define.
    const Bytes* Security(SecurityId id) const;
    // False once a part of the checkpoint did not hold together (it reads
    // as absent): the hive file is damaged.
    bool Readable() const { return !m_unreadable; }
    // The id under which `descriptor` is known; 0 when it is not.
    SecurityId SecurityIdOf(const Bytes& descriptor) const;
    // True when `ancestor` is `key` or lies above it.
    bool IsAtOrAbove(KeyId ancestor, KeyId key) const;
    std::size_t Depth(KeyId key) const;

    std::uint64_t Seq() const { return m_seq; }
    void SetSeq(std::uint64_t seq) { m_seq = seq; }
    const std::string& BootId() const { return m_bootId; }
    // For a hive's public view: the commits of the hive it shows that it
    // holds (0: none yet).
    std::uint64_t Mirrored() const { return m_mirrored; }
    KeyId NextKeyId() const { return m_nextKey; }
    SecurityId NextSecurityId() const { return m_nextSecurity; }

    // ------------------------------------------------------------ changing
    // Applies the operations of one commit; false when one of them does not
    // fit the hive (the ones before it stay applied: the caller reloads).
    bool ApplyCommit(const std::uint8_t* data, std::size_t size, std::vector<Change>* changes);
    // Applies one operation read from `in`; false, with nothing changed,
    // when it does not fit the hive. With `undo`, what undoes it is added
    // there.
    bool Apply(Decoder& in, std::vector<Change>* changes, UndoLog* undo = nullptr);
    // Undoes what the log records, newest first, and empties the log. False
    // when a step could not be carried out for want of memory: the model is
    // then damaged (below) and must be read anew from its file.
    bool Undo(UndoLog& log) noexcept;
    // True once an undo fell short, or an operation failed halfway without
    // an undo log: what the model holds is not to be trusted.
    bool Damaged() const { return m_damaged; }
    void MarkDamaged() { m_damaged = true; }
    // Drops every volatile key without recording a new boot: the view of a
    // process that may only read a hive its writers have not brought into
    // the machine's current start yet.
    void DropVolatile(std::vector<Change>* changes);

    // ------------------------------------------------------------ checkpoints
    // The hive as a checkpoint's payload, to lie at file offset `payloadAt`
    // of the file that holds the model's checkpoint: everything, or (with
    // `whole` false, for a model read from a checkpoint) what changed since.
    void Save(Bytes& out, std::uint64_t payloadAt, bool whole) const;
    // Goes on from `base`, a checkpoint of the hive: as it stands now (the
    // model is in step with it: the keys taken stay), or in place of
    // everything (`inStep` false). False when its top key does not hold
    // together (the model is then empty of keys).
    bool Rebase(std::shared_ptr<const Snapshot> base, bool inStep);
    bool HasBase() const { return m_base != nullptr; }
    // The bytes of the file the hive's checkpoint reaches; 0 without one.
    std::uint64_t LiveBytes() const { return m_base != nullptr ? m_base->LiveBytes() : 0; }
    // Replaces this hive by one saved in the earlier, fully encoded form,
    // held in memory whole; false when the payload does not hold together
    // (this model is then empty of keys).
    bool Load(const std::uint8_t* data, std::size_t size);
    // Takes only the descriptor table and the counters of a saved hive: a
    // process that is already in step skips the keys of a checkpoint.
    bool LoadTablesOnly(const std::uint8_t* data, std::size_t size);

    // A fresh hive: a top key of the given name and descriptor.
    void Reset(const std::u16string& rootName, const Bytes& rootSecurity, std::uint64_t time,
               const std::string& bootId);

private:
    friend struct Key;
    // Where an operation's effects go: the changes it reports and, when
    // undoing is asked for, the log.
    struct Effects {
        std::vector<Change>* changes;
        UndoLog* undo;
    };
    // One function per operation: each reads its fields, checks that they
    // fit the hive before it changes anything, then applies them.
    bool ApplyCreateKey(Decoder& in, const Effects& fx);
    bool ApplyDeleteKey(Decoder& in, const Effects& fx);
    bool ApplyClearKey(Decoder& in, const Effects& fx);
    bool ApplySetValue(Decoder& in, const Effects& fx);
    bool ApplyDeleteValue(Decoder& in, const Effects& fx);
    bool ApplySetSecurity(Decoder& in, const Effects& fx);
    bool ApplyDefineSecurity(Decoder& in, const Effects& fx);
    bool ApplySetTime(Decoder& in, const Effects& fx);
    bool ApplySetMount(Decoder& in, const Effects& fx);
    bool ApplyNewBoot(Decoder& in, const Effects& fx);
    bool ApplyMirror(Decoder& in, const Effects& fx);
    bool ApplyWithhold(Decoder& in, const Effects& fx);
    // Records how to give key `id` back its last-write time as it is now.
    void KeepTime(const Effects& fx, KeyId id);
    void DropVolatile(const Effects& fx);

    // The key, to be changed: taken from the checkpoint if need be and
    // marked as changed since it.
    Key* Mutable(KeyId id);
    // A key already held, for undo steps: nothing is allocated.
    Key* Held(KeyId id);
    // Takes key `id` from the checkpoint's record at `at`; null when the
    // record does not hold together.
    const Key* Materialize(KeyId id, std::uint64_t at) const;
    // A key's fields from its record at `at`, its other parts left to be
    // read from there (its upper-case name is the caller's).
    void KeyOf(const KeyView& view, std::uint64_t at, Key& key) const;
    void LoadValues(const Key& key) const;
    void LoadChildren(const Key& key) const;
    // Appends the record of `key` (after the data of its larger values,
    // where they are not in the file yet, or all of it for a `whole` new
    // file); returns where in `out` the record begins. `kept` gets the data
    // of the file it refers to.
    std::size_t EncodeKey(const Key& key, Bytes& out, std::uint64_t payloadAt, bool whole,
                          std::vector<std::uint64_t>* kept = nullptr) const;
    // Where the data of the record's larger values lies, and its size.
    void OutsideData(const KeyView& view, std::vector<std::pair<std::uint64_t, std::uint32_t>>& out) const;
    // The values of the record, as read in place; false when they do not
    // hold together.
    bool DecodeValues(const KeyView& view, ValueList& out) const;
    void ChainOf(KeyId id, std::vector<KeyId>& chain) const;
    void Report(std::vector<Change>* changes, KeyId key, std::uint32_t filter) const;
    void RemoveSubtree(KeyId id, const Effects& fx);
    void LinkChild(Key& parent, const Key& child);
    // Nothing is allocated where the caller made room (RemoveSubtree).
    void UnlinkChild(Key& parent, const Key& child);
    // True when the record of `parent` lists `child`.
    bool InRecord(const Key& parent, const Key& child) const;
    bool LoadBody(Decoder& in, bool keys);

    // The keys taken into memory (all of them without a checkpoint to read
    // from); taking one in changes nothing the hive holds.
    mutable std::unordered_map<KeyId, Key> m_keys;
    std::shared_ptr<const Snapshot> m_base;
    std::unordered_set<KeyId> m_gone;     // keys of the checkpoint removed since
    std::unordered_set<KeyId> m_dirty;    // keys changed or made since it
    std::unordered_set<KeyId> m_volatile; // every volatile key (and some gone since)
    mutable bool m_unreadable = false;
    std::map<SecurityId, Bytes> m_security;
    KeyId m_nextKey = kRootKey + 1;
    SecurityId m_nextSecurity = 1;
    std::uint64_t m_seq = 0;  // commits applied since the hive began
    std::string m_bootId;
    std::uint64_t m_mirrored = 0;
    bool m_damaged = false;
};

// Builds one commit: each operation is encoded into the payload and applied
// to the model at once, so later operations of the same commit see it.
// Until Keep() the batch's changes are its own: a batch that goes without
// being kept (its call failed, its record could not be written, an
// exception left the call) undoes every operation it applied, and the
// changes it would have reported are never seen.
class Batch {
public:
    Batch(Model& model, std::uint64_t time);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // The batch was committed: its operations stand, and the changes they
    // made are added to `changes` (may be null).
    void Keep(std::vector<Change>* changes);

    KeyId CreateKey(KeyId parent, std::u16string_view name, std::u16string_view keyClass,
                    std::uint32_t flags, const Bytes& security, std::uint64_t lastWrite);
    // The same with the id given: a public view's keys have the ids of the
    // keys they show.
    KeyId CreateKeyAs(KeyId id, KeyId parent, std::u16string_view name, std::u16string_view keyClass,
                      std::uint32_t flags, const Bytes& security, std::uint64_t lastWrite);
    void DeleteKey(KeyId id);
    void ClearKey(KeyId id);
    void SetValue(KeyId key, std::u16string_view name, std::uint32_t type, const Bytes& data);
    void DeleteValue(KeyId key, std::u16string_view name);
    void SetSecurity(KeyId key, const Bytes& security);
    void SetTime(KeyId key, std::uint64_t time);
    void SetMount(KeyId key, const std::string& mount, const std::string& origin = std::string());
    void NewBoot(const std::string& bootId);
    void Mirror(std::uint64_t seq);
    void Withhold(KeyId key, bool withheld, std::u16string_view keyClass);

    // True while no operation was added.
    bool Empty() const { return m_payload.size() == kCommitHeader; }
    // The hive as the operations so far left it.
    const Model& View() const { return m_model; }
    bool Ok() const { return m_ok; }
    const Bytes& Payload() const { return m_payload; }
    std::uint64_t Time() const { return m_time; }

    // A commit's payload opens with its time.
    static constexpr std::size_t kCommitHeader = 8;

private:
    SecurityId Intern(const Bytes& security);
    void Run(std::size_t from);
    // Encodes one operation (its code, then what `fields` writes) and applies it.
    template <typename Fields>
    void Emit(Op op, Fields fields)
    {
        std::size_t from = m_payload.size();
        Encoder e(m_payload);
        e.U8(static_cast<std::uint8_t>(op));
        fields(e);
        Run(from);
    }

    Model& m_model;
    std::uint64_t m_time;
    std::vector<Change> m_changes;  // reported only when kept
    UndoLog m_undo;
    Bytes m_payload;
    bool m_ok = true;
};

}  // namespace netid::posix::store

#endif
