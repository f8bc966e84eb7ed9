// Fuzz target: request dispatch of any text, on a driver holding a line that answers with the input's tail.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CommDriver.h"
#include "FakeBytePort.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The text runs up to the first NUL byte; what follows is what the unit sends back.
    const void* nul = std::memchr(data, 0, size);
    const std::size_t textSize = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data) : size;
    const std::string text(reinterpret_cast<const char*>(data), textSize);

    auto line = std::make_shared<FakeLineState>();
    if (textSize < size) line->incoming.assign(data + textSize + 1, data + size);
    CommDriver driver([line] { return std::make_unique<FakeBytePort>(line); });
    driver.dispatch("COMM_LK207/1.0\r\nArgument0: COM1\r\nArgument1: 9600\r\nArgument2: 8\r\nMethod: Open\r\n\r\n");

    const std::string answer = driver.dispatch(text);
    if (!answer.empty() && answer.rfind("COMM_LK207/1.0 ", 0) != 0) std::abort();
    if (!answer.empty() && answer.compare(answer.size() - 4, 4, "\r\n\r\n") != 0) std::abort();
    return 0;
}
