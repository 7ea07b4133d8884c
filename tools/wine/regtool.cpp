// Applies registry operations (see regops.h) from a UTF-8 file; results go to
// a second file as JSON lines. Used to prepare and inspect the test machine.
//   regtool.exe OPS_FILE OUT_FILE
#include <windows.h>

#include "common.h"
#include "regops.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3)
        return 1;
    std::string ops;
    if (!tools::ReadWholeFile(argv[1], &ops))
        return 2;
    tools::OutFile out(argv[2]);
    if (!out.ok())
        return 3;
    int failures = 0;
    for (const std::string& line : tools::SplitLines(ops)) {
        std::string result = tools::RunRegistryOp(line);
        if (result.compare(0, 9, "{\"error\":") == 0)
            ++failures;
        if (!result.empty())
            out.Line(result);
    }
    return failures ? 4 : 0;
}
