// File retirement, EUDC fonts, the language rule and detaching the input method.
#include "install/install.h"
#include "patch/patch.h"
#include "removal/removal.h"
#include "sim_fixture.h"

#include <filesystem>
#include <map>
#include <set>

namespace {

const std::u16string ModuleTarget = u"C:\\Windows\\system32\\quenlix.ime";
const std::u16string SessionManager = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::vector<std::string> TemporaryFiles() {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(winsim::HostPath(u"C:\\Windows\\system32"))) {
        std::string name = entry.path().filename().string();
        if (name.rfind("dzm", 0) == 0)
            names.push_back(name);
    }
    return names;
}

// ---- File retirement ----

TEST_F(SimMachine, RetireInUseMovesAsideAndDeletesAtRestart) {
    ASSERT_TRUE(winsim::PlaceFile(ModuleTarget, "old module"));
    ASSERT_TRUE(winsim::HoldFileInUse(ModuleTarget));
    RetireFile(ModuleTarget.c_str(), true);

    EXPECT_FALSE(winsim::FileBytes(ModuleTarget).has_value());
    auto temporaries = TemporaryFiles();
    ASSERT_EQ(temporaries.size(), 1u);
    std::u16string moved = u"C:\\Windows\\system32\\" + winsim::Utf16(temporaries[0]);
    EXPECT_EQ(winsim::FileBytes(moved), std::optional<std::string>("old module"));
    EXPECT_TRUE(winsim::IsFileInUse(moved));
    // One pair: the file, then an empty destination (delete), then the list's end.
    auto pending = winsim::GetRegistryValue(HKEY_LOCAL_MACHINE, SessionManager,
                                            u"PendingFileRenameOperations");
    ASSERT_TRUE(pending.has_value());
    EXPECT_EQ(pending->type, static_cast<DWORD>(REG_MULTI_SZ));
    std::u16string expected = u"\\??\\" + moved + std::u16string(3, u'\0');
    EXPECT_EQ(pending->data, winsim::StringBytes(expected, false));
}

TEST_F(SimMachine, RetireNotInUseDeletesAndToleratesAbsence) {
    ASSERT_TRUE(winsim::PlaceFile(ModuleTarget, "old module"));
    RetireFile(ModuleTarget.c_str(), false);
    EXPECT_FALSE(winsim::FileBytes(ModuleTarget).has_value());
    RetireFile(ModuleTarget.c_str(), false);
    EXPECT_TRUE(TemporaryFiles().empty());
    EXPECT_FALSE(winsim::GetRegistryValue(HKEY_LOCAL_MACHINE, SessionManager,
                                          u"PendingFileRenameOperations"));
}

TEST_F(SimMachine, RetireInUseButAbsentLeavesAnEmptyFileForRestart) {
    RetireFile(ModuleTarget.c_str(), true);
    auto temporaries = TemporaryFiles();
    ASSERT_EQ(temporaries.size(), 1u);
    EXPECT_EQ(winsim::FileBytes(u"C:\\Windows\\system32\\" + winsim::Utf16(temporaries[0])),
              std::optional<std::string>(""));
    EXPECT_TRUE(winsim::GetRegistryValue(HKEY_LOCAL_MACHINE, SessionManager,
                                         u"PendingFileRenameOperations"));
}

// ---- EUDC fonts ----

struct FontCase {
    const char* name;
    std::vector<std::u16string> present; // file names beside the setup program
    std::vector<std::pair<std::u16string, std::u16string>> values; // typeface, file
};

class EudcFonts : public SimMachine, public ::testing::WithParamInterface<FontCase> {};

TEST_P(EudcFonts, CopiesPresentFontsAndLinksEach) {
    const FontCase& c = GetParam();
    for (const std::u16string& file : c.present)
        ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\" + file, "font " + winsim::Utf8(file)));
    // The font directory may already hold an older copy: it is overwritten.
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\Windows\\Fonts\\宋体.TTE", "older"));
    WCHAR directory[MAX_PATH] = u"c:\\dl\\";
    EXPECT_EQ(InstallEudcFonts(directory), !c.present.empty());
    EXPECT_EQ(std::u16string(directory), u"c:\\dl");

    EXPECT_TRUE(winsim::RegistryKeyExists(HKEY_CURRENT_USER, u"EUDC\\936"));
    std::vector<std::u16string> names;
    for (const auto& [typeface, file] : c.values) {
        names.push_back(typeface);
        auto value = winsim::GetRegistryValue(HKEY_CURRENT_USER, u"EUDC\\936", typeface);
        ASSERT_TRUE(value.has_value()) << winsim::Utf8(typeface);
        EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(value->data.size(), 12u);
        EXPECT_EQ(value->data, winsim::StringBytes(file, false));
        EXPECT_EQ(winsim::FileBytes(u"C:\\Windows\\Fonts\\" + file),
                  std::optional<std::string>("font " + winsim::Utf8(file)));
    }
    EXPECT_EQ(winsim::RegistryValueNames(HKEY_CURRENT_USER, u"EUDC\\936"), names);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EudcFonts,
    ::testing::Values(FontCase{"none", {}, {}},
                      FontCase{"only_kaiti", {u"楷体.TTE"}, {{u"楷体_GB2312", u"楷体.TTE"}}},
                      FontCase{"all_four_in_table_order",
                               {u"楷体.TTE", u"仿宋.TTE", u"黑体.TTE", u"宋体.TTE"},
                               {{u"宋体", u"宋体.TTE"},
                                {u"黑体", u"黑体.TTE"},
                                {u"仿宋_GB2312", u"仿宋.TTE"},
                                {u"楷体_GB2312", u"楷体.TTE"}}}),
    [](const ::testing::TestParamInfo<FontCase>& info) { return info.param.name; });

TEST_F(SimMachine, FontWhoseCopyFailsIsSkippedWithoutLink) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\宋体.TTE", "a"));
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\dl\\黑体.TTE", "b"));
    winsim::Fail("CopyFileW", 1);
    WCHAR directory[MAX_PATH] = u"c:\\dl";
    EXPECT_TRUE(InstallEudcFonts(directory));
    EXPECT_EQ(winsim::RegistryValueNames(HKEY_CURRENT_USER, u"EUDC\\936"),
              std::vector<std::u16string>{u"黑体"});
}

// ---- Language rule ----

struct LanguageCase {
    LANGID language;
    WORD languageClass;
};

class LanguageRule : public SimMachine, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(LanguageRule, ClassFromSystemLanguage) {
    winsim::SetSystemLanguage(GetParam().language);
    EXPECT_EQ(GetLanguageClass(), GetParam().languageClass);
}

INSTANTIATE_TEST_SUITE_P(Table, LanguageRule,
                         ::testing::Values(LanguageCase{0x0404, 1}, LanguageCase{0x0804, 2},
                                           LanguageCase{0x0C04, 4}, LanguageCase{0x1004, 4},
                                           LanguageCase{0x1404, 4}, LanguageCase{0x0004, 4},
                                           LanguageCase{0x7C04, 4}, LanguageCase{0x0401, 1},
                                           LanguageCase{0x0409, 9}, LanguageCase{0x0809, 9},
                                           LanguageCase{0x0411, 0x11}, LanguageCase{0x0402, 2}));

// ---- Detaching: the module's windows ----

TEST_F(SimMachine, CloseRequestGoesToEveryImeWindowOnly) {
    winsim::AddWindow(u"Notepad");
    winsim::AddWindow(u"UIQuenLIX");
    winsim::AddWindow(u"uiquenlix");
    winsim::AddWindow(u"UIQuenLIX2");
    CloseImeWindows();
    auto sends = EventsOf("send");
    ASSERT_EQ(sends.size(), 2u);
    for (const auto& send : sends) {
        EXPECT_EQ(send.Number("message"), WM_DESTROY);
        EXPECT_EQ(send.Number("wparam"), 153);
        EXPECT_EQ(send.Number("lparam"), 153);
    }
    EXPECT_EQ(winsim::WindowClasses(), (std::vector<std::u16string>{u"Notepad", u"UIQuenLIX2"}));
}

TEST_F(SimMachine, UnreadableClassNameEndsTheWindowWalk) {
    winsim::AddWindow(u"Notepad");
    winsim::AddWindow(u"UIQuenLIX");
    winsim::Fail("GetClassNameW", 1);
    CloseImeWindows();
    EXPECT_TRUE(EventsOf("send").empty());
    EXPECT_EQ(winsim::WindowClasses().size(), 2u);
}

// ---- Detaching: the layout and the preload list ----

const std::u16string Preload = u"Keyboard Layout\\Preload";
const uint32_t ImeLayout = 0xE0200804;

// Entries from..to holding distinct plain layouts, without `skip`.
std::map<int, std::u16string> Numbered(int from, int to, int skip = 0) {
    std::map<int, std::u16string> entries;
    for (int i = from; i <= to; ++i)
        if (i != skip)
            entries[i] = winsim::Utf16("0000" + std::to_string(1000 + i));
    return entries;
}

class PreloadList : public SimMachine {
  protected:
    void SetUp() override {
        SimMachine::SetUp();
        ASSERT_TRUE(winsim::SetRegistryValue(
            HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\E0200804",
            u"Ime File", REG_SZ, winsim::StringBytes(u"QUENLIX.IME")));
        ASSERT_TRUE(winsim::SetRegistryValue(
            HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\E0210804",
            u"Ime File", REG_SZ, winsim::StringBytes(u"OTHER.IME")));
        // The module's layout last, after a plain layout and another input method.
        winsim::SetLoadedLayouts({0x00000804, 0xE0210804, ImeLayout});
        ASSERT_TRUE(winsim::CreateRegistryKey(HKEY_CURRENT_USER, Preload));
    }
    static void SetEntries(const std::vector<std::pair<int, std::u16string>>& entries) {
        for (const auto& [number, text] : entries)
            SetText(HKEY_CURRENT_USER, Preload, winsim::Utf16(std::to_string(number)), text);
    }
    // Every entry, as number -> text.
    static std::map<int, std::u16string> Entries() {
        std::map<int, std::u16string> entries;
        for (const std::u16string& name : winsim::RegistryValueNames(HKEY_CURRENT_USER, Preload))
            entries[std::stoi(winsim::Utf8(name))] = *GetText(HKEY_CURRENT_USER, Preload, name);
        return entries;
    }
};

TEST_F(PreloadList, FindsTheModuleByFileNameWithFullSizeHandles) {
    HKL layout = FindImeLayout();
    EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<UINT_PTR>(layout)), ImeLayout);
    winsim::SetLoadedLayouts({0x00000804});
    EXPECT_EQ(FindImeLayout(), nullptr);
}

struct PreloadCase {
    const char* name;
    std::map<int, std::u16string> before;
    std::map<int, std::u16string> after;
    size_t broadcasts;
};

class PreloadCases : public PreloadList, public ::testing::WithParamInterface<PreloadCase> {};

TEST_P(PreloadCases, RemovesTheEntryAndRenumbers) {
    for (const auto& [number, text] : GetParam().before)
        SetEntries({{number, text}});
    RemoveImeLayout();
    EXPECT_EQ(Entries(), GetParam().after);
    auto broadcasts = EventsOf("broadcast");
    EXPECT_EQ(broadcasts.size(), GetParam().broadcasts);
    for (const auto& broadcast : broadcasts) {
        EXPECT_EQ(broadcast.Number("message"), WM_SETTINGCHANGE);
        EXPECT_EQ(broadcast.Text("text"), u"HKEY_CURRENT_USER\\Keyboard Layout\\Preload");
        EXPECT_EQ(broadcast.Number("timeout"), 1500);
    }
    EXPECT_EQ(winsim::LoadedLayouts(), (std::vector<uint32_t>{0x00000804, 0xE0210804}));
}

std::map<int, std::u16string> With(std::map<int, std::u16string> entries, int number,
                                   const std::u16string& text) {
    entries[number] = text;
    return entries;
}

// 1 ... 35 with the module at `at`: what stood under 1 ... 31 moves up without gaps.
std::map<int, std::u16string> ShiftedAfter(int at) {
    std::map<int, std::u16string> after;
    int slot = 1;
    for (int i = 1; i <= 35; ++i) {
        if (i == at)
            continue;
        std::u16string text = winsim::Utf16("0000" + std::to_string(1000 + i));
        after[i <= 31 ? slot++ : i] = text;
    }
    return after;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PreloadCases,
    ::testing::Values(
        PreloadCase{"middle",
                    {{1, u"00000804"}, {2, u"e0200804"}, {3, u"00000409"}},
                    {{1, u"00000804"}, {2, u"00000409"}},
                    2},
        PreloadCase{
            "upper_case_identifier", {{1, u"E0200804"}, {2, u"00000804"}}, {{1, u"00000804"}}, 2},
        PreloadCase{"gap_stops_the_search",
                    {{1, u"00000804"}, {3, u"E0200804"}},
                    {{1, u"00000804"}, {2, u"E0200804"}},
                    1},
        PreloadCase{"only_entry", {{1, u"e0200804"}}, {}, 2},
        PreloadCase{"thirty_five_module_at_2", With(Numbered(1, 35, 2), 2, u"e0200804"),
                    ShiftedAfter(2), 2},
        PreloadCase{"thirty_five_module_at_33", With(Numbered(1, 35, 33), 33, u"e0200804"),
                    Numbered(1, 35, 33), 2}),
    [](const ::testing::TestParamInfo<PreloadCase>& info) { return info.param.name; });

TEST_F(PreloadList, LayoutNotLoadedLeavesEverythingAlone) {
    winsim::SetLoadedLayouts({0x00000804});
    SetEntries({{1, u"00000804"}, {2, u"e0200804"}});
    RemoveImeLayout();
    EXPECT_EQ(Entries(), (std::map<int, std::u16string>{{1, u"00000804"}, {2, u"e0200804"}}));
    EXPECT_TRUE(EventsOf("broadcast").empty());
}

TEST_F(PreloadList, UnopenableKeyLeavesListAndLayout) {
    SetEntries({{1, u"00000804"}, {2, u"e0200804"}});
    winsim::Fail("RegOpenKeyExW", 1);
    RemoveImeLayout();
    EXPECT_EQ(Entries().size(), 2u);
    EXPECT_EQ(winsim::LoadedLayouts().size(), 3u);
}

// Without write access for the renumbering, the kept entries stay exactly where they were.
TEST_F(PreloadList, NoWriteAccessNeverLosesKeptEntries) {
    SetEntries({{1, u"00000804"}, {2, u"e0200804"}, {3, u"00000409"}, {4, u"00000411"}});
    winsim::Fail("RegOpenKeyExW", 2);
    RemoveImeLayout();
    EXPECT_EQ(Entries(), (std::map<int, std::u16string>{
                             {1, u"00000804"}, {3, u"00000409"}, {4, u"00000411"}}));
}

// A failing write during the renumbering may leave a duplicate but never drops an entry.
class FailingWrite : public PreloadList, public ::testing::WithParamInterface<unsigned> {};

TEST_P(FailingWrite, NeverLosesEntries) {
    SetEntries({{1, u"00000804"}, {2, u"e0200804"}, {3, u"00000409"}, {4, u"00000411"}});
    winsim::Fail("RegSetValueExW", GetParam());
    RemoveImeLayout();
    std::set<std::u16string> texts;
    for (const auto& [number, text] : Entries())
        texts.insert(text);
    EXPECT_EQ(texts, (std::set<std::u16string>{u"00000804", u"00000409", u"00000411"}));
}

INSTANTIATE_TEST_SUITE_P(EachWrite, FailingWrite, ::testing::Values(1u, 2u, 3u));

TEST_F(PreloadList, FailingDeleteLeavesADuplicateOnly) {
    SetEntries({{1, u"00000804"}, {2, u"e0200804"}, {3, u"00000409"}});
    winsim::Fail("RegDeleteValueW", 2); // the first is the search's own delete
    RemoveImeLayout();
    EXPECT_EQ(Entries(), (std::map<int, std::u16string>{
                             {1, u"00000804"}, {2, u"00000409"}, {3, u"00000409"}}));
}

TEST_F(PreloadList, EntryTooLongToKeepStopsTheRenumbering) {
    SetEntries({{1, u"e0200804"}, {2, std::u16string(300, u'x')}, {3, u"00000409"}});
    RemoveImeLayout();
    // The search deletes entry 1; entry 2 cannot be read whole, so nothing is renumbered.
    auto entries = Entries();
    EXPECT_EQ(entries.count(1), 0u);
    EXPECT_EQ(entries[2], std::u16string(300, u'x'));
    EXPECT_EQ(entries[3], u"00000409");
}

} // namespace
