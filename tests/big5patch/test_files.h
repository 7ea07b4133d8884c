// Helpers for the patch tool's tests: byte strings, module pairs, a scratch directory and the
// tool run in-process with its output captured.
#pragma once
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "tools/big5patch/big5patch.h"

typedef std::vector<unsigned char> Bytes;

inline void Put32(Bytes* bytes, unsigned long value) {
    for (int i = 0; i < 4; ++i)
        bytes->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

inline void Put16(Bytes* bytes, unsigned value) {
    bytes->push_back(static_cast<unsigned char>(value));
    bytes->push_back(static_cast<unsigned char>(value >> 8));
}

// Reproducible pseudo-random bytes (xorshift), so that failures can be replayed.
inline Bytes RandomBytes(size_t count, unsigned long long seed) {
    Bytes bytes(count);
    unsigned long long state = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (size_t i = 0; i < count; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        bytes[i] = static_cast<unsigned char>(state >> 24);
    }
    return bytes;
}

struct Range {
    size_t Offset;
    size_t Length;
};

// `module` with every byte in the ranges changed; the change varies over all 255 non-zero
// differences, so word-wise comparisons meet every pattern.
inline Bytes ChangeRanges(const Bytes& module, const std::vector<Range>& ranges) {
    Bytes changed = module;
    unsigned step = 0;
    for (const Range& range : ranges)
        for (size_t i = range.Offset; i < range.Offset + range.Length; ++i)
            changed[i] = static_cast<unsigned char>(module[i] ^ (1 + step++ % 255));
    return changed;
}

// A patch from its header and records, written by hand.
struct HandRecord {
    unsigned long Offset;
    Bytes Contents;
};
inline Bytes HandPatch(unsigned long moduleSize, const std::vector<HandRecord>& records) {
    Bytes patch;
    Put32(&patch, moduleSize);
    Put16(&patch, static_cast<unsigned>(records.size()));
    for (const HandRecord& record : records) {
        Put32(&patch, record.Offset);
        Put32(&patch, static_cast<unsigned long>(record.Contents.size()));
        patch.insert(patch.end(), record.Contents.begin(), record.Contents.end());
    }
    return patch;
}

inline Bytes StreamBytes(FILE* stream) {
    Bytes bytes;
    rewind(stream);
    int c;
    while ((c = getc(stream)) != EOF)
        bytes.push_back(static_cast<unsigned char>(c));
    return bytes;
}

inline FILE* StreamOf(const Bytes& bytes) {
    FILE* stream = tmpfile();
    if (stream != NULL && !bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), stream);
    if (stream != NULL)
        rewind(stream);
    return stream;
}

// Parameterised cases carry a Name: it names the test and is what a failure prints.
template <class Case> std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name;
    for (const char* c = info.param.Name; *c != 0; ++c)
        name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

struct ToolResult {
    int Code;
    std::string Out;
    std::string Err;
};

// A fresh directory per test, removed afterwards; the tool runs in-process.
class ScratchDirectory : public ::testing::Test {
  protected:
    std::filesystem::path Directory;

    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "big5patch-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        Directory = name.data();
    }
    void TearDown() override {
        std::filesystem::remove_all(Directory);
    }

    std::string PathOf(const std::string& name) const {
        return (Directory / name).string();
    }
    void Write(const std::string& name, const Bytes& bytes) const {
        FILE* file = fopen(PathOf(name).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        if (!bytes.empty()) {
            ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        }
        ASSERT_EQ(fclose(file), 0);
    }
    Bytes Read(const std::string& name) const {
        FILE* file = fopen(PathOf(name).c_str(), "rb");
        if (file == NULL)
            return Bytes();
        Bytes bytes = StreamBytes(file);
        fclose(file);
        return bytes;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Directory))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Arguments naming files of the scratch directory are given as "@name".
    ToolResult Run(std::initializer_list<std::string> arguments) const {
        std::vector<std::string> words = {"big5patch"};
        for (const std::string& argument : arguments)
            words.push_back(argument.size() > 1 && argument[0] == '@' ? PathOf(argument.substr(1))
                                                                      : argument);
        std::vector<const char*> argv;
        for (const std::string& word : words)
            argv.push_back(word.c_str());
        FILE* out = tmpfile();
        FILE* err = tmpfile();
        ToolResult result;
        result.Code = RunBig5Patch(static_cast<int>(argv.size()), argv.data(), out, err);
        Bytes outBytes = StreamBytes(out);
        Bytes errBytes = StreamBytes(err);
        fclose(out);
        fclose(err);
        result.Out.assign(outBytes.begin(), outBytes.end());
        result.Err.assign(errBytes.begin(), errBytes.end());
        return result;
    }
};
