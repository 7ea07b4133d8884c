// Kernel services: named mutexes, the module path, lower-casing, global memory and the
// bounded string functions.
#include "machine_fixture.h"

#include <strsafe.h>

namespace {

using Kernel = Machine;

TEST_F(Kernel, NamedMutexesReportAnEarlierOwner) {
    SetLastError(1234);
    HANDLE first = CreateMutexW(nullptr, TRUE, u"mutex_quenlix_unicode");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE second = CreateMutexW(nullptr, TRUE, u"mutex_quenlix_unicode");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // Names are case-sensitive.
    CloseHandle(CreateMutexW(nullptr, FALSE, u"MUTEX_QUENLIX_UNICODE"));
    EXPECT_EQ(GetLastError(), 0u);
    // Owned once, by the creator.
    EXPECT_TRUE(ReleaseMutex(second));
    EXPECT_FALSE(ReleaseMutex(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    EXPECT_TRUE(CloseHandle(first));
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(winsim::MutexExists(u"mutex_quenlix_unicode"));
    // The process ends with a handle still open: the system closes it.
    winsim::EndProcess();
    EXPECT_EQ(winsim::LastProcessLeftovers().kernelHandles, 1);
    EXPECT_FALSE(winsim::MutexExists(u"mutex_quenlix_unicode"));
}

TEST_F(Kernel, AnotherProcessesMutexExistsButIsNotOurs) {
    winsim::AddForeignMutex(u"mutex_quenlix_unicode");
    HANDLE h = CreateMutexW(nullptr, TRUE, u"mutex_quenlix_unicode");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(winsim::MutexExists(u"mutex_quenlix_unicode"));
}

struct ModuleCase {
    const char* name;
    std::u16string commandLine;
    std::u16string module;
};

class ModulePath : public Machine, public ::testing::WithParamInterface<ModuleCase> {};

TEST_P(ModulePath, ComesFromTheCommandLine) {
    winsim::SetCommandLine(GetParam().commandLine);
    ASSERT_TRUE(winsim::MakeDirectory(u"C:\\work"));
    ASSERT_TRUE(winsim::SetCurrentDirectory(u"C:\\work"));
    WCHAR path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, MAX_PATH), GetParam().module.size());
    EXPECT_EQ(std::u16string(path), GetParam().module);
    EXPECT_EQ(std::u16string(GetCommandLineW()), GetParam().commandLine);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModulePath,
    ::testing::Values(ModuleCase{"quoted", u"\"C:\\Program Files\\dl\\setup.exe\" /u",
                                 u"C:\\Program Files\\dl\\setup.exe"},
                      ModuleCase{"plain", u"c:\\dl\\SETUP.EXE /s /p", u"c:\\dl\\SETUP.EXE"},
                      ModuleCase{"bare_name", u"setup /u", u"C:\\work\\setup.exe"},
                      ModuleCase{"other_drive", u"d:\\new\\setup.exe", u"d:\\new\\setup.exe"},
                      ModuleCase{"empty", u"", u"C:\\setup.exe"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Kernel, ModulePathTruncatesToTheBuffer) {
    winsim::SetCommandLine(u"C:\\dl\\setup.exe");
    WCHAR path[8];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, 8), 8u);
    EXPECT_EQ(std::u16string(path), u"C:\\dl\\s");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(uintptr_t(0x1234)), path, 8), 0u);
}

TEST_F(Kernel, CharLowerLowersUnicodeLettersOnly) {
    WCHAR text[] = u"C:\\DL\\SETUP.EXE /S ÄÖÜ ΣΑ ＡＢ 中文 /U \xD83D\xDE00";
    EXPECT_EQ(CharLowerW(text), text);
    EXPECT_EQ(std::u16string(text), u"c:\\dl\\setup.exe /s äöü σα ａｂ 中文 /u \xD83D\xDE00");
    // A character passed in place of a pointer comes back lowered.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharLowerW(reinterpret_cast<LPWSTR>(uintptr_t(u'Q')))),
              uintptr_t(u'q'));
}

TEST_F(Kernel, GlobalMemory) {
    auto* zeroed = static_cast<uint32_t*>(GlobalAlloc(GMEM_ZEROINIT, 16 * sizeof(uint32_t)));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(zeroed[i], 0u);
    EXPECT_EQ(GlobalFree(zeroed), nullptr);
    int local = 0;
    EXPECT_EQ(GlobalFree(&local), &local);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ASSERT_NE(GlobalAlloc(GPTR, 4), nullptr);
    winsim::EndProcess();
    EXPECT_EQ(winsim::LastProcessLeftovers().globalAllocations, 1);
}

template <typename... Args> std::u16string Formatted(const char16_t* format, Args... args) {
    WCHAR buffer[MAX_PATH];
    HRESULT hr = StringCchPrintfW(buffer, MAX_PATH, format, args...);
    return SUCCEEDED(hr) ? std::u16string(buffer) : u"(failed)";
}

TEST(StrSafe, PrintfFollowsTheWideConventions) {
    EXPECT_EQ(Formatted(u"%s\\quenlix.ime", u"C:\\Windows\\system32"),
              u"C:\\Windows\\system32\\quenlix.ime");
    EXPECT_EQ(Formatted(u"%d|%d|%u|%x|%X|%08X", 1, -12, 4000000000u, 0xe0200804u, 0xabcu, 0x804u),
              u"1|-12|4000000000|e0200804|ABC|00000804");
    EXPECT_EQ(Formatted(u"100%% %c%c", u'中', u'a'), u"100% 中a");
    EXPECT_EQ(Formatted(u"[%5d][%-5s][%.2s][%05u][%ls]", 42, u"ab", u"xyz", 7u, u"w"),
              u"[   42][ab   ][xy][00007][w]");
    EXPECT_EQ(Formatted(u"%hs|%S|%s", "narrow", "too", static_cast<const WCHAR*>(nullptr)),
              u"narrow|too|(null)");
    WCHAR buffer[8];
    EXPECT_EQ(StringCchPrintfW(buffer, 8, u"%n"), STRSAFE_E_INVALID_PARAMETER);
}

TEST(StrSafe, TruncatesAlwaysTerminatesAndNeverWritesPastTheBuffer) {
    WCHAR buffer[8];
    for (auto& c : buffer)
        c = u'#';
    // Exactly fitting: 3 characters and the terminator in 4.
    EXPECT_EQ(StringCchCopyW(buffer, 4, u"abc"), S_OK);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(buffer[4], u'#');
    EXPECT_EQ(StringCchCopyW(buffer, 4, u"abcd"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(buffer[4], u'#');

    EXPECT_EQ(StringCchCatW(buffer, 6, u"de"), S_OK);
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    EXPECT_EQ(StringCchCatW(buffer, 6, u"fgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    EXPECT_EQ(buffer[6], u'#');

    for (auto& c : buffer)
        c = u'#';
    EXPECT_EQ(StringCchPrintfW(buffer, 5, u"%u", 123456u), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buffer), u"1234");
    EXPECT_EQ(buffer[5], u'#');

    buffer[0] = u'#';
    EXPECT_EQ(StringCchCopyW(buffer, 0, u"x"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], u'#');
    // An unterminated destination cannot be appended to.
    EXPECT_EQ(StringCchCatW(buffer, 1, u"x"), STRSAFE_E_INVALID_PARAMETER);
}

TEST(StrSafe, LengthWithinALimit) {
    size_t length = 99;
    EXPECT_EQ(StringCchLengthW(u"abc", 4, &length), S_OK);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(StringCchLengthW(u"abc", 3, &length), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(StringCchLengthW(nullptr, 3, &length), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(lstrlenW(u"中文"), 2);
    EXPECT_EQ(lstrlenW(nullptr), 0);
    WCHAR copy[4];
    EXPECT_EQ(lstrcpyW(copy, u"abc"), copy);
    EXPECT_EQ(std::u16string(copy), u"abc");
}

} // namespace
