// Several processes writing one log at once, and a writer killed in the middle of a burst.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <map>
#include <thread>

#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/record.h"
#include "pal/eventlog/tests/eventlog_test_util.h"
#include "tests/support/child_process.h"

namespace {

using namespace evtest;

// Writes records "<tag>" "<i>" for i = 0 .. count-1 (forever when count is 0), telling
// the parent each i whose ReportEvent returned TRUE.
VQ_CHILD(event_writer) {
    const std::string tag = args.at(0);
    const long count = std::stol(args.at(1));
    const bool tell = args.size() > 2;
    HANDLE src = RegisterEventSourceA(nullptr, "Burst");
    if (!src) return 2;
    vqtest::Tell("ready");
    for (long i = 0; count == 0 || i < count; ++i) {
        if (!Write(src, 7, {tag, std::to_string(i)})) return 3;
        if (tell) vqtest::Tell(std::to_string(i));
    }
    DeregisterEventSource(src);
    vqtest::Tell("done");
    return 0;
}

struct Seen {
    std::map<std::string, std::vector<long>> byTag;  // the i values each writer's records carry
    std::vector<DWORD> numbers;
};

Seen ReadEverything() {
    Seen seen;
    for (const auto& image : AllRecords("Application")) {
        pal::eventlog::RecordView v;
        EXPECT_TRUE(pal::eventlog::ParseRecord(image.data(), image.size(), v));
        seen.numbers.push_back(v.header.RecordNumber);
        if (v.strings.size() == 2) seen.byTag[std::string(v.strings[0])].push_back(std::stol(std::string(v.strings[1])));
    }
    return seen;
}

void ExpectGapFree(const std::vector<DWORD>& numbers) {
    for (size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], i + 1) << "at index " << i;
}

class Processes : public testing::Test {
protected:
    void SetUp() override {
        HANDLE log = OpenEventLogA(nullptr, "Application");
        ASSERT_TRUE(ClearEventLogA(log, nullptr));
        CloseEventLog(log);
    }
};

TEST_F(Processes, TwoWritersGetGapFreeNumbersWhileAReaderFollows) {
    constexpr long kEach = 400;
    vqtest::ChildProcess a("event_writer", {"A", std::to_string(kEach)});
    vqtest::ChildProcess b("event_writer", {"B", std::to_string(kEach)});
    ASSERT_TRUE(a.Expect("ready"));
    ASSERT_TRUE(b.Expect("ready"));

    // A reader that follows the writers: every sequential read must continue exactly
    // where the last one stopped.
    std::atomic<bool> stop{false};
    DWORD followed = 0;
    bool inOrder = true;
    DWORD readError = 0;
    std::thread reader([&] {
        HANDLE log = OpenEventLogA(nullptr, "Application");
        std::vector<uint8_t> buf(4096);
        while (followed < 2 * kEach) {
            DWORD bytes = 0, needed = 0;
            const bool writersDone = stop;  // before the read: its EOF then means the end
            if (!ReadEventLogA(log, kSeqFwd, 0, buf.data(), static_cast<DWORD>(buf.size()), &bytes, &needed)) {
                if (GetLastError() != ERROR_HANDLE_EOF || writersDone) {
                    readError = GetLastError();
                    break;
                }
                continue;
            }
            std::vector<pal::eventlog::RecordView> views;
            pal::eventlog::ParseRecords(buf.data(), bytes, views);
            for (const auto& v : views) inOrder = inOrder && v.header.RecordNumber == ++followed;
        }
        CloseEventLog(log);
    });
    EXPECT_TRUE(a.Expect("done", 60000));
    EXPECT_TRUE(b.Expect("done", 60000));
    EXPECT_EQ(a.Wait(), 0);
    EXPECT_EQ(b.Wait(), 0);
    stop = true;
    reader.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(readError, 0u);
    EXPECT_EQ(followed, static_cast<DWORD>(2 * kEach));

    Seen seen = ReadEverything();
    ASSERT_EQ(seen.numbers.size(), static_cast<size_t>(2 * kEach));
    ExpectGapFree(seen.numbers);
    // Each writer's records appear in the order it wrote them.
    for (const char* tag : {"A", "B"}) {
        const auto& is = seen.byTag[tag];
        ASSERT_EQ(is.size(), static_cast<size_t>(kEach)) << tag;
        for (long i = 0; i < kEach; ++i) ASSERT_EQ(is[static_cast<size_t>(i)], i) << tag;
    }
}

TEST_F(Processes, KilledWriterLeavesEveryConfirmedRecordAndAConsistentLog) {
    vqtest::ChildProcess child("event_writer", {"K", "0", "tell"});
    ASSERT_TRUE(child.Expect("ready"));
    long confirmed = -1;
    while (confirmed < 300) {
        std::string line = child.ReadLine();
        ASSERT_FALSE(line.empty()) << "writer stopped early";
        confirmed = std::stol(line);
    }
    child.Kill(SIGKILL);
    EXPECT_EQ(child.Wait(), 128 + SIGKILL);
    // Lines the child told before it died are still in the pipe.
    for (std::string line; !(line = child.ReadLine(2000)).empty();) confirmed = std::stol(line);

    Seen seen = ReadEverything();
    ExpectGapFree(seen.numbers);
    const auto& is = seen.byTag["K"];
    // Every confirmed record is there; at most the one in flight at the kill follows.
    ASSERT_GE(is.size(), static_cast<size_t>(confirmed + 1));
    ASSERT_LE(is.size(), static_cast<size_t>(confirmed + 2));
    for (size_t i = 0; i < is.size(); ++i) ASSERT_EQ(is[i], static_cast<long>(i));

    HANDLE log = OpenEventLogA(nullptr, "Application");
    EXPECT_EQ(Oldest(log), 1u);
    EXPECT_EQ(Count(log), seen.numbers.size());
    CloseEventLog(log);
    // The log takes new records after the kill, numbered on.
    HANDLE src = RegisterEventSourceA(nullptr, "After");
    ASSERT_TRUE(Write(src, 1));
    DeregisterEventSource(src);
    Seen after = ReadEverything();
    ExpectGapFree(after.numbers);
    EXPECT_EQ(after.numbers.size(), seen.numbers.size() + 1);
}

}  // namespace
