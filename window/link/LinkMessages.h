// Names of the registered messages between the dialog and the link worker thread.
#pragma once

namespace linkmsg {
// To the worker thread (PostThreadMessageA).
constexpr const char* kExitThread = "Vessor::LK207::Message::ExitThread";
constexpr const char* kEnableComm = "Vessor::LK207::Message::EnableComm";
constexpr const char* kDisableComm = "Vessor::LK207::Message::DisableComm";
constexpr const char* kCommand = "Vessor::LK207::Message::Command";
constexpr const char* kPolling = "Vessor::LK207::Message::Polling";
// To the dialog window (PostMessageA); lParam is a heap ByteBuffer the window takes over.
constexpr const char* kStatusUpdate = "Vessor::LK207::Message::StatusUpdate";
constexpr const char* kResponse = "Vessor::LK207::Message::Response";
constexpr const char* kAlarm = "Vessor::LK207::Message::Alarm";
// The dialog to itself, after passing over a blank block.
constexpr const char* kSendCancel = "Vessor::DLG::Message::SENDCANCEL";
}  // namespace linkmsg
