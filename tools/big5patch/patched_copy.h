// Applying a patch in one pass over the module.
#pragma once
#include <stdio.h>

// Writes the module (`length` bytes, from its start) with the patch applied into `out`, an empty
// stream just opened: it is made unbuffered. The patch must have passed CheckBig5Patch against
// `length`. The result is the one of writing every record over the module in file order; false when
// a read or write fails.
bool WritePatchedModule(FILE* patch, FILE* module, long long length, FILE* out);
