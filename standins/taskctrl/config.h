// The task controller's settings, read from the registry once at start.
#pragma once

#include <cstddef>
#include <string>

namespace taskctrl {

// HKLM keys and values the controller reads.
inline constexpr const char* kSystemKey = "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM";
inline constexpr const char* kOwnKey = "SOFTWARE\\QIR\\VQ FRAMEWORK\\TASKCTRL";

struct Config {
    std::string pipeName = "taskctrl";  // "PIPE_NAME" of the framework's SYSTEM key
    std::string jobPipe;                // "\\.\PIPE\" + pipeName
    std::string controlPipe;            // jobPipe + ".ctl"
    size_t queueLimit = 1024;           // records waiting for one client ("QUEUE_LIMIT")
    unsigned long queueWaitMs = 5000;          // how long a sender waits for room there ("QUEUE_WAIT")
    size_t journalSize = 4u << 20;      // bytes before journal.log rotates ("JOURNAL_SIZE")
    std::string journalPath;            // $VQ_ROOT/taskctrl/journal.log
};

Config ReadConfig();

// "\\.\PIPE\" + the configured name (default "taskctrl"): the job pipe every local
// framework process opens.
std::string JobPipeName();

}  // namespace taskctrl
