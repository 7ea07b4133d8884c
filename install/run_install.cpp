#include "install/install.h"
#include "patch/patch.h"
#include "removal/removal.h"
#include "resources/messages.h"

#include <strsafe.h>

// Cuts the command line at its last backslash, which leaves the program directory in it, and
// forms the module's path in that directory. Started through a bare file name, the command line
// names no directory: the running program's own path does. False when the path cannot be
// formed whole; `source` then holds as much of it as fits.
static bool BuildModuleSource(WCHAR* commandLine, WCHAR* source) {
    WCHAR* last = FindLastBackslash(commandLine);
    if (last == NULL) {
        WCHAR own[MAX_PATH];
        DWORD length = GetModuleFileNameW(NULL, own, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            StringCchCopyW(source, MAX_PATH, MODULE_FILE_NAME);
            return false;
        }
        CharLowerW(own);
        // The directory replaces the command line, which later becomes the program directory.
        if (FAILED(StringCchCopyW(commandLine, CommandLineCapacity, own)))
            return false;
        last = FindLastBackslash(commandLine);
        if (last == NULL)
            return false;
    }
    *last = 0;
    HRESULT copied = StringCchCopyW(source, MAX_PATH, commandLine);
    HRESULT separated = StringCchCatW(source, MAX_PATH, TEXT("\\"));
    HRESULT appended = StringCchCatW(source, MAX_PATH, MODULE_FILE_NAME);
    return SUCCEEDED(copied) && SUCCEEDED(separated) && SUCCEEDED(appended);
}

static void ShowCopyFailure(DWORD error) {
    WCHAR text[MAX_PATH];
    StringCchPrintfW(text, MAX_PATH, MSG_COPY_FAILED_FORMAT, static_cast<unsigned>(error));
    ShowMessage(text, MSG_CAPTION, MB_OK | MB_ICONERROR);
}

// Ordinary users get write access to the installation directory (the module keeps its user
// files there). The directory is quoted: it may hold spaces, as C:\Program Files\... does.
static bool BuildGrantCommand(const WCHAR* directory, WCHAR* command) {
    return SUCCEEDED(StringCchCopyW(command, MAX_PATH, TEXT("cacls \""))) &&
           SUCCEEDED(StringCchCatW(command, MAX_PATH, directory)) &&
           SUCCEEDED(StringCchCatW(command, MAX_PATH, TEXT("\\*.*\" /t /e /c /g Users:w")));
}

static void OpenReadme(const WCHAR* directory) {
    WCHAR saved[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(directory);
    ShellExecuteW(NULL, TEXT("open"), TEXT("write.exe"), TEXT(".\\quenlix.rtf"), directory,
                  SW_SHOWNORMAL);
    if (length > 0 && length < MAX_PATH)
        SetCurrentDirectoryW(saved);
}

void RunInstall(SetupState* state) {
    // Once the module's path is formed, the command-line buffer holds the program directory.
    WCHAR* programDirectory = state->CommandLine;
    WCHAR source[MAX_PATH];
    WCHAR target[MAX_PATH];
    WCHAR grant[MAX_PATH];

    // Every path is formed whole before anything changes: a path cut short would send the
    // install to the wrong place, so such a run is treated as a missing module.
    bool formed =
        BuildModuleSource(programDirectory, source) && BuildGrantCommand(programDirectory, grant);
    if (!formed || !PathExists(source)) {
        if (!state->Silent)
            ShowMessage(MSG_MODULE_MISSING, source, MB_OK | MB_ICONERROR);
        return;
    }
    if (!GetModuleTarget(target, MAX_PATH))
        return;

    if (state->ImeInUse)
        DetachIme();
    RetireFile(target, state->ImeInUse);
    if (!CopyFileW(source, target, FALSE) && !state->Silent) {
        ShowCopyFailure(GetLastError());
        return;
    }

    WCHAR layoutText[MAX_PATH];
    StringCchCopyW(layoutText, MAX_PATH, LAYOUT_TEXT_SIMPLIFIED);
    WORD languageClass = GetLanguageClass();
    if (languageClass == 1 || languageClass == 4) {
        WCHAR patchPath[MAX_PATH];
        if (JoinPath(patchPath, MAX_PATH, programDirectory, PATCH_FILE_NAME) &&
            PathExists(patchPath)) {
            ApplyBig5Patch(patchPath, target);
            StringCchCopyW(layoutText, MAX_PATH, LAYOUT_TEXT_TRADITIONAL);
        }
    }

    if (ImmInstallIMEW(target, layoutText) == NULL) {
        // Shown even when silent: without the layout the input method cannot be chosen.
        WCHAR code[16];
        StringCchPrintfW(code, 16, TEXT("%d"), static_cast<int>(GetLastError()));
        ShowMessage(target, code, MB_OK);
    }

    ShellExecuteW(NULL, NULL, grant, NULL, NULL, SW_HIDE);
    WriteInstallRecord(programDirectory, state->AlreadyInstalled);
    bool fontsCopied = InstallEudcFonts(programDirectory);
    if (state->Silent)
        return;

    if (!state->AlreadyInstalled) {
        ShowMessage(fontsCopied ? MSG_INSTALLED_RESTART : MSG_INSTALLED, MSG_CAPTION,
                    MB_OK | MB_ICONINFORMATION);
        OpenReadme(programDirectory);
    } else if (state->ImeInUse) {
        ShowMessage(MSG_UPGRADE_IN_USE, MSG_CAPTION, MB_OK | MB_ICONERROR);
    } else {
        ShowMessage(MSG_UPGRADED, MSG_CAPTION, MB_OK | MB_ICONINFORMATION);
    }
}
