// Any text of up to 32,767 characters as the process command line, through the real WinMain
// on an installed Traditional-Chinese machine with the module's layout loaded: the run ends
// with 0 or 2, c:\install.exe is gone, no message shows more than a path buffer holds, and the
// installation record only ever names a directory the command line itself spells out.
//
// Input bytes become UTF-16 code units: 0xFF followed by two bytes is that unit (little
// endian), any other byte the unit of the same value. The input's length picks the answer to
// the question and whether an application has the module loaded.
#include "fuzz_support.h"
#include "resources/messages.h"

namespace {

const size_t MaxCommandLine = 32767;
const std::u16string RecordKey = u"Software\\quenlix";
const std::u16string OldRecord = u"C:\\Old"; // upper case: never a prefix of the edited line
const std::u16string Module = u"quenlix.ime";

std::u16string Decode(const uint8_t* data, size_t size) {
    std::u16string text;
    for (size_t i = 0; i < size && text.size() < MaxCommandLine; ++i) {
        if (data[i] == 0xFF && i + 2 < size) {
            text += static_cast<char16_t>(data[i + 1] | data[i + 2] << 8);
            i += 2;
        } else {
            text += static_cast<char16_t>(data[i]);
        }
    }
    return text;
}

std::vector<uint8_t> Text(const std::u16string& text) {
    return winsim::StringBytes(text, false);
}

std::optional<std::u16string> RecordValue(const std::u16string& name) {
    auto value = winsim::GetRegistryValue(HKEY_LOCAL_MACHINE, RecordKey, name);
    if (!value)
        return std::nullopt;
    std::u16string text;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2)
        text += static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
    return text;
}

void SetUpMachine() {
    fuzz::FreshMachine();
    winsim::SetSystemLanguage(0x0404);
    bool placed = winsim::PlaceFile(u"C:\\dl\\quenlix.ime", "MZ new module bytes") &&
                  winsim::PlaceFile(u"C:\\dl\\patch.big5",
                                    std::string("\x13\0\0\0\1\0\3\0\0\0\2\0\0\0TW", 16)) &&
                  winsim::PlaceFile(u"C:\\dl\\宋体.TTE", "font") &&
                  winsim::PlaceFile(u"C:\\dl\\quenlix.rtf", "{\\rtf1}") &&
                  winsim::PlaceFile(u"C:\\Windows\\system32\\quenlix.ime", "MZ old module") &&
                  winsim::PlaceFile(u"C:\\install.exe", "leftover") &&
                  winsim::MakeDirectory(OldRecord) && winsim::SetCurrentDirectory(u"C:\\dl");
    const std::u16string layout = u"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\E0200804";
    const std::u16string preload = u"Keyboard Layout\\Preload";
    placed =
        placed &&
        winsim::SetRegistryValue(HKEY_LOCAL_MACHINE, layout, u"Ime File", REG_SZ,
                                 winsim::StringBytes(u"QUENLIX.IME")) &&
        winsim::SetRegistryValue(HKEY_CURRENT_USER, preload, u"1", REG_SZ,
                                 winsim::StringBytes(u"00000404")) &&
        winsim::SetRegistryValue(HKEY_CURRENT_USER, preload, u"2", REG_SZ,
                                 winsim::StringBytes(u"e0200804")) &&
        winsim::SetRegistryValue(HKEY_CURRENT_USER, preload, u"3", REG_SZ,
                                 winsim::StringBytes(u"00000409")) &&
        winsim::SetRegistryValue(HKEY_LOCAL_MACHINE, RecordKey, u"system", REG_SZ, Text(OldRecord));
    FUZZ_CHECK(placed, "the machine takes the installation");
    winsim::SetLoadedLayouts({0x04040404, 0xE0200804});
}

// The buffer as the program edits it before the mode routines: the text up to a NUL, quotes
// dropped, lower-cased by the system, then the first "/s" and the first "/p" cut out.
std::u16string Edited(const std::u16string& commandLine) {
    std::u16string text;
    for (char16_t c : commandLine) {
        if (c == 0)
            break;
        if (c != u'"')
            text += c;
    }
    text.push_back(0);
    CharLowerW(reinterpret_cast<LPWSTR>(&text[0]));
    text.pop_back();
    for (const std::u16string cut : {u"/s", u"/p"}) {
        size_t at = text.find(cut);
        if (at != std::u16string::npos)
            text.erase(at, cut.size());
    }
    return text;
}

// The directories a run may take the package from: every directory the edited command line
// spells out before a backslash, or, with no backslash in it, the running program's own.
bool NamesPackageDirectory(const std::u16string& edited, const std::u16string& directory) {
    if (edited.find(u'\\') != std::u16string::npos)
        return directory.size() < edited.size() &&
               edited.compare(0, directory.size(), directory) == 0 &&
               edited[directory.size()] == u'\\';
    std::u16string own = winsim::ModulePath();
    own.push_back(0);
    CharLowerW(reinterpret_cast<LPWSTR>(&own[0]));
    own.pop_back();
    return directory == own.substr(0, own.rfind(u'\\'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string commandLine = Decode(data, size);
    SetUpMachine();
    const int answers[] = {IDYES, IDNO, IDCANCEL};
    winsim::QueueAnswer(answers[size % 3]);
    if (size / 3 % 2 == 1)
        winsim::SimulateLoadedModule();
    winsim::SetCommandLine(commandLine);

    int code = winsim::RunProcess();

    FUZZ_CHECK(code == 0 || code == 2, "the exit code is 0 or 2");
    FUZZ_CHECK(winsim::HostPath(u"C:\\install.exe").empty() ||
                   !std::filesystem::exists(winsim::HostPath(u"C:\\install.exe")),
               "c:\\install.exe is gone");
    std::u16string edited = Edited(commandLine);
    for (const winsim::Event& event : winsim::Events()) {
        if (event.kind != "message")
            continue;
        std::u16string text = event.Text("text"), caption = event.Text("caption");
        FUZZ_CHECK(text.size() < MAX_PATH && caption.size() < MAX_PATH,
                   "no message shows more than a path buffer holds");
        if (text == MSG_MODULE_MISSING) {
            // The path formed for the module, or as much of it as fits: never anything else.
            size_t cut = edited.rfind(u'\\');
            std::u16string formed =
                (cut == std::u16string::npos ? std::u16string() : edited.substr(0, cut + 1)) +
                Module;
            FUZZ_CHECK(
                formed.compare(0, caption.size(), caption) == 0 ||
                    (cut == std::u16string::npos && caption.size() >= Module.size() &&
                     caption.compare(caption.size() - Module.size(), Module.size(), Module) == 0),
                "the missing-module caption is the path formed from the command line");
        }
    }
    std::optional<std::u16string> system = RecordValue(u"system");
    FUZZ_CHECK(!system || *system == OldRecord || NamesPackageDirectory(edited, *system),
               "the record names a directory the command line spells out");
    std::optional<std::u16string> backup = RecordValue(u"system_backup");
    FUZZ_CHECK(!backup || *backup == OldRecord, "the record's backup is the earlier directory");
    return 0;
}
