#include "patch/patch.h"

// The module in the current directory against the installed one; "patch.big5" turns the first
// into the second. The patch is built under a temporary name and replaces an earlier
// "patch.big5" only once complete, so a failed run never destroys a good patch.
bool CreateBig5Patch() {
    const WCHAR* localPath = TEXT(".\\quenlix.ime");
    if (!PathExists(localPath))
        return false;
    WCHAR installedPath[MAX_PATH];
    if (!GetModuleTarget(installedPath, MAX_PATH))
        return false;

    FILE* local = _wfopen(localPath, TEXT("rb"));
    FILE* installed = local != NULL ? _wfopen(installedPath, TEXT("rb")) : NULL;
    WCHAR temporary[MAX_PATH];
    FILE* patch = NULL;
    if (installed != NULL && GetTempFileNameW(TEXT("."), TEXT("pat"), 0, temporary) != 0) {
        patch = _wfopen(temporary, TEXT("wb"));
        if (patch == NULL)
            DeleteFileW(temporary);
    }
    bool made = false;
    if (patch != NULL) {
        unsigned long runs = 0;
        made = MakeBig5Patch(local, installed, patch, &runs) == PatchMade;
        made = fclose(patch) == 0 && made;
        made = made && MoveFileExW(temporary, TEXT(".\\patch.big5"), MOVEFILE_REPLACE_EXISTING);
        if (!made)
            DeleteFileW(temporary);
    }
    if (installed != NULL)
        fclose(installed);
    if (local != NULL)
        fclose(local);
    return made;
}
