// The sd-journal reader on real journal files, made by systemd-journal-remote from export
// text in the test's machine root.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "standins/vqjournal/sd_journal_source.h"
#include "standins/vqjournal/tests/test_util.h"

namespace vqjournal_test {
namespace {

using vqjournal::JournalEntry;
using Fields = std::vector<std::pair<std::string, std::string>>;

class SdJournalTest : public testing::Test {
protected:
    void SetUp() override {
        if (JournalRemote().empty()) GTEST_SKIP() << "systemd-journal-remote is not installed";
        dir_ = MakeDir("journal");
    }
    void Append(int from, int to) {
        std::string text;
        for (int i = from; i <= to; ++i)
            text += ExportEntry(i, {{"MESSAGE", "m" + std::to_string(i)}, {"PRIORITY", "5"}});
        ASSERT_EQ(AppendJournal(dir_, text), "");
    }
    static std::string Message(const JournalEntry& e) {
        const std::string* m = e.Field("MESSAGE");
        return m ? *m : "<none>";
    }

    std::string dir_;
};

TEST_F(SdJournalTest, ReadsTheFieldsOfEveryEntry) {
    std::string binary("bin\0ary\n\xFF", 10);
    std::string text = ExportEntry(1, {{"MESSAGE", "Accepted"},
                                       {"PRIORITY", "4"},
                                       {"_SYSTEMD_UNIT", "ssh.service"},
                                       {"SYSLOG_IDENTIFIER", "sshd"},
                                       {"_COMM", "sshd"},
                                       {"OTHER", "not fetched"}});
    text += ExportEntry(2, {{"MESSAGE", binary}, {"SYSLOG_IDENTIFIER", "tool"}});
    text += ExportEntry(3, {{"MESSAGE", std::string(20000, 'L')}, {"_COMM", "big"}});
    ASSERT_EQ(AppendJournal(dir_, text), "");

    vqjournal::SdJournalSource source;
    std::string reason;
    ASSERT_TRUE(source.Open(dir_, &reason)) << reason;
    ASSERT_TRUE(source.SeekHead());
    JournalEntry e;
    ASSERT_EQ(source.Next(e, &reason), 1) << reason;
    EXPECT_EQ(Message(e), "Accepted");
    EXPECT_EQ(*e.Field("PRIORITY"), "4");
    EXPECT_EQ(*e.Field("_SYSTEMD_UNIT"), "ssh.service");
    EXPECT_EQ(*e.Field("SYSLOG_IDENTIFIER"), "sshd");
    EXPECT_EQ(*e.Field("_COMM"), "sshd");
    EXPECT_EQ(e.Field("OTHER"), nullptr);
    EXPECT_FALSE(e.cursor.empty());
    std::string first = e.cursor;
    ASSERT_EQ(source.Next(e), 1);
    EXPECT_EQ(Message(e), binary);
    EXPECT_EQ(e.Field("PRIORITY"), nullptr);
    EXPECT_NE(e.cursor, first);
    ASSERT_EQ(source.Next(e), 1);
    EXPECT_EQ(Message(e), std::string(20000, 'L'));
    EXPECT_EQ(source.Next(e), 0);
}

TEST_F(SdJournalTest, SeeksAfterACursorAndToTheTail) {
    Append(1, 4);
    vqjournal::SdJournalSource source;
    ASSERT_TRUE(source.Open(dir_));
    ASSERT_TRUE(source.SeekHead());
    std::vector<std::string> cursors;
    JournalEntry e;
    while (source.Next(e) == 1) cursors.push_back(e.cursor);
    ASSERT_EQ(cursors.size(), 4u);

    ASSERT_TRUE(source.SeekAfter(cursors[1]));
    ASSERT_EQ(source.Next(e), 1);
    EXPECT_EQ(Message(e), "m3");
    ASSERT_TRUE(source.SeekAfter(cursors[3]));
    EXPECT_EQ(source.Next(e), 0);
    EXPECT_FALSE(source.SeekAfter("not a cursor"));

    std::string last;
    ASSERT_TRUE(source.SeekTail(last));
    EXPECT_EQ(last, cursors[3]);
    EXPECT_EQ(source.Next(e), 0);

    // A reader opened afresh (a restart) resumes after the cursor even when later
    // entries were added meanwhile; one at the end sees only what comes later.
    Append(5, 6);
    vqjournal::SdJournalSource again;
    ASSERT_TRUE(again.Open(dir_));
    ASSERT_TRUE(again.SeekAfter(cursors[3]));
    ASSERT_EQ(again.Next(e), 1);
    EXPECT_EQ(Message(e), "m5");
    ASSERT_EQ(again.Next(e), 1);
    EXPECT_EQ(Message(e), "m6");
    EXPECT_EQ(again.Next(e), 0);
}

TEST_F(SdJournalTest, EmptyDirectoryHasNoEntriesAndNoTail) {
    vqjournal::SdJournalSource source;
    ASSERT_TRUE(source.Open(dir_));
    std::string last = "x";
    ASSERT_TRUE(source.SeekTail(last));
    EXPECT_EQ(last, "");
    JournalEntry e;
    EXPECT_EQ(source.Next(e), 0);
}

TEST_F(SdJournalTest, FollowingSeesEntriesAppendedLater) {
    Append(1, 2);
    vqjournal::SdJournalSource source;
    ASSERT_TRUE(source.Open(dir_));
    std::string last;
    ASSERT_TRUE(source.SeekTail(last));
    JournalEntry e;
    EXPECT_EQ(source.Next(e), 0);

    // Appended to the open file by another process, and then in a second file.
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Append(3, 4);
    });
    std::vector<std::string> seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        if (source.Next(e) == 1)
            seen.push_back(Message(e));
        else
            source.Wait(250);
    }
    writer.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"m3", "m4"}));

    ASSERT_EQ(AppendJournal(dir_, ExportEntry(5, {{"MESSAGE", "m5"}}), "y.journal"), "");
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        if (source.Next(e) == 1)
            seen.push_back(Message(e));
        else
            source.Wait(250);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"m3", "m4", "m5"}));
}

}  // namespace
}  // namespace vqjournal_test
