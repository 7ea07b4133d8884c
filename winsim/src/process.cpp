// One run of the setup program as a simulated process, and the end of a process.
#include "state.h"

#include <cstdlib>

namespace winsim {

using namespace detail;

void SimulateLoadedModule() {
    State& s = S();
    s.mutexes[u"mutex_quenlix_unicode"].foreign = true;
    HWND hwnd = AddWindow(u"UIQuenLIX");
    for (Window& w : s.windows)
        if (w.hwnd == hwnd)
            w.fromLoadedModule = true;
    HoldFileInUse(u"C:\\Windows\\system32\\quenlix.ime");
}

void EndProcess() {
    State& s = S();
    ProcessLeftovers left;
    left.registryHandles = static_cast<int>(s.keyHandles.size());
    left.kernelHandles = static_cast<int>(s.kernelHandles.size());
    left.globalAllocations = static_cast<int>(s.allocations.size());
    left.fileStreams = static_cast<int>(s.streams.size());
    s.leftovers = left;

    // What the process left open, the system closes.
    auto streams = s.streams;
    for (auto& entry : streams)
        fclose(entry.second);
    s.streams.clear();
    for (void* p : s.allocations)
        free(p);
    s.allocations.clear();
    s.keyHandles.clear();
    s.kernelHandles.clear();

    // Other processes' hold on the module lasts as long as this run.
    s.mutexes.clear();
    s.inUse.clear();
    std::vector<Window> kept;
    for (const Window& w : s.windows)
        if (!w.fromLoadedModule)
            kept.push_back(w);
    s.windows = kept;
}

ProcessLeftovers LastProcessLeftovers() {
    return S().leftovers;
}

int RunProcess(EntryPoint entry) {
    State& s = S();
    ClearCalls();
    s.lastError = 0;
    s.commandLineBuffer = s.commandLine;
    std::u16string startDirectory = s.cwd;

    // WinMain's narrow argument: the command line after the program path.
    size_t argumentsStart = 0;
    ProgramToken(s.commandLine, &argumentsStart);
    std::string args = Utf8(s.commandLine.substr(argumentsStart));
    std::vector<char> argBuffer(args.begin(), args.end());
    argBuffer.push_back('\0');

    int code = entry(ProgramInstance(), nullptr, argBuffer.data(), SW_SHOWNORMAL);

    Event e;
    e.kind = "exit";
    EventField f;
    f.name = "code";
    f.kind = EventField::Number;
    f.number = code;
    e.fields.push_back(f);
    Record(std::move(e));
    EndProcess();
    s.cwd = startDirectory; // the next process starts where this one was started
    return code;
}

} // namespace winsim
