#include "tools/regctl/commands.h"

namespace regctl {

namespace {

const char* const kGeneralHelp =
    "\n"
    "REGCTL Operation [Parameter List]\n"
    "\n"
    "  Operation  == [ QUERY   | ADD    | DELETE | SAVE   | RESTORE |\n"
    "                  LOAD    | UNLOAD | EXPORT | IMPORT ]\n"
    "\n"
    "Return Code:\n"
    "\n"
    "  0 - Successful\n"
    "  1 - Failed\n"
    "\n"
    "For help on a specific operation type:\n"
    "\n"
    "  REGCTL Operation /?\n"
    "\n"
    "Examples:\n"
    "\n"
    "  REGCTL QUERY /?\n"
    "  REGCTL ADD /?\n";

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
                   "\n") +
               kKeyNameHelp +
               "\n"
               "  /v       The value name, under the selected Key, to add.\n"
               "  /ve      Adds the empty value name (Default) for the key.\n"
               "  /t       RegKey data types\n"
               "           [ REG_SZ    | REG_MULTI_SZ | REG_EXPAND_SZ |\n"
               "             REG_DWORD | REG_QWORD    | REG_BINARY    | REG_NONE ]\n"
               "           If omitted, REG_SZ is assumed.\n"
               "  /s       Specify one character that you use as the separator in your data\n"
               "           string for REG_MULTI_SZ. If omitted, use \"\\0\" as the separator.\n"
               "  /d       The data to assign to the registry ValueName being added.\n"
               "           REG_DWORD and REG_QWORD: decimal, or hexadecimal after 0x.\n"
               "           REG_BINARY: two hex digits per byte, e.g. C0A8000A0101.\n"
               "  /f       Overwrite an existing value. Without /f an existing value is\n"
               "           left alone and the operation fails: regctl never prompts.\n"
               "\n"
               "Examples:\n"
               "\n"
               "  REGCTL ADD HKLM\\Software\\MyCo /v Data /t REG_BINARY /d fe340ead\n"
               "  REGCTL ADD HKLM\\Software\\MyCo /v MRU /t REG_MULTI_SZ /d fax\\0mail\n"
               "  REGCTL ADD HKCU\\Software\\MyCo /v Count /t REG_DWORD /d 0x10 /f\n";
    case Verb::kQuery:
        return std::string(
                   "\n"
                   "REGCTL QUERY KeyName [/v [ValueName] | /ve] [/s] [/se Separator]\n"
                   "\n") +
               kKeyNameHelp +
               "\n"
               "  /v       Queries for a specific registry key value.\n"
               "  /ve      Queries for the default value or empty value name (Default).\n"
               "  /s       Queries all subkeys and values recursively (like dir /s).\n"
               "  /se      Specifies the separator (length of 1 character only) in\n"
               "           data string for REG_MULTI_SZ. Defaults to \"\\0\" as the separator.\n"
               "\n"
               "Examples:\n"
               "\n"
               "  REGCTL QUERY HKLM\\Software\\Microsoft\\ResKit /v Version\n"
               "  REGCTL QUERY HKLM\\Software\\MyCo /s\n";
    case Verb::kDelete:
        return std::string(
                   "\n"
                   "REGCTL DELETE KeyName [/v ValueName | /ve | /va] [/f]\n"
                   "\n") +
               kKeyNameHelp +
               "\n"
               "  ValueName  The value name, under the selected Key, to delete.\n"
               "             When omitted, all subkeys and values under the Key are deleted.\n"
               "  /ve        Delete the value of empty value name (Default).\n"
               "  /va        Delete all values under this key.\n"
               "  /f         Forces the deletion. Required: regctl never prompts.\n"
               "\n"
               "Examples:\n"
               "\n"
               "  REGCTL DELETE HKLM\\Software\\MyCo /f\n"
               "  REGCTL DELETE HKLM\\Software\\MyCo /v MTU /f\n";
    case Verb::kSave:
        return std::string(
                   "\n"
                   "REGCTL SAVE KeyName FileName [/y]\n"
                   "\n"
                   "  KeyName  ROOTKEY\\SubKey\n"
                   "    ROOTKEY [ HKLM | HKCU | HKCR | HKU | HKCC ]\n"
                   "  FileName The name of the hive file to write.\n"
                   "  /y       Force overwriting the existing file without prompt.\n") +
               "\n"
               "Example:\n"
               "\n"
               "  REGCTL SAVE HKLM\\Software\\MyCo\\MyApp AppBkUp.hiv\n";
    case Verb::kRestore:
        return "\n"
               "REGCTL RESTORE KeyName FileName\n"
               "\n"
               "  KeyName  ROOTKEY\\SubKey\n"
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
               "  FileName The name of the .reg file to write. It is 8-bit text.\n"
               "  /y       Force overwriting the existing file without prompt.\n"
               "\n"
               "Example:\n"
               "\n"
               "  REGCTL EXPORT HKLM\\Software\\MyCo\\MyApp AppBkUp.reg\n";
    case Verb::kImport:
        return "\n"
               "REGCTL IMPORT FileName\n"
               "\n"
               "  FileName The .reg file to import (local machine only): 8-bit text, or\n"
               "           UTF-16LE with a byte-order mark as Windows writes it.\n"
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

}  // namespace regctl
