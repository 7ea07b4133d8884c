#include <stdarg.h>
#include <string.h>

#include <string>
#include <vector>

#include "patch/big5_format.h"
#include "tools/big5patch/big5patch.h"
#include "tools/big5patch/files.h"
#include "tools/big5patch/patched_copy.h"

namespace {

const char* const GeneralHelp =
    "usage: big5patch COMMAND ARGUMENTS...\n"
    "\n"
    "Makes, applies and inspects \"patch.big5\" files: the byte ranges that turn the shipped\n"
    "module into its Traditional Chinese form.\n"
    "\n"
    "commands:\n"
    "  make OLD NEW -o PATCH       write the patch that turns OLD into NEW\n"
    "  apply PATCH FILE [-o OUT]   apply PATCH to FILE, in place or into OUT\n"
    "  show PATCH                  list the header, the records and totals\n"
    "  verify PATCH OLD NEW        check that PATCH turns OLD into NEW exactly\n"
    "  help [COMMAND]              this text, or a command's own (also COMMAND --help)\n"
    "\n"
    "exit codes:\n"
    "  0   done; for verify: PATCH turns OLD into NEW\n"
    "  1   verify: the patched OLD differs from NEW\n"
    "  2   bad input: a file missing, lengths that differ, a malformed patch or one made\n"
    "      for a module of another length\n"
    "  3   I/O error: a read, write, create or rename failed\n"
    "  64  usage error\n";

struct Command {
    const char* Name;
    const char* Usage;
    const char* Help;
};

const Command Commands[] = {
    {"make", "make OLD NEW -o PATCH",
     "Compares OLD (the module as shipped) with NEW (its Traditional Chinese form), which must\n"
     "have the same length, and writes PATCH: one record for every run of differing bytes,\n"
     "holding NEW's bytes. PATCH is written under a temporary name and renamed into place\n"
     "once complete; a failed run leaves an earlier PATCH as it was. At most 65535 runs.\n"},
    {"apply", "apply PATCH FILE [-o OUT]",
     "Checks the whole of PATCH against FILE first; a malformed patch, or one made for a\n"
     "module of another length, changes nothing. Then writes the patched module to a\n"
     "temporary file beside the destination and renames it over FILE (or OUT): FILE is never\n"
     "left half patched.\n"},
    {"show", "show PATCH",
     "Prints ModuleSize and RecordCount, each record's module offset and length with its\n"
     "first bytes, and the totals. A malformed patch is listed up to the record where it\n"
     "breaks, followed by the file offset and the reason.\n"},
    {"verify", "verify PATCH OLD NEW",
     "Applies PATCH to a temporary copy of OLD and compares the result with NEW byte for\n"
     "byte. Exit code 0 when they are identical, 1 (with the first differing offset) when\n"
     "not, 2 when PATCH is malformed or was made for a module of another length than OLD.\n"},
};

const size_t CompareBlockSize = 64 * 1024;
const DWORD PreviewBytes = 16;

struct Output {
    FILE* Out;
    FILE* Err;
};

struct Arguments {
    std::vector<std::string> Positional;
    std::string OutputPath;
    bool HasOutput = false;
    bool Help = false;
    std::string Problem; // a usage error found while parsing
};

#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
int Fail(const Output& output, int code, const char* format, ...) {
    fputs("big5patch: ", output.Err);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(output.Err, format, arguments);
    va_end(arguments);
    fputc('\n', output.Err);
    return code;
}

const char* Plural(long long count) {
    return count == 1 ? "" : "s";
}

const Command* FindCommand(const char* name) {
    for (const Command& command : Commands)
        if (strcmp(command.Name, name) == 0)
            return &command;
    return NULL;
}

int UsageError(const Output& output, const Command& command, const std::string& problem) {
    fprintf(output.Err, "big5patch %s: %s\nusage: big5patch %s\nTry 'big5patch help %s'.\n",
            command.Name, problem.c_str(), command.Usage, command.Name);
    return ExitUsage;
}

void PrintCommandHelp(FILE* stream, const Command& command) {
    fprintf(stream, "usage: big5patch %s\n\n%s", command.Usage, command.Help);
}

Arguments ParseArguments(int argc, const char* const* argv, int first) {
    Arguments parsed;
    bool options = true;
    for (int i = first; i < argc; ++i) {
        std::string argument = argv[i];
        if (options && argument == "--") {
            options = false;
        } else if (options && (argument == "-h" || argument == "--help")) {
            parsed.Help = true;
        } else if (options && (argument == "-o" || argument == "--output")) {
            if (i + 1 == argc)
                parsed.Problem = "-o needs a file name";
            else if (parsed.HasOutput)
                parsed.Problem = "-o given twice";
            else
                parsed.OutputPath = argv[++i];
            parsed.HasOutput = true;
        } else if (options && argument.size() > 1 && argument[0] == '-') {
            parsed.Problem = "unknown option " + argument;
        } else {
            parsed.Positional.push_back(argument);
        }
    }
    return parsed;
}

FILE* OpenInput(const Output& output, const std::string& path, int* code) {
    FILE* file = OpenPath(path, "rb");
    if (file == NULL)
        *code =
            Fail(output, ExitBadInput, "cannot open %s: %s", path.c_str(), LastErrorText().c_str());
    return file;
}

void CloseAll(FILE* a, FILE* b = NULL, FILE* c = NULL) {
    for (FILE* file : {a, b, c})
        if (file != NULL)
            fclose(file);
}

// What is wrong with a patch that CheckBig5Patch refused, in words; the patch's header and the
// record at `at` are read again for the figures.
std::string DescribeBrokenPatch(FILE* patch, Big5PatchCheck check, long long at,
                                long long targetLength, const std::string& targetPath) {
    long long patchLength = GetStreamLength(patch);
    Big5PatchHeader header = {0, 0};
    Big5PatchRecord record = {0, 0};
    bool readable = fseek(patch, 0, SEEK_SET) == 0 && ReadBig5PatchHeader(patch, &header);
    bool recordRead = readable && patchLength - at >= Big5PatchRecordHeaderSize &&
                      fseek(patch, static_cast<long>(at), SEEK_SET) == 0 &&
                      ReadBig5PatchRecord(patch, &record);
    std::vector<char> buffer(targetPath.size() + 200);
    char* text = buffer.data();
    size_t size = buffer.size();
    switch (check) {
    case PatchTruncatedHeader:
        snprintf(text, size, "%lld bytes, shorter than the 6-byte header", patchLength);
        break;
    case PatchSizeMismatch:
        snprintf(text, size, "made for a module of %lu bytes, %s has %lld",
                 static_cast<unsigned long>(header.ModuleSize), targetPath.c_str(), targetLength);
        break;
    case PatchTruncatedRecord:
        if (!recordRead)
            snprintf(text, size, "a record header is cut off (%lld bytes left, RecordCount %u)",
                     patchLength - at, static_cast<unsigned>(header.RecordCount));
        else
            snprintf(text, size, "the record of %lu bytes has only %lld",
                     static_cast<unsigned long>(record.Length),
                     patchLength - at - Big5PatchRecordHeaderSize);
        break;
    case PatchRangeOutside:
        snprintf(text, size,
                 "the record at module offset %lu of %lu bytes reaches past the module's %lu",
                 static_cast<unsigned long>(record.Offset),
                 static_cast<unsigned long>(record.Length),
                 static_cast<unsigned long>(header.ModuleSize));
        break;
    case PatchTrailingBytes:
        snprintf(text, size, "%lld byte%s after the last of its %u record%s", patchLength - at,
                 Plural(patchLength - at), static_cast<unsigned>(header.RecordCount),
                 Plural(header.RecordCount));
        break;
    default:
        snprintf(text, size, "cannot be read");
        break;
    }
    return text;
}

// Checks the whole patch against a module of `targetLength` bytes; on failure reports it and
// stores the exit code.
bool CheckPatch(const Output& output, FILE* patch, const std::string& patchPath,
                long long targetLength, const std::string& targetPath, int* code) {
    long long at = 0;
    Big5PatchCheck check = CheckBig5Patch(patch, targetLength, &at);
    if (check == PatchValid)
        return true;
    std::string why = DescribeBrokenPatch(patch, check, at, targetLength, targetPath);
    if (check == PatchUnreadable)
        *code = Fail(output, ExitIoError, "cannot read %s at offset %lld: %s", patchPath.c_str(),
                     at, LastErrorText().c_str());
    else if (check == PatchSizeMismatch)
        *code = Fail(output, ExitBadInput, "%s does not fit %s: %s", patchPath.c_str(),
                     targetPath.c_str(), why.c_str());
    else
        *code = Fail(output, ExitBadInput, "%s is malformed at offset %lld: %s", patchPath.c_str(),
                     at, why.c_str());
    return false;
}

int RunMake(const Output& output, const Arguments& arguments) {
    if (arguments.Positional.size() != 2 || !arguments.HasOutput)
        return UsageError(output, Commands[0], "expects OLD NEW and -o PATCH");
    const std::string& oldPath = arguments.Positional[0];
    const std::string& newPath = arguments.Positional[1];
    const std::string& patchPath = arguments.OutputPath;
    int code = ExitOk;
    FILE* oldFile = OpenInput(output, oldPath, &code);
    FILE* newFile = oldFile != NULL ? OpenInput(output, newPath, &code) : NULL;
    if (newFile == NULL) {
        CloseAll(oldFile);
        return code;
    }
    std::string tempPath;
    FILE* patch = MakeTempBeside(patchPath, &tempPath);
    if (patch == NULL) {
        CloseAll(oldFile, newFile);
        return Fail(output, ExitIoError, "cannot create a file beside %s: %s", patchPath.c_str(),
                    LastErrorText().c_str());
    }
    unsigned long runs = 0;
    Big5PatchMake made = MakeBig5Patch(oldFile, newFile, patch, &runs);
    long long patchLength = GetStreamLength(patch);
    CopyModeBits(NULL, patch);
    bool closed = fclose(patch) == 0;
    long long oldLength = GetStreamLength(oldFile);
    long long newLength = GetStreamLength(newFile);
    CloseAll(oldFile, newFile);
    if (made == PatchMade && closed && RenameOver(tempPath, patchPath)) {
        long long changed = patchLength - Big5PatchHeaderSize -
                            Big5PatchRecordHeaderSize * static_cast<long long>(runs);
        fprintf(output.Out, "%s: %lu record%s, %lld changed byte%s of %lld\n", patchPath.c_str(),
                runs, Plural(runs), changed, Plural(changed), oldLength);
        return ExitOk;
    }
    std::string error = LastErrorText();
    RemovePath(tempPath);
    switch (made) {
    case PatchMade:
        return Fail(output, ExitIoError, "cannot write %s: %s", patchPath.c_str(), error.c_str());
    case MakeLengthsDiffer:
        return Fail(output, ExitBadInput, "%s has %lld bytes, %s has %lld: no patch between them",
                    oldPath.c_str(), oldLength, newPath.c_str(), newLength);
    case MakeTooLarge:
        return Fail(output, ExitBadInput, "%s has %lld bytes: a patch describes less than 4 GiB",
                    oldPath.c_str(), oldLength);
    case MakeTooManyRuns:
        return Fail(output, ExitBadInput,
                    "more than 65535 runs of differing bytes: RecordCount cannot count them");
    case MakeReadFailed:
        return Fail(output, ExitIoError, "cannot read %s or %s: %s", oldPath.c_str(),
                    newPath.c_str(), error.c_str());
    default:
        return Fail(output, ExitIoError, "cannot write %s: %s", patchPath.c_str(), error.c_str());
    }
}

int RunApply(const Output& output, const Arguments& arguments) {
    if (arguments.Positional.size() != 2)
        return UsageError(output, Commands[1], "expects PATCH FILE");
    const std::string& patchPath = arguments.Positional[0];
    const std::string& filePath = arguments.Positional[1];
    const std::string& outPath = arguments.HasOutput ? arguments.OutputPath : filePath;
    int code = ExitOk;
    FILE* patch = OpenInput(output, patchPath, &code);
    FILE* file = patch != NULL ? OpenInput(output, filePath, &code) : NULL;
    if (file == NULL) {
        CloseAll(patch);
        return code;
    }
    long long length = GetStreamLength(file);
    if (length < 0) {
        CloseAll(patch, file);
        return Fail(output, ExitIoError, "cannot find the length of %s: %s", filePath.c_str(),
                    LastErrorText().c_str());
    }
    if (!CheckPatch(output, patch, patchPath, length, filePath, &code)) {
        CloseAll(patch, file);
        return code;
    }
    std::string tempPath;
    FILE* copy = MakeTempBeside(outPath, &tempPath);
    if (copy == NULL) {
        CloseAll(patch, file);
        return Fail(output, ExitIoError, "cannot create a file beside %s: %s", outPath.c_str(),
                    LastErrorText().c_str());
    }
    bool written = WritePatchedModule(patch, file, length, copy);
    CopyModeBits(file, copy);
    bool closed = fclose(copy) == 0;
    Big5PatchHeader header = {0, 0};
    bool counted = fseek(patch, 0, SEEK_SET) == 0 && ReadBig5PatchHeader(patch, &header);
    CloseAll(patch, file);
    if (!written || !closed || !RenameOver(tempPath, outPath)) {
        std::string error = LastErrorText();
        RemovePath(tempPath);
        return Fail(output, ExitIoError, "cannot write %s: %s", outPath.c_str(), error.c_str());
    }
    unsigned applied = counted ? header.RecordCount : 0u;
    fprintf(output.Out, "%s: %u record%s applied\n", outPath.c_str(), applied, Plural(applied));
    return ExitOk;
}

int RunShow(const Output& output, const Arguments& arguments) {
    if (arguments.Positional.size() != 1 || arguments.HasOutput)
        return UsageError(output, Commands[2], "expects PATCH");
    const std::string& patchPath = arguments.Positional[0];
    int code = ExitOk;
    FILE* patch = OpenInput(output, patchPath, &code);
    if (patch == NULL)
        return code;
    long long patchLength = GetStreamLength(patch);
    Big5PatchHeader header;
    if (patchLength < 0 || fseek(patch, 0, SEEK_SET) != 0 || !ReadBig5PatchHeader(patch, &header)) {
        // Too short for a header, or unreadable: CheckPatch tells which.
        CheckPatch(output, patch, patchPath, 0, patchPath, &code);
        CloseAll(patch);
        return code;
    }
    // Records that start before the place where the patch breaks are whole.
    long long end = patchLength;
    long long at = 0;
    Big5PatchCheck check = CheckBig5Patch(patch, header.ModuleSize, &at);
    if (check != PatchValid)
        end = at;

    fprintf(output.Out, "%s: %lld bytes\nModuleSize   %lu\nRecordCount  %u\n", patchPath.c_str(),
            patchLength, static_cast<unsigned long>(header.ModuleSize),
            static_cast<unsigned>(header.RecordCount));
    if (header.RecordCount > 0)
        fprintf(output.Out, "%7s  %10s  %10s  %10s  %s\n", "record", "offset", "(hex)", "length",
                "first bytes");
    unsigned long long changed = 0;
    unsigned listed = 0;
    long long next = Big5PatchHeaderSize;
    while (listed < header.RecordCount && next < end) {
        Big5PatchRecord record;
        if (fseek(patch, static_cast<long>(next), SEEK_SET) != 0 ||
            !ReadBig5PatchRecord(patch, &record))
            break;
        BYTE preview[PreviewBytes];
        size_t shown = record.Length < PreviewBytes ? record.Length : PreviewBytes;
        if (fread(preview, 1, shown, patch) != shown)
            break;
        fprintf(output.Out, "%7u  %10lu  0x%08lx  %10lu  ", ++listed,
                static_cast<unsigned long>(record.Offset),
                static_cast<unsigned long>(record.Offset),
                static_cast<unsigned long>(record.Length));
        for (size_t i = 0; i < shown; ++i)
            fprintf(output.Out, "%s%02x", i > 0 ? " " : "", preview[i]);
        fputs(record.Length > shown ? " ...\n" : "\n", output.Out);
        changed += record.Length;
        next += Big5PatchRecordHeaderSize + static_cast<long long>(record.Length);
    }
    if (check != PatchValid) {
        CheckPatch(output, patch, patchPath, header.ModuleSize, patchPath, &code);
        CloseAll(patch);
        return code;
    }
    CloseAll(patch);
    fprintf(output.Out, "total: %u record%s, %llu changed byte%s", listed, Plural(listed), changed,
            Plural(changed));
    if (header.ModuleSize > 0)
        fprintf(output.Out, " (%.2f%% of the module)",
                100.0 * static_cast<double>(changed) / header.ModuleSize);
    fputc('\n', output.Out);
    return ExitOk;
}

// Compares two streams from their current positions to their ends; -1 when they are equal,
// else the first offset where they differ (or where the shorter one ends).
long long FirstDifference(FILE* a, FILE* b, int* byteA, int* byteB, bool* failed) {
    static BYTE blockA[CompareBlockSize];
    static BYTE blockB[CompareBlockSize];
    long long position = 0;
    *failed = false;
    for (;;) {
        size_t countA = fread(blockA, 1, CompareBlockSize, a);
        size_t countB = fread(blockB, 1, CompareBlockSize, b);
        if (ferror(a) || ferror(b)) {
            *failed = true;
            return -1;
        }
        size_t common = countA < countB ? countA : countB;
        if (memcmp(blockA, blockB, common) != 0 || countA != countB) {
            size_t i = 0;
            while (i < common && blockA[i] == blockB[i])
                ++i;
            *byteA = i < countA ? blockA[i] : -1;
            *byteB = i < countB ? blockB[i] : -1;
            return position + static_cast<long long>(i);
        }
        if (countA == 0)
            return -1;
        position += static_cast<long long>(countA);
    }
}

int RunVerify(const Output& output, const Arguments& arguments) {
    if (arguments.Positional.size() != 3 || arguments.HasOutput)
        return UsageError(output, Commands[3], "expects PATCH OLD NEW");
    const std::string& patchPath = arguments.Positional[0];
    const std::string& oldPath = arguments.Positional[1];
    const std::string& newPath = arguments.Positional[2];
    int code = ExitOk;
    FILE* patch = OpenInput(output, patchPath, &code);
    FILE* oldFile = patch != NULL ? OpenInput(output, oldPath, &code) : NULL;
    FILE* newFile = oldFile != NULL ? OpenInput(output, newPath, &code) : NULL;
    if (newFile == NULL) {
        CloseAll(patch, oldFile);
        return code;
    }
    long long oldLength = GetStreamLength(oldFile);
    long long newLength = GetStreamLength(newFile);
    if (oldLength < 0 || newLength < 0) {
        CloseAll(patch, oldFile, newFile);
        return Fail(output, ExitIoError, "cannot find the lengths of %s and %s: %s",
                    oldPath.c_str(), newPath.c_str(), LastErrorText().c_str());
    }
    if (!CheckPatch(output, patch, patchPath, oldLength, oldPath, &code)) {
        CloseAll(patch, oldFile, newFile);
        return code;
    }
    if (oldLength != newLength) {
        CloseAll(patch, oldFile, newFile);
        return Fail(output, ExitMismatch, "%s patched has %lld bytes, %s has %lld", oldPath.c_str(),
                    oldLength, newPath.c_str(), newLength);
    }
    // Any patch that passes the check can be verified, whatever the order of its records:
    // the result is built the way apply builds it, then compared.
    std::string tempPath;
    FILE* copy = MakeTempFile(&tempPath);
    if (copy == NULL) {
        CloseAll(patch, oldFile, newFile);
        return Fail(output, ExitIoError, "cannot create a temporary file: %s",
                    LastErrorText().c_str());
    }
    int patchedByte = -1;
    int newByte = -1;
    bool failed = !WritePatchedModule(patch, oldFile, oldLength, copy) ||
                  fseek(copy, 0, SEEK_SET) != 0 || fseek(newFile, 0, SEEK_SET) != 0;
    long long difference = -1;
    if (!failed)
        difference = FirstDifference(copy, newFile, &patchedByte, &newByte, &failed);
    std::string error = LastErrorText();
    CloseAll(patch, oldFile, newFile);
    fclose(copy);
    RemovePath(tempPath);
    if (failed)
        return Fail(output, ExitIoError, "cannot verify: %s", error.c_str());
    if (difference >= 0)
        return Fail(output, ExitMismatch,
                    "%s does not turn %s into %s: first difference at offset %lld "
                    "(patched 0x%02x, expected 0x%02x)",
                    patchPath.c_str(), oldPath.c_str(), newPath.c_str(), difference, patchedByte,
                    newByte);
    fprintf(output.Out, "%s turns %s into %s\n", patchPath.c_str(), oldPath.c_str(),
            newPath.c_str());
    return ExitOk;
}

} // namespace

int RunBig5Patch(int argc, const char* const* argv, FILE* out, FILE* err) {
    Output output = {out, err};
    if (argc < 2) {
        fputs(GeneralHelp, err);
        return ExitUsage;
    }
    std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        if (name != "help" || argc == 2) {
            fputs(GeneralHelp, out);
            return ExitOk;
        }
        const Command* command = FindCommand(argv[2]);
        if (command == NULL || argc > 3)
            return Fail(output, ExitUsage, "no help for '%s'; commands: make apply show verify",
                        argv[2]);
        PrintCommandHelp(out, *command);
        return ExitOk;
    }
    const Command* command = FindCommand(name.c_str());
    if (command == NULL)
        return Fail(output, ExitUsage, "unknown command '%s'; try 'big5patch --help'",
                    name.c_str());
    Arguments arguments = ParseArguments(argc, argv, 2);
    if (arguments.Help) {
        PrintCommandHelp(out, *command);
        return ExitOk;
    }
    if (!arguments.Problem.empty())
        return UsageError(output, *command, arguments.Problem);
    if (command == &Commands[0])
        return RunMake(output, arguments);
    if (command == &Commands[1])
        return RunApply(output, arguments);
    if (command == &Commands[2])
        return RunShow(output, arguments);
    return RunVerify(output, arguments);
}
