// A fresh simulated machine for each test, and short ways to set it up and read it back.
#pragma once
#include "winsim/machine_fixture.h"

#include <optional>
#include <string>
#include <vector>

// The program's own runs on a fresh machine (the simulated Windows's fixture).
class SimMachine : public Machine {
  protected:
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
};

inline std::string ByteString(std::initializer_list<int> values) {
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
