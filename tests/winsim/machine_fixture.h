// A fresh simulated machine in a temporary folder for each test.
#pragma once
#include <windows.h>
#include <winsim/control.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

class Machine : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/winsim-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        machine_ = dir_ + "/machine";
        std::string error;
        ASSERT_TRUE(winsim::LoadMachine(machine_, &error)) << error;
    }
    void TearDown() override {
        winsim::ResetMachine();
        std::filesystem::remove_all(dir_);
    }
    // Saves the machine and loads it back from its folder.
    void Reload() {
        std::string error;
        ASSERT_TRUE(winsim::SaveMachine(&error)) << error;
        ASSERT_TRUE(winsim::LoadMachine(machine_, &error)) << error;
    }

    std::string dir_;
    std::string machine_;
};

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}
