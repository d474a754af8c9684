#include "tools/vqjob/cli.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "framework/quefile.h"
#include "pal/windows.h"
#include "tools/vqjob/pipe_client.h"

namespace vqjob {

namespace {

const char kUsage[] =
    "usage: vqjob send PROCESS WORD1 WORD2 WORD3 [--param TEXT] [--pc PC] [--wait SECONDS]\n"
    "       vqjob clients\n"
    "       vqjob watch\n"
    "       vqjob ctl COMMAND...\n"
    "       vqjob queue FILE\n"
    "send     sends one request through the task controller to PROCESS (\"\" = every process)\n"
    "         and prints the answer: its result code, the answering process and the\n"
    "         parameter text. TEXT may contain \\n for a line feed, e.g.\n"
    "         \"#BEGIN\\n#KEY=1\\n#END\". --wait 0 sends without asking for an answer;\n"
    "         the default wait is 10 seconds. Exit 0 when answered with 0, 3 with another\n"
    "         result, 1 when the controller is not running or nothing answered in time.\n"
    "clients  lists the processes connected to the task controller\n"
    "watch    prints every record passing the controller until interrupted\n"
    "ctl      sends one control command (loopback on|off, disconnect PROCESS,\n"
    "         stall PROCESS on|off, split PROCESS PIECES [RECORDS], clients, help)\n"
    "queue    prints the records of a queue file (.jpq, also .rejected); exit 1 when it\n"
    "         cannot be read or is damaged (the records before the damage are printed)\n"
    "Works on the machine root named by $VQ_ROOT (docs/taskctrl.md).\n";

constexpr DWORD kOpenWaitMs = 5000;
constexpr DWORD kControlWaitMs = 30000;

int Usage(FILE* err, const std::string& why) {
    std::fprintf(err, "vqjob: %s\n%s", why.c_str(), kUsage);
    return 2;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Opens a pipe of the controller, or says why not.
bool OpenPipe(PipeClient& pipe, const std::string& name, bool message, FILE* err) {
    DWORD error = pipe.Open(name, message, kOpenWaitMs);
    if (error == 0) return true;
    if (error == ERROR_FILE_NOT_FOUND)
        std::fprintf(err, "vqjob: taskctrl is not running (no pipe %s)\n", name.c_str());
    else if (error == ERROR_PIPE_BUSY)
        std::fprintf(err, "vqjob: every instance of %s stayed busy (error 231)\n", name.c_str());
    else
        std::fprintf(err, "vqjob: cannot open %s (error %lu)\n", name.c_str(), static_cast<unsigned long>(error));
    return false;
}

std::string ConnectionLost(DWORD error) {
    if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA)
        return "taskctrl closed the connection (error " + std::to_string(error) + ")";
    return "the pipe failed (error " + std::to_string(error) + ")";
}

// ---- send ---------------------------------------------------------------------------

int Send(const std::vector<std::string>& args, FILE* out, FILE* err) {
    SendRequest request;
    std::string problem = ParseSend(args, request);
    if (!problem.empty()) return Usage(err, problem);

    std::string name = JobPipeName();
    PipeClient pipe;
    if (!OpenPipe(pipe, name, false, err)) return 1;
    DWORD serial = static_cast<DWORD>((getpid() * 31u + static_cast<unsigned>(time(nullptr))) % 999u + 1u);
    CJobPipeData record = BuildRequest(request, SourceProcessName(), PcName(), NetworkId(), serial);
    DWORD waitMs = static_cast<DWORD>(request.waitSeconds) * 1000u;
    DWORD error = pipe.Write(static_cast<const ASCII_REQUEST*>(record), CJobPipeData::sizeofAsciiRequest(), 30000);
    if (error != 0) {
        std::fprintf(err, "vqjob: cannot send the request: %s\n", ConnectionLost(error).c_str());
        return 1;
    }
    if (request.waitSeconds == 0) {
        std::fprintf(out, "sent to %s (serial %lu, no answer wanted)\n",
                     request.process.empty() ? "every process" : request.process.c_str(),
                     static_cast<unsigned long>(serial));
        return 0;
    }
    auto deadline = GetTickCount64() + waitMs;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        ASCII_REQUEST incoming;
        error = left == 0 ? static_cast<DWORD>(WAIT_TIMEOUT) : pipe.ReadFull(&incoming, sizeof incoming, left);
        if (error == WAIT_TIMEOUT) {
            std::fprintf(err, "vqjob: no answer from %s within %d seconds\n",
                         request.process.empty() ? "any process" : request.process.c_str(), request.waitSeconds);
            return 1;
        }
        if (error != 0) {
            std::fprintf(err, "vqjob: no answer: %s\n", ConnectionLost(error).c_str());
            return 1;
        }
        CJobPipeData answer(&incoming);
        // Other records may reach us too (those addressed to every process).
        if (!(answer.GetExcl() & JOB_EXCL_ANSWER) || answer.GetSerialNo() != serial) continue;
        const char* from = answer.GetSrcProcessName();
        std::fprintf(out, "answer %u from %s\n", static_cast<unsigned>(answer.GetSData1()), *from ? from : "-");
        const char* param = answer.GetExParam();
        if (*param) std::fprintf(out, "%s\n", param);
        return answer.GetSData1() == 0 ? 0 : 3;
    }
}

// ---- the control pipe ---------------------------------------------------------------

std::string ControlPipeName() { return JobPipeName() + ".ctl"; }

// One command, one answer; false (said on err) when the controller cannot be asked.
bool Ask(PipeClient& pipe, const std::string& command, std::string& answer, FILE* err) {
    if (!OpenPipe(pipe, ControlPipeName(), true, err)) return false;
    DWORD error = pipe.Write(command.data(), static_cast<DWORD>(command.size()), kControlWaitMs);
    if (error == 0) error = pipe.ReadMessage(answer, kControlWaitMs);
    if (error == WAIT_TIMEOUT) {
        std::fprintf(err, "vqjob: taskctrl did not answer within %lu seconds\n",
                     static_cast<unsigned long>(kControlWaitMs / 1000));
        return false;
    }
    if (error != 0) {
        std::fprintf(err, "vqjob: %s\n", ConnectionLost(error).c_str());
        return false;
    }
    return true;
}

bool IsOk(const std::string& answer) { return answer == "ok" || answer.rfind("ok ", 0) == 0 || answer.rfind("ok\n", 0) == 0; }

int Ctl(const std::vector<std::string>& args, FILE* out, FILE* err) {
    if (args.empty()) return Usage(err, "ctl needs a command");
    std::string command;
    for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
    std::string first = args[0];
    for (char& c : first) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (first == "watch") return Usage(err, "use vqjob watch to watch");
    PipeClient pipe;
    std::string answer;
    if (!Ask(pipe, command, answer, err)) return 1;
    std::fprintf(IsOk(answer) ? out : err, "%s\n", answer.c_str());
    return IsOk(answer) ? 0 : 1;
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

int Clients(const std::vector<std::string>& args, FILE* out, FILE* err) {
    if (!args.empty()) return Usage(err, "clients takes no arguments");
    PipeClient pipe;
    std::string answer;
    if (!Ask(pipe, "clients", answer, err)) return 1;
    if (!IsOk(answer)) {
        std::fprintf(err, "vqjob: %s\n", answer.c_str());
        return 1;
    }
    std::vector<std::string> lines = Split(answer, '\n');
    if (lines.size() <= 1) {
        std::fputs("no process is connected\n", out);
        return 0;
    }
    std::fprintf(out, "%-9s %-16s %-16s %8s %8s %7s %-9s %s\n", "PROCESS", "PC", "NETWORK ID", "IN", "OUT", "QUEUED",
                 "STATE", "CONNECTION");
    for (size_t i = 1; i < lines.size(); ++i) {
        // id, process, PC, network id, in, out, queued, state
        std::vector<std::string> f = Split(lines[i], '\t');
        if (f.size() < 8) continue;
        std::fprintf(out, "%-9s %-16s %-16s %8s %8s %7s %-9s #%s\n", f[1].c_str(), f[2].c_str(), f[3].c_str(),
                     f[4].c_str(), f[5].c_str(), f[6].c_str(), f[7].c_str(), f[0].c_str());
    }
    return 0;
}

// SIGINT and SIGTERM end the watch: they are blocked everywhere and taken by one thread,
// which sets the event the watch waits on.
int Watch(const std::vector<std::string>& args, FILE* out, FILE* err) {
    if (!args.empty()) return Usage(err, "watch takes no arguments");
    HANDLE interrupted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> done{false};
    std::thread signals([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        timespec tick = {0, 200 * 1000 * 1000};
        while (!done) {
            if (sigtimedwait(&set, nullptr, &tick) > 0) {
                SetEvent(interrupted);
                return;
            }
        }
    });
    int status = 0;
    {
        PipeClient pipe;
        std::string answer;
        if (!Ask(pipe, "watch", answer, err)) {
            status = 1;
        } else if (!IsOk(answer)) {
            std::fprintf(err, "vqjob: %s\n", answer.c_str());
            status = 1;
        } else {
            for (;;) {
                std::string line;
                DWORD error = pipe.ReadMessage(line, INFINITE, interrupted);
                if (error == 1) break;
                if (error != 0) {
                    std::fprintf(err, "vqjob: %s\n", ConnectionLost(error).c_str());
                    status = 1;
                    break;
                }
                std::fprintf(out, "%s\n", line.c_str());
                std::fflush(out);
            }
        }
    }
    done = true;
    signals.join();
    CloseHandle(interrupted);
    return status;
}

// ---- queue files --------------------------------------------------------------------

std::string Field(const char* text) { return *text ? text : "-"; }

int Queue(const std::vector<std::string>& args, FILE* out, FILE* err) {
    if (args.size() != 1) return Usage(err, "queue needs one FILE");
    std::vector<std::string> records;
    CQueFile::Damage damage;
    std::string why;
    CQueFile::Result r = CQueFile::Read(args[0], records, &damage, &why);
    if (r == CQueFile::kMissing) {
        std::fprintf(err, "vqjob: %s does not exist\n", args[0].c_str());
        return 1;
    }
    if (r == CQueFile::kFailed) {
        std::fprintf(err, "vqjob: %s\n", why.c_str());
        return 1;
    }
    std::fprintf(out, "%s: %zu record%s%s\n", args[0].c_str(), records.size(), records.size() == 1 ? "" : "s",
                 r == CQueFile::kDamaged ? " before the damage" : "");
    for (size_t i = 0; i < records.size(); ++i) {
        ASCII_REQUEST raw{};
        std::memcpy(&raw, records[i].data(), std::min(records[i].size(), sizeof raw - 1));
        CJobPipeData d(&raw);
        std::fprintf(out, "\n[%zu] %s %s %s\n", i, d.GetStrSJob1().c_str(), d.GetStrSJob2().c_str(),
                     d.GetStrSJob3().c_str());
        std::fprintf(out, "  serial  %lu\n", static_cast<unsigned long>(d.GetSerialNo()));
        std::fprintf(out, "  to      %s / %s / %s\n", Field(d.GetDstNetworkId()).c_str(), Field(d.GetDstPcName()).c_str(),
                     Field(d.GetDstProcessName()).c_str());
        std::fprintf(out, "  from    %s / %s / %s\n", Field(d.GetSrcNetworkId()).c_str(),
                     Field(d.GetSrcPcName()).c_str(), Field(d.GetSrcProcessName()).c_str());
        if (records[i].size() < static_cast<size_t>(CJobPipeData::kHeaderSize))
            std::fprintf(out, "  (only %zu characters: shorter than a record header)\n", records[i].size());
        std::string param = d.GetExParam();
        std::fprintf(out, "  param%s\n", param.empty() ? "   -" : "");
        for (const std::string& line : Split(param, '\n'))
            if (!param.empty()) std::fprintf(out, "    %s\n", line.c_str());
    }
    if (r == CQueFile::kDamaged) {
        std::fprintf(err, "vqjob: %s is damaged at %s\n", args[0].c_str(), damage.Describe().c_str());
        return 1;
    }
    return 0;
}

// One entry per command; a new command is one more entry.
struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>& args, FILE* out, FILE* err);
};
const Command kCommands[] = {
    {"send", Send},
    {"clients", Clients},
    {"watch", Watch},
    {"ctl", Ctl},
    {"queue", Queue},
};

}  // namespace

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == '\\')) {
            out += text[i + 1] == 'n' ? '\n' : '\\';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string ParseSend(const std::vector<std::string>& args, SendRequest& r) {
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--param" || a == "--pc" || a == "--wait") {
            if (i + 1 >= args.size()) return a + " needs a value";
            const std::string& v = args[++i];
            if (a == "--param") {
                r.param = Unescape(v);
                if (r.param.size() > static_cast<size_t>(CJobPipeData::kMaxExParam))
                    return "the parameter text is longer than " + std::to_string(CJobPipeData::kMaxExParam) +
                           " characters";
            } else if (a == "--pc") {
                if (v.size() > 15) return "a PC name has at most 15 characters";
                r.pc = v;
            } else {
                char* end = nullptr;
                long s = std::strtol(v.c_str(), &end, 10);
                if (v.empty() || *end != '\0' || s < 0 || s > 3600) return "bad --wait '" + v + "' (0 to 3600 seconds)";
                r.waitSeconds = static_cast<int>(s);
            }
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            return "unknown option '" + a + "'";
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 4) return "send needs PROCESS and three command words";
    r.process = positional[0];
    if (r.process.size() > 8) return "a process name has at most 8 characters";
    for (int i = 0; i < 3; ++i) {
        r.words[i] = Upper(positional[1 + i]);
        if (r.words[i].empty() || r.words[i].size() > 10)
            return "a command word has 1 to 10 characters ('" + positional[1 + i] + "')";
    }
    return "";
}

std::string SourceProcessName() { return "vqjob" + std::to_string(getpid() % 1000); }

CJobPipeData BuildRequest(const SendRequest& r, const std::string& sourceProcess, const std::string& pcName,
                          const std::string& networkId, DWORD serial) {
    CJobPipeData d;
    d.SetSDA(networkId.c_str(), r.pc.c_str(), r.process.c_str(), networkId.c_str(), pcName.c_str(),
             sourceProcess.c_str());
    d.SetKind(0);
    d.SetExcl(0);
    d.SetAns(r.waitSeconds > 0 ? 1 : 0);
    d.SetSerialNo(serial);
    d.SetSJob(r.words[0].c_str(), r.words[1].c_str(), r.words[2].c_str());
    d.SetExParam(r.param.c_str());
    return d;
}

int Run(int argc, char** argv, FILE* out, FILE* err) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, out);
        return 0;
    }
    if (args.empty()) return Usage(err, "no command");
    for (const Command& c : kCommands) {
        if (args[0] != c.name) continue;
        if (std::strcmp(c.name, "watch") == 0) {
            // Before any thread exists, so every later thread inherits the mask.
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGINT);
            sigaddset(&set, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
        }
        return c.run(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
    }
    return Usage(err, "unknown command '" + args[0] + "'");
}

}  // namespace vqjob
