#include "install/install.h"

// A loaded module cannot be deleted, but it can be renamed on the same volume: give it a fresh
// temporary name in the system directory and let Windows delete it at the next restart. That
// frees its own name at once for the new copy.
void RetireFile(const WCHAR* path, bool inUse) {
    if (!inUse) {
        DeleteFileW(path);
        return;
    }
    WCHAR system[MAX_PATH];
    WCHAR temporary[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    if (GetTempFileNameW(system, TEXT("dzm"), 0, temporary) == 0)
        return;
    MoveFileExW(path, temporary, MOVEFILE_REPLACE_EXISTING);
    MoveFileExW(temporary, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
}
