#include "setup/setup.h"

#include <strsafe.h>

size_t TextLength(const WCHAR* text) {
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

const WCHAR* FindText(const WCHAR* text, const WCHAR* part) {
    for (; *text != 0; ++text) {
        size_t i = 0;
        while (part[i] != 0 && text[i] == part[i])
            ++i;
        if (part[i] == 0)
            return text;
    }
    return NULL;
}

WCHAR* FindLastBackslash(WCHAR* text) {
    WCHAR* last = NULL;
    for (; *text != 0; ++text)
        if (*text == TEXT('\\'))
            last = text;
    return last;
}

static WCHAR FoldAscii(WCHAR c) {
    return (c >= TEXT('A') && c <= TEXT('Z')) ? static_cast<WCHAR>(c - TEXT('A') + TEXT('a')) : c;
}

// Only A-Z fold: the names compared here (module file, window class, layout identifiers,
// directories written by this program) are ASCII or were lower-cased already.
bool EqualsAsciiNoCase(const WCHAR* a, const WCHAR* b) {
    for (;; ++a, ++b) {
        if (FoldAscii(*a) != FoldAscii(*b))
            return false;
        if (*a == 0)
            return true;
    }
}

bool RemoveTrailingBackslash(WCHAR* text) {
    size_t length = TextLength(text);
    if (length == 0 || text[length - 1] != TEXT('\\'))
        return false;
    text[length - 1] = 0;
    return true;
}

bool PathExists(const WCHAR* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// The program writes its registry strings as REG_SZ of two bytes a character, without a
// terminator; whoever reads them ends the text after the bytes read.
LSTATUS SetRegistryText(HKEY key, const WCHAR* name, const WCHAR* text) {
    DWORD size = static_cast<DWORD>(TextLength(text) * sizeof(WCHAR));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size);
}

int ShowMessage(const WCHAR* text, const WCHAR* caption, UINT type) {
    return MessageBoxW(NULL, text, caption, type);
}

// directory + "\" + name; false (and an empty result) when it does not fit.
bool JoinPath(WCHAR* out, size_t capacity, const WCHAR* directory, const WCHAR* name) {
    if (SUCCEEDED(StringCchCopyW(out, capacity, directory)) &&
        SUCCEEDED(StringCchCatW(out, capacity, TEXT("\\"))) &&
        SUCCEEDED(StringCchCatW(out, capacity, name)))
        return true;
    if (capacity > 0)
        out[0] = 0;
    return false;
}

// The installed copy: "quenlix.ime" in the system directory.
bool GetModuleTarget(WCHAR* out, size_t capacity) {
    WCHAR system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        if (capacity > 0)
            out[0] = 0;
        return false;
    }
    return JoinPath(out, capacity, system, MODULE_FILE_NAME);
}
