// SPDX-License-Identifier: LGPL-2.1-or-later
#include "app/run.h"

#include <iostream>

#include "app/address_splitter.h"
#include "registry/registry.h"

namespace {

const char kMarker[] = "IP";
const int kMarkerLength = 2;
const char kRootName[] = "HKEY_LOCAL_MACHINE";
const char kKeyPath[] = "Software\\Zadizovi\\REdiVOR\\System";
const char kValueName[] = "AmsNetId";

void WriteRecord(const CString& field1, const CString& field2, const CString& field3,
                 const CString& field4)
{
    CRegistry registry;
    CByteArray record;
    record.SetAtGrow(record.GetSize(), ConvertFieldToByte(field1));
    record.SetAtGrow(record.GetSize(), ConvertFieldToByte(field2));
    record.SetAtGrow(record.GetSize(), ConvertFieldToByte(field3));
    record.SetAtGrow(record.GetSize(), ConvertFieldToByte(field4));
    record.SetAtGrow(record.GetSize(), 1);
    record.SetAtGrow(record.GetSize(), 1);

    {
        CString rootName(kRootName);
        registry.Connect(registry.RootKeyFromName(rootName), nullptr);
    }
    // Each step runs whatever the one before it gave; a failure only leaves
    // its status in the object, and the tool stays silent.
    registry.OpenKey(kKeyPath, KEY_WRITE);
    registry.SetBinaryValue(kValueName, record);
    registry.Close();
}

}  // namespace

int RunSequence(FrameworkInit init)
{
    int status = 0;
    if (!init(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0)) {
        std::cerr << "Fatal Error: MFC initialization failed" << std::endl;
        return 1;
    }

    CString commandLine;
    CString compact;
    CString field1;
    CString field2;
    CString field3;
    CString field4;

    commandLine = GetCommandLineA();
    int p = commandLine.Find(kMarker);
    // Without the marker there is no address: write nothing rather than take
    // the text after the program's first character for one.
    if (p < 0) {
        return status;
    }
    int count = commandLine.GetLength() - p - kMarkerLength;
    if (count <= 0) {
        return status;
    }
    commandLine = commandLine.Right(count);

    SplitAddressArgument(commandLine, compact, field1, field2, field3, field4);

    int leading = ParseLeadingInteger(commandLine);
    if (leading < 0 || leading > 255) {
        return status;
    }
    WriteRecord(field1, field2, field3, field4);
    return status;
}
