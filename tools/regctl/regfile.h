// .reg files: the text format of export and import.
//
// We write 8-bit text (CR LF line ends, no byte-order mark) under the header
// "Windows Registry Editor Version 5.00": the names and strings of this store
// are 8-bit, so 8-bit text carries them exactly. Under that header the hex(1),
// hex(2) and hex(7) forms hold their texts as UTF-16LE, as on Windows; we widen
// them on export and narrow them on import, so files move between Windows,
// Wine and this store. Import also reads the UTF-16LE files (with byte-order
// mark) that Windows writes, and "REGEDIT4" files, whose hex texts are 8-bit.
#ifndef NETID_TOOLS_REGCTL_REGFILE_H
#define NETID_TOOLS_REGCTL_REGFILE_H

#include <string>
#include <vector>

#include "tools/regctl/keyname.h"
#include "tools/regctl/values.h"

namespace regctl {

extern const char* const kRegFileHeader;

// One step of an import, in file order.
struct RegFileOp {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
    Kind kind = kCreateKey;
    KeyName key;
    std::string valueName;  // "" is the default value
    DWORD type = REG_NONE;
    Bytes data;
    int line = 0;  // where the step stands in the file
};

// Turns the raw bytes of a file into 8-bit text: a UTF-16LE file (byte-order
// mark FF FE) is narrowed, which fails for characters beyond U+00FF; a UTF-8
// byte-order mark is dropped. False with a message otherwise.
bool DecodeRegFile(const std::string& raw, std::string& text, std::string& error);

// Parses the whole text into steps. Nothing is applied: a file with an error
// anywhere gives false, with a message naming the line.
bool ParseRegFile(const std::string& text, std::vector<RegFileOp>& ops, std::string& error);

// "[FULL\NAME]" and its line end.
std::string FormatRegFileKey(const std::string& fullName);
// One value as export writes it, with its line end; long hex data are
// continued over lines ending in a backslash, none longer than 80 characters.
std::string FormatRegFileValue(const std::string& name, DWORD type, const Bytes& data);

}  // namespace regctl

#endif
