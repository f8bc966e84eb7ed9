// Host tests of the window's portable rules: the settings file, the executable's folder, the lists, the icon.
#include <gtest/gtest.h>

#include <bitset>
#include <filesystem>
#include <fstream>

#include "DialogRules.h"
#include "ExePath.h"
#include "SettingsStore.h"
#include "TempFolder.h"

namespace fs = std::filesystem;

TEST(Settings, ReadUpToACommentFirstKeyWinsAndOnlyTheLineIsTrimmed) {
    const std::pair<std::string, std::string> cases[] = {  // file content, then what was read as the file writes it
        {"Port,COM4\r\n\r\nX,1\r\n", "Port,COM4\r\n"}, {"Port,COM4\r\n \t \r\nX,1\r\n", "Port,COM4\r\n"}, {"", ""},
        {"# remembered\r\nPort,COM5\r\n", ""}, {"Port,COM5\r\n \t// note\r\nX,1\r\n", "Port,COM5\r\n"},  // end reading
        {"/a,1\nNote,a//b\n", "/a,1\r\nNote,a//b\r\n"},
        {"Port,COM2,extra\r\nBaudrate,38400,,\r\n", "Baudrate,38400\r\nPort,COM2\r\n"},  // a second comma ends it
        {"  \tPort , COM8 \t \r\n", "Port , COM8\r\n"},  // only the line's outer spaces and tabs are trimmed
        {"Port\r\nPort,\r\nPort,COM9\r\nPort,COM3\r\nport,low\r\n", "Port,COM9\r\nport,low\r\n"},  // the first one wins
        {"Baudrate,19200\r\r\nPort,COM11", "Baudrate,19200\r\nPort,COM11\r\n"},
        {"Port,COM2\rBaudrate,19200\r", "Port,COM2\rBaudrate\r\n"},  // without LF the whole file is one line
    };
    for (const auto& [content, expected] : cases)
        EXPECT_EQ(settings::formatText(settings::parseText(content)), expected) << content;
}

TEST(Settings, WrittenBytesAndFailedWrites) {
    TempFolder dir;
    const std::string path = dir / "qbv_download_config.txt";
    SettingsStore store(path);
    EXPECT_TRUE(!store.Read() && store.ApplyDefaults());  // as the window does when there is no file
    EXPECT_EQ(readFile(path), "Baudrate,9600\r\nPort,COM1\r\n");
    writeFile(path, "baud,4\r\nPortable,3\r\nPort,2\r\nPor,1\r\nZeta,5\r\n\xC9t\xE9,6\r\n");
    SettingsStore sorted(path);
    EXPECT_TRUE(sorted.Read() && sorted.Write());
    EXPECT_EQ(readFile(path), "Por,1\r\nPort,2\r\nPortable,3\r\nZeta,5\r\nbaud,4\r\n\xC9t\xE9,6\r\n");  // byte by byte
    store.Set("Port", "COM3"), store.Set("Baudrate", "38400");
    EXPECT_TRUE(store.Write());
    EXPECT_EQ(readFile(path), "Baudrate,38400\r\nPort,COM3\r\n");  // the longer old file is replaced whole
    fs::create_directory(path + ".new");  // the new file cannot be made: the old one stays
    EXPECT_FALSE(sorted.Write());
    EXPECT_EQ(readFile(path), "Baudrate,38400\r\nPort,COM3\r\n");
    SettingsStore nowhere(dir / "absent/qbv_download_config.txt");
    EXPECT_FALSE(nowhere.ApplyDefaults());
    EXPECT_EQ(nowhere.Get("Port") + "," + nowhere.Get("Baudrate"), "COM1,9600");  // kept in memory
}

TEST(ExePath, FolderOfTheModulePath) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Tools\\QBV\\qbv.exe", "C:\\Tools\\QBV\\"}, {"C:\\q.exe", "C:\\"}, {"C:q.exe", "C:"}, {"q.exe", ""},
        {"D:\\v1.20.rel\\tool.x\\q.exe", "D:\\v1.20.rel\\tool.x\\"}, {"Z:/tmp/run/q.exe", "Z:/tmp/run/"}, {"", ""},
        {"\\\\server\\share\\q.exe", "\\\\server\\share\\"}, {"Z:\\tmp/run\\q.exe", "Z:\\tmp/run\\"},
        {"C:\\" + std::string(300, 'f') + "\\q.exe", "C:\\" + std::string(300, 'f') + "\\"}};  // never shortened
    for (const auto& [path, folder] : cases) EXPECT_EQ(exepath::folderOf(path), folder) << path;
}

TEST(DialogRules, ListsBaudRatesStoredValuesAndCentring) {
    using namespace dialogrules;
    EXPECT_EQ(portEntries().size(), 20u);
    for (int n = 1; n <= 20; ++n) EXPECT_EQ(portEntries().at(n - 1), "COM" + std::to_string(n));
    EXPECT_EQ(baudRateEntries(), (std::vector<std::string>{"9600", "19200", "38400"}));
    EXPECT_EQ(baudRateFromText("19200") + baudRateFromText("38400"), 19200u + 38400u);
    for (const char* text : {"", "fast", "19200 ", "-38400", "99999999999"}) EXPECT_EQ(baudRateFromText(text), 9600u);
    EXPECT_EQ(valueToStore(std::string("COM3"), "COM9", "COM1"), "COM3");
    EXPECT_EQ(valueToStore(std::nullopt, "57600", "9600"), "57600");
    EXPECT_EQ(valueToStore(std::string(), "", "COM1"), "COM1");
    const struct { Box window, anchor, area; long x, y; } cases[] = {
        {{0, 0, 501, 300}, {0, 0, 1024, 768}, {0, 0, 1024, 768}, 262, 234},
        {{0, 0, 200, 100}, {100, 40, 900, 640}, {100, 40, 900, 640}, 400, 290},
        {{0, 0, 800, 600}, {0, 0, 640, 480}, {0, 0, 640, 480}, 0, 0},  // larger than the area: top-left kept inside
        {{0, 0, 300, 200}, {850, 600, 1000, 700}, {0, 0, 1000, 700}, 700, 500},  // pulled back inside
        {{0, 0, 300, 200}, {702, 500, 1000, 700}, {0, 0, 1000, 700}, 700, 500}};  // one pixel past the edge
    for (const auto& c : cases) {
        const Position p = centredOver(c.window, c.anchor, c.area);
        EXPECT_EQ(std::make_pair(p.x, p.y), std::make_pair(c.x, c.y));
    }
}

TEST(IconFile, OneImageOf32By32With16ColoursAndItsMask) {
    const std::string icon = readFile(QBV_ICON_FILE);
    const auto le = [&icon](std::size_t at, int n, std::uint32_t v = 0) {  // n bytes, least significant first
        while (n-- > 0) v = v << 8 | static_cast<std::uint8_t>(icon.at(at + n));
        return v;
    };
    const std::uint32_t size = le(14, 4), b = le(18, 4);
    ASSERT_EQ(b + size, icon.size());
    // Directory: reserved, icon, one image of 32 x 32 in 16 colours, 4 bits; bitmap header: 40 bytes, 32 wide, 64 high
    // (colour and mask), 4 bits, uncompressed; then 16 palette entries, 32 rows of 16 colour bytes and of 4 mask bytes.
    EXPECT_EQ((std::vector<std::uint32_t>{le(0, 2), le(2, 2), le(4, 2), le(6, 1), le(7, 1), le(8, 1), le(12, 2),
                                          le(b, 4), le(b + 4, 4), le(b + 8, 4), le(b + 14, 2), le(b + 16, 4), size}),
              (std::vector<std::uint32_t>{0, 1, 1, 32, 32, 16, 4, 40, 32, 64, 4, 0, 40 + 16 * 4 + 32 * 16 + 32 * 4}));
    std::size_t clear = 0;
    for (std::size_t i = icon.size() - 32 * 4; i < icon.size(); ++i) clear += std::bitset<8>(icon[i]).count();
    EXPECT_TRUE(clear > 0 && clear < 32 * 32) << clear;  // both transparent and opaque pixels
}
