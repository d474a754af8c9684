// The framework's pipe classes over real pipes: time-outs that keep their operation,
// records that arrive whole however they are cut, writers that take turns, text messages
// read in pieces, and closing while another thread waits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/jobpipe.h"
#include "framework/namedpipe.h"
#include "framework/tests/thdmsg_test_util.h"
#include "pal/windows.h"

using namespace thdmsgtest;

namespace {

std::string PipeName(const char* tag) {
    return std::string("\\\\.\\PIPE\\np_") + tag + "_" +
           testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::vector<char> Record(int writer, int seq, DWORD size = 4096) {
    std::vector<char> r(size);
    for (DWORD i = 0; i < size; ++i) r[i] = static_cast<char>('A' + (writer * 7 + seq + i) % 26);
    std::snprintf(r.data(), 32, "w%d s%d", writer, seq);
    return r;
}

// A server end with a client connected to it.
struct Pair {
    CNamedPipe server;
    CNamedPipe client;
    explicit Pair(const std::string& name) {
        EXPECT_EQ(server.Create(name.c_str(), 8192), 0);
        // 535: the client was quicker than Connect, which is a connection all the same.
        std::thread connect([&] {
            long r = server.Connect(5000);
            EXPECT_TRUE(r == 0 || r == 535) << r;
        });
        for (int i = 0; i < 100 && client.Open(name.c_str()) != 0; ++i) Sleep(20);
        connect.join();
    }
};

class NamedPipeTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        CAplLog::SetLog2Info("PC", 0, 0, 3, 0);
        CAplLog::Open(0, "nptest", "c:\\", 4000000, 0);
    }
};

}  // namespace

TEST_F(NamedPipeTest, ClosedObjectsAndMissingPipes) {
    CNamedPipe pipe;
    char buffer[16];
    EXPECT_EQ(pipe.Read(buffer, sizeof buffer, 10), -2);
    EXPECT_EQ(pipe.Write(buffer, sizeof buffer, 10), -2);
    EXPECT_EQ(pipe.Connect(10), -2);
    EXPECT_EQ(pipe.Open(PipeName("none").c_str()), 2);
    EXPECT_EQ(log().Count("Pipe object is closed."), 2);
    EXPECT_EQ(log().Count("Object is closed."), 1);
}

TEST_F(NamedPipeTest, ATimedOutReadFinishesTheSameOperationNextTime) {
    Pair p(PipeName("t"));
    std::vector<char> got(4096);
    EXPECT_EQ(p.client.Read(got.data(), 4096, 100), 258);
    EXPECT_EQ(p.client.IsReadPending(), 1);
    auto record = Record(1, 1);
    // Half now, half later: the pending read keeps gathering across the time-outs.
    ASSERT_EQ(p.server.Write(record.data(), 2048, 1000), 0);
    EXPECT_EQ(p.client.Read(got.data(), 4096, 100), 258);
    ASSERT_EQ(p.server.Write(record.data() + 2048, 2048, 1000), 0);
    std::vector<char> fresh(4096, 'x');
    ASSERT_EQ(p.client.Read(fresh.data(), 4096, 2000), 0);
    EXPECT_EQ(fresh, record);
    EXPECT_EQ(p.client.IsReadPending(), 0);
}

TEST_F(NamedPipeTest, ARecordCutIntoPiecesArrivesWhole) {
    Pair p(PipeName("pieces"));
    auto record = Record(2, 3);
    std::thread writer([&] {
        for (int off : {0, 1000, 3000}) {
            int len = off == 0 ? 1000 : off == 1000 ? 2000 : 1096;
            p.server.Write(record.data() + off, static_cast<DWORD>(len), 1000);
            Sleep(50);
        }
    });
    std::vector<char> got(4096);
    EXPECT_EQ(p.client.Read(got.data(), 4096, 5000), 0);
    writer.join();
    EXPECT_EQ(got, record);
}

TEST_F(NamedPipeTest, EightWritersTakeTurnsAndEveryRecordArrivesWhole) {
    Pair p(PipeName("eight"));
    constexpr int kWriters = 8, kEach = 500;
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int s = 0; s < kEach; ++s) {
                auto r = Record(w, s);
                if (p.client.Write(r.data(), 4096, 30000) != 0) ++failures;
            }
        });
    std::set<std::pair<int, int>> seen;
    std::vector<char> got(4096);
    for (int i = 0; i < kWriters * kEach; ++i) {
        ASSERT_EQ(p.server.Read(got.data(), 4096, 30000), 0) << i;
        int w = -1, s = -1;
        ASSERT_EQ(std::sscanf(got.data(), "w%d s%d", &w, &s), 2);
        ASSERT_EQ(got, Record(w, s)) << "torn record " << w << "/" << s;
        seen.insert({w, s});
    }
    for (auto& t : writers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kEach));
}

TEST_F(NamedPipeTest, AStalledReaderTimesTheWriterOutAndTheNextRecordIsIntact) {
    Pair p(PipeName("stall"));
    // Fill what the pipe holds, then one more write must time out.
    int written = 0;
    long r = 0;
    for (; written < 1000; ++written) {
        auto rec = Record(0, written);
        r = p.client.Write(rec.data(), 4096, 200);
        if (r != 0) break;
    }
    ASSERT_EQ(r, 258);
    EXPECT_EQ(p.client.IsWriteTimedOut(), 1);
    std::thread next([&] {
        auto rec = Record(0, written + 1);
        EXPECT_EQ(p.client.Write(rec.data(), 4096, 20000), 0);
    });
    std::vector<char> got(4096);
    // Every record, the timed-out one included, arrives whole and in order.
    for (int i = 0; i <= written; ++i) {
        ASSERT_EQ(p.server.Read(got.data(), 4096, 10000), 0);
        ASSERT_EQ(got, Record(0, i)) << i;
    }
    ASSERT_EQ(p.server.Read(got.data(), 4096, 10000), 0);
    EXPECT_EQ(got, Record(0, written + 1));
    next.join();
}

TEST_F(NamedPipeTest, BrokenConnectionsAndClosingWhileAnotherThreadWaits) {
    {
        Pair p(PipeName("broken"));
        p.server.Close();
        std::vector<char> got(4096);
        EXPECT_EQ(p.client.Read(got.data(), 4096, 5000), 109);
        EXPECT_EQ(log().Count("Connection of a pipe was broken"), 1);
    }
    Pair p(PipeName("close"));
    std::atomic<long> result{-100};
    std::thread reader([&] {
        std::vector<char> got(4096);
        result = p.client.Read(got.data(), 4096, INFINITE);
    });
    Sleep(100);
    p.client.Close();
    reader.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(p.client.IsOpen(), 0);
}

TEST_F(NamedPipeTest, ATextMessageIsReadWholeInPieces) {
    const std::string name = PipeName("text");
    CNamedPipeText server, client;
    ASSERT_EQ(server.Create(name.c_str(), 4096), 0);
    std::thread connect([&] {
        long r = server.Connect(5000);
        EXPECT_TRUE(r == 0 || r == 535) << r;
    });
    for (int i = 0; i < 100 && client.Open(name.c_str()) != 0; ++i) Sleep(20);
    connect.join();
    std::string big(600, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(server.Write(big.c_str(), 1000), 0);
    ASSERT_EQ(server.Write("short", 1000), 0);
    std::string got;
    ASSERT_EQ(client.Read(got, 2000), 0);
    EXPECT_EQ(got, big);
    ASSERT_EQ(client.Read(got, 2000), 0);
    EXPECT_EQ(got, "short");
    EXPECT_EQ(client.Read(got, 100), 258);
    EXPECT_TRUE(got.empty());
}

TEST_F(NamedPipeTest, TheJobPipeReaderEndsQuietlyWhenClosed) {
    const std::string name = PipeName("job");
    CNamedPipe server;
    ASSERT_EQ(server.Create(name.c_str(), 8192), 0);
    std::thread connect([&] { server.Connect(5000); });
    CJobPipe pipe;
    long r = 2;
    for (int i = 0; i < 100 && (r = pipe.Open(name.c_str(), 4096)) != 0; ++i) Sleep(20);
    connect.join();
    ASSERT_EQ(r, 0);
    EXPECT_EQ(pipe.GetRecordSize(), 4096u);
    Sleep(50);
    pipe.Close();
    EXPECT_EQ(pipe.GetRecordSize(), 0u);
    EXPECT_EQ(log().Count("Request JobPipe re-connection."), 0);
    // Open again on a fresh instance: one reader at a time.
    ASSERT_EQ(server.Create(name.c_str(), 8192), 0);
    std::thread connect2([&] { server.Connect(5000); });
    for (int i = 0; i < 100 && (r = pipe.Open(name.c_str(), 4096)) != 0; ++i) Sleep(20);
    connect2.join();
    EXPECT_EQ(r, 0);
    server.Close();  // the reader sees the break and asks for a new connection
    EXPECT_TRUE(log().WaitFor("Request JobPipe re-connection.", 5000));
    pipe.Close();
}
