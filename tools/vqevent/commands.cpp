// The commands work through the Win32 surface (OpenEventLog, ReadEventLog, ReportEvent,
// ClearEventLog) like any program of the suite; only the record texts come from the
// layer's helpers. "follow" polls: on reaching the end of the log it sleeps 200 ms and
// reads on from where it stopped.
#include "tools/vqevent/commands.h"

#include <signal.h>
#include <strings.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <map>

#include "pal/error/error.h"
#include "pal/eventlog/backup_reader.h"
#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/message.h"
#include "pal/eventlog/record.h"
#include "pal/eventlog/record_text.h"
#include "pal/eventlog/sources.h"
#include "pal/file/path.h"
#include "pal/file/whole_file.h"
#include "tools/vqevent/args.h"

namespace vqevent {

namespace {

using pal::eventlog::RecordView;

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

int Usage(const char* command, const std::string& message) {
    std::fprintf(stderr, "vqevent %s: %s\n", command, message.c_str());
    return kUsage;
}

int Failed(const char* command, const std::string& what, DWORD error) {
    std::string text = pal::SystemMessageText(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
    std::fprintf(stderr, "vqevent %s: %s (error %u%s%s)\n", command, what.c_str(), error, text.empty() ? "" : ": ",
                 text.c_str());
    return kFailed;
}

// positional arguments: at most `positional`, at least `required` (default: all of them).
bool Parse(const char* command, const char* help, const std::vector<std::string>& args,
           const std::vector<OptionSpec>& specs, size_t positional, ParsedArgs& out, int& exitCode,
           size_t required = SIZE_MAX) {
    static const char* const kNames[] = {"LOG", "BACKUP"};
    std::string error;
    if (!ParseArgs(args, specs, out, error)) {
        exitCode = Usage(command, error);
        return false;
    }
    if (out.help) {
        std::fputs(help, stdout);
        exitCode = kOk;
        return false;
    }
    if (out.positional.size() > positional) {
        exitCode = Usage(command, "unexpected argument '" + out.positional[positional] + "'");
        return false;
    }
    if (out.positional.size() < std::min(positional, required)) {
        exitCode = Usage(command, std::string(kNames[std::min<size_t>(out.positional.size(), 1)]) + " is missing");
        return false;
    }
    return true;
}

bool Number(const char* command, const ParsedArgs& a, const char* name, uint64_t min, uint64_t max,
            uint64_t& value, int& exitCode) {
    if (!a.Has(name)) return true;
    if (ParseNumber(a.Value(name), min, max, value)) return true;
    exitCode = Usage(command, std::string(name) + ": '" + a.Value(name) + "' is not a number from " +
                                  std::to_string(min) + " to " + std::to_string(max));
    return false;
}

// Opens a log by its exact name: the system's fall-back to Application would hide typos.
HANDLE OpenExisting(const char* command, const std::string& name, int& exitCode) {
    HANDLE h = OpenEventLogA(nullptr, name.c_str());
    if (!h) {
        exitCode = Failed(command, "cannot open the log '" + name + "'", GetLastError());
        return nullptr;
    }
    if (strcasecmp(pal::eventlog::LogNameOf(h).c_str(), name.c_str()) != 0) {
        CloseEventLog(h);
        exitCode = Usage(command, "LOG: there is no log named '" + name + "'");
        return nullptr;
    }
    return h;
}

// ReadEventLog with a buffer that grows to the size the log asks for.
class Reader {
public:
    explicit Reader(HANDLE log) : log_(log), buffer_(0x10000) {}

    // 0 with the records, or the read's error (ERROR_HANDLE_EOF at the end).
    DWORD Next(DWORD flags, DWORD recordNumber, std::vector<RecordView>& records) {
        for (;;) {
            DWORD bytes = 0, needed = 0;
            if (ReadEventLogA(log_, flags, recordNumber, buffer_.data(), static_cast<DWORD>(buffer_.size()), &bytes,
                              &needed)) {
                std::string why;
                if (!pal::eventlog::ParseRecords(buffer_.data(), bytes, records, &why)) return ERROR_EVENTLOG_FILE_CORRUPT;
                return 0;
            }
            DWORD err = GetLastError();
            if (err != ERROR_INSUFFICIENT_BUFFER || needed <= buffer_.size()) return err;
            buffer_.resize(needed);
        }
    }

private:
    HANDLE log_;
    std::vector<uint8_t> buffer_;
};

struct Printer {
    std::string log;
    bool bySource = false;  // records of a backup: each source's texts from where it is registered
    std::map<std::string, std::string> logOfSource;
    bool json = false;
    bool jsonLines = false;  // follow: one object per line, no array around them
    LONG bias = pal::eventlog::CurrentBiasMinutes();
    size_t printed = 0;

    void Print(const RecordView& r) {
        pal::eventlog::RecordShow show;
        show.texts = pal::eventlog::FormatRecordTexts(bySource ? LogOf(std::string(r.source)) : log, r);
        show.user = pal::eventlog::UserText(r);
        show.biasMinutes = bias;
        if (json) {
            std::string obj = pal::eventlog::RecordAsJson(r, show);
            if (jsonLines)
                std::printf("%s\n", obj.c_str());
            else
                std::printf("%s%s", printed ? ",\n" : "[\n", obj.c_str());
        } else {
            std::printf("%s%s", printed ? "\n" : "", pal::eventlog::RecordAsText(r, show).c_str());
        }
        ++printed;
        std::fflush(stdout);
    }
    const std::string& LogOf(const std::string& source) {
        auto it = logOfSource.find(source);
        if (it != logOfSource.end()) return it->second;
        std::string found;
        if (pal::eventlog::LogOfSource(source, found)) found = "Application";  // unreadable: no texts either way
        return logOfSource.emplace(source, found).first->second;
    }
    void Finish() {
        if (json && !jsonLines) std::printf("%s", printed ? "\n]\n" : "[]\n");
        std::fflush(stdout);
    }
};

const char kWriteHelp[] =
    "usage: vqevent write (--log LOG | --source SOURCE) --id ID [options]\n"
    "\n"
    "Writes one record. With --source alone the record goes where the source is registered\n"
    "(HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\<log>\\<source>), else to Application;\n"
    "--log names the log directly (the source is then \"vqevent\" unless --source is given).\n"
    "\n"
    "  --log LOG          the log to write to\n"
    "  --source SOURCE    the record's source name\n"
    "  --id ID            event id, decimal or 0x hex, 32 bits (required)\n"
    "  --type TYPE        error, warning, information (default), success, audit-success,\n"
    "                     audit-failure\n"
    "  --category N       0 to 65535 (default 0)\n"
    "  --string TEXT      an insertion string; repeat for more\n"
    "  --data HEX         raw data as hex bytes, e.g. 0a0b0c or \"0a 0b 0c\"\n";

const char kQueryHelp[] =
    "usage: vqevent query LOG [--from N] [--count N] [--backwards] [--json]\n"
    "       vqevent query --file BACKUP.evt [--from N] [--count N] [--backwards] [--json]\n"
    "\n"
    "Prints the records of LOG, oldest first: number, local times, source, type, category,\n"
    "event id (hex, and the event number = its low 16 bits), user, computer, the message\n"
    "text from the source's message files, the insertion strings and the data in hex.\n"
    "With --file, the records of an .evt backup (as clear --backup writes it) instead; the\n"
    "texts come from the message files of the sources registered here. A damaged file\n"
    "prints the records before the damage, says where it stops, and exits with 1.\n"
    "\n"
    "  --file FILE   read the backup FILE (a Linux or Windows path) instead of a log\n"
    "  --from N      start at record N (it must exist)\n"
    "  --count N     print at most N records\n"
    "  --backwards   newest first (from N downwards with --from)\n"
    "  --json        a JSON array of objects instead of text\n";

const char kFollowHelp[] =
    "usage: vqevent follow LOG [--from N] [--json]\n"
    "\n"
    "Prints new records of LOG as they arrive, until SIGINT or SIGTERM. The log is polled\n"
    "every 200 ms. Without --from only records written after the start are printed.\n"
    "\n"
    "  --from N   start with record N (older records that still exist are printed first)\n"
    "  --json     one JSON object per line\n";

const char kClearHelp[] =
    "usage: vqevent clear LOG [--backup FILE]\n"
    "\n"
    "Deletes every record of LOG; numbering starts again at 1. With --backup the records are\n"
    "first written to FILE (a Linux or Windows path; it must not exist) in the .evt layout.\n";

const char kImportHelp[] =
    "usage: vqevent import LOG BACKUP.evt [--partial]\n"
    "\n"
    "Appends the records of an .evt backup to LOG (which must exist) in one step. Each\n"
    "record keeps its times, event id, type, category, source, computer, user, strings and\n"
    "data, and gets the log's next number. A damaged backup imports nothing, unless\n"
    "--partial is given: then the complete records before the damage are imported.\n"
    "\n"
    "  --partial   import the complete records of a damaged backup\n";

const char kInfoHelp[] =
    "usage: vqevent info LOG [--json]\n"
    "\n"
    "Prints the oldest record number, the number of records, the newest record number, the\n"
    "size of the records in bytes and the log's maximum size (registry value MaxSize).\n";

}  // namespace

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"write", Write}, {"query", Query}, {"follow", Follow},
        {"clear", Clear}, {"import", Import}, {"info", Info}};
    return commands;
}

int Write(const std::vector<std::string>& args) {
    ParsedArgs a;
    int rc = 0;
    if (!Parse("write", kWriteHelp, args,
               {{"--log", true}, {"--source", true}, {"--id", true}, {"--type", true}, {"--category", true},
                {"--string", true, true}, {"--data", true}},
               0, a, rc))
        return rc;
    if (!a.Has("--log") && !a.Has("--source")) return Usage("write", "give --log or --source");
    if (!a.Has("--id")) return Usage("write", "--id is required");
    uint64_t id = 0, category = 0;
    if (!Number("write", a, "--id", 0, 0xFFFFFFFF, id, rc) || !Number("write", a, "--category", 0, 0xFFFF, category, rc))
        return rc;
    WORD type = EVENTLOG_INFORMATION_TYPE;
    if (a.Has("--type") && !pal::eventlog::ParseTypeName(a.Value("--type"), type))
        return Usage("write", "--type: '" + a.Value("--type") +
                                  "' is not one of error, warning, information, success, audit-success, audit-failure");
    std::vector<uint8_t> data;
    if (a.Has("--data") && !ParseHex(a.Value("--data"), data))
        return Usage("write", "--data: '" + a.Value("--data") + "' is not hexadecimal bytes");
    std::vector<LPCSTR> strings;
    if (a.Has("--string")) {
        if (a.options.at("--string").size() > 0xFFFF) return Usage("write", "--string: too many strings");
        for (const auto& s : a.options.at("--string")) strings.push_back(s.c_str());
    }

    const std::string source = a.Has("--source") ? a.Value("--source") : "vqevent";
    HANDLE h;
    if (a.Has("--log")) {
        h = pal::eventlog::RegisterEventSourceInLog(a.Value("--log").c_str(), source.c_str());
        if (!h && GetLastError() == ERROR_FILE_NOT_FOUND)
            return Usage("write", "--log: there is no log named '" + a.Value("--log") + "'");
    } else {
        h = RegisterEventSourceA(nullptr, source.c_str());
    }
    if (!h) return Failed("write", "cannot register the source '" + source + "'", GetLastError());
    const std::string log = pal::eventlog::LogNameOf(h);
    BOOL ok = ReportEventA(h, type, static_cast<WORD>(category), static_cast<DWORD>(id), nullptr,
                           static_cast<WORD>(strings.size()), static_cast<DWORD>(data.size()),
                           strings.empty() ? nullptr : strings.data(), data.empty() ? nullptr : data.data());
    DWORD err = GetLastError();
    DeregisterEventSource(h);
    if (!ok) return Failed("write", "cannot write the record", err);
    std::printf("written to %s\n", log.c_str());
    return kOk;
}

namespace {

// Reads a backup file whole and decodes it; false (with exitCode set) when the file cannot
// be read at all.
bool LoadBackup(const char* command, const std::string& file, pal::eventlog::BackupContents& backup, int& exitCode) {
    std::string bytes, why;
    if (pal::ReadWholeFile(pal::MapPath(file.c_str()), pal::eventlog::kMaxBackupFileBytes, bytes, why) != 0) {
        std::fprintf(stderr, "vqevent %s: cannot read %s\n", command, why.c_str());
        exitCode = kFailed;
        return false;
    }
    backup = pal::eventlog::ReadBackup(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
}

std::string DamageText(const std::string& file, const pal::eventlog::BackupContents& backup) {
    char offset[32];
    std::snprintf(offset, sizeof offset, "0x%zX", backup.damageOffset);
    return file + " is damaged at offset " + offset + ": " + backup.damage;
}

int QueryFile(const ParsedArgs& a, uint64_t from, uint64_t count) {
    const std::string file = a.Value("--file");
    pal::eventlog::BackupContents backup;
    int rc = 0;
    if (!LoadBackup("query", file, backup, rc)) return rc;
    std::vector<RecordView> records(backup.records.size());
    for (size_t i = 0; i < records.size(); ++i)  // each one passed the parser while the file was read
        pal::eventlog::ParseRecord(backup.records[i].data(), backup.records[i].size(), records[i]);

    const bool backwards = a.Has("--backwards");
    size_t at = backwards ? records.size() : 0;  // one past the next record when going backwards
    if (from) {
        size_t i = 0;
        while (i < records.size() && records[i].header.RecordNumber != from) ++i;
        if (i == records.size()) {
            const std::string held =
                records.empty() ? std::string("it holds no records")
                                : "records " + std::to_string(records.front().header.RecordNumber) + " to " +
                                      std::to_string(records.back().header.RecordNumber);
            return Usage("query", "--from: record " + std::to_string(from) + " is not in the file (" + held + ")");
        }
        at = backwards ? i + 1 : i;
    }
    Printer printer;
    printer.bySource = true;
    printer.json = a.Has("--json");
    if (backwards) {
        for (; at > 0 && printer.printed < count; --at) printer.Print(records[at - 1]);
    } else {
        for (; at < records.size() && printer.printed < count; ++at) printer.Print(records[at]);
    }
    printer.Finish();
    if (backup.damaged) {
        std::fprintf(stderr, "vqevent query: %s; the %zu complete records before it were read\n",
                     DamageText(file, backup).c_str(), records.size());
        return kFailed;
    }
    return kOk;
}

}  // namespace

int Query(const std::vector<std::string>& args) {
    ParsedArgs a;
    int rc = 0;
    if (!Parse("query", kQueryHelp, args,
               {{"--from", true}, {"--count", true}, {"--backwards", false}, {"--json", false}, {"--file", true}}, 1, a,
               rc, 0))
        return rc;
    uint64_t from = 0, count = UINT64_MAX;
    if (!Number("query", a, "--from", 1, 0xFFFFFFFF, from, rc) ||
        !Number("query", a, "--count", 1, 0xFFFFFFFF, count, rc))
        return rc;
    if (a.Has("--file")) {
        if (!a.positional.empty()) return Usage("query", "give LOG or --file, not both");
        return QueryFile(a, from, count);
    }
    if (a.positional.empty()) return Usage("query", "LOG is missing");
    HANDLE log = OpenExisting("query", a.positional[0], rc);
    if (!log) return rc;

    const DWORD direction = a.Has("--backwards") ? EVENTLOG_BACKWARDS_READ : EVENTLOG_FORWARDS_READ;
    Printer printer;
    printer.log = pal::eventlog::LogNameOf(log);
    printer.json = a.Has("--json");
    Reader reader(log);
    std::vector<RecordView> records;
    DWORD err = from ? reader.Next(EVENTLOG_SEEK_READ | direction, static_cast<DWORD>(from), records)
                     : reader.Next(EVENTLOG_SEQUENTIAL_READ | direction, 0, records);
    if (err == ERROR_INVALID_PARAMETER && from) {
        DWORD oldest = 0, n = 0;
        GetOldestEventLogRecord(log, &oldest);
        GetNumberOfEventLogRecords(log, &n);
        CloseEventLog(log);
        return Usage("query", "--from: record " + std::to_string(from) + " is not in the log (" +
                                  (n ? "records " + std::to_string(oldest) + " to " + std::to_string(oldest + n - 1)
                                     : std::string("it is empty")) +
                                  ")");
    }
    while (!err) {
        for (const auto& r : records) {
            if (printer.printed >= count) break;
            printer.Print(r);
        }
        if (printer.printed >= count) break;
        err = reader.Next(EVENTLOG_SEQUENTIAL_READ | direction, 0, records);
    }
    printer.Finish();
    CloseEventLog(log);
    if (err && err != ERROR_HANDLE_EOF) return Failed("query", "cannot read the log", err);
    return kOk;
}

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

}  // namespace

int Follow(const std::vector<std::string>& args) {
    ParsedArgs a;
    int rc = 0;
    if (!Parse("follow", kFollowHelp, args, {{"--from", true}, {"--json", false}}, 1, a, rc)) return rc;
    uint64_t from = 0;
    if (!Number("follow", a, "--from", 1, 0xFFFFFFFF, from, rc)) return rc;
    HANDLE log = OpenExisting("follow", a.positional[0], rc);
    if (!log) return rc;

    struct sigaction sa{};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: the poll sleep ends at once
    sigaction(SIGTERM, &sa, nullptr);

    DWORD oldest = 0, n = 0;
    if (!GetOldestEventLogRecord(log, &oldest) || !GetNumberOfEventLogRecords(log, &n)) {
        DWORD err = GetLastError();
        CloseEventLog(log);
        return Failed("follow", "cannot read the log", err);
    }
    const DWORD newest = n ? oldest + n - 1 : 0;
    if (!from) from = static_cast<uint64_t>(newest) + 1;
    Printer printer;
    printer.log = pal::eventlog::LogNameOf(log);
    printer.json = a.Has("--json");
    printer.jsonLines = true;
    Reader reader(log);
    std::vector<RecordView> records;
    // Stand on record from - 1 when it exists, so the first sequential read brings from;
    // otherwise read from the oldest and skip what comes before from.
    if (from - 1 >= oldest && from - 1 <= newest && n) reader.Next(EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ,
                                                                    static_cast<DWORD>(from - 1), records);
    bool skipping = true;
    std::fflush(stdout);
    int result = kOk;
    while (!g_stop) {
        DWORD err = reader.Next(EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, records);
        if (err == ERROR_HANDLE_EOF) {
            timespec pause{0, 200 * 1000 * 1000};
            nanosleep(&pause, nullptr);
            continue;
        }
        if (err) {
            result = Failed("follow", "cannot read the log", err);
            break;
        }
        for (const auto& r : records) {
            if (skipping && r.header.RecordNumber < from) continue;
            skipping = false;  // after the first, everything (a clear restarts numbers)
            printer.Print(r);
        }
    }
    CloseEventLog(log);
    return result;
}

int Clear(const std::vector<std::string>& args) {
    ParsedArgs a;
    int rc = 0;
    if (!Parse("clear", kClearHelp, args, {{"--backup", true}}, 1, a, rc)) return rc;
    if (a.Has("--backup") && a.Value("--backup").empty()) return Usage("clear", "--backup: the file name is empty");
    HANDLE log = OpenExisting("clear", a.positional[0], rc);
    if (!log) return rc;
    const char* backup = a.Has("--backup") ? a.Value("--backup").c_str() : nullptr;
    BOOL ok = ClearEventLogA(log, backup);
    DWORD err = GetLastError();
    std::string name = pal::eventlog::LogNameOf(log);
    CloseEventLog(log);
    if (!ok) {
        if (err == ERROR_ALREADY_EXISTS) return Usage("clear", "--backup: '" + a.Value("--backup") + "' exists already");
        return Failed("clear", "cannot clear " + name, err);
    }
    if (backup)
        std::printf("cleared %s (backup in %s)\n", name.c_str(), backup);
    else
        std::printf("cleared %s\n", name.c_str());
    return kOk;
}

int Import(const std::vector<std::string>& args) {
    ParsedArgs a;
    int rc = 0;
    if (!Parse("import", kImportHelp, args, {{"--partial", false}}, 2, a, rc)) return rc;
    HANDLE log = OpenExisting("import", a.positional[0], rc);
    if (!log) return rc;
    const std::string name = pal::eventlog::LogNameOf(log);
    const std::string& file = a.positional[1];
    pal::eventlog::BackupContents backup;
    if (!LoadBackup("import", file, backup, rc)) {
        CloseEventLog(log);
        return rc;
    }
    if (backup.damaged && !a.Has("--partial")) {
        CloseEventLog(log);
        std::fprintf(stderr,
                     "vqevent import: %s; nothing imported (--partial imports the %zu complete records before it)\n",
                     DamageText(file, backup).c_str(), backup.records.size());
        return kFailed;
    }
    const size_t n = backup.records.size();
    unsigned long long bytes = 0;
    for (const auto& r : backup.records) bytes += r.size();
    DWORD first = 0, last = 0;
    BOOL ok = pal::eventlog::ImportEventLogRecords(log, std::move(backup.records), &first, &last);
    DWORD err = GetLastError();
    CloseEventLog(log);
    if (!ok && err == ERROR_LOG_FILE_FULL) {
        std::fprintf(stderr,
                     "vqevent import: the backup's %zu records (%llu bytes) exceed the maximum size of %s (%u bytes, "
                     "registry value MaxSize); nothing imported\n",
                     n, bytes, name.c_str(), pal::eventlog::LogMaxSize(name));
        return kFailed;
    }
    if (!ok) return Failed("import", "cannot import " + file + " into " + name + " (nothing imported)", err);
    if (n)
        std::printf("imported %zu record%s into %s (records %u to %u)\n", n, n == 1 ? "" : "s", name.c_str(), first, last);
    else
        std::printf("imported 0 records into %s\n", name.c_str());
    if (backup.damaged)
        std::fprintf(stderr, "vqevent import: %s; the records after it were not imported\n",
                     DamageText(file, backup).c_str());
    return kOk;
}

int Info(const std::vector<std::string>& args) {
    ParsedArgs a;
    int rc = 0;
    if (!Parse("info", kInfoHelp, args, {{"--json", false}}, 1, a, rc)) return rc;
    HANDLE log = OpenExisting("info", a.positional[0], rc);
    if (!log) return rc;
    pal::eventlog::LogInfo info;
    BOOL ok = pal::eventlog::GetLogInfo(log, info);
    DWORD err = GetLastError();
    std::string name = pal::eventlog::LogNameOf(log);
    CloseEventLog(log);
    if (!ok) return Failed("info", "cannot read " + name, err);
    const DWORD newest = info.count ? info.oldest + info.count - 1 : 0;
    if (a.Has("--json")) {
        std::printf("{\"log\":\"%s\",\"oldest\":%u,\"count\":%u,\"newest\":%u,\"size\":%llu,\"max_size\":%u}\n",
                    pal::eventlog::JsonEscape(name).c_str(), info.oldest, info.count, newest,
                    static_cast<unsigned long long>(info.size), info.maxSize);
    } else {
        std::printf("Log:       %s\nOldest:    %u\nCount:     %u\nNewest:    %u\nSize:      %llu bytes\n"
                    "Max size:  %u bytes\n",
                    name.c_str(), info.oldest, info.count, newest, static_cast<unsigned long long>(info.size),
                    info.maxSize);
    }
    return kOk;
}

}  // namespace vqevent
