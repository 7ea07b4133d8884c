// What the fuzz targets share: a simulated machine in a temporary folder for the life of the
// fuzzing process, a rule check that stops on the first broken rule, and "patch.big5" read
// straight from its format, to judge the program's applier and maker by.
#pragma once
#include <winsim/control.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace fuzz {

// libFuzzer keeps the input that broke the rule.
#define FUZZ_CHECK(condition, rule)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "broken rule: %s\n", rule);                                            \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

inline std::string MakeWorkDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp");
    pattern += "/quenlix-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    FUZZ_CHECK(mkdtemp(buffer.data()) != nullptr, "a temporary folder can be made");
    return buffer.data();
}

inline void RemoveWorkDir();

// Made on first use and removed at exit (the cleanup is registered after the folder's name, so
// it runs while the name still exists).
inline const std::string& WorkDir() {
    static const std::string dir = MakeWorkDir();
    static const bool cleanup = atexit(RemoveWorkDir) == 0;
    (void)cleanup;
    return dir;
}

inline void RemoveWorkDir() {
    std::error_code ignored;
    std::filesystem::remove_all(WorkDir(), ignored);
}

// A fresh, empty simulated Windows: drive C: is emptied and the state reset.
inline void FreshMachine() {
    std::string machine = WorkDir() + "/machine";
    std::error_code ignored;
    std::filesystem::remove_all(machine, ignored);
    std::string error;
    if (!winsim::LoadMachine(machine, &error)) {
        fprintf(stderr, "cannot load the machine: %s\n", error.c_str());
        abort();
    }
}

// Names of the entries of a folder on the machine.
inline std::vector<std::string> FolderEntries(const std::u16string& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(winsim::HostPath(folder), ignored))
        names.push_back(entry.path().filename().string());
    return names;
}

inline uint32_t Le32(const std::string& bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

struct PatchRecord {
    uint32_t offset;
    uint32_t length;
    size_t bytesAt; // where its new bytes start in the patch
};

// The records of a patch that passes every check against a module of moduleLength bytes: a
// whole 6-byte header whose ModuleSize is that length, RecordCount whole records (8-byte
// header, then Length bytes) each inside ModuleSize, and nothing after the last one.
inline std::optional<std::vector<PatchRecord>> ReadPatch(const std::string& patch,
                                                         uint64_t moduleLength) {
    if (patch.size() < 6 || Le32(patch, 0) != moduleLength)
        return std::nullopt;
    unsigned count = static_cast<uint8_t>(patch[4]) | static_cast<uint8_t>(patch[5]) << 8;
    std::vector<PatchRecord> records;
    size_t at = 6;
    for (unsigned i = 0; i < count; ++i) {
        if (patch.size() - at < 8)
            return std::nullopt;
        PatchRecord record = {Le32(patch, at), Le32(patch, at + 4), at + 8};
        if (uint64_t(record.offset) + record.length > moduleLength ||
            patch.size() - record.bytesAt < record.length)
            return std::nullopt;
        records.push_back(record);
        at = record.bytesAt + record.length;
    }
    if (at != patch.size())
        return std::nullopt;
    return records;
}

// The module with the patch applied, record after record; nothing when the patch fails a check.
inline std::optional<std::string> ApplyPatch(const std::string& module, const std::string& patch) {
    auto records = ReadPatch(patch, module.size());
    if (!records)
        return std::nullopt;
    std::string patched = module;
    for (const PatchRecord& record : *records)
        patched.replace(record.offset, record.length, patch, record.bytesAt, record.length);
    return patched;
}

} // namespace fuzz
