#include "standins/taskctrl/controller.h"

#include <cstring>

#include "pal/pipe/pipe.h"
#include "pal/windows.h"
#include "standins/taskctrl/control.h"
#include "standins/taskctrl/log.h"
#include "standins/taskctrl/record_line.h"

namespace taskctrl {

namespace {

constexpr DWORD kPipeBuffer = 65536;
constexpr DWORD kRetryMs = 1000;

// The three command words by their codes.
bool IsCommand(const CJobPipeData& r, int w1, int w2, int w3) {
    return r.GetSJob1() == w1 && r.GetSJob2() == w2 && r.GetSJob3() == w3;
}
bool IsLoopbackNotice(const CJobPipeData& r) { return IsCommand(r, CMD1_FWSYSTEM, CMD2_FWNOTIFY, CMD3_FWCONNECT); }
bool IsTaskStart(const CJobPipeData& r) { return IsCommand(r, CMD1_FWSYSTEM, CMD2_FWNOTIFY, CMD3_FWTASKSTAR); }
bool IsTaskStop(const CJobPipeData& r) { return IsCommand(r, CMD1_FWSYSTEM, CMD2_FWNOTIFY, CMD3_FWTASKSTOP); }

bool WantsAnswer(const CJobPipeData& r) { return !(r.GetExcl() & JOB_EXCL_ANSWER) && r.GetAns() != 0; }

SharedRecord Bytes(const CJobPipeData& r) {
    auto bytes = std::make_shared<RecordBytes>();
    std::memcpy(bytes->data(), static_cast<const ASCII_REQUEST*>(r), bytes->size());
    return bytes;
}

}  // namespace

Controller::Controller(const Config& config, Journal& journal, HANDLE stop)
    : config_(config), journal_(journal), stop_(stop) {
    reap_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    job_.name = config_.jobPipe;
    ctl_.name = config_.controlPipe;
    ctl_.message = true;
    for (Listener* l : {&job_, &ctl_}) {
        l->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        l->ov.hEvent = l->event;
    }
}

Controller::~Controller() {
    CloseListener(job_);
    CloseListener(ctl_);
    for (HANDLE h : {reap_, job_.event, ctl_.event})
        if (h != nullptr) CloseHandle(h);
}

DWORD Controller::NewInstance(Listener& l, bool first) {
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    DWORD pipeMode = l.message ? (PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT)
                               : (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT);
    HANDLE h = CreateNamedPipeA(l.name.c_str(), openMode, pipeMode, PIPE_UNLIMITED_INSTANCES, kPipeBuffer,
                                kPipeBuffer, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return GetLastError();
    l.instance = h;
    return 0;
}

// Starts waiting for the next client on the free instance (creating one if needed).
void Controller::Listen(Listener& l) {
    for (;;) {
        if (l.instance == nullptr) {
            DWORD error = NewInstance(l, false);
            if (error != 0) {
                Log("cannot create an instance of %s (error %lu); trying again", l.name.c_str(),
                    static_cast<unsigned long>(error));
                return;  // Run retries after a pause
            }
        }
        l.connected = false;
        ResetEvent(l.event);
        if (ConnectNamedPipe(l.instance, &l.ov)) {
            l.connected = true;
            SetEvent(l.event);
            return;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) return;
        if (error == ERROR_PIPE_CONNECTED) {
            // Connected between creation and this call: the event is not signalled for it.
            l.connected = true;
            SetEvent(l.event);
            return;
        }
        // ERROR_NO_DATA: a client came and went already; anything else: start afresh.
        DisconnectNamedPipe(l.instance);
        CloseHandle(l.instance);
        l.instance = nullptr;
        if (error != ERROR_NO_DATA) {
            Log("waiting for a client of %s failed (error %lu)", l.name.c_str(), static_cast<unsigned long>(error));
            return;
        }
    }
}

void Controller::CloseListener(Listener& l) {
    if (l.instance == nullptr) return;
    if (!l.connected) {
        CancelIoEx(l.instance, &l.ov);
        DWORD n = 0;
        GetOverlappedResult(l.instance, &l.ov, &n, TRUE);
    }
    CloseHandle(l.instance);
    l.instance = nullptr;
}

DWORD Controller::Start() {
    if (reap_ == nullptr || job_.event == nullptr || ctl_.event == nullptr) return GetLastError();
    for (Listener* l : {&job_, &ctl_}) {
        DWORD error = NewInstance(*l, true);
        if (error != 0) {
            Log("cannot create the pipe %s (error %lu)", l->name.c_str(), static_cast<unsigned long>(error));
            CloseListener(job_);
            return error;
        }
    }
    Listen(job_);
    Listen(ctl_);
    return 0;
}

void Controller::Accept(Listener& l) {
    if (l.instance == nullptr) return;
    bool ok = l.connected;
    DWORD error = 0;
    if (!ok) {
        DWORD n = 0;
        ok = GetOverlappedResult(l.instance, &l.ov, &n, FALSE) != FALSE;
        if (!ok) error = GetLastError();
        if (!ok && error == ERROR_IO_INCOMPLETE) return;  // not yet: a spurious wake
    }
    HANDLE h = l.instance;
    l.instance = nullptr;
    l.connected = false;
    if (!ok) {
        DisconnectNamedPipe(h);
        CloseHandle(h);
        Listen(l);
        return;
    }
    // The next client finds a free instance before this one is served.
    Listen(l);
    std::lock_guard<std::mutex> lock(mu_);
    unsigned id = ++nextId_;
    if (&l == &job_) {
        auto client = std::make_shared<Client>(*this, h, id, config_.queueLimit, config_.queueWaitMs, stop_);
        clients_[id] = client;
        journal_.Write("connect #" + std::to_string(id));
        if (!client->Start()) {
            clients_.erase(id);
            journal_.Write("disconnect #" + std::to_string(id) + " (no resources for it)");
        }
    } else {
        auto session = std::make_shared<ControlSession>(*this, h, id);
        sessions_[id] = session;
        session->Start();
    }
}

void Controller::Run() {
    for (;;) {
        HANDLE waits[] = {stop_, job_.event, ctl_.event, reap_, journal_.DirtyEvent()};
        bool missing = job_.instance == nullptr || ctl_.instance == nullptr;
        DWORD w = WaitForMultipleObjects(5, waits, FALSE, missing ? kRetryMs : INFINITE);
        if (w == WAIT_OBJECT_0) break;
        if (w == WAIT_OBJECT_0 + 1) Accept(job_);
        if (w == WAIT_OBJECT_0 + 2) Accept(ctl_);
        if (w == WAIT_OBJECT_0 + 3) Reap();
        if (w == WAIT_OBJECT_0 + 4) {
            // Lines written within the last few milliseconds reach the file shortly.
            if (WaitForSingleObject(stop_, Journal::kFlushMs) == WAIT_OBJECT_0) break;
            journal_.Flush();
        }
        if (w == WAIT_TIMEOUT || w == WAIT_FAILED) {
            if (job_.instance == nullptr) Listen(job_);
            if (ctl_.instance == nullptr) Listen(ctl_);
            if (w == WAIT_FAILED) Sleep(kRetryMs);
        }
    }
    CloseListener(job_);
    CloseListener(ctl_);
    // Every thread waits on the stop event too: each ends by itself; join them all.
    std::map<unsigned, std::shared_ptr<Client>> clients;
    std::map<unsigned, std::shared_ptr<ControlSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(mu_);
        clients.swap(clients_);
        sessions.swap(sessions_);
    }
    for (auto& [id, c] : clients) c->Join();
    for (auto& [id, s] : sessions) s->Join();
    Reap();
}

void Controller::Reap() {
    std::vector<std::shared_ptr<Client>> clients;
    std::vector<std::shared_ptr<ControlSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(mu_);
        clients.swap(deadClients_);
        sessions.swap(deadSessions_);
    }
    for (auto& c : clients) c->Join();
    for (auto& s : sessions) s->Join();
}

void Controller::Retire(Client& client, const std::string& why) {
    journal_.Write("disconnect " + client.Label() + " (" + why + ")");
    std::lock_guard<std::mutex> lock(mu_);
    auto it = clients_.find(client.id());
    // At shutdown Run has taken the table over and joins the client itself.
    if (it == clients_.end()) return;
    deadClients_.push_back(it->second);
    clients_.erase(it);
    SetEvent(reap_);
}

void Controller::RetireSession(ControlSession& session) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = sessions_.find(session.id());
    if (it == sessions_.end()) return;
    deadSessions_.push_back(it->second);
    sessions_.erase(it);
    SetEvent(reap_);
}

std::vector<std::shared_ptr<Client>> Controller::Snapshot() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::shared_ptr<Client>> out;
    out.reserve(clients_.size());
    for (const auto& [id, c] : clients_) out.push_back(c);
    return out;
}

std::vector<ClientInfo> Controller::Clients() const {
    std::vector<ClientInfo> out;
    for (const auto& c : Snapshot()) out.push_back(c->Info());
    return out;
}

void Controller::SetLoopback(bool on) {
    loopback_ = on;
    journal_.Write(std::string("control: loopback ") + (on ? "on" : "off"));
}

void Controller::NoteDropped(Client& client, const RecordBytes& bytes, const std::string& why) {
    CJobPipeData r(reinterpret_cast<const ASCII_REQUEST*>(bytes.data()));
    journal_.Write("dropped for " + client.Label() + " (" + why + ") | " + DescribeRecord(r));
}

void Controller::Deliver(Client& to, const SharedRecord& record, const std::string& verb, const std::string& text) {
    switch (to.Enqueue(record)) {
    case Client::Queued::Yes: journal_.Write(verb + " " + to.Label() + " | " + text); break;
    case Client::Queued::Full:
        journal_.Write("dropped for " + to.Label() + " (its queue holds " + std::to_string(config_.queueLimit) +
                       " records) | " + text);
        break;
    case Client::Queued::Closed:
        journal_.Write("dropped for " + to.Label() + " (not delivered: the connection ended) | " + text);
        break;
    }
}

void Controller::OwnRecord(Client& from, const CJobPipeData& r, const std::string& text) {
    std::string what = IsTaskStart(r)  ? "task start"
                       : IsTaskStop(r) ? "task stop: the client is stopping"
                                       : "for the controller";
    journal_.Write("own from " + from.Label() + " (" + what + ") | " + text);
    if (IsTaskStop(r)) from.MarkStopping();
    if (WantsAnswer(r)) {
        CJobPipeData answer = r.Req2Ans(JOB_RESULT_SUCCESS);
        Deliver(from, Bytes(answer), "answered 0 to", DescribeRecord(answer));
    }
}

void Controller::OnRecord(Client& from, const RecordBytes& bytes) {
    CJobPipeData r(reinterpret_cast<const ASCII_REQUEST*>(bytes.data()));
    from.Learn(r);
    from.CountIn();
    std::string text = DescribeRecord(r);
    journal_.Write("in from " + from.Label() + " | " + text);
    if (std::strcmp(r.GetDstProcessName(), kOwnProcess) == 0) {
        OwnRecord(from, r, text);
        return;
    }
    bool holdLoopback = !loopback_ && IsLoopbackNotice(r);
    SharedRecord shared;
    bool received = false;
    for (const auto& c : Snapshot()) {
        if (!c->Matches(r)) continue;
        if (holdLoopback && c.get() == &from) {
            journal_.Write("held back (loopback off) from " + from.Label() + " | " + text);
            continue;
        }
        if (!shared) shared = std::make_shared<const RecordBytes>(bytes);
        received = true;
        Deliver(*c, shared, "out to", text);
    }
    if (received) return;
    if (WantsAnswer(r)) {
        CJobPipeData answer = r.Req2Ans(kNoReceiver);
        Deliver(from, Bytes(answer), "answered 7002 to", DescribeRecord(answer));
    } else {
        journal_.Write("unrouted from " + from.Label() + " (no receiver) | " + text);
    }
}

}  // namespace taskctrl
