// Overlapped operations: they stay pending, complete through the event and
// GetOverlappedResult, and once cancelled or closed never touch the caller's memory again.
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "pal/file/io_object.h"
#include "pal/pipe/engine.h"
#include "pal/pipe/tests/pipe_test_util.h"

using namespace pipetest;

namespace {

struct Pair {
    HANDLE server = INVALID_HANDLE_VALUE, client = INVALID_HANDLE_VALUE;
    explicit Pair(const char* tag, DWORD clientFlags = FILE_FLAG_OVERLAPPED) {
        const std::string name = UniqueName(tag);
        server = Serve(name);
        client = Open(name, clientFlags);
        EXPECT_TRUE(server != INVALID_HANDLE_VALUE && client != INVALID_HANDLE_VALUE && AwaitClient(server));
    }
    ~Pair() {
        if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
        if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
    }
};

}  // namespace

TEST(PipeOverlappedTest, PendingReadCompletesWhenDataComes) {
    Pair p("pending");
    char buf[64] = {};
    Async a;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(p.client, buf, sizeof buf, &n, &a.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&a.ov));
    EXPECT_FALSE(a.Signalled(100));
    EXPECT_EQ(a.Result(p.client, false), -static_cast<long>(ERROR_IO_INCOMPLETE));
    ASSERT_TRUE(WriteAll(p.server, "late"));
    EXPECT_TRUE(a.Signalled(10000));
    EXPECT_EQ(a.Result(p.client, false), 4);
    EXPECT_EQ(std::string(buf, 4), "late");

    // Without an event GetOverlappedResult waits on the handle.
    OVERLAPPED bare{};
    ASSERT_FALSE(ReadFile(p.client, buf, sizeof buf, &n, &bare));
    std::thread writer([&] {
        Sleep(50);
        WriteAll(p.server, "bare");
    });
    ASSERT_TRUE(GetOverlappedResult(p.client, &bare, &n, TRUE));
    writer.join();
    EXPECT_EQ(std::string(buf, n), "bare");
}

// The completion signals the event the operation started with, even when its handle was
// closed meanwhile and the handle value now names another event.
TEST(PipeOverlappedTest, CompletionSignalsTheEventItStartedWith) {
    Pair p("eventref");
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buf[8];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(p.client, buf, sizeof buf, &n, &ov));
    const HANDLE old = ov.hEvent;
    CloseHandle(ov.hEvent);
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(other, old);  // the handle value came back
    ASSERT_TRUE(WriteAll(p.server, "x"));
    for (int i = 0; i < 10000 && !HasOverlappedIoCompleted(&ov); ++i) Sleep(1);
    ASSERT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(ov.InternalHigh, 1u);
    EXPECT_EQ(WaitForSingleObject(other, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(other);
}

TEST(PipeOverlappedTest, WriteStaysPendingUntilThePeerReads) {
    Pair p("stall");
    std::string big(8 << 20, 'w');
    Async a;
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(p.client, big.data(), static_cast<DWORD>(big.size()), &n, &a.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    big.assign(big.size(), 'x');  // the pipe copied what it still has to send
    EXPECT_FALSE(a.Signalled(100));
    EXPECT_EQ(ReadExactly(p.server, 8 << 20), std::string(8 << 20, 'w'));
    EXPECT_EQ(a.Result(p.client), 8 << 20);
}

TEST(PipeOverlappedTest, SynchronousHandleBlocks) {
    Pair p("sync", 0);
    std::thread writer([&] {
        Sleep(100);
        WriteAll(p.server, "waited");
    });
    char buf[16];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(p.client, buf, sizeof buf, &n, nullptr));
    writer.join();
    EXPECT_EQ(std::string(buf, n), "waited");
    ASSERT_TRUE(WriteFile(p.client, "back", 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(ReadExactly(p.server, 4), "back");
}

TEST(PipeCancelTest, CancelledReadsNeverTouchTheBufferAgain) {
    Pair p("cancel");
    // The writer sends numbered 64-byte records as fast as it can.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        char rec[64];
        for (uint32_t i = 0; !stop.load(); ++i) {
            std::memset(rec, static_cast<int>('A' + i % 26), sizeof rec);
            std::memcpy(rec, &i, sizeof i);
            if (!WriteAll(p.server, std::string(rec, sizeof rec))) break;
        }
    });
    std::string stream;
    std::vector<std::unique_ptr<char[]>> kept;  // cancelled buffers kept to check later
    for (int round = 0; round < 400; ++round) {
        auto buf = std::make_unique<char[]>(4096);
        Async a;
        DWORD n = 0;
        if (ReadFile(p.client, buf.get(), 4096, &n, &a.ov)) {
            stream.append(buf.get(), n);
            continue;
        }
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        a.Signalled(round % 3);  // cancel at once, or after the data may have come
        if (!CancelIoEx(p.client, &a.ov)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
        }
        const long r = a.Result(p.client);
        if (r >= 0) {
            stream.append(buf.get(), static_cast<size_t>(r));
        } else {
            ASSERT_EQ(r, -static_cast<long>(ERROR_OPERATION_ABORTED));
        }
        // From here on the buffer is the caller's again: freed every other round (ASan
        // watches), filled and kept the other.
        if (round % 2) {
            buf.reset();
        } else {
            std::memset(buf.get(), 0x5A, 4096);
            kept.push_back(std::move(buf));
        }
    }
    stop = true;
    CloseHandle(p.client);  // ends the writer
    p.client = INVALID_HANDLE_VALUE;
    writer.join();
    for (const auto& b : kept)
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(b[i], 0x5A);
    // Nothing was lost or doubled: the records read are the writer's, in order.
    ASSERT_GT(stream.size(), 0u);
    for (size_t i = 0; i + 64 <= stream.size(); i += 64) {
        uint32_t seq;
        std::memcpy(&seq, stream.data() + i, sizeof seq);
        ASSERT_EQ(seq, i / 64);
        ASSERT_EQ(stream[i + 63], static_cast<char>('A' + seq % 26));
    }
}

TEST(PipeCancelTest, CancelFindsOperationsByOverlapped) {
    Pair p("cancelex");
    char b1[8], b2[8];
    Async a1, a2;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(p.client, b1, sizeof b1, &n, &a1.ov));
    ASSERT_FALSE(ReadFile(p.client, b2, sizeof b2, &n, &a2.ov));
    OVERLAPPED other{};
    EXPECT_FALSE(CancelIoEx(p.client, &other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    // The second read goes; the first still waits and gets the data.
    ASSERT_TRUE(CancelIoEx(p.client, &a2.ov));
    EXPECT_TRUE(a2.Signalled());
    EXPECT_EQ(a2.Result(p.client, false), -static_cast<long>(ERROR_OPERATION_ABORTED));
    ASSERT_TRUE(WriteAll(p.server, "one"));
    EXPECT_EQ(a1.Result(p.client), 3);
    // CancelIo takes every pending operation of the handle, a pending connect included.
    ASSERT_FALSE(ReadFile(p.client, b1, sizeof b1, &n, &a1.ov));
    ASSERT_TRUE(CancelIo(p.client));
    EXPECT_EQ(a1.Result(p.client, false), -static_cast<long>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(CancelIoEx(p.client, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    const std::string name = UniqueName("cancelconnect");
    HANDLE lone = Serve(name);
    Async c;
    ASSERT_FALSE(ConnectNamedPipe(lone, &c.ov));
    ASSERT_TRUE(CancelIoEx(lone, nullptr));
    EXPECT_EQ(c.Result(lone, false), -static_cast<long>(ERROR_OPERATION_ABORTED));
    CloseHandle(lone);
}

TEST(PipeCancelTest, CancelledWriteThatStartedStillArrivesWhole) {
    Pair p("cancelwrite");
    const std::string big(1 << 20, 'a');
    Async a;
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(p.client, big.data(), static_cast<DWORD>(big.size()), &n, &a.ov));
    ASSERT_TRUE(CancelIoEx(p.client, &a.ov));
    EXPECT_EQ(a.Result(p.client, false), -static_cast<long>(ERROR_OPERATION_ABORTED));
    // An unstarted write behind it goes away; the next one follows the first whole.
    Async b;
    ASSERT_FALSE(WriteFile(p.client, "lost", 4, &n, &b.ov));
    ASSERT_TRUE(CancelIoEx(p.client, &b.ov));
    Async c;
    if (!WriteFile(p.client, "tail", 4, &n, &c.ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    EXPECT_EQ(ReadExactly(p.server, big.size() + 4), big + "tail");
    EXPECT_EQ(c.Result(p.client), 4);
}

TEST(PipeCancelTest, ClosingEndsPendingOperations) {
    auto p = std::make_unique<Pair>("closepending");
    auto buf = std::make_unique<char[]>(256);
    Async a, w;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(p->client, buf.get(), 256, &n, &a.ov));
    std::string big(4 << 20, 'q');
    ASSERT_FALSE(WriteFile(p->client, big.data(), static_cast<DWORD>(big.size()), &n, &w.ov));
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), p->client, GetCurrentProcess(), &dup, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    CloseHandle(p->client);  // the duplicate keeps the end open
    p->client = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(a.Signalled(50));
    CloseHandle(dup);
    // Completed before CloseHandle returned.
    EXPECT_TRUE(a.Signalled());
    EXPECT_TRUE(w.Signalled());
    EXPECT_EQ(pal::OverlappedError(&a.ov), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(pal::OverlappedError(&w.ov), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    buf.reset();
    // The server reads what went out before the close, then learns the client is gone.
    long r;
    do {
        char chunk[65536];
        Async sr;
        r = ReadFile(p->server, chunk, sizeof chunk, &n, &sr.ov) ? static_cast<long>(n)
            : GetLastError() == ERROR_IO_PENDING                 ? sr.Result(p->server)
                                                                 : -static_cast<long>(GetLastError());
    } while (r > 0);
    EXPECT_EQ(r, -static_cast<long>(ERROR_BROKEN_PIPE));
    p.reset();
    EXPECT_EQ(pal::pipe::EngineThreads(), 0);  // the last pipe took the engine thread with it
}
