// A fixture program with known behaviour for checking the harness and the
// test machine: it makes each kind of call the harness reports, in a fixed
// order, and writes what the machine looks like from inside to a file named
// on its command line (after "--report").
//   question box (0x23) -> its answer becomes the exit code
//   information box (0x40) whose text holds quotes, backslashes and U+3000
//   ShellExecuteW twice (no verb / "open" with parameters and directory)
//   WM_DESTROY 153/153 sent to every UIQuenLIX window
//   the settings-change broadcast
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>

namespace {

BOOL CALLBACK CloseUiWindows(HWND window, LPARAM) {
    wchar_t cls[128] = {};
    if (GetClassNameW(window, cls, 127) && _wcsicmp(cls, L"UIQuenLIX") == 0)
        SendMessageW(window, WM_DESTROY, 153, 153);
    return TRUE;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const wchar_t* cmdline = GetCommandLineW();
    const wchar_t* report = wcsstr(cmdline, L"--report ");
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"mutex_quenlix_unicode");
    bool in_use = GetLastError() == ERROR_ALREADY_EXISTS;
    if (report) {
        wchar_t line[1024];
        wchar_t directory[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, directory);
        swprintf(line, 1024, L"cmdline=%ls\r\nlang=0x%04x\r\nin_use=%d\r\ncwd=%ls\r\n", cmdline,
                 static_cast<unsigned>(GetSystemDefaultLangID()), in_use ? 1 : 0, directory);
        HANDLE f = CreateFileW(report + 9, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            char utf8[4096];
            int n = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8), nullptr, nullptr);
            DWORD written = 0;
            if (n > 1)
                WriteFile(f, utf8, static_cast<DWORD>(n - 1), &written, nullptr);
            CloseHandle(f);
        }
    }
    if (mutex)
        ReleaseMutex(mutex);
    int answer =
        MessageBoxW(nullptr, L"升级选择(是)，卸载请选(否)，退出按（取消） ", L"提示", 0x23);
    MessageBoxW(nullptr, L"say \"hi\" in c:\\dl\\x\u3000", L"c:\\dl\\quenlix.ime", 0x40);
    ShellExecuteW(nullptr, nullptr, L"cacls c:\\dl\\*.* /t /e /c /g Users:w", nullptr, nullptr,
                  SW_HIDE);
    ShellExecuteW(nullptr, L"open", L"write.exe", L".\\quenlix.rtf", L"c:\\dl", SW_SHOWNORMAL);
    EnumWindows(CloseUiWindows, 0);
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                        reinterpret_cast<LPARAM>(L"HKEY_CURRENT_USER\\Keyboard Layout\\Preload"),
                        SMTO_NORMAL, 1500, nullptr);
    return answer;
}
