#include "install/install.h"
#include "removal/removal.h"
#include "resources/messages.h"

// Leaves in place what other software or the user may still rely on: the EUDC fonts and their
// links, the layout registration, the installation directory and its permissions.
void RunUninstall(SetupState* state) {
    DeleteInstallRecord();
    DetachIme();
    WCHAR target[MAX_PATH];
    if (GetModuleTarget(target, MAX_PATH))
        RetireFile(target, state->ImeInUse);
    if (state->Silent)
        return;
    if (state->ImeInUse)
        ShowMessage(MSG_UNINSTALL_IN_USE, MSG_CAPTION, MB_OK | MB_ICONERROR);
    else
        ShowMessage(MSG_UNINSTALLED, MSG_CAPTION, MB_OK | MB_ICONINFORMATION);
}
