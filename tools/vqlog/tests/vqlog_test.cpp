// The built vqlog program against logs the framework really wrote.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "framework/apllog.h"
#include "pal/core/root.h"
#include "pal/file/path.h"
#include "pal/windows.h"
#include "tests/support/child_process.h"

namespace {

struct Result {
    int code = -1;
    std::string err;
    std::vector<std::string> lines;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t p = 0, nl; (nl = text.find('\n', p)) != std::string::npos; p = nl + 1)
        lines.push_back(text.substr(p, nl - p));
    return lines;
}

// Runs the tool to the end (it inherits VQ_ROOT); output goes through files.
Result Tool(const std::vector<std::string>& args) {
    const std::string out = pal::core::RootDir() + "/tool.out", err = pal::core::RootDir() + "/tool.err";
    std::string command = VQ_TOOL_BIN;
    for (const auto& a : args) {
        command += " '";
        for (char c : a) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    int status = std::system((command + " >" + out + " 2>" + err).c_str());
    return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(err), Lines(Slurp(out))};
}

// Messages of varying length, so the short-form ring wraps at a new place every pass.
std::string Numbered(const std::string& tag, int i) {
    char b[32];
    std::snprintf(b, sizeof b, "%s %03d", tag.c_str(), i);
    return b + (i * 7 % 23 ? " " + std::string(static_cast<size_t>(i * 7 % 23), '+') : std::string());
}

// The numbers of the "<tag> NNN" records, checking each line is a whole record that ends
// in exactly the message written.
std::vector<int> Numbers(const std::vector<std::string>& lines, const std::string& tag, bool shortForm = false) {
    std::vector<int> n;
    for (const auto& line : lines) {
        size_t at = line.rfind(tag + " ");
        if (at == std::string::npos) continue;
        int i = std::atoi(line.c_str() + at + tag.size() + 1);
        EXPECT_EQ(line.substr(at), Numbered(tag, i)) << line;
        EXPECT_EQ(line.substr(0, 8).find_first_not_of("0123456789"), shortForm ? 6u : std::string::npos) << line;
        EXPECT_EQ(line.substr(at - (shortForm ? 28 : 2), 2), shortForm ? "  " : "1,") << line;
        n.push_back(i);
    }
    return n;
}

std::vector<int> Range(int from, int to) {
    std::vector<int> r;
    for (int i = from; i <= to; ++i) r.push_back(i);
    return r;
}

void SetKey(const char* path, const char* name = nullptr, const std::string& value = "") {
    HKEY k = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    if (name)
        RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
}

void OpenLog(const std::string& dir, const char* process, LONG size) {
    SetKey("SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM\\APLLOG");  // turns the short-form file on
    CreateDirectoryA(dir.c_str(), nullptr);
    CAplLog::Open(1, process, dir.c_str(), size, 0);
    CAplLog::SetLog2Info("PC", 1, 1, 3, 0);
}

void Write(const std::string& tag, int from, int to) {
    for (int i = from; i <= to; ++i) CAplLog::Write(0, 0, 0, "F::G", Numbered(tag, i).c_str(), 1);
}

constexpr LONG kTwelveRecords = 10 + 256 * 11 + 100;  // main slots at 10 + 256 k up to the limit

class Vqlog : public testing::Test {
protected:
    void SetUp() override {
        dir_ = "C:\\logs_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { CAplLog::Close(); }
    std::string Path(const char* file) const { return pal::MapPath((dir_ + "\\" + file).c_str()); }
    std::string dir_;
};

TEST_F(Vqlog, RecordsComeOutOldestFirstAfterSeveralWraps) {
    OpenLog(dir_, "writer", kTwelveRecords);
    Write("msg", 1, 50);
    Result apl = Tool({"--dir", dir_});
    ASSERT_EQ(apl.code, 0) << apl.err;
    EXPECT_EQ(Numbers(apl.lines, "msg"), Range(39, 50));

    Result rapl = Tool({"--dir", dir_, "--file", "rapl"});
    ASSERT_EQ(rapl.code, 0) << rapl.err;
    std::vector<int> n = Numbers(rapl.lines, "msg", true);
    ASSERT_GE(n.size(), 15u);
    EXPECT_EQ(n.back(), 50);
    EXPECT_LE(n.back() - n.front() + 1 - static_cast<int>(n.size()), 1) << "only a line torn by the wrap may go";
    for (size_t i = 1; i < n.size(); ++i) EXPECT_GT(n[i], n[i - 1]);

    // Ten-digit id codes and five-digit event codes lengthen records, so slots drift.
    for (int i = 1; i <= 40; ++i)
        CAplLog::Write(i % 3 ? 9000 : 10000, 0, i % 2 ? -1 : 5, "F::G", Numbered("w", i).c_str(), 1);
    for (const char* file : {"apl", "ser"}) {
        std::vector<int> w = Numbers(Tool({"--dir", dir_, "--file", file}).lines, "w");
        ASSERT_GE(w.size(), 10u) << file;
        EXPECT_EQ(w, Range(41 - static_cast<int>(w.size()), 40)) << file;
    }
}

TEST_F(Vqlog, GrepSinceAndLineBreaks) {
    OpenLog(dir_, "writer", 4000000);
    Write("msg", 1, 12);
    CAplLog::Write(7001, 0x2a, 0, "F::G", "first\r\nsecond", 1);
    EXPECT_EQ(Numbers(Tool({"--dir", dir_, "--grep", "msg 01"}).lines, "msg"), Range(10, 12));
    std::vector<std::string> err = Tool({"--dir", dir_, "--file", "err"}).lines;
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(err[0].substr(68), "7001-0000002a,F::G" + std::string(26, ' ') + ",1,first\\r\\nsecond");
    std::vector<std::string> rapl = Tool({"--dir", dir_, "--file", "rapl", "--grep", "second"}).lines;
    ASSERT_EQ(rapl.size(), 1u);
    const std::string escaped = "F::G" + std::string(28, ' ') + "first\\x7f\\x7fsecond";
    EXPECT_EQ(rapl[0].substr(rapl[0].size() - escaped.size()), escaped);
    CAplLog::Close();

    // The framework stamps records with the current time only: these are written by hand.
    std::string body;
    for (const char* at : {"20231231,235959", "20240630,235959", "20240701,000000", "20240701,120000"}) {
        char b[300];
        std::snprintf(b, sizeof b, "%s,01,01,%-15s,%-8s,%10u,%09u,0000-00000000,%-30s,1,%-139.6s\r\n", at, "PC", "proc",
                      1u, 0u, "F::G", at + 9);
        body += b;
    }
    std::ofstream(Path("vqapl.log"), std::ios::binary | std::ios::trunc) << "00001034\r\n" << body;
    auto since = [&](const char* t) {
        std::string times;
        for (const auto& l : Tool({"--dir", dir_, "--since", t}).lines) times += l.substr(l.rfind(',') + 1) + " ";
        return times;
    };
    EXPECT_EQ(since("2024-07-01"), "000000 120000 ");
    EXPECT_EQ(since("2024-06-30 23:59:59"), "235959 000000 120000 ");
    EXPECT_EQ(since("20240701000001"), "120000 ");
    Result bad = Tool({"--dir", dir_, "--since", "2024-02-30"});
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("'2024-02-30'"), std::string::npos) << bad.err;
}

TEST_F(Vqlog, ConfiguredDirectoryAndNamedProblems) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM");
    Result fallback = Tool({});
    EXPECT_EQ(fallback.code, 1);
    EXPECT_NE(fallback.err.find("'c:\\"), std::string::npos) << fallback.err;

    SetKey("SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM", "SYSTEM_NAME", "POSAPP");
    SetKey("SOFTWARE\\QIR\\POSAPP\\SYSTEM", "LOG_DIR", dir_);  // no trailing backslash
    OpenLog(dir_, "writer", 4000000);
    Write("msg", 1, 3);
    EXPECT_EQ(Numbers(Tool({}).lines, "msg"), Range(1, 3));

    std::filesystem::remove(Path("vqser.log"));
    struct Problem {
        std::vector<std::string> args;
        int code;
        std::string named;
    };
    for (const auto& [args, code, named] : std::vector<Problem>{{{"--dir", "C:\\nowhere"}, 1, "C:\\nowhere\\"},
                                                                {{"--dir", "/no/such/dir"}, 1, "/no/such/dir"},
                                                                {{"--file", "ser"}, 1, dir_ + "\\vqser.log"},
                                                                {{"--file", "trace"}, 2, "'trace'"},
                                                                {{"--tail"}, 2, "'--tail'"},
                                                                {{"stray"}, 2, "'stray'"},
                                                                {{"--grep"}, 2, "--grep"}}) {
        Result r = Tool(args);
        EXPECT_EQ(r.code, code) << named;
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
        EXPECT_TRUE(r.lines.empty());
    }
    // A drive that does not exist: an error, and no folder made for it.
    Result noDrive = Tool({"--dir", "Q:\\nowhere\\logs"});
    EXPECT_EQ(noDrive.code, 1);
    EXPECT_NE(noDrive.err.find("Q:\\nowhere\\logs"), std::string::npos) << noDrive.err;
    EXPECT_FALSE(std::filesystem::exists(pal::core::RootDir() + "/drive_q"));
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\POSAPP");
    // A cleared file holds not even a header, and is no error.
    CAplLog::Close();
    std::filesystem::resize_file(Path("vqapl.log"), 0);
    Result empty = Tool({"--dir", Path("")});
    EXPECT_EQ(empty.code, 0) << empty.err;
    EXPECT_TRUE(empty.lines.empty());
}

TEST_F(Vqlog, ReadsUnderTheWritersLogMutex) {
    OpenLog(dir_, "writer", 4000000);
    Write("msg", 1, 1);
    std::string head = Slurp(Path("vqrapl.log")).substr(10);
    head.resize(head.find("msg 001"));
    auto append = [&](const std::string& bytes) {  // one positioned write, as the writer does it
        std::fstream f(Path("vqrapl.log"), std::ios::in | std::ios::out | std::ios::binary);
        char header[16] = {};
        f.read(header, 10);
        long pos = std::atol(header);
        f.seekp(pos);
        f << bytes;
        std::snprintf(header, sizeof header, "%08ld\r\n", pos + static_cast<long>(bytes.size()));
        f.seekp(0);
        f.write(header, 10);
    };
    // A writer holds the mutex from a line's head to its CR LF; the tool must wait for it.
    ASSERT_EQ(WaitForSingleObject(CAplLog::m_hLogMutex, INFINITE), WAIT_OBJECT_0);
    append(head);
    FILE* tool = popen((std::string(VQ_TOOL_BIN) + " --file rapl --dir '" + dir_ + "'").c_str(), "r");
    usleep(300 * 1000);
    append(Numbered("msg", 2) + "\r\n");
    ReleaseMutex(CAplLog::m_hLogMutex);
    std::string out;
    char b[512];
    for (size_t n; (n = fread(b, 1, sizeof b, tool)) > 0;) out.append(b, n);
    EXPECT_EQ(pclose(tool), 0);
    EXPECT_EQ(Numbers(Lines(out), "msg", true), Range(1, 2));
}

VQ_CHILD(vqlog_writer) {
    OpenLog(args.at(0), args.at(1).c_str(), 10 + 256 * 20);
    vqtest::Tell("open");
    while (!std::filesystem::exists(pal::core::RootDir() + "/go")) usleep(1000);
    Write(args.at(1), 1, 80);
    CAplLog::Close();
    return 0;
}

TEST_F(Vqlog, RingSharedByTwoProcessesReadsBackWhole) {
    vqtest::ChildProcess a("vqlog_writer", {dir_, "pa"}), b("vqlog_writer", {dir_, "pb"});
    ASSERT_TRUE(a.Expect("open") && b.Expect("open"));
    std::ofstream(pal::core::RootDir() + "/go") << "go";  // start both at once
    ASSERT_EQ(a.Wait(), 0);
    ASSERT_EQ(b.Wait(), 0);
    for (const char* file : {"apl", "rapl"}) {
        Result r = Tool({"--dir", dir_, "--file", file});
        std::vector<int> pa = Numbers(r.lines, "pa", file[0] == 'r'), pb = Numbers(r.lines, "pb", file[0] == 'r');
        EXPECT_EQ(pa.size() + pb.size(), r.lines.size()) << file;
        EXPECT_TRUE(std::is_sorted(pa.begin(), pa.end()) && std::is_sorted(pb.begin(), pb.end())) << file;
        EXPECT_EQ(std::max(pa.empty() ? 0 : pa.back(), pb.empty() ? 0 : pb.back()), 80) << file;
        if (file[0] == 'a') {
            EXPECT_EQ(r.lines.size(), 21u) << "every slot of the ring is a whole record";
        }
    }
}

TEST_F(Vqlog, FollowPrintsNewRecordsThroughWrapsAndClears) {
    OpenLog(dir_, "writer", kTwelveRecords);
    Write("msg", 1, 3);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        execl(VQ_TOOL_BIN, VQ_TOOL_BIN, "--dir", dir_.c_str(), "--follow", "--grep", "msg", nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::string buffer;
    auto next = [&](size_t n) {  // the next n lines, fewer after 10 s of silence
        std::vector<std::string> lines;
        pollfd p{fds[0], POLLIN, 0};
        char b[4096];
        ssize_t got = 1;
        while ((lines = Lines(buffer)).size() < n && got > 0 && poll(&p, 1, 10000) > 0)
            if ((got = read(fds[0], b, sizeof b)) > 0) buffer.append(b, static_cast<size_t>(got));
        lines.resize(std::min(lines.size(), n));
        for (const auto& l : lines) buffer.erase(0, l.size() + 1);
        return Numbers(lines, "msg");
    };
    EXPECT_EQ(next(3), Range(1, 3));
    for (int from = 4; from <= 28; from += 5) {  // the twelve-record ring wraps twice
        Write("msg", from, from + 4);
        EXPECT_EQ(next(5), Range(from, from + 4));
    }
    std::filesystem::resize_file(Path("vqapl.log"), 0);  // what rename/clear does
    usleep(600 * 1000);                                  // let the follower see it empty
    Write("msg", 100, 101);
    EXPECT_EQ(next(2), Range(100, 101));
    std::filesystem::resize_file(Path("vqapl.log"), 0);  // emptied and refilled between polls
    Write("msg", 200, 202);
    EXPECT_EQ(next(3), Range(200, 202));

    kill(pid, SIGINT);
    int status = -1;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(buffer, "");
    close(fds[0]);
}

}  // namespace
