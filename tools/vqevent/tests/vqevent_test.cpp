// The built vqevent program, run as users run it, against this test's machine root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pal/core/root.h"
#include "pal/eventlog/backup.h"
#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/record.h"
#include "pal/file/path.h"
#include "pal/registry/registry.h"

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the tool to the end; stdout and stderr go through files in the machine root.
Result Tool(const std::vector<std::string>& args) {
    const std::string out = pal::core::RootDir() + "/tool.out", err = pal::core::RootDir() + "/tool.err";
    std::string command = Quote(VQ_TOOL_BIN);
    for (const auto& a : args) command += " " + Quote(a);
    int status = std::system((command + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
    return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class Vqevent : public testing::Test {
protected:
    void SetUp() override {
        for (const char* log : {"Application", "System"}) {
            HANDLE h = OpenEventLogA(nullptr, log);
            ASSERT_TRUE(ClearEventLogA(h, nullptr));
            CloseEventLog(h);
        }
    }
    void WriteN(int n) {
        for (int i = 1; i <= n; ++i)
            ASSERT_EQ(Tool({"write", "--log", "Application", "--id", std::to_string(i)}).code, 0);
    }
};

TEST_F(Vqevent, WrittenRecordShowsEveryFieldInTextAndJson) {
    Result w = Tool({"write", "--source", "Probe", "--id", "0xC0040009", "--type", "error", "--category", "3",
                    "--string", "first", "--string", "two words", "--data", "01 02 ff"});
    ASSERT_EQ(w.code, 0) << w.err;
    EXPECT_EQ(w.out, "written to Application\n");

    Result q = Tool({"query", "Application"});
    ASSERT_EQ(q.code, 0) << q.err;
    for (const char* line : {"Record:    1\n", "Source:    Probe\n", "Type:      error\n", "Category:  3\n",
                             "Event ID:  0xC0040009 (event 9)\n", "String 1:  first\n", "String 2:  two words\n",
                             "Data:      0102ff (3 bytes)\n", "User:      N/A\n"})
        EXPECT_NE(q.out.find(line), std::string::npos) << line << " missing from\n" << q.out;
    EXPECT_NE(q.out.find("Message:   "), std::string::npos);

    Result j = Tool({"query", "application", "--json"});
    ASSERT_EQ(j.code, 0) << j.err;
    EXPECT_EQ(j.out.rfind("[\n{\"number\":1,", 0), 0u) << j.out;
    EXPECT_EQ(j.out.substr(j.out.size() - 4), "}\n]\n");
    for (const char* field : {"\"event_id\":\"0xC0040009\"", "\"event_number\":9", "\"type\":\"error\"",
                              "\"category\":3", "\"strings\":[\"first\",\"two words\"]", "\"data\":\"0102ff\"",
                              "\"source\":\"Probe\""})
        EXPECT_NE(j.out.find(field), std::string::npos) << field << " missing from " << j.out;
    EXPECT_EQ(Tool({"query", "System", "--json"}).out, "[]\n");
}

TEST_F(Vqevent, SourcesRouteAndMessagesFormatAsTheRegistrySays) {
    // The gatherer's source under its own log, with a message file installed beside it.
    const char* key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Mordane\\Mordane";
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    const char file[] = "%SystemRoot%\\system32\\mordane.dll";
    ASSERT_EQ(RegSetValueExA(h, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file), sizeof file),
              ERROR_SUCCESS);
    RegCloseKey(h);
    std::filesystem::path mc = pal::MapPath("C:\\WINDOWS\\system32\\mordane.mc");
    std::filesystem::create_directories(mc.parent_path());
    std::ofstream(mc) << "FacilityNames=(Gatherer=0x4)\n"
                         "MessageId=0xB\nSeverity=Informational\nFacility=Gatherer\nLanguage=English\n"
                         "Serial number %1.\n.\n";

    Result w = Tool({"write", "--source", "Mordane", "--id", "0x4004000B", "--string", "SN-0042"});
    ASSERT_EQ(w.code, 0) << w.err;
    EXPECT_EQ(w.out, "written to Mordane\n");
    Result q = Tool({"query", "Mordane"});
    EXPECT_NE(q.out.find("Message:   Serial number SN-0042.\n"), std::string::npos) << q.out;
    EXPECT_NE(Tool({"query", "Mordane", "--json"}).out.find("\"message_found\":true"), std::string::npos);
    EXPECT_EQ(Tool({"query", "Application"}).out, "");
}

TEST_F(Vqevent, QueryHonoursFromCountAndDirection) {
    WriteN(5);
    auto numbers = [](const std::string& out) {
        std::vector<int> n;
        for (size_t at = out.find("Record:    "); at != std::string::npos; at = out.find("Record:    ", at + 1))
            n.push_back(std::stoi(out.substr(at + 11)));
        return n;
    };
    EXPECT_EQ(numbers(Tool({"query", "Application"}).out), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(numbers(Tool({"query", "Application", "--from", "2", "--count", "2"}).out), (std::vector<int>{2, 3}));
    EXPECT_EQ(numbers(Tool({"query", "Application", "--backwards", "--count", "2"}).out), (std::vector<int>{5, 4}));
    EXPECT_EQ(numbers(Tool({"query", "Application", "--from=4", "--backwards"}).out), (std::vector<int>{4, 3, 2, 1}));
    Result missing = Tool({"query", "Application", "--from", "9"});
    EXPECT_EQ(missing.code, 2);
    EXPECT_NE(missing.err.find("--from: record 9 is not in the log (records 1 to 5)"), std::string::npos)
        << missing.err;
}

TEST_F(Vqevent, InfoAndClearWithBackup) {
    WriteN(3);
    Result info = Tool({"info", "Application"});
    ASSERT_EQ(info.code, 0);
    EXPECT_NE(info.out.find("Oldest:    1\nCount:     3\nNewest:    3\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Max size:  524288 bytes"), std::string::npos);

    std::string backup = pal::core::RootDir() + "/app.evt";
    Result c = Tool({"clear", "Application", "--backup", backup});
    ASSERT_EQ(c.code, 0) << c.err;
    std::ifstream f(backup, std::ios::binary | std::ios::ate);
    EXPECT_GT(static_cast<long>(f.tellg()), 0x30 + 0x28);
    Result again = Tool({"clear", "Application", "--backup", backup});
    EXPECT_EQ(again.code, 2);
    EXPECT_NE(again.err.find("--backup"), std::string::npos);
    EXPECT_EQ(Tool({"info", "Application", "--json"}).out,
              "{\"log\":\"Application\",\"oldest\":0,\"count\":0,\"newest\":0,\"size\":0,\"max_size\":524288}\n");
    WriteN(1);
    EXPECT_NE(Tool({"query", "Application"}).out.find("Record:    1\n"), std::string::npos);
}

TEST_F(Vqevent, BadArgumentsNameTheArgument) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"query"}, "LOG is missing"},
        {{"query", "Application", "System"}, "unexpected argument 'System'"},
        {{"query", "Nosuch"}, "no log named 'Nosuch'"},
        {{"query", "Application", "--count", "0"}, "--count: '0' is not a number"},
        {{"query", "Application", "--colour"}, "unknown option '--colour'"},
        {{"query", "Application", "--json=yes"}, "--json takes no value"},
        {{"write", "--id", "1"}, "give --log or --source"},
        {{"write", "--source", "S"}, "--id is required"},
        {{"write", "--source", "S", "--id", "0x1FFFFFFFF"}, "--id: '0x1FFFFFFFF'"},
        {{"write", "--source", "S", "--id", "1", "--type", "fatal"}, "--type: 'fatal'"},
        {{"write", "--source", "S", "--id", "1", "--data", "abc"}, "--data: 'abc'"},
        {{"write", "--log", "Nosuch", "--id", "1"}, "--log: there is no log named 'Nosuch'"},
        {{"follow", "Application", "--from", "-3"}, "--from: '-3' is not a number"},
        {{"query", "Application", "--file", "x.evt"}, "give LOG or --file, not both"},
        {{"import", "Application"}, "BACKUP is missing"},
        {{"import"}, "LOG is missing"},
        {{"import", "Nosuch", "x.evt"}, "no log named 'Nosuch'"},
    };
    for (const auto& c : cases) {
        Result r = Tool(c.args);
        EXPECT_EQ(r.code, 2) << c.args[0] << " " << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << "stderr: " << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_NE(Tool({"info", "Application", "--json"}).out.find("\"count\":0,"), std::string::npos);  // nothing written
}

TEST_F(Vqevent, EveryCommandHasHelp) {
    for (const char* command : {"write", "query", "follow", "clear", "import", "info"}) {
        Result r = Tool({command, "--help"});
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: vqevent ") + command, 0), 0u) << r.out;
    }
    Result r = Tool({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(Occurrences(r.out, "\n  "), 6u);
    EXPECT_EQ(Tool({}).code, 2);
}

TEST_F(Vqevent, FollowPrintsNewRecordsUntilTerminated) {
    WriteN(2);  // older records: not printed without --from
    // The shell tells its pid and becomes the tool, so the pid is the tool's.
    FILE* follow = popen(("echo $$; exec " + Quote(VQ_TOOL_BIN) + " follow Application --json").c_str(), "r");
    ASSERT_NE(follow, nullptr);
    char line[4096];
    ASSERT_NE(fgets(line, sizeof line, follow), nullptr);
    const pid_t pid = std::stoi(line);
    usleep(300 * 1000);  // let it find the end of the log first
    HANDLE src = RegisterEventSourceA(nullptr, "Later");
    LPCSTR s[] = {"news"};
    std::vector<std::string> got;
    for (DWORD id : {77u, 78u}) {
        ASSERT_TRUE(ReportEventA(src, EVENTLOG_WARNING_TYPE, 0, id, nullptr, 1, 0, s, nullptr));
        ASSERT_NE(fgets(line, sizeof line, follow), nullptr);  // one line per record
        got.emplace_back(line);
    }
    DeregisterEventSource(src);
    kill(pid, SIGTERM);
    int status = pclose(follow);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(got[0].rfind("{\"number\":3,", 0), 0u) << got[0];
    EXPECT_NE(got[0].find("\"event_number\":77"), std::string::npos);
    EXPECT_EQ(got[1].rfind("{\"number\":4,", 0), 0u) << got[1];
}

}  // namespace

namespace {

DWORD RecordCount(const char* log) {
    HANDLE h = OpenEventLogA(nullptr, log);
    DWORD n = 0;
    GetNumberOfEventLogRecords(h, &n);
    CloseEventLog(h);
    return n;
}

void Fill(DWORD records) {
    HANDLE h = RegisterEventSourceA(nullptr, "Filler");
    std::vector<uint8_t> data(900, 0x5A);
    for (DWORD i = 0; i < records; ++i)
        ASSERT_TRUE(ReportEventA(h, EVENTLOG_INFORMATION_TYPE, 0, i + 1, nullptr, 0,
                                 static_cast<DWORD>(data.size()), nullptr, data.data()));
    DeregisterEventSource(h);
}

// A whole backup: the header's end offset, the end record and the file size agree.
bool WholeBackup(const std::string& path, std::string& why) {
    const std::string b = Slurp(path);
    if (b.size() < pal::eventlog::kBackupHeaderSize + pal::eventlog::kBackupEofSize) {
        why = "only " + std::to_string(b.size()) + " bytes";
        return false;
    }
    DWORD end = 0, eofSize = 0;
    std::memcpy(&end, b.data() + 20, 4);
    std::memcpy(&eofSize, b.data() + b.size() - 4, 4);
    if (end + pal::eventlog::kBackupEofSize != b.size() || eofSize != pal::eventlog::kBackupEofSize) {
        why = "end offset " + std::to_string(end) + " in a file of " + std::to_string(b.size()) + " bytes";
        return false;
    }
    return true;
}

}  // namespace

// vqevent clear --backup killed at many moments: every time there is either no backup
// and the log is whole, or a complete backup (and the log whole or cleared). Never a
// partial file under the backup's name, which would refuse the retry.
TEST_F(Vqevent, ClearWithBackupKilledAtAnyMomentLeavesNoPartialBackup) {
    const std::string backup = pal::core::RootDir() + "/killed.evt";
    Fill(400);
    const DWORD full = RecordCount("Application");
    ASSERT_GT(full, 100u);

    int sawNone = 0, sawWhole = 0;
    // 0 to 30 ms after the start, then (a slow or loaded machine may not finish a clear
    // in 30 ms) longer waits until a clear has also been seen to complete.
    auto delayOf = [](int round) { return round < 60 ? round * 500 : (round - 59) * 50000; };
    for (int round = 0; round < 60 || (sawWhole == 0 && round < 120); ++round) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl(VQ_TOOL_BIN, VQ_TOOL_BIN, "clear", "Application", "--backup", backup.c_str(), nullptr);
            _exit(127);
        }
        usleep(static_cast<useconds_t>(delayOf(round)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);

        const DWORD left = RecordCount("Application");
        if (!std::filesystem::exists(backup)) {
            ++sawNone;
            EXPECT_EQ(left, full) << "round " << round << ": no backup, yet the log lost records";
        } else {
            ++sawWhole;
            std::string why;
            EXPECT_TRUE(WholeBackup(backup, why)) << "round " << round << ": " << why;
            EXPECT_TRUE(left == full || left == 0) << "round " << round << ": " << left;
            std::filesystem::remove(backup);
        }
        if (RecordCount("Application") != full) {
            HANDLE h = OpenEventLogA(nullptr, "Application");
            ASSERT_TRUE(ClearEventLogA(h, nullptr));
            CloseEventLog(h);
            Fill(400);
            ASSERT_EQ(RecordCount("Application"), full);
        }
    }
    // The rounds covered both outcomes; no temporary file is left under another name.
    EXPECT_GT(sawNone, 0);
    EXPECT_GT(sawWhole, 0);
    for (const auto& e : std::filesystem::directory_iterator(pal::core::RootDir()))
        EXPECT_EQ(e.path().filename().string().find("killed.evt"), std::string::npos) << e.path();

    // Unkilled, the retry after all that works.
    Result c = Tool({"clear", "Application", "--backup", backup});
    EXPECT_EQ(c.code, 0) << c.err;
    std::string why;
    EXPECT_TRUE(WholeBackup(backup, why)) << why;
}

// With a registry that cannot be read, where a source is registered is unknown: the write
// fails with the registry's error instead of going to Application. The machine root is a
// fresh one of its own, so this test's registry stays sound.
TEST_F(Vqevent, AnUnreadableRegistryIsAnErrorNotAnUnregisteredSource) {
    const std::string root = pal::core::RootDir() + "/broken-root";
    std::filesystem::create_directories(root);
    std::ofstream(root + "/registry.db", std::ios::binary) << std::string(4096, 'x');
    const std::string out = root + "/out", err = root + "/err";
    const std::string command = "VQ_ROOT=" + Quote(root) + " " + Quote(VQ_TOOL_BIN) +
                                " write --source Mordane --id 5 >" + Quote(out) + " 2>" + Quote(err);
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << Slurp(out) << Slurp(err);
    EXPECT_NE(Slurp(err).find("cannot register the source 'Mordane'"), std::string::npos) << Slurp(err);
    EXPECT_EQ(Slurp(out), "");

    // Nothing reached Application there.
    const std::string query = "VQ_ROOT=" + Quote(root) + " " + Quote(VQ_TOOL_BIN) + " info Application --json >" +
                              Quote(out) + " 2>" + Quote(err);
    std::system(query.c_str());
    EXPECT_NE(Slurp(out).find("\"count\":0"), std::string::npos) << Slurp(out) << Slurp(err);
}

namespace {

// The gatherer's source registered under its own log, with a message file beside it.
void RegisterMordaneMessages() {
    const char* key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Mordane\\Mordane";
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    const char file[] = "%SystemRoot%\\system32\\mordane.dll";
    ASSERT_EQ(RegSetValueExA(h, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file), sizeof file),
              ERROR_SUCCESS);
    RegCloseKey(h);
    std::filesystem::path mc = pal::MapPath("C:\\WINDOWS\\system32\\mordane.mc");
    std::filesystem::create_directories(mc.parent_path());
    std::ofstream(mc) << "FacilityNames=(Gatherer=0x4)\n"
                         "MessageId=0xB\nSeverity=Informational\nFacility=Gatherer\nLanguage=English\n"
                         "Serial number %1.\n.\n";
}

std::string Cut(const std::string& from, size_t bytes, const std::string& name) {
    const std::string path = pal::core::RootDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << Slurp(from).substr(0, bytes);
    return path;
}

DWORD DwordIn(const std::string& bytes, size_t at) {
    DWORD v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

}  // namespace

// A backup prints exactly as the log did before it was cleared, in text and JSON; the
// message texts come from where the source is registered.
TEST_F(Vqevent, BackupReadsBackRecordForRecordAsTheLogDid) {
    RegisterMordaneMessages();
    ASSERT_EQ(Tool({"write", "--source", "Mordane", "--id", "0x4004000B", "--string", "SN-0042"}).code, 0);
    ASSERT_EQ(Tool({"write", "--log", "Application", "--id", "0xC0040009", "--type", "error", "--category", "3",
                    "--string", "first", "--string", "two words", "--data", "01 02 ff"})
                  .code,
              0);
    HANDLE src = RegisterEventSourceA(nullptr, "Unregistered");
    static const uint8_t system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    LPCSTR strings[] = {"audit"};
    ASSERT_TRUE(ReportEventA(src, EVENTLOG_AUDIT_FAILURE, 7, 4625, const_cast<uint8_t*>(system), 1, 0, strings,
                             nullptr));
    DeregisterEventSource(src);
    WriteN(3);

    for (const char* log : {"Mordane", "Application"}) {
        const Result text = Tool({"query", log}), json = Tool({"query", log, "--json"});
        ASSERT_EQ(text.code, 0);
        const std::string backup = pal::core::RootDir() + "/" + log + ".evt";
        ASSERT_EQ(Tool({"clear", log, "--backup", backup}).code, 0);
        Result r = Tool({"query", "--file", backup});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, text.out) << log;
        r = Tool({"query", "--json", "--file=" + backup});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, json.out) << log;
        EXPECT_EQ(r.err, "");
    }
    const std::string backup = pal::core::RootDir() + "/Application.evt";
    EXPECT_NE(Tool({"query", "--file", pal::core::RootDir() + "/Mordane.evt"}).out.find("Serial number SN-0042."),
              std::string::npos);
    Result r = Tool({"query", "--file", backup, "--json"});
    for (const char* field : {"\"sid\":\"S-1-5-18\"", "\"type\":\"audit-failure\"", "\"data\":\"0102ff\"",
                              "\"strings\":[\"first\",\"two words\"]", "{\"number\":5,"})
        EXPECT_NE(r.out.find(field), std::string::npos) << field << " missing from " << r.out;

    r = Tool({"query", "--file", backup, "--from", "4", "--backwards", "--count", "2"});
    EXPECT_EQ(r.out.rfind("Record:    4\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nRecord:    3\n"), std::string::npos);
    EXPECT_EQ(Occurrences(r.out, "Record:"), 2u);
    r = Tool({"query", "--file", backup, "--from", "9"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--from: record 9 is not in the file (records 1 to 5)"), std::string::npos) << r.err;
    r = Tool({"query", "--file", pal::core::RootDir() + "/none.evt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("none.evt"), std::string::npos) << r.err;
}

TEST_F(Vqevent, DamagedBackupPrintsTheCompleteRecordsAndSaysWhereItStops) {
    WriteN(3);
    const std::string backup = pal::core::RootDir() + "/whole.evt";
    ASSERT_EQ(Tool({"clear", "Application", "--backup", backup}).code, 0);
    const std::string bytes = Slurp(backup);
    const size_t third = 0x30 + DwordIn(bytes, 0x30) + DwordIn(bytes, 0x30 + DwordIn(bytes, 0x30));
    const std::string cut = Cut(backup, third + 20, "cut.evt");

    Result r = Tool({"query", "--file", cut, "--json"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(Occurrences(r.out, "{\"number\":"), 2u) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 4), "}\n]\n") << "the JSON array is closed";
    char offset[16];
    std::snprintf(offset, sizeof offset, "0x%zX", third);
    EXPECT_NE(r.err.find("cut.evt is damaged at offset " + std::string(offset)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("record 3"), std::string::npos) << r.err;

    // Import: all or nothing, unless the complete records are asked for.
    r = Tool({"import", "System", cut});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("nothing imported"), std::string::npos) << r.err;
    EXPECT_EQ(Tool({"query", "System"}).out, "");
    r = Tool({"import", "System", cut, "--partial"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "imported 2 records into System (records 1 to 2)\n");
    EXPECT_NE(r.err.find("damaged"), std::string::npos);
}

TEST_F(Vqevent, ImportKeepsTheRecordsTimesAndData) {
    // A backup from another machine, years old.
    std::vector<std::vector<uint8_t>> records;
    const uint8_t data[] = {0xde, 0xad, 0xbe, 0xef, 0x00};
    for (DWORD n = 70; n < 73; ++n) {
        pal::eventlog::RecordFields f;
        f.recordNumber = n;
        f.timeGenerated = 946684800 + n;  // 2000-01-01
        f.timeWritten = 946684900 + n;
        f.eventId = 0x80000000u | n;
        f.eventType = EVENTLOG_WARNING_TYPE;
        f.category = 2;
        f.source = "Faraway";
        f.computer = "OTHER-PC";
        f.strings = {"kept"};
        f.data = data;
        f.dataLength = sizeof data;
        records.push_back(pal::eventlog::BuildRecord(f));
    }
    const std::string backup = pal::core::RootDir() + "/old.evt";
    {
        const auto image = pal::eventlog::BackupImage(records, 73, 0x80000);
        std::ofstream(backup, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                       static_cast<std::streamsize>(image.size()));
    }
    WriteN(1);
    Result r = Tool({"import", "application", backup});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "imported 3 records into Application (records 2 to 4)\n");
    const std::string log = Tool({"query", "Application", "--from", "2", "--json"}).out;
    const std::string file = Tool({"query", "--file", backup, "--json"}).out;
    // The same records but for their numbers.
    std::string renumbered = file;
    for (int n = 70; n < 73; ++n) {
        const std::string from = "{\"number\":" + std::to_string(n) + ",";
        renumbered.replace(renumbered.find(from), from.size(), "{\"number\":" + std::to_string(n - 68) + ",");
    }
    EXPECT_EQ(log, renumbered);
    EXPECT_NE(log.find("\"time_written_utc\":946684970,"), std::string::npos) << log;
    EXPECT_NE(log.find("\"computer\":\"OTHER-PC\""), std::string::npos);
    EXPECT_NE(log.find("\"data\":\"deadbeef00\""), std::string::npos);
}
