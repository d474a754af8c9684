// The procedure's transport on its own: the limit holds back only received records,
// delayed posts fall due in order, and Close hands back everything still waiting.
#include <gtest/gtest.h>

#include <thread>

#include "framework/thdmsgqueue.h"
#include "pal/thread/thread.h"

namespace {

THDMSG_RECORD Msg(UINT message, WPARAM w = 0) {
    THDMSG_RECORD r;
    r.message = message;
    r.wParam = w;
    return r;
}

}  // namespace

TEST(ThdMsgQueue, OnlyReceivedRecordsCountAgainstTheLimit) {
    CThdMsgQueue q(3);
    q.Open();
    q.SetOwnerThread(12345);  // another thread: this one posts as a stranger
    for (int i = 0; i < 3; ++i) EXPECT_EQ(q.Post(Msg(53)), CThdMsgQueue::POSTED);
    EXPECT_EQ(q.Post(Msg(53)), CThdMsgQueue::FULL);
    // Control messages still get in, or a flood could cost a stop or a re-connection.
    EXPECT_EQ(q.Post(Msg(3)), CThdMsgQueue::POSTED);
    EXPECT_EQ(q.Post(Msg(101)), CThdMsgQueue::POSTED);
    EXPECT_EQ(q.PostDelayed(Msg(53), 10), CThdMsgQueue::FULL);
    // The owner's own posts are never refused.
    q.SetOwnerThread(GetCurrentThreadId());
    EXPECT_EQ(q.Post(Msg(53)), CThdMsgQueue::POSTED);
    EXPECT_EQ(q.Size(), 6u);
}

TEST(ThdMsgQueue, DelayedPostsJoinTheLineWhenDueAndCloseReturnsTheRest) {
    CThdMsgQueue q;
    q.Open();
    q.SetOwnerThread(GetCurrentThreadId());
    q.PostDelayed(Msg(8, 2), 120);
    q.PostDelayed(Msg(8, 1), 60);
    q.PostDelayed(Msg(3, 9), 60000);
    q.Post(Msg(1));
    THDMSG_RECORD r;
    ASSERT_TRUE(q.Get(r));
    EXPECT_EQ(r.message, 1u);
    ASSERT_TRUE(q.Get(r));
    EXPECT_EQ(r.wParam, 1u);
    ASSERT_TRUE(q.Get(r));
    EXPECT_EQ(r.wParam, 2u);
    q.Post(Msg(5));
    auto left = q.Close();
    ASSERT_EQ(left.size(), 2u);  // the queued one and the one still delayed
    EXPECT_EQ(q.Post(Msg(5)), CThdMsgQueue::CLOSED);
    EXPECT_FALSE(q.Get(r));
}

TEST(ThdMsgQueue, CloseWakesATakerThatWaits) {
    CThdMsgQueue q;
    q.Open();
    bool got = true;
    std::thread taker([&] {
        THDMSG_RECORD r;
        got = q.Get(r);
    });
    Sleep(50);
    q.Close();
    taker.join();
    EXPECT_FALSE(got);
}
