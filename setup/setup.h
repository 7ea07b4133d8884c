// The setup driver: run modes, the state shared with the mode routines, and small text helpers.
#pragma once
#include <windows.h>

#include <stddef.h>

// Windows accepts command lines of up to 32,767 characters. The buffer holds any of them whole,
// so that no switch is lost and no path is ever cut short by the copy.
const size_t CommandLineCapacity = 32768;

// What the module and its companions are called, inside and outside the program.
#define MODULE_FILE_NAME TEXT("quenlix.ime")
#define PATCH_FILE_NAME TEXT("patch.big5")
#define INUSE_MUTEX_NAME TEXT("mutex_quenlix_unicode")
#define IME_WINDOW_CLASS TEXT("UIQuenLIX")
const WPARAM ImeCloseParam = 153;

enum RunMode { MakePatch, Install, Uninstall, Quit };

struct SetupOptions {
    bool MakePatch;
    bool Silent;
    bool SkipPrompt;
    bool NoProbe;
    bool UninstallSwitch;
};

struct SetupState {
    bool Silent;
    bool AlreadyInstalled;
    bool ImeInUse;
    WCHAR CommandLine[CommandLineCapacity];
};

// Command line (setup/command_line.cpp)
bool NormaliseCommandLine(WCHAR* buffer, size_t capacity);
bool CutSwitch(WCHAR* buffer, const WCHAR* switchText);
bool HasSwitch(const WCHAR* buffer, const WCHAR* switchText);

// Text and files (setup/text.cpp)
size_t TextLength(const WCHAR* text);
const WCHAR* FindText(const WCHAR* text, const WCHAR* part);
WCHAR* FindLastBackslash(WCHAR* text);
bool EqualsAsciiNoCase(const WCHAR* a, const WCHAR* b);
bool RemoveTrailingBackslash(WCHAR* text);
bool PathExists(const WCHAR* path);
LSTATUS SetRegistryText(HKEY key, const WCHAR* name, const WCHAR* text);
int ShowMessage(const WCHAR* text, const WCHAR* caption, UINT type);
bool JoinPath(WCHAR* out, size_t capacity, const WCHAR* directory, const WCHAR* name);
bool GetModuleTarget(WCHAR* out, size_t capacity);
