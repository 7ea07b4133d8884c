// Drive C: — paths, in-use files, temporary names, delayed operations, copies and streams.
#include "machine_fixture.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

using Files = Machine;

const DWORD kFile = FILE_ATTRIBUTE_ARCHIVE;
const DWORD kMissing = INVALID_FILE_ATTRIBUTES;

struct PathCase {
    const char* name;
    std::u16string path;
    DWORD attributes;
    DWORD error; // when missing
};

class PathLookup : public Machine, public ::testing::WithParamInterface<PathCase> {};

// Existing entries are found whatever the case and separator; relative and drive-relative
// paths start at the current directory C:\Dl.
TEST_P(PathLookup, FindsEntriesWithoutRegardToCase) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\Dl\\Setup.EXE", "x"));
    ASSERT_TRUE(winsim::SetCurrentDirectory(u"c:\\DL"));
    const PathCase& c = GetParam();
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), c.attributes);
    if (c.attributes == kMissing) {
        EXPECT_EQ(GetLastError(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PathLookup,
    ::testing::Values(PathCase{"exact", u"C:\\Dl\\Setup.EXE", kFile, 0},
                      PathCase{"other_case", u"c:\\dL\\sETUP.exe", kFile, 0},
                      PathCase{"slashes", u"c:/dl//setup.exe", kFile, 0},
                      PathCase{"dots", u"C:\\Windows\\..\\dl\\.\\setup.exe", kFile, 0},
                      PathCase{"relative", u"setup.exe", kFile, 0},
                      PathCase{"drive_relative", u"c:setup.exe", kFile, 0},
                      PathCase{"root_relative", u"\\DL\\setup.exe", kFile, 0},
                      PathCase{"directory", u"C:\\WINDOWS\\System32", FILE_ATTRIBUTE_DIRECTORY, 0},
                      PathCase{"root", u"C:\\", FILE_ATTRIBUTE_DIRECTORY, 0},
                      PathCase{"missing_file", u"C:\\dl\\none.ime", kMissing, ERROR_FILE_NOT_FOUND},
                      PathCase{"missing_dir", u"C:\\none\\x.ime", kMissing, ERROR_PATH_NOT_FOUND},
                      PathCase{"file_as_dir", u"C:\\dl\\setup.exe\\x", kMissing,
                               ERROR_PATH_NOT_FOUND},
                      PathCase{"other_drive", u"D:\\dl\\setup.exe", kMissing, ERROR_PATH_NOT_FOUND},
                      PathCase{"bad_name", u"C:\\dl\\a?b", kMissing, ERROR_INVALID_NAME},
                      PathCase{"too_long", u"C:\\" + std::u16string(MAX_PATH, u'a'), kMissing,
                               ERROR_FILENAME_EXCED_RANGE}),
    [](const auto& info) { return std::string(info.param.name); });

// A drive made by hand gets the system folders, found whatever case they were made in.
TEST_F(Files, HandMadeDriveGetsTheSystemFolders) {
    std::string other = dir_ + "/other";
    std::filesystem::create_directories(other + "/drive_c/WINDOWS/FONTS");
    std::string error;
    ASSERT_TRUE(winsim::LoadMachine(other, &error)) << error;
    EXPECT_TRUE(std::filesystem::is_directory(other + "/drive_c/WINDOWS/system32"));
    EXPECT_FALSE(std::filesystem::exists(other + "/drive_c/Windows"));
    EXPECT_FALSE(std::filesystem::exists(other + "/drive_c/WINDOWS/Fonts"));
}

TEST_F(Files, NewEntriesKeepTheCaseGivenAndExistingOnesTheirOwn) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\Dl\\QuenLix.IME", "new"));
    ASSERT_TRUE(CopyFileW(u"c:\\dl\\quenlix.ime", u"C:\\DL\\Copy.Ime", FALSE));
    EXPECT_TRUE(std::filesystem::exists(machine_ + "/drive_c/Dl/Copy.Ime"));
    // Overwriting through another case reaches the same file.
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\other", "other"));
    ASSERT_TRUE(CopyFileW(u"C:\\dl\\other", u"c:\\dl\\COPY.IME", FALSE));
    EXPECT_EQ(winsim::FileBytes(u"C:\\Dl\\Copy.Ime"), "other");
    EXPECT_FALSE(std::filesystem::exists(machine_ + "/drive_c/Dl/COPY.IME"));
    EXPECT_EQ(winsim::HostPath(u"c:\\dl\\copy.ime"), machine_ + "/drive_c/Dl/Copy.Ime");
}

TEST_F(Files, CopyFileCopiesBytesAndHonoursItsRules) {
    std::string bytes("a\0b\xff", 4);
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\quenlix.ime", bytes));
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\old.ime", "old"));

    EXPECT_TRUE(CopyFileW(u"C:\\dl\\quenlix.ime", u"C:\\dl\\new.ime", TRUE));
    EXPECT_EQ(winsim::FileBytes(u"C:\\dl\\new.ime"), bytes);

    EXPECT_FALSE(CopyFileW(u"C:\\dl\\quenlix.ime", u"C:\\dl\\old.ime", TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(winsim::FileBytes(u"C:\\dl\\old.ime"), "old");
    EXPECT_TRUE(CopyFileW(u"C:\\dl\\quenlix.ime", u"C:\\dl\\old.ime", FALSE));
    EXPECT_EQ(winsim::FileBytes(u"C:\\dl\\old.ime"), bytes);

    EXPECT_FALSE(CopyFileW(u"C:\\dl\\none.ime", u"C:\\dl\\x.ime", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CopyFileW(u"C:\\dl\\quenlix.ime", u"C:\\none\\x.ime", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(CopyFileW(u"C:\\dl\\quenlix.ime", u"C:\\Windows", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// A loaded module: no delete (access denied), no writing (sharing violation), but it can be
// renamed and stays loaded.
TEST_F(Files, FileInUseCanBeRenamedButNotDeletedOrOverwritten) {
    const char16_t* target = u"C:\\Windows\\system32\\quenlix.ime";
    ASSERT_TRUE(winsim::PlaceFile(target, "loaded"));
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\quenlix.ime", "new"));
    ASSERT_TRUE(winsim::HoldFileInUse(u"c:\\windows\\SYSTEM32\\QUENLIX.IME"));

    EXPECT_FALSE(DeleteFileW(target));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(CopyFileW(u"C:\\dl\\quenlix.ime", target, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    errno = 0;
    EXPECT_EQ(_wfopen(target, u"r+b"), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    FILE* reader = _wfopen(target, u"rb");
    ASSERT_NE(reader, nullptr);
    fclose(reader);
    EXPECT_EQ(winsim::FileBytes(target), "loaded");

    // Nor may another file be moved over it.
    EXPECT_FALSE(MoveFileExW(u"C:\\dl\\quenlix.ime", target, MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ASSERT_TRUE(MoveFileExW(target, u"C:\\Windows\\system32\\aside.tmp", 0));
    EXPECT_EQ(GetFileAttributesW(target), kMissing);
    EXPECT_FALSE(winsim::IsFileInUse(target));
    EXPECT_TRUE(winsim::IsFileInUse(u"C:\\Windows\\system32\\aside.tmp"));
    EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\system32\\aside.tmp"));
    EXPECT_TRUE(CopyFileW(u"C:\\dl\\quenlix.ime", target, FALSE));

    // The hold ends with the process.
    winsim::EndProcess();
    EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\system32\\aside.tmp"));
}

TEST_F(Files, MoveFileReplacesOnlyWhenAskedAndRenamesCase) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\a.txt", "a"));
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\b.txt", "b"));
    EXPECT_FALSE(MoveFileExW(u"C:\\dl\\a.txt", u"C:\\dl\\B.TXT", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(MoveFileExW(u"C:\\dl\\a.txt", u"C:\\dl\\B.TXT", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(winsim::FileBytes(u"C:\\dl\\b.txt"), "a");
    EXPECT_EQ(GetFileAttributesW(u"C:\\dl\\a.txt"), kMissing);

    EXPECT_TRUE(MoveFileExW(u"C:\\dl\\b.txt", u"C:\\dl\\Final.TXT", 0));
    EXPECT_TRUE(MoveFileExW(u"C:\\dl\\final.txt", u"C:\\dl\\FINAL.txt", 0));
    EXPECT_TRUE(std::filesystem::exists(machine_ + "/drive_c/dl/FINAL.txt"));
    EXPECT_FALSE(std::filesystem::exists(machine_ + "/drive_c/dl/Final.TXT"));

    EXPECT_FALSE(MoveFileExW(u"C:\\dl\\none", u"C:\\dl\\x", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(MoveFileExW(u"C:\\dl\\FINAL.txt", u"C:\\none\\x", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// A REG_MULTI_SZ list: each string and its NUL, then the final NUL.
std::u16string MultiString(std::initializer_list<std::u16string> strings) {
    std::u16string list;
    for (const auto& s : strings)
        list += s + u'\0';
    return list + u'\0';
}

std::u16string PendingOperations() {
    auto value = winsim::GetRegistryValue(HKEY_LOCAL_MACHINE,
                                          u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                          u"PendingFileRenameOperations");
    if (!value || value->type != REG_MULTI_SZ || value->data.size() % 2)
        return u"(no REG_MULTI_SZ value)";
    std::u16string text(value->data.size() / 2, u'\0');
    memcpy(&text[0], value->data.data(), value->data.size());
    return text;
}

// What the file retirement relies on: a fresh empty temporary file, and a delete-at-restart
// entry in the session manager's list.
TEST_F(Files, TemporaryNamesAndDelayedOperations) {
    const char16_t* sys = u"C:\\Windows\\system32";
    WCHAR name[MAX_PATH];
    EXPECT_EQ(GetTempFileNameW(sys, u"dzm", 0, name), 1u);
    EXPECT_EQ(std::u16string(name), u"C:\\Windows\\system32\\dzm1.tmp");
    EXPECT_EQ(winsim::FileBytes(name), "");
    // Taken names are skipped; only three prefix characters count.
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\Windows\\system32\\DZM2.TMP", "taken"));
    EXPECT_EQ(GetTempFileNameW(u"C:\\Windows\\system32\\", u"dzmore", 0, name), 3u);
    EXPECT_EQ(std::u16string(name), u"C:\\Windows\\system32\\dzm3.tmp");
    // A given number only forms the name, in hexadecimal.
    EXPECT_EQ(GetTempFileNameW(sys, u"dzm", 0xBEEF, name), 0xBEEFu);
    EXPECT_EQ(std::u16string(name), u"C:\\Windows\\system32\\dzmBEEF.tmp");
    EXPECT_EQ(GetFileAttributesW(name), kMissing);

    EXPECT_EQ(GetTempFileNameW(u"C:\\none", u"dzm", 0, name), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    EXPECT_TRUE(
        MoveFileExW(u"C:\\Windows\\system32\\dzm1.tmp", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(PendingOperations(), MultiString({u"\\??\\C:\\Windows\\system32\\dzm1.tmp", u""}));
    // Nothing moves now; a second entry goes after the first, the final NUL kept.
    EXPECT_EQ(winsim::FileBytes(u"C:\\Windows\\system32\\dzm1.tmp"), "");
    ASSERT_TRUE(winsim::SetCurrentDirectory(sys));
    EXPECT_TRUE(MoveFileExW(u"dzm3.tmp", u"c:\\x.tmp", MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(PendingOperations(),
              MultiString({u"\\??\\C:\\Windows\\system32\\dzm1.tmp", u"",
                           u"\\??\\C:\\Windows\\system32\\dzm3.tmp", u"\\??\\c:\\x.tmp"}));
}

TEST_F(Files, DirectoriesAndTheirBuffers) {
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 19u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\system32");
    EXPECT_EQ(GetWindowsDirectoryW(buffer, MAX_PATH), 10u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Windows");
    // Too small (no room for the terminator): the size needed, terminator included, and
    // the buffer left alone.
    WCHAR small[10] = u"untouched";
    EXPECT_EQ(GetWindowsDirectoryW(small, 10), 11u);
    EXPECT_EQ(std::u16string(small), u"untouched");
    EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), 20u);

    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, buffer), 3u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\");
    EXPECT_TRUE(SetCurrentDirectoryW(u"c:\\windows\\FONTS\\"));
    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, buffer), 16u);
    EXPECT_EQ(std::u16string(buffer), u"c:\\windows\\FONTS");
    EXPECT_EQ(GetCurrentDirectoryW(16, buffer), 17u);
    EXPECT_FALSE(SetCurrentDirectoryW(u"C:\\none"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\file", ""));
    EXPECT_FALSE(SetCurrentDirectoryW(u"C:\\file"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_EQ(winsim::CurrentDirectory(), u"c:\\windows\\FONTS");
}

TEST_F(Files, StreamsOpenLikeTheWindowsRuntime) {
    errno = 0;
    EXPECT_EQ(_wfopen(u"C:\\dl\\none", u"rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(_wfopen(u"C:\\none.bin", u"r+b"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    errno = 0;
    EXPECT_EQ(_wfopen(u"C:\\Windows", u"rb"), nullptr);
    EXPECT_EQ(errno, EACCES);

    // "wb" creates; "r+b" updates in place without truncating; "ab" appends.
    FILE* f = _wfopen(u"C:\\Data.bin", u"wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fwrite("abcdef", 1, 6, f), 6u);
    EXPECT_EQ(fclose(f), 0);
    f = _wfopen(u"c:\\data.BIN", u"r+b");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fseek(f, 0, SEEK_END), 0);
    EXPECT_EQ(ftell(f), 6);
    EXPECT_EQ(fseek(f, 2, SEEK_SET), 0);
    EXPECT_EQ(fputc('X', f), 'X');
    char c = 0;
    EXPECT_EQ(fread(&c, 1, 1, f), 1u);
    EXPECT_EQ(c, 'd');
    EXPECT_EQ(fclose(f), 0);
    f = _wfopen(u"C:\\data.bin", u"ab");
    ASSERT_NE(f, nullptr);
    fputs("!", f);
    fclose(f);
    EXPECT_EQ(winsim::FileBytes(u"C:\\Data.bin"), "abXdef!");
}

// The Nth read, write or seek underneath a stream fails as the disk would make it.
TEST_F(Files, StreamFaultPoints) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\in.bin", std::string(10000, 'r')));
    FILE* in = _wfopen(u"C:\\in.bin", u"rb");
    ASSERT_NE(in, nullptr);
    ASSERT_TRUE(winsim::Fail("ReadFile", 2));
    char buffer[1000];
    size_t total = 0, n;
    do {
        n = fread(buffer, 1, sizeof buffer, in);
        total += n;
    } while (n == sizeof buffer);
    EXPECT_LT(total, 10000u);
    EXPECT_TRUE(ferror(in));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
    fclose(in);

    ASSERT_TRUE(winsim::Fail("WriteFile", 1));
    FILE* out = _wfopen(u"C:\\out.bin", u"wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(fwrite("data", 1, 4, out), 4u); // buffered, not written yet
    EXPECT_NE(fflush(out), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    fclose(out);

    ASSERT_TRUE(winsim::Fail("SetFilePointer", 1));
    in = _wfopen(u"C:\\in.bin", u"rb");
    ASSERT_NE(in, nullptr);
    EXPECT_NE(fseek(in, 0, SEEK_END), 0);
    EXPECT_EQ(fseek(in, 0, SEEK_END), 0);
    EXPECT_EQ(ftell(in), 10000);
    fclose(in);

    ASSERT_TRUE(winsim::Fail("_wfopen", winsim::CallCount("_wfopen") + 1));
    errno = 0;
    EXPECT_EQ(_wfopen(u"C:\\in.bin", u"rb"), nullptr);
    EXPECT_EQ(errno, EACCES);
}

} // namespace
