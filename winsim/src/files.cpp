// Drive C: on the host: path resolution without regard to case, the kernel file functions
// and the CRT's _wfopen.
#include "state.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace winsim {
namespace detail {

namespace {

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

// Characters Windows refuses in file names.
bool ValidComponent(const std::u16string& c) {
    for (char16_t ch : c) {
        if (ch < 0x20 || ch == u'<' || ch == u'>' || ch == u':' || ch == u'"' || ch == u'|' ||
            ch == u'?' || ch == u'*')
            return false;
    }
    return true;
}

std::vector<std::u16string> Split(const std::u16string& s) {
    std::vector<std::u16string> parts;
    std::u16string cur;
    for (char16_t c : s) {
        if (IsSeparator(c)) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

// Finds the entry of a host directory whose name matches without regard to case; an exact
// match wins over a case-folded one.
bool FindEntry(const std::string& dir, const std::u16string& name, std::string* found) {
    DIR* d = opendir(dir.c_str());
    if (!d)
        return false;
    bool ok = false;
    std::string exact = Utf8(name);
    while (dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        if (exact == e->d_name) {
            *found = e->d_name;
            ok = true;
            break;
        }
        if (!ok && EqualNoCase(Utf16(e->d_name), name)) {
            *found = e->d_name;
            ok = true;
        }
    }
    closedir(d);
    return ok;
}

DWORD ErrnoToError(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

bool ReadHost(const std::string& host, std::string* bytes) {
    std::ifstream in(host, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *bytes = ss.str();
    return !in.bad();
}

bool WriteHost(const std::string& host, const std::string& bytes) {
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::u16string LastComponent(const std::u16string& full) {
    size_t cut = full.find_last_of(u'\\');
    return cut == std::u16string::npos ? full : full.substr(cut + 1);
}

bool Fails(DWORD error) {
    if (!error)
        return false;
    SetError(error);
    return true;
}

} // namespace

bool NormalizePath(const std::u16string& path, std::u16string* full, DWORD* error) {
    std::u16string p = path;
    if (p.size() >= 4 && IsSeparator(p[0]) && IsSeparator(p[1]) && p[2] == u'?' &&
        IsSeparator(p[3]))
        p = p.substr(4);
    if (p.empty()) {
        *error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    // The drive letter keeps the case it is given in, as the rest of the path does.
    const std::u16string& cwd = S().cwd; // always "X:\..."
    char16_t drive;
    std::u16string rest;
    if (p.size() >= 2 && p[1] == u':') {
        drive = p[0];
        if (Upper(drive) < u'A' || Upper(drive) > u'Z') {
            *error = ERROR_INVALID_NAME;
            return false;
        }
        if (p.size() >= 3 && IsSeparator(p[2]))
            rest = p.substr(3);
        else if (Upper(cwd[0]) == Upper(drive))
            rest = cwd.substr(3) + u"\\" + p.substr(2);
        else
            rest = p.substr(2);
    } else if (IsSeparator(p[0])) {
        if (p.size() >= 2 && IsSeparator(p[1])) { // UNC: no network here
            *error = ERROR_PATH_NOT_FOUND;
            return false;
        }
        drive = cwd[0];
        rest = p.substr(1);
    } else {
        drive = cwd[0];
        rest = cwd.substr(3) + u"\\" + p;
    }
    std::vector<std::u16string> comps;
    for (const std::u16string& c : Split(rest)) {
        if (c.empty() || c == u".")
            continue;
        if (c == u"..") {
            if (!comps.empty())
                comps.pop_back();
            continue;
        }
        if (!ValidComponent(c)) {
            *error = ERROR_INVALID_NAME;
            return false;
        }
        comps.push_back(c);
    }
    std::u16string out;
    out += drive;
    out += u":\\";
    for (size_t i = 0; i < comps.size(); ++i) {
        if (i)
            out += u'\\';
        out += comps[i];
    }
    *full = out;
    return true;
}

Resolved Resolve(const std::u16string& path, bool win32Limit) {
    Resolved r;
    if (!NormalizePath(path, &r.full, &r.error))
        return r;
    if (Upper(r.full[0]) != u'C') {
        r.error = ERROR_PATH_NOT_FOUND; // the only drive is C:
        return r;
    }
    if (win32Limit && r.full.size() >= MAX_PATH) {
        r.error = ERROR_FILENAME_EXCED_RANGE;
        return r;
    }
    std::vector<std::u16string> comps;
    if (r.full.size() > 3)
        comps = Split(r.full.substr(3));
    r.host = S().dir + "/drive_c";
    bool found = HostIsDirectory(r.host);
    r.parentExists = found;
    for (size_t i = 0; i < comps.size(); ++i) {
        if (i + 1 == comps.size())
            r.parentExists = found;
        std::string entry;
        if (found && FindEntry(r.host, comps[i], &entry)) {
            r.host += "/" + entry;
            if (i + 1 < comps.size() && !HostIsDirectory(r.host))
                found = false;
        } else {
            r.host += "/" + Utf8(comps[i]);
            found = false;
        }
    }
    r.exists = found && HostExists(r.host);
    r.isDirectory = r.exists && HostIsDirectory(r.host);
    return r;
}

DWORD NotFoundError(const Resolved& r) {
    if (r.error)
        return r.error;
    return r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool HostIsDirectory(const std::string& host) {
    struct stat st;
    return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HostExists(const std::string& host) {
    struct stat st;
    return stat(host.c_str(), &st) == 0;
}

bool InUse(const std::string& host) {
    return S().inUse.count(host) != 0;
}

} // namespace detail

using namespace detail;

// ---- Control ------------------------------------------------------------------------------

std::string HostPath(const std::u16string& windowsPath) {
    Resolved r = Resolve(windowsPath, false);
    return r.error ? std::string() : r.host;
}

bool MakeDirectory(const std::u16string& windowsPath) {
    Resolved r = Resolve(windowsPath, false);
    if (r.error)
        return false;
    std::error_code ec;
    fs::create_directories(r.host, ec);
    return HostIsDirectory(r.host);
}

bool PlaceFile(const std::u16string& windowsPath, const std::string& bytes) {
    Resolved r = Resolve(windowsPath, false);
    if (r.error || r.isDirectory)
        return false;
    std::error_code ec;
    fs::create_directories(fs::path(r.host).parent_path(), ec);
    return WriteHost(r.host, bytes);
}

std::optional<std::string> FileBytes(const std::u16string& windowsPath) {
    Resolved r = Resolve(windowsPath, false);
    std::string bytes;
    if (r.error || !r.exists || r.isDirectory || !ReadHost(r.host, &bytes))
        return std::nullopt;
    return bytes;
}

bool HoldFileInUse(const std::u16string& windowsPath) {
    Resolved r = Resolve(windowsPath, false);
    if (r.error || !r.exists || r.isDirectory)
        return false;
    S().inUse.insert(r.host);
    return true;
}

bool IsFileInUse(const std::u16string& windowsPath) {
    Resolved r = Resolve(windowsPath, false);
    return !r.error && r.exists && InUse(r.host);
}

bool SetCurrentDirectory(const std::u16string& windowsPath) {
    Resolved r = Resolve(windowsPath, false);
    if (r.error || !r.isDirectory)
        return false;
    S().cwd = r.full;
    return true;
}

std::u16string CurrentDirectory() {
    return S().cwd;
}

} // namespace winsim

using namespace winsim;
using namespace winsim::detail;

// Resolves a path argument that must name something existing; otherwise sets the error a
// Windows call gives (a null path, a missing file or folder) and returns false.
static bool ResolveExisting(LPCWSTR path, Resolved* r) {
    if (!path) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    *r = Resolve(Str(path));
    if (!r->exists) {
        SetError(NotFoundError(*r));
        return false;
    }
    return true;
}

// ---- Kernel file functions -----------------------------------------------------------------

extern "C" {

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    Resolved r;
    if (Fails(Enter("GetFileAttributesW")) || !ResolveExisting(lpFileName, &r))
        return INVALID_FILE_ATTRIBUTES;
    return r.isDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    Resolved r;
    if (Fails(Enter("DeleteFileW")) || !ResolveExisting(lpFileName, &r))
        return FALSE;
    if (r.isDirectory || InUse(r.host)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(r.host.c_str()) != 0) {
        SetError(ErrnoToError(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    if (Fails(Enter("CopyFileW")))
        return FALSE;
    if (!lpExistingFileName || !lpNewFileName) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Resolved from = Resolve(Str(lpExistingFileName));
    if (!from.exists) {
        SetError(NotFoundError(from));
        return FALSE;
    }
    if (from.isDirectory) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Resolved to = Resolve(Str(lpNewFileName));
    if (to.error || !to.parentExists) {
        SetError(to.error ? to.error : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (to.exists) {
        if (bFailIfExists) {
            SetError(ERROR_FILE_EXISTS);
            return FALSE;
        }
        if (to.host == from.host) { // Windows cannot open a file over itself for writing
            SetError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        if (to.isDirectory) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // A file mapped as a loaded image cannot be opened for writing.
        if (InUse(to.host)) {
            SetError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    std::string bytes;
    if (!ReadHost(from.host, &bytes)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!WriteHost(to.host, bytes)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

// Appends a pending operation to the list the session manager carries out at restart.
// The value is REG_MULTI_SZ: source, destination (empty = delete) pairs, then one extra NUL.
// A destination to replace is marked with a leading '!'.
static void AddPendingRename(const std::u16string& source, const std::u16string& destination) {
    auto key = MakeKey(RootKey(HKEY_LOCAL_MACHINE),
                       u"SYSTEM\\CurrentControlSet\\Control\\Session Manager");
    std::u16string list;
    if (RegValueRec* v = FindValue(*key, u"PendingFileRenameOperations")) {
        list.assign(v->data.size() / 2, u'\0');
        memcpy(&list[0], v->data.data(), list.size() * 2);
    }
    if (list.size() >= 2 && list[list.size() - 1] == 0 && list[list.size() - 2] == 0)
        list.pop_back(); // the list's final extra NUL
    else if (!list.empty() && list.back() != 0)
        list += u'\0';
    list += source;
    list += u'\0';
    list += destination;
    list += u'\0';
    list += u'\0';
    std::vector<uint8_t> data(list.size() * 2);
    memcpy(data.data(), list.data(), data.size());
    SetValue(*key, u"PendingFileRenameOperations", REG_MULTI_SZ, std::move(data));
}

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    if (Fails(Enter("MoveFileExW")))
        return FALSE;
    if (!lpExistingFileName) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        if (dwFlags & MOVEFILE_COPY_ALLOWED) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::u16string source, destination;
        DWORD error = 0;
        if (!NormalizePath(Str(lpExistingFileName), &source, &error)) {
            SetError(error);
            return FALSE;
        }
        if (lpNewFileName && *lpNewFileName) {
            if (!NormalizePath(Str(lpNewFileName), &destination, &error)) {
                SetError(error);
                return FALSE;
            }
            destination =
                ((dwFlags & MOVEFILE_REPLACE_EXISTING) ? u"!\\??\\" : u"\\??\\") + destination;
        }
        AddPendingRename(u"\\??\\" + source, destination);
        return TRUE;
    }
    if (!lpNewFileName) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Resolved from = Resolve(Str(lpExistingFileName));
    if (!from.exists) {
        SetError(NotFoundError(from));
        return FALSE;
    }
    Resolved to = Resolve(Str(lpNewFileName));
    if (to.error || !to.parentExists) {
        SetError(to.error ? to.error : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::set<std::string>& inUse = S().inUse;
    std::string prefix = from.host + "/";
    bool holdsInUse = false;
    for (const std::string& h : inUse)
        if (h.compare(0, prefix.size(), prefix) == 0)
            holdsInUse = true;
    if (from.isDirectory && holdsInUse) { // an open file pins the directories above it
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::string target = to.host;
    if (to.exists && to.host == from.host) {
        // Same file, perhaps a change of case: give it the new name as written.
        target = fs::path(to.host).parent_path().string() + "/" + Utf8(LastComponent(to.full));
    } else if (to.exists) {
        if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) {
            SetError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (to.isDirectory || from.isDirectory || InUse(to.host)) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    if (target != from.host && rename(from.host.c_str(), target.c_str()) != 0) {
        SetError(ErrnoToError(errno));
        return FALSE;
    }
    if (inUse.erase(from.host))
        inUse.insert(target);
    return TRUE;
}

UINT WINAPI GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique,
                             LPWSTR lpTempFileName) {
    if (Fails(Enter("GetTempFileNameW")))
        return 0;
    if (!lpPathName || !lpTempFileName) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string dir = Str(lpPathName);
    if (dir.size() > MAX_PATH - 14) {
        SetError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    std::u16string base = dir;
    if (base.empty() || !IsSeparator(base.back()))
        base += u'\\';
    base += Str(lpPrefixString).substr(0, 3);

    auto name = [&](unsigned n) {
        char hex[8];
        snprintf(hex, sizeof hex, "%X", n & 0xFFFF);
        return base + Utf16(hex) + u".tmp";
    };
    auto copyOut = [&](const std::u16string& text) {
        size_t n = std::min<size_t>(text.size(), MAX_PATH - 1);
        text.copy(lpTempFileName, n);
        lpTempFileName[n] = 0;
    };
    if (uUnique != 0) {
        copyOut(name(uUnique));
        return uUnique;
    }
    Resolved d = Resolve(dir);
    if (!d.exists) {
        SetError(d.error ? d.error : ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (!d.isDirectory) {
        SetError(ERROR_DIRECTORY);
        return 0;
    }
    // Windows seeds with the clock; a fixed seed keeps runs repeatable.
    unsigned n = 1;
    for (unsigned tries = 0; tries < 0xFFFF; ++tries, n = n % 0xFFFF + 1) {
        std::u16string candidate = name(n);
        Resolved c = Resolve(candidate);
        if (c.error) {
            SetError(c.error);
            return 0;
        }
        if (c.exists)
            continue;
        int fd = open(c.host.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            SetError(ErrnoToError(errno));
            return 0;
        }
        close(fd);
        copyOut(candidate);
        return n;
    }
    SetError(ERROR_FILE_EXISTS);
    return 0;
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    if (Fails(Enter("GetSystemDirectoryW")))
        return 0;
    return CopyOut(u"C:\\Windows\\system32", lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    if (Fails(Enter("GetWindowsDirectoryW")))
        return 0;
    return CopyOut(u"C:\\Windows", lpBuffer, uSize);
}

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    if (Fails(Enter("GetCurrentDirectoryW")))
        return 0;
    return CopyOut(S().cwd, lpBuffer, nBufferLength);
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName) {
    Resolved r;
    if (Fails(Enter("SetCurrentDirectoryW")) || !ResolveExisting(lpPathName, &r))
        return FALSE;
    if (!r.isDirectory) {
        SetError(ERROR_DIRECTORY);
        return FALSE;
    }
    S().cwd = r.full;
    return TRUE;
}

// ---- _wfopen ------------------------------------------------------------------------------

namespace {

struct StreamCookie {
    int fd;
};

ssize_t StreamRead(void* cookie, char* buf, size_t size) {
    if (DWORD e = Enter("ReadFile")) {
        SetError(e);
        errno = EIO;
        return -1;
    }
    ssize_t n = read(static_cast<StreamCookie*>(cookie)->fd, buf, size);
    if (n < 0)
        SetError(ERROR_READ_FAULT);
    return n;
}

ssize_t StreamWrite(void* cookie, const char* buf, size_t size) {
    if (DWORD e = Enter("WriteFile")) {
        SetError(e);
        errno = e == ERROR_DISK_FULL ? ENOSPC : EIO;
        return 0; // fopencookie's way of saying the write failed
    }
    ssize_t n = write(static_cast<StreamCookie*>(cookie)->fd, buf, size);
    if (n < 0) {
        SetError(ErrnoToError(errno));
        return 0;
    }
    return n;
}

int StreamSeek(void* cookie, off64_t* offset, int whence) {
    if (DWORD e = Enter("SetFilePointer")) {
        SetError(e);
        errno = EIO;
        return -1;
    }
    off64_t pos = lseek64(static_cast<StreamCookie*>(cookie)->fd, *offset, whence);
    if (pos < 0) {
        SetError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ERROR_SEEK);
        return -1;
    }
    *offset = pos;
    return 0;
}

int StreamClose(void* cookie) {
    auto* c = static_cast<StreamCookie*>(cookie);
    S().streams.erase(cookie);
    int rc = close(c->fd);
    delete c;
    return rc;
}

} // namespace

FILE* _wfopen(const WCHAR* filename, const WCHAR* mode) {
    if (DWORD e = Enter("_wfopen")) {
        SetError(e);
        errno = EACCES;
        return nullptr;
    }
    if (!filename || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    // Mode: r, w or a, then any of '+', 'b', 't' and the CRT's extra letters; ",ccs=" ignored.
    std::u16string m = Str(mode);
    if (m.empty() || (m[0] != u'r' && m[0] != u'w' && m[0] != u'a')) {
        errno = EINVAL;
        return nullptr;
    }
    bool plus = false;
    for (size_t i = 1; i < m.size() && m[i] != u','; ++i)
        if (m[i] == u'+')
            plus = true;
    int flags = 0;
    std::string cmode(1, static_cast<char>(m[0]));
    if (plus)
        cmode += '+';
    switch (m[0]) {
    case u'r':
        flags = plus ? O_RDWR : O_RDONLY;
        break;
    case u'w':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    default:
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        break;
    }
    bool writing = m[0] != u'r' || plus;

    Resolved r = Resolve(Str(filename));
    if (r.error || (!r.exists && (m[0] == u'r' || !r.parentExists))) {
        SetError(r.error ? r.error : NotFoundError(r));
        errno = ENOENT;
        return nullptr;
    }
    if (r.isDirectory || (writing && InUse(r.host))) {
        // The runtime reports a sharing violation as EACCES too.
        SetError(r.isDirectory ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
        errno = EACCES;
        return nullptr;
    }
    int fd = open(r.host.c_str(), flags, 0644);
    if (fd < 0) {
        int e = errno;
        SetError(ErrnoToError(e));
        errno = e;
        return nullptr;
    }
    auto* cookie = new StreamCookie{fd};
    cookie_io_functions_t io = {StreamRead, StreamWrite, StreamSeek, StreamClose};
    FILE* f = fopencookie(cookie, cmode.c_str(), io);
    if (!f) {
        StreamClose(cookie);
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    S().streams[cookie] = f;
    return f;
}

} // extern "C"
