// Simulated processes, and fault injection: the Nth call of a function fails as Windows
// would make it fail, and every failable call can be failed in turn.
#include "machine_fixture.h"

#include <imm.h>
#include <shellapi.h>
#include <strsafe.h>

#include <set>

namespace {

using Process = Machine;

std::string seenArguments;
HINSTANCE seenInstance;

int WINAPI ShortProgram(HINSTANCE instance, HINSTANCE, LPSTR arguments, int) {
    seenArguments = arguments;
    seenInstance = instance;
    CreateMutexW(nullptr, TRUE, u"mutex_quenlix_unicode");
    SetCurrentDirectoryW(u"C:\\Windows");
    MessageBoxW(nullptr, GetCommandLineW(), u"cmd", MB_OK);
    return 5;
}

TEST_F(Process, RunsTheEntryOnceAndEndsTheProcess) {
    winsim::SetCommandLine(u"\"C:\\dl\\setup.exe\"  /u 中");
    EXPECT_EQ(winsim::RunProcess(ShortProgram), 5);
    EXPECT_EQ(seenArguments, "/u 中");
    WCHAR path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(seenInstance, path, MAX_PATH), 15u);
    EXPECT_EQ(std::u16string(path), u"C:\\dl\\setup.exe");
    EXPECT_EQ(winsim::EventsJson(),
              "{\"event\":\"message\",\"caption\":\"cmd\",\"text\":\"\\\"C:\\\\dl\\\\setup.exe\\\" "
              " /u 中\",\"type\":0,\"answer\":1}\n"
              "{\"event\":\"exit\",\"code\":5}\n");
    // What the process held is gone, and the next one starts where this one was started.
    EXPECT_FALSE(winsim::MutexExists(u"mutex_quenlix_unicode"));
    EXPECT_EQ(winsim::LastProcessLeftovers().kernelHandles, 1);
    EXPECT_EQ(winsim::CurrentDirectory(), u"C:\\");
}

int WINAPI ProbeProgram(HINSTANCE, HINSTANCE, LPSTR, int) {
    HANDLE h = CreateMutexW(nullptr, TRUE, u"mutex_quenlix_unicode");
    bool inUse = GetLastError() == ERROR_ALREADY_EXISTS;
    ReleaseMutex(h);
    bool deleted = DeleteFileW(u"C:\\Windows\\system32\\quenlix.ime");
    return (inUse ? 1 : 0) | (deleted ? 2 : 0);
}

TEST_F(Process, LoadedModuleLastsForOneRun) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\Windows\\system32\\quenlix.ime", "ime"));
    winsim::AddWindow(u"Progman");
    winsim::SimulateLoadedModule();
    EXPECT_EQ(winsim::WindowClasses(), (std::vector<std::u16string>{u"Progman", u"UIQuenLIX"}));
    EXPECT_EQ(winsim::RunProcess(ProbeProgram), 1); // in use, not deletable
    EXPECT_EQ(winsim::WindowClasses(), std::vector<std::u16string>{u"Progman"});
    EXPECT_EQ(winsim::RunProcess(ProbeProgram), 2); // free again
}

TEST_F(Process, TheNthCallFailsWithItsDocumentedResult) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\a", "a"));
    ASSERT_TRUE(winsim::Fail("CopyFileW", 2));
    ASSERT_TRUE(winsim::Fail("CopyFileW", 3, ERROR_DISK_FULL));
    ASSERT_TRUE(winsim::Fail("RegCreateKeyW", 1));
    ASSERT_TRUE(winsim::Fail("GetSystemDirectoryW", 1));
    EXPECT_FALSE(winsim::Fail("NoSuchFunction", 1));
    EXPECT_FALSE(winsim::Fail("CopyFileW", 0));

    EXPECT_TRUE(CopyFileW(u"C:\\a", u"C:\\b", FALSE));
    EXPECT_FALSE(CopyFileW(u"C:\\a", u"C:\\c", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(CopyFileW(u"C:\\a", u"C:\\c", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(winsim::FileBytes(u"C:\\c"), std::nullopt);
    EXPECT_TRUE(CopyFileW(u"C:\\a", u"C:\\c", FALSE));

    HKEY key = reinterpret_cast<HKEY>(uintptr_t(1));
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"Software\\x", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(winsim::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"Software\\x"));
    WCHAR sys[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryW(sys, MAX_PATH), 0u);

    std::vector<std::string> calls;
    for (const winsim::Call& c : winsim::Calls())
        calls.push_back(c.function + ":" + std::to_string(c.number));
    EXPECT_EQ(calls,
              (std::vector<std::string>{"CopyFileW:1", "CopyFileW:2", "CopyFileW:3", "CopyFileW:4",
                                        "RegCreateKeyW:1", "GetSystemDirectoryW:1"}));
}

// A program that makes one call of every failable function and counts the failures it
// can see through each call's documented failure result.
BOOL CALLBACK CountClassFailures(HWND hwnd, LPARAM param) {
    WCHAR name[64];
    if (GetClassNameW(hwnd, name, 64) == 0)
        ++*reinterpret_cast<int*>(param);
    SetLastError(0);
    SendMessageW(hwnd, WM_DESTROY, 153, 153);
    if (GetLastError() != 0)
        ++*reinterpret_cast<int*>(param);
    return TRUE;
}

int WINAPI EveryCallProgram(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    int failures = 0;
    WCHAR sys[MAX_PATH], text[MAX_PATH], target[MAX_PATH];
    if (!GetSystemDirectoryW(sys, MAX_PATH)) {
        ++failures;
        StringCchCopyW(sys, MAX_PATH, u"C:\\Windows\\system32");
    }
    if (!GetWindowsDirectoryW(text, MAX_PATH))
        ++failures;
    if (!GetCurrentDirectoryW(MAX_PATH, text))
        ++failures;
    if (!SetCurrentDirectoryW(u"C:\\dl"))
        ++failures;
    if (!GetModuleFileNameW(instance, text, MAX_PATH))
        ++failures;
    StringCchPrintfW(target, MAX_PATH, u"%s\\quenlix.ime", sys);
    if (GetFileAttributesW(u"C:\\dl\\quenlix.ime") == INVALID_FILE_ATTRIBUTES)
        ++failures;
    if (!CopyFileW(u"C:\\dl\\quenlix.ime", target, FALSE))
        ++failures;

    HKEY key;
    if (RegCreateKeyW(HKEY_LOCAL_MACHINE, u"Software\\quenlix", &key) != ERROR_SUCCESS) {
        ++failures;
    } else {
        const BYTE data[2] = {'x', 0};
        if (RegSetValueExW(key, u"system", 0, REG_SZ, data, 2) != ERROR_SUCCESS)
            ++failures;
        if (RegCloseKey(key) != ERROR_SUCCESS)
            ++failures;
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\quenlix", 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS) {
        ++failures;
    } else {
        DWORD size = sizeof text;
        if (RegQueryValueExW(key, u"system", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                             &size) != ERROR_SUCCESS)
            ++failures;
        if (RegDeleteValueW(key, u"system") != ERROR_SUCCESS)
            ++failures;
        if (RegCloseKey(key) != ERROR_SUCCESS)
            ++failures;
    }
    if (RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\quenlix") != ERROR_SUCCESS)
        ++failures;

    HANDLE mutex = CreateMutexW(nullptr, TRUE, u"mutex_quenlix_unicode");
    if (!mutex) {
        ++failures;
    } else {
        if (!ReleaseMutex(mutex))
            ++failures;
        if (!CloseHandle(mutex))
            ++failures;
    }
    if (MessageBoxW(nullptr, u"?", u"提示", MB_YESNO) == 0)
        ++failures;

    FILE* in = _wfopen(target, u"rb");
    if (!in) {
        ++failures;
    } else {
        char buffer[16];
        if (fseek(in, 0, SEEK_END) != 0)
            ++failures;
        rewind(in);
        if (fread(buffer, 1, sizeof buffer, in) != 3 || ferror(in))
            ++failures;
        fclose(in);
    }
    FILE* out = _wfopen(u"C:\\dl\\out.bin", u"wb");
    if (!out) {
        ++failures;
    } else {
        fputs("out", out);
        if (fclose(out) != 0)
            ++failures;
    }

    WCHAR temp[MAX_PATH];
    if (!GetTempFileNameW(sys, u"dzm", 0, temp))
        ++failures;
    else if (!MoveFileExW(temp, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        ++failures;
    if (!DeleteFileW(u"C:\\dl\\out.bin"))
        ++failures;

    if (!EnumWindows(CountClassFailures, reinterpret_cast<LPARAM>(&failures)))
        ++failures;
    HKL hkl = ImmInstallIMEW(target, u"x");
    if (!hkl) {
        ++failures;
    } else {
        WCHAR name[64];
        if (!ImmGetIMEFileNameW(hkl, name, 64))
            ++failures;
        if (!UnloadKeyboardLayout(hkl))
            ++failures;
    }
    if (GetKeyboardLayoutList(0, nullptr) == 0)
        ++failures;
    void* memory = GlobalAlloc(GPTR, 8);
    if (!memory)
        ++failures;
    else if (GlobalFree(memory))
        ++failures;
    if (reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, nullptr, u"x", nullptr, nullptr, 0)) <= 32)
        ++failures;
    if (!SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, 0, SMTO_NORMAL, 1500, nullptr))
        ++failures;
    return failures;
}

// Fails each call that a clean run makes, one run per call, each on a fresh machine: the
// run sees exactly that call fail, and everything before it happens as in the clean run.
TEST_F(Process, EveryCallCanBeFailedInTurn) {
    auto prepare = [&](const std::string& folder) {
        std::string error;
        ASSERT_TRUE(winsim::LoadMachine(dir_ + "/" + folder, &error)) << error;
        ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\quenlix.ime", "ime"));
        winsim::AddWindow(u"UIQuenLIX");
    };
    prepare("clean");
    ASSERT_EQ(winsim::RunProcess(EveryCallProgram), 0);
    const std::vector<winsim::Call> clean = winsim::Calls();
    std::set<std::string> called;
    for (const auto& c : clean)
        called.insert(c.function);
    for (const std::string& name : winsim::FailableFunctions())
        EXPECT_TRUE(called.count(name)) << name << " is never called";

    for (size_t i = 0; i < clean.size(); ++i) {
        const winsim::Call& target = clean[i];
        prepare("run" + std::to_string(i));
        ASSERT_TRUE(winsim::Fail(target.function, target.number));
        int failures = winsim::RunProcess(EveryCallProgram);
        EXPECT_GE(failures, 1) << target.function << ":" << target.number << " went unnoticed";
        const auto& calls = winsim::Calls();
        ASSERT_GT(calls.size(), i);
        for (size_t k = 0; k <= i; ++k) {
            EXPECT_EQ(calls[k].function, clean[k].function);
            EXPECT_EQ(calls[k].number, clean[k].number);
        }
    }
}

} // namespace
