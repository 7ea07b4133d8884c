// Kernel objects and services: command line, module path, mutexes, last error, global
// memory, language and the lstr* helpers.
#include "state.h"

#include <cstdlib>
#include <cstring>

namespace winsim {
namespace detail {
namespace {

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

} // namespace

std::u16string ProgramToken(const std::u16string& line, size_t* end) {
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    std::u16string token;
    if (i < line.size() && line[i] == u'"') {
        size_t close = line.find(u'"', i + 1);
        token = line.substr(i + 1,
                            close == std::u16string::npos ? std::u16string::npos : close - i - 1);
        i = close == std::u16string::npos ? line.size() : close + 1;
    } else {
        size_t start = i;
        while (i < line.size() && !IsBlank(line[i]))
            ++i;
        token = line.substr(start, i - start);
    }
    if (end) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        *end = i;
    }
    return token;
}

} // namespace detail

using namespace detail;

void SetCommandLine(const std::u16string& commandLine) {
    S().commandLine = commandLine;
    S().commandLineBuffer = commandLine;
}

std::u16string ModulePath() {
    std::u16string token = ProgramToken(S().commandLine, nullptr);
    std::u16string full;
    DWORD error = 0;
    if (token.empty() || !NormalizePath(token, &full, &error) || full.size() <= 3)
        return u"C:\\setup.exe";
    // CreateProcess finds "setup" as "setup.exe".
    size_t slash = full.find_last_of(u'\\');
    if (full.find(u'.', slash) == std::u16string::npos)
        full += u".exe";
    return full;
}

void AddForeignMutex(const std::u16string& name) {
    S().mutexes[name].foreign = true;
}

bool MutexExists(const std::u16string& name) {
    return S().mutexes.count(name) != 0;
}

} // namespace winsim

using namespace winsim;
using namespace winsim::detail;

extern "C" {

LPWSTR WINAPI GetCommandLineW(void) {
    return &S().commandLineBuffer[0];
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (DWORD e = Enter("GetModuleFileNameW")) {
        SetError(e);
        return 0;
    }
    if (hModule && hModule != ProgramInstance()) {
        SetError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::u16string path = ModulePath();
    if (!lpFilename || nSize == 0) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < nSize) {
        path.copy(lpFilename, path.size());
        lpFilename[path.size()] = 0;
        return static_cast<DWORD>(path.size());
    }
    // Too small: truncated and terminated, the buffer size returned.
    path.copy(lpFilename, nSize - 1);
    lpFilename[nSize - 1] = 0;
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCWSTR lpName) {
    (void)lpMutexAttributes;
    if (DWORD e = Enter("CreateMutexW")) {
        SetError(e);
        return nullptr;
    }
    State& s = S();
    std::u16string name = Str(lpName);
    if (name.size() > MAX_PATH) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    bool existed = false;
    if (name.empty()) {
        name = std::u16string(1, u'\0') + Utf16(std::to_string(++s.unnamedMutexes));
    } else {
        existed = s.mutexes.count(name) != 0;
    }
    MutexObject& m = s.mutexes[name];
    m.handles++;
    // Only the creator may take initial ownership; an opener of an existing one never does.
    if (!existed && bInitialOwner)
        m.ownership++;
    uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    s.kernelHandles[value] = {name};
    SetError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(value);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    if (DWORD e = Enter("ReleaseMutex")) {
        SetError(e);
        return FALSE;
    }
    auto it = S().kernelHandles.find(reinterpret_cast<uintptr_t>(hMutex));
    if (it == S().kernelHandles.end()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    MutexObject& m = S().mutexes[it->second.mutexName];
    if (m.ownership == 0) {
        SetError(ERROR_NOT_OWNER);
        return FALSE;
    }
    m.ownership--;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (DWORD e = Enter("CloseHandle")) {
        SetError(e);
        return FALSE;
    }
    State& s = S();
    auto it = s.kernelHandles.find(reinterpret_cast<uintptr_t>(hObject));
    if (it == s.kernelHandles.end()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto m = s.mutexes.find(it->second.mutexName);
    if (m != s.mutexes.end() && --m->second.handles <= 0) {
        m->second.ownership = 0; // the last handle gone: ownership is abandoned
        if (!m->second.foreign)
            s.mutexes.erase(m);
    }
    s.kernelHandles.erase(it);
    return TRUE;
}

LANGID WINAPI GetSystemDefaultLangID(void) {
    return S().language;
}

DWORD WINAPI GetLastError(void) {
    return S().lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    S().lastError = dwErrCode;
}

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    if (DWORD e = Enter("GlobalAlloc")) {
        SetError(e);
        return nullptr;
    }
    // Moveable blocks would need GlobalLock; fixed blocks are plain pointers.
    size_t size = dwBytes ? dwBytes : 1;
    void* p = malloc(size);
    if (!p) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Without GMEM_ZEROINIT the contents are undefined; a fill pattern makes reliance on
    // them show.
    memset(p, (uFlags & GMEM_ZEROINIT) ? 0 : 0xCD, size);
    S().allocations.insert(p);
    return p;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
    if (DWORD e = Enter("GlobalFree")) {
        SetError(e);
        return hMem;
    }
    if (!hMem)
        return nullptr;
    if (!S().allocations.erase(hMem)) {
        SetError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    free(hMem);
    return nullptr;
}

int WINAPI lstrlenW(LPCWSTR lpString) {
    return static_cast<int>(Length(lpString));
}

LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2)
        return nullptr;
    size_t n = Length(lpString2);
    memmove(lpString1, lpString2, (n + 1) * sizeof(WCHAR));
    return lpString1;
}

} // extern "C"
