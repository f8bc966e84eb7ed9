// Windows tests of the real lk207.dll: loaded by path, driven through `request` with GlobalAlloc blocks, against virtual units.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "CommMessage.h"
#include "Crc16.h"
#include "LinkRequests.h"
#include "TextCodec.h"

namespace {

// The harness maps these ports to virtual units before the tests run.
constexpr const char* kNormalPort = "COM1";      // answers as a unit in download mode would
constexpr const char* kSilentPort = "COM2";      // never answers
constexpr const char* kCorruptPort = "COM3";     // every reply carries a wrong check byte
constexpr const char* kSlowNoisyPort = "COM4";   // noise before replies, paced at 9600 baud
constexpr const char* kMissingPort = "COM19";    // mapped to nothing

using LoadFn = bool(__cdecl*)();
using RequestFn = char*(__cdecl*)(char*, std::uint32_t*);

const std::string kOk = "COMM_LK207/1.0 200 OK\r\n\r\n";
const std::string kMemoryFailure = "COMM_LK207/1.0 401 Memory Failure\r\n\r\n";
const std::string kCloseText = "COMM_LK207/1.0\r\nMethod: Close\r\n\r\n";

std::string exeFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

std::string openText(const std::string& port, const std::string& baud = "9600") {
    return "COMM_LK207/1.0\r\nArgument0: " + port + "\r\nArgument1: " + baud + "\r\nArgument2: 8\r\nMethod: Open\r\n\r\n";
}

std::string commandText(const ByteBuffer& frame) {
    return commandRequest(frame).serialize();
}

ByteBuffer withCheck(ByteBuffer frame) {
    const std::uint16_t crc = Crc16::of(frame.data(), frame.size());
    frame.append16(crc);
    return frame;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The transcript of the virtual unit behind a port, through Wine's Z: drive.
std::string transcriptOf(const std::string& port) {
    const char* dir = std::getenv("QBV_PORT_DIR");
    if (dir == nullptr) return std::string();
    std::string name = port;
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return readFile(std::string("Z:") + dir + "/transcript-" + name + ".txt");  // "com1.txt" would name the device
}

// The library as the tool holds it: loaded by path, the three exports bound, `load` called.
class Library : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryA((exeFolder() + "lk207.dll").c_str());
        ASSERT_NE(module_, nullptr);
        load_ = reinterpret_cast<LoadFn>(reinterpret_cast<void*>(GetProcAddress(module_, "load")));
        unload_ = reinterpret_cast<LoadFn>(reinterpret_cast<void*>(GetProcAddress(module_, "unload")));
        request_ = reinterpret_cast<RequestFn>(reinterpret_cast<void*>(GetProcAddress(module_, "request")));
        ASSERT_NE(load_, nullptr);
        ASSERT_NE(unload_, nullptr);
        ASSERT_NE(request_, nullptr);
        ASSERT_TRUE(load_());
    }
    void TearDown() override {
        if (request_) send(kCloseText);
        if (unload_) {
            EXPECT_TRUE(unload_());
        }
        if (module_) FreeLibrary(module_);
    }

    // One request with the block contract: the caller's block is n + 1 bytes from GlobalAlloc(GPTR),
    // the answer is a block of m + 1 bytes ending in 0, with m stored through the length.
    std::string sendBytes(const std::string& bytes, std::uint32_t statedLength) {
        char* block = static_cast<char*>(GlobalAlloc(GPTR, bytes.size() + 1));
        EXPECT_NE(block, nullptr);
        std::memcpy(block, bytes.data(), bytes.size());
        std::uint32_t length = statedLength;
        char* answer = request_(block, &length);
        EXPECT_NE(answer, nullptr);
        if (answer == nullptr) return "<no block>";
        EXPECT_EQ(GlobalSize(answer), static_cast<SIZE_T>(length) + 1);
        EXPECT_EQ(answer[length], '\0');
        std::string text(answer, length);
        EXPECT_EQ(GlobalFree(answer), nullptr);
        return text;
    }
    std::string send(const std::string& text) { return sendBytes(text, static_cast<std::uint32_t>(text.size())); }

    HMODULE module_ = nullptr;
    LoadFn load_ = nullptr;
    LoadFn unload_ = nullptr;
    RequestFn request_ = nullptr;
};

}  // namespace

TEST_F(Library, OpenCommandCloseAnswersByteForByte) {
    const std::string open = openText(kNormalPort);
    ASSERT_EQ(open.size(), 80u);
    EXPECT_EQ(send(open), kOk);
    const std::string command = commandText(ByteBuffer{0xFC, 0x05, 0x11});
    ASSERT_EQ(command.size(), 88u);
    const std::string disable = encodeBase64(withCheck(ByteBuffer{0xFC, 0x05, 0x1A}));
    EXPECT_EQ(send(command), "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: " + disable + "\r\n\r\n");
    EXPECT_EQ(send(kCloseText), kOk);
    EXPECT_NE(transcriptOf(kNormalPort).find(" IN FC 05 11 27 56\n"), std::string::npos)
        << "transcript:\n" << transcriptOf(kNormalPort);
}

TEST_F(Library, DownloadStartIsAcknowledged) {
    ASSERT_EQ(send(openText(kNormalPort, "38400")), kOk);
    EXPECT_EQ(send(commandText(ByteBuffer{0xFC, 0x05, 0xD0})),
              "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n\r\n");
    EXPECT_NE(transcriptOf(kNormalPort).find(" IN FC 05 D0 A2 81\n"), std::string::npos);
}

TEST_F(Library, SilentUnitAnswers102AfterAboutOneSecond) {
    ASSERT_EQ(send(openText(kSilentPort)), kOk);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send(commandText(ByteBuffer{0xFC, 0x05, 0x11})), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 102\r\n\r\n");
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("silence time-out observed: %lld ms\n", static_cast<long long>(ms));
    EXPECT_GE(ms, 900);
    EXPECT_LE(ms, 2000);
    EXPECT_NE(transcriptOf(kSilentPort).find(" IN FC 05 11 27 56\n"), std::string::npos);
}

TEST_F(Library, BadCheckByteAnswers105) {
    ASSERT_EQ(send(openText(kCorruptPort)), kOk);
    EXPECT_EQ(send(commandText(ByteBuffer{0xFC, 0x05, 0x11})), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 105\r\n\r\n");
}

TEST_F(Library, NoiseAndLineRatePacingStillGiveTheReply) {
    ASSERT_EQ(send(openText(kSlowNoisyPort)), kOk);
    const std::string disable = encodeBase64(withCheck(ByteBuffer{0xFC, 0x05, 0x1A}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(send(commandText(ByteBuffer{0xFC, 0x05, 0x11})),
                  "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: " + disable + "\r\n\r\n");
    }
}

TEST_F(Library, MissingPortAnswers401Then107ThenClose200) {
    EXPECT_EQ(send(openText(kMissingPort)), kMemoryFailure);
    EXPECT_EQ(send(commandText(ByteBuffer{0xFC, 0x05, 0x11})), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 107\r\n\r\n");
    EXPECT_EQ(send(kCloseText), kOk);
    EXPECT_EQ(send(commandText(ByteBuffer{0xFC, 0x05, 0x11})), kMemoryFailure);
}

TEST_F(Library, PortCanBeReopenedAfterClose) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(send(openText(kNormalPort)), kOk) << "round " << i;
        EXPECT_EQ(send(kCloseText), kOk);
    }
    // A second Open without Close releases the first port, so the same device opens again.
    EXPECT_EQ(send(openText(kNormalPort)), kOk);
    EXPECT_EQ(send(openText(kNormalPort)), kOk);
}

TEST_F(Library, MalformedRequestsGetAnEmptyAnswer) {
    EXPECT_EQ(send(""), "");
    EXPECT_EQ(send("COMM_LK207/1.0\r\nMethod: open\r\n\r\n"), "");
    EXPECT_EQ(send("COMM_LK207/1.0\r\nArgument0: COM1\r\nArgument1: 9600\r\nArgument2: 8\r\nMethod : Open\r\n\r\n"), "");
    EXPECT_EQ(send("COMM_LK207/1.0\r\nMethod: Opens\r\n\r\n"), "");
}

TEST_F(Library, TextEndsAtANulInsideTheStatedLength) {
    const std::string cut = std::string("COMM_LK207/1.0\r\n\0Method: Close\r\n\r\n", 35);
    EXPECT_EQ(sendBytes(cut, static_cast<std::uint32_t>(cut.size())), "");
    const std::string kept = std::string("COMM_LK207/1.0\r\nMethod: Close\r\n\r\n\0Method: Open", 46);
    EXPECT_EQ(sendBytes(kept, static_cast<std::uint32_t>(kept.size())), kOk);
    // A stated length shorter than the text cuts it too.
    EXPECT_EQ(sendBytes(kCloseText, 20), "");
}

TEST_F(Library, DebugMailslotGetsEachRequestAndAnswer) {
    HANDLE slot = CreateMailslotA("\\\\.\\mailslot\\DebugComm_lk207", 0, 0, nullptr);
    ASSERT_NE(slot, INVALID_HANDLE_VALUE);
    EXPECT_EQ(send(kCloseText), kOk);
    EXPECT_EQ(send("COMM_LK207/1.0\r\nMethod: open\r\n\r\n"), "");
    // The empty answer to the last request is one write of no bytes, which Wine does not queue as a message.
    const std::string expected[] = {kCloseText, kOk, "COMM_LK207/1.0\r\nMethod: open\r\n\r\n"};
    for (const std::string& text : expected) {
        DWORD next = 0, count = 0;
        ASSERT_TRUE(GetMailslotInfo(slot, nullptr, &next, &count, nullptr));
        ASSERT_GT(count, 0u) << "missing: " << text;
        std::string got(next, '\0');
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(slot, got.data(), next, &read, nullptr) || next == 0);
        got.resize(read);
        EXPECT_EQ(got, text);
    }
    CloseHandle(slot);
}
