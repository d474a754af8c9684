#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "session/vqsession.h"

namespace {

DWORD g_failCode = 0;

BOOL FailingQuery(DWORD*, DWORD* errorCode) {
    *errorCode = g_failCode;
    return FALSE;
}

// Makes the session query fail with a given code for the life of the object.
class FailingSession {
public:
    explicit FailingSession(DWORD code) {
        g_failCode = code;
        m_previous = vqsession::SetSessionQuery(FailingQuery);
    }
    ~FailingSession() { vqsession::SetSessionQuery(m_previous); }

private:
    vqsession::SessionQuery m_previous;
};

TEST(VQBTseGetSessionIdTest, ReportsTheLinuxSessionOfTheProcess) {
    DWORD id = 0xFFFFFFFF;
    char text[8] = "keep";
    int size = sizeof text;
    EXPECT_EQ(VQBTseGetSessionId(&id, text, &size), 0);
    EXPECT_EQ(id, static_cast<DWORD>(getsid(0)));
    EXPECT_STREQ(text, "keep");
}

TEST(VQBTseGetSessionIdTest, FailureReturnsNegatedCodeAndCutsTheText) {
    FailingSession failing(5);
    DWORD id = 77;
    char text[16];
    std::memset(text, 'x', sizeof text);
    int size = 10;
    EXPECT_EQ(VQBTseGetSessionId(&id, text, &size), -5);
    EXPECT_EQ(id, 77u);
    EXPECT_STREQ(text, "Error : P");
    EXPECT_EQ(text[10], 'x');  // nothing written beyond the given size
}

TEST(VQBTseGetSessionIdTest, NullBufferAndNonPositiveSizesWriteNothing) {
    FailingSession failing(87);
    DWORD id = 3;
    int size = 10;
    EXPECT_EQ(VQBTseGetSessionId(&id, nullptr, &size), -87);
    EXPECT_EQ(VQBTseGetSessionId(&id, nullptr, nullptr), -87);
    char text[4] = "abc";
    for (int bad : {0, -1, -100000}) {
        size = bad;
        EXPECT_EQ(VQBTseGetSessionId(&id, text, &size), -87);
        EXPECT_STREQ(text, "abc") << "size " << bad;
    }
    EXPECT_EQ(id, 3u);
}

TEST(VQBTseGetSessionIdTest, FailureWithoutErrorCodeIsStillAFailure) {
    FailingSession failing(0);
    DWORD id = 9;
    EXPECT_LT(VQBTseGetSessionId(&id, nullptr, nullptr), 0);
    EXPECT_EQ(id, 9u);
}

TEST(VQBTseGetSessionIdTest, CodeWithHighBitStaysNegative) {
    FailingSession failing(0x80000000u);
    DWORD id = 0;
    EXPECT_LT(VQBTseGetSessionId(&id, nullptr, nullptr), 0);
    FailingSession hresult(0x80070005u);
    EXPECT_EQ(VQBTseGetSessionId(&id, nullptr, nullptr), static_cast<int>(0x80070005u));
}

}  // namespace
