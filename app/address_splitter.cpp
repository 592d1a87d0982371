// SPDX-License-Identifier: LGPL-2.1-or-later
#include "app/address_splitter.h"

#include <climits>

namespace {

const char kBlank = ' ';
const char kDot = '.';
const int kScanWindow = 4;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void CutField(CString& compact, CString& field)
{
    field = compact;
    for (int p = 0; p < kScanWindow; ++p) {
        bool dot = p < compact.GetLength() && compact[p] == kDot;
        bool last = p + 1 >= compact.GetLength();
        if (dot || last) {
            field = compact.Left(p);
            if (last) {
                field = compact.Left(p + 1);
            }
            compact = compact.Right(compact.GetLength() - p - 1);
            return;
        }
    }
    // No dot in the window and more text after it: every later field sees the
    // same whole text.
}

}  // namespace

void SplitAddressArgument(const CString& argument, CString& compact, CString& field1,
                          CString& field2, CString& field3, CString& field4)
{
    compact = argument;
    compact.Remove(kBlank);
    CutField(compact, field1);
    CutField(compact, field2);
    CutField(compact, field3);
    CutField(compact, field4);
}

BYTE ConvertFieldToByte(const CString& field)
{
    return static_cast<BYTE>(static_cast<unsigned int>(ParseLeadingInteger(field)) & 0xFFu);
}

int ParseLeadingInteger(LPCSTR text)
{
    if (text == nullptr) {
        return 0;
    }
    while (IsSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // Accumulate the magnitude in 64 bits and stop growing it once it is past
    // the 32-bit range, so any length of digits is well defined.
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (magnitude <= limit) {
            magnitude = magnitude * 10 + (*text - '0');
        }
    }
    if (magnitude > limit) {
        return negative ? INT_MIN : INT_MAX;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}
