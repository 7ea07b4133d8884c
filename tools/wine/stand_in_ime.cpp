// Stand-in for the input-method module "quenlix.ime": no input method at all,
// only what the setup program relies on while the module is loaded in a process.
#include <windows.h>

namespace {

const wchar_t kUiClass[] = L"UIQuenLIX";
const wchar_t kMutexName[] = L"mutex_quenlix_unicode";
const WPARAM kCloseParam = 153;

HANDLE g_mutex = nullptr;
HINSTANCE g_instance = nullptr;

LRESULT CALLBACK UiWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // The setup program asks the module's UI windows to go away with a sent
    // WM_DESTROY carrying 153 in both parameters; a plain WM_DESTROY is the one
    // DestroyWindow itself delivers.
    if (message == WM_DESTROY && wparam == kCloseParam &&
        static_cast<WPARAM>(lparam) == kCloseParam) {
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

} // namespace

// The module's character table, shipped in Simplified Chinese. The package's "patch.big5" turns
// it into its Traditional form, one character for one, so the module keeps its length.
extern "C" __declspec(dllexport) const wchar_t QuenlixCharacterTable[] =
    L"简体字表：澄鹭五笔 汉字 输入 编码 词语 国际 这个 学习 简体中文";

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        DisableThreadLibraryCalls(instance);
        g_mutex = CreateMutexW(nullptr, FALSE, kMutexName);
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.style = CS_GLOBALCLASS | CS_IME;
        wc.lpfnWndProc = UiWindowProc;
        wc.hInstance = instance;
        wc.lpszClassName = kUiClass;
        RegisterClassExW(&wc);
    } else if (reason == DLL_PROCESS_DETACH) {
        UnregisterClassW(kUiClass, g_instance);
        if (g_mutex)
            CloseHandle(g_mutex);
        g_mutex = nullptr;
    }
    return TRUE;
}
