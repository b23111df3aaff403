#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace {

std::string DriverOutput(const std::wstring& arguments) {
    const std::wstring command = L"\"" + BinDir() + L"support_driver.exe\" " + arguments;
    const ProcessResult result = RunProcess(command, BinDir());
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    return result.output;
}

}  // namespace

TEST(DebugTrace, PercentSignsInAnArgumentPassUnchanged) {
    EXPECT_EQ(DriverOutput(L"percent"), "rate=100%d%s%%");
}

TEST(DebugTrace, FormatLimitIs8000Bytes) {
    EXPECT_EQ(DriverOutput(L"format 8000"), std::string(8000, 'x'));
    EXPECT_EQ(DriverOutput(L"format 8001"), "");
    EXPECT_EQ(DriverOutput(L"format 0"), "");
}

TEST(DebugTrace, LongTextIsCutToTheBuffer) {
    // 8092 bytes with the terminating NUL.
    EXPECT_EQ(DriverOutput(L"long"), "<" + std::string(8090, 'y'));
}
