#include "setup/setup.h"

#include <strsafe.h>

// Copies the process command line, drops every double quote and lower-cases the rest, so that
// switches are found in any letter case and paths reach the registry in one spelling.
// False when the command line does not fit whole (it always does on Windows).
bool NormaliseCommandLine(WCHAR* buffer, size_t capacity) {
    const WCHAR* commandLine = GetCommandLineW();
    if (commandLine == NULL || FAILED(StringCchCopyW(buffer, capacity, commandLine))) {
        if (capacity > 0)
            buffer[0] = 0;
        return false;
    }
    size_t kept = 0;
    for (size_t i = 0; buffer[i] != 0; ++i)
        if (buffer[i] != TEXT('"'))
            buffer[kept++] = buffer[i];
    buffer[kept] = 0;
    CharLowerW(buffer);
    return true;
}

bool HasSwitch(const WCHAR* buffer, const WCHAR* switchText) {
    return FindText(buffer, switchText) != NULL;
}

// Cuts the first occurrence of the switch out of the buffer; the text after it moves left.
bool CutSwitch(WCHAR* buffer, const WCHAR* switchText) {
    WCHAR* at = const_cast<WCHAR*>(FindText(buffer, switchText));
    if (at == NULL)
        return false;
    size_t cut = TextLength(switchText);
    WCHAR* rest = at + cut;
    do {
        *at++ = *rest;
    } while (*rest++ != 0);
    return true;
}
