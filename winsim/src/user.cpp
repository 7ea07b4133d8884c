// User interface, keyboard layouts, input-method manager and shell: message boxes, the
// top-level windows of other processes, the machine's loaded layouts.
#include "state.h"

#include <imm.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>

namespace winsim {
namespace detail {
namespace {

const char16_t kLayoutsKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts";

EventField Num(const char* name, long long value) {
    EventField f;
    f.name = name;
    f.kind = EventField::Number;
    f.number = value;
    return f;
}

EventField Txt(const char* name, const WCHAR* value) {
    EventField f;
    f.name = name;
    if (value) {
        f.kind = EventField::Text;
        f.text = Str(value);
    }
    return f;
}

Window* FindWindowRec(HWND hwnd) {
    for (Window& w : S().windows)
        if (w.hwnd == hwnd)
            return &w;
    return nullptr;
}

std::u16string LayoutKeyName(uint32_t id) {
    char buf[16];
    snprintf(buf, sizeof buf, "%08X", unsigned(id));
    return Utf16(buf);
}

// A REG_SZ's text: up to its first NUL, however it was stored.
std::u16string ValueText(const RegValueRec& v) {
    std::u16string s;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
        if (!c)
            break;
        s += c;
    }
    return s;
}

std::u16string ImeFileOf(uint32_t id) {
    auto key = FindKey(RootKey(HKEY_LOCAL_MACHINE),
                       std::u16string(kLayoutsKey) + u"\\" + LayoutKeyName(id));
    if (!key)
        return std::u16string();
    RegValueRec* v = FindValue(*key, u"Ime File");
    return v ? ValueText(*v) : std::u16string();
}

} // namespace
} // namespace detail

using namespace detail;

// ---- Control ------------------------------------------------------------------------------

void QueueAnswer(int answer) {
    S().answers.push_back(answer);
}
size_t PendingAnswers() {
    return S().answers.size();
}
void SetMessageBoxPrompt(std::function<int(const MessageBoxRequest&)> prompt) {
    S().prompt = std::move(prompt);
}

HWND AddWindow(const std::u16string& className) {
    State& s = S();
    HWND hwnd = reinterpret_cast<HWND>(s.nextWindow);
    s.nextWindow += 0x10;
    s.windows.push_back({hwnd, className, false});
    return hwnd;
}

std::vector<std::u16string> WindowClasses() {
    std::vector<std::u16string> classes;
    for (const Window& w : S().windows)
        classes.push_back(w.className);
    return classes;
}

} // namespace winsim

using namespace winsim;
using namespace winsim::detail;

extern "C" {

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    (void)hWnd;
    if (DWORD e = Enter("MessageBoxW")) {
        SetError(e);
        return 0;
    }
    State& s = S();
    MessageBoxRequest request{lpCaption ? Str(lpCaption) : u"Error", Str(lpText), uType};
    int answer;
    if ((uType & MB_TYPEMASK) == MB_OK) {
        answer = IDOK;
    } else if (!s.answers.empty()) {
        answer = s.answers.front();
        s.answers.pop_front();
    } else if (s.prompt) {
        answer = s.prompt(request);
    } else {
        answer = IDCANCEL; // nobody to ask: as if the box were closed
    }
    Event e;
    e.kind = "message";
    e.fields.push_back(Txt("caption", request.caption.c_str()));
    e.fields.push_back(Txt("text", request.text.c_str()));
    e.fields.push_back(Num("type", uType));
    e.fields.push_back(Num("answer", answer));
    Record(std::move(e));
    return answer;
}

LPWSTR WINAPI CharLowerW(LPWSTR lpsz) {
    uintptr_t value = reinterpret_cast<uintptr_t>(lpsz);
    if ((value >> 16) == 0) // a single character passed in the pointer's low word
        return reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(Lower(char16_t(value))));
    for (LPWSTR p = lpsz; *p; ++p)
        *p = Lower(*p);
    return lpsz;
}

BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
    if (DWORD e = Enter("EnumWindows")) {
        SetError(e);
        return FALSE;
    }
    if (!lpEnumFunc) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Walk a snapshot: the callback may close windows as it goes.
    std::vector<HWND> snapshot;
    for (const Window& w : S().windows)
        snapshot.push_back(w.hwnd);
    for (HWND hwnd : snapshot) {
        if (!FindWindowRec(hwnd))
            continue;
        if (!lpEnumFunc(hwnd, lParam))
            return FALSE;
    }
    return TRUE;
}

int WINAPI GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount) {
    if (DWORD e = Enter("GetClassNameW")) {
        SetError(e);
        return 0;
    }
    Window* w = FindWindowRec(hWnd);
    if (!w) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!lpClassName || nMaxCount <= 0) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    size_t n = std::min(w->className.size(), static_cast<size_t>(nMaxCount - 1));
    w->className.copy(lpClassName, n);
    lpClassName[n] = 0;
    return static_cast<int>(n);
}

// Delivers a message to one window; the module's UI window closes on its close request.
static bool Deliver(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Window* w = FindWindowRec(hWnd);
    if (!w) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    Event e;
    e.kind = "send";
    e.fields.push_back(Txt("class", w->className.c_str()));
    e.fields.push_back(Num("message", Msg));
    e.fields.push_back(Num("wparam", static_cast<long long>(wParam)));
    e.fields.push_back(Num("lparam", lParam));
    // Class names are compared without regard to case, as Windows does.
    bool closes = EqualNoCase(w->className, u"UIQuenLIX") && Msg == WM_DESTROY && wParam == 153 &&
                  lParam == 153;
    if (closes) {
        auto& ws = S().windows;
        ws.erase(
            std::remove_if(ws.begin(), ws.end(), [&](const Window& x) { return x.hwnd == hWnd; }),
            ws.end());
    }
    Record(std::move(e));
    return true;
}

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (DWORD e = Enter("SendMessageW")) {
        SetError(e);
        return 0;
    }
    Deliver(hWnd, Msg, wParam, lParam);
    return 0;
}

LRESULT WINAPI SendMessageTimeoutW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                   UINT uTimeout, PDWORD_PTR lpdwResult) {
    (void)fuFlags;
    if (DWORD e = Enter("SendMessageTimeoutW")) {
        SetError(e);
        return 0;
    }
    if (lpdwResult)
        *lpdwResult = 0;
    if (hWnd != HWND_BROADCAST)
        return Deliver(hWnd, Msg, wParam, lParam) ? 1 : 0;
    Event e;
    e.kind = "broadcast";
    e.fields.push_back(Num("message", Msg));
    // Only the settings change carries text in lParam; other messages' lParam is a number.
    const WCHAR* text = nullptr;
    if (Msg == WM_SETTINGCHANGE && lParam)
        text = reinterpret_cast<const WCHAR*>(lParam);
    e.fields.push_back(Txt("text", text));
    e.fields.push_back(Num("timeout", uTimeout));
    Record(std::move(e));
    return 1;
}

int WINAPI GetKeyboardLayoutList(int nBuff, HKL* lpList) {
    if (DWORD e = Enter("GetKeyboardLayoutList")) {
        SetError(e);
        return 0;
    }
    const std::vector<uint32_t>& layouts = S().layouts;
    if (nBuff == 0)
        return static_cast<int>(layouts.size());
    if (nBuff < 0 || !lpList) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = std::min(layouts.size(), static_cast<size_t>(nBuff));
    for (size_t i = 0; i < n; ++i)
        lpList[i] = LayoutHandle(layouts[i]);
    return static_cast<int>(n);
}

BOOL WINAPI UnloadKeyboardLayout(HKL hkl) {
    if (DWORD e = Enter("UnloadKeyboardLayout")) {
        SetError(e);
        return FALSE;
    }
    auto& layouts = S().layouts;
    auto it = std::find(layouts.begin(), layouts.end(), LayoutId(hkl));
    if (it == layouts.end()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    layouts.erase(it);
    return TRUE;
}

HKL WINAPI ImmInstallIMEW(LPCWSTR lpszIMEFileName, LPCWSTR lpszLayoutText) {
    if (DWORD e = Enter("ImmInstallIMEW")) {
        SetError(e);
        return nullptr;
    }
    if (!lpszIMEFileName) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Resolved r = Resolve(Str(lpszIMEFileName));
    if (!r.exists || r.isDirectory) {
        SetError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    std::u16string file = r.full.substr(r.full.find_last_of(u'\\') + 1);
    for (char16_t& c : file)
        c = Upper(c);

    // Input methods get identifiers E0nn0804: the one already naming this file, else the
    // first free nn from 0x20.
    auto layouts = MakeKey(RootKey(HKEY_LOCAL_MACHINE), kLayoutsKey);
    uint32_t chosen = 0;
    for (uint32_t nn = 0x20; nn <= 0xFF && !chosen; ++nn) {
        uint32_t id = 0xE0000804u | (nn << 16);
        auto key = FindKey(layouts, LayoutKeyName(id));
        if (key && EqualNoCase(ImeFileOf(id), file))
            chosen = id;
    }
    for (uint32_t nn = 0x20; nn <= 0xFF && !chosen; ++nn) {
        uint32_t id = 0xE0000804u | (nn << 16);
        if (!FindKey(layouts, LayoutKeyName(id)))
            chosen = id;
    }
    if (!chosen) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto key = MakeKey(layouts, LayoutKeyName(chosen));
    SetValue(*key, u"Ime File", REG_SZ, StringBytes(file));
    SetValue(*key, u"Layout File", REG_SZ, StringBytes(u"kbdus.dll"));
    SetValue(*key, u"Layout Text", REG_SZ, StringBytes(Str(lpszLayoutText)));
    auto& loaded = S().layouts;
    if (std::find(loaded.begin(), loaded.end(), chosen) == loaded.end())
        loaded.push_back(chosen);
    return LayoutHandle(chosen);
}

UINT WINAPI ImmGetIMEFileNameW(HKL hKL, LPWSTR lpszFileName, UINT uBufLen) {
    if (DWORD e = Enter("ImmGetIMEFileNameW")) {
        SetError(e);
        return 0;
    }
    uint32_t id = LayoutId(hKL);
    if ((id & 0xF0000000u) != 0xE0000000u)
        return 0; // not an input method
    std::u16string file = ImeFileOf(id);
    if (file.empty())
        return 0;
    if (uBufLen == 0)
        return static_cast<UINT>(file.size());
    if (!lpszFileName) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = std::min(file.size(), static_cast<size_t>(uBufLen - 1));
    file.copy(lpszFileName, n);
    lpszFileName[n] = 0;
    return static_cast<UINT>(n);
}

HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                               LPCWSTR lpDirectory, INT nShowCmd) {
    (void)hwnd;
    if (DWORD e = Enter("ShellExecuteW")) {
        SetError(e);
        return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(e <= 32 ? e : 2));
    }
    Event e;
    e.kind = "shell";
    e.fields.push_back(Txt("verb", lpOperation));
    e.fields.push_back(Txt("file", lpFile));
    e.fields.push_back(Txt("parameters", lpParameters));
    e.fields.push_back(Txt("directory", lpDirectory));
    e.fields.push_back(Num("show", nShowCmd));
    Record(std::move(e));
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(42));
}

} // extern "C"
