// The few file operations the patch tool needs beyond stdio, for Linux and Windows. Paths are
// UTF-8 on both; on Windows they are widened for the system.
#pragma once
#include <stdio.h>

#include <string>

FILE* OpenPath(const std::string& path, const char* mode);

// Creates and opens ("w+b") a new file in the directory of `besidePath`, so that it can later
// be renamed over that path; its name is stored in `tempPath`. NULL when that fails.
FILE* MakeTempBeside(const std::string& besidePath, std::string* tempPath);

// The same in the system's directory for temporary files.
FILE* MakeTempFile(std::string* tempPath);

// Gives `to` the permission bits of `from`, or those of an ordinarily created file when `from`
// is NULL: a temporary file starts private. Nothing to do on Windows.
void CopyModeBits(FILE* from, FILE* to);

// Renames `from` over `to`, replacing an existing `to` in one step.
bool RenameOver(const std::string& from, const std::string& to);

void RemovePath(const std::string& path);

#ifdef _WIN32
// A UTF-16 command-line argument as UTF-8.
std::string NarrowArgument(const wchar_t* argument);
#endif

// Why the last of these operations (or of stdio) failed, for messages.
std::string LastErrorText();
