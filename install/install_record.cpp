#include "install/install.h"

// Registry key names are case-insensitive; these are the spellings the record has always used.
#define RECORD_KEY_READ TEXT("software\\QuenLix")
#define RECORD_KEY_CREATE TEXT("Software\\quenlix")

// Byte budgets of the reads: a directory of up to 130 characters, and 40 for the backup.
const DWORD RecordReadBudget = 260;
const DWORD BackupReadBudget = 80;

LSTATUS ReadInstallValue(const WCHAR* name, WCHAR* destination) {
    HKEY key;
    LSTATUS result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY_READ, 0, KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS)
        return result;
    for (WCHAR* c = destination; *c != 0; ++c)
        *c = 0;
    DWORD size = RecordReadBudget;
    result = RegQueryValueExW(key, name, NULL, NULL, reinterpret_cast<BYTE*>(destination), &size);
    // Values are stored without a terminator: end the text after the characters read.
    if (result == ERROR_SUCCESS && size <= RecordReadBudget)
        destination[size / sizeof(WCHAR)] = 0;
    else
        destination[0] = 0;
    RegCloseKey(key);
    return result;
}

bool IsAlreadyInstalled() {
    static WCHAR directory[MAX_PATH];
    if (ReadInstallValue(TEXT("system"), directory) == ERROR_SUCCESS && PathExists(directory)) {
        RemoveTrailingBackslash(directory);
        return PathExists(directory);
    }
    return ReadInstallValue(TEXT("system_bak"), directory) == ERROR_SUCCESS;
}

void WriteInstallRecord(const WCHAR* programDirectory, bool alreadyInstalled) {
    HKEY key;
    if (RegCreateKeyW(HKEY_LOCAL_MACHINE, RECORD_KEY_CREATE, &key) != ERROR_SUCCESS)
        return;
    if (alreadyInstalled) {
        // Keep where the earlier installation came from when this one comes from elsewhere.
        // A previous value that is absent or too long for the backup gets none; but when the
        // earlier directory cannot be read or kept for another reason, the record stays as it
        // is rather than lose it.
        WCHAR previous[BackupReadBudget / sizeof(WCHAR) + 1] = {};
        DWORD size = BackupReadBudget;
        LSTATUS read = RegQueryValueExW(key, TEXT("system"), NULL, NULL,
                                        reinterpret_cast<BYTE*>(previous), &size);
        bool kept = true;
        if (read == ERROR_SUCCESS) {
            previous[size / sizeof(WCHAR)] = 0;
            if (!EqualsAsciiNoCase(previous, programDirectory))
                kept = SetRegistryText(key, TEXT("system_backup"), previous) == ERROR_SUCCESS;
        } else if (read != ERROR_FILE_NOT_FOUND && read != ERROR_MORE_DATA) {
            kept = false;
        }
        if (!kept) {
            RegCloseKey(key);
            return;
        }
    }
    SetRegistryText(key, TEXT("system"), programDirectory);
    RegCloseKey(key);
}

void DeleteInstallRecord() {
    HKEY parent;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SoftWare"), 0, KEY_QUERY_VALUE, &parent) !=
        ERROR_SUCCESS)
        return;
    RegDeleteKeyW(parent, TEXT("QuenLix"));
    RegCloseKey(parent);
}
