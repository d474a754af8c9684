#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/apllog.h"
#include "framework/registory.h"
#include "framework/vqbutil.h"
#include "pal/windows.h"
#include "session/vqsession.h"

namespace {

// A heap copy of exactly the text and its NUL, so that a read past the end is caught.
std::unique_ptr<char[]> Exact(const std::string& text) {
    std::unique_ptr<char[]> p(new char[text.size() + 1]);
    std::memcpy(p.get(), text.c_str(), text.size() + 1);
    return p;
}

std::vector<BYTE> Bcd(const std::string& text, int count) {
    std::vector<BYTE> out(static_cast<size_t>((count + 1) / 2 + 2), 0xEE);
    auto src = Exact(text);
    atobcd(out.data(), src.get(), count);
    return out;
}

TEST(AtobcdTest, PacksRightAlignedWithLeadingBlanksAsZeros) {
    EXPECT_EQ(Bcd("1234", 4), (std::vector<BYTE>{0x12, 0x34, 0xEE, 0xEE}));
    EXPECT_EQ(Bcd("123", 3), (std::vector<BYTE>{0x01, 0x23, 0xEE, 0xEE}));
    EXPECT_EQ(Bcd("  12", 4), (std::vector<BYTE>{0x00, 0x12, 0xEE, 0xEE}));
    EXPECT_EQ(Bcd(" 12", 3), (std::vector<BYTE>{0x00, 0x12, 0xEE, 0xEE}));
    EXPECT_EQ(Bcd("    ", 4), (std::vector<BYTE>{0x00, 0x00, 0xEE, 0xEE}));
    EXPECT_EQ(Bcd("JK", 2), (std::vector<BYTE>{0xAB, 0xEE, 0xEE}));  // only the low nibbles count
}

TEST(AtobcdTest, ShortOrHostileTextIsNotReadPastItsEnd) {
    // Fewer characters than digits: the missing ones are zeros, nothing more is written.
    EXPECT_EQ(Bcd("12", 6), (std::vector<BYTE>{0x12, 0x00, 0x00, 0xEE, 0xEE}));
    EXPECT_EQ(Bcd("", 5), (std::vector<BYTE>{0x00, 0x00, 0x00, 0xEE, 0xEE}));
    EXPECT_EQ(Bcd("  ", 7), (std::vector<BYTE>{0x00, 0x00, 0x00, 0x00, 0xEE, 0xEE}));
    EXPECT_EQ(Bcd("99", 0), (std::vector<BYTE>{0xEE, 0xEE}));
    EXPECT_EQ(Bcd("99", -4), (std::vector<BYTE>{0xEE}));
    atobcd(nullptr, "12", 2);
    BYTE b = 0xEE;
    atobcd(&b, nullptr, 2);
    EXPECT_EQ(b, 0xEE);
}

TEST(A2hTest, ReadsHexWithoutChecks) {
    EXPECT_EQ(a2h("1F"), 31u);
    EXPECT_EQ(a2h("1f"), 31u);
    EXPECT_EQ(a2h(""), 0u);
    EXPECT_EQ(a2h("DEADbeef"), 0xDEADBEEFu);
    EXPECT_EQ(a2h("123456789"), 0x23456789u);  // wraps at 32 bits
    EXPECT_EQ(a2h(nullptr), 0u);
}

struct Cut {
    std::string token;
    int used;
};

Cut Token(const std::string& text, const char* delimiters) {
    auto src = Exact(text);
    Cut c;
    c.used = GetToken(c.token, src.get(), delimiters);
    return c;
}

TEST(GetTokenTest, QuotesEscapesAndDelimiters) {
    Cut c = Token(" \"a,b\" ,c", ",");
    EXPECT_EQ(c.token, "a,b");
    EXPECT_EQ(c.used, 8);
    c = Token("x\\y,z", ",");
    EXPECT_EQ(c.token, "x\\y");
    EXPECT_EQ(c.used, 4);

    c = Token("\"say \\\"hi\\\"\" , rest", ",");
    EXPECT_EQ(c.token, "say \"hi\"");
    c = Token("  last  ", ",");  // ends at the text's end: no delimiter to skip
    EXPECT_EQ(c.token, "last");
    EXPECT_EQ(c.used, 8);
    c = Token("\"  kept  \"  ,", ",");  // quoted blanks stay, unquoted ones go
    EXPECT_EQ(c.token, "  kept  ");
    EXPECT_EQ(c.used, 13);
    c = Token(",x,y", ",");  // the first character is always taken
    EXPECT_EQ(c.token, ",x");
    EXPECT_EQ(c.used, 3);
    c = Token("a;b,c", ",;");
    EXPECT_EQ(c.token, "a");
    EXPECT_EQ(c.used, 2);

    std::string keep = "stale";
    EXPECT_EQ(GetToken(keep, "", ","), 0);
    EXPECT_EQ(keep, "");
    EXPECT_EQ(GetToken(keep, nullptr, ","), 0);
    c = Token("   ", ",");
    EXPECT_EQ(c.token, "");
    EXPECT_EQ(c.used, 3);
}

TEST(GetTokenTest, WalksAListOfTokens) {
    auto src = Exact("alpha, \"b,eta\" ,gamma , ");
    std::vector<std::string> seen;
    const char* p = src.get();
    std::string token;
    for (int n; (n = GetToken(token, p, ",")) > 0; p += n) seen.push_back(token);
    EXPECT_EQ(seen, (std::vector<std::string>{"alpha", "b,eta", "gamma", ""}));
}

TEST(GetTokenTest, DoubleByteCharactersAndHostileEnds) {
    // 0x82 0x2C: the trail byte is a comma, but it belongs to the character.
    Cut c = Token("\x82,x,y", ",");
    EXPECT_EQ(c.token, "\x82,x");
    EXPECT_EQ(c.used, 4);
    c = Token("\"\x83\\\"", ",");  // trail byte a backslash inside quotes: copied as it stands
    EXPECT_EQ(c.token, "\x83\\");
    // Texts ending where a second byte or an escaped character should follow.
    c = Token("ab\x82", ",");
    EXPECT_EQ(c.token, "ab\x82");
    EXPECT_EQ(c.used, 3);
    c = Token("\"ab\\", ",");
    EXPECT_EQ(c.token, "ab\\");
    EXPECT_EQ(c.used, 4);
    c = Token("\"unclosed, still", ",");
    EXPECT_EQ(c.token, "unclosed, still");
    EXPECT_EQ(c.used, 16);
}

// ---- VQBGetTsePcName ------------------------------------------------------------------

struct Record {
    WORD event;
    DWORD error;
    std::string message;
};
std::vector<Record> g_records;

void Capture(WORD event, DWORD error, LONG, const char* function, const char* message) {
    if (function && std::string(function) == "VQBGetTsePcName") g_records.push_back({event, error, message ? message : ""});
}

BOOL SessionTwo(DWORD* id, DWORD*) {
    *id = 2;
    return TRUE;
}
BOOL SessionFails(DWORD*, DWORD* error) {
    *error = 5;
    return FALSE;
}

class TsePcNameTest : public testing::Test {
protected:
    void SetUp() override {
        CreateDirectoryA("C:\\utillog", nullptr);
        CAplLog::SetLog2Info("POS-0001", 1, 1, 3, 0);
        CAplLog::Open(1, "utiltest", "C:\\utillog", 4000000, 0);
        CAplLog::SetWriteHandler(Capture);
        g_records.clear();
        saved_ = CVQRegistory::m_lTse;
        setenv("VQ_COMPUTERNAME", "POSTERMINAL01", 1);
    }
    void TearDown() override {
        CVQRegistory::m_lTse = saved_;
        vqsession::SetSessionQuery(previous_ ? previous_ : nullptr);
        CAplLog::SetWriteHandler(nullptr);
        CAplLog::Close();
        unsetenv("VQ_COMPUTERNAME");
    }
    void UseSession(vqsession::SessionQuery q) {
        vqsession::SessionQuery old = vqsession::SetSessionQuery(q);
        if (!previous_) previous_ = old;
    }
    LONG saved_ = -1;
    vqsession::SessionQuery previous_ = nullptr;
};

TEST_F(TsePcNameTest, EachModeNamesTheComputerItsWay) {
    char name[32];
    CVQRegistory::m_lTse = 0;
    EXPECT_EQ(VQBGetTsePcName(name), 0);
    EXPECT_STREQ(name, "POSTERMINAL01");

    CVQRegistory::m_lTse = 2;
    EXPECT_EQ(VQBGetTsePcName(name), 2);
    std::string user = name;
    EXPECT_FALSE(user.empty());
    EXPECT_LE(user.size(), 15u);

    CVQRegistory::m_lTse = 1;
    UseSession(SessionTwo);
    EXPECT_EQ(VQBGetTsePcName(name), 1);
    EXPECT_EQ(std::string(name), user.substr(0, 7) + "00000002");
    EXPECT_TRUE(g_records.empty());
}

TEST_F(TsePcNameTest, FailuresAreLoggedAndLeaveTheBuffer) {
    char name[32] = "untouched";
    CVQRegistory::m_lTse = 1;
    UseSession(SessionFails);
    EXPECT_EQ(VQBGetTsePcName(name), -5);
    ASSERT_EQ(g_records.size(), 1u);
    EXPECT_EQ(g_records[0].event, 8000);
    EXPECT_EQ(g_records[0].error, 5u);
    EXPECT_EQ(g_records[0].message, "");

    CVQRegistory::m_lTse = 7;
    EXPECT_EQ(VQBGetTsePcName(name), -7);
    EXPECT_STREQ(name, "untouched");
    ASSERT_EQ(g_records.size(), 2u);
    EXPECT_EQ(g_records[1].error, 7u);
    EXPECT_EQ(g_records[1].message, "registory value error : ");
}

}  // namespace
