// Takes the place of cacls.exe and write.exe in the test machine: appends the
// command line it was started with (and its directory) to C:\qtest\commands.log
// as one UTF-8 line, and does nothing else.
#include <windows.h>

namespace {

void AppendUtf8(HANDLE file, const wchar_t* text) {
    char buffer[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof(buffer), nullptr, nullptr);
    if (n <= 1)
        return;
    DWORD written = 0;
    WriteFile(file, buffer, static_cast<DWORD>(n - 1), &written, nullptr);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    HANDLE file = CreateFileW(L"C:\\qtest\\commands.log", FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    AppendUtf8(file, GetCommandLineW());
    AppendUtf8(file, L"\t");
    AppendUtf8(file, directory);
    AppendUtf8(file, L"\n");
    CloseHandle(file);
    return 0;
}
