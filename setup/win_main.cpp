#include "install/install.h"
#include "patch/patch.h"
#include "removal/removal.h"
#include "resources/messages.h"
#include "setup/setup.h"

// The state lives for the whole run; it is large (the command line), so not on the stack.
static SetupState State;

// Looks for another process that has the module loaded. The handle stays open until the
// process ends: closing it early could let a check elsewhere miss this run.
static bool ProbeImeInUse() {
    HANDLE mutex = CreateMutexW(NULL, TRUE, INUSE_MUTEX_NAME);
    if (mutex == NULL)
        return false;
    bool inUse = GetLastError() == ERROR_ALREADY_EXISTS;
    ReleaseMutex(mutex);
    return inUse;
}

static RunMode ChooseRunMode(SetupState* state) {
    SetupOptions options = {};
    options.MakePatch = HasSwitch(state->CommandLine, TEXT("/patch"));
    if (options.MakePatch)
        return MakePatch;

    options.Silent = CutSwitch(state->CommandLine, TEXT("/s"));
    options.SkipPrompt = CutSwitch(state->CommandLine, TEXT("/p"));
    state->Silent = options.Silent;

    state->AlreadyInstalled = IsAlreadyInstalled();
    bool answeredNo = false;
    if (state->AlreadyInstalled && !options.SkipPrompt) {
        // Asked even when silent: an installed system is never changed without a choice.
        int answer =
            ShowMessage(MSG_UPGRADE_OR_UNINSTALL, MSG_CAPTION, MB_YESNOCANCEL | MB_ICONQUESTION);
        if (answer == IDNO)
            answeredNo = true;
        else if (answer != IDYES)
            return Quit;
    }

    options.NoProbe = HasSwitch(state->CommandLine, TEXT("/no"));
    state->ImeInUse = options.NoProbe ? false : ProbeImeInUse();

    options.UninstallSwitch = HasSwitch(state->CommandLine, TEXT("/u"));
    return (answeredNo || options.UninstallSwitch) ? Uninstall : Install;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // A leftover of an older installer, removed whatever this run does.
    if (PathExists(TEXT("c:\\install.exe")))
        DeleteFileW(TEXT("c:\\install.exe"));

    State = SetupState();
    if (!NormaliseCommandLine(State.CommandLine, CommandLineCapacity))
        return 0;

    switch (ChooseRunMode(&State)) {
    case MakePatch:
        if (CreateBig5Patch())
            ShowMessage(MSG_PATCH_CREATED, MSG_CAPTION, MB_OK | MB_ICONINFORMATION);
        else
            ShowMessage(MSG_PATCH_FAILED, MSG_CAPTION, MB_OK | MB_ICONERROR);
        return 0;
    case Install:
        RunInstall(&State);
        return 0;
    case Uninstall:
        RunUninstall(&State);
        return 2;
    case Quit:
        break;
    }
    return 0;
}
