// The tool's commands as a packager's script meets them: results, messages and exit codes.
#include <gmock/gmock.h>
#include <stdlib.h>
#include <sys/wait.h>

#include "test_files.h"

namespace {

using ::testing::HasSubstr;

class Big5PatchTool : public ScratchDirectory {
  protected:
    Bytes Old = RandomBytes(150000, 11);
    Bytes New = ChangeRanges(Old, {{0, 3}, {70000, 1}, {70002, 66000}, {149990, 10}});

    void SetUp() override {
        ScratchDirectory::SetUp();
        Write("old", Old);
        Write("new", New);
    }
};

TEST_F(Big5PatchTool, MakeApplyVerify) {
    ToolResult made = Run({"make", "@old", "@new", "-o", "@patch"});
    ASSERT_EQ(made.Code, ExitOk) << made.Err;
    EXPECT_THAT(made.Out, HasSubstr("4 records, 66014 changed bytes of 150000"));

    ToolResult copied = Run({"apply", "@patch", "@old", "-o", "@out"});
    ASSERT_EQ(copied.Code, ExitOk) << copied.Err;
    EXPECT_EQ(Read("out"), New);
    EXPECT_EQ(Read("old"), Old); // -o leaves FILE alone

    EXPECT_EQ(Run({"verify", "@patch", "@old", "@new"}).Code, ExitOk);

    ToolResult inPlace = Run({"apply", "@patch", "@old"});
    ASSERT_EQ(inPlace.Code, ExitOk) << inPlace.Err;
    EXPECT_EQ(Read("old"), New);
    // No temporary file stays behind.
    EXPECT_EQ(Names(), (std::vector<std::string>{"new", "old", "out", "patch"}));
}

TEST_F(Big5PatchTool, FilesGetTheirUsualPermissions) {
    // A patch is for shipping: not the private bits of a temporary file. A module patched in
    // place keeps its own bits.
    mode_t mask = umask(022);
    ASSERT_EQ(chmod(PathOf("old").c_str(), 0751), 0);
    EXPECT_EQ(Run({"make", "@old", "@new", "-o", "@patch"}).Code, ExitOk);
    EXPECT_EQ(Run({"apply", "@patch", "@old"}).Code, ExitOk);
    umask(mask);
    struct stat status;
    ASSERT_EQ(stat(PathOf("patch").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(PathOf("old").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0751u);
}

TEST_F(Big5PatchTool, VerifyNamesTheFirstDifference) {
    ASSERT_EQ(Run({"make", "@old", "@new", "-o", "@patch"}).Code, ExitOk);
    Bytes almost = New;
    almost[70001] ^= 0x10; // an equal byte between two records
    Write("almost", almost);
    ToolResult differs = Run({"verify", "@patch", "@old", "@almost"});
    EXPECT_EQ(differs.Code, ExitMismatch);
    EXPECT_THAT(differs.Err, HasSubstr("first difference at offset 70001"));

    Bytes longer = New;
    longer.push_back(0);
    Write("longer", longer);
    ToolResult length = Run({"verify", "@patch", "@old", "@longer"});
    EXPECT_EQ(length.Code, ExitMismatch);
    EXPECT_THAT(length.Err, HasSubstr("150001"));
}

TEST_F(Big5PatchTool, MakeRefusesBadInputAndKeepsAnEarlierPatch) {
    ASSERT_EQ(Run({"make", "@old", "@new", "-o", "@patch"}).Code, ExitOk);
    Bytes patch = Read("patch");

    ToolResult missing = Run({"make", "@old", "@absent", "-o", "@patch"});
    EXPECT_EQ(missing.Code, ExitBadInput);
    EXPECT_THAT(missing.Err, HasSubstr("cannot open " + PathOf("absent")));

    Write("short", Bytes(Old.begin(), Old.end() - 1));
    ToolResult lengths = Run({"make", "@old", "@short", "-o", "@patch"});
    EXPECT_EQ(lengths.Code, ExitBadInput);
    EXPECT_THAT(lengths.Err, HasSubstr("has 150000 bytes"));
    EXPECT_THAT(lengths.Err, HasSubstr("has 149999"));

    Bytes alternate = Old;
    for (size_t i = 0; i < 2 * 65536; i += 2)
        alternate[i] ^= 1;
    Write("alternate", alternate);
    ToolResult runs = Run({"make", "@old", "@alternate", "-o", "@patch"});
    EXPECT_EQ(runs.Code, ExitBadInput);
    EXPECT_THAT(runs.Err, HasSubstr("65535"));

    EXPECT_EQ(Read("patch"), patch);
    EXPECT_EQ(Names(), (std::vector<std::string>{"alternate", "new", "old", "patch", "short"}));

    ToolResult nowhere = Run({"make", "@old", "@new", "-o", "@absent/patch"});
    EXPECT_EQ(nowhere.Code, ExitIoError);
}

TEST_F(Big5PatchTool, ApplyRefusesMissingFilesAndUnwritableDestinations) {
    ASSERT_EQ(Run({"make", "@old", "@new", "-o", "@patch"}).Code, ExitOk);
    EXPECT_EQ(Run({"apply", "@absent", "@old"}).Code, ExitBadInput);
    EXPECT_EQ(Run({"apply", "@patch", "@absent"}).Code, ExitBadInput);
    ToolResult directory = Run({"apply", "@patch", "@."});
    EXPECT_EQ(directory.Code, ExitBadInput);
    EXPECT_THAT(directory.Err, HasSubstr("cannot open"));
    ToolResult nowhere = Run({"apply", "@patch", "@old", "-o", "@absent/out"});
    EXPECT_EQ(nowhere.Code, ExitIoError);
    EXPECT_THAT(nowhere.Err, HasSubstr("absent/out"));
    EXPECT_EQ(Read("old"), Old);
}

// Broken patches for a module of 100 bytes, each with the file offset where it breaks.
struct BrokenCase {
    const char* Name;
    Bytes Patch;
    long long Offset;
    const char* Reason;
};
void PrintTo(const BrokenCase& c, std::ostream* os) {
    *os << c.Name;
}

Bytes Cut(Bytes bytes, size_t length) {
    bytes.resize(length);
    return bytes;
}

Bytes WithTrailing(Bytes bytes) {
    bytes.push_back(0);
    return bytes;
}

const Bytes Good = HandPatch(100, {{10, {1, 2, 3}}, {50, {4}}});

const BrokenCase BrokenCases[] = {
    {"header cut", Cut(Good, 5), 0, "shorter than the 6-byte header"},
    {"second record header cut", Cut(Good, 6 + 11 + 4), 17, "record header is cut off"},
    {"first record bytes cut", Cut(Good, 6 + 8 + 2), 6, "the record of 3 bytes has only 2"},
    {"range past the module", HandPatch(100, {{10, {1}}, {98, {1, 2, 3}}}), 15,
     "module offset 98 of 3 bytes reaches past the module's 100"},
    {"bytes after the last record", WithTrailing(Good), 26,
     "1 byte after the last of its 2 records"},
};

class BrokenPatch : public Big5PatchTool, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenPatch, RefusedWithItsOffsetAndNothingWritten) {
    const BrokenCase& broken = GetParam();
    Bytes module = RandomBytes(100, 1);
    Write("module", module);
    Write("broken", broken.Patch);
    std::string where = "malformed at offset " + std::to_string(broken.Offset);

    ToolResult apply = Run({"apply", "@broken", "@module"});
    EXPECT_EQ(apply.Code, ExitBadInput);
    EXPECT_THAT(apply.Err, HasSubstr(where));
    EXPECT_THAT(apply.Err, HasSubstr(broken.Reason));
    EXPECT_EQ(Read("module"), module);
    EXPECT_EQ(Names(), (std::vector<std::string>{"broken", "module", "new", "old"}));

    ToolResult show = Run({"show", "@broken"});
    EXPECT_EQ(show.Code, ExitBadInput);
    EXPECT_THAT(show.Err, HasSubstr(where));

    Write("same", module);
    EXPECT_EQ(Run({"verify", "@broken", "@module", "@same"}).Code, ExitBadInput);
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenPatch, ::testing::ValuesIn(BrokenCases),
                         CaseName<BrokenCase>);

TEST_F(Big5PatchTool, PatchForAnotherLengthDoesNotFit) {
    Write("patch", Good);
    Write("module", RandomBytes(99, 1));
    ToolResult apply = Run({"apply", "@patch", "@module"});
    EXPECT_EQ(apply.Code, ExitBadInput);
    EXPECT_THAT(apply.Err, HasSubstr("made for a module of 100 bytes"));
    EXPECT_THAT(apply.Err, HasSubstr("has 99"));
    EXPECT_EQ(Read("module"), RandomBytes(99, 1));
}

TEST_F(Big5PatchTool, ShowListsHeaderRecordsAndTotals) {
    Bytes longRecord(20);
    for (size_t i = 0; i < longRecord.size(); ++i)
        longRecord[i] = static_cast<unsigned char>(0xA0 + i);
    Write("patch", HandPatch(1000, {{10, {1, 2, 3}}, {300, longRecord}}));
    ToolResult show = Run({"show", "@patch"});
    ASSERT_EQ(show.Code, ExitOk) << show.Err;
    EXPECT_EQ(show.Out, PathOf("patch") +
                            ": 45 bytes\n"
                            "ModuleSize   1000\n"
                            "RecordCount  2\n"
                            " record      offset       (hex)      length  first bytes\n"
                            "      1          10  0x0000000a           3  01 02 03\n"
                            "      2         300  0x0000012c          20  a0 a1 a2 a3 a4 a5 a6 "
                            "a7 a8 a9 aa ab ac ad ae af ...\n"
                            "total: 2 records, 23 changed bytes (2.30% of the module)\n");
}

TEST_F(Big5PatchTool, ShowListsOnlyTheWholeRecordsBeforeABreak) {
    // A record whose header reads but whose range or bytes are wrong is not listed.
    for (const Bytes& broken : {Cut(Good, 6 + 11 + 4), Cut(Good, 6 + 11 + 8),
                                HandPatch(100, {{10, {1, 2, 3}}, {98, {1, 2, 3}}})}) {
        Write("patch", broken);
        ToolResult show = Run({"show", "@patch"});
        EXPECT_EQ(show.Code, ExitBadInput);
        EXPECT_THAT(show.Out, HasSubstr("      1          10"));
        EXPECT_THAT(show.Out, ::testing::Not(HasSubstr("      2")));
        EXPECT_THAT(show.Out, ::testing::Not(HasSubstr("total")));
        EXPECT_THAT(show.Err, HasSubstr("malformed at offset 17"));
    }
}

struct UsageCase {
    const char* Name;
    std::vector<std::string> Arguments;
    int Code;
    const char* Stream; // "out" or "err"
    const char* Text;
};
void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.Name;
}

const UsageCase UsageCases[] = {
    {"no arguments", {}, ExitUsage, "err", "exit codes:"},
    {"help", {"--help"}, ExitOk, "out", "64  usage error"},
    {"help of a command",
     {"help", "apply"},
     ExitOk,
     "out",
     "usage: big5patch apply PATCH FILE [-o OUT]"},
    {"command help option",
     {"verify", "--help"},
     ExitOk,
     "out",
     "usage: big5patch verify PATCH OLD NEW"},
    {"help of an unknown command",
     {"help", "frobnicate"},
     ExitUsage,
     "err",
     "no help for 'frobnicate'"},
    {"unknown command", {"frobnicate"}, ExitUsage, "err", "unknown command 'frobnicate'"},
    {"make without -o",
     {"make", "a", "b"},
     ExitUsage,
     "err",
     "usage: big5patch make OLD NEW -o PATCH"},
    {"-o without a name", {"make", "a", "b", "-o"}, ExitUsage, "err", "-o needs a file name"},
    {"-o twice", {"make", "a", "b", "-o", "p", "-o", "q"}, ExitUsage, "err", "-o given twice"},
    {"apply with three names", {"apply", "p", "f", "g"}, ExitUsage, "err", "expects PATCH FILE"},
    {"unknown option", {"apply", "-x", "p", "f"}, ExitUsage, "err", "unknown option -x"},
    {"show without a patch", {"show"}, ExitUsage, "err", "expects PATCH"},
    {"verify with two names", {"verify", "p", "o"}, ExitUsage, "err", "expects PATCH OLD NEW"},
};

class Usage : public ScratchDirectory, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, ExitCodeAndText) {
    const UsageCase& usage = GetParam();
    std::vector<std::string> words = {"big5patch"};
    words.insert(words.end(), usage.Arguments.begin(), usage.Arguments.end());
    std::vector<const char*> argv;
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    int code = RunBig5Patch(static_cast<int>(argv.size()), argv.data(), out, err);
    Bytes outBytes = StreamBytes(out);
    Bytes errBytes = StreamBytes(err);
    fclose(out);
    fclose(err);
    std::string text = std::string(usage.Stream) == "out"
                           ? std::string(outBytes.begin(), outBytes.end())
                           : std::string(errBytes.begin(), errBytes.end());
    EXPECT_EQ(code, usage.Code);
    EXPECT_THAT(text, HasSubstr(usage.Text));
}

INSTANTIATE_TEST_SUITE_P(Cases, Usage, ::testing::ValuesIn(UsageCases), CaseName<UsageCase>);

// The built program itself: its exit status is what a script tests.
TEST_F(Big5PatchTool, ProgramExitStatus) {
    ASSERT_EQ(Run({"make", "@old", "@new", "-o", "@patch"}).Code, ExitOk);
    auto status = [&](const std::string& arguments) {
        std::string command = std::string(BIG5PATCH_EXE) + " " + arguments + " >/dev/null 2>&1";
        int result = system(command.c_str());
        return WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    };
    EXPECT_EQ(
        status("verify '" + PathOf("patch") + "' '" + PathOf("old") + "' '" + PathOf("new") + "'"),
        ExitOk);
    EXPECT_EQ(
        status("verify '" + PathOf("patch") + "' '" + PathOf("old") + "' '" + PathOf("old") + "'"),
        ExitMismatch);
    EXPECT_EQ(status("show '" + PathOf("absent") + "'"), ExitBadInput);
    EXPECT_EQ(status(""), ExitUsage);
}

} // namespace
