// The serving side of one pipe name in this process: its instances, its listening socket
// and its acceptor. The acceptor reads each new connection's Hello on the engine thread
// and hands the connection to a free instance (one whose ConnectNamedPipe waits first,
// else one not yet or again listening), or answers busy; that is how a client's CreateFile
// can report ERROR_PIPE_BUSY at once and ConnectNamedPipe ERROR_PIPE_CONNECTED.
//
// One process serves a name at a time (it holds the name's lock file): CreateNamedPipe in
// a second process fails with ERROR_ACCESS_DENIED while the first serves it. The name is
// released when its last instance closes, or by the kernel when the process dies.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pal/pipe/end.h"
#include "pal/pipe/engine.h"
#include "pal/pipe/wire.h"

namespace pal::pipe {

struct PipeParams {
    DWORD openMode = 0;  // PIPE_ACCESS_* and flags
    DWORD pipeMode = 0;  // PIPE_TYPE_* | PIPE_READMODE_*
    DWORD maxInstances = 0;
    DWORD outSize = 0, inSize = 0;
    DWORD defaultTimeout = 0;
};

class Server : public Watcher, public std::enable_shared_from_this<Server> {
public:
    // CreateNamedPipe's work: one more instance of name. Null with error set to a Win32
    // number (ERROR_ACCESS_DENIED: another process serves the name, or the parameters do
    // not fit the existing instances; ERROR_PIPE_BUSY: all instances exist).
    static std::shared_ptr<End> CreateInstance(const std::string& name, const PipeParams& params, DWORD& error);

    // An instance closed; the last one takes the name down.
    void RemoveInstance(const End* end);

    void OnEvents(uint32_t events) override;  // the listening socket
    // Removes the name's files at process exit (the lock itself goes with the process).
    void UnlinkFiles() const;

    class Handshake;
    void OnHandshake(const std::shared_ptr<Handshake>& h);

    Server(std::string key, const PipeParams& params) : key_(std::move(key)), params_(params) {}
    ~Server() override;

private:
    DWORD Start();
    void Answer(int fd, const wire::Hello& hello);  // under mutex_
    void Shutdown();

    const std::string key_;  // lower-case name
    const PipeParams params_;
    std::string socketPath_, lockPath_;
    int lockFd_ = -1, listenFd_ = -1;

    std::mutex mutex_;
    bool shut_ = false;
    Watch watch_;
    std::vector<std::shared_ptr<End>> instances_;
    std::vector<std::shared_ptr<Handshake>> handshakes_;
};

}  // namespace pal::pipe
