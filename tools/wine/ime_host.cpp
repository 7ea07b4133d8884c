// Plays an application that uses the input method: loads the installed module
// and opens one of its UI windows. Like such an application it keeps the module
// loaded after the window has been closed, until it is killed.
//   ime_host.exe MODULE_PATH READY_FILE   -> READY_FILE gets "hwnd <hex>" or "error <code>"
//   ime_host.exe --keep                   -> idles until killed (keeps Wine's services up)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

void WriteReady(const wchar_t* path, const char* text) {
    HANDLE f =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(f, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(f);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return 1;
    if (argc == 2 && wcscmp(argv[1], L"--keep") == 0) {
        for (;;)
            Sleep(INFINITE);
    }
    if (argc != 3)
        return 1;
    char text[64];
    HMODULE module = LoadLibraryW(argv[1]);
    if (!module) {
        snprintf(text, sizeof(text), "error LoadLibrary %lu\n", GetLastError());
        WriteReady(argv[2], text);
        return 2;
    }
    HWND window = CreateWindowExW(0, L"UIQuenLIX", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) {
        snprintf(text, sizeof(text), "error CreateWindow %lu\n", GetLastError());
        WriteReady(argv[2], text);
        return 3;
    }
    snprintf(text, sizeof(text), "hwnd %llx\n",
             static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    WriteReady(argv[2], text);
    // Messages keep being handled after the window is gone: the module stays
    // loaded and the process answers broadcasts like any running application.
    for (;;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}
