#include "removal/removal.h"

#include <strsafe.h>

#define PRELOAD_KEY TEXT("Keyboard Layout\\Preload")
#define PRELOAD_KEY_FULL TEXT("HKEY_CURRENT_USER\\Keyboard Layout\\Preload")

// Entries 1 ... 31 are renumbered; the search for the module's own entry goes on beyond.
const int KeptEntries = 31;
// A layout identifier is eight characters; the search reads at most 40.
const DWORD SearchReadBudget = 80;

static BOOL CALLBACK CloseImeWindow(HWND window, LPARAM) {
    WCHAR className[128];
    if (GetClassNameW(window, className, 127) == 0)
        return FALSE;
    if (EqualsAsciiNoCase(className, IME_WINDOW_CLASS))
        SendMessageW(window, WM_DESTROY, ImeCloseParam, static_cast<LPARAM>(ImeCloseParam));
    return TRUE;
}

void CloseImeWindows() {
    EnumWindows(CloseImeWindow, 0);
}

HKL FindImeLayout() {
    int count = GetKeyboardLayoutList(0, NULL);
    if (count <= 0)
        return NULL;
    HKL* list = static_cast<HKL*>(GlobalAlloc(GMEM_ZEROINIT, count * sizeof(HKL)));
    if (list == NULL)
        return NULL;
    GetKeyboardLayoutList(count, list);
    HKL found = NULL;
    for (int i = 0; i < count && found == NULL; ++i) {
        WCHAR name[64] = {};
        if (list[i] != NULL && ImmGetIMEFileNameW(list[i], name, 64) > 0) {
            name[63] = 0;
            if (EqualsAsciiNoCase(name, MODULE_FILE_NAME))
                found = list[i];
        }
    }
    GlobalFree(list);
    return found;
}

static void BroadcastPreloadChange() {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                        reinterpret_cast<LPARAM>(PRELOAD_KEY_FULL), SMTO_NORMAL, 1500, &result);
}

static void FormatNumber(WCHAR* out, size_t capacity, int number) {
    StringCchPrintfW(out, capacity, TEXT("%d"), number);
}

// Reads value `number` as text into `text` (capacity characters, terminator included).
static LSTATUS ReadPreloadEntry(HKEY key, int number, WCHAR* text, DWORD capacity) {
    WCHAR name[16];
    FormatNumber(name, 16, number);
    DWORD size = (capacity - 1) * sizeof(WCHAR);
    LSTATUS result = RegQueryValueExW(key, name, NULL, NULL, reinterpret_cast<BYTE*>(text), &size);
    text[result == ERROR_SUCCESS ? size / sizeof(WCHAR) : 0] = 0;
    return result;
}

static void DeletePreloadEntry(HKEY key, int number) {
    WCHAR name[16];
    FormatNumber(name, 16, number);
    RegDeleteValueW(key, name);
}

// Deletes the module's entry: the first number that cannot be read ends the search.
static void DeleteImeEntry(HKEY key, const WCHAR* idText) {
    for (int number = 1; number > 0; ++number) {
        WCHAR text[SearchReadBudget / sizeof(WCHAR) + 1];
        if (ReadPreloadEntry(key, number, text, SearchReadBudget / sizeof(WCHAR) + 1) !=
            ERROR_SUCCESS)
            return;
        if (EqualsAsciiNoCase(text, idText)) {
            DeletePreloadEntry(key, number);
            BroadcastPreloadChange();
            return;
        }
    }
}

// Renumbers entries 1 ... 31 without gaps. Slots are overwritten in order and the renumbering
// stops at the first write that fails; entries past the kept ones are deleted only after every
// write succeeded. So a failing call can leave a duplicate behind but never loses an entry. An
// entry that cannot be read whole stops the renumbering before anything is written.
static bool CompactPreload(HKEY key) {
    static WCHAR kept[KeptEntries][MAX_PATH];
    int count = 0;
    for (int number = 1; number <= KeptEntries; ++number) {
        LSTATUS result = ReadPreloadEntry(key, number, kept[count], MAX_PATH);
        if (result == ERROR_SUCCESS)
            ++count;
        else if (result != ERROR_FILE_NOT_FOUND)
            return false;
    }
    for (int slot = 1; slot <= count; ++slot) {
        WCHAR name[16];
        FormatNumber(name, 16, slot);
        if (SetRegistryText(key, name, kept[slot - 1]) != ERROR_SUCCESS)
            return false;
    }
    // Deleting a number that holds nothing is harmless.
    for (int number = count + 1; number <= KeptEntries; ++number)
        DeletePreloadEntry(key, number);
    return true;
}

void RemoveImeLayout() {
    HKL layout = FindImeLayout();
    if (layout == NULL)
        return;
    WCHAR idText[16];
    StringCchPrintfW(idText, 16, TEXT("%x"),
                     static_cast<unsigned>(reinterpret_cast<UINT_PTR>(layout)));

    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, PRELOAD_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    UnloadKeyboardLayout(layout);
    DeleteImeEntry(key, idText);
    RegCloseKey(key);

    // Write access for the renumbering is secured before any entry is touched.
    if (RegOpenKeyExW(HKEY_CURRENT_USER, PRELOAD_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    CompactPreload(key);
    RegCloseKey(key);
    BroadcastPreloadChange();
}

void DetachIme() {
    CloseImeWindows();
    RemoveImeLayout();
}
