// Base of the host unit tests: a clean Win32 stand-in for every test, and
// no handle of any kind left open after it.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostwin32/testing.h>

#include <string>
#include <vector>

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { hostwin32::Reset(); }
    void TearDown() override {
        EXPECT_EQ(hostwin32::OpenHandleCount(), 0u)
            << ::testing::PrintToString(hostwin32::OpenHandleDescriptions());
    }

    // The journal without the string calls.
    static std::vector<std::string> Calls() { return hostwin32::JournalText(); }
};

// Journal text of the calls the channel makes.
inline std::string OpenText(const std::string& path, const char* access, const char* flags,
                            const std::string& result) {
    return "CreateFileA(\"" + path + "\", " + access + ", 0x3, NULL, 3, " + flags + ", NULL) -> " +
           result;
}
constexpr const char* kReadWrite = "0xC0000000";
constexpr const char* kReadOnly = "0x80000000";
constexpr const char* kNoBuffering = "0x20000000";
constexpr const char* kAttributeNormal = "0x80";
