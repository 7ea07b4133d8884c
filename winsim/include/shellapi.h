// Simulated Windows: ShellExecuteW is declared with the rest in windows.h.
#ifndef WINSIM_SHELLAPI_H
#define WINSIM_SHELLAPI_H
#include <windows.h>
#endif
