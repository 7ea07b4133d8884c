// Process-wide state, call counting and fault injection, events and text helpers.
#include "state.h"

#include <algorithm>
#include <clocale>
#include <cwctype>
#include <locale.h>

namespace winsim {
namespace detail {

State& S() {
    static State state;
    return state;
}

namespace {

struct Failable {
    const char* name;
    DWORD defaultError;
};

// Every modelled function with a failure path, and the error it fails with by default: the
// one Windows most plausibly gives when that call fails on a healthy machine.
const Failable kFailable[] = {
    {"CopyFileW", ERROR_ACCESS_DENIED},
    {"DeleteFileW", ERROR_ACCESS_DENIED},
    {"MoveFileExW", ERROR_ACCESS_DENIED},
    {"GetTempFileNameW", ERROR_ACCESS_DENIED},
    {"GetFileAttributesW", ERROR_ACCESS_DENIED},
    {"GetSystemDirectoryW", ERROR_NOT_ENOUGH_MEMORY},
    {"GetWindowsDirectoryW", ERROR_NOT_ENOUGH_MEMORY},
    {"GetCurrentDirectoryW", ERROR_NOT_ENOUGH_MEMORY},
    {"SetCurrentDirectoryW", ERROR_ACCESS_DENIED},
    {"GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY},
    {"CreateMutexW", ERROR_ACCESS_DENIED},
    {"ReleaseMutex", ERROR_NOT_OWNER},
    {"CloseHandle", ERROR_INVALID_HANDLE},
    {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"GlobalFree", ERROR_INVALID_HANDLE},
    {"_wfopen", ERROR_ACCESS_DENIED},
    {"ReadFile", ERROR_READ_FAULT},
    {"WriteFile", ERROR_DISK_FULL},
    {"SetFilePointer", ERROR_SEEK},
    {"RegOpenKeyExW", ERROR_ACCESS_DENIED},
    {"RegCreateKeyW", ERROR_ACCESS_DENIED},
    {"RegQueryValueExW", ERROR_ACCESS_DENIED},
    {"RegSetValueExW", ERROR_ACCESS_DENIED},
    {"RegDeleteValueW", ERROR_ACCESS_DENIED},
    {"RegDeleteKeyW", ERROR_ACCESS_DENIED},
    {"RegCloseKey", ERROR_INVALID_HANDLE},
    {"MessageBoxW", ERROR_NOT_ENOUGH_MEMORY},
    {"EnumWindows", ERROR_ACCESS_DENIED},
    {"GetClassNameW", ERROR_INVALID_WINDOW_HANDLE},
    {"SendMessageW", ERROR_ACCESS_DENIED},
    {"SendMessageTimeoutW", ERROR_TIMEOUT},
    {"GetKeyboardLayoutList", ERROR_NOT_ENOUGH_MEMORY},
    {"UnloadKeyboardLayout", ERROR_ACCESS_DENIED},
    {"ImmInstallIMEW", ERROR_ACCESS_DENIED},
    {"ImmGetIMEFileNameW", ERROR_NOT_ENOUGH_MEMORY},
    {"ShellExecuteW", ERROR_FILE_NOT_FOUND},
};

const Failable* FindFailable(const std::string& name) {
    for (const Failable& f : kFailable)
        if (name == f.name)
            return &f;
    return nullptr;
}

locale_t Utf8Locale() {
    static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    return loc;
}

} // namespace

DWORD Enter(const char* function) {
    State& s = S();
    const Failable* known = FindFailable(function);
    DWORD defaultError = known ? known->defaultError : ERROR_ACCESS_DENIED;
    unsigned n = ++s.counters[function];
    s.calls.push_back({function, n});
    for (const Fault& f : s.faults) {
        if (f.function == function && f.number == n)
            return f.error ? f.error : defaultError;
    }
    return 0;
}

void SetError(DWORD error) {
    S().lastError = error;
}

void Record(Event event) {
    State& s = S();
    s.events.push_back(std::move(event));
    if (s.listener)
        s.listener(s.events.back());
}

size_t Length(const WCHAR* s) {
    size_t n = 0;
    if (s)
        while (s[n])
            ++n;
    return n;
}

std::u16string Str(const WCHAR* s) {
    return s ? std::u16string(s, Length(s)) : std::u16string();
}

char16_t Upper(char16_t c) {
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    if (locale_t loc = Utf8Locale()) {
        wint_t u = towupper_l(c, loc);
        return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
    }
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

char16_t Lower(char16_t c) {
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    if (locale_t loc = Utf8Locale()) {
        wint_t l = towlower_l(c, loc);
        return l <= 0xFFFF ? static_cast<char16_t>(l) : c;
    }
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

UINT CopyOut(const std::u16string& text, WCHAR* buffer, size_t size) {
    if (!buffer || size <= text.size())
        return static_cast<UINT>(text.size() + 1);
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
    return static_cast<UINT>(text.size());
}

} // namespace detail

using namespace detail;

// ---- Text conversion --------------------------------------------------------------------

std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char c = utf8[i];
        char32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            bool ok = i + len <= utf8.size();
            char32_t v = c & (0x7F >> len);
            for (size_t k = 1; ok && k < len; ++k) {
                unsigned char cc = utf8[i + k];
                if ((cc & 0xC0) != 0x80)
                    ok = false;
                v = (v << 6) | (cc & 0x3F);
            }
            static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            if (ok && v >= kMin[len] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                cp = v;
            } else {
                len = 1;
            }
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

static void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Walks UTF-16 as code points; an unpaired surrogate comes out as itself.
template <typename F> static void ForEachCodePoint(const std::u16string& s, F f) {
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            f(0x10000 + ((char32_t(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00), false);
            ++i;
        } else {
            f(char32_t(c), c >= 0xD800 && c <= 0xDFFF);
        }
    }
}

std::string Utf8(const std::u16string& utf16) {
    std::string out;
    ForEachCodePoint(utf16, [&](char32_t cp, bool lone) { AppendUtf8(out, lone ? 0xFFFD : cp); });
    return out;
}

// ---- Events -----------------------------------------------------------------------------

const EventField* Event::Field(const std::string& name) const {
    for (const EventField& f : fields)
        if (f.name == name)
            return &f;
    return nullptr;
}

std::u16string Event::Text(const std::string& name) const {
    const EventField* f = Field(name);
    return f && f->kind == EventField::Text ? f->text : std::u16string();
}

long long Event::Number(const std::string& name) const {
    const EventField* f = Field(name);
    return f && f->kind == EventField::Number ? f->number : 0;
}

bool Event::IsNull(const std::string& name) const {
    const EventField* f = Field(name);
    return !f || f->kind == EventField::Null;
}

const std::vector<Event>& Events() {
    return S().events;
}
void ClearEvents() {
    S().events.clear();
}
void SetEventListener(std::function<void(const Event&)> listener) {
    S().listener = std::move(listener);
}

static std::string JsonString(const std::u16string& s) {
    std::string out = "\"";
    ForEachCodePoint(s, [&](char32_t cp, bool lone) {
        char esc[8];
        if (lone) {
            // JSON can carry a lone surrogate as an escape; keep it rather than lose it.
            snprintf(esc, sizeof esc, "\\u%04x", unsigned(cp));
            out += esc;
        } else if (cp == '"') {
            out += "\\\"";
        } else if (cp == '\\') {
            out += "\\\\";
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp < 0x20 || cp == 0x7F) {
            snprintf(esc, sizeof esc, "\\u%04x", unsigned(cp));
            out += esc;
        } else {
            AppendUtf8(out, cp);
        }
    });
    return out + "\"";
}

std::string EventJson(const Event& event) {
    std::string out = "{\"event\":" + JsonString(Utf16(event.kind));
    for (const EventField& f : event.fields) {
        out += "," + JsonString(Utf16(f.name)) + ":";
        switch (f.kind) {
        case EventField::Null:
            out += "null";
            break;
        case EventField::Number:
            out += std::to_string(f.number);
            break;
        case EventField::Text:
            out += JsonString(f.text);
            break;
        }
    }
    return out + "}";
}

// Terminal columns taken by a code point: East Asian wide and full-width forms take two.
static int ColumnsOf(char32_t cp) {
    if (cp < 0x20)
        return 0;
    if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
        (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
        (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
        (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
        (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
        (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD))
        return 2;
    return 1;
}

static int Columns(const std::u16string& s) {
    int n = 0;
    ForEachCodePoint(s, [&](char32_t cp, bool) { n += ColumnsOf(cp); });
    return n;
}

static std::string Quoted(const EventField* f) {
    if (!f || f->kind == EventField::Null)
        return "(none)";
    if (f->kind == EventField::Number)
        return std::to_string(f->number);
    return "\"" + Utf8(f->text) + "\"";
}

const char* AnswerName(long long answer) {
    switch (answer) {
    case IDOK:
        return "OK";
    case IDCANCEL:
        return "Cancel";
    case IDABORT:
        return "Abort";
    case IDRETRY:
        return "Retry";
    case IDIGNORE:
        return "Ignore";
    case IDYES:
        return "Yes";
    case IDNO:
        return "No";
    default:
        return "none";
    }
}

static std::string MessageBoxText(const Event& e) {
    UINT type = static_cast<UINT>(e.Number("type"));
    std::u16string icon;
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
        icon = u"(x) ";
        break;
    case MB_ICONQUESTION:
        icon = u"(?) ";
        break;
    case MB_ICONEXCLAMATION:
        icon = u"(!) ";
        break;
    case MB_ICONASTERISK:
        icon = u"(i) ";
        break;
    }
    static const char16_t* const kButtons[] = {u"[OK]",
                                               u"[OK]  [Cancel]",
                                               u"[Abort]  [Retry]  [Ignore]",
                                               u"[Yes]  [No]  [Cancel]",
                                               u"[Yes]  [No]",
                                               u"[Retry]  [Cancel]"};
    UINT kind = type & MB_TYPEMASK;
    std::u16string buttons = kind < 6 ? kButtons[kind] : u"[?]";

    std::vector<std::u16string> lines;
    std::u16string text = e.Text("text");
    std::u16string line = icon;
    for (char16_t c : text) {
        if (c == u'\n') {
            lines.push_back(line);
            line = std::u16string(icon.size(), u' ');
        } else if (c != u'\r') {
            line += c;
        }
    }
    lines.push_back(line);

    std::u16string caption = e.Text("caption");
    int width = std::max(Columns(buttons), Columns(caption) + 4);
    for (const auto& l : lines)
        width = std::max(width, Columns(l));
    width += 2;

    std::string out =
        "+-- " + Utf8(caption) + " " + std::string(width - Columns(caption) - 3, '-') + "+\n";
    for (const auto& l : lines)
        out += "| " + Utf8(l) + std::string(width - Columns(l) - 1, ' ') + "|\n";
    out += "|" + std::string(width, ' ') + "|\n";
    int pad = (width - Columns(buttons)) / 2;
    out += "|" + std::string(pad, ' ') + Utf8(buttons) +
           std::string(width - pad - Columns(buttons), ' ') + "|\n";
    out += "+" + std::string(width, '-') + "+\n";
    if (e.Field("answer")) // a box still waiting for its answer has none yet
        out += std::string("  answer: ") + AnswerName(e.Number("answer")) + "\n";
    return out;
}

std::string EventText(const Event& e) {
    if (e.kind == "message")
        return MessageBoxText(e);
    if (e.kind == "send")
        return "send       " + Utf8(e.Text("class")) + "  message " +
               std::to_string(e.Number("message")) + "  wparam " +
               std::to_string(e.Number("wparam")) + "  lparam " +
               std::to_string(e.Number("lparam")) + "\n";
    if (e.kind == "broadcast")
        return "broadcast  message " + std::to_string(e.Number("message")) + "  " +
               Quoted(e.Field("text")) + "  timeout " + std::to_string(e.Number("timeout")) +
               " ms\n";
    if (e.kind == "shell")
        return "shell      verb " + Quoted(e.Field("verb")) + "  file " + Quoted(e.Field("file")) +
               "  parameters " + Quoted(e.Field("parameters")) + "  directory " +
               Quoted(e.Field("directory")) + "  show " + std::to_string(e.Number("show")) + "\n";
    if (e.kind == "exit")
        return "exit       code " + std::to_string(e.Number("code")) + "\n";
    std::string out = e.kind;
    for (const EventField& f : e.fields)
        out += "  " + f.name + " " + Quoted(&f);
    return out + "\n";
}

std::string EventsJson() {
    std::string out;
    for (const Event& e : S().events)
        out += EventJson(e) + "\n";
    return out;
}

std::string EventsText() {
    std::string out;
    for (const Event& e : S().events)
        out += EventText(e);
    return out;
}

// ---- Calls and faults --------------------------------------------------------------------

const std::vector<Call>& Calls() {
    return S().calls;
}

unsigned CallCount(const std::string& function) {
    auto it = S().counters.find(function);
    return it == S().counters.end() ? 0 : it->second;
}

void ClearCalls() {
    S().calls.clear();
    S().counters.clear();
}

std::vector<std::string> FailableFunctions() {
    std::vector<std::string> names;
    for (const Failable& f : kFailable)
        names.push_back(f.name);
    return names;
}

bool Fail(const std::string& function, unsigned n, DWORD error) {
    if (n == 0 || !FindFailable(function))
        return false;
    S().faults.push_back({function, n, error});
    return true;
}

void ClearFaults() {
    S().faults.clear();
}

} // namespace winsim
