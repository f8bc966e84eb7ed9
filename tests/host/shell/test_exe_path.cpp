// The executable's folder, split off the module path.
#include <gtest/gtest.h>

#include <string>

#include "ExePath.h"

namespace {

TEST(ExeFolder, DriveAndFolderWithTrailingBackslash) {
    EXPECT_EQ(exepath::folderOf("C:\\Tools\\QBV\\qbv_download.exe"), "C:\\Tools\\QBV\\");
}

TEST(ExeFolder, RootFolder) {
    EXPECT_EQ(exepath::folderOf("C:\\qbv_download.exe"), "C:\\");
}

TEST(ExeFolder, DotsInFolderNamesStayInTheFolder) {
    EXPECT_EQ(exepath::folderOf("D:\\v1.20.rel\\tool.x\\qbv_download.exe"), "D:\\v1.20.rel\\tool.x\\");
}

TEST(ExeFolder, NetworkPathHasNoDrive) {
    EXPECT_EQ(exepath::folderOf("\\\\server\\share\\qbv\\qbv_download.exe"), "\\\\server\\share\\qbv\\");
}

TEST(ExeFolder, ForwardSlashesSeparateToo) {
    EXPECT_EQ(exepath::folderOf("Z:/tmp/run/qbv_download.exe"), "Z:/tmp/run/");
    EXPECT_EQ(exepath::folderOf("Z:\\tmp/run\\qbv_download.exe"), "Z:\\tmp/run\\");
}

TEST(ExeFolder, DriveWithoutFolder) {
    EXPECT_EQ(exepath::folderOf("C:qbv_download.exe"), "C:");
}

TEST(ExeFolder, BareNameHasNoFolder) {
    EXPECT_EQ(exepath::folderOf("qbv_download.exe"), "");
    EXPECT_EQ(exepath::folderOf(""), "");
}

TEST(ExeFolder, LongFolderIsKeptWhole) {
    const std::string folder = "C:\\" + std::string(300, 'f') + "\\";
    EXPECT_EQ(exepath::folderOf(folder + "qbv_download.exe"), folder);
}

TEST(ExeFolder, DriverPathIsFolderAndLibraryName) {
    EXPECT_EQ(exepath::folderOf("C:\\Q\\qbv_download.exe") + exepath::kDriverFileName, "C:\\Q\\lk207.dll");
}

}  // namespace
