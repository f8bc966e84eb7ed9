// DebugMailslot for the host build: there are no mailslots, so nothing is ever delivered.
#include "DebugMailslot.h"

bool DebugMailslot::open(const std::string&) { return false; }
void DebugMailslot::write(const std::string&) {}
void DebugMailslot::close() { handle_ = nullptr; }
