// The record files of loaded hives and pending replacements, and the boot
// work that carries them out (see hive_records.h).
//
// A loaded hive lives in the store like any other key while it is loaded;
// the file it came from gets the key's contents back when it is unloaded, or
// at the next start of the machine if it never was.
#include "platform/posix/hive_records.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/files.h"
#include "platform/posix/hive_file.h"
#include "platform/posix/reg_handles.h"
#include "platform/posix/reg_trees.h"
#include "platform/posix/text.h"

namespace netid::posix::hive {
namespace {

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::vector<Record> ParseRecords(const std::string& text)
{
    std::vector<Record> out;
    Record rec;
    std::string field;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            char n = text[++i];
            field += n == 't' ? '\t' : n == 'n' ? '\n' : n;
        } else if (c == '\t') {
            rec.push_back(field);
            field.clear();
        } else if (c == '\n') {
            rec.push_back(field);
            out.push_back(rec);
            rec.clear();
            field.clear();
        } else {
            field += c;
        }
    }
    // A last line without its end was never written whole: it is dropped.
    return out;
}

// One pending replacement, on a new boot: the key's contents go to the old
// file, the staged new contents take their place. A loaded hive's own file
// gets the new contents instead of the store.
LONG CarryOut(const Record& rep, std::vector<Record>& mounts)
{
    RegTree fresh;
    LONG status = ReadHiveFile(rep[2], fresh);
    if (status != ERROR_SUCCESS) return status;
    HKEY root = HiveRootHandle(rep[0]);
    KeyHandle k;
    status = RegOpenKeyExA(root, rep[1].c_str(), 0, KEY_ALL_ACCESS, &k.key);
    if (status != ERROR_SUCCESS) return status;
    RegTree old;
    status = ExportKeyTree(k.key, old);
    if (status != ERROR_SUCCESS) return status;
    std::string::size_type slash = rep[1].rfind('\\');
    old.name = slash == std::string::npos ? rep[1] : rep[1].substr(slash + 1);
    status = WriteHiveAtomically(rep[3], old, false);
    if (status != ERROR_SUCCESS) return status;  // the old contents must be kept first

    for (auto it = mounts.begin(); it != mounts.end(); ++it) {
        if ((*it)[0] == rep[0] && SameName((*it)[1], rep[1])) {
            fresh.name = (*it)[1];
            status = WriteHiveAtomically((*it)[2], fresh, true);
            if (status != ERROR_SUCCESS) return status;
            RegCloseKey(k.key);
            k.key = nullptr;
            status = DeleteTree(root, (*it)[1]);
            if (status == ERROR_SUCCESS) mounts.erase(it);
            return status;
        }
    }
    return ReplaceKeyContents(k.key, fresh, false);
}

}  // namespace

// ------------------------------------------------------------ record files
Records::Records()
{
    m_dir = StoreDirectory();
    std::string lock = m_dir + "/hives.lock";
    m_lock = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lock >= 0) {
        while (::flock(m_lock, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

Records::~Records()
{
    if (m_lock >= 0) ::close(m_lock);
}

std::vector<Record> Records::Read(const char* name) const
{
    std::string path = m_dir + "/" + name;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ParseRecords(text);
}

LONG Records::Write(const char* name, const std::vector<Record>& records) const
{
    std::string text;
    for (const Record& r : records) {
        for (std::size_t i = 0; i < r.size(); ++i) {
            if (i > 0) text += '\t';
            text += Escape(r[i]);
        }
        text += '\n';
    }
    std::string path = m_dir + "/" + name;
    std::string temp = path + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return StatusFromErrno(errno);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            return StatusFromErrno(e);
        }
        done += static_cast<std::size_t>(n);
    }
    bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced || ::rename(temp.c_str(), path.c_str()) != 0) return ERROR_CANTWRITE;
    SyncDirectory(m_dir);
    return ERROR_SUCCESS;
}

HKEY HiveRootHandle(const std::string& name)
{
    return name == "HKEY_USERS" ? HKEY_USERS : HKEY_LOCAL_MACHINE;
}

// ------------------------------------------------------------ carrying things out
LONG Detach(const Record& mount)
{
    HKEY root = HiveRootHandle(mount[0]);
    KeyHandle k;
    LONG status = RegOpenKeyExA(root, mount[1].c_str(), 0, KEY_READ, &k.key);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;  // already gone
    if (status != ERROR_SUCCESS) return status;
    RegTree tree;
    status = ExportKeyTree(k.key, tree);
    if (status != ERROR_SUCCESS) return status;
    tree.name = mount[1];
    status = WriteHiveAtomically(mount[2], tree, true);
    if (status != ERROR_SUCCESS) return status;
    RegCloseKey(k.key);
    k.key = nullptr;
    return DeleteTree(root, mount[1]);
}

void CarryOutBootWork()
{
    Records records;
    if (!records.Ok()) return;
    // Only what was recorded during an earlier run of the machine is due.
    const std::string boot = CurrentBootId();
    std::vector<Record> mounts = records.Read(kMounts);
    std::vector<Record> reps = records.Read(kReplacements);
    std::vector<Record> keptReps;
    for (const Record& rep : reps) {
        if (rep.size() != kReplacementFields) continue;
        if (rep[4] == boot) {
            keptReps.push_back(rep);
        } else if (CarryOut(rep, mounts) == ERROR_SUCCESS) {
            ::unlink(rep[2].c_str());
        } else {
            keptReps.push_back(rep);  // tried again at the next start
        }
    }
    // Loaded hives do not outlive the machine's run: each goes back to its file.
    std::vector<Record> keptMounts;
    for (const Record& m : mounts) {
        if (m.size() != kMountFields) continue;
        if (m[3] == boot || Detach(m) != ERROR_SUCCESS) keptMounts.push_back(m);
    }
    records.Write(kReplacements, keptReps);
    records.Write(kMounts, keptMounts);
}

}  // namespace netid::posix::hive
