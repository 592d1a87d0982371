// SPDX-License-Identifier: LGPL-2.1-or-later
// Origins of loaded hives and the line form of records (see hive_origin.h).
#include "platform/posix/store/hive_origin.h"

#include <cstdlib>

namespace netid::posix::hive {
namespace {

constexpr const char* kOriginVersion = "1";

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

std::uint64_t Number(const std::string& s) { return std::strtoull(s.c_str(), nullptr, 10); }

}  // namespace

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

std::string JoinRecord(const Record& r)
{
    std::string text;
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (i > 0) text += '\t';
        text += Escape(r[i]);
    }
    return text;
}

std::string EncodeOrigin(const Origin& o)
{
    return JoinRecord({kOriginVersion, o.boot, o.file, std::to_string(o.dirDevice), std::to_string(o.dirInode),
                       std::to_string(o.fileDevice), std::to_string(o.fileInode)});
}

bool DecodeOrigin(const std::string& text, Origin& o)
{
    if (text.empty()) return false;
    std::vector<Record> records = ParseRecords(text + "\n");
    if (records.size() != 1 || records[0].size() != 7 || records[0][0] != kOriginVersion) return false;
    const Record& r = records[0];
    o.boot = r[1];
    o.file = r[2];
    o.dirDevice = Number(r[3]);
    o.dirInode = Number(r[4]);
    o.fileDevice = Number(r[5]);
    o.fileInode = Number(r[6]);
    return true;
}

}  // namespace netid::posix::hive
