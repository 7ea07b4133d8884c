// Internal state of the simulated machine and the running process, shared by the modules.
#ifndef WINSIM_STATE_H
#define WINSIM_STATE_H

#include <windows.h>
#include <winsim/control.h>

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace winsim::detail {

struct RegValueRec {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

struct RegKey {
    std::u16string name;
    std::vector<RegValueRec> values;
    std::vector<std::shared_ptr<RegKey>> subkeys;
    RegKey* parent = nullptr;
    bool deleted = false;
};

struct KeyHandle {
    std::shared_ptr<RegKey> key;
    REGSAM access = 0;
};

struct MutexObject {
    int handles = 0;      // handles this process holds
    int ownership = 0;    // recursion count of this process's ownership
    bool foreign = false; // also held open by another process
};

struct KernelHandle {
    std::u16string mutexName; // key into State::mutexes; unnamed ones start with a NUL
};

struct Window {
    HWND hwnd = nullptr;
    std::u16string className;
    bool fromLoadedModule = false;
};

struct Fault {
    std::string function;
    unsigned number = 0;
    DWORD error = 0;
};

struct State {
    // Machine.
    std::string dir;
    LANGID language = 0x0804;
    std::vector<uint32_t> layouts;
    std::shared_ptr<RegKey> hklm = std::make_shared<RegKey>();
    std::shared_ptr<RegKey> hkcu = std::make_shared<RegKey>();
    std::vector<Window> windows;
    uintptr_t nextWindow = 0x10010;

    // Process.
    std::u16string commandLine;
    std::u16string commandLineBuffer; // what GetCommandLineW hands out
    std::u16string cwd = u"C:\\";
    DWORD lastError = 0;
    std::map<uintptr_t, KeyHandle> keyHandles;
    std::map<uintptr_t, KernelHandle> kernelHandles;
    std::map<std::u16string, MutexObject> mutexes;
    uintptr_t nextHandle = 0x100;
    unsigned unnamedMutexes = 0;
    std::set<std::string> inUse; // host paths held by another process
    std::set<void*> allocations;
    std::map<void*, FILE*> streams; // by cookie, until fclose
    ProcessLeftovers leftovers;

    // Interaction.
    std::deque<int> answers;
    std::function<int(const MessageBoxRequest&)> prompt;
    std::vector<Event> events;
    std::function<void(const Event&)> listener;

    // Calls and faults.
    std::map<std::string, unsigned> counters;
    std::vector<Call> calls;
    std::vector<Fault> faults;
};

State& S();

// Counts a call of a failable function (one listed in state.cpp). Returns the error to fail
// it with, or 0 to go on.
DWORD Enter(const char* function);
void SetError(DWORD error);
void Record(Event event);

// Text helpers.
size_t Length(const WCHAR* s);
std::u16string Str(const WCHAR* s); // empty for NULL
char16_t Upper(char16_t c);
char16_t Lower(char16_t c);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);
// Copies with Windows's "needed size" rule: returns the length copied, or the size needed
// including the terminator when the buffer is too small (buffer untouched then).
UINT CopyOut(const std::u16string& text, WCHAR* buffer, size_t size);

// Paths.
struct Resolved {
    DWORD error = 0;     // set when the path cannot name anything on the machine
    std::u16string full; // normalised full Windows path, e.g. C:\Windows\system32
    std::string host;    // host path (existing components in their on-disk case)
    bool exists = false;
    bool isDirectory = false;
    bool parentExists = false; // the containing directory exists
};
// Win32 calls see paths of MAX_PATH and more as too long; the control functions do not.
Resolved Resolve(const std::u16string& path, bool win32Limit = true);
// Makes a path full and tidy (separators, ".", "..", current directory) without looking at
// the disk; any drive letter. False for an empty or malformed path.
bool NormalizePath(const std::u16string& path, std::u16string* full, DWORD* error);
// The program path at the start of a command line: quoted, or up to the first blank. `end`,
// when given, receives where the arguments after it start.
std::u16string ProgramToken(const std::u16string& line, size_t* end);
// The missing-path error Windows gives for a path that does not exist.
DWORD NotFoundError(const Resolved& r);
bool HostIsDirectory(const std::string& host);
bool HostExists(const std::string& host);
bool InUse(const std::string& host);

// Registry.
std::shared_ptr<RegKey> RootKey(HKEY root);
std::shared_ptr<RegKey> FindKey(const std::shared_ptr<RegKey>& from, const std::u16string& path);
// Creates missing keys; nullptr for a malformed path.
std::shared_ptr<RegKey> MakeKey(const std::shared_ptr<RegKey>& from, const std::u16string& path,
                                bool* created = nullptr);
RegValueRec* FindValue(RegKey& key, const std::u16string& name);
void SetValue(RegKey& key, const std::u16string& name, DWORD type, std::vector<uint8_t> data);
void RemoveKeyTree(const std::shared_ptr<RegKey>& key);
// The .reg text of a hive (CRLF lines, header included).
std::string ExportHiveText(HKEY root);
std::u16string ExportHiveUtf16(HKEY root);
// Reads .reg text (UTF-16LE with BOM, or UTF-8) into the hives.
bool ImportRegFile(const std::string& bytes, std::string* error);

// The instance handle WinMain receives; GetModuleFileNameW knows it as the setup program.
inline HINSTANCE ProgramInstance() {
    return reinterpret_cast<HINSTANCE>(uintptr_t(0x400000));
}

// Keyboard layout handles: the 32-bit identifier, sign-extended as Windows does.
inline HKL LayoutHandle(uint32_t id) {
    return reinterpret_cast<HKL>(static_cast<intptr_t>(static_cast<int32_t>(id)));
}
inline uint32_t LayoutId(HKL hkl) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hkl));
}

} // namespace winsim::detail

#endif
