// SPDX-License-Identifier: LGPL-2.1-or-later
// .reg files: the text format of export and import.
//
// Export writes what Windows' reg export writes: UTF-16LE with a byte-order
// mark, CR LF line ends, the header "Windows Registry Editor Version 5.00",
// and the texts of hex(1), hex(2) and hex(7) data as UTF-16LE. Import reads
// those files, UTF-8 files (with or without a byte-order mark) under either
// header, and "REGEDIT4" files, whose hex texts are 8-bit.
//
// The registry is reached through the A calls, whose texts are in the
// platform's ANSI code page (UTF-8 on Linux): names and texts are converted
// between it and the file's Unicode. 8-bit text that is not UTF-8 (files and
// values written before the A calls spoke UTF-8) is read as Latin-1. A file
// holding a character the ANSI code page cannot represent is refused whole,
// rather than imported changed.
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

// Turns the raw bytes of a file into UTF-8 text: a UTF-16LE file (byte-order
// mark FF FE) is converted, a UTF-8 byte-order mark dropped, 8-bit text that
// is not UTF-8 read as Latin-1. False with a message for a UTF-16 file that
// is not valid UTF-16.
bool DecodeRegFile(const std::string& raw, std::string& text, std::string& error);

// Parses the whole UTF-8 text into steps, names and texts in the ANSI code
// page. Nothing is applied: a file with an error anywhere gives false, with a
// message naming the line.
bool ParseRegFile(const std::string& text, std::vector<RegFileOp>& ops, std::string& error);

// The UTF-8 text of a file as export writes it: UTF-16LE after a byte-order
// mark. False when the text is not UTF-8.
bool EncodeRegFile(const std::string& text, std::string& raw);

// "[FULL\NAME]" and its line end, in UTF-8; the name is in the ANSI code page.
std::string FormatRegFileKey(const std::string& fullName);
// One value as export writes it, with its line end, in UTF-8 (name and texts
// given in the ANSI code page); long hex data are continued over lines ending
// in a backslash, none longer than 80 characters.
std::string FormatRegFileValue(const std::string& name, DWORD type, const Bytes& data);

}  // namespace regctl

#endif
