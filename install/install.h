// Installation: the registry record, retiring an old module file, the EUDC fonts, and the
// install and upgrade sequence.
#pragma once
#include "setup/setup.h"

// Installation record under HKEY_LOCAL_MACHINE\Software\quenlix
LSTATUS ReadInstallValue(const WCHAR* name, WCHAR* destination /* MAX_PATH characters */);
bool IsAlreadyInstalled();
void WriteInstallRecord(const WCHAR* programDirectory, bool alreadyInstalled);
void DeleteInstallRecord();

void RetireFile(const WCHAR* path, bool inUse);

bool InstallEudcFonts(WCHAR* directory);

void RunInstall(SetupState* state);
