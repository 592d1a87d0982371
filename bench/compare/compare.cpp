// SPDX-License-Identifier: LGPL-2.1-or-later
// The side-by-side timing of the registry calls: one source of plain Win32 A
// calls, built for Linux against our platform layer and with MinGW for
// Windows (run under Wine), so that both sides do exactly the same work.
// Times the six operations of the comparison table, or with --check does each
// once and prints what it saw, for the two builds' answers to be compared.
// Holds no platform-specific code and nothing of the registry class.
//
//   netid_compare [--batches N] [--min-batch-ms MS] [--only NAME]...
//       one line per operation: name, microseconds per operation (median of
//       the batches), operations per batch, batches
//   netid_compare --check [--only NAME]...
//       what each operation observed: statuses, bytes, names, counts
//
// Everything happens under HKEY_CURRENT_USER\Software\NetidCompare.<pid>,
// which is deleted at the end. On Linux the store is the one
// NETID_REGISTRY_DIR names.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kValueName[] = "AmsNetId";
const BYTE kNetId[6] = {192, 168, 0, 10, 1, 1};
constexpr DWORD kEnumKeys = 1000;
// 40 branches of 49 leaves each: 2,000 keys beneath the tree's top.
constexpr int kTreeBranches = 40;
constexpr int kTreeLeaves = 49;
constexpr DWORD kNameSize = 32;

// A call that did not succeed: the run stops, since timing failures would
// compare nothing.
struct Failure {
    std::string what;
    LONG status;
};

void Check(LONG status, const std::string& what)
{
    if (status != ERROR_SUCCESS) throw Failure{what, status};
}

// An open key, closed when it goes.
class Key {
public:
    Key() = default;
    ~Key() { Close(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    HKEY Get() const { return m_key; }
    HKEY* Out()
    {
        Close();
        return &m_key;
    }
    LONG Close()
    {
        LONG status = ERROR_SUCCESS;
        if (m_key != nullptr) status = RegCloseKey(m_key);
        m_key = nullptr;
        return status;
    }

private:
    HKEY m_key = nullptr;
};

LONG CreateKey(HKEY parent, const char* name, HKEY* key, DWORD* disposition)
{
    return RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, key, disposition);
}

LONG CreateAndClose(HKEY parent, const char* name)
{
    HKEY key = nullptr;
    LONG status = CreateKey(parent, name, &key, nullptr);
    if (status == ERROR_SUCCESS) status = RegCloseKey(key);
    return status;
}

// The walk of a recursive deletion: open the key, delete whatever sub-key is
// at index 0 until none is left, then the key itself.
LONG DeleteTree(HKEY parent, const char* name)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key);
    if (status != ERROR_SUCCESS) return status;
    char child[MAX_PATH];
    while (status == ERROR_SUCCESS && RegEnumKeyA(key, 0, child, MAX_PATH) == ERROR_SUCCESS) {
        status = DeleteTree(key, child);
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? RegDeleteKeyA(parent, name) : status;
}

// Keys beneath `key`, counted by walking the tree.
long CountSubKeys(HKEY key)
{
    long count = 0;
    char name[MAX_PATH];
    for (DWORD i = 0; RegEnumKeyA(key, i, name, MAX_PATH) == ERROR_SUCCESS; ++i) {
        Key child;
        Check(RegOpenKeyExA(key, name, 0, KEY_READ, child.Out()), "open a key to count");
        count += 1 + CountSubKeys(child.Get());
    }
    return count;
}

std::string Hex(const BYTE* data, DWORD size)
{
    std::string text;
    char byte[4];
    for (DWORD i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", data[i]);
        text += byte;
    }
    return text;
}

// One RegQueryValueExA of the six-byte value, and what it gave.
struct ValueRead {
    LONG status = -1;
    DWORD type = 0;
    DWORD size = 0;
    BYTE data[16] = {};

    LONG From(HKEY key)
    {
        size = sizeof data;
        status = RegQueryValueExA(key, kValueName, nullptr, &type, data, &size);
        return status;
    }
    std::string Text() const
    {
        char head[64];
        std::snprintf(head, sizeof head,
                      "status %ld, type %lu, %lu bytes: ", static_cast<long>(status),
                      static_cast<unsigned long>(type), static_cast<unsigned long>(size));
        return head + Hex(data, status == ERROR_SUCCESS ? size : 0);
    }
};

void SetNetId(HKEY key)
{
    Check(RegSetValueExA(key, kValueName, 0, REG_BINARY, kNetId, sizeof kNetId),
          "set the value to query");
}

// A key of one operation's own, fresh, deleted with all it holds afterwards.
class Scratch {
public:
    Scratch(const std::string& root, const char* leaf) : m_path(root + "\\" + leaf)
    {
        Check(CreateKey(HKEY_CURRENT_USER, m_path.c_str(), m_key.Out(), nullptr),
              "create the scratch key");
    }
    ~Scratch()
    {
        m_key.Close();
        DeleteTree(HKEY_CURRENT_USER, m_path.c_str());
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    HKEY Get() const { return m_key.Get(); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    Key m_key;
};

// One row of the table: untimed preparation, the timed calls, and what the
// last of them observed.
class Operation {
public:
    virtual ~Operation() = default;
    virtual const char* Name() const = 0;
    // Untimed, once, in the operation's fresh scratch key (which outlives it).
    virtual void Prepare(const Scratch& scratch) = 0;
    // Whether each operation needs BeforeBatch first: then a batch is one
    // operation long.
    virtual bool OnePerBatch() const { return false; }
    // Untimed, before each batch.
    virtual void BeforeBatch() {}
    // Timed: `count` operations.
    virtual void Run(long count) = 0;
    // What the last operation observed (may make further calls, untimed).
    virtual void Report(std::FILE* out) = 0;
};

// RegQueryValueExA of a six-byte REG_BINARY on a handle kept open.
class QueryOnOpenHandle : public Operation {
public:
    const char* Name() const override { return "query_open_handle"; }
    void Prepare(const Scratch& scratch) override
    {
        m_key = scratch.Get();
        SetNetId(m_key);
    }
    void Run(long count) override
    {
        for (long i = 0; i < count; ++i) Check(m_read.From(m_key), "RegQueryValueExA");
    }
    void Report(std::FILE* out) override
    {
        std::fprintf(out, "%s: %s\n", Name(), m_read.Text().c_str());
    }

private:
    HKEY m_key = nullptr;
    ValueRead m_read;
};

// RegOpenKeyExA, RegQueryValueExA of the six bytes, RegCloseKey.
class OpenQueryClose : public Operation {
public:
    const char* Name() const override { return "open_query_close"; }
    void Prepare(const Scratch& scratch) override
    {
        m_path = scratch.Path();
        SetNetId(scratch.Get());
    }
    void Run(long count) override
    {
        for (long i = 0; i < count; ++i) {
            HKEY key = nullptr;
            m_open = RegOpenKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_READ, &key);
            Check(m_open, "RegOpenKeyExA");
            m_read.From(key);
            m_close = RegCloseKey(key);
            Check(m_read.status, "RegQueryValueExA");
            Check(m_close, "RegCloseKey");
        }
    }
    void Report(std::FILE* out) override
    {
        std::fprintf(out, "%s: open %ld, close %ld; query %s\n", Name(), static_cast<long>(m_open),
                     static_cast<long>(m_close), m_read.Text().c_str());
    }

private:
    std::string m_path;
    LONG m_open = -1;
    LONG m_close = -1;
    ValueRead m_read;
};

// RegEnumKeyExA over index 0..999 of a key with 1,000 sub-keys: one
// operation is the whole walk.
class EnumerateSubKeys : public Operation {
public:
    const char* Name() const override { return "enumerate_1000_subkeys"; }
    void Prepare(const Scratch& scratch) override
    {
        m_key = scratch.Get();
        // Made in a scattered order (389 is prime to 1,000), so that the
        // order of the walk is the registry's own and not the creation order.
        char name[kNameSize];
        for (DWORD i = 0; i < kEnumKeys; ++i) {
            std::snprintf(name, sizeof name, "key%04lu",
                          static_cast<unsigned long>(i * 389 % kEnumKeys));
            Check(CreateAndClose(m_key, name), "create a sub-key to enumerate");
        }
    }
    void Run(long count) override
    {
        for (long n = 0; n < count; ++n) {
            for (DWORD i = 0; i < kEnumKeys; ++i) {
                m_lengths[i] = kNameSize;
                Check(RegEnumKeyExA(m_key, i, m_names[i], &m_lengths[i], nullptr, nullptr, nullptr,
                                    nullptr),
                      "RegEnumKeyExA");
            }
        }
    }
    void Report(std::FILE* out) override
    {
        unsigned long lengthsRight = 0;
        for (DWORD i = 0; i < kEnumKeys; ++i) {
            if (m_lengths[i] == std::strlen(m_names[i])) ++lengthsRight;
        }
        char name[kNameSize];
        DWORD length = kNameSize;
        const LONG past =
            RegEnumKeyExA(m_key, kEnumKeys, name, &length, nullptr, nullptr, nullptr, nullptr);
        std::fprintf(out, "%s: %lu names, %lu lengths right, index %lu: status %ld\n", Name(),
                     static_cast<unsigned long>(kEnumKeys), lengthsRight,
                     static_cast<unsigned long>(kEnumKeys), static_cast<long>(past));
        for (DWORD i = 0; i < kEnumKeys; i += 10) {
            std::string line;
            for (DWORD j = i; j < i + 10 && j < kEnumKeys; ++j)
                line += std::string(" ") + m_names[j];
            std::fprintf(out, "%s: %04lu:%s\n", Name(), static_cast<unsigned long>(i),
                         line.c_str());
        }
    }

private:
    HKEY m_key = nullptr;
    char m_names[kEnumKeys][kNameSize] = {};
    DWORD m_lengths[kEnumKeys] = {};
};

// RegSetValueExA of six bytes on a handle kept open. Each write stores bytes
// other than the last one's, so no side can pass it over as unchanged.
class SetOnOpenHandle : public Operation {
public:
    const char* Name() const override { return "set_open_handle"; }
    void Prepare(const Scratch& scratch) override { m_key = scratch.Get(); }
    void Run(long count) override
    {
        for (long i = 0; i < count; ++i) {
            std::memcpy(m_written, kNetId, sizeof m_written);
            m_written[3] = static_cast<BYTE>(++m_count);
            m_status =
                RegSetValueExA(m_key, kValueName, 0, REG_BINARY, m_written, sizeof m_written);
            Check(m_status, "RegSetValueExA");
        }
    }
    void Report(std::FILE* out) override
    {
        ValueRead back;
        back.From(m_key);
        std::fprintf(out, "%s: status %ld, wrote %s; read back: %s\n", Name(),
                     static_cast<long>(m_status), Hex(m_written, sizeof m_written).c_str(),
                     back.Text().c_str());
    }

private:
    HKEY m_key = nullptr;
    unsigned long m_count = 0;
    LONG m_status = -1;
    BYTE m_written[6] = {};
};

// RegCreateKeyExA of a new name each time, then RegCloseKey.
class CreateNewKey : public Operation {
public:
    const char* Name() const override { return "create_close"; }
    void Prepare(const Scratch& scratch) override { m_key = scratch.Get(); }
    void Run(long count) override
    {
        for (long i = 0; i < count; ++i) {
            std::snprintf(m_name, sizeof m_name, "new%lu", ++m_count);
            HKEY key = nullptr;
            m_status = CreateKey(m_key, m_name, &key, &m_disposition);
            Check(m_status, "RegCreateKeyExA");
            m_close = RegCloseKey(key);
            Check(m_close, "RegCloseKey");
        }
    }
    void Report(std::FILE* out) override
    {
        Key again;
        DWORD disposition = 0;
        const LONG status = CreateKey(m_key, m_name, again.Out(), &disposition);
        std::fprintf(out,
                     "%s: %s: status %ld, disposition %lu, close %ld; sub-keys %ld; "
                     "created again: status %ld, disposition %lu\n",
                     Name(), m_name, static_cast<long>(m_status),
                     static_cast<unsigned long>(m_disposition), static_cast<long>(m_close),
                     CountSubKeys(m_key), static_cast<long>(status),
                     static_cast<unsigned long>(disposition));
    }

private:
    HKEY m_key = nullptr;
    unsigned long m_count = 0;
    char m_name[kNameSize] = {};
    LONG m_status = -1;
    LONG m_close = -1;
    DWORD m_disposition = 0;
};

// The deletion of a tree of 2,000 keys (and its top) by the walk of
// DeleteTree; the tree is built anew, untimed, before each one.
class DeleteKeyTree2000 : public Operation {
public:
    const char* Name() const override { return "delete_tree_2000"; }
    void Prepare(const Scratch& scratch) override { m_key = scratch.Get(); }
    bool OnePerBatch() const override { return true; }
    void BeforeBatch() override
    {
        Key top;
        Check(CreateKey(m_key, "tree", top.Out(), nullptr), "create the tree");
        char name[kNameSize];
        for (int b = 0; b < kTreeBranches; ++b) {
            Key branch;
            std::snprintf(name, sizeof name, "branch%02d", b);
            Check(CreateKey(top.Get(), name, branch.Out(), nullptr), "create a branch");
            for (int l = 0; l < kTreeLeaves; ++l) {
                std::snprintf(name, sizeof name, "leaf%02d", l);
                Check(CreateAndClose(branch.Get(), name), "create a leaf");
            }
        }
        m_built = CountSubKeys(top.Get());
    }
    void Run(long count) override
    {
        for (long i = 0; i < count; ++i) {
            m_status = DeleteTree(m_key, "tree");
            Check(m_status, "the deletion of the tree");
        }
    }
    void Report(std::FILE* out) override
    {
        Key gone;
        const LONG open = RegOpenKeyExA(m_key, "tree", 0, KEY_READ, gone.Out());
        std::fprintf(out,
                     "%s: keys beneath the top %ld, deletion status %ld; "
                     "open afterwards: status %ld; keys left %ld\n",
                     Name(), m_built, static_cast<long>(m_status), static_cast<long>(open),
                     CountSubKeys(m_key));
    }

private:
    HKEY m_key = nullptr;
    long m_built = 0;
    LONG m_status = -1;
};

struct Options {
    bool check = false;
    int batches = 7;
    double minBatchMicroseconds = 50000;
    std::vector<std::string> only;
};

// Microseconds per operation of one batch of `count`.
double TimeBatch(Operation& operation, long count)
{
    operation.BeforeBatch();
    const Clock::time_point start = Clock::now();
    operation.Run(count);
    const std::chrono::duration<double, std::micro> elapsed = Clock::now() - start;
    return elapsed.count() / static_cast<double>(count);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void Measure(Operation& operation, const Options& options)
{
    // Untimed rounds first: they warm up, and they find how many operations
    // make a batch last the minimum.
    long count = 1;
    for (;;) {
        const double each = TimeBatch(operation, count);
        if (operation.OnePerBatch() ||
            each * static_cast<double>(count) >= options.minBatchMicroseconds) {
            break;
        }
        const double wanted = each > 0 ? options.minBatchMicroseconds / each * 1.1 : 1e9;
        count = static_cast<long>(std::min(std::max(wanted, 2.0 * count), 100.0 * count));
    }
    std::vector<double> times;
    for (int b = 0; b < options.batches; ++b) times.push_back(TimeBatch(operation, count));
    std::printf("%s %.3f %ld %d\n", operation.Name(), Median(times), count, options.batches);
    std::fflush(stdout);
}

bool Wanted(const Options& options, const char* name)
{
    return options.only.empty() ||
           std::find(options.only.begin(), options.only.end(), name) != options.only.end();
}

int Usage()
{
    std::fprintf(
        stderr,
        "usage: netid_compare [--check] [--batches N] [--min-batch-ms MS] [--only NAME]...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--check") {
            options.check = true;
        } else if (arg == "--batches" && hasValue) {
            options.batches = std::atoi(argv[++i]);
            if (options.batches < 1) return Usage();
        } else if (arg == "--min-batch-ms" && hasValue) {
            options.minBatchMicroseconds = std::atof(argv[++i]) * 1000;
            if (!(options.minBatchMicroseconds > 0)) return Usage();
        } else if (arg == "--only" && hasValue) {
            options.only.push_back(argv[++i]);
        } else {
            return Usage();
        }
    }

    std::vector<std::unique_ptr<Operation>> operations;
    operations.push_back(std::make_unique<QueryOnOpenHandle>());
    operations.push_back(std::make_unique<OpenQueryClose>());
    operations.push_back(std::make_unique<EnumerateSubKeys>());
    operations.push_back(std::make_unique<SetOnOpenHandle>());
    operations.push_back(std::make_unique<CreateNewKey>());
    operations.push_back(std::make_unique<DeleteKeyTree2000>());
    for (const std::string& name : options.only) {
        bool known = false;
        for (const auto& operation : operations) known = known || name == operation->Name();
        if (!known) {
            std::fprintf(stderr, "netid_compare: no operation '%s'\n", name.c_str());
            return Usage();
        }
    }

    const std::string root = "Software\\NetidCompare." +
                             std::to_string(static_cast<unsigned long>(GetCurrentProcessId()));
    // What an earlier process of the same id may have left.
    DeleteTree(HKEY_CURRENT_USER, root.c_str());
    int status = 0;
    try {
        if (!options.check)
            std::printf("# operation microseconds_per_operation operations_per_batch batches\n");
        for (const auto& operation : operations) {
            if (!Wanted(options, operation->Name())) continue;
            Scratch scratch(root, operation->Name());
            operation->Prepare(scratch);
            if (options.check) {
                TimeBatch(*operation, 1);
                operation->Report(stdout);
            } else {
                Measure(*operation, options);
            }
        }
    } catch (const Failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "netid_compare: %s answered %ld\n", failure.what.c_str(),
                     static_cast<long>(failure.status));
        status = 1;
    }
    const LONG cleanup = DeleteTree(HKEY_CURRENT_USER, root.c_str());
    if (options.check) std::printf("cleanup: status %ld\n", static_cast<long>(cleanup));
    if (cleanup != ERROR_SUCCESS && status == 0) {
        std::fprintf(stderr, "netid_compare: the deletion of the scratch keys answered %ld\n",
                     static_cast<long>(cleanup));
        status = 1;
    }
    return status;
}
