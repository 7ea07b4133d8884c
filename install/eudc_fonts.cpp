#include "install/install.h"

struct EudcFont {
    const WCHAR* FileName;
    const WCHAR* Typeface;
};

// The EUDC fonts of the four standard Simplified Chinese typefaces, in the order installed.
static const EudcFont EudcFontTable[] = {
    {TEXT("宋体.TTE"), TEXT("宋体")},
    {TEXT("黑体.TTE"), TEXT("黑体")},
    {TEXT("仿宋.TTE"), TEXT("仿宋_GB2312")},
    {TEXT("楷体.TTE"), TEXT("楷体_GB2312")},
};

// Windows looks up a typeface's EUDC font by file name under this key, per code page (GBK).
#define EUDC_KEY TEXT("EUDC\\936")

bool InstallEudcFonts(WCHAR* directory) {
    WCHAR windows[MAX_PATH];
    WCHAR fonts[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !JoinPath(fonts, MAX_PATH, windows, TEXT("Fonts")))
        return false;
    RemoveTrailingBackslash(directory);

    HKEY key = NULL;
    if (RegCreateKeyW(HKEY_CURRENT_USER, EUDC_KEY, &key) != ERROR_SUCCESS)
        key = NULL;
    bool copied = false;
    for (const EudcFont& font : EudcFontTable) {
        WCHAR source[MAX_PATH];
        WCHAR destination[MAX_PATH];
        // A path that does not fit is skipped rather than cut short.
        if (!JoinPath(source, MAX_PATH, directory, font.FileName) ||
            !JoinPath(destination, MAX_PATH, fonts, font.FileName))
            continue;
        if (!PathExists(source) || !CopyFileW(source, destination, FALSE))
            continue;
        copied = true;
        if (key != NULL)
            SetRegistryText(key, font.Typeface, font.FileName); // six characters, 12 bytes
    }
    if (key != NULL)
        RegCloseKey(key);
    return copied;
}
