// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tools/regctl/commands.h"

namespace regctl {

namespace {

const char* const kGeneralHelp =
    "\n"
    "REGCTL Operation [Parameter List]\n"
    "\n"
    "  Operation  == [ QUERY   | ADD    | DELETE  | COPY   |\n"
    "                  SAVE    | LOAD   | UNLOAD  | RESTORE |\n"
    "                  COMPARE | EXPORT | IMPORT ]\n"
    "\n"
    "Return Code:\n"
    "\n"
    "  0 - Successful\n"
    "  1 - Failed\n"
    "  2 - Successful, the keys compared are different (COMPARE only)\n"
    "\n"
    "For help on a specific operation type:\n"
    "\n"
    "  REGCTL Operation /?\n"
    "\n"
    "Examples:\n"
    "\n"
    "  REGCTL QUERY /?\n"
    "  REGCTL ADD /?\n"
    "\n"
    "regctl --help prints this text, regctl --version the version. On Linux the\n"
    "registry is kept in the directory NETID_REGISTRY_DIR names, else in\n"
    "/var/lib/netid/registry.\n";

const char* const kViewHelp =
    "  /reg:32  Use the 32-bit view of the registry (Windows; one view on Linux).\n"
    "  /reg:64  Use the 64-bit view of the registry (Windows; one view on Linux).\n";

const char* const kKeyNameHelp =
    "  KeyName    [\\\\Machine\\]FullKey\n"
    "    Machine  Name of remote machine, omitting defaults to the current machine.\n"
    "             Only HKLM and HKU are available on remote machines.\n"
    "    FullKey  ROOTKEY\\SubKey\n"
    "    ROOTKEY  [ HKLM | HKCU | HKCR | HKU | HKCC ]\n"
    "    SubKey   The full name of a registry key under the selected ROOTKEY.\n";

std::string Help(Verb verb)
{
    switch (verb) {
    case Verb::kAdd:
        return std::string(
                   "\n"
                   "REGCTL ADD KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]\n"
                   "           [/reg:32 | /reg:64]\n"
                   "\n") +
               kKeyNameHelp +
               "\n"
               "  /v       The value name, under the selected Key, to add.\n"
               "  /ve      Adds the empty value name (Default) for the key.\n"
               "           Without /v and /ve the (Default) value is set, to an empty\n"
               "           REG_SZ unless /t and /d say otherwise.\n"
               "  /t       RegKey data types\n"
               "           [ REG_SZ    | REG_MULTI_SZ | REG_EXPAND_SZ |\n"
               "             REG_DWORD | REG_QWORD    | REG_BINARY    | REG_NONE |\n"
               "             REG_DWORD_BIG_ENDIAN | REG_DWORD_LITTLE_ENDIAN |\n"
               "             REG_QWORD_LITTLE_ENDIAN ]\n"
               "           If omitted, REG_SZ is assumed.\n"
               "  /s       Specify one character that you use as the separator in your data\n"
               "           string for REG_MULTI_SZ. If omitted, use \"\\0\" as the separator.\n"
               "  /d       The data to assign to the registry ValueName being added.\n"
               "           REG_DWORD and REG_QWORD: decimal, or hexadecimal after 0x;\n"
               "           REG_DWORD needs /d, REG_QWORD also takes -1 and the like.\n"
               "           REG_BINARY: hex digits, e.g. C0A8000A0101.\n"
               "  /f       Overwrite an existing value without asking.\n"
               "\n"
               "Examples:\n"
               "\n"
               "  REGCTL ADD HKLM\\Software\\MyCo /v Data /t REG_BINARY /d fe340ead\n"
               "  REGCTL ADD HKLM\\Software\\MyCo /v MRU /t REG_MULTI_SZ /d fax\\0mail\n"
               "  REGCTL ADD HKCU\\Software\\MyCo /v Count /t REG_DWORD /d 0x10 /f\n" +
               std::string(kViewHelp);
    case Verb::kQuery:
        return std::string(
                   "\n"
                   "REGCTL QUERY KeyName [/v [ValueName] | /ve] [/s] [/f Data [/k] [/d] [/c] [/e]]\n"
                   "             [/se Separator] [/reg:32 | /reg:64]\n"
                   "\n") +
               kKeyNameHelp +
               "\n"
               "  /v       Queries for a specific registry key value.\n"
               "  /ve      Queries for the default value or empty value name (Default).\n"
               "  /s       Queries all subkeys and values recursively (like dir /s).\n"
               "  /se      Specifies the separator (length of 1 character only) in\n"
               "           data string for REG_MULTI_SZ. Defaults to \"\\0\" as the separator.\n"
               "  /f       Searches the tree for Data: key names, value names and data\n"
               "           holding it ('*' and '?' are wildcards).\n"
               "  /k       Searches key names only (with /f); /v value names, /d data.\n"
               "  /c       The search compares letter case.\n"
               "  /e       Only exact matches: the whole name or data is Data.\n"
               "\n"
               "Examples:\n"
               "\n"
               "  REGCTL QUERY HKLM\\Software\\Microsoft\\ResKit /v Version\n"
               "  REGCTL QUERY HKLM\\Software\\MyCo /s\n"
               "  REGCTL QUERY HKLM\\Software\\MyCo /f Net* /k /e\n" +
               std::string(kViewHelp);
    case Verb::kDelete:
        return std::string(
                   "\n"
                   "REGCTL DELETE KeyName [/v ValueName | /ve | /va] [/f] [/reg:32 | /reg:64]\n"
                   "\n") +
               kKeyNameHelp +
               "\n"
               "  ValueName  The value name, under the selected Key, to delete.\n"
               "             When omitted, all subkeys and values under the Key are deleted.\n"
               "  /ve        Delete the value of empty value name (Default).\n"
               "  /va        Delete all values under this key.\n"
               "  /f         Forces the deletion without asking.\n"
               "\n"
               "Examples:\n"
               "\n"
               "  REGCTL DELETE HKLM\\Software\\MyCo /f\n"
               "  REGCTL DELETE HKLM\\Software\\MyCo /v MTU /f\n" +
               std::string(kViewHelp);
    case Verb::kCopy:
        return "\n"
               "REGCTL COPY KeyName1 KeyName2 [/s] [/f] [/reg:32 | /reg:64]\n"
               "\n"
               "  KeyName  [\\\\Machine\\]FullKey, the source (1) and the destination (2).\n"
               "  /s       Copies all subkeys and values.\n"
               "  /f       Overwrites existing values of the destination without asking.\n"
               "\n"
               "Example:\n"
               "\n"
               "  REGCTL COPY HKLM\\Software\\MyCo\\MyApp HKLM\\Software\\MyCo\\SaveMyApp /s\n" +
               std::string(kViewHelp);
    case Verb::kCompare:
        return "\n"
               "REGCTL COMPARE KeyName1 KeyName2 [/v ValueName | /ve] [/oa | /od | /os | /on] [/s]\n"
               "               [/reg:32 | /reg:64]\n"
               "\n"
               "  KeyName  [\\\\Machine\\]FullKey, the two keys to compare.\n"
               "  /v       Compares the value ValueName only; /ve the (Default) value only.\n"
               "  /s       Compares all subkeys and values.\n"
               "  /od      Shows the differences only (the default); /oa differences and\n"
               "           matches; /os matches only; /on nothing, only the result.\n"
               "\n"
               "  Each line shows where an entry is: '<' in KeyName1 only or differing\n"
               "  there, '>' in KeyName2, '=' the same in both.\n"
               "\n"
               "Return Code:\n"
               "\n"
               "  0 - Successful, the keys compared are identical\n"
               "  1 - Failed\n"
               "  2 - Successful, the keys compared are different\n" +
               std::string(kViewHelp);
    case Verb::kSave:
        return std::string(
                   "\n"
                   "REGCTL SAVE KeyName FileName [/y]\n"
                   "\n") +
               kKeyNameHelp +
               "  FileName The name of the hive file to write. For a remote machine the\n"
               "           file is that machine's: a path on it (a bare name is put in its\n"
               "           system folder), never overwritten.\n"
               "  /y       Force overwriting the existing file without prompt.\n" +
               "\n"
               "Example:\n"
               "\n"
               "  REGCTL SAVE HKLM\\Software\\MyCo\\MyApp AppBkUp.hiv\n";
    case Verb::kRestore:
        return "\n"
               "REGCTL RESTORE KeyName FileName\n"
               "\n"
               "  KeyName  ROOTKEY\\SubKey (local machine only)\n"
               "    ROOTKEY [ HKLM | HKCU | HKCR | HKU | HKCC ]\n"
               "  FileName The hive file to restore, written by REGCTL SAVE.\n"
               "           The values and subkeys of KeyName are replaced by the file's.\n"
               "\n"
               "Example:\n"
               "\n"
               "  REGCTL RESTORE HKLM\\Software\\MyCo\\MyApp AppBkUp.hiv\n";
    case Verb::kLoad:
        return "\n"
               "REGCTL LOAD KeyName FileName\n"
               "\n"
               "  KeyName  ROOTKEY\\SubKey (local machine only)\n"
               "    ROOTKEY [ HKLM | HKU ]\n"
               "    SubKey  The key name to load the hive file into. Creates a new key.\n"
               "  FileName The hive file to load, written by REGCTL SAVE.\n"
               "\n"
               "Example:\n"
               "\n"
               "  REGCTL LOAD HKLM\\TempHive TempHive.hiv\n";
    case Verb::kUnload:
        return "\n"
               "REGCTL UNLOAD KeyName\n"
               "\n"
               "  KeyName  ROOTKEY\\SubKey (local machine only)\n"
               "    ROOTKEY [ HKLM | HKU ]\n"
               "    SubKey  The key name of the hive to unload.\n"
               "\n"
               "Example:\n"
               "\n"
               "  REGCTL UNLOAD HKLM\\TempHive\n";
    case Verb::kExport:
        return "\n"
               "REGCTL EXPORT KeyName FileName [/y]\n"
               "\n"
               "  KeyName  ROOTKEY[\\SubKey] (local machine only)\n"
               "    ROOTKEY [ HKLM | HKCU | HKCR | HKU | HKCC ]\n"
               "  FileName The name of the .reg file to write: UTF-16LE text, as Windows\n"
               "           writes it.\n"
               "  /y       Force overwriting the existing file without prompt.\n"
               "\n"
               "Example:\n"
               "\n"
               "  REGCTL EXPORT HKLM\\Software\\MyCo\\MyApp AppBkUp.reg\n";
    case Verb::kImport:
        return "\n"
               "REGCTL IMPORT FileName\n"
               "\n"
               "  FileName The .reg file to import (local machine only): UTF-16LE with a\n"
               "           byte-order mark as Windows writes it, UTF-8, or REGEDIT4.\n"
               "           The whole file is checked before anything is changed.\n"
               "\n"
               "Example:\n"
               "\n"
               "  REGCTL IMPORT AppBkUp.reg\n";
    case Verb::kNone:
        break;
    }
    return kGeneralHelp;
}

}  // namespace

std::string HelpText(Verb verb) { return Help(verb); }

std::string VersionText() { return std::string("regctl (netid) ") + NETID_VERSION + "\n"; }

}  // namespace regctl
