// The registry: names without regard to case, exact value bytes, Windows's query rules,
// access checks, key deletion, handles, and the .reg files the machine is kept in.
#include "machine_fixture.h"

#include <fstream>
#include <sstream>

namespace {

using Registry = Machine;

std::vector<uint8_t> Query(HKEY key, const char16_t* name, LSTATUS* status, DWORD* type) {
    BYTE data[512];
    DWORD size = sizeof data;
    *status = RegQueryValueExW(key, name, nullptr, type, data, &size);
    return *status == ERROR_SUCCESS ? std::vector<uint8_t>(data, data + size)
                                    : std::vector<uint8_t>();
}

TEST_F(Registry, KeyAndValueNamesIgnoreCaseAndKeepTheirFirstSpelling) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"Software\\quenlix", &key), ERROR_SUCCESS);
    auto text = winsim::StringBytes(u"c:\\dl", false);
    ASSERT_EQ(RegSetValueExW(key, u"System", 0, REG_SZ, text.data(), 10), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QuenLix", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    LSTATUS status;
    DWORD type = 0;
    EXPECT_EQ(Query(key, u"SYSTEM", &status, &type), text);
    EXPECT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    auto other = winsim::StringBytes(u"d:\\new", false);
    ASSERT_EQ(RegSetValueExW(key, u"SYSTEM", 0, REG_SZ, other.data(), 12), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    EXPECT_EQ(winsim::RegistryValueNames(HKEY_LOCAL_MACHINE, u"software\\QUENLIX"),
              std::vector<std::u16string>{u"System"});
    EXPECT_EQ(winsim::GetRegistryValue(HKEY_LOCAL_MACHINE, u"SoftWare\\quenLIX", u"system")->data,
              other);
    // Deleting through yet another spelling removes the one key.
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SoftWare", 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(key, u"QuenLix"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_FALSE(winsim::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"Software\\quenlix"));
    EXPECT_TRUE(winsim::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"Software"));
}

TEST_F(Registry, QueryFollowsWindowsSizeRules) {
    // Stored exactly: no terminator added to a string written without one.
    auto stored = winsim::StringBytes(u"abc", false);
    ASSERT_TRUE(winsim::SetRegistryValue(HKEY_CURRENT_USER, u"k", u"v", REG_SZ, stored));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"k", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);

    DWORD size = 0, type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    // Too small: ERROR_MORE_DATA with the size needed, and nothing past the buffer touched.
    BYTE buffer[8];
    memset(buffer, 0xEE, sizeof buffer);
    size = 4;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(buffer[4], 0xEE);
    EXPECT_EQ(buffer[5], 0xEE);

    size = 8;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), stored);
    EXPECT_EQ(buffer[6], 0xEE); // no terminator added

    size = 8;
    EXPECT_EQ(RegQueryValueExW(key, u"none", nullptr, nullptr, buffer, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(Registry, AccessAskedForAtOpenIsEnforced) {
    ASSERT_TRUE(winsim::SetRegistryValue(HKEY_CURRENT_USER, u"Keyboard Layout\\Preload", u"1",
                                         REG_SZ, winsim::StringBytes(u"00000804")));
    const BYTE data[2] = {'x', 0};
    LSTATUS status;
    DWORD type;
    HKEY reader, writer, both;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_CURRENT_USER, u"Keyboard Layout\\Preload", 0, KEY_QUERY_VALUE, &reader),
        ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(reader, u"2", 0, REG_SZ, data, 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader, u"1"), ERROR_ACCESS_DENIED);
    HKEY sub;
    EXPECT_EQ(RegCreateKeyW(reader, u"new", &sub), ERROR_ACCESS_DENIED);
    EXPECT_EQ(sub, nullptr);
    Query(reader, u"1", &status, &type);
    EXPECT_EQ(status, ERROR_SUCCESS);

    ASSERT_EQ(
        RegOpenKeyExW(HKEY_CURRENT_USER, u"Keyboard Layout\\Preload", 0, KEY_SET_VALUE, &writer),
        ERROR_SUCCESS);
    Query(writer, u"1", &status, &type);
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExW(writer, u"2", 0, REG_SZ, data, 2), ERROR_SUCCESS);

    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Keyboard Layout\\Preload", 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, &both),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(both, u"1"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(both, u"1"), ERROR_FILE_NOT_FOUND);
    Query(both, u"2", &status, &type);
    EXPECT_EQ(status, ERROR_SUCCESS);
    for (HKEY k : {reader, writer, both})
        EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(Registry, DeleteKeyRefusesKeysWithSubkeysAndMissingOnes) {
    ASSERT_TRUE(winsim::CreateRegistryKey(HKEY_CURRENT_USER, u"EUDC\\936"));
    HKEY open936;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"EUDC\\936", 0, KEY_ALL_ACCESS, &open936),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"EUDC"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"EUDC\\950"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"eudc\\936"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"EUDC"), ERROR_SUCCESS);
    EXPECT_FALSE(winsim::RegistryKeyExists(HKEY_CURRENT_USER, u"EUDC"));
    // A handle to a deleted key is still a handle, but its key is gone.
    const BYTE data[2] = {};
    EXPECT_EQ(RegSetValueExW(open936, u"x", 0, REG_SZ, data, 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(open936), ERROR_SUCCESS);
}

TEST_F(Registry, HandlesCloseOnceAndLeftoversAreCounted) {
    HKEY a, b;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"Software\\a", &a), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"Software\\a", &b), ERROR_SUCCESS);
    EXPECT_NE(a, b);
    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(a), ERROR_INVALID_HANDLE);
    LSTATUS status;
    DWORD type;
    Query(a, u"x", &status, &type);
    EXPECT_EQ(status, ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    HKEY missing = reinterpret_cast<HKEY>(uintptr_t(1));
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\none", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    winsim::EndProcess();
    EXPECT_EQ(winsim::LastProcessLeftovers().registryHandles, 1); // b
    EXPECT_EQ(RegCloseKey(b), ERROR_INVALID_HANDLE);
}

struct StoredValue {
    HKEY root;
    std::u16string key;
    std::u16string name;
    DWORD type;
    std::vector<uint8_t> data;
};

std::vector<StoredValue> AwkwardValues() {
    std::vector<uint8_t> big;
    for (int i = 0; i < 300; ++i)
        big.push_back(static_cast<uint8_t>(i));
    return {
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"system", REG_SZ,
         winsim::StringBytes(u"c:\\dl", false)},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"with_nul", REG_SZ,
         winsim::StringBytes(u"c:\\dl \"quoted\"")},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"", REG_SZ, winsim::StringBytes(u"")},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"two_nuls", REG_SZ,
         winsim::StringBytes(std::u16string(u"ab\0", 3))},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"inner_nul", REG_SZ,
         winsim::StringBytes(std::u16string(u"a\0b", 3))},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"odd", REG_SZ, Bytes({'a', 0, 0})},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"newline", REG_SZ,
         winsim::StringBytes(u"a\r\nb")},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"lone_surrogate", REG_SZ,
         winsim::StringBytes(std::u16string(1, char16_t(0xD800)))},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"empty", REG_SZ, {}},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"na\"me\\x", REG_DWORD,
         Bytes({0x0a, 0, 0, 0x80})},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"short_dword", REG_DWORD, Bytes({1, 2, 3})},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"binary", REG_BINARY, big},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"expand", REG_EXPAND_SZ,
         winsim::StringBytes(u"%SystemRoot%")},
        {HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"none", REG_NONE, Bytes({})},
        {HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
         u"PendingFileRenameOperations", REG_MULTI_SZ,
         winsim::StringBytes(std::u16string(u"\\??\\C:\\a.tmp\0\0", 14))},
        {HKEY_CURRENT_USER, u"EUDC\\936", u"楷体_GB2312", REG_SZ,
         winsim::StringBytes(u"楷体.TTE", false)},
        {HKEY_CURRENT_USER, u"Keyboard Layout\\Preload", u"1", REG_SZ,
         winsim::StringBytes(u"中文 (简体) - 澄鹭五笔")},
    };
}

// Whatever bytes were stored come back from the files exactly, with their types and keys.
TEST_F(Registry, SaveAndLoadKeepEveryByte) {
    auto values = AwkwardValues();
    for (const auto& v : values)
        ASSERT_TRUE(winsim::SetRegistryValue(v.root, v.key, v.name, v.type, v.data));
    ASSERT_TRUE(winsim::CreateRegistryKey(HKEY_CURRENT_USER, u"Empty\\Nested"));
    Reload();
    for (const auto& v : values) {
        auto read = winsim::GetRegistryValue(v.root, v.key, v.name);
        ASSERT_TRUE(read.has_value()) << winsim::Utf8(v.name);
        EXPECT_EQ(read->type, v.type) << winsim::Utf8(v.name);
        EXPECT_EQ(read->data, v.data) << winsim::Utf8(v.name);
    }
    EXPECT_TRUE(winsim::RegistryKeyExists(HKEY_CURRENT_USER, u"Empty\\Nested"));
    EXPECT_EQ(winsim::RegistryValueNames(HKEY_LOCAL_MACHINE, u"Software\\quenlix").size(), 14u);
    // A second round gives the same files.
    std::string first = winsim::ExportHive(HKEY_LOCAL_MACHINE);
    Reload();
    EXPECT_EQ(winsim::ExportHive(HKEY_LOCAL_MACHINE), first);
}

// The text of a UTF-16LE file with a BOM; a marker when the file is not one.
std::u16string Utf16File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string raw = ss.str();
    if (raw.size() < 2 || raw.compare(0, 2, "\xFF\xFE") != 0 || raw.size() % 2)
        return u"(not UTF-16LE with a BOM)";
    std::u16string text((raw.size() - 2) / 2, u'\0');
    memcpy(&text[0], raw.data() + 2, text.size() * 2);
    return text;
}

// The files are what `reg import` reads: UTF-16LE with a BOM and CRLF lines; strings quoted
// only when that gives back the same bytes.
TEST_F(Registry, FilesUseTheRegImportFormat) {
    ASSERT_TRUE(winsim::SetRegistryValue(HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"system",
                                         REG_SZ, winsim::StringBytes(u"c:\\dl", false)));
    ASSERT_TRUE(winsim::SetRegistryValue(HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"Ime File",
                                         REG_SZ, winsim::StringBytes(u"QUENLIX.IME")));
    ASSERT_TRUE(winsim::SetRegistryValue(HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"", REG_DWORD,
                                         Bytes({10, 0, 0, 0})));
    ASSERT_TRUE(winsim::SaveMachine());
    EXPECT_EQ(Utf16File(machine_ + "/system.reg"),
              u"Windows Registry Editor Version 5.00\r\n"
              u"\r\n"
              u"[HKEY_LOCAL_MACHINE\\Software]\r\n"
              u"\r\n"
              u"[HKEY_LOCAL_MACHINE\\Software\\quenlix]\r\n"
              u"\"system\"=hex(1):63,00,3a,00,5c,00,64,00,6c,00\r\n"
              u"\"Ime File\"=\"QUENLIX.IME\"\r\n"
              u"@=dword:0000000a\r\n"
              u"\r\n");
    // An empty hive is the header alone.
    EXPECT_EQ(Utf16File(machine_ + "/user.reg"), u"Windows Registry Editor Version 5.00\r\n\r\n");
}

// Hand-written files may be UTF-8, with wrapped hex lines; mistakes are reported by line.
TEST_F(Registry, LoadsHandWrittenFilesAndRejectsBrokenOnes) {
    {
        std::ofstream out(machine_ + "/user.reg", std::ios::binary);
        out << "Windows Registry Editor Version 5.00\n\n"
               "; preload list\n"
               "[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]\n"
               "\"1\"=\"00000804\"\n"
               "\"2\"=hex(1):45,00,30,00,\\\n"
               "  32,00\n"
               "\"3\"=dword:e0200804\n";
    }
    std::string error;
    ASSERT_TRUE(winsim::LoadMachine(machine_, &error)) << error;
    EXPECT_EQ(winsim::GetRegistryValue(HKEY_CURRENT_USER, u"keyboard layout\\preload", u"1")->data,
              winsim::StringBytes(u"00000804"));
    EXPECT_EQ(winsim::GetRegistryValue(HKEY_CURRENT_USER, u"Keyboard Layout\\Preload", u"2")->data,
              winsim::StringBytes(u"E02", false));
    EXPECT_EQ(winsim::GetRegistryValue(HKEY_CURRENT_USER, u"Keyboard Layout\\Preload", u"3")->data,
              Bytes({0x04, 0x08, 0x20, 0xe0}));

    const std::pair<const char*, const char*> broken[] = {
        {"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\x]\n\"1\"=hex(1):4g,00\n",
         "line 4"},
        {"Windows Registry Editor Version 5.00\n\n\"1\"=\"value outside a key\"\n", "line 3"},
        {"Windows Registry Editor Version 5.00\n[HKEY_USERS\\x]\n", "line 2"},
        {"REGEDIT4\n", "line 1"},
    };
    for (const auto& [text, where] : broken) {
        {
            std::ofstream out(machine_ + "/user.reg", std::ios::binary);
            out << text;
        }
        EXPECT_FALSE(winsim::LoadMachine(machine_, &error)) << text;
        EXPECT_NE(error.find(where), std::string::npos) << error;
    }
}

} // namespace
