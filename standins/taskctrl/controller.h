// The task controller: serves the job pipe (byte mode, one free instance always waiting)
// and its control pipe (message mode), and routes every record a client writes to each
// connected client its destination names. Threads: the accepting thread (Run), two per
// job-pipe client (client.h) and one per control connection (control.h).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/jobpipedata.h"
#include "pal/types.h"
#include "standins/taskctrl/client.h"
#include "standins/taskctrl/config.h"
#include "standins/taskctrl/journal.h"

namespace taskctrl {

class ControlSession;

// The process name under which records reach the controller itself.
inline constexpr const char* kOwnProcess = "taskctrl";
// Result code of the answer to a request that no connected process receives.
inline constexpr WORD kNoReceiver = 7002;

class Controller {
public:
    Controller(const Config& config, Journal& journal, HANDLE stop);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Creates the first instance of both pipes; 0 or the Win32 error.
    DWORD Start();
    // Accepts connections until the stop event is set, then ends every connection and
    // joins every thread.
    void Run();

    // From a client's reader: one whole record.
    void OnRecord(Client& from, const RecordBytes& bytes);
    // From a client's reader as it ends.
    void Retire(Client& client, const std::string& why);
    void NoteDropped(Client& client, const RecordBytes& bytes, const std::string& why);
    // From a control session as it ends.
    void RetireSession(ControlSession& session);

    // Test controls.
    void SetLoopback(bool on);
    bool Loopback() const { return loopback_; }
    // Applies fn to every client whose process is name; the number of them.
    template <typename Fn>
    size_t ForProcess(const std::string& name, Fn fn) {
        size_t n = 0;
        for (const auto& c : Snapshot())
            if (c->HasProcess(name)) {
                fn(*c);
                ++n;
            }
        return n;
    }
    std::vector<ClientInfo> Clients() const;

    Journal& journal() { return journal_; }
    HANDLE stopEvent() const { return stop_; }
    const Config& config() const { return config_; }

private:
    struct Listener {
        std::string name;
        bool message = false;
        HANDLE instance = nullptr;
        HANDLE event = nullptr;
        OVERLAPPED ov = {};
        bool connected = false;
    };

    std::vector<std::shared_ptr<Client>> Snapshot() const;
    // Queues a record for a client and journals the outcome under the given verb
    // ("out to", "answered 7002 to" ...).
    void Deliver(Client& to, const SharedRecord& record, const std::string& verb, const std::string& text);
    void OwnRecord(Client& from, const CJobPipeData& record, const std::string& text);
    DWORD NewInstance(Listener& l, bool first);
    void Listen(Listener& l);
    void Accept(Listener& l);
    void CloseListener(Listener& l);
    void Reap();

    const Config config_;
    Journal& journal_;
    HANDLE stop_;
    HANDLE reap_ = nullptr;
    Listener job_, ctl_;
    std::atomic<bool> loopback_{true};

    mutable std::mutex mu_;
    unsigned nextId_ = 0;
    std::map<unsigned, std::shared_ptr<Client>> clients_;
    std::map<unsigned, std::shared_ptr<ControlSession>> sessions_;
    std::vector<std::shared_ptr<Client>> deadClients_;
    std::vector<std::shared_ptr<ControlSession>> deadSessions_;
};

}  // namespace taskctrl
