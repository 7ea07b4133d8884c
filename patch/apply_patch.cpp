#include "patch/patch.h"

#include <strsafe.h>

// Patches a temporary copy beside the target and renames it over the target only when every
// byte is in place: a failing read or write leaves the target as it was, never half patched.
static bool PatchCopyOf(FILE* patch, const WCHAR* targetPath, const WCHAR* copyPath) {
    if (!CopyFileW(targetPath, copyPath, FALSE))
        return false;
    FILE* copy = _wfopen(copyPath, TEXT("r+b"));
    if (copy == NULL)
        return false;
    bool written = WriteBig5PatchRecords(patch, copy);
    bool closed = fclose(copy) == 0;
    return written && closed;
}

void ApplyBig5Patch(const WCHAR* patchPath, const WCHAR* targetPath) {
    FILE* patch = _wfopen(patchPath, TEXT("rb"));
    if (patch == NULL)
        return;
    FILE* target = _wfopen(targetPath, TEXT("rb"));
    if (target == NULL) {
        fclose(patch);
        return;
    }
    long long targetLength = GetStreamLength(target);
    fclose(target);
    if (targetLength < 0 || CheckBig5Patch(patch, targetLength, NULL) != PatchValid) {
        fclose(patch);
        return;
    }

    WCHAR directory[MAX_PATH];
    WCHAR copyPath[MAX_PATH];
    WCHAR* cut = NULL;
    if (SUCCEEDED(StringCchCopyW(directory, MAX_PATH, targetPath)))
        cut = FindLastBackslash(directory);
    if (cut != NULL) {
        *cut = 0;
        if (GetTempFileNameW(directory, TEXT("dzp"), 0, copyPath) != 0) {
            if (PatchCopyOf(patch, targetPath, copyPath) &&
                MoveFileExW(copyPath, targetPath, MOVEFILE_REPLACE_EXISTING))
                copyPath[0] = 0;
            if (copyPath[0] != 0)
                DeleteFileW(copyPath);
        }
    }
    fclose(patch);
}
