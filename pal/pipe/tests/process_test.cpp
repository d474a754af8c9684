// Pipes between processes: echo in both modes, records of many writer threads, a server
// killed with SIGKILL, one serving process per name.
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "pal/pipe/tests/pipe_test_util.h"
#include "tests/support/child_process.h"

using namespace pipetest;

namespace {

constexpr DWORD kRecord = 4096;

// A record: writer thread, sequence number, then a pattern both of them determine.
std::string MakeRecord(uint32_t thread, uint32_t seq) {
    std::string r(kRecord, '\0');
    std::memcpy(&r[0], &thread, 4);
    std::memcpy(&r[4], &seq, 4);
    for (DWORD i = 8; i < kRecord; ++i) r[i] = static_cast<char>((thread * 31 + seq + i) & 0xFF);
    return r;
}

}  // namespace

// Serves args[0] with one synchronous instance ("message" mode in args[1]) and echoes
// every read back until the client goes.
VQ_CHILD(pipe_echo_server) {
    const bool message = args.at(1) == "message";
    HANDLE s = CreateNamedPipeA(args[0].c_str(), PIPE_ACCESS_DUPLEX,
                                message ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE : PIPE_TYPE_BYTE, 1, 4096,
                                4096, 0, nullptr);
    if (s == INVALID_HANDLE_VALUE) {
        vqtest::Tell("error " + std::to_string(GetLastError()));
        return 1;
    }
    vqtest::Tell("ready");
    if (!ConnectNamedPipe(s, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 2;
    std::vector<char> buf(1 << 20);
    for (;;) {
        DWORD n = 0, w = 0;
        if (!ReadFile(s, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE ? 0 : 3;
        if (!WriteFile(s, buf.data(), n, &w, nullptr) || w != n) return 4;
    }
}

// Serves args[0] until killed.
VQ_CHILD(pipe_holder) {
    HANDLE s = Serve(args.at(0));
    if (s == INVALID_HANDLE_VALUE) return 1;
    vqtest::Tell("ready");
    if (!AwaitClient(s, 60000)) return 2;
    vqtest::Tell("connected");
    for (;;) Sleep(1000);
}

// Tells whether it may serve args[0]: the error, 0 when it could.
VQ_CHILD(pipe_try_create) {
    HANDLE s = Serve(args.at(0));
    vqtest::Tell(std::to_string(s == INVALID_HANDLE_VALUE ? GetLastError() : 0));
    return 0;
}

// Writes args[2] records from each of args[1] threads through one overlapped client handle.
VQ_CHILD(pipe_record_writer) {
    HANDLE h = Open(args.at(0));
    if (h == INVALID_HANDLE_VALUE) return 1;
    const int threads = std::stoi(args.at(1)), count = std::stoi(args.at(2));
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < count; ++i)
                if (!WriteAll(h, MakeRecord(static_cast<uint32_t>(t), static_cast<uint32_t>(i)))) ++failures;
        });
    for (auto& w : writers) w.join();
    vqtest::Tell(failures == 0 ? "done" : "failed");
    CloseHandle(h);
    return 0;
}

TEST(PipeProcessTest, EchoBetweenProcessesInBothModes) {
    for (const char* mode : {"byte", "message"}) {
        SCOPED_TRACE(mode);
        const std::string name = UniqueName("echo");
        vqtest::ChildProcess child("pipe_echo_server", {name, mode});
        ASSERT_TRUE(child.Expect("ready"));
        vqtest::ChildProcess rival("pipe_try_create", {name});
        EXPECT_EQ(rival.ReadLine(), "5");  // one process serves a name
        HANDLE c = Open(name);
        ASSERT_NE(c, INVALID_HANDLE_VALUE) << GetLastError();
        if (std::string(mode) == "message") {
            DWORD m = PIPE_READMODE_MESSAGE;
            ASSERT_TRUE(SetNamedPipeHandleState(c, &m, nullptr, nullptr));
            const std::string big(300000, 'm');
            ASSERT_TRUE(WriteAll(c, "one"));
            ASSERT_TRUE(WriteAll(c, big));
            ASSERT_TRUE(WriteAll(c, "three"));
            // Each message comes back alone and whole.
            for (const std::string& expect : {std::string("one"), big, std::string("three")}) {
                std::string got(400000, '\0');
                Async a;
                DWORD n = 0;
                if (!ReadFile(c, got.data(), static_cast<DWORD>(got.size()), &n, &a.ov)) {
                    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
                    ASSERT_GE(a.Result(c), 0);
                    n = static_cast<DWORD>(a.ov.InternalHigh);
                }
                EXPECT_EQ(got.substr(0, n), expect);
            }
        } else {
            std::string sent;
            for (int i = 0; i < 50; ++i) sent += "line " + std::to_string(i) + "\n";
            ASSERT_TRUE(WriteAll(c, sent));
            EXPECT_EQ(ReadExactly(c, sent.size()), sent);
        }
        CloseHandle(c);
        EXPECT_EQ(child.Wait(), 0);  // the server saw 109 and ended
    }
}

TEST(PipeProcessTest, RecordsOfEightWriterThreadsArriveWhole) {
    const std::string name = UniqueName("records");
    HANDLE s = Serve(name);
    ASSERT_NE(s, INVALID_HANDLE_VALUE);
    constexpr int kThreads = 8, kCount = 500;
    vqtest::ChildProcess child("pipe_record_writer", {name, std::to_string(kThreads), std::to_string(kCount)});
    ASSERT_TRUE(AwaitClient(s));
    std::vector<uint32_t> next(kThreads, 0);
    for (int i = 0; i < kThreads * kCount; ++i) {
        const std::string r = ReadExactly(s, kRecord);
        ASSERT_EQ(r.size(), kRecord) << "record " << i;
        uint32_t thread, seq;
        std::memcpy(&thread, &r[0], 4);
        std::memcpy(&seq, &r[4], 4);
        ASSERT_LT(thread, static_cast<uint32_t>(kThreads)) << "record " << i;
        ASSERT_EQ(seq, next[thread]) << "record " << i;
        ASSERT_EQ(r, MakeRecord(thread, seq)) << "record " << i << " is torn";
        ++next[thread];
    }
    EXPECT_EQ(child.ReadLine(), "done");
    EXPECT_EQ(child.Wait(), 0);
    char c;
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(s, &c, 1, &n, nullptr));  // nothing more, the writer has gone
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    CloseHandle(s);
}

TEST(PipeProcessTest, KilledServerBreaksItsClientsAndFreesTheName) {
    const std::string name = UniqueName("killed");
    vqtest::ChildProcess child("pipe_holder", {name});
    ASSERT_TRUE(child.Expect("ready"));
    EXPECT_EQ(Serve(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE c = Open(name);
    ASSERT_NE(c, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(child.Expect("connected"));

    char buf[64];
    Async a;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(c, buf, sizeof buf, &n, &a.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    child.Kill(SIGKILL);
    EXPECT_EQ(child.Wait(), 128 + SIGKILL);
    EXPECT_EQ(a.Result(c), -static_cast<long>(ERROR_BROKEN_PIPE));
    CloseHandle(c);

    // Its socket file is still there, but nothing of it blocks the next server.
    EXPECT_EQ(OpenError(name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE s = Serve(name);
    ASSERT_NE(s, INVALID_HANDLE_VALUE) << GetLastError();
    c = Open(name);
    ASSERT_NE(c, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(AwaitClient(s));
    ASSERT_TRUE(WriteAll(s, "fresh"));
    EXPECT_EQ(ReadExactly(c, 5), "fresh");
    CloseHandle(c);
    CloseHandle(s);
}
