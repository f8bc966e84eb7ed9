// MessageLoop: the main thread's message loop with message filters (last registered asks first) and idle handlers.
#pragma once

#include <windows.h>

#include <vector>

class MessageFilter {
public:
    virtual ~MessageFilter() = default;
    // True when the filter has taken the message (it is then neither translated nor dispatched).
    virtual bool preTranslateMessage(MSG& message) = 0;
};

class IdleHandler {
public:
    virtual ~IdleHandler() = default;
    virtual bool onIdle() = 0;
};

class MessageLoop {
public:
    void addMessageFilter(MessageFilter* filter);
    void removeMessageFilter(MessageFilter* filter);
    void addIdleHandler(IdleHandler* handler);
    void removeIdleHandler(IdleHandler* handler);

    // Runs until WM_QUIT; answers its wParam.
    int run();

    // Whether idle processing comes back on after `message`; mouse moves, paints and the caret timer don't count.
    static bool resumesIdle(UINT message);

private:
    void runIdleHandlers();
    bool filter(MSG& message);

    MSG message_{};
    std::vector<MessageFilter*> filters_;
    std::vector<IdleHandler*> idleHandlers_;
};
