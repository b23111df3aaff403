#include "app/install_directory.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/dialog_placement.h"

namespace {

// A file system that holds exactly the given paths.
std::function<bool(const std::wstring&)> Holding(std::set<std::wstring> paths) {
    return [paths](const std::wstring& path) { return paths.count(path) != 0; };
}

const std::set<std::wstring> ALL_DRIVES = {L"C:\\", L"D:\\", L"E:\\", L"F:\\",
                                           L"G:\\", L"H:\\", L"I:\\"};

TEST(FindInstallDirectory, ProgramFilesMarkerKeepsTheOwnDirectory) {
    EXPECT_EQ(FindInstallDirectory(L"C:\\Program Files (x86)\\Veldra\\", Holding(ALL_DRIVES)),
              L"C:\\Program Files (x86)\\Veldra\\");
    EXPECT_EQ(FindInstallDirectory(L"C:\\Program Files\\Veldra\\",
                                   Holding({L"C:\\Program Files\\Veldra\\veldra.exe", L"D:\\"})),
              L"C:\\Program Files\\Veldra\\");
    EXPECT_EQ(FindInstallDirectory(L"E:\\x\\Program Files\\", Holding(ALL_DRIVES)),
              L"E:\\x\\Program Files\\");
}

TEST(FindInstallDirectory, MarkerIsCaseSensitive) {
    EXPECT_EQ(FindInstallDirectory(L"C:\\program files\\Veldra\\", Holding({L"C:\\", L"E:\\"})),
              L"E:\\veldra\\");
    EXPECT_EQ(FindInstallDirectory(L"C:\\PROGRAM FILES\\Veldra\\", Holding({L"D:\\"})),
              L"D:\\veldra\\");
}

TEST(FindInstallDirectory, MainProgramBesideKeepsTheOwnDirectory) {
    EXPECT_EQ(FindInstallDirectory(L"E:\\Veldra\\", Holding({L"E:\\Veldra\\veldra.exe"})),
              L"E:\\Veldra\\");
    EXPECT_EQ(FindInstallDirectory(L"C:\\Users\\me\\Downloads\\",
                                   Holding({L"C:\\Users\\me\\Downloads\\veldra.exe", L"D:\\"})),
              L"C:\\Users\\me\\Downloads\\");
    // Another name beside it does not count.
    EXPECT_EQ(FindInstallDirectory(L"C:\\Users\\me\\Downloads\\",
                                   Holding({L"C:\\Users\\me\\Downloads\\veldra.ex", L"F:\\"})),
              L"F:\\veldra\\");
}

TEST(FindInstallDirectory, FewerThanThreeFieldsKeepsTheOwnDirectory) {
    EXPECT_EQ(FindInstallDirectory(L"E:\\tools\\", Holding(ALL_DRIVES)), L"E:\\tools\\");
    EXPECT_EQ(FindInstallDirectory(L"E:\\", Holding(ALL_DRIVES)), L"E:\\");
    // Runs of separators count as one.
    EXPECT_EQ(FindInstallDirectory(L"E:\\\\tools\\\\", Holding(ALL_DRIVES)), L"E:\\\\tools\\\\");
    EXPECT_EQ(FindInstallDirectory(L"E:\\a\\b\\", Holding({L"G:\\"})), L"G:\\veldra\\");
}

TEST(FindInstallDirectory, DrivesAreTriedInTheirFixedOrder) {
    const std::wstring deep = L"C:\\Users\\me\\Downloads\\";
    EXPECT_EQ(FindInstallDirectory(deep, Holding(ALL_DRIVES)), L"D:\\veldra\\");
    EXPECT_EQ(FindInstallDirectory(deep, Holding({L"C:\\", L"E:\\"})), L"E:\\veldra\\");
    EXPECT_EQ(FindInstallDirectory(deep, Holding({L"C:\\"})), L"C:\\veldra\\");
    EXPECT_EQ(FindInstallDirectory(deep, Holding({L"C:\\", L"G:\\", L"H:\\"})), L"G:\\veldra\\");
    EXPECT_EQ(FindInstallDirectory(deep, Holding({L"I:\\", L"H:\\"})), L"H:\\veldra\\");
    EXPECT_EQ(FindInstallDirectory(deep, Holding({L"I:\\"})), L"I:\\veldra\\");
    EXPECT_EQ(FindInstallDirectory(deep, Holding({L"Z:\\"})), L"D:\\veldra\\");
    EXPECT_EQ(FindInstallDirectory(deep, Holding({})), L"D:\\veldra\\");
}

TEST(FindInstallDirectory, DriveRootsAreAskedInOrderAndNoFurther) {
    std::wstring asked;
    const auto recorder = [&asked](const std::wstring& path) {
        if (path.size() == 3 && path.substr(1) == L":\\") asked += path[0];
        return path == L"G:\\";
    };
    EXPECT_EQ(FindInstallDirectory(L"C:\\Users\\me\\Downloads\\", recorder), L"G:\\veldra\\");
    EXPECT_EQ(asked, L"DEFG");
}

TEST(FindInstallDirectory, NetworkShareGetsTheLocalDefault) {
    EXPECT_EQ(FindInstallDirectory(L"\\\\host\\share\\dir\\", Holding({L"C:\\", L"F:\\"})),
              L"F:\\veldra\\");
}

TEST(FindInstallDirectory, RunningExecutableInTheBuildTree) {
    // build\bin has at least three fields and no veldra.exe; of the drives
    // tried, the test prefix has only C:.
    EXPECT_EQ(FindInstallDirectory(), L"C:\\veldra\\");
}

TEST(CenteredPosition, HalfOfTheFreeSpaceTruncated) {
    const RECT parent{0, 0, 1920, 1080};
    const RECT dialog{0, 0, 731, 300};
    const POINT at = CenteredPosition(parent, dialog);
    EXPECT_EQ(at.x, 594);
    EXPECT_EQ(at.y, 390);
}

TEST(CenteredPosition, OffsetParentAndDialog) {
    const RECT parent{100, 50, 2020, 1130};
    const RECT dialog{700, 400, 1431, 701};
    const POINT at = CenteredPosition(parent, dialog);
    EXPECT_EQ(at.x, 100 + 594);
    // (400 + 1130 - 701 - 50) / 2 = 779 / 2 = 389
    EXPECT_EQ(at.y, 50 + 389);
}

TEST(CenteredPosition, LargerDialogTruncatesTowardZero) {
    const RECT parent{0, 0, 100, 100};
    const RECT dialog{0, 0, 301, 103};
    const POINT at = CenteredPosition(parent, dialog);
    EXPECT_EQ(at.x, -100);  // -201 / 2
    EXPECT_EQ(at.y, -1);    // -3 / 2
}

}  // namespace
