// Simulated Windows: the input-method manager functions are declared in windows.h.
#ifndef WINSIM_IMM_H
#define WINSIM_IMM_H
#include <windows.h>
#endif
