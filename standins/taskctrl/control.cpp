#include "standins/taskctrl/control.h"

#include <cctype>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

#include "pal/pipe/pipe.h"
#include "pal/windows.h"
#include "standins/taskctrl/controller.h"
#include "standins/taskctrl/journal.h"

namespace taskctrl {

namespace {

constexpr size_t kMaxCommand = 4096;

const char kHelp[] =
    "ok commands:\n"
    "loopback on|off\n"
    "disconnect PROCESS\n"
    "stall PROCESS on|off\n"
    "split PROCESS PIECES [RECORDS]\n"
    "clients\n"
    "watch\n"
    "help";

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Field(const std::string& s) { return s.empty() ? "-" : s; }

bool Number(const std::string& text, long lo, long hi, long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace

std::string Execute(Controller& c, const std::string& line, bool& watch) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "error: empty command";
    std::string cmd = Lower(w[0]);
    auto noClient = [&] { return "error: no client " + w[1]; };

    if (cmd == "help" && w.size() == 1) return kHelp;
    if (cmd == "loopback" && w.size() == 2 && (Lower(w[1]) == "on" || Lower(w[1]) == "off")) {
        c.SetLoopback(Lower(w[1]) == "on");
        return "ok loopback " + Lower(w[1]);
    }
    if (cmd == "disconnect" && w.size() == 2) {
        size_t n = c.ForProcess(w[1], [](Client& client) { client.Drop(); });
        if (n == 0) return noClient();
        c.journal().Write("control: disconnect " + w[1]);
        return "ok " + std::to_string(n) + " disconnected";
    }
    if (cmd == "stall" && w.size() == 3 && (Lower(w[2]) == "on" || Lower(w[2]) == "off")) {
        bool on = Lower(w[2]) == "on";
        size_t n = c.ForProcess(w[1], [on](Client& client) { client.SetStall(on); });
        if (n == 0) return noClient();
        c.journal().Write("control: stall " + w[1] + " " + Lower(w[2]));
        return "ok " + std::to_string(n) + (on ? " stalled" : " resumed");
    }
    if (cmd == "split" && (w.size() == 3 || w.size() == 4)) {
        long pieces = 0, records = 1;
        if (!Number(w[2], 1, 4096, pieces) || (w.size() == 4 && !Number(w[3], 1, 1000000, records)))
            return "error: split PROCESS PIECES [RECORDS]: PIECES 1..4096, RECORDS 1..1000000";
        size_t n = c.ForProcess(w[1], [&](Client& client) {
            client.SetSplit(static_cast<int>(pieces), static_cast<int>(records));
        });
        if (n == 0) return noClient();
        c.journal().Write("control: split " + w[1] + " " + w[2] + (w.size() == 4 ? " " + w[3] : ""));
        return "ok " + std::to_string(n) + " split";
    }
    if (cmd == "clients" && w.size() == 1) {
        auto clients = c.Clients();
        std::string out = "ok " + std::to_string(clients.size());
        for (const ClientInfo& i : clients) {
            std::string state = i.stalled ? "stalled" : i.stopping ? "stopping" : "-";
            out += "\n" + std::to_string(i.id) + "\t" + Field(i.who.process) + "\t" + Field(i.who.pc) + "\t" +
                   Field(i.who.net) + "\t" + std::to_string(i.in) + "\t" + std::to_string(i.out) + "\t" +
                   std::to_string(i.queued) + "\t" + state;
        }
        return out;
    }
    if (cmd == "watch" && w.size() == 1) {
        watch = true;
        return "ok watching";
    }
    return "error: unknown command '" + line + "' (help lists the commands)";
}

ControlSession::ControlSession(Controller& owner, HANDLE pipe, unsigned id)
    : owner_(owner), pipe_(pipe), id_(id) {
    readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

ControlSession::~ControlSession() {
    Join();
    if (readEvent_ != nullptr) CloseHandle(readEvent_);
    if (writeEvent_ != nullptr) CloseHandle(writeEvent_);
}

void ControlSession::Start() {
    thread_ = std::thread([this] { Run(); });
}

void ControlSession::Join() {
    if (thread_.joinable()) thread_.join();
    if (pipe_ != nullptr) {
        CloseHandle(pipe_);
        pipe_ = nullptr;
    }
}

DWORD ControlSession::ReadMessage(std::string& message) {
    message.clear();
    char buffer[512];
    OVERLAPPED ov = {};
    ov.hEvent = readEvent_;
    bool tooLong = false;
    for (;;) {
        ResetEvent(readEvent_);
        DWORD n = 0;
        BOOL ok = ReadFile(pipe_, buffer, sizeof buffer, nullptr, &ov);
        DWORD error = ok ? 0 : GetLastError();
        if (error == ERROR_IO_PENDING) {
            HANDLE waits[] = {owner_.stopEvent(), readEvent_};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
                CancelIoEx(pipe_, &ov);
                GetOverlappedResult(pipe_, &ov, &n, TRUE);
                return 1;
            }
            ok = GetOverlappedResult(pipe_, &ov, &n, FALSE);
            error = ok ? 0 : GetLastError();
        } else if (ok || error == ERROR_MORE_DATA) {
            GetOverlappedResult(pipe_, &ov, &n, FALSE);
        }
        if (!ok && error != ERROR_MORE_DATA) return error;
        // An over-long command is read to its end, so the next one starts clean.
        if (message.size() + n > kMaxCommand) tooLong = true;
        if (!tooLong) message.append(buffer, n);
        if (ok) return tooLong ? static_cast<DWORD>(ERROR_INVALID_DATA) : 0;
    }
}

bool ControlSession::WriteMessage(const std::string& message) {
    OVERLAPPED ov = {};
    ov.hEvent = writeEvent_;
    ResetEvent(writeEvent_);
    DWORD n = 0;
    if (!WriteFile(pipe_, message.data(), static_cast<DWORD>(message.size()), nullptr, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) return false;
        HANDLE waits[] = {owner_.stopEvent(), writeEvent_};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            CancelIoEx(pipe_, &ov);
            GetOverlappedResult(pipe_, &ov, &n, TRUE);
            return false;
        }
    }
    return GetOverlappedResult(pipe_, &ov, &n, FALSE) && n == message.size();
}

// Sends journal lines until the peer goes; a read stays pending only to notice that.
void ControlSession::Watch() {
    auto watcher = std::make_shared<Watcher>();
    owner_.journal().AddWatcher(watcher);
    char sink[512];
    OVERLAPPED ov = {};
    ov.hEvent = readEvent_;
    bool pending = false;
    for (bool open = true; open;) {
        if (!pending) {
            ResetEvent(readEvent_);
            if (ReadFile(pipe_, sink, sizeof sink, nullptr, &ov)) continue;  // ignored input
            DWORD error = GetLastError();
            if (error == ERROR_MORE_DATA) continue;
            if (error != ERROR_IO_PENDING) break;
            pending = true;
        }
        HANDLE waits[] = {owner_.stopEvent(), readEvent_, watcher->event()};
        DWORD w = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (w == WAIT_OBJECT_0 + 1) {
            pending = false;
            DWORD n = 0;
            if (!GetOverlappedResult(pipe_, &ov, &n, FALSE) && GetLastError() != ERROR_MORE_DATA) break;
        } else if (w == WAIT_OBJECT_0 + 2) {
            for (const std::string& line : watcher->Take())
                if (!WriteMessage(line)) {
                    open = false;
                    break;
                }
        } else {
            break;
        }
    }
    if (pending) {
        CancelIoEx(pipe_, &ov);
        DWORD n = 0;
        GetOverlappedResult(pipe_, &ov, &n, TRUE);
    }
    owner_.journal().RemoveWatcher(watcher);
}

void ControlSession::Run() {
    std::string command;
    for (;;) {
        DWORD error = ReadMessage(command);
        if (error == ERROR_INVALID_DATA) {
            if (!WriteMessage("error: a command is at most 4096 bytes")) break;
            continue;
        }
        if (error != 0) break;
        bool watch = false;
        if (!WriteMessage(Execute(owner_, command, watch))) break;
        if (watch) {
            Watch();
            break;
        }
    }
    owner_.RetireSession(*this);
}

}  // namespace taskctrl
