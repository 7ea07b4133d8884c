#include "tools/big5patch/files.h"

#include <errno.h>
#include <string.h>

#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// A failure of a system call that does not set errno, described at the time it happened.
static std::string SystemError;

std::string LastErrorText() {
    return SystemError.empty() ? std::string(strerror(errno)) : SystemError;
}

#ifdef _WIN32

static std::wstring Widen(const std::string& text) {
    int count = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, NULL, 0);
    if (count <= 0)
        return std::wstring();
    std::vector<wchar_t> wide(static_cast<size_t>(count));
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), count);
    return std::wstring(wide.data());
}

static std::string Narrow(const wchar_t* text) {
    int count = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    if (count <= 0)
        return std::string();
    std::vector<char> narrow(static_cast<size_t>(count));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), count, NULL, NULL);
    return std::string(narrow.data());
}

std::string NarrowArgument(const wchar_t* argument) {
    return Narrow(argument);
}

static void NoteSystemError() {
    SystemError = "Windows error " + std::to_string(GetLastError());
}

FILE* OpenPath(const std::string& path, const char* mode) {
    SystemError.clear();
    return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
}

static FILE* MakeTempIn(const std::wstring& directory, std::string* tempPath) {
    SystemError.clear();
    wchar_t name[MAX_PATH];
    if (GetTempFileNameW(directory.c_str(), L"b5p", 0, name) == 0) {
        NoteSystemError();
        return NULL;
    }
    FILE* file = _wfopen(name, L"w+b");
    if (file == NULL) {
        DeleteFileW(name);
        return NULL;
    }
    *tempPath = Narrow(name);
    return file;
}

FILE* MakeTempBeside(const std::string& besidePath, std::string* tempPath) {
    std::wstring path = Widen(besidePath);
    size_t cut = path.find_last_of(L"\\/:");
    std::wstring directory = cut == std::wstring::npos ? L"." : path.substr(0, cut + 1);
    return MakeTempIn(directory, tempPath);
}

FILE* MakeTempFile(std::string* tempPath) {
    wchar_t directory[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, directory);
    if (length == 0 || length > MAX_PATH) {
        NoteSystemError();
        return NULL;
    }
    return MakeTempIn(directory, tempPath);
}

void CopyModeBits(FILE*, FILE*) {}

bool RenameOver(const std::string& from, const std::string& to) {
    SystemError.clear();
    if (MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    NoteSystemError();
    return false;
}

void RemovePath(const std::string& path) {
    DeleteFileW(Widen(path).c_str());
}

#else

// fopen opens a directory for reading too; it is no module or patch.
FILE* OpenPath(const std::string& path, const char* mode) {
    SystemError.clear();
    FILE* file = fopen(path.c_str(), mode);
    struct stat status;
    if (file != NULL && fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        fclose(file);
        errno = EISDIR;
        return NULL;
    }
    return file;
}

static FILE* MakeTempIn(const std::string& directory, std::string* tempPath) {
    SystemError.clear();
    std::string pattern = directory + "/.big5patch-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int descriptor = mkstemp(name.data());
    if (descriptor < 0)
        return NULL;
    FILE* file = fdopen(descriptor, "w+b");
    if (file == NULL) {
        int error = errno;
        close(descriptor);
        unlink(name.data());
        errno = error;
        return NULL;
    }
    *tempPath = name.data();
    return file;
}

FILE* MakeTempBeside(const std::string& besidePath, std::string* tempPath) {
    size_t slash = besidePath.find_last_of('/');
    std::string directory = slash == std::string::npos ? std::string(".")
                            : slash == 0               ? std::string("/")
                                                       : besidePath.substr(0, slash);
    return MakeTempIn(directory, tempPath);
}

FILE* MakeTempFile(std::string* tempPath) {
    const char* directory = getenv("TMPDIR");
    return MakeTempIn(directory != NULL && directory[0] != 0 ? directory : "/tmp", tempPath);
}

void CopyModeBits(FILE* from, FILE* to) {
    mode_t bits;
    struct stat status;
    if (from != NULL && fstat(fileno(from), &status) == 0) {
        bits = status.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        bits = 0666 & ~mask;
    }
    fchmod(fileno(to), bits);
}

bool RenameOver(const std::string& from, const std::string& to) {
    SystemError.clear();
    return rename(from.c_str(), to.c_str()) == 0;
}

void RemovePath(const std::string& path) {
    unlink(path.c_str());
}

#endif
