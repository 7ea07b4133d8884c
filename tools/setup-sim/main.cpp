// setup-sim: runs the setup program once, as one process on a simulated Windows machine
// kept in a folder, and reports what it did.
#include <windows.h>
#include <winsim/control.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const int kUsageError = 64;   // EX_USAGE
const int kMachineError = 70; // EX_SOFTWARE: the simulated machine itself failed

const char kUsage[] =
    "usage: setup-sim [--machine DIR] [--cwd WINPATH] [--answer yes|no|cancel|ok]...\n"
    "                 [--lang 0xNNNN] [--loaded] [--fail FUNCTION:N[:ERROR]]... [--calls]\n"
    "                 [--json] [--] COMMAND_LINE\n"
    "\n"
    "  COMMAND_LINE   the whole process command line, e.g. '\"C:\\dl\\setup.exe\" /u'\n"
    "  --machine DIR  the machine folder (default ./machine; created when missing)\n"
    "  --cwd WINPATH  current directory of the process (default C:\\)\n"
    "  --answer A     answer for the next message box that asks something\n"
    "  --lang ID      system default language, kept with the machine (default 0x0804)\n"
    "  --loaded       the input method is loaded in another process during this run\n"
    "  --fail F:N     the Nth call of F fails (optionally with system error ERROR)\n"
    "  --calls        also list the calls that --fail can make fail, in order, before the exit\n"
    "  --json         one JSON object per event instead of text\n"
    "\n"
    "The exit status is the program's exit code.\n";

int Usage(const std::string& problem) {
    std::cerr << "setup-sim: " << problem << "\n\n" << kUsage;
    return kUsageError;
}

bool ParseNumber(const std::string& text, int base, unsigned long max, unsigned long* out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, base);
    if (*end || errno || v > max || text[0] == '-')
        return false;
    *out = v;
    return true;
}

int AnswerFromWord(std::string word) {
    for (char& c : word)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (word == "yes" || word == "y")
        return IDYES;
    if (word == "no" || word == "n")
        return IDNO;
    if (word == "cancel" || word == "c")
        return IDCANCEL;
    if (word == "ok" || word == "o")
        return IDOK;
    if (word == "retry" || word == "r")
        return IDRETRY;
    if (word == "abort" || word == "a")
        return IDABORT;
    if (word == "ignore" || word == "i")
        return IDIGNORE;
    return 0;
}

const char* ButtonsPrompt(UINT type) {
    switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
        return "[o]k / [c]ancel";
    case MB_ABORTRETRYIGNORE:
        return "[a]bort / [r]etry / [i]gnore";
    case MB_YESNOCANCEL:
        return "[y]es / [n]o / [c]ancel";
    case MB_YESNO:
        return "[y]es / [n]o";
    case MB_RETRYCANCEL:
        return "[r]etry / [c]ancel";
    default:
        return "[o]k";
    }
}

// A call the program made, in the form of an event: "call" with its function and number.
winsim::Event CallEvent(const winsim::Call& call) {
    winsim::Event e;
    e.kind = "call";
    winsim::EventField f;
    f.name = "function";
    f.kind = winsim::EventField::Text;
    f.text = winsim::Utf16(call.function);
    e.fields.push_back(f);
    f = winsim::EventField();
    f.name = "number";
    f.kind = winsim::EventField::Number;
    f.number = call.number;
    e.fields.push_back(f);
    return e;
}

struct Options {
    std::string machine = "machine";
    std::string cwd;
    std::vector<int> answers;
    bool haveLanguage = false;
    LANGID language = 0x0804;
    bool loaded = false;
    struct FaultSpec {
        std::string function;
        unsigned n;
        DWORD error;
    };
    std::vector<FaultSpec> faults;
    bool json = false;
    bool calls = false;
    bool haveCommandLine = false;
    std::string commandLine;
};

// Returns 0 when parsed, else the exit status to end with.
int Parse(int argc, char** argv, Options* o) {
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (options && arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                inlineValue = true;
            }
        }
        auto needValue = [&](std::string* out) {
            if (inlineValue) {
                *out = value;
                return true;
            }
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        if (!options || arg.empty() || arg[0] != '-' || arg == "-") {
            if (o->haveCommandLine)
                return Usage("more than one COMMAND_LINE (quote the whole command line as one "
                             "argument)");
            o->commandLine = arg;
            o->haveCommandLine = true;
        } else if (arg == "--") {
            options = false;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return -1;
        } else if (arg == "--json") {
            o->json = true;
        } else if (arg == "--calls") {
            o->calls = true;
        } else if (arg == "--loaded") {
            o->loaded = true;
        } else if (arg == "--machine") {
            if (!needValue(&o->machine) || o->machine.empty())
                return Usage("--machine needs a folder");
        } else if (arg == "--cwd") {
            if (!needValue(&o->cwd) || o->cwd.empty())
                return Usage("--cwd needs a Windows path");
        } else if (arg == "--answer") {
            std::string word;
            int answer = 0;
            if (!needValue(&word) || !(answer = AnswerFromWord(word)))
                return Usage("--answer takes yes, no, cancel or ok");
            o->answers.push_back(answer);
        } else if (arg == "--lang") {
            std::string text;
            unsigned long v;
            if (!needValue(&text) || !ParseNumber(text, 0, 0xFFFF, &v))
                return Usage("--lang takes a language identifier such as 0x0404");
            o->haveLanguage = true;
            o->language = static_cast<LANGID>(v);
        } else if (arg == "--fail") {
            std::string text;
            if (!needValue(&text))
                return Usage("--fail needs FUNCTION:N");
            size_t c1 = text.find(':');
            size_t c2 = c1 == std::string::npos ? c1 : text.find(':', c1 + 1);
            unsigned long n = 0, error = 0;
            if (c1 == std::string::npos || c1 == 0 ||
                !ParseNumber(text.substr(c1 + 1, c2 == std::string::npos ? c2 : c2 - c1 - 1), 10,
                             0xFFFFFFFFul, &n) ||
                n == 0 ||
                (c2 != std::string::npos &&
                 !ParseNumber(text.substr(c2 + 1), 0, 0xFFFFFFFFul, &error)))
                return Usage("--fail takes FUNCTION:N or FUNCTION:N:ERROR with N from 1");
            o->faults.push_back(
                {text.substr(0, c1), static_cast<unsigned>(n), static_cast<DWORD>(error)});
        } else {
            return Usage("unknown option " + arg);
        }
    }
    if (!o->haveCommandLine)
        return Usage("COMMAND_LINE missing");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (int rc = Parse(argc, argv, &o))
        return rc < 0 ? 0 : rc;

    std::string error;
    if (!winsim::LoadMachine(o.machine, &error)) {
        std::cerr << "setup-sim: " << error << "\n";
        return kMachineError;
    }
    if (o.haveLanguage)
        winsim::SetSystemLanguage(o.language);
    winsim::SetCommandLine(winsim::Utf16(o.commandLine));
    if (!o.cwd.empty() && !winsim::SetCurrentDirectory(winsim::Utf16(o.cwd)))
        return Usage("--cwd " + o.cwd + " is not a directory on the machine");
    for (int answer : o.answers)
        winsim::QueueAnswer(answer);
    for (const auto& f : o.faults) {
        if (!winsim::Fail(f.function, f.n, f.error)) {
            std::string known;
            for (const std::string& name : winsim::FailableFunctions())
                known += " " + name;
            return Usage("--fail: unknown function " + f.function + "; known:" + known);
        }
    }
    if (o.loaded)
        winsim::SimulateLoadedModule();

    FILE* out = stdout;
    bool prompted = false;
    if (isatty(STDIN_FILENO)) {
        // Ask the person at the terminal; keep stdout clean for JSON.
        FILE* talk = o.json ? stderr : stdout;
        winsim::SetMessageBoxPrompt([&, talk](const winsim::MessageBoxRequest& request) {
            winsim::Event box;
            box.kind = "message";
            winsim::EventField f;
            f.kind = winsim::EventField::Text;
            f.name = "caption";
            f.text = request.caption;
            box.fields.push_back(f);
            f.name = "text";
            f.text = request.text;
            box.fields.push_back(f);
            f.kind = winsim::EventField::Number;
            f.name = "type";
            f.number = request.type;
            box.fields.push_back(f);
            for (;;) {
                fprintf(talk, "%s  answer %s: ", winsim::EventText(box).c_str(),
                        ButtonsPrompt(request.type));
                fflush(talk);
                char line[64];
                if (!fgets(line, sizeof line, stdin))
                    return IDCANCEL;
                std::string word(line);
                while (!word.empty() && isspace(static_cast<unsigned char>(word.back())))
                    word.pop_back();
                if (int answer = AnswerFromWord(word)) {
                    prompted = true;
                    return answer;
                }
            }
        });
    }
    auto print = [&](const winsim::Event& e) {
        if (o.json) {
            fprintf(out, "%s\n", winsim::EventJson(e).c_str());
        } else if (prompted && e.kind == "message") {
            prompted = false; // the box is already on screen; only the answer is news
            fprintf(out, "  answer: %s\n", winsim::AnswerName(e.Number("answer")));
        } else {
            fputs(winsim::EventText(e).c_str(), out);
        }
        fflush(out);
    };
    winsim::SetEventListener([&](const winsim::Event& e) {
        // The calls come before the exit event, which stays the last line.
        if (o.calls && e.kind == "exit") {
            // As text, each call in the form --fail takes.
            for (const winsim::Call& call : winsim::Calls()) {
                if (o.json)
                    print(CallEvent(call));
                else
                    fprintf(out, "call       %s:%u\n", call.function.c_str(), call.number);
            }
        }
        print(e);
    });

    int code = winsim::RunProcess();

    if (!winsim::SaveMachine(&error)) {
        std::cerr << "setup-sim: " << error << "\n";
        return kMachineError;
    }
    return code;
}
