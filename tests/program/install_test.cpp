// The install sequence's choices that only the simulated machine shows: the layout's display
// name, a failed registration, and paths that cannot be formed.
#include "resources/messages.h"
#include "sim_fixture.h"

namespace {

const std::u16string LayoutKey = u"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\E0200804";
const std::u16string Target = u"C:\\Windows\\system32\\quenlix.ime";
const std::string Module = "0123456789";
const std::string ValidPatch = ByteString({10, 0, 0, 0, 1, 0, 2, 0, 0, 0, 1, 0, 0, 0, 'X'});
const std::string MismatchedPatch = ByteString({11, 0, 0, 0, 0, 0});

struct LayoutCase {
    const char* name;
    LANGID language;
    std::optional<std::string> patch;
    std::u16string layoutText;
    std::string installed;
};

class LayoutName : public SimMachine, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(LayoutName, FollowsLanguageClassAndPatchPresence) {
    const LayoutCase& c = GetParam();
    winsim::SetSystemLanguage(c.language);
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\quenlix.ime", Module));
    if (c.patch) {
        ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\patch.big5", *c.patch));
    }
    EXPECT_EQ(Run(u"\"C:\\dl\\setup.exe\" /s"), 0);
    auto text = winsim::GetRegistryValue(HKEY_LOCAL_MACHINE, LayoutKey, u"Layout Text");
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->data, winsim::StringBytes(c.layoutText));
    EXPECT_EQ(winsim::FileBytes(Target), std::optional<std::string>(c.installed));
}

const std::u16string Simplified = LAYOUT_TEXT_SIMPLIFIED;
const std::u16string Traditional = LAYOUT_TEXT_TRADITIONAL;

INSTANTIATE_TEST_SUITE_P(
    Table, LayoutName,
    ::testing::Values(
        LayoutCase{"taiwan_patched", 0x0404, ValidPatch, Traditional, "01X3456789"},
        LayoutCase{"taiwan_without_patch", 0x0404, std::nullopt, Simplified, Module},
        // The traditional name follows the file's presence, even when it cannot be applied.
        LayoutCase{"taiwan_size_mismatch", 0x0404, MismatchedPatch, Traditional, Module},
        LayoutCase{"singapore_patched", 0x1004, ValidPatch, Traditional, "01X3456789"},
        LayoutCase{"arabic_patched", 0x0401, ValidPatch, Traditional, "01X3456789"},
        LayoutCase{"prc_ignores_patch", 0x0804, ValidPatch, Simplified, Module},
        LayoutCase{"english_ignores_patch", 0x0409, ValidPatch, Simplified, Module}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

// A failed registration is reported even in a silent run, and the rest still follows.
TEST_F(SimMachine, FailedRegistrationIsShownEvenWhenSilent) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\quenlix.ime", Module));
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\宋体.TTE", "font"));
    winsim::Fail("ImmInstallIMEW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run(u"\"C:\\dl\\setup.exe\" /s"), 0);
    auto messages = EventsOf("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text("text"), Target);
    EXPECT_EQ(messages[0].Text("caption"), u"5");
    EXPECT_EQ(messages[0].Number("type"), 0);
    EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"system"), u"c:\\dl");
    EXPECT_TRUE(winsim::GetRegistryValue(HKEY_CURRENT_USER, u"EUDC\\936", u"宋体"));
}

TEST_F(SimMachine, CopyFailureIsReportedWithItsCodeAndEndsTheRun) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\quenlix.ime", Module));
    winsim::Fail("CopyFileW", 1, ERROR_DISK_FULL);
    EXPECT_EQ(Run(u"\"C:\\dl\\setup.exe\""), 0);
    auto messages = EventsOf("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text("text"), u"澄鹭五笔拷贝文件失败，错误代码：112！");
    EXPECT_EQ(messages[0].Number("type"), 0x10);
    EXPECT_FALSE(winsim::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"Software\\quenlix"));
    EXPECT_TRUE(EventsOf("shell").empty());
}

// With its quotes the permission command fits a program directory of up to 227 characters;
// one more and nothing at all is changed.
class PermissionCommand : public SimMachine, public ::testing::WithParamInterface<size_t> {};

TEST_P(PermissionCommand, MustFitWhole) {
    size_t length = GetParam();
    std::u16string directory =
        u"c:\\" + std::u16string(100, u'p') + u"\\" + std::u16string(length - 104, u'q');
    ASSERT_EQ(directory.size(), length);
    ASSERT_TRUE(winsim::PlaceFile(directory + u"\\quenlix.ime", Module));
    EXPECT_EQ(Run(u"\"" + directory + u"\\setup.exe\""), 0);
    auto shells = EventsOf("shell");
    if (length <= 227) {
        ASSERT_EQ(shells.size(), 2u);
        EXPECT_EQ(shells[0].Text("file"), u"cacls \"" + directory + u"\\*.*\" /t /e /c /g Users:w");
        EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"system"), directory);
    } else {
        EXPECT_TRUE(shells.empty());
        auto messages = EventsOf("message");
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].Text("text"), MSG_MODULE_MISSING);
        EXPECT_EQ(messages[0].Text("caption"), directory + u"\\quenlix.ime");
        EXPECT_FALSE(winsim::FileBytes(Target).has_value());
        EXPECT_FALSE(winsim::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"Software\\quenlix"));
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, PermissionCommand, ::testing::Values(227u, 228u));

// Started through a bare file name, the package directory is the program's own.
TEST_F(SimMachine, BareProgramNameUsesTheProgramsOwnDirectory) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\quenlix.ime", Module));
    ASSERT_TRUE(winsim::SetCurrentDirectory(u"C:\\dl"));
    EXPECT_EQ(Run(u"setup.exe /s"), 0);
    EXPECT_EQ(winsim::FileBytes(Target), std::optional<std::string>(Module));
    EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, u"Software\\quenlix", u"system"), u"c:\\dl");
}

} // namespace
