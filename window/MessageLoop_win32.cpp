// MessageLoop: idle step, GetMessageA, the filters (IsDialogMessageA of the main dialog), then translate and dispatch.
#include "MessageLoop_win32.h"

#include <algorithm>

namespace {
constexpr UINT kSystemTimer = 0x0118;  // the caret blink timer, not defined in the headers
constexpr BOOL kGetMessageFailed = -1;

template <typename T>
void removeFrom(std::vector<T*>& list, T* item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}
}  // namespace

void MessageLoop::addMessageFilter(MessageFilter* filter) { filters_.push_back(filter); }
void MessageLoop::removeMessageFilter(MessageFilter* filter) { removeFrom(filters_, filter); }
void MessageLoop::addIdleHandler(IdleHandler* handler) { idleHandlers_.push_back(handler); }
void MessageLoop::removeIdleHandler(IdleHandler* handler) { removeFrom(idleHandlers_, handler); }

bool MessageLoop::resumesIdle(UINT message) {
    return message != WM_MOUSEMOVE && message != WM_NCMOUSEMOVE && message != WM_PAINT && message != kSystemTimer;
}

void MessageLoop::runIdleHandlers() {
    const std::vector<IdleHandler*> handlers = idleHandlers_;  // a handler may unregister itself
    for (IdleHandler* handler : handlers) handler->onIdle();
}

bool MessageLoop::filter(MSG& message) {
    const std::vector<MessageFilter*> filters = filters_;
    for (auto it = filters.rbegin(); it != filters.rend(); ++it) {
        if ((*it)->preTranslateMessage(message)) return true;
    }
    return false;
}

int MessageLoop::run() {
    bool idle = true;
    for (;;) {
        while (idle && !PeekMessageA(&message_, nullptr, 0, 0, PM_NOREMOVE)) {
            runIdleHandlers();
            idle = false;  // one idle step until the next message
        }
        const BOOL got = GetMessageA(&message_, nullptr, 0, 0);
        if (got == kGetMessageFailed) continue;
        if (got == 0) break;  // WM_QUIT
        if (!filter(message_)) {
            TranslateMessage(&message_);
            DispatchMessageA(&message_);
        }
        if (resumesIdle(message_.message)) idle = true;
    }
    return static_cast<int>(message_.wParam);
}
