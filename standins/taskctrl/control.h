// One connection of the control pipe: reads text commands (one message each) and answers
// each with one message whose first line begins with "ok" or "error:". After "watch" the
// connection receives one message per journal line until the peer closes it. The
// commands are listed in docs/taskctrl.md.
#pragma once

#include <string>
#include <thread>

#include "pal/types.h"

namespace taskctrl {

class Controller;

class ControlSession {
public:
    ControlSession(Controller& owner, HANDLE pipe, unsigned id);
    ~ControlSession();
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    void Start();
    void Join();
    unsigned id() const { return id_; }

private:
    void Run();
    // 0 with the whole message, or the Win32 error (1 when the controller stops).
    DWORD ReadMessage(std::string& message);
    bool WriteMessage(const std::string& message);
    void Watch();

    Controller& owner_;
    HANDLE pipe_;
    const unsigned id_;
    HANDLE readEvent_, writeEvent_;
    std::thread thread_;
};

// Carries out one command line; sets watch when the connection turns into a watcher.
std::string Execute(Controller& controller, const std::string& line, bool& watch);

}  // namespace taskctrl
