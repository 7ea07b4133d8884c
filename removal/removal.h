// Removal: letting the running system go of the module, and the uninstall sequence.
#pragma once
#include "setup/setup.h"

void DetachIme();
void CloseImeWindows();
HKL FindImeLayout();
void RemoveImeLayout();

void RunUninstall(SetupState* state);
