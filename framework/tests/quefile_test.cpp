// Queue files: the byte layout, reading damaged files, atomic replacement (also under
// SIGKILL of the writing process), and the core's queue operations on them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "framework/quefile.h"
#include "framework/tests/thdmsg_test_util.h"
#include "pal/file/path.h"
#include "tests/support/child_process.h"

namespace {

using thdmsgtest::LogCapture;

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

std::vector<std::string> Numbered(size_t n, size_t width = 10) {
    std::vector<std::string> v;
    for (size_t i = 0; i < n; ++i) {
        std::string r = std::to_string(i);
        r.resize(width, 'x');
        v.push_back(r);
    }
    return v;
}

bool Exists(const std::string& windowsPath) { return access(pal::MapPath(windowsPath.c_str()).c_str(), F_OK) == 0; }

TEST(QueFileFormat, CountAndLengthPrefixes) {
    EXPECT_EQ(CQueFile::Encode({}), Bytes({0, 0}));
    std::string e300 = CQueFile::Encode(Numbered(300, 1));
    EXPECT_EQ(e300.substr(0, 2), Bytes({0x2C, 0x01}));
    EXPECT_EQ(e300.size(), 2u + 300u * 2u);

    std::string e = CQueFile::Encode({std::string(300, 'a')});
    EXPECT_EQ(e.substr(0, 5), Bytes({1, 0, 0xFF, 0x2C, 0x01}));
    EXPECT_EQ(e.size(), 5u + 300u);
    // 254 still fits one byte; 255 is the escape byte and takes the long form.
    EXPECT_EQ(CQueFile::Encode({std::string(254, 'a')}).substr(2, 1), Bytes({0xFE}));
    EXPECT_EQ(CQueFile::Encode({std::string(255, 'a')}).substr(2, 3), Bytes({0xFF, 0xFF, 0x00}));
    EXPECT_EQ(CQueFile::Encode({std::string(0xFFFD, 'a')}).substr(2, 3), Bytes({0xFF, 0xFD, 0xFF}));
    EXPECT_EQ(CQueFile::Encode({std::string(0xFFFE, 'a')}).substr(2, 7), Bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0, 0}));

    std::string big = CQueFile::Encode(std::vector<std::string>(0xFFFF));
    EXPECT_EQ(big.substr(0, 6), Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
    std::vector<std::string> back;
    EXPECT_EQ(CQueFile::Decode(big.data(), big.size(), back, nullptr), CQueFile::kOk);
    EXPECT_EQ(back.size(), 0xFFFFu);
}

TEST(QueFileFormat, RoundTripOfEveryPrefixSize) {
    std::vector<std::string> records = {"", "a", std::string(254, 'b'), std::string(255, 'c'), std::string(4095, 'd'),
                                        std::string("x\x01\xFFy", 4)};
    std::string e = CQueFile::Encode(records);
    std::vector<std::string> back;
    CQueFile::Damage d;
    ASSERT_EQ(CQueFile::Decode(e.data(), e.size(), back, &d), CQueFile::kOk) << d.Describe();
    EXPECT_EQ(back, records);
}

TEST(QueFileFormat, DamagedFilesKeepTheCompleteRecords) {
    const std::vector<std::string> three = {"first", std::string(300, 's'), "third"};
    const std::string good = CQueFile::Encode(three);
    std::vector<std::string> got;
    CQueFile::Damage d;

    // Cut inside the third record's text.
    ASSERT_EQ(CQueFile::Decode(good.data(), good.size() - 2, got, &d), CQueFile::kDamaged);
    EXPECT_EQ(got, std::vector<std::string>(three.begin(), three.begin() + 2));
    EXPECT_EQ(d.record, 2u);
    EXPECT_EQ(d.offset, 2u + 6u + 3u + 300u);
    EXPECT_NE(d.what.find("cut off"), std::string::npos) << d.what;

    // Cut inside the long length prefix of the second record.
    got.clear();
    ASSERT_EQ(CQueFile::Decode(good.data(), 2 + 6 + 2, got, &d), CQueFile::kDamaged);
    EXPECT_EQ(got, std::vector<std::string>{"first"});
    EXPECT_EQ(d.offset, 8u);

    // Ends after a whole record although the count promises more.
    got.clear();
    ASSERT_EQ(CQueFile::Decode(good.data(), 2 + 6, got, &d), CQueFile::kDamaged);
    EXPECT_EQ(got.size(), 1u);
    EXPECT_NE(d.what.find("1 of 3"), std::string::npos) << d.what;

    // A length that lies: far above a record's maximum; nothing of it is taken.
    std::string lying = Bytes({2, 0, 3}) + "abc" + Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}) + "zz";
    got.clear();
    ASSERT_EQ(CQueFile::Decode(lying.data(), lying.size(), got, &d), CQueFile::kDamaged);
    EXPECT_EQ(got, std::vector<std::string>{"abc"});
    EXPECT_EQ(d.offset, 6u);
    EXPECT_EQ(d.record, 1u);
    EXPECT_NE(d.what.find("more than 4095"), std::string::npos) << d.what;
    // 4096 is one too many.
    std::string over = Bytes({1, 0, 0xFF, 0x00, 0x10}) + std::string(4096, 'o');
    got.clear();
    EXPECT_EQ(CQueFile::Decode(over.data(), over.size(), got, &d), CQueFile::kDamaged);
    EXPECT_TRUE(got.empty());

    // Bytes after the last record; an empty file; a cut count.
    got.clear();
    std::string trailing = good + "junk";
    EXPECT_EQ(CQueFile::Decode(trailing.data(), trailing.size(), got, &d), CQueFile::kDamaged);
    EXPECT_EQ(got, three);
    EXPECT_EQ(d.offset, good.size());
    got.clear();
    EXPECT_EQ(CQueFile::Decode("", 0, got, &d), CQueFile::kDamaged);
    EXPECT_EQ(CQueFile::Decode("\xFF\xFF\x01", 3, got, &d), CQueFile::kDamaged);
    EXPECT_TRUE(got.empty());
    // A huge count with nothing behind it does not make the reader allocate for it.
    EXPECT_EQ(CQueFile::Decode("\xFF\xFF\xFF\xFF\xFF\x7F", 6, got, &d), CQueFile::kDamaged);
}

TEST(QueFileIo, WriteReadMissingAndFailure) {
    const std::string path = "c:\\qf_io.SEND_QUE.jpq";
    std::vector<std::string> got;
    std::string why;
    EXPECT_EQ(CQueFile::Read(path, got, nullptr, &why), CQueFile::kMissing);

    ASSERT_EQ(CQueFile::Write(path, Numbered(5), &why), CQueFile::kOk) << why;
    EXPECT_FALSE(Exists(path + ".tmp"));
    ASSERT_EQ(CQueFile::Read(path, got, nullptr, &why), CQueFile::kOk);
    EXPECT_EQ(got, Numbered(5));
    ASSERT_EQ(CQueFile::Write(path, {}, &why), CQueFile::kOk);
    got.clear();
    ASSERT_EQ(CQueFile::Read(path, got, nullptr, &why), CQueFile::kOk);
    EXPECT_TRUE(got.empty());

    ASSERT_EQ(CQueFile::Append(path, "one", &why), CQueFile::kOk);
    ASSERT_EQ(CQueFile::Append(path, "two", &why), CQueFile::kOk);
    ASSERT_EQ(CQueFile::Read(path, got, nullptr, &why), CQueFile::kOk);
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));

    // A directory that does not exist: reported, not silently dropped.
    why.clear();
    EXPECT_EQ(CQueFile::Write("c:\\no_such_dir_q\\x.Q.jpq", {"a"}, &why), CQueFile::kFailed);
    EXPECT_NE(why.find("no_such_dir_q"), std::string::npos) << why;

    // Append leaves a damaged file as it is.
    const std::string bad = "c:\\qf_io.BAD.jpq";
    std::string damaged = CQueFile::Encode({"a", "b"});
    damaged.pop_back();
    FILE* f = std::fopen(pal::MapPath(bad.c_str()).c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(damaged.data(), 1, damaged.size(), f);
    std::fclose(f);
    EXPECT_EQ(CQueFile::Append(bad, "c", &why), CQueFile::kDamaged);
    got.clear();
    EXPECT_EQ(CQueFile::Read(bad, got, nullptr), CQueFile::kDamaged);
    EXPECT_EQ(got, std::vector<std::string>{"a"});
}

// ------------------------------------------------------------------ the core's queues

DWORD WINAPI NoRoutine(LPVOID) { return 0; }

// A core whose tables are set by the test and whose job start is recorded, not run.
class QueueCore : public CVQBThdMsg {
public:
    explicit QueueCore(const char* process = "qtest") : CVQBThdMsg(0, process, "QSVC", VQB_FLAG_NO_MSGMGR) {
        m_pQueMapTbl = queues;
        m_pSjobMapTbl = map;
        m_strQueDir = "c:\\";
    }
    ~QueueCore() override {
        for (QUE_MAP_TBL* q = queues; q->pszName; ++q) delete q->pRecords;
    }
    short ReqJobThread(CJobPipeData& record, const SJOB_MAP_TBL*, short param) override {
        started.push_back(record.GetSerialNo());
        params.push_back(param);
        return 0;
    }
    using CVQBThdMsg::LoadQueues;
    void SetQueDir(const char* dir) { m_strQueDir = dir; }
    std::vector<std::string>& Records(int i) { return *queues[i].pRecords; }

    QUE_MAP_TBL queues[4] = {{"FILEQ", 10, QUE_FLAG_FILE, nullptr},
                             {"MEMQ", 10, 0, nullptr},
                             {"QUIETQ", 10, QUE_FLAG_FILE | QUE_FLAG_NOANSWER, nullptr},
                             {nullptr, 0, 0, nullptr}};
    SJOB_MAP_TBL map[4] = {{0, SJOB_FLAG_QUEUE, 3, 5, 7, NoRoutine, nullptr, "FILEQ"},
                           {0, SJOB_FLAG_QUEUE, 3, 5, 8, SjobRoutineNone(), nullptr, "FILEQ"},
                           {0, SJOB_FLAG_QUEUE, 3, 5, 9, NoRoutine, nullptr, "QUIETQ"},
                           {1, 0, 0, 0, 0, nullptr, nullptr, nullptr}};
    std::vector<DWORD> started;
    std::vector<short> params;
};

CJobPipeData Request(DWORD serial, int w3 = 7, const char* text = "#BEGIN\n#KEY=1\n#END") {
    CJobPipeData r;
    r.SetSDA("", "", "qtest", "", "PC1", "src");
    r.SetAns(1);
    r.SetSerialNo(serial);
    r.SetSJob(3, 5, w3);
    r.SetExParam(text);
    return r;
}

std::vector<DWORD> Serials(const std::vector<std::string>& records) {
    std::vector<DWORD> out;
    for (const std::string& text : records) {
        ASCII_REQUEST a{};
        std::memcpy(&a, text.data(), std::min(text.size(), sizeof a - 1));
        out.push_back(CJobPipeData(&a).GetSerialNo());
    }
    return out;
}

class CoreQueueTest : public thdmsgtest::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        CAplLog::Open(0, "qtest", "c:\\", 4000000, 0);
        for (const char* f : {"FILEQ", "MEMQ", "QUIETQ"})
            for (const char* ext : {"", ".rejected", ".damaged"})
                DeleteFileA((std::string("c:\\qtest.") + f + ".jpq" + ext).c_str());
    }
};

TEST_F(CoreQueueTest, CapacityAcceptsOneMoreThenAnswersBusy) {
    QueueCore core;
    core.LoadQueues();
    for (DWORD i = 1; i <= 10; ++i) {
        CJobPipeData r = Request(i);
        ASSERT_EQ(core.QueJobReq(r, "MEMQ"), 0);
    }
    CJobPipeData eleventh = Request(11);
    EXPECT_EQ(core.QueJobReq(eleventh, "MEMQ"), 0);  // holding 10: accepted
    CJobPipeData twelfth = Request(12);
    EXPECT_EQ(core.QueJobReq(twelfth, "MEMQ"), 7003);  // holding 11: busy
    EXPECT_EQ(core.GetJobReqQueNum("MEMQ"), 11);
    EXPECT_EQ(log().Count("It exceeded the capacity it can carry out whose cue Inge.  Therefore, it carries out a busy "
                          "response."),
              1);
    CJobPipeData r = Request(1);
    EXPECT_EQ(core.QueJobReq(r, "NOQ"), 8000);
    EXPECT_EQ(core.QueJobReq(r, "QUIETQ"), -1);  // answered by the job, not here
    EXPECT_FALSE(Exists("c:\\qtest.MEMQ.jpq"));  // a queue without the file flag has none
}

TEST_F(CoreQueueTest, FlushAndLoadRoundTrip) {
    {
        QueueCore core;
        core.LoadQueues();
        for (DWORD i = 1; i <= 3; ++i) {
            CJobPipeData r = Request(i, 7, std::string(300, 'p').c_str());
            ASSERT_EQ(core.QueJobReq(r, "FILEQ"), 0);
        }
        std::vector<std::string> onDisk;
        ASSERT_EQ(CQueFile::Read("c:\\qtest.FILEQ.jpq", onDisk, nullptr), CQueFile::kOk);
        EXPECT_EQ(onDisk, core.Records(0));
        EXPECT_EQ(Serials(onDisk), (std::vector<DWORD>{1, 2, 3}));
    }
    QueueCore again;
    again.LoadQueues();
    EXPECT_EQ(Serials(again.Records(0)), (std::vector<DWORD>{1, 2, 3}));
    // The head is started, with param 1 (the requester was answered at queueing).
    EXPECT_EQ(again.GetJobReqQue("FILEQ"), 0);
    EXPECT_EQ(again.started, std::vector<DWORD>{1});
    EXPECT_EQ(again.params, std::vector<short>{1});
    EXPECT_EQ(again.QueFlush(), 0);
}

TEST_F(CoreQueueTest, AFailedFlushIsLoggedReturnedAndRefusesTheRequest) {
    QueueCore core;
    core.LoadQueues();
    core.SetQueDir("c:\\no_such_queue_dir\\");
    CJobPipeData r = Request(1);
    EXPECT_EQ(core.QueJobReq(r, "FILEQ"), 8000);
    EXPECT_EQ(core.GetJobReqQueNum("FILEQ"), 0);
    EXPECT_EQ(core.QueFlush(), -1);
    thdmsgtest::LogLine line;
    ASSERT_TRUE(log().WaitFor("The queue file could not be written.", 1000, &line));
    EXPECT_EQ(line.function, "CVQBThdMsg::QueFlush");
    EXPECT_EQ(line.eventCode, 8000);
}

TEST_F(CoreQueueTest, InsertIntoTheFile) {
    QueueCore core;
    CJobPipeData a = Request(1), b = Request(2), c = Request(3), d = Request(4);
    EXPECT_EQ(core.InsertReq2QueFile(a, "FILEQ", -1), 0);  // a missing file is an empty queue
    EXPECT_EQ(core.InsertReq2QueFile(b, "FILEQ", 1), 0);   // offset == count appends
    EXPECT_EQ(core.InsertReq2QueFile(c, "FILEQ", 0), 0);
    EXPECT_EQ(core.InsertReq2QueFile(d, "FILEQ", 4), -1);
    EXPECT_EQ(core.InsertReq2QueFile(d, "FILEQ", -2), -1);
    std::vector<std::string> got;
    ASSERT_EQ(CQueFile::Read("c:\\qtest.FILEQ.jpq", got, nullptr), CQueFile::kOk);
    EXPECT_EQ(Serials(got), (std::vector<DWORD>{3, 1, 2}));
    EXPECT_EQ(log().Count("OueOffset bigger than c:\\qtest.FILEQ.jpq. OueOffset=4, QueFile=3"), 1);
}

TEST_F(CoreQueueTest, DamagedFileLoadsItsCompleteRecordsAndIsKept) {
    std::vector<std::string> records;
    for (DWORD i = 1; i <= 3; ++i) {
        CJobPipeData r = Request(i);
        const ASCII_REQUEST* a = r;
        records.emplace_back(reinterpret_cast<const char*>(a), strnlen(reinterpret_cast<const char*>(a), 4095));
    }
    std::string bytes = CQueFile::Encode(records);
    bytes.resize(bytes.size() - 5);
    FILE* f = std::fopen(pal::MapPath("c:\\qtest.FILEQ.jpq").c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);

    QueueCore core;
    core.LoadQueues();
    EXPECT_EQ(Serials(core.Records(0)), (std::vector<DWORD>{1, 2}));
    EXPECT_TRUE(Exists("c:\\qtest.FILEQ.jpq.damaged"));
    EXPECT_EQ(log().Count("The queue file c:\\qtest.FILEQ.jpq is damaged at offset"), 1);
}

TEST_F(CoreQueueTest, AnUnroutableHeadIsSetAsideAndTheQueueGoesOn) {
    QueueCore core;
    core.LoadQueues();
    CJobPipeData lost = Request(1, 6);       // no map entry
    CJobPipeData noThread = Request(2, 8);   // entry without routine
    CJobPipeData good = Request(3, 7);
    // As loaded from a file written when the map still served them.
    for (CJobPipeData* r : {&lost, &noThread, &good}) {
        const ASCII_REQUEST* a = *r;
        core.Records(0).emplace_back(reinterpret_cast<const char*>(a), strnlen(reinterpret_cast<const char*>(a), 4095));
    }
    EXPECT_EQ(core.GetJobReqQue(), 0);
    EXPECT_EQ(core.started, std::vector<DWORD>{3});
    EXPECT_EQ(Serials(core.Records(0)), std::vector<DWORD>{3});
    std::vector<std::string> aside;
    ASSERT_EQ(CQueFile::Read("c:\\qtest.FILEQ.jpq.rejected", aside, nullptr), CQueFile::kOk);
    EXPECT_EQ(Serials(aside), (std::vector<DWORD>{1, 2}));
    EXPECT_EQ(log().Count("It has not searched SJOB map from the demand command which acted as cue Inge."), 1);
    EXPECT_EQ(log().Count("The head of queue FILEQ was set aside in c:\\qtest.FILEQ.jpq.rejected"), 2);
    std::vector<std::string> onDisk;
    ASSERT_EQ(CQueFile::Read("c:\\qtest.FILEQ.jpq", onDisk, nullptr), CQueFile::kOk);
    EXPECT_EQ(Serials(onDisk), std::vector<DWORD>{3});
}

// Rewrites a large queue file over and over, alternating between two sizes.
VQ_CHILD(queue_flusher) {
    QueueCore core("qkill");
    core.LoadQueues();
    std::vector<std::string>& q = core.Records(0);
    q.assign(2000, std::string(400, 'k'));
    bool told = false;
    for (;;) {
        q.resize(q.size() == 2000 ? 2001 : 2000, std::string(400, 'k'));
        if (core.QueFlush(&core.queues[0]) != 0) return 1;
        if (!told) vqtest::Tell("ready");
        told = true;
    }
}

TEST(QueFileKill, SigkillDuringFlushesLeavesALoadableQueue) {
    const std::string path = "c:\\qkill.FILEQ.jpq";
    for (int round = 0; round < 25; ++round) {
        vqtest::ChildProcess child("queue_flusher");
        ASSERT_TRUE(child.Expect("ready", 30000)) << "round " << round;
        usleep(static_cast<useconds_t>((round * 7919) % 40000));
        child.Kill(9);
        child.Wait();
        std::vector<std::string> got;
        CQueFile::Damage d;
        ASSERT_EQ(CQueFile::Read(path, got, &d), CQueFile::kOk) << "round " << round << ": " << d.Describe();
        ASSERT_TRUE(got.size() == 2000 || got.size() == 2001) << got.size();
    }
    QueueCore core("qkill");
    core.LoadQueues();
    EXPECT_GE(core.Records(0).size(), 2000u);
}

}  // namespace
