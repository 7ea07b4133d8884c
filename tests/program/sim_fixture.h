// A fresh simulated machine for each test, and short ways to set it up and read it back.
#pragma once
#include <winsim/control.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

class SimMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quenlix-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::string error;
        ASSERT_TRUE(winsim::LoadMachine(dir_ + "/machine", &error)) << error;
    }
    void TearDown() override {
        winsim::ResetMachine();
        std::filesystem::remove_all(dir_);
    }

    // Runs the real WinMain with this command line and these message-box answers.
    int Run(const std::u16string& commandLine, std::vector<int> answers = {}) {
        for (int answer : answers)
            winsim::QueueAnswer(answer);
        winsim::SetCommandLine(commandLine);
        return winsim::RunProcess();
    }

    static std::vector<winsim::Event> EventsOf(const std::string& kind) {
        std::vector<winsim::Event> found;
        for (const winsim::Event& event : winsim::Events())
            if (event.kind == kind)
                found.push_back(event);
        return found;
    }

    static void SetText(HKEY root, const std::u16string& key, const std::u16string& name,
                        const std::u16string& text) {
        ASSERT_TRUE(
            winsim::SetRegistryValue(root, key, name, REG_SZ, winsim::StringBytes(text, false)));
    }

    // The text of a value as the program stores it: REG_SZ, no terminator.
    static std::optional<std::u16string> GetText(HKEY root, const std::u16string& key,
                                                 const std::u16string& name) {
        auto value = winsim::GetRegistryValue(root, key, name);
        if (!value)
            return std::nullopt;
        std::u16string text(value->data.size() / 2, u'\0');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<char16_t>(value->data[2 * i] | value->data[2 * i + 1] << 8);
        return text;
    }

    std::string dir_;
};

inline std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values)
        bytes.push_back(static_cast<char>(v));
    return bytes;
}

namespace {
// Table cases print as their names in test output (found through the case's own namespace).
template <class Case> auto operator<<(std::ostream& os, const Case& c) -> decltype(c.name, os) {
    return os << c.name;
}
} // namespace
