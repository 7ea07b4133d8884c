// Runs the setup program inside the test machine the way a user would, and
// writes what it did as JSON lines, the same events the simulated runner
// prints:
//   {"event":"message","caption":..,"text":..,"type":N,"answer":N}
//   {"event":"shell","verb":..,"file":..,"parameters":..,"directory":..,"show":N}
//   {"event":"send","class":..,"message":N,"wparam":N,"lparam":N}
//   {"event":"broadcast","message":N,"text":..,"timeout":N}
//   {"event":"exit","code":N}
// Problems of the harness itself come out as {"event":"error",...}.
//
// Message boxes are found as #32770 dialogs of the child process, read
// (caption, static text 0xFFFF, buttons) and answered. The call arguments
// (the box type with its icon, the shell arguments, the messages sent) come
// from Wine's relay trace of the child, which goes to this process's stderr:
// the job names that file, and the child gets WINEDEBUG from the job.
//
// Job file, UTF-8, one "key=value" a line:
//   exe=C:\dl\setup.exe      program image to start
//   cmdline="C:\dl\setup.exe" /u
//   cwd=C:\dl
//   answer=6                 button id for the next box with a choice (repeatable)
//   out=C:\qtest\events.jsonl
//   relay=C:\qtest\relay.log
//   childdebug=+pid,+relay
//   timeout=60000            ms before the child is killed
//   reg=<op>                 registry operation before the run (regops.h; repeatable)
//   regdump=KEY              key reported after the run (repeatable)
//   regout=C:\qtest\registry.jsonl
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common.h"
#include "regops.h"

namespace {

struct Job {
    std::wstring exe, cmdline, cwd, out, relay, child_debug, regout;
    std::vector<int> answers;
    std::vector<std::string> reg_ops;
    std::vector<std::wstring> reg_dumps;
    DWORD timeout_ms = 60000;
};

struct SeenBox {
    std::wstring caption, text;
    std::vector<int> buttons;
    int pressed = 0;
};

struct RelayCall {
    std::string function;
    std::vector<std::string> args;
    unsigned long long ret_address = 0;
    bool has_result = false;
    unsigned long long result = 0;
};

std::vector<std::wstring> g_broadcast_texts;
bool g_collecting = false;

LRESULT CALLBACK ListenerProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_SETTINGCHANGE && g_collecting) {
        g_broadcast_texts.push_back(lparam ? reinterpret_cast<const wchar_t*>(lparam) : L"");
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

bool LoadJob(const wchar_t* path, Job* job) {
    std::string text;
    if (!tools::ReadWholeFile(path, &text))
        return false;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    for (const std::string& line : tools::SplitLines(text)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        if (key == "exe")
            job->exe = tools::Widen(value);
        else if (key == "cmdline")
            job->cmdline = tools::Widen(value);
        else if (key == "cwd")
            job->cwd = tools::Widen(value);
        else if (key == "out")
            job->out = tools::Widen(value);
        else if (key == "relay")
            job->relay = tools::Widen(value);
        else if (key == "childdebug")
            job->child_debug = tools::Widen(value);
        else if (key == "regout")
            job->regout = tools::Widen(value);
        else if (key == "answer")
            job->answers.push_back(atoi(value.c_str()));
        else if (key == "timeout")
            job->timeout_ms = static_cast<DWORD>(strtoul(value.c_str(), nullptr, 10));
        else if (key == "reg")
            job->reg_ops.push_back(value);
        else if (key == "regdump")
            job->reg_dumps.push_back(tools::Widen(value));
    }
    return !job->exe.empty() && !job->out.empty();
}

// Image range of the program, from its PE header, so that calls that system
// DLLs make on its behalf are not taken for its own.
bool ImageRange(const std::wstring& exe, unsigned long long* base, unsigned long long* size) {
    std::string image;
    if (!tools::ReadWholeFile(exe, &image) || image.size() < 0x40)
        return false;
    DWORD pe = 0;
    memcpy(&pe, image.data() + 0x3c, 4);
    if (pe + 24 + 64 > image.size() || memcmp(image.data() + pe, "PE\0\0", 4) != 0)
        return false;
    const char* opt = image.data() + pe + 24;
    WORD magic = 0;
    memcpy(&magic, opt, 2);
    DWORD image_size = 0;
    memcpy(&image_size, opt + 56, 4);
    if (magic == 0x20b) {
        unsigned long long b = 0;
        memcpy(&b, opt + 24, 8);
        *base = b;
    } else {
        DWORD b = 0;
        memcpy(&b, opt + 28, 4);
        *base = b;
    }
    *size = image_size;
    return true;
}

std::vector<wchar_t> ChildEnvironment(const std::wstring& child_debug) {
    std::vector<wchar_t> block;
    wchar_t* env = GetEnvironmentStringsW();
    for (const wchar_t* p = env; p && *p; p += wcslen(p) + 1) {
        if (_wcsnicmp(p, L"WINEDEBUG=", 10) == 0)
            continue;
        block.insert(block.end(), p, p + wcslen(p) + 1);
    }
    if (env)
        FreeEnvironmentStringsW(env);
    std::wstring debug =
        L"WINEDEBUG=" + (child_debug.empty() ? std::wstring(L"-all") : child_debug);
    block.insert(block.end(), debug.begin(), debug.end());
    block.push_back(0);
    block.push_back(0);
    return block;
}

struct ScanContext {
    DWORD pid;
    std::set<HWND>* handled;
    std::vector<HWND> found;
};

BOOL CALLBACK FindBoxes(HWND window, LPARAM param) {
    ScanContext* ctx = reinterpret_cast<ScanContext*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != ctx->pid || ctx->handled->count(window) || !IsWindowVisible(window))
        return TRUE;
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (wcscmp(cls, L"#32770") == 0)
        ctx->found.push_back(window);
    return TRUE;
}

std::wstring WindowText(HWND window) {
    wchar_t buffer[4096] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    buffer[4095] = 0;
    return buffer;
}

BOOL CALLBACK RecordClass(HWND window, LPARAM param) {
    wchar_t cls[256] = {};
    GetClassNameW(window, cls, 256);
    auto* classes = reinterpret_cast<std::map<unsigned long long, std::wstring>*>(param);
    (*classes)[reinterpret_cast<UINT_PTR>(window)] = cls;
    return TRUE;
}

const int kButtonIds[] = {IDOK,  IDCANCEL, IDABORT,    IDRETRY,   IDIGNORE,
                          IDYES, IDNO,     IDTRYAGAIN, IDCONTINUE};

SeenBox ReadAndAnswer(HWND box, const std::vector<int>& answers, size_t* next_answer) {
    SeenBox seen;
    seen.caption = WindowText(box);
    HWND label = GetDlgItem(box, 0xFFFF);
    if (label)
        seen.text = WindowText(label);
    for (int id : kButtonIds) {
        HWND button = GetDlgItem(box, id);
        if (button && (GetWindowLongW(button, GWL_STYLE) & WS_VISIBLE))
            seen.buttons.push_back(id);
    }
    int press = seen.buttons.empty() ? IDOK : seen.buttons.front();
    if (seen.buttons.size() > 1) {
        // A box with a choice takes the next scripted answer; without one, Cancel
        // is the answer that changes the least.
        if (*next_answer < answers.size()) {
            press = answers[(*next_answer)++];
        } else {
            press = IDCANCEL;
        }
    }
    seen.pressed = press;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, press)));
    return seen;
}

// Parses the relay trace lines of one process ("PID:TID:Call dll.Func(args) ret=ADDR"
// and "PID:TID:Ret  dll.Func() retval=VALUE ret=ADDR").
std::vector<std::string> SplitArgs(const std::string& text) {
    std::vector<std::string> args;
    std::string current;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            current += c;
            if (c == '\\' && i + 1 < text.size()) {
                current += text[++i];
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
            current += c;
        } else if (c == ',') {
            args.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty() || !args.empty())
        args.push_back(current);
    return args;
}

std::vector<RelayCall> ParseRelay(const std::string& log, DWORD pid, unsigned long long base,
                                  unsigned long long size, bool have_range) {
    char prefix[32];
    snprintf(prefix, sizeof(prefix), "%04lx:", static_cast<unsigned long>(pid));
    std::vector<RelayCall> calls;
    std::vector<size_t> open; // calls waiting for their Ret line, innermost last
    for (const std::string& line : tools::SplitLines(log)) {
        if (line.compare(0, strlen(prefix), prefix) != 0)
            continue;
        size_t tid_end = line.find(':', strlen(prefix));
        if (tid_end == std::string::npos)
            continue;
        std::string rest = line.substr(tid_end + 1);
        size_t ret_pos = rest.rfind(" ret=");
        if (ret_pos == std::string::npos)
            continue;
        unsigned long long ret = strtoull(rest.c_str() + ret_pos + 5, nullptr, 16);
        bool from_program = !have_range || (ret >= base && ret < base + size);
        if (rest.compare(0, 5, "Call ") == 0) {
            size_t paren = rest.find('(');
            if (paren == std::string::npos || ret_pos < paren + 1 || rest[ret_pos - 1] != ')')
                continue;
            RelayCall call;
            call.function = rest.substr(5, paren - 5);
            call.args = SplitArgs(rest.substr(paren + 1, ret_pos - 1 - (paren + 1)));
            call.ret_address = ret;
            if (from_program) {
                calls.push_back(call);
                open.push_back(calls.size() - 1);
            } else {
                open.push_back(static_cast<size_t>(-1));
            }
        } else if (rest.compare(0, 5, "Ret  ") == 0) {
            if (open.empty())
                continue;
            size_t index = open.back();
            open.pop_back();
            size_t rv = rest.find("retval=");
            if (index != static_cast<size_t>(-1) && rv != std::string::npos) {
                calls[index].has_result = true;
                calls[index].result = strtoull(rest.c_str() + rv + 7, nullptr, 16);
            }
        }
    }
    return calls;
}

unsigned long long ArgNumber(const RelayCall& call, size_t i) {
    if (i >= call.args.size())
        return 0;
    return strtoull(call.args[i].c_str(), nullptr, 16);
}

// A 32-bit parameter (UINT, INT): the trace shows the whole 64-bit register,
// whose upper half holds whatever was there before.
unsigned long long Arg32(const RelayCall& call, size_t i) {
    return ArgNumber(call, i) & 0xffffffffULL;
}

// The string of a relay argument ("0012fe40 L\"...\""), undoing Wine's escapes.
// Returns false for a null pointer; *truncated is set when Wine cut it short.
bool ArgString(const RelayCall& call, size_t i, std::wstring* out, bool* truncated) {
    out->clear();
    if (i >= call.args.size())
        return false;
    const std::string& a = call.args[i];
    size_t q = a.find("L\"");
    if (q == std::string::npos)
        return false;
    size_t p = q + 2;
    while (p < a.size() && a[p] != '"') {
        if (a[p] == '\\' && p + 1 < a.size()) {
            char e = a[p + 1];
            if (e == 'n') {
                *out += L'\n';
                p += 2;
            } else if (e == 'r') {
                *out += L'\r';
                p += 2;
            } else if (e == 't') {
                *out += L'\t';
                p += 2;
            } else if (e == '"' || e == '\\') {
                *out += static_cast<wchar_t>(e);
                p += 2;
            } else {
                *out += static_cast<wchar_t>(strtoul(a.substr(p + 1, 4).c_str(), nullptr, 16));
                p += 5;
            }
        } else {
            *out += static_cast<wchar_t>(static_cast<unsigned char>(a[p]));
            ++p;
        }
    }
    if (a.compare(p, 4, "\"...") == 0)
        *truncated = true;
    return true;
}

std::string JsonOrNull(bool present, const std::wstring& text) {
    return present ? tools::JsonString(text) : "null";
}

std::string Error(const std::string& what, const std::string& detail) {
    return "{\"event\":\"error\",\"what\":" + tools::JsonString(tools::Widen(what)) +
           ",\"detail\":" + tools::JsonString(tools::Widen(detail)) + "}";
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Job job;
    if (!argv || argc != 2 || !LoadJob(argv[1], &job))
        return 10;
    tools::OutFile out(job.out);
    if (!out.ok())
        return 11;

    if (!job.reg_ops.empty()) {
        for (const std::string& op : job.reg_ops) {
            std::string result = tools::RunRegistryOp(op);
            if (!result.empty())
                out.Line(Error("registry setup", result));
        }
    }

    WNDCLASSW wc = {};
    wc.lpfnWndProc = ListenerProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"QuenlixHarnessListener";
    RegisterClassW(&wc);
    CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance,
                    nullptr);

    // Classes of the windows that exist before the run: a window the program
    // sends a message to may be gone by the time the trace is read.
    std::map<unsigned long long, std::wstring> classes;
    EnumWindows(RecordClass, reinterpret_cast<LPARAM>(&classes));

    unsigned long long relay_start = 0;
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!job.relay.empty() &&
            GetFileAttributesExW(job.relay.c_str(), GetFileExInfoStandard, &data))
            relay_start =
                (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    std::vector<wchar_t> environment = ChildEnvironment(job.child_debug);
    std::vector<wchar_t> cmdline(job.cmdline.begin(), job.cmdline.end());
    cmdline.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    g_collecting = true;
    if (!CreateProcessW(job.exe.c_str(), cmdline.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, environment.data(),
                        job.cwd.empty() ? nullptr : job.cwd.c_str(), &si, &pi)) {
        out.Line(Error("CreateProcess", std::to_string(GetLastError())));
        return 12;
    }

    std::set<HWND> handled;
    std::vector<SeenBox> boxes;
    size_t next_answer = 0;
    DWORD started = GetTickCount();
    bool timed_out = false;
    for (;;) {
        DWORD wait = MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, 15, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        if (wait == WAIT_OBJECT_0)
            break;
        ScanContext ctx{pi.dwProcessId, &handled, {}};
        EnumWindows(FindBoxes, reinterpret_cast<LPARAM>(&ctx));
        for (HWND box : ctx.found) {
            handled.insert(box);
            boxes.push_back(ReadAndAnswer(box, job.answers, &next_answer));
        }
        if (GetTickCount() - started > job.timeout_ms) {
            timed_out = true;
            TerminateProcess(pi.hProcess, 255);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
    }
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    g_collecting = false;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);

    std::vector<RelayCall> calls;
    if (!job.relay.empty()) {
        std::string log;
        if (!tools::ReadWholeFile(job.relay, &log)) {
            out.Line(Error("relay", "trace file cannot be read"));
        } else {
            if (relay_start <= log.size())
                log.erase(0, static_cast<size_t>(relay_start));
            unsigned long long base = 0, size = 0;
            bool have_range = ImageRange(job.exe, &base, &size);
            calls = ParseRelay(log, pi.dwProcessId, base, size, have_range);
        }
    }

    size_t box_index = 0;
    size_t broadcast_index = 0;
    for (const RelayCall& call : calls) {
        bool truncated = false;
        if (call.function == "user32.MessageBoxW") {
            std::wstring text, caption;
            bool has_text = ArgString(call, 1, &text, &truncated);
            bool has_caption = ArgString(call, 2, &caption, &truncated);
            unsigned long long type = Arg32(call, 3);
            if (box_index < boxes.size()) {
                const SeenBox& seen = boxes[box_index++];
                if (!truncated && (seen.text != text || seen.caption != caption))
                    out.Line(
                        Error("message box", "window text differs from the MessageBoxW arguments"));
                unsigned long long answer =
                    call.has_result ? call.result : static_cast<unsigned long long>(seen.pressed);
                out.Line("{\"event\":\"message\",\"caption\":" + tools::JsonString(seen.caption) +
                         ",\"text\":" + tools::JsonString(seen.text) + ",\"type\":" +
                         std::to_string(type) + ",\"answer\":" + std::to_string(answer) + "}");
            } else {
                out.Line(Error("message box", "MessageBoxW called but no box was seen"));
                out.Line("{\"event\":\"message\",\"caption\":" + JsonOrNull(has_caption, caption) +
                         ",\"text\":" + JsonOrNull(has_text, text) + ",\"type\":" +
                         std::to_string(type) + ",\"answer\":" + std::to_string(call.result) + "}");
            }
        } else if (call.function == "shell32.ShellExecuteW") {
            std::wstring verb, file, parameters, directory;
            bool has_verb = ArgString(call, 1, &verb, &truncated);
            bool has_file = ArgString(call, 2, &file, &truncated);
            bool has_parameters = ArgString(call, 3, &parameters, &truncated);
            bool has_directory = ArgString(call, 4, &directory, &truncated);
            if (truncated)
                out.Line(Error("shell", "argument cut short in the relay trace"));
            out.Line("{\"event\":\"shell\",\"verb\":" + JsonOrNull(has_verb, verb) +
                     ",\"file\":" + JsonOrNull(has_file, file) +
                     ",\"parameters\":" + JsonOrNull(has_parameters, parameters) +
                     ",\"directory\":" + JsonOrNull(has_directory, directory) +
                     ",\"show\":" + std::to_string(static_cast<int>(Arg32(call, 5))) + "}");
        } else if (call.function == "user32.SendMessageW") {
            unsigned long long window = ArgNumber(call, 0);
            auto cls = classes.find(window);
            out.Line("{\"event\":\"send\",\"class\":" +
                     (cls == classes.end() ? std::string("null") : tools::JsonString(cls->second)) +
                     ",\"message\":" + std::to_string(Arg32(call, 1)) +
                     ",\"wparam\":" + std::to_string(ArgNumber(call, 2)) +
                     ",\"lparam\":" + std::to_string(ArgNumber(call, 3)) + "}");
        } else if (call.function == "user32.SendMessageTimeoutW" && ArgNumber(call, 0) == 0xffff) {
            bool seen = broadcast_index < g_broadcast_texts.size();
            std::wstring text = seen ? g_broadcast_texts[broadcast_index++] : std::wstring();
            if (!seen)
                out.Line(Error("broadcast", "the listener window did not receive it"));
            out.Line("{\"event\":\"broadcast\",\"message\":" + std::to_string(Arg32(call, 1)) +
                     ",\"text\":" + JsonOrNull(seen, text) +
                     ",\"timeout\":" + std::to_string(Arg32(call, 5)) + "}");
        }
    }
    if (box_index < boxes.size())
        out.Line(Error("message box", "a box was seen that the trace does not show"));
    if (timed_out)
        out.Line(Error("timeout", "the program did not end in time and was killed"));
    out.Line("{\"event\":\"exit\",\"code\":" + std::to_string(code) + "}");

    if (!job.regout.empty()) {
        tools::OutFile reg(job.regout);
        for (const std::wstring& key : job.reg_dumps)
            reg.Line(tools::DumpKey(key));
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
