// DebugMailslot (Windows builds): optional debug output to a mailslot an outside viewer created; failures are silent.
#pragma once

#include <string>

namespace debugslot {
constexpr const char* kToolSlot = "Debug_QBV_DOWNLOAD";
constexpr const char* kDriverSlot = "DebugComm_lk207";
}  // namespace debugslot

class DebugMailslot {
public:
    DebugMailslot() = default;
    DebugMailslot(const DebugMailslot&) = delete;
    DebugMailslot& operator=(const DebugMailslot&) = delete;
    ~DebugMailslot() { close(); }

    bool open(const std::string& name);   // true when the mailslot exists and is now open for writing
    void write(const std::string& text);  // one write of the text's bytes; result not reported
    void close();                         // safe when closed

    // Open, one write, close: the way every text is sent.
    static void send(const std::string& name, const std::string& text) {
        DebugMailslot slot;
        if (slot.open(name)) slot.write(text);
    }

private:
    void* handle_ = nullptr;
};
