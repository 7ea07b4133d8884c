// Applying "patch.big5" to the installed module, and making it with "/patch".
#include "patch/patch.h"
#include "resources/messages.h"
#include "sim_fixture.h"

#include <cstdint>
#include <filesystem>

namespace {

const std::u16string Target = u"C:\\Windows\\system32\\quenlix.ime";
const std::u16string PatchPath = u"C:\\dl\\patch.big5";

std::string Le32(uint32_t v) {
    return ByteString({int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24)});
}
std::string Header(uint32_t moduleSize, uint16_t count) {
    return Le32(moduleSize) + ByteString({count & 0xFF, count >> 8});
}
std::string Record(uint32_t offset, const std::string& bytes) {
    return Le32(offset) + Le32(static_cast<uint32_t>(bytes.size())) + bytes;
}

const std::string Module = "ABCDEFGHIJ"; // ten bytes

struct ApplyCase {
    const char* name;
    std::string patch;
    std::string result; // the target afterwards
};

class ApplyPatch : public SimMachine, public ::testing::WithParamInterface<ApplyCase> {};

TEST_P(ApplyPatch, AppliesValidPatchesAndNothingElse) {
    ASSERT_TRUE(winsim::PlaceFile(Target, Module));
    ASSERT_TRUE(winsim::PlaceFile(PatchPath, GetParam().patch));
    ApplyBig5Patch(PatchPath.c_str(), Target.c_str());
    EXPECT_EQ(winsim::FileBytes(Target), std::optional<std::string>(GetParam().result));
    // No temporary copy is left beside the target.
    size_t files = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(winsim::HostPath(u"C:\\Windows\\system32")))
        files += entry.is_regular_file();
    EXPECT_EQ(files, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ApplyPatch,
    ::testing::Values(
        ApplyCase{"two_records", Header(10, 2) + Record(0, "ab") + Record(9, "j"), "abCDEFGHIj"},
        ApplyCase{"records_out_of_order", Header(10, 2) + Record(5, "f") + Record(1, "b"),
                  "AbCDEfGHIJ"},
        ApplyCase{"zero_records", Header(10, 0), Module},
        ApplyCase{"zero_length_record", Header(10, 1) + Record(4, ""), Module},
        ApplyCase{"whole_module", Header(10, 1) + Record(0, "0123456789"), "0123456789"},
        ApplyCase{"size_one_byte_short", Header(9, 1) + Record(0, "a"), Module},
        ApplyCase{"size_one_byte_long", Header(11, 1) + Record(0, "a"), Module},
        ApplyCase{"empty_file", "", Module},
        ApplyCase{"truncated_header", Header(10, 1).substr(0, 5), Module},
        ApplyCase{"missing_record", Header(10, 2) + Record(0, "a"), Module},
        ApplyCase{"truncated_record_header", Header(10, 1) + Record(0, "a").substr(0, 6), Module},
        ApplyCase{"truncated_record_bytes", Header(10, 1) + Record(0, "abc").substr(0, 10), Module},
        // A length announcing far more than the file holds: nothing allocated or written.
        ApplyCase{"huge_length", Header(10, 1) + Le32(0) + Le32(0xFFFFFFF0) + "abc", Module},
        ApplyCase{"range_past_module", Header(10, 1) + Record(8, "xyz"), Module},
        ApplyCase{"offset_past_module", Header(10, 1) + Record(0xFFFFFFFF, "x"), Module},
        // Later records lost or added without the count: the file is not what its header says.
        ApplyCase{"trailing_bytes", Header(10, 1) + Record(0, "a") + Record(5, "f"), Module}),
    [](const ::testing::TestParamInfo<ApplyCase>& info) { return info.param.name; });

TEST_F(SimMachine, ApplyLeavesTargetWholeWhenAWriteFails) {
    ASSERT_TRUE(winsim::PlaceFile(Target, Module));
    ASSERT_TRUE(winsim::PlaceFile(PatchPath, Header(10, 2) + Record(0, "ab") + Record(9, "j")));
    winsim::Fail("WriteFile", 1);
    ApplyBig5Patch(PatchPath.c_str(), Target.c_str());
    EXPECT_EQ(winsim::FileBytes(Target), std::optional<std::string>(Module));
}

// ---- The patch maker ----

class MakePatch : public SimMachine {
  protected:
    void SetUp() override {
        SimMachine::SetUp();
        ASSERT_TRUE(winsim::MakeDirectory(u"C:\\pkg"));
        ASSERT_TRUE(winsim::SetCurrentDirectory(u"C:\\pkg"));
    }
    // Runs "/patch" with these copies; nullopt leaves a copy out.
    std::u16string Make(std::optional<std::string> local, std::optional<std::string> installed) {
        if (local) {
            EXPECT_TRUE(winsim::PlaceFile(u"C:\\pkg\\quenlix.ime", *local));
        }
        if (installed) {
            EXPECT_TRUE(winsim::PlaceFile(Target, *installed));
        }
        EXPECT_EQ(Run(u"\"C:\\pkg\\setup.exe\" /patch"), 0);
        auto messages = EventsOf("message");
        EXPECT_EQ(messages.size(), 1u);
        return messages.empty() ? u"" : messages.back().Text("text");
    }
    static std::optional<std::string> Patch() {
        return winsim::FileBytes(u"C:\\pkg\\patch.big5");
    }
};

struct MakeCase {
    const char* name;
    std::string local;
    std::string installed;
    std::string patch;
};

class MakeCases : public MakePatch, public ::testing::WithParamInterface<MakeCase> {};

TEST_P(MakeCases, WritesOneRecordPerRunAndRoundTrips) {
    const MakeCase& c = GetParam();
    EXPECT_EQ(Make(c.local, c.installed), MSG_PATCH_CREATED);
    EXPECT_EQ(Patch(), std::optional<std::string>(c.patch));
    // Applying it to the local copy gives the installed one.
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\pkg\\copy.ime", c.local));
    ApplyBig5Patch(u"C:\\pkg\\patch.big5", u"C:\\pkg\\copy.ime");
    EXPECT_EQ(winsim::FileBytes(u"C:\\pkg\\copy.ime"), std::optional<std::string>(c.installed));
}

INSTANTIATE_TEST_SUITE_P(
    Table, MakeCases,
    ::testing::Values(
        MakeCase{"identical", "abcdef", "abcdef", Header(6, 0)},
        MakeCase{"empty", "", "", Header(0, 0)},
        MakeCase{"first_byte", "abcdef", "Xbcdef", Header(6, 1) + Record(0, "X")},
        MakeCase{"last_byte", "abcdef", "abcdeX", Header(6, 1) + Record(5, "X")},
        MakeCase{"run_to_the_end", "abcdef", "abcXYZ", Header(6, 1) + Record(3, "XYZ")},
        MakeCase{"separated_by_one_equal_byte", "abcdef", "aXcYef",
                 Header(6, 2) + Record(1, "X") + Record(3, "Y")},
        MakeCase{"adjacent_bytes_one_run", "abcdef", "aXYdef", Header(6, 1) + Record(1, "XY")},
        MakeCase{"all_differ", "abc", "xyz", Header(3, 1) + Record(0, "xyz")}),
    [](const ::testing::TestParamInfo<MakeCase>& info) { return info.param.name; });

TEST_F(MakePatch, RunsLongerThanABlockAndAcrossBlocks) {
    const size_t size = 200000;
    std::string local(size, 'a');
    std::string installed = local;
    for (size_t i = 65530; i < 140000; ++i) // crosses two block boundaries
        installed[i] = 'b';
    installed[size - 1] = 'z';
    EXPECT_EQ(Make(local, installed), MSG_PATCH_CREATED);
    EXPECT_EQ(Patch(), std::optional<std::string>(Header(size, 2) +
                                                  Record(65530, installed.substr(65530, 74470)) +
                                                  Record(size - 1, "z")));
}

struct MakeFailure {
    const char* name;
    std::optional<std::string> local;
    std::optional<std::string> installed;
};

class MakeFailures : public MakePatch, public ::testing::WithParamInterface<MakeFailure> {};

// A failed run reports failure and leaves an earlier "patch.big5" exactly as it was.
TEST_P(MakeFailures, FailsAndKeepsTheEarlierPatch) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\pkg\\patch.big5", "earlier patch"));
    EXPECT_EQ(Make(GetParam().local, GetParam().installed), MSG_PATCH_FAILED);
    EXPECT_EQ(EventsOf("message").back().Number("type"), 0x10);
    EXPECT_EQ(Patch(), std::optional<std::string>("earlier patch"));
    // Nothing else is left in the package directory.
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(winsim::HostPath(u"C:\\pkg")))
        entries +=
            entry.path().filename() != "quenlix.ime" && entry.path().filename() != "patch.big5";
    EXPECT_EQ(entries, 0u);
}

std::string Alternating(size_t runs) {
    std::string bytes(2 * runs, 'a');
    for (size_t i = 0; i < runs; ++i)
        bytes[2 * i] = 'b';
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MakeFailures,
    ::testing::Values(MakeFailure{"local_missing", std::nullopt, "abc"},
                      MakeFailure{"installed_missing", "abc", std::nullopt},
                      MakeFailure{"different_lengths", "abc", "abcd"},
                      MakeFailure{"more_runs_than_the_count_holds", std::string(131072, 'a'),
                                  Alternating(65536)}),
    [](const ::testing::TestParamInfo<MakeFailure>& info) { return info.param.name; });

TEST_F(MakePatch, MostRunsTheCountHolds) {
    EXPECT_EQ(Make(std::string(131070, 'a'), Alternating(65535)), MSG_PATCH_CREATED);
    auto patch = Patch();
    ASSERT_TRUE(patch.has_value());
    EXPECT_EQ(patch->substr(0, 6), Header(131070, 65535));
    EXPECT_EQ(patch->size(), 6u + 65535u * 9u);
}

TEST_F(MakePatch, FailingWriteKeepsTheEarlierPatch) {
    ASSERT_TRUE(winsim::PlaceFile(u"C:\\pkg\\patch.big5", "earlier patch"));
    winsim::Fail("WriteFile", 1);
    EXPECT_EQ(Make("abcdef", "abXdef"), MSG_PATCH_FAILED);
    EXPECT_EQ(Patch(), std::optional<std::string>("earlier patch"));
}

} // namespace
