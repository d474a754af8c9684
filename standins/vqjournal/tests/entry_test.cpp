// How entries are selected and what their records hold: pure mappings and the settings
// that drive them.
#include <gtest/gtest.h>

#include "standins/vqjournal/config.h"
#include "standins/vqjournal/entry.h"
#include "standins/vqjournal/tests/test_util.h"

namespace vqjournal_test {
namespace {

using vqjournal::JournalEntry;

JournalEntry Entry(std::vector<std::pair<std::string, std::string>> fields) {
    JournalEntry e;
    e.cursor = "x";
    for (auto& [k, v] : fields) e.fields[k] = v;
    return e;
}

TEST(Entry, PriorityGivesTypeAndId) {
    const WORD expected[8] = {EVENTLOG_ERROR_TYPE, EVENTLOG_ERROR_TYPE,   EVENTLOG_ERROR_TYPE,
                              EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_INFORMATION_TYPE,
                              EVENTLOG_INFORMATION_TYPE, EVENTLOG_INFORMATION_TYPE};
    for (int p = 0; p < 8; ++p) {
        JournalEntry e = Entry({{"PRIORITY", std::to_string(p)}});
        EXPECT_EQ(vqjournal::PriorityOf(e), p);
        EXPECT_EQ(vqjournal::EventTypeOf(p), expected[p]) << p;
    }
    EXPECT_EQ(vqjournal::EventIdOf(EVENTLOG_ERROR_TYPE), 0xC0000001u);
    EXPECT_EQ(vqjournal::EventIdOf(EVENTLOG_WARNING_TYPE), 0x80000001u);
    EXPECT_EQ(vqjournal::EventIdOf(EVENTLOG_INFORMATION_TYPE), 0x40000001u);
    // Missing or malformed priorities count as info.
    for (const char* bad : {"", "8", "-1", "12", "3 ", "x"})
        EXPECT_EQ(vqjournal::PriorityOf(Entry({{"PRIORITY", bad}})), 6) << bad;
    EXPECT_EQ(vqjournal::PriorityOf(Entry({})), 6);
}

TEST(Entry, SourceFallsBackFromUnitToIdentifierToCommandToJournal) {
    EXPECT_EQ(vqjournal::SourceOf(Entry({{"_SYSTEMD_UNIT", "ssh.service"},
                                         {"SYSLOG_IDENTIFIER", "sshd"},
                                         {"_COMM", "sshd"}})),
              "ssh.service");
    EXPECT_EQ(vqjournal::SourceOf(Entry({{"SYSLOG_IDENTIFIER", "cron"}, {"_COMM", "crond"}})), "cron");
    EXPECT_EQ(vqjournal::SourceOf(Entry({{"_COMM", "crond"}})), "crond");
    EXPECT_EQ(vqjournal::SourceOf(Entry({{"MESSAGE", "m"}})), "journal");
    // Empty or blank fields say nothing; the next one is taken.
    EXPECT_EQ(vqjournal::SourceOf(Entry({{"_SYSTEMD_UNIT", ""}, {"SYSLOG_IDENTIFIER", "\x01\x02"}, {"_COMM", "c"}})),
              "c");
    // Names become registry key names: no backslash, no control bytes, bounded length.
    EXPECT_EQ(vqjournal::SourceOf(Entry({{"SYSLOG_IDENTIFIER", "a\\b\nc"}})), "a_b_c");
    std::string longName(300, 'n');
    EXPECT_EQ(vqjournal::SourceOf(Entry({{"SYSLOG_IDENTIFIER", longName}})).size(), vqjournal::kMaxSourceBytes);
    // A cut never leaves half a character.
    std::string wide = std::string(vqjournal::kMaxSourceBytes - 1, 'w') + "\xC3\xA9";
    EXPECT_EQ(vqjournal::SafeSourceName(wide), std::string(vqjournal::kMaxSourceBytes - 1, 'w'));
}

TEST(Entry, MessageBecomesASafeBoundedText) {
    EXPECT_EQ(vqjournal::InsertionString("plain text\twith tab\nand line"), "plain text\twith tab\nand line");
    EXPECT_EQ(vqjournal::InsertionString("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
    // NUL would end the string early; invalid UTF-8 and control bytes are escaped.
    EXPECT_EQ(vqjournal::InsertionString(std::string("a\0b\xFF\x1B[0m", 8)), "a\\x00b\\xFF\\x1B[0m");
    EXPECT_EQ(vqjournal::InsertionString("\xC0\xAF"), "\\xC0\\xAF");          // overlong
    EXPECT_EQ(vqjournal::InsertionString("\xED\xA0\x80"), "\\xED\\xA0\\x80");  // surrogate
    EXPECT_EQ(vqjournal::InsertionString("\xE2\x82"), "\\xE2\\x82");          // truncated character
    EXPECT_EQ(vqjournal::InsertionString(""), "");

    std::string exact(vqjournal::kMaxMessageBytes, 'a');
    EXPECT_EQ(vqjournal::InsertionString(exact), exact);
    std::string cut = vqjournal::InsertionString(exact + "b");
    EXPECT_EQ(cut, exact + vqjournal::kCutMark);
    // Escapes and characters are never split at the bound.
    std::string binary(vqjournal::kMaxMessageBytes, '\x01');
    std::string escaped = vqjournal::InsertionString(binary);
    EXPECT_EQ(escaped.size(), vqjournal::kMaxMessageBytes / 4 * 4 + 3);
    EXPECT_EQ(escaped.substr(escaped.size() - 7), "\\x01...");
    std::string euros;
    while (euros.size() < vqjournal::kMaxMessageBytes + 10) euros += "\xE2\x82\xAC";
    std::string e = vqjournal::InsertionString(euros);
    EXPECT_EQ((e.size() - 3) % 3, 0u);
    EXPECT_LE(e.size(), vqjournal::kMaxMessageBytes + 3);
    // A huge binary message costs no more than the bound.
    EXPECT_LE(vqjournal::InsertionString(std::string(4 << 20, '\0')).size(), vqjournal::kMaxMessageBytes + 3);
}

TEST(Entry, CursorTravelsInTheRecordData) {
    std::string data = vqjournal::CursorData("s=1;i=2");
    EXPECT_EQ(vqjournal::CursorFromData(reinterpret_cast<const uint8_t*>(data.data()), data.size()), "s=1;i=2");
    for (std::string other : {std::string("vqjournal-cursor:"), std::string("other data"), std::string("vqjournal-cursor:a\0b", 20)})
        EXPECT_EQ(vqjournal::CursorFromData(reinterpret_cast<const uint8_t*>(other.data()), other.size()), "") << other;
    EXPECT_EQ(vqjournal::CursorFromData(nullptr, 0), "");
}

TEST(Entry, SelectionByPriorityUnitAndIdentifier) {
    vqjournal::Config all;  // MaxPriority 4, no lists
    EXPECT_TRUE(vqjournal::Selected(all, Entry({{"PRIORITY", "4"}})));
    EXPECT_TRUE(vqjournal::Selected(all, Entry({{"PRIORITY", "0"}, {"_SYSTEMD_UNIT", "x.service"}})));
    EXPECT_FALSE(vqjournal::Selected(all, Entry({{"PRIORITY", "5"}})));
    EXPECT_FALSE(vqjournal::Selected(all, Entry({})));  // info by default

    vqjournal::Config units;
    units.units = {"ssh.service", "cron.service"};
    units.maxPriority = 7;
    EXPECT_TRUE(vqjournal::Selected(units, Entry({{"_SYSTEMD_UNIT", "cron.service"}})));
    EXPECT_FALSE(vqjournal::Selected(units, Entry({{"_SYSTEMD_UNIT", "other.service"}})));
    EXPECT_FALSE(vqjournal::Selected(units, Entry({{"SYSLOG_IDENTIFIER", "ssh.service"}})));
    EXPECT_FALSE(vqjournal::Selected(units, Entry({{"_SYSTEMD_UNIT", "SSH.service"}})));  // exact names

    vqjournal::Config both = units;
    both.identifiers = {"kernel"};
    both.maxPriority = 3;
    EXPECT_TRUE(vqjournal::Selected(both, Entry({{"SYSLOG_IDENTIFIER", "kernel"}, {"PRIORITY", "2"}})));
    EXPECT_TRUE(vqjournal::Selected(both, Entry({{"_SYSTEMD_UNIT", "ssh.service"}, {"PRIORITY", "3"}})));
    EXPECT_FALSE(vqjournal::Selected(both, Entry({{"SYSLOG_IDENTIFIER", "kernel"}, {"PRIORITY", "4"}})));
    EXPECT_FALSE(vqjournal::Selected(both, Entry({{"SYSLOG_IDENTIFIER", "sudo"}, {"PRIORITY", "0"}})));
}

TEST(Config, ReadFromTheParametersKey) {
    ResetState();
    vqjournal::Config none = vqjournal::ReadConfig();
    EXPECT_TRUE(none.units.empty());
    EXPECT_TRUE(none.identifiers.empty());
    EXPECT_EQ(none.maxPriority, 4u);
    EXPECT_EQ(none.directory, "");
    EXPECT_FALSE(vqjournal::ReadSavedCursor().has_value());

    const char* key = vqjournal::kParametersKey;
    SetMultiSz(key, "Units", {"ssh.service", "", "cron.service"});
    SetString(key, "Identifiers", "kernel");  // a plain string is a list of one
    SetDword(key, "MaxPriority", 6);
    SetString(key, "Directory", "/var/log/journal/remote");
    vqjournal::Config c = vqjournal::ReadConfig();
    EXPECT_EQ(c.units, (std::vector<std::string>{"ssh.service", "cron.service"}));
    EXPECT_EQ(c.identifiers, (std::vector<std::string>{"kernel"}));
    EXPECT_EQ(c.maxPriority, 6u);
    EXPECT_EQ(c.directory, "/var/log/journal/remote");
    EXPECT_TRUE(c.problems.empty());

    SetDword(key, "MaxPriority", 9);
    SetDword(key, "Units", 1);
    EXPECT_EQ(vqjournal::ReadConfig().maxPriority, 7u);
    SetString(key, "MaxPriority", "3");
    vqjournal::Config bad = vqjournal::ReadConfig();
    EXPECT_EQ(bad.maxPriority, 4u);
    EXPECT_TRUE(bad.units.empty());
    EXPECT_EQ(bad.problems.size(), 2u);

    ASSERT_TRUE(vqjournal::SaveCursor(""));
    EXPECT_EQ(vqjournal::ReadSavedCursor(), std::optional<std::string>(""));
    ASSERT_TRUE(vqjournal::SaveCursor("s=1;i=9"));
    EXPECT_EQ(vqjournal::ReadSavedCursor(), std::optional<std::string>("s=1;i=9"));
    ResetState();
}

}  // namespace
}  // namespace vqjournal_test
