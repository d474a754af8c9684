#include "tools/vqlog/cli.h"

#include <signal.h>
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/apllog.h"
#include "framework/registory.h"
#include "pal/windows.h"
#include "tools/vqlog/reader.h"
#include "tools/vqlog/ring.h"

namespace vqlog {

namespace {

const char kUsage[] =
    "usage: vqlog [--dir DIR] [--file apl|err|ser|rapl] [--since TIME] [--grep TEXT] [--follow]\n"
    "\n"
    "Prints the records of one application-log ring file, oldest first, one per line.\n"
    "\n"
    "  --dir DIR     log directory, a Windows (c:\\logs\\) or Linux path; default: LOG_DIR\n"
    "                of the application's SYSTEM key, else c:\\\n"
    "  --file F      apl (vqapl.log, the default), err (vqerr.log), ser (vqser.log) or\n"
    "                rapl (vqrapl.log, the short-form lines)\n"
    "  --since TIME  only records at or after TIME: \"YYYY-MM-DD HH:MM:SS\", YYYY-MM-DD\n"
    "                or YYYYMMDDHHMMSS (local time, as written)\n"
    "  --grep TEXT   only records whose printed line contains TEXT\n"
    "  --follow      then keep printing new records (the file is polled every 200 ms)\n"
    "                until SIGINT or SIGTERM\n"
    "\n"
    "Line breaks inside a message print as \\r and \\n, other control bytes as \\xHH.\n";

constexpr long kPollMs = 200;

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

void CatchStopSignals() {
    struct sigaction sa{};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: the poll sleep ends at once
    sigaction(SIGTERM, &sa, nullptr);
}

struct Options {
    std::string dir;
    bool dirGiven = false;
    std::string file = "apl";
    bool hasSince = false;
    std::string since;  // YYYYMMDDHHMMSS
    bool hasGrep = false;
    std::string grep;
    bool follow = false;
    bool help = false;
};

struct LogFile {
    const char* key;
    const char* name;
    Kind kind;
};

const LogFile kFiles[] = {
    {"apl", "vqapl.log", Kind::Main},
    {"err", "vqerr.log", Kind::Main},
    {"ser", "vqser.log", Kind::Main},
    {"rapl", "vqrapl.log", Kind::Short},
};

int Usage(FILE* err, const std::string& problem) {
    std::fprintf(err, "vqlog: %s\nRun 'vqlog --help' for the usage.\n", problem.c_str());
    return 2;
}

// Returns -1 when the options are good, else the exit status.
int Parse(int argc, char** argv, Options& o, FILE* err) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            inlineValue = true;
        }
        auto takeValue = [&](std::string& into) {
            if (inlineValue) {
                into = value;
                return true;
            }
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--follow" && !inlineValue) {
            o.follow = true;
        } else if (arg == "--dir" || arg == "--file" || arg == "--since" || arg == "--grep") {
            std::string v;
            if (!takeValue(v)) return Usage(err, arg + " needs a value");
            if (arg == "--dir") {
                if (v.empty()) return Usage(err, "--dir: the directory is empty");
                o.dir = v;
                o.dirGiven = true;
            } else if (arg == "--file") {
                o.file = v;
            } else if (arg == "--since") {
                if (!ParseTime(v, o.since))
                    return Usage(err, "--since: bad time '" + v +
                                          "' (use \"YYYY-MM-DD HH:MM:SS\", YYYY-MM-DD or YYYYMMDDHHMMSS)");
                o.hasSince = true;
            } else {
                o.grep = v;
                o.hasGrep = true;
            }
        } else if (arg.rfind("-", 0) == 0) {
            return Usage(err, "unknown option '" + std::string(argv[i]) + "'");
        } else {
            return Usage(err, "unexpected argument '" + arg + "'");
        }
    }
    return -1;
}

// The directory every framework process of this application logs into.
std::string ConfiguredDir() {
    std::string dir;
    CVQRegistory reg;
    if (reg.OpenApl("SYSTEM", KEY_READ)) reg.Read("LOG_DIR", dir);
    return dir.empty() ? "c:\\" : dir;
}

bool LinuxPath(const std::string& path) { return !path.empty() && path[0] == '/'; }

class Printer {
public:
    Printer(Kind kind, const Options& o, FILE* out) : kind_(kind), o_(o), out_(out) {}

    void Print(const std::vector<Record>& records) {
        for (const auto& r : records) {
            if (o_.hasSince && Stamp(kind_, r.raw) < o_.since) continue;
            std::string line = Printable(kind_, r.raw);
            if (o_.hasGrep && line.find(o_.grep) == std::string::npos) continue;
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), out_);
        }
        std::fflush(out_);
    }

private:
    Kind kind_;
    const Options& o_;
    FILE* out_;
};

int Failed(FILE* err, const std::string& what, DWORD error) {
    std::fprintf(err, "vqlog: %s (error %lu)\n", what.c_str(), static_cast<unsigned long>(error));
    return 1;
}

}  // namespace

int Run(int argc, char** argv, FILE* out, FILE* err) {
    Options o;
    int rc = Parse(argc, argv, o, err);
    if (rc >= 0) return rc;
    if (o.help) {
        std::fputs(kUsage, out);
        return 0;
    }
    const LogFile* file = nullptr;
    for (const auto& f : kFiles)
        if (o.file == f.key) file = &f;
    if (!file) return Usage(err, "unknown log file '" + o.file + "' (use apl, err, ser or rapl)");

    std::string dir = o.dirGiven ? o.dir : ConfiguredDir();
    std::string path, mutexName;
    if (LinuxPath(dir)) {
        path = dir + (dir.back() == '/' ? "" : "/") + file->name;
    } else {
        // Writers name their mutex after the directory as configured, backslash-terminated.
        if (dir.back() != '\\') dir += '\\';
        path = dir + file->name;
        mutexName = "VQLogFileMutex_" + CAplLog::MutexSuffix(dir);
    }
    DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        std::fprintf(err, "vqlog: log directory '%s' not found\n", dir.c_str());
        return 1;
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) {
            std::fprintf(err, "vqlog: log file '%s' not found\n", path.c_str());
            return 1;
        }
        return Failed(err, "cannot open '" + path + "'", e);
    }

    RingReader reader(file->kind, h, mutexName);
    Printer printer(file->kind, o, out);
    std::vector<Record> records;
    DWORD error = 0;
    rc = 0;
    if (!reader.ReadAll(records, error)) {
        rc = Failed(err, "cannot read '" + path + "'", error);
    } else {
        printer.Print(records);
        if (o.follow) CatchStopSignals();
        while (o.follow && !g_stop) {
            timespec pause{0, kPollMs * 1000 * 1000};
            nanosleep(&pause, nullptr);  // a stop signal ends the sleep at once
            if (g_stop) break;
            records.clear();
            if (!reader.ReadNew(records, error)) {
                rc = Failed(err, "cannot read '" + path + "'", error);
                break;
            }
            printer.Print(records);
        }
    }
    CloseHandle(h);
    return rc;
}

}  // namespace vqlog
