#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/apllog.h"
#include "framework/serialnorcv.h"
#include "framework/vqbexception.h"
#include "pal/windows.h"
#include "tests/support/child_process.h"

namespace {

struct Record {
    WORD event;
    DWORD error;
    std::string function;
    std::string message;
};
std::mutex g_lock;
std::vector<Record> g_records;

void Capture(WORD event, DWORD error, LONG, const char* function, const char* message) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_records.push_back({event, error, function ? function : "", message ? message : ""});
}

bool Logged(const std::string& message, WORD event = 0, DWORD error = 0xFFFFFFFFu) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto& r : g_records)
        if (r.message == message && (event == 0 || r.event == event) && (error == 0xFFFFFFFFu || r.error == error))
            return true;
    return false;
}

void OpenLog() {
    CreateDirectoryA("C:\\snlog", nullptr);
    CAplLog::SetLog2Info("POS-0001", 1, 1, 3, 0);
    CAplLog::Open(1, "sntest", "C:\\snlog", 4000000, 0);
    CAplLog::SetWriteHandler(Capture);
}

class SerialNoRcvTest : public testing::Test {
protected:
    void SetUp() override {
        OpenLog();
        {
            std::lock_guard<std::mutex> guard(g_lock);
            g_records.clear();
        }
        CSerialNoRcv::Open();
    }
    void TearDown() override {
        CSerialNoRcv::Close();
        CAplLog::SetWriteHandler(nullptr);
        CAplLog::Close();
    }
};

// Exposes the protected look-ups.
class CProbe : public CSerialNoRcv {
public:
    using CSerialNoRcv::GetMySerialNoTbl;
    using CSerialNoRcv::GetSerialNoTbl;
};

std::string Take(CSerialNoRcv& rcv, int expectSerial, DWORD timeout = 1000) {
    char* data = nullptr;
    long size = -7;
    int got = rcv.Receive(&data, timeout, &size);
    EXPECT_EQ(got, expectSerial);
    if (got <= 0) return "<" + std::to_string(got) + ">";
    std::string s(data, static_cast<size_t>(size));
    delete[] data;
    return s;
}

TEST_F(SerialNoRcvTest, PiecesArriveInOrderAndTheEventFollowsTheQueue) {
    CProbe rcv;
    HANDLE event = nullptr;
    int sn = rcv.Regist(&event);
    ASSERT_EQ(sn, 1);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(CSerialNoRcv::NotifyReceive(static_cast<WORD>(sn), "first", 5), 0);
    EXPECT_EQ(CSerialNoRcv::NotifyReceive(static_cast<WORD>(sn), "second", 6), 0);
    EXPECT_EQ(rcv.GetSerialNoTbl(static_cast<WORD>(sn)).m_Queue.GetCount(), 2);

    EXPECT_EQ(Take(rcv, sn), "first");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // still one piece queued
    char* data = nullptr;
    long size = 0;
    EXPECT_EQ(rcv.Receive(&data, static_cast<WORD>(sn), 1000, &size), sn);
    EXPECT_EQ(std::string(data, static_cast<size_t>(size)), "second");
    EXPECT_EQ(data[size], '\0');
    delete[] data;
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    size = 99;
    EXPECT_EQ(rcv.Receive(&data, 30, &size), -1);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(data, nullptr);
}

TEST_F(SerialNoRcvTest, NumbersWrapAfter4095AndSkipThoseInUse) {
    CProbe rcv;
    EXPECT_EQ(rcv.Regist(), 1);
    EXPECT_EQ(rcv.Regist(), 2);
    CSerialNoRcv::m_CurrentSerialNo = 4094;
    EXPECT_EQ(rcv.Regist(), 4095);
    EXPECT_EQ(rcv.Regist(), 3);
    rcv.Unregist(2);
    CSerialNoRcv::m_CurrentSerialNo = 4095;
    EXPECT_EQ(rcv.Regist(), 2);
    EXPECT_EQ(rcv.GetMySerialNoTbl(4095).m_nIndex, 1);  // 2 left the table
    EXPECT_EQ(rcv.GetMySerialNoTbl(17).m_nIndex, -1);
    rcv.Unregist();
    EXPECT_TRUE(CSerialNoRcv::m_SerialNoTbl.empty());
}

TEST_F(SerialNoRcvTest, NotifyAndUnregistFailuresAreLogged) {
    CSerialNoRcv rcv;
    EXPECT_EQ(CSerialNoRcv::NotifyReceive(0, "x", 1), -1);
    EXPECT_TRUE(Logged("0 was specified to be a SerialNo.", 8000));
    EXPECT_EQ(CSerialNoRcv::NotifyReceive(77, "x", 1), -1);
    EXPECT_TRUE(Logged("There is no specified SerialNo.", 7000, 77));
    int sn = rcv.Regist();
    EXPECT_EQ(CSerialNoRcv::NotifyReceive(static_cast<WORD>(sn), nullptr, 1), -1);
    EXPECT_TRUE(Logged("It fails in receiving data storing.", 8000));
    rcv.Unregist(55);
    EXPECT_TRUE(Logged("There is no specified SerialNo.", 7000, 55));

    CSerialNoRcv::NotifyReceive(static_cast<WORD>(sn), "a", 1);
    CSerialNoRcv::NotifyReceive(static_cast<WORD>(sn), "b", 1);
    rcv.Unregist();
    EXPECT_TRUE(Logged("application has processed data which it received. ( 2 pieces )", 7000));
    char* data = nullptr;
    EXPECT_EQ(rcv.Receive(&data, 10), -2);  // nothing registered any more
    EXPECT_TRUE(Logged("It does not find specified SerialNo or it is not permitted in registration.", 8000, 0));
}

TEST_F(SerialNoRcvTest, WaitLimitOf64Handles) {
    CSerialNoRcv rcv;
    std::vector<WORD> mine;
    for (int i = 0; i < 64; ++i) mine.push_back(static_cast<WORD>(rcv.Regist()));
    char* data = nullptr;
    // The stop signal takes one of the 64 places.
    EXPECT_EQ(rcv.Receive(&data, mine.data(), 63, 10), -1);
    EXPECT_EQ(rcv.Receive(&data, mine.data(), 64, 10), -3);
    EXPECT_TRUE(Logged("The SerialNo registered is over MAXIMUM_WAIT_OBJECTS.", 8000));
    EXPECT_EQ(rcv.Receive(&data, 10), -3);
    EXPECT_EQ(rcv.Receive(&data, mine.data(), 0, 10), 0);

    // The all form counts any entry left to examine, also one of another thread.
    rcv.Unregist(mine.back());
    EXPECT_EQ(rcv.Receive(&data, 10), -1);
    std::thread([] {
        CSerialNoRcv other;
        other.Regist();
        other.Regist();  // left registered: the destructor below would remove them
        CSerialNoRcv::m_SerialNoTbl.back().m_dwThreadId = 1;
        CSerialNoRcv::m_SerialNoTbl[CSerialNoRcv::m_SerialNoTbl.size() - 2].m_dwThreadId = 1;
    }).join();
    EXPECT_EQ(rcv.Receive(&data, 10), -3);

    CSerialNoRcv::NotifyReceive(mine[62], "last", 4);
    EXPECT_EQ(rcv.Receive(&data, mine.data(), 63, 10), mine[62]);
    delete[] data;
    HANDLE one[1] = {CVQBException::GetStopHandle()};
    EXPECT_EQ(rcv.Receive(&data, 1, one, 10), 0);
}

TEST_F(SerialNoRcvTest, NumbersOfAnotherThreadCannotBeReceived) {
    int foreign = 0;
    std::thread t([&] {
        CSerialNoRcv other;
        foreign = other.Regist();
        CSerialNoRcv::m_SerialNoTbl.back().m_dwThreadId = 1;  // outlive this thread's object
    });
    t.join();
    CSerialNoRcv rcv;
    int mine = rcv.Regist();
    CSerialNoRcv::NotifyReceive(static_cast<WORD>(foreign), "x", 1);
    char* data = nullptr;
    EXPECT_EQ(rcv.Receive(&data, static_cast<WORD>(foreign), 10), -2);
    EXPECT_TRUE(Logged("It does not find specified SerialNo or it is not permitted in registration.", 8000,
                       static_cast<DWORD>(foreign)));
    WORD both[2] = {static_cast<WORD>(mine), static_cast<WORD>(foreign)};
    EXPECT_EQ(rcv.Receive(&data, both, 2, 10), -2);
    EXPECT_EQ(rcv.Receive(&data, 10), -1);  // the all form sees only its own number
}

TEST_F(SerialNoRcvTest, ManyThreadsWaitAndAnswer) {
    constexpr int kWaiters = 8, kNumbersEach = 6, kPieces = 25;
    std::vector<std::vector<int>> numbers(kWaiters);
    std::atomic<int> registered{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWaiters; ++w)
        threads.emplace_back([&, w] {
            CSerialNoRcv rcv;
            for (int i = 0; i < kNumbersEach; ++i) numbers[w].push_back(rcv.Regist());
            ++registered;
            std::vector<int> next(4096, 0);
            for (int got = 0; got < kNumbersEach * kPieces; ++got) {
                char* data = nullptr;
                long size = 0;
                int sn = rcv.Receive(&data, 10000, &size);
                if (sn <= 0) {
                    ++failures;
                    return;
                }
                // Each number's pieces come from one answering thread, so in order.
                if (std::string(data, static_cast<size_t>(size)) != std::to_string(sn) + ":" + std::to_string(next[sn]++))
                    ++failures;
                delete[] data;
            }
        });
    while (registered < kWaiters) Sleep(1);
    std::vector<std::thread> answerers;
    for (int a = 0; a < 4; ++a)
        answerers.emplace_back([&, a] {
            for (int p = 0; p < kPieces; ++p)
                for (int w = a; w < kWaiters; w += 4)
                    for (int sn : numbers[w]) {
                        std::string piece = std::to_string(sn) + ":" + std::to_string(p);
                        if (CSerialNoRcv::NotifyReceive(static_cast<WORD>(sn), piece.data(),
                                                        static_cast<long>(piece.size())) != 0)
                            ++failures;
                    }
        });
    for (auto& t : answerers) t.join();
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(CSerialNoRcv::m_SerialNoTbl.empty());  // every waiter unregistered on its way out
}

// The stop signal stays set for the whole process, so these run in a child.
VQ_CHILD(serialno_stop) {
    OpenLog();
    CSerialNoRcv::Open();
    CSerialNoRcv rcv;
    int sn = rcv.Regist();
    std::thread stopper([] {
        Sleep(150);
        CVQBException::SetStopSignal();
    });
    std::string kind;
    try {
        char* data = nullptr;
        rcv.Receive(&data, static_cast<WORD>(sn), INFINITE);
    } catch (const CVQBException& e) {
        kind = e.GetPlace();
    }
    stopper.join();
    vqtest::Tell("first " + kind);
    // Queued data does not hide a stop: it is the first handle of every wait.
    CSerialNoRcv::NotifyReceive(static_cast<WORD>(sn), "x", 1);
    kind.clear();
    try {
        char* data = nullptr;
        rcv.Receive(&data, 0);
    } catch (const CVQBException& e) {
        kind = e.GetPlace();
    }
    vqtest::Tell("second " + kind);
    return 0;
}

TEST(SerialNoRcvStopTest, StopSignalEndsTheWaitWithTheStopException) {
    vqtest::ChildProcess child("serialno_stop");
    EXPECT_TRUE(child.Expect("first EPS_StopRequest"));
    EXPECT_TRUE(child.Expect("second EPS_StopRequest"));
    EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
