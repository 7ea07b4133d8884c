#include "tools/big5patch/big5patch.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>

#include "tools/big5patch/files.h"

// Windows hands over UTF-16 arguments; paths travel as UTF-8 inside the tool.
int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(NarrowArgument(argv[i]));
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(argument.c_str());
    return RunBig5Patch(argc, pointers.data(), stdout, stderr);
}

#else

int main(int argc, char** argv) {
    return RunBig5Patch(argc, argv, stdout, stderr);
}

#endif
