// Windows tests of the real lk207.dll under wine64: exports, block contract and serial line, against virtual units.
#include "RequestTexts.h"
#include "WinTestSupport_win32.h"

const std::string kClose = closeRequest().serialize();
const std::string kStatus = commandRequest(ByteBuffer{0xFC, 0x05, 0x11}).serialize();
const std::string kDisable = "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n";
std::string openText(const char* port) { return openRequest(port, 9600).serialize(); }
std::string error(int c) { return "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: " + std::to_string(c) + "\r\n\r\n"; }

// The library as the tool holds it: loaded from the exe folder, its three exports bound, `load` called.
struct Library : ::testing::Test {
    using LoadFn = bool(__cdecl*)();
    LoadFn fn(const char* name) { return reinterpret_cast<LoadFn>(reinterpret_cast<void*>(GetProcAddress(dll, name))); }
    void SetUp() override { ASSERT_TRUE(fn("load") && fn("unload") && GetProcAddress(dll, "request") && fn("load")()); }
    void TearDown() override { EXPECT_TRUE(fn("unload") && fn("unload")() && FreeLibrary(dll)); }
    std::string send(const std::string& text) { return request(dll, text, static_cast<std::uint32_t>(text.size())); }
    HMODULE dll = LoadLibraryA((thisExeFolder() + "lk207.dll").c_str());
};

TEST_F(Library, OpenCommandCloseOnAMissingPortThenOnTheNormalUnit) {
    EXPECT_EQ(send(openText(kMissing)), k401);
    EXPECT_EQ(send(kStatus), error(107)) << "the port that did not open takes no bytes";
    EXPECT_EQ(send(openRequest(kNormal, 19200).serialize()), kOk);
    EXPECT_EQ(send(kStatus), kDisable);
    EXPECT_EQ(framesIn(kNormal, " LINE ").back(), "19200 1") << "the unit sees the Open's baud rate and one stop bit";
    EXPECT_EQ(send(kClose), kOk);
    EXPECT_EQ(send(openText(kNormal)), kOk) << "the port opens again after Close";
    EXPECT_EQ(send(openText(kNormal)), kOk) << "a second Open releases the first port";
}

TEST_F(Library, SilenceTimesOutAfterAboutOneSecondABadCheckByteFailsNoiseAndPacingDoNot) {
    const struct { const char* port; std::string answer; double ms, slack; } cases[] = {
        {kSilent, error(102), 1250, 350}, {kCorrupt, error(105), 0, 900}, {kNoisy, kDisable, 0, 900}};
    for (const auto& c : cases) {
        ASSERT_EQ(send(openText(c.port)), kOk) << c.port;
        const DWORD start = GetTickCount();
        EXPECT_EQ(send(kStatus), c.answer) << c.port;
        EXPECT_NEAR(GetTickCount() - start, c.ms, c.slack) << c.port;
    }
}

TEST_F(Library, TheTextEndsAtANulOrTheStatedLengthAndGoesToTheDebugMailslotWithItsAnswer) {
    EXPECT_EQ(send(std::string("COMM_LK207/1.0\r\n\0Method: Close\r\n\r\n", 35)), "");
    Mailslot slot("DebugComm_lk207");
    EXPECT_EQ(send(kClose + std::string("\0Method: Open", 13)), kOk);
    EXPECT_EQ(request(dll, kClose, 20), "");
    EXPECT_EQ(slot.readAll(), (std::vector<std::string>{kClose, kOk, kClose.substr(0, 20)}));
}
