// The command line, the run modes and the installation record, through the real WinMain.
#include "install/install.h"
#include "resources/messages.h"
#include "sim_fixture.h"

namespace {

const std::u16string RecordKey = u"Software\\quenlix";
const std::u16string Question = MSG_UPGRADE_OR_UNINSTALL;

class Entry : public SimMachine {
  protected:
    void SetUp() override {
        SimMachine::SetUp();
        ASSERT_TRUE(winsim::MakeDirectory(u"C:\\dl"));
        // A leftover of an older installer, to be removed whatever the run does.
        ASSERT_TRUE(winsim::PlaceFile(u"C:\\install.exe", "old"));
    }
    void RecordInstallation() {
        SetText(HKEY_LOCAL_MACHINE, RecordKey, u"system", u"c:\\dl");
    }
    static std::vector<std::u16string> Texts() {
        std::vector<std::u16string> texts;
        for (const winsim::Event& event : EventsOf("message"))
            texts.push_back(event.Text("text"));
        return texts;
    }
};

// What a run did, told by its messages: the question, then the mode's own message.
struct ModeCase {
    const char* name;
    bool installed;
    std::u16string commandLine;
    std::vector<int> answers;
    std::vector<std::u16string> messages;
    int exitCode;
};

const std::u16string Missing = MSG_MODULE_MISSING;
const std::u16string Removed = MSG_UNINSTALLED;
const std::u16string PatchFailed = MSG_PATCH_FAILED;

class RunModes : public Entry, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(RunModes, ChoosesModeAsksAndExits) {
    const ModeCase& c = GetParam();
    if (c.installed)
        RecordInstallation();
    EXPECT_EQ(Run(c.commandLine, c.answers), c.exitCode);
    EXPECT_EQ(Texts(), c.messages);
    EXPECT_FALSE(winsim::FileBytes(u"C:\\install.exe").has_value());
    EXPECT_EQ(winsim::PendingAnswers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RunModes,
    ::testing::Values(
        ModeCase{"fresh_install", false, u"\"C:\\dl\\setup.exe\"", {}, {Missing}, 0},
        ModeCase{
            "upgrade_answer_yes", true, u"\"C:\\dl\\setup.exe\"", {IDYES}, {Question, Missing}, 0},
        ModeCase{
            "uninstall_answer_no", true, u"\"C:\\dl\\setup.exe\"", {IDNO}, {Question, Removed}, 2},
        ModeCase{"quit_answer_cancel", true, u"\"C:\\dl\\setup.exe\"", {IDCANCEL}, {Question}, 0},
        ModeCase{"silent_skip_prompt_upper_case", true, u"C:\\dl\\setup.exe /S /P", {}, {}, 0},
        ModeCase{
            "silent_skip_prompt_uninstall", true, u"\"C:\\dl\\setup.exe\" /s /p /u", {}, {}, 2},
        ModeCase{"quoted_path_with_space",
                 false,
                 u"\"C:\\Program Files\\QL\\setup.exe\" /u",
                 {},
                 {Removed},
                 2},
        ModeCase{"uninstall_switch_yes_still_uninstalls",
                 true,
                 u"C:\\dl\\setup.exe /U",
                 {IDYES},
                 {Question, Removed},
                 2},
        ModeCase{
            "uninstall_switch_no", true, u"C:\\dl\\setup.exe /u", {IDNO}, {Question, Removed}, 2},
        ModeCase{
            "uninstall_switch_cancel", true, u"C:\\dl\\setup.exe /u", {IDCANCEL}, {Question}, 0},
        ModeCase{
            "question_asked_when_silent", true, u"C:\\dl\\setup.exe /s", {IDCANCEL}, {Question}, 0},
        ModeCase{"patch_wins_and_ignores_silent",
                 true,
                 u"C:\\dl\\setup.exe /patch /s /u",
                 {},
                 {PatchFailed},
                 0},
        // A switch is found wherever its letters stand, even inside the program path.
        ModeCase{"switch_inside_path", false, u"C:\\x/u\\setup.exe", {}, {Removed}, 2}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return info.param.name; });

TEST_F(Entry, QuestionHasItsExactTextCaptionAndType) {
    RecordInstallation();
    Run(u"\"C:\\dl\\setup.exe\"", {IDCANCEL});
    auto messages = EventsOf("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text("caption"), u"提示");
    EXPECT_EQ(messages[0].Text("text"), u"升级选择(是)，卸载请选(否)，退出按（取消） ");
    EXPECT_EQ(messages[0].Number("type"), 0x23);
}

TEST_F(Entry, MissingModuleNamesItsLowerCasedPathAsCaption) {
    Run(u"\"C:\\DL\\Setup.exe\" /S/x");
    // "/s" was cut out, so the run is silent: nothing shown.
    EXPECT_TRUE(EventsOf("message").empty());
    Run(u"\"C:\\DL\\Setup.exe\"");
    auto messages = EventsOf("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text("caption"), u"c:\\dl\\quenlix.ime");
    EXPECT_EQ(messages[0].Number("type"), 0x10);
}

TEST_F(Entry, InUseProbeSeesTheModuleUnlessNoProbe) {
    // The uninstall message tells whether the module was found in use.
    winsim::SimulateLoadedModule();
    EXPECT_EQ(Run(u"C:\\dl\\setup.exe /u"), 2);
    EXPECT_EQ(Texts(), std::vector<std::u16string>{MSG_UNINSTALL_IN_USE});

    winsim::ClearEvents();
    winsim::SimulateLoadedModule();
    EXPECT_EQ(Run(u"C:\\dl\\setup.exe /u /no"), 2);
    EXPECT_EQ(Texts(), std::vector<std::u16string>{MSG_UNINSTALLED});
}

TEST_F(Entry, FailedMutexLeavesModuleNotInUse) {
    winsim::SimulateLoadedModule();
    winsim::Fail("CreateMutexW", 1);
    EXPECT_EQ(Run(u"C:\\dl\\setup.exe /u"), 2);
    EXPECT_EQ(Texts(), std::vector<std::u16string>{MSG_UNINSTALLED});
}

// Windows allows command lines far longer than a path buffer: nothing is cut off, a switch
// far out is still seen, and a path that cannot be formed is never used in part.
TEST_F(Entry, LongCommandLineKeepsSwitchesAndNeverUsesACutPath) {
    std::u16string padding(400, u' ');
    EXPECT_EQ(Run(u"\"C:\\dl\\setup.exe\"" + padding + u"/u"), 2);
    EXPECT_EQ(Texts(), std::vector<std::u16string>{MSG_UNINSTALLED});

    winsim::ClearEvents();
    std::u16string part(100, u'a');
    std::u16string deep = u"C:\\" + part + u"\\" + part + u"\\" + part;
    ASSERT_TRUE(winsim::PlaceFile(deep + u"\\quenlix.ime", "module"));
    EXPECT_EQ(Run(u"\"" + deep + u"\\setup.exe\""), 0);
    auto messages = EventsOf("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text("text"), Missing);
    EXPECT_EQ(messages[0].Text("caption").size(), MAX_PATH - 1u);
    EXPECT_FALSE(winsim::FileBytes(u"C:\\Windows\\system32\\quenlix.ime").has_value());
    EXPECT_FALSE(winsim::RegistryKeyExists(HKEY_LOCAL_MACHINE, RecordKey));
}

// ---- Detection of an earlier installation ----

struct RecordCase {
    const char* name;
    std::vector<std::pair<std::u16string, std::u16string>> values;
    bool installed;
};

class Detection : public SimMachine, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(Detection, ReadsTheRecord) {
    ASSERT_TRUE(winsim::MakeDirectory(u"C:\\tools\\ime"));
    ASSERT_TRUE(winsim::MakeDirectory(u"C:\\" + std::u16string(126, u'd')));
    for (const auto& [name, text] : GetParam().values)
        SetText(HKEY_LOCAL_MACHINE, RecordKey, name, text);
    EXPECT_EQ(IsAlreadyInstalled(), GetParam().installed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Detection,
    ::testing::Values(
        RecordCase{"no_record", {}, false},
        RecordCase{"existing_directory", {{u"system", u"c:\\tools\\ime"}}, true},
        RecordCase{"trailing_backslash", {{u"system", u"c:\\tools\\ime\\"}}, true},
        RecordCase{"deleted_directory", {{u"system", u"c:\\gone"}}, false},
        RecordCase{
            "deleted_directory_with_bak", {{u"system", u"c:\\gone"}, {u"system_bak", u"x"}}, true},
        RecordCase{"only_bak_naming_nothing", {{u"system_bak", u"c:\\nowhere"}}, true},
        RecordCase{"backup_value_is_not_bak", {{u"system_backup", u"c:\\tools\\ime"}}, false},
        // 130 characters fit the 260-byte budget; 131 do not, and the fallback decides.
        RecordCase{
            "longest_readable", {{u"system", u"C:\\" + std::u16string(126, u'd') + u"\\"}}, true},
        RecordCase{"too_long", {{u"system", u"C:\\" + std::u16string(126, u'd') + u"\\\\"}}, false},
        RecordCase{"too_long_with_bak",
                   {{u"system", std::u16string(131, u'd')}, {u"system_bak", u""}},
                   true}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

TEST_F(SimMachine, StoredTerminatorInRecordIsHarmless) {
    ASSERT_TRUE(winsim::MakeDirectory(u"C:\\dl"));
    ASSERT_TRUE(winsim::SetRegistryValue(HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"system",
                                         REG_SZ, winsim::StringBytes(u"c:\\dl", true)));
    EXPECT_TRUE(IsAlreadyInstalled());
}

// ---- Writing and deleting the record ----

struct BackupCase {
    const char* name;
    std::u16string previous; // empty: no previous value
    bool alreadyInstalled;
    std::u16string directory;
    std::optional<std::u16string> backup;
};

class Backup : public SimMachine, public ::testing::WithParamInterface<BackupCase> {};

TEST_P(Backup, WritesSystemAndKeepsTheOtherDirectory) {
    const BackupCase& c = GetParam();
    if (!c.previous.empty())
        SetText(HKEY_LOCAL_MACHINE, RecordKey, u"system", c.previous);
    WriteInstallRecord(c.directory.c_str(), c.alreadyInstalled);
    // Stored the program's way: REG_SZ, two bytes a character, no terminator.
    auto system = winsim::GetRegistryValue(HKEY_LOCAL_MACHINE, RecordKey, u"system");
    ASSERT_TRUE(system.has_value());
    EXPECT_EQ(system->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(system->data, winsim::StringBytes(c.directory, false));
    EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, RecordKey, u"system_backup"), c.backup);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Backup,
    ::testing::Values(
        BackupCase{"fresh", u"", false, u"c:\\dl", std::nullopt},
        BackupCase{"upgrade_from_elsewhere", u"c:\\old", true, u"d:\\new", u"c:\\old"},
        BackupCase{"same_directory_other_case", u"C:\\Old", true, u"c:\\old", std::nullopt},
        BackupCase{"fresh_over_stale_record", u"c:\\old", false, u"d:\\new", std::nullopt},
        BackupCase{"previous_of_40_characters", std::u16string(40, u'p'), true, u"d:\\new",
                   std::u16string(40, u'p')},
        BackupCase{"previous_too_long_for_backup", std::u16string(41, u'p'), true, u"d:\\new",
                   std::nullopt}),
    [](const ::testing::TestParamInfo<BackupCase>& info) { return info.param.name; });

// An upgrade never loses where the earlier installation came from: when it cannot be kept as
// the backup, the record stays as it was.
TEST_F(SimMachine, RecordStaysWhenTheEarlierDirectoryCannotBeKept) {
    for (const char* failing : {"RegQueryValueExW", "RegSetValueExW"}) {
        SetText(HKEY_LOCAL_MACHINE, RecordKey, u"system", u"c:\\old");
        winsim::ClearFaults();
        winsim::Fail(failing, 1);
        WriteInstallRecord(u"d:\\new", true);
        EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, RecordKey, u"system"), u"c:\\old") << failing;
        EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, RecordKey, u"system_backup"), std::nullopt)
            << failing;
    }
}

TEST_F(SimMachine, DeleteRecordRemovesTheKeyWithAllItsValues) {
    SetText(HKEY_LOCAL_MACHINE, RecordKey, u"system", u"c:\\dl");
    SetText(HKEY_LOCAL_MACHINE, RecordKey, u"system_backup", u"c:\\old");
    DeleteInstallRecord();
    EXPECT_FALSE(winsim::RegistryKeyExists(HKEY_LOCAL_MACHINE, RecordKey));
    EXPECT_TRUE(winsim::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"Software"));
}

} // namespace
