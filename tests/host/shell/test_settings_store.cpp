// Settings file: the reading rules byte for byte, the exact bytes written, and a failed write that keeps the old file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "SettingsStore.h"
#include "TempFolder.h"

namespace {

// The default file as the operator's machine must hold it: Baudrate,9600 CR LF Port,COM1 CR LF.
const std::string kDefaultFileBytes("\x42\x61\x75\x64\x72\x61\x74\x65\x2C\x39\x36\x30\x30\x0D\x0A"
                                    "\x50\x6F\x72\x74\x2C\x43\x4F\x4D\x31\x0D\x0A",
                                    26);

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder.valid()); }

    // Reads `content` through a fresh store, as the window does at each use.
    SettingsStore readBack(const std::string& content) {
        writeBytes(path, content);
        SettingsStore store(path);
        EXPECT_TRUE(store.Read());
        return store;
    }

    TempFolder folder;
    const std::string path = folder.file("qbv_download_config.txt");
};

TEST_F(SettingsFile, MissingFileReadsFalseAndDefaultsWriteTheExact26Bytes) {
    SettingsStore store(path);
    EXPECT_FALSE(store.Read());
    EXPECT_TRUE(store.ApplyDefaults());
    EXPECT_EQ(readBytes(path), kDefaultFileBytes);
    EXPECT_EQ(store.Get("Port"), "COM1");
    EXPECT_EQ(store.Get("Baudrate"), "9600");
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

TEST_F(SettingsFile, ShutdownWithCom3And38400WritesExactlyTwoCrLfLines) {
    SettingsStore store(path);
    if (!store.Read()) store.ApplyDefaults();
    store.Set("Port", "COM3");
    store.Set("Baudrate", "38400");
    EXPECT_TRUE(store.Write());
    EXPECT_EQ(readBytes(path), "Baudrate,38400\r\nPort,COM3\r\n");
}

TEST_F(SettingsFile, ExtraKeyIsKeptAndWrittenFirstInByteOrder) {
    SettingsStore store = readBack("Port,COM2\r\nBaudrate,19200\r\nAlpha,1\r\n");
    EXPECT_EQ(store.Get("Alpha"), "1");
    EXPECT_TRUE(store.Write());
    EXPECT_EQ(readBytes(path), "Alpha,1\r\nBaudrate,19200\r\nPort,COM2\r\n");
}

TEST_F(SettingsFile, LfOnlyFileReadsLikeCrLfFile) {
    const SettingsStore lf = readBack("Port,COM7\nBaudrate,38400\nZeta,x\n");
    const SettingsStore crlf = readBack("Port,COM7\r\nBaudrate,38400\r\nZeta,x\r\n");
    EXPECT_EQ(lf.entries(), crlf.entries());
    EXPECT_EQ(lf.Get("Port"), "COM7");
    EXPECT_EQ(lf.Get("Baudrate"), "38400");
    EXPECT_EQ(lf.entries().size(), 3u);
}

TEST_F(SettingsFile, BlankLineEndsReadingAndShutdownRewritesBothKeys) {
    SettingsStore store = readBack("Port,COM4\r\n\r\nBaudrate,19200\r\n");
    EXPECT_EQ(store.Get("Port"), "COM4");
    EXPECT_EQ(store.Get("Baudrate"), "");
    EXPECT_EQ(store.entries().size(), 1u);
    store.Set("Port", "COM4");
    store.Set("Baudrate", "9600");
    EXPECT_TRUE(store.Write());
    EXPECT_EQ(readBytes(path), "Baudrate,9600\r\nPort,COM4\r\n");
}

TEST_F(SettingsFile, LineOfSpacesAndTabsAlsoEndsReading) {
    const SettingsStore store = readBack("Port,COM4\r\n \t \r\nBaudrate,19200\r\n");
    EXPECT_EQ(store.Get("Baudrate"), "");
}

TEST_F(SettingsFile, HashCommentFirstGivesEmptyMapButReadSucceeds) {
    const SettingsStore store = readBack("# remembered settings\r\nPort,COM5\r\nBaudrate,19200\r\n");
    EXPECT_TRUE(store.entries().empty());
}

TEST_F(SettingsFile, IndentedSlashCommentEndsReadingButSingleSlashDoesNot) {
    const SettingsStore slashes = readBack("Port,COM5\r\n \t// note\r\nBaudrate,19200\r\n");
    EXPECT_EQ(slashes.Get("Port"), "COM5");
    EXPECT_EQ(slashes.Get("Baudrate"), "");

    const SettingsStore single = readBack("/a,1\r\nPort,COM6\r\n");
    EXPECT_EQ(single.Get("/a"), "1");
    EXPECT_EQ(single.Get("Port"), "COM6");
}

TEST_F(SettingsFile, SlashesAfterTextAreKeptInTheValue) {
    const SettingsStore store = readBack("Note,a//b\r\n");
    EXPECT_EQ(store.Get("Note"), "a//b");
}

TEST_F(SettingsFile, ValueEndsAtASecondComma) {
    const SettingsStore store = readBack("Port,COM2,extra\r\nBaudrate,38400,,\r\n");
    EXPECT_EQ(store.Get("Port"), "COM2");
    EXPECT_EQ(store.Get("Baudrate"), "38400");
}

TEST_F(SettingsFile, SpacesAroundTheCommaBelongToKeyAndValue) {
    const SettingsStore store = readBack("Port , COM1\r\n");
    EXPECT_EQ(store.Get("Port"), "");
    EXPECT_EQ(store.Get("Port "), " COM1");
}

TEST_F(SettingsFile, OuterSpacesAndTabsAreTrimmed) {
    const SettingsStore store = readBack("  \tPort,COM8 \t \r\n");
    EXPECT_EQ(store.Get("Port"), "COM8");
}

TEST_F(SettingsFile, LinesWithoutValueAreSkippedAndReadingGoesOn) {
    const SettingsStore store = readBack("Port\r\nPort,\r\nPort,COM9\r\n");
    EXPECT_EQ(store.Get("Port"), "COM9");
    EXPECT_EQ(store.entries().size(), 1u);
}

TEST_F(SettingsFile, FirstLineOfAKeyWins) {
    const SettingsStore store = readBack("Port,COM2\r\nPort,COM3\r\n");
    EXPECT_EQ(store.Get("Port"), "COM2");
}

TEST_F(SettingsFile, KeysAreCaseSensitive) {
    const SettingsStore store = readBack("port,COM2\r\n");
    EXPECT_EQ(store.Get("Port"), "");
    EXPECT_EQ(store.Get("port"), "COM2");
}

TEST_F(SettingsFile, LastLineWithoutLineEndIsRead) {
    const SettingsStore store = readBack("Baudrate,19200\r\nPort,COM11");
    EXPECT_EQ(store.Get("Port"), "COM11");
}

TEST_F(SettingsFile, ExtraCarriageReturnsAtLineEndAreTrimmed) {
    const SettingsStore store = readBack("Port,COM2\r\r\nBaudrate,19200\r\r\r\n");
    EXPECT_EQ(store.Get("Port"), "COM2");
    EXPECT_EQ(store.Get("Baudrate"), "19200");
}

TEST_F(SettingsFile, CrOnlyLineEndsMakeOneLine) {
    // Without LF the whole file is one line; its value runs to the second comma.
    const SettingsStore store = readBack("Port,COM2\rBaudrate,19200\r");
    EXPECT_EQ(store.entries().size(), 1u);
    EXPECT_EQ(store.Get("Port"), "COM2\rBaudrate");
    EXPECT_EQ(store.Get("Baudrate"), "");
}

TEST_F(SettingsFile, EmptyFileReadsAsEmptyMap) {
    const SettingsStore store = readBack("");
    EXPECT_TRUE(store.entries().empty());
}

TEST_F(SettingsFile, KeysSortByteWiseWithPrefixesFirstAndUpperCaseBeforeLowerCase) {
    SettingsStore store = readBack("baud,4\r\nPortable,3\r\nPort,2\r\nPor,1\r\nZeta,5\r\n\xC9t\xE9,6\r\n");
    EXPECT_TRUE(store.Write());
    EXPECT_EQ(readBytes(path), "Por,1\r\nPort,2\r\nPortable,3\r\nZeta,5\r\nbaud,4\r\n\xC9t\xE9,6\r\n");
}

TEST_F(SettingsFile, WrittenFileReadsBackToTheSameEntries) {
    SettingsStore first = readBack("Port,COM12\nBaudrate,19200\nAlpha,x y\n");
    EXPECT_TRUE(first.Write());
    SettingsStore second(path);
    EXPECT_TRUE(second.Read());
    EXPECT_EQ(second.entries(), first.entries());
}

TEST_F(SettingsFile, ApplyDefaultsOverwritesStoredValuesAndKeepsOthers) {
    SettingsStore store = readBack("Port,COM4\r\nBaudrate,38400\r\nAlpha,1\r\n");
    EXPECT_TRUE(store.ApplyDefaults());
    EXPECT_EQ(readBytes(path), "Alpha,1\r\nBaudrate,9600\r\nPort,COM1\r\n");
}

TEST_F(SettingsFile, FailedWriteLeavesTheOldFileWhole) {
    writeBytes(path, "Baudrate,19200\r\nPort,COM6\r\n");
    std::filesystem::create_directory(path + ".new");  // the new file cannot be created
    SettingsStore store(path);
    ASSERT_TRUE(store.Read());
    store.Set("Port", "COM3");
    EXPECT_FALSE(store.Write());
    EXPECT_EQ(readBytes(path), "Baudrate,19200\r\nPort,COM6\r\n");
}

TEST_F(SettingsFile, FailedDefaultsInAMissingFolderKeepTheDefaultsInMemory) {
    SettingsStore store(folder.file("missing-folder/qbv_download_config.txt"));
    EXPECT_FALSE(store.Read());
    EXPECT_FALSE(store.ApplyDefaults());
    EXPECT_EQ(store.Get("Port"), "COM1");
    EXPECT_EQ(store.Get("Baudrate"), "9600");
}

TEST_F(SettingsFile, WriteReplacesALongerOldFileCompletely) {
    writeBytes(path, "Alpha,aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\nBaudrate,9600\r\nPort,COM1\r\n");
    SettingsStore store(path);
    store.Set("Port", "COM2");
    EXPECT_TRUE(store.Write());
    EXPECT_EQ(readBytes(path), "Port,COM2\r\n");
}

}  // namespace
