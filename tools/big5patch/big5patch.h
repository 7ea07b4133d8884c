// The packagers' patch tool: make, apply, show and verify "patch.big5" files.
#pragma once
#include <stdio.h>

// Exit codes, for scripts.
enum Big5PatchExit {
    ExitOk = 0,
    ExitMismatch = 1, // verify: the patched file is not the expected one
    ExitBadInput = 2, // a file missing, lengths that differ, a malformed or unfitting patch
    ExitIoError = 3,  // a read, write, create or rename failed
    ExitUsage = 64,
};

// Runs one command line (argv[0] is the program, arguments are UTF-8 paths); reports go to
// `out`, errors to `err`.
int RunBig5Patch(int argc, const char* const* argv, FILE* out, FILE* err);
