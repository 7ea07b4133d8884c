// Control of the simulated Windows machine, for the runner and for tests.
//
// One machine is held in a folder: drive C: is DIR/drive_c, the registry hives are
// DIR/system.reg (HKEY_LOCAL_MACHINE) and DIR/user.reg (HKEY_CURRENT_USER), and machine
// settings (language, loaded keyboard layouts) are in DIR/machine.ini. All state lives in
// memory between LoadMachine and SaveMachine; LoadMachine starts from a clean slate, so many
// machines can be used one after another in one test binary.
#ifndef WINSIM_CONTROL_H
#define WINSIM_CONTROL_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

// ---- Text -------------------------------------------------------------------------------

std::u16string Utf16(const std::string& utf8);
std::string Utf8(const std::u16string& utf16);

// ---- The machine ----------------------------------------------------------------------

// Drops every piece of state (machine, process, events, faults, the message-box prompt and
// the event listener) without saving.
void ResetMachine();
// Resets, then loads the machine in `dir`, creating a fresh empty Windows there when it is
// missing (drive_c\Windows\system32, drive_c\Windows\Fonts, empty hives, one keyboard layout
// 08040804, language 0x0804); missing system folders are added to an existing drive. Files
// that cannot be read (a broken .reg, say) make it fail with the reason in *error.
bool LoadMachine(const std::string& dir, std::string* error = nullptr);
// Writes the hives and machine settings back into the loaded folder.
bool SaveMachine(std::string* error = nullptr);
const std::string& MachineDir();

// System default language (GetSystemDefaultLangID); kept with the machine.
void SetSystemLanguage(LANGID language);
LANGID SystemLanguage();

// Keyboard layouts loaded on the machine, as 32-bit layout identifiers, in list order.
std::vector<uint32_t> LoadedLayouts();
void SetLoadedLayouts(const std::vector<uint32_t>& layouts);

// ---- Files ------------------------------------------------------------------------------

// The host path behind a Windows path: existing components are matched without regard to
// case; missing ones keep the case given. Relative paths use the current directory.
// Empty when the path is not on drive C: or is malformed.
std::string HostPath(const std::u16string& windowsPath);
// Creates a file (and its missing parent directories) with the given bytes.
bool PlaceFile(const std::u16string& windowsPath, const std::string& bytes);
bool MakeDirectory(const std::u16string& windowsPath);
// The bytes of a file, or nothing when it is missing or a directory.
std::optional<std::string> FileBytes(const std::u16string& windowsPath);
// Holds a file in use as a loaded module is, until the current process ends.
bool HoldFileInUse(const std::u16string& windowsPath);
bool IsFileInUse(const std::u16string& windowsPath);

// ---- Registry ---------------------------------------------------------------------------

struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

// `root` is HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER; `keyPath` is relative to it.
// Setting creates the missing keys. The bytes are kept exactly as given.
bool SetRegistryValue(HKEY root, const std::u16string& keyPath, const std::u16string& name,
                      DWORD type, const std::vector<uint8_t>& data);
std::optional<RegistryValue> GetRegistryValue(HKEY root, const std::u16string& keyPath,
                                              const std::u16string& name);
bool CreateRegistryKey(HKEY root, const std::u16string& keyPath);
bool RegistryKeyExists(HKEY root, const std::u16string& keyPath);
// Value names of a key, in creation order (empty when the key is missing).
std::vector<std::u16string> RegistryValueNames(HKEY root, const std::u16string& keyPath);
// Bytes of a REG_SZ as Windows programs usually write it (with or without the NUL).
std::vector<uint8_t> StringBytes(const std::u16string& text, bool withTerminator = true);
// The .reg text (UTF-8) of one hive, exactly as SaveMachine writes it (less the encoding).
std::string ExportHive(HKEY root);

// ---- The process ------------------------------------------------------------------------

// The process command line, e.g. "\"C:\\dl\\setup.exe\" /u".
void SetCommandLine(const std::u16string& commandLine);
// The simulated current directory (a full Windows path); false when it is not a directory.
bool SetCurrentDirectory(const std::u16string& windowsPath);
std::u16string CurrentDirectory();
// The running setup program's path (GetModuleFileNameW(NULL)): the program path of the
// command line made full, or C:\setup.exe when none can be read.
std::u16string ModulePath();

// The module is loaded in another process for the rest of the current process:
// mutex "mutex_quenlix_unicode" exists, a top-level "UIQuenLIX" window is open and
// C:\Windows\system32\quenlix.ime, when present, is held in use.
void SimulateLoadedModule();

// Runs the program's entry once as a simulated process, records the exit event, ends the
// process and returns the exit code. Counters and the call list start afresh for each
// process. The entry is named at the call site, so the caller's link brings in WinMain.
using EntryPoint = int(WINAPI*)(HINSTANCE, HINSTANCE, LPSTR, int);
int RunProcess(EntryPoint entry = &WinMain);
// Ends the current process: its mutex handles, registry handles, memory and streams are
// released, and everything another process held for it (SimulateLoadedModule) goes away.
void EndProcess();

// What the ended process left open (handles it never closed and the like).
struct ProcessLeftovers {
    int registryHandles = 0;
    int kernelHandles = 0;
    int globalAllocations = 0;
    int fileStreams = 0;
};
ProcessLeftovers LastProcessLeftovers();

// ---- Objects of other processes ----------------------------------------------------------

void AddForeignMutex(const std::u16string& name);
bool MutexExists(const std::u16string& name);
// Adds a top-level window owned by another process (at the end of the Z order).
HWND AddWindow(const std::u16string& className);
// Class names of the open top-level windows, in enumeration order.
std::vector<std::u16string> WindowClasses();

// ---- Message boxes ----------------------------------------------------------------------

// Answers for boxes with more than an OK button, used in order (IDYES, IDNO, IDCANCEL, IDOK).
void QueueAnswer(int answer);
size_t PendingAnswers();
struct MessageBoxRequest {
    std::u16string caption;
    std::u16string text;
    UINT type = 0;
};
// Asked when no scripted answer is left (the runner sets one for terminals). Without one,
// such boxes are answered IDCANCEL.
void SetMessageBoxPrompt(std::function<int(const MessageBoxRequest&)> prompt);

// ---- Events -----------------------------------------------------------------------------

struct EventField {
    enum Kind { Null, Number, Text };
    std::string name;
    Kind kind = Null;
    long long number = 0;
    std::u16string text;
};

// Something the program did that a person or a script would see: "message", "send",
// "broadcast", "shell", "exit".
struct Event {
    std::string kind;
    std::vector<EventField> fields; // after "event", in output order
    const EventField* Field(const std::string& name) const;
    std::u16string Text(const std::string& name) const; // empty when missing or null
    long long Number(const std::string& name) const;    // 0 when missing
    bool IsNull(const std::string& name) const;
};

const std::vector<Event>& Events();
void ClearEvents();
// One JSON object, UTF-8, no newline.
std::string EventJson(const Event& event);
// A person's rendering, ending with a newline (message boxes drawn as boxes).
std::string EventText(const Event& event);
std::string EventsJson(); // one object per line
// The button a message-box answer stands for ("Yes", "Cancel", …; "none" for others).
const char* AnswerName(long long answer);
std::string EventsText();
// Called as each event is recorded.
void SetEventListener(std::function<void(const Event&)> listener);

// ---- Calls and faults --------------------------------------------------------------------

struct Call {
    std::string function;
    unsigned number = 0; // 1 for the first call of that function in this process
};
// Modelled calls that can fail, in the order made: the Win32 functions with a failure path,
// "_wfopen", and the stream points "ReadFile", "WriteFile", "SetFilePointer".
const std::vector<Call>& Calls();
unsigned CallCount(const std::string& function);
void ClearCalls();
// Names that Fail accepts.
std::vector<std::string> FailableFunctions();
// Makes the Nth call (from 1) of `function` fail with its documented failure result and
// `error` (0: a realistic default for that function). False for an unknown function or n 0.
bool Fail(const std::string& function, unsigned n, DWORD error = 0);
void ClearFaults();

} // namespace winsim

#endif // WINSIM_CONTROL_H
