// The ini reading and the search of one scan, against records written to the System log
// with chosen times, and the display steps with their trace lines.
#include <gtest/gtest.h>

#include <ctime>

#include "eventmon/mainframe.h"
#include "eventmon/tests/quillon_test_util.h"

namespace {

using namespace quillon_test;

class Quillon : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VQ_LIBRARY_PATH", VQ_LIB_DIR, 1);  // dbgtrace.dll for the trace
        ini_ = pal::core::RootDir() + "/app/Quillon.ini";
        std::filesystem::remove(ini_);
        std::filesystem::remove(ledpanel::ConfPath());
        std::filesystem::remove(ledpanel::StatePath());
        ClearTrace();
        ClearSystemLog();
    }
    void Ini(const std::string& text) { WriteFile(ini_, text); }
    // One search over the records newer than mark; the code, or -1 when it failed.
    long long Search(CMainFrame& frame) {
        HANDLE h = OpenEventLogA(nullptr, "System");
        DWORD code = 0;
        BOOL ok = frame.qmSeaEventLog(h, &code);
        CloseEventLog(h);
        return ok ? static_cast<long long>(code) : -1;
    }
    std::string ini_;
};

TEST_F(Quillon, DefaultsAndTablesWithGaps) {
    {
        CMainFrame frame(ini_.c_str());  // no file at all
        EXPECT_FALSE(frame.IsStopped());
        EXPECT_EQ(frame.GetBeforeTime(), 60u);
        EXPECT_EQ(frame.GetEventIDCount(), 100u);
        EXPECT_EQ(frame.GetKeyWordCount(), 100u);
        EXPECT_FALSE(frame.GetEventID(1).bUsed);
    }
    EXPECT_TRUE(Traced(">>>Start Logging."));
    EXPECT_TRUE(Traced("qmGetInitProfile Called."));

    // Entries 1 and 3 of three, separated by a comma, a tab and a line feed; a third token
    // is ignored. The count stays 3 so entry 3 is searched too.
    Ini("[Common]\nBeforeTime=\nEventIDnum=3\nKeyWordNum=2\n"
        "[SearchEventID]\nEventID1=7036,5\nEventID3=7040\t8,extra\n"
        "[SearchEventWord]\nKeyWord2=Service Control Manager,12\n");
    CMainFrame frame(ini_.c_str());
    EXPECT_FALSE(frame.IsStopped());
    EXPECT_EQ(frame.GetBeforeTime(), 0u) << "an empty text counts as 0";
    EXPECT_EQ(frame.GetEventIDCount(), 3u);
    EXPECT_EQ(frame.GetEventID(1).dwEventID, 7036u);
    EXPECT_EQ(frame.GetEventID(1).dwCode, 5u);
    EXPECT_FALSE(frame.GetEventID(2).bUsed);
    EXPECT_EQ(frame.GetEventID(3).dwEventID, 7040u);
    EXPECT_EQ(frame.GetEventID(3).dwCode, 8u);
    EXPECT_FALSE(frame.GetKeyWord(1).bUsed);
    EXPECT_STREQ(frame.GetKeyWord(2).szSource, "Service Control Manager");
    EXPECT_EQ(frame.GetKeyWord(2).dwCode, 12u);

    AddSystemRecord(2000, 0x40001B80, "Other");  // 7040 in the low 16 bits
    frame.SetTimeMark(1000);
    EXPECT_EQ(Search(frame), 8);
}

TEST_F(Quillon, CountsAbove100AreClampedAndTheTablesStillRead) {
    Ini("[Common]\nKeyWordNum=150\nEventIDnum=101\n[SearchEventID]\nEventID100=9,1\n"
        "[SearchEventWord]\nKeyWord1=Disk,3\n");
    CMainFrame frame(ini_.c_str());
    EXPECT_FALSE(frame.IsStopped());
    EXPECT_TRUE(Traced("Quillon.ini is an illegal file.  KeyWordNum"));
    EXPECT_TRUE(Traced("Quillon.ini is an illegal file.  EventIDnum"));
    EXPECT_EQ(frame.GetKeyWordCount(), 100u);
    EXPECT_EQ(frame.GetEventIDCount(), 100u);
    EXPECT_STREQ(frame.GetKeyWord(1).szSource, "Disk");
    EXPECT_EQ(frame.GetEventID(100).dwEventID, 9u);
}

TEST_F(Quillon, IllegalFilesSetTheStopFlagWithTheirTrace) {
    struct Case {
        const char* ini;
        const char* trace;
    } cases[] = {
        {"[SearchEventID]\nEventID1=abc,5\n", "Quillon.ini is an illegal file."},
        {"[SearchEventID]\nEventID1=7036\n", "Quillon.ini is an illegal file."},
        {"[SearchEventID]\nEventID1=4294967296,1\n", "Quillon.ini is an illegal file."},
        {"[SearchEventID]\nEventID1=1,4294967296\n", "Quillon.ini is an illegal file."},
        {"[SearchEventWord]\nKeyWord1=Disk,x\n", "Quillon.ini is an illegal file."},
        {"[SearchEventWord]\nKeyWord1=,,5\n", "Quillon.ini is an illegal file."},
        {"[Common]\nBeforeTime=abc\n", "Quillon.ini is an illegal file.  BeforeTime"},
        // 71582789 minutes are more seconds than 32 bits hold.
        {"[Common]\nBeforeTime=71582789\n", "Quillon.ini is an illegal file.  BeforeTime"},
        {"[Common]\nKeyWordNum=-1\n", "Quillon.ini is an illegal file.  KeyWordNum"},
        {"[Common]\nEventIDnum=99999999999\n", "Quillon.ini is an illegal file.  EventIDnum"},
    };
    for (const Case& c : cases) {
        ClearTrace();
        Ini(c.ini);
        CMainFrame frame(ini_.c_str());
        EXPECT_TRUE(frame.IsStopped()) << c.ini;
        EXPECT_TRUE(Traced(c.trace)) << c.ini;
    }
    Ini("[Common]\nBeforeTime=71582788\n");
    CMainFrame frame(ini_.c_str());
    EXPECT_FALSE(frame.IsStopped()) << "the largest BeforeTime that fits";
}

TEST_F(Quillon, SearchFindsTheNewestMatchAndMovesTheMark) {
    Ini("[Common]\nEventIDnum=3\nKeyWordNum=2\n"
        "[SearchEventID]\nEventID1=7036,5\nEventID2=7036,9\nEventID3=6005,4\n"
        "[SearchEventWord]\nKeyWord1=Service Control Manager,11\nKeyWord2=EventLog,6\n");
    CMainFrame frame(ini_.c_str());
    ASSERT_FALSE(frame.IsStopped());

    // Older matching (by number) and newer matching nothing: the older one's code, and the
    // mark stops at it, so the newer one is looked at again next time.
    ASSERT_TRUE(AddSystemRecord(1000, 0xC0000000 | 7036, "Service Control Manager"));
    ASSERT_TRUE(AddSystemRecord(1010, 1, "Nobody"));
    frame.SetTimeMark(900);
    EXPECT_EQ(Search(frame), 9) << "two entries for 7036: the last one wins, over the keyword";
    EXPECT_EQ(frame.GetTimeMark(), 1000u);
    EXPECT_TRUE(Traced("Find same EventID"));
    EXPECT_EQ(Search(frame), 0);
    EXPECT_EQ(frame.GetTimeMark(), 1000u);

    // A keyword match, case-sensitive, byte for byte.
    ASSERT_TRUE(AddSystemRecord(1020, 2, "eventlog"));
    ASSERT_TRUE(AddSystemRecord(1030, 3, "EventLog"));
    EXPECT_EQ(Search(frame), 6);
    EXPECT_EQ(frame.GetTimeMark(), 1030u);
    EXPECT_TRUE(Traced("Find same Event Keyword"));

    // Nothing newer than the mark: the newest record ends the search at once.
    EXPECT_EQ(Search(frame), 0);
    EXPECT_EQ(frame.GetTimeMark(), 1030u);

}

TEST_F(Quillon, KeywordSearchStaysWithinItsCount) {
    Ini("[Common]\nKeyWordNum=1\nEventIDnum=0\n[SearchEventWord]\nKeyWord2=Disk,7\n[SearchEventID]\nEventID1=1,1\n");
    CMainFrame frame(ini_.c_str());
    EXPECT_EQ(frame.GetEventIDCount(), 0u);
    EXPECT_FALSE(frame.GetKeyWord(2).bUsed) << "only entries up to the count are read";
    ASSERT_TRUE(AddSystemRecord(1000, 1, "Disk"));
    frame.SetTimeMark(999);
    // The log ends before a record at or before the mark: the search fails, mark kept.
    EXPECT_EQ(Search(frame), -1);
    EXPECT_EQ(frame.GetTimeMark(), 999u);
    EXPECT_TRUE(Traced("GetEventlog Error"));
    ASSERT_TRUE(AddSystemRecord(500, 1, "Old"));  // now a record older than the mark ends it
    ASSERT_TRUE(AddSystemRecord(1001, 1, "Disk"));
    EXPECT_EQ(Search(frame), 0);
    EXPECT_EQ(frame.GetTimeMark(), 500u);
}

TEST_F(Quillon, DisplayStepsAndTheirTrace) {
    CMainFrame frame(ini_.c_str());
    frame.qm7Seg(5);  // no display configured
    EXPECT_TRUE(Traced("7SEG Open Error"));

    WriteDisplayConf("digits = 4\nfail_show = 31\n");
    frame.qm7Seg(5);
    EXPECT_TRUE(Traced("7SEG Open Success"));
    EXPECT_TRUE(Traced("7SEG Disp Error"));
    EXPECT_EQ(DisplayedCode(), -1);

    WriteDisplayConf("digits = 4\nfail_close = 5\n");
    frame.qm7Seg(42);
    EXPECT_TRUE(Traced("7SEG Disp Success"));
    EXPECT_TRUE(Traced("7SEG Close Error"));
    EXPECT_EQ(DisplayedCode(), 42);

    WriteDisplayConf("digits = 4\n");
    frame.qm7Seg(7);
    EXPECT_TRUE(Traced("7SEG Close Success"));
    EXPECT_EQ(DisplayedCode(), 7);
}

TEST_F(Quillon, FirstScanLooksBeforeTimeBackAndShowsTheCode) {
    WriteDisplayConf("digits = 4\n");
    Ini("[Common]\nBeforeTime=10\n[SearchEventID]\nEventID1=7036,5\n");
    const DWORD now = static_cast<DWORD>(time(nullptr));
    ASSERT_TRUE(AddSystemRecord(now - 1200, 7036, "Service Control Manager"));  // too old
    CMainFrame frame(ini_.c_str());
    EXPECT_TRUE(frame.qmTimer());
    EXPECT_EQ(DisplayedCode(), -1);
    EXPECT_GE(frame.GetTimeMark(), now - 1200);
    ASSERT_TRUE(AddSystemRecord(now + 1, 7036, "Service Control Manager"));
    EXPECT_TRUE(frame.qmTimer());
    EXPECT_EQ(DisplayedCode(), 5);
    for (const char* t : {"Timer Called", "EventLog Open Success", "qmSeaEventLog Called", "GetEventlog Success",
                          "EventLog Close Success", "7SEG Disp Success"})
        EXPECT_TRUE(Traced(t)) << t;
}

}  // namespace
