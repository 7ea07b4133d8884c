// The shared maker against the maker's walk written out byte by byte, and the tool's apply
// against writing the records over the module one by one.
#include "patch/big5_format.h"
#include "test_files.h"

namespace {

// The maker's walk as defined: both copies in step, one byte at a time. A run starts at the
// first differing byte, ends before the next equal one (or at the end), and is recorded with
// the installed copy's bytes; the walk resumes after the equal byte.
Bytes ReferencePatch(const Bytes& local, const Bytes& installed, unsigned long* runs) {
    Bytes patch;
    Put32(&patch, static_cast<unsigned long>(local.size()));
    Put16(&patch, 0);
    *runs = 0;
    size_t p = 0;
    while (p < local.size()) {
        if (local[p] == installed[p]) {
            ++p;
            continue;
        }
        size_t q = p + 1;
        while (q < local.size() && local[q] != installed[q])
            ++q;
        ++*runs;
        Put32(&patch, static_cast<unsigned long>(p));
        Put32(&patch, static_cast<unsigned long>(q - p));
        patch.insert(patch.end(), installed.begin() + p, installed.begin() + q);
        p = q + 1;
    }
    patch[4] = static_cast<unsigned char>(*runs);
    patch[5] = static_cast<unsigned char>(*runs >> 8);
    return patch;
}

Big5PatchMake SharedPatch(const Bytes& local, const Bytes& installed, Bytes* patch,
                          unsigned long* runs) {
    FILE* localStream = StreamOf(local);
    FILE* installedStream = StreamOf(installed);
    FILE* patchStream = tmpfile();
    Big5PatchMake made = MakeBig5Patch(localStream, installedStream, patchStream, runs);
    *patch = StreamBytes(patchStream);
    fclose(localStream);
    fclose(installedStream);
    fclose(patchStream);
    return made;
}

// Records written over the module in file order: what applying means for any patch.
Bytes ReferenceApply(const Bytes& module, const Bytes& patch) {
    Bytes result = module;
    size_t at = 6;
    unsigned count = patch[4] | patch[5] << 8;
    for (unsigned r = 0; r < count; ++r) {
        auto get32 = [&](size_t i) {
            return static_cast<size_t>(patch[i]) | static_cast<size_t>(patch[i + 1]) << 8 |
                   static_cast<size_t>(patch[i + 2]) << 16 |
                   static_cast<size_t>(patch[i + 3]) << 24;
        };
        size_t offset = get32(at);
        size_t length = get32(at + 4);
        std::copy(patch.begin() + at + 8, patch.begin() + at + 8 + length, result.begin() + offset);
        at += 8 + length;
    }
    return result;
}

// The maker reads in blocks of 64 KiB, the tool's apply in blocks of 256 KiB.
const size_t Block = 64 * 1024;
const size_t ApplyBlock = 256 * 1024;

struct PairCase {
    const char* Name;
    size_t Size;
    std::vector<Range> Changes;
};
void PrintTo(const PairCase& c, std::ostream* os) {
    *os << c.Name;
}

const PairCase PairCases[] = {
    {"identical", 5000, {}},
    {"empty", 0, {}},
    {"first byte", 100, {{0, 1}}},
    {"last byte", 100, {{99, 1}}},
    {"one equal byte between two runs", 100, {{10, 1}, {12, 1}}},
    {"two adjacent bytes", 100, {{10, 2}}},
    {"run longer than a block across two block boundaries",
     3 * Block + 100,
     {{Block - 6, Block + 20}}},
    {"run of exactly one buffer", 2 * Block + 10, {{100, Block}}},
    {"run of one buffer and a byte", 2 * Block + 10, {{100, Block + 1}}},
    {"run of one buffer reaching the end", Block + 7, {{7, Block}}},
    {"run reaching the end", 200000, {{150000, 50000}}},
    {"run across the apply block's boundaries",
     3 * ApplyBlock + 5,
     {{ApplyBlock - 3, ApplyBlock + 10}}},
    {"whole module", 140000, {{0, 140000}}},
    {"run ends where a block ends", 2 * Block, {{Block - 5, 5}, {Block + 1, 3}}},
    {"equal last byte of a block between runs", 2 * Block, {{Block - 6, 5}, {Block, 4}}},
    {"run starts a block", 2 * Block, {{Block, 5}}},
    {"runs near word boundaries", 300, {{7, 1}, {9, 8}, {31, 2}, {34, 31}, {66, 1}, {299, 1}}},
};

class MakerMatchesReference : public ::testing::TestWithParam<PairCase> {};

TEST_P(MakerMatchesReference, ByteForByte) {
    const PairCase& pair = GetParam();
    Bytes local = RandomBytes(pair.Size, pair.Size + 1);
    Bytes installed = ChangeRanges(local, pair.Changes);
    unsigned long expectedRuns = 0;
    Bytes expected = ReferencePatch(local, installed, &expectedRuns);
    unsigned long runs = 0;
    Bytes patch;
    ASSERT_EQ(SharedPatch(local, installed, &patch, &runs), PatchMade);
    EXPECT_EQ(runs, expectedRuns);
    EXPECT_EQ(patch, expected);
    EXPECT_EQ(ReferenceApply(local, patch), installed);
}

INSTANTIATE_TEST_SUITE_P(Pairs, MakerMatchesReference, ::testing::ValuesIn(PairCases),
                         CaseName<PairCase>);

// Scattered runs of every length from 1 to 200 over several blocks, seeded.
TEST(MakerMatchesReferenceScattered, RandomPairs) {
    for (unsigned long long seed = 1; seed <= 8; ++seed) {
        Bytes local = RandomBytes(3 * Block + 333, seed);
        Bytes installed = local;
        Bytes noise = RandomBytes(installed.size(), seed + 100);
        for (size_t i = 0; i < installed.size();) {
            size_t gap = 1 + noise[i] % 70;
            size_t length = 1 + noise[(i + 1) % noise.size()] % 200;
            for (size_t j = i + gap; j < i + gap + length && j < installed.size(); ++j)
                installed[j] ^= static_cast<unsigned char>(1 + noise[j] % 255);
            i += gap + length;
        }
        unsigned long expectedRuns = 0;
        Bytes expected = ReferencePatch(local, installed, &expectedRuns);
        unsigned long runs = 0;
        Bytes patch;
        ASSERT_EQ(SharedPatch(local, installed, &patch, &runs), PatchMade) << "seed " << seed;
        EXPECT_EQ(runs, expectedRuns) << "seed " << seed;
        EXPECT_EQ(patch, expected) << "seed " << seed;
    }
}

TEST(MakerLimits, RecordCountHoldsAtMost65535Runs) {
    // 65535 single-byte runs fit; one more cannot be counted.
    Bytes local = RandomBytes(131072, 3);
    Bytes most = local;
    for (size_t i = 0; i < 2 * 65535; i += 2)
        most[i] ^= 0xFF;
    unsigned long expectedRuns = 0;
    Bytes expected = ReferencePatch(local, most, &expectedRuns);
    ASSERT_EQ(expectedRuns, 65535u);
    unsigned long runs = 0;
    Bytes patch;
    ASSERT_EQ(SharedPatch(local, most, &patch, &runs), PatchMade);
    EXPECT_EQ(patch, expected);

    Bytes tooMany = most;
    tooMany[2 * 65535] ^= 0xFF;
    EXPECT_EQ(SharedPatch(local, tooMany, &patch, &runs), MakeTooManyRuns);
}

TEST(MakerLimits, LengthsMustMatch) {
    Bytes patch;
    unsigned long runs = 0;
    EXPECT_EQ(SharedPatch(Bytes(10, 1), Bytes(11, 1), &patch, &runs), MakeLengthsDiffer);
}

// Patches that the maker never writes but the format allows: records out of order, overlapping,
// touching, empty. The tool's apply must give what writing them in file order gives.
struct HandCase {
    const char* Name;
    size_t Size;
    std::vector<HandRecord> Records;
};
void PrintTo(const HandCase& c, std::ostream* os) {
    *os << c.Name;
}

const HandCase HandCases[] = {
    {"descending", 200, {{50, {1, 2, 3}}, {10, {4, 5}}}},
    {"overlapping: the later record wins", 200, {{10, {1, 1, 1, 1, 1}}, {12, {2, 2}}}},
    {"in order then back", 3 * Block, {{0, {9}}, {Block + 5, {8, 8}}, {Block - 1, {7, 7, 7}}}},
    {"touching records", 100, {{10, {1, 2}}, {12, {3}}, {13, {4, 5}}}},
    {"empty record at the end, then one before it", 100, {{100, {}}, {3, {6}}}},
    {"empty records", 100, {{0, {}}, {50, {}}, {20, {1}}}},
    {"record across block boundaries",
     3 * ApplyBlock,
     {{ApplyBlock - 2, Bytes(ApplyBlock + 4, 0xAB)}, {2 * ApplyBlock + 3, {1}}}},
    {"back across a block boundary",
     2 * ApplyBlock + 9,
     {{ApplyBlock + 1, {1, 2}}, {ApplyBlock - 1, {3, 4, 5}}}},
    {"one byte back across a block boundary",
     2 * ApplyBlock,
     {{ApplyBlock, {1}}, {ApplyBlock - 1, {2}}}},
    {"record to the last byte", ApplyBlock + 1, {{ApplyBlock - 1, {1, 2}}}},
};

class ApplyMatchesFileOrder : public ScratchDirectory,
                              public ::testing::WithParamInterface<HandCase> {};

TEST_P(ApplyMatchesFileOrder, AnyRecordOrder) {
    const HandCase& hand = GetParam();
    Bytes module = RandomBytes(hand.Size, 5);
    Bytes patch = HandPatch(static_cast<unsigned long>(hand.Size), hand.Records);
    Write("module", module);
    Write("patch", patch);
    ToolResult applied = Run({"apply", "@patch", "@module", "-o", "@out"});
    ASSERT_EQ(applied.Code, ExitOk) << applied.Err;
    Bytes expected = ReferenceApply(module, patch);
    EXPECT_EQ(Read("out"), expected);
    Write("expected", expected);
    EXPECT_EQ(Run({"verify", "@patch", "@module", "@expected"}).Code, ExitOk);
}

INSTANTIATE_TEST_SUITE_P(Patches, ApplyMatchesFileOrder, ::testing::ValuesIn(HandCases),
                         CaseName<HandCase>);

// Every pair above, through the tool: make, then apply turns OLD into NEW.
class RoundTrip : public ScratchDirectory, public ::testing::WithParamInterface<PairCase> {};

TEST_P(RoundTrip, MakeThenApply) {
    const PairCase& pair = GetParam();
    Bytes oldModule = RandomBytes(pair.Size, pair.Size + 2);
    Bytes newModule = ChangeRanges(oldModule, pair.Changes);
    Write("old", oldModule);
    Write("new", newModule);
    ToolResult made = Run({"make", "@old", "@new", "-o", "@patch"});
    ASSERT_EQ(made.Code, ExitOk) << made.Err;
    ToolResult applied = Run({"apply", "@patch", "@old"});
    ASSERT_EQ(applied.Code, ExitOk) << applied.Err;
    EXPECT_EQ(Read("old"), newModule);
}

INSTANTIATE_TEST_SUITE_P(Pairs, RoundTrip, ::testing::ValuesIn(PairCases), CaseName<PairCase>);

} // namespace
