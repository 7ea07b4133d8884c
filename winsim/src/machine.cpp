// Loading and saving a machine folder: drive C:, the two hives and the machine settings.
#include "state.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace winsim {

using namespace detail;

namespace {

const char kSettingsFile[] = "machine.ini";
const uint32_t kDefaultLayout = 0x08040804; // Chinese (PRC), US keyboard

bool ReadAll(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *bytes = ss.str();
    return true;
}

bool WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

bool SetError(std::string* error, const std::string& what) {
    if (error)
        *error = what;
    return false;
}

// machine.ini: "language=0x0804" and "layouts=08040804,E0200804".
bool ReadSettings(const std::string& text, std::string* error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        std::string key = line.substr(0, eq),
                    value = eq == std::string::npos ? "" : line.substr(eq + 1);
        char* end = nullptr;
        if (key == "language") {
            unsigned long v = strtoul(value.c_str(), &end, 0);
            if (value.empty() || *end || v > 0xFFFF)
                return SetError(error,
                                "machine.ini line " + std::to_string(number) + ": bad language");
            S().language = static_cast<LANGID>(v);
        } else if (key == "layouts") {
            S().layouts.clear();
            std::istringstream items(value);
            std::string item;
            while (std::getline(items, item, ',')) {
                if (item.empty())
                    continue;
                unsigned long v = strtoul(item.c_str(), &end, 16);
                if (*end || v > 0xFFFFFFFFul)
                    return SetError(error,
                                    "machine.ini line " + std::to_string(number) + ": bad layout");
                S().layouts.push_back(static_cast<uint32_t>(v));
            }
        } else {
            return SetError(error,
                            "machine.ini line " + std::to_string(number) + ": unknown setting");
        }
    }
    return true;
}

std::string WriteSettings() {
    char buf[32];
    snprintf(buf, sizeof buf, "0x%04X", unsigned(S().language));
    std::string out = "; simulated machine settings\nlanguage=" + std::string(buf) + "\nlayouts=";
    for (size_t i = 0; i < S().layouts.size(); ++i) {
        snprintf(buf, sizeof buf, "%s%08X", i ? "," : "", unsigned(S().layouts[i]));
        out += buf;
    }
    return out + "\n";
}

std::string Utf16LeWithBom(const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

} // namespace

void ResetMachine() {
    EndProcess();
    S() = State();
}

bool LoadMachine(const std::string& dir, std::string* error) {
    ResetMachine();
    std::error_code ec;
    fs::path root = fs::absolute(dir, ec);
    if (ec)
        return SetError(error, "bad machine folder: " + dir);
    S().dir = root.lexically_normal().string();
    if (S().dir.size() > 1 && S().dir.back() == '/')
        S().dir.pop_back();
    std::string drive = S().dir + "/drive_c";
    bool fresh = !fs::exists(drive);
    if (fresh) {
        fs::create_directories(drive, ec);
        if (ec)
            return SetError(error, "cannot create " + drive + ": " + ec.message());
        S().layouts = {kDefaultLayout};
    } else if (!fs::is_directory(drive)) {
        return SetError(error, drive + " is not a folder");
    }
    // Windows always has its system folders; a hand-made drive may lack them.
    for (const char16_t* folder : {u"C:\\Windows\\system32", u"C:\\Windows\\Fonts"})
        if (!MakeDirectory(folder))
            return SetError(error, "cannot create " + Utf8(folder) + " in " + drive);
    std::string bytes;
    if (ReadAll(S().dir + "/" + kSettingsFile, &bytes)) {
        if (!ReadSettings(bytes, error))
            return false;
    } else if (S().layouts.empty()) {
        S().layouts = {kDefaultLayout};
    }
    for (const char* hive : {"system.reg", "user.reg"}) {
        std::string path = S().dir + "/" + hive;
        if (!ReadAll(path, &bytes))
            continue;
        std::string why;
        if (!ImportRegFile(bytes, &why))
            return SetError(error, path + ": " + why);
    }
    return true;
}

bool SaveMachine(std::string* error) {
    if (S().dir.empty())
        return SetError(error, "no machine loaded");
    struct Out {
        const char* name;
        std::string bytes;
    } outs[] = {
        {"system.reg", Utf16LeWithBom(ExportHiveUtf16(HKEY_LOCAL_MACHINE))},
        {"user.reg", Utf16LeWithBom(ExportHiveUtf16(HKEY_CURRENT_USER))},
        {kSettingsFile, WriteSettings()},
    };
    for (const Out& o : outs) {
        std::string path = S().dir + "/" + o.name;
        if (!WriteAll(path, o.bytes))
            return SetError(error, "cannot write " + path + ": " + strerror(errno));
    }
    return true;
}

const std::string& MachineDir() {
    return S().dir;
}

void SetSystemLanguage(LANGID language) {
    S().language = language;
}
LANGID SystemLanguage() {
    return S().language;
}

std::vector<uint32_t> LoadedLayouts() {
    return S().layouts;
}
void SetLoadedLayouts(const std::vector<uint32_t>& layouts) {
    S().layouts = layouts;
}

} // namespace winsim
