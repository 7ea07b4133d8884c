// Message boxes, other processes' windows and messages, keyboard layouts and the input-method
// manager, the shell.
#include "machine_fixture.h"

#include <imm.h>
#include <shellapi.h>

namespace {

using User = Machine;

TEST_F(User, MessageBoxesTakeScriptedAnswersInOrder) {
    winsim::QueueAnswer(IDNO);
    winsim::QueueAnswer(IDYES);
    // A box with only OK needs no answer and uses none.
    EXPECT_EQ(MessageBoxW(nullptr, u"done", u"提示", MB_OK | MB_ICONINFORMATION), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, u"q1", u"提示", MB_YESNOCANCEL | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(MessageBoxW(nullptr, u"q2", u"提示", MB_YESNO), IDYES);
    EXPECT_EQ(winsim::PendingAnswers(), 0u);
    // Nobody left to answer: as if closed.
    EXPECT_EQ(MessageBoxW(nullptr, u"q3", u"提示", MB_YESNOCANCEL), IDCANCEL);
    // A prompt is asked only when the script has run out.
    std::u16string asked;
    winsim::SetMessageBoxPrompt([&](const winsim::MessageBoxRequest& r) {
        asked = r.caption + u"/" + r.text;
        return IDYES;
    });
    EXPECT_EQ(MessageBoxW(nullptr, u"q4", nullptr, MB_OKCANCEL), IDYES);
    EXPECT_EQ(asked, u"Error/q4");

    const auto& events = winsim::Events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(winsim::EventJson(events[1]),
              "{\"event\":\"message\",\"caption\":\"提示\",\"text\":\"q1\",\"type\":35,"
              "\"answer\":7}");
    EXPECT_EQ(events[4].Text("caption"), u"Error");
}

TEST_F(User, EventsRenderAsJsonAndText) {
    MessageBoxW(nullptr, u"a \"b\"\\c\n\t\x01 中", u"x", MB_ICONERROR);
    ShellExecuteW(nullptr, nullptr, u"cacls c:\\dl\\*.* /t /e /c /g Users:w", nullptr, nullptr,
                  SW_HIDE);
    EXPECT_EQ(winsim::EventsJson(),
              "{\"event\":\"message\",\"caption\":\"x\",\"text\":\"a \\\"b\\\"\\\\c\\n\\t\\u0001 "
              "中\",\"type\":16,\"answer\":1}\n"
              "{\"event\":\"shell\",\"verb\":null,\"file\":\"cacls c:\\\\dl\\\\*.* /t /e /c /g "
              "Users:w\",\"parameters\":null,\"directory\":null,\"show\":0}\n");
    std::string text = winsim::EventsText();
    EXPECT_NE(text.find("+-- x "), std::string::npos) << text;
    EXPECT_NE(text.find("[OK]"), std::string::npos) << text;
    EXPECT_NE(text.find("answer: OK"), std::string::npos) << text;
    EXPECT_NE(text.find("file \"cacls c:\\dl\\*.* /t /e /c /g Users:w\""), std::string::npos)
        << text;
}

struct Walk {
    std::vector<std::u16string> seen;
    size_t stopAfter = 100;
};

BOOL CALLBACK Visit(HWND hwnd, LPARAM param) {
    auto* walk = reinterpret_cast<Walk*>(param);
    WCHAR name[128];
    int n = GetClassNameW(hwnd, name, 127);
    walk->seen.push_back(std::u16string(name, static_cast<size_t>(n)));
    return walk->seen.size() < walk->stopAfter;
}

TEST_F(User, EnumWindowsWalksInOrderAndStopsWhenAsked) {
    for (const char16_t* c : {u"Shell_TrayWnd", u"UIQuenLIX", u"Progman"})
        winsim::AddWindow(c);
    Walk all;
    EXPECT_TRUE(EnumWindows(Visit, reinterpret_cast<LPARAM>(&all)));
    EXPECT_EQ(all.seen, (std::vector<std::u16string>{u"Shell_TrayWnd", u"UIQuenLIX", u"Progman"}));
    Walk two;
    two.stopAfter = 2;
    EXPECT_FALSE(EnumWindows(Visit, reinterpret_cast<LPARAM>(&two)));
    EXPECT_EQ(two.seen.size(), 2u);
}

TEST_F(User, ClassNamesAreCutToTheBuffer) {
    HWND w = winsim::AddWindow(u"UIQuenLIX");
    WCHAR name[8];
    EXPECT_EQ(GetClassNameW(w, name, 4), 3);
    EXPECT_EQ(std::u16string(name), u"UIQ");
    EXPECT_EQ(GetClassNameW(w, name, 8), 7);
    EXPECT_EQ(GetClassNameW(reinterpret_cast<HWND>(uintptr_t(4)), name, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(User, OnlyTheCloseRequestClosesTheModulesWindow) {
    HWND ime = winsim::AddWindow(u"UIQuenLIX");
    HWND other = winsim::AddWindow(u"Notepad");
    SendMessageW(ime, WM_DESTROY, 153, 0);
    SendMessageW(other, WM_DESTROY, 153, 153);
    EXPECT_EQ(winsim::WindowClasses(), (std::vector<std::u16string>{u"UIQuenLIX", u"Notepad"}));
    SendMessageW(ime, WM_DESTROY, 153, 153);
    EXPECT_EQ(winsim::WindowClasses(), std::vector<std::u16string>{u"Notepad"});
    // A closed window takes no more messages.
    SendMessageW(ime, WM_DESTROY, 153, 153);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    auto sends = winsim::Events();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(winsim::EventJson(sends[2]), "{\"event\":\"send\",\"class\":\"UIQuenLIX\","
                                           "\"message\":2,\"wparam\":153,\"lparam\":153}");
}

TEST_F(User, SettingChangeBroadcastIsRecorded) {
    DWORD_PTR result = 99;
    EXPECT_NE(SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                                  reinterpret_cast<LPARAM>(u"HKEY_CURRENT_USER\\Keyboard "
                                                           u"Layout\\Preload"),
                                  SMTO_NORMAL, 1500, &result),
              0);
    EXPECT_EQ(result, 0u);
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, 0, SMTO_NORMAL, 10, nullptr);
    EXPECT_EQ(winsim::EventsJson(),
              "{\"event\":\"broadcast\",\"message\":26,\"text\":\"HKEY_CURRENT_USER\\\\Keyboard "
              "Layout\\\\Preload\",\"timeout\":1500}\n"
              "{\"event\":\"broadcast\",\"message\":26,\"text\":null,\"timeout\":10}\n");
}

const char16_t kLayouts[] = u"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts";

TEST_F(User, InstallingAnImeRegistersAndLoadsALayout) {
    SetLastError(0);
    EXPECT_EQ(ImmInstallIMEW(u"C:\\Windows\\system32\\quenlix.ime", u"x"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(winsim::PlaceFile(u"C:\\Windows\\system32\\quenlix.ime", "ime"));
    HKL hkl = ImmInstallIMEW(u"c:\\windows\\system32\\quenlix.ime", u"中文 (简体) - 澄鹭五笔");
    ASSERT_NE(hkl, nullptr);
    EXPECT_EQ(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(hkl)), 0xE0200804u);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(hkl),
              static_cast<INT_PTR>(static_cast<int32_t>(0xE0200804)));
    auto file = winsim::GetRegistryValue(HKEY_LOCAL_MACHINE,
                                         std::u16string(kLayouts) + u"\\E0200804", u"Ime File");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(file->data, winsim::StringBytes(u"QUENLIX.IME"));
    EXPECT_EQ(winsim::GetRegistryValue(HKEY_LOCAL_MACHINE, std::u16string(kLayouts) + u"\\e0200804",
                                       u"Layout Text")
                  ->data,
              winsim::StringBytes(u"中文 (简体) - 澄鹭五笔"));
    EXPECT_EQ(winsim::GetRegistryValue(HKEY_LOCAL_MACHINE, std::u16string(kLayouts) + u"\\E0200804",
                                       u"Layout File")
                  ->data,
              winsim::StringBytes(u"kbdus.dll"));
    EXPECT_EQ(winsim::LoadedLayouts(), (std::vector<uint32_t>{0x08040804, 0xE0200804}));

    // The same file again keeps its identifier; another one takes the next free.
    EXPECT_EQ(ImmInstallIMEW(u"C:\\Windows\\system32\\QUENLIX.IME", u"中文 (繁体) - 澄鹭五笔"),
              hkl);
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\Windows\\system32\\other.ime", "ime"));
    HKL other = ImmInstallIMEW(u"C:\\Windows\\system32\\other.ime", u"other");
    EXPECT_EQ(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(other)), 0xE0210804u);
    EXPECT_EQ(winsim::LoadedLayouts(), (std::vector<uint32_t>{0x08040804, 0xE0200804, 0xE0210804}));
}

TEST_F(User, LayoutListAndImeFileNames) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\Windows\\system32\\quenlix.ime", "ime"));
    HKL ime = ImmInstallIMEW(u"C:\\Windows\\system32\\quenlix.ime", u"x");
    ASSERT_NE(ime, nullptr);

    ASSERT_EQ(GetKeyboardLayoutList(0, nullptr), 2);
    HKL list[2] = {};
    EXPECT_EQ(GetKeyboardLayoutList(1, list), 1);
    EXPECT_EQ(list[1], nullptr);
    EXPECT_EQ(GetKeyboardLayoutList(2, list), 2);
    EXPECT_EQ(list[1], ime);

    WCHAR name[64];
    EXPECT_EQ(ImmGetIMEFileNameW(list[0], name, 64), 0u); // an ordinary keyboard
    EXPECT_EQ(ImmGetIMEFileNameW(ime, name, 64), 11u);
    EXPECT_EQ(std::u16string(name), u"QUENLIX.IME");
    EXPECT_EQ(ImmGetIMEFileNameW(ime, nullptr, 0), 11u);
    EXPECT_EQ(ImmGetIMEFileNameW(ime, name, 4), 3u);
    EXPECT_EQ(std::u16string(name), u"QUE");

    EXPECT_TRUE(UnloadKeyboardLayout(ime));
    EXPECT_FALSE(UnloadKeyboardLayout(ime));
    EXPECT_EQ(GetKeyboardLayoutList(0, nullptr), 1);
    // Registration stays after the unload; a layout can still be named.
    EXPECT_EQ(ImmGetIMEFileNameW(ime, name, 64), 11u);
}

TEST_F(User, LayoutsAndLanguageStayWithTheMachine) {
    winsim::SetLoadedLayouts({0x04090409, 0xE0200804});
    winsim::SetSystemLanguage(0x0404);
    Reload();
    EXPECT_EQ(winsim::LoadedLayouts(), (std::vector<uint32_t>{0x04090409, 0xE0200804}));
    EXPECT_EQ(GetSystemDefaultLangID(), 0x0404);
}

TEST_F(User, ShellExecuteRecordsAndSucceeds) {
    HINSTANCE h =
        ShellExecuteW(nullptr, u"open", u"write.exe", u".\\quenlix.rtf", u"c:\\dl", SW_SHOWNORMAL);
    EXPECT_GT(reinterpret_cast<INT_PTR>(h), 32);
    ASSERT_EQ(winsim::Events().size(), 1u);
    const winsim::Event& e = winsim::Events()[0];
    EXPECT_EQ(e.kind, "shell");
    EXPECT_EQ(e.Text("verb"), u"open");
    EXPECT_EQ(e.Text("parameters"), u".\\quenlix.rtf");
    EXPECT_EQ(e.Text("directory"), u"c:\\dl");
    EXPECT_EQ(e.Number("show"), SW_SHOWNORMAL);
}

} // namespace
