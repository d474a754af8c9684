#include <gtest/gtest.h>

#include <string>

#include "framework/vqbexception.h"
#include "framework/vqbobj.h"
#include "tests/support/child_process.h"

namespace {

class Probe : public CVQBObj {
public:
    using CVQBObj::PrintfE;
    using CVQBObj::PrintfS;
    using CVQBObj::SetTarget;
};

TEST(CVQBObjTest, SetResultDiffersBetweenIntAndLong) {
    Probe p;
    EXPECT_EQ(p.SetResult(-5L), 0);
    EXPECT_EQ(p.IsError(), 1);
    EXPECT_EQ(p.SetResult(-5), -5);
    EXPECT_EQ(p.IsError(), 0);  // only 0 counts as failure
}

TEST(CVQBObjTest, PrintfSetsCodeAndResult) {
    Probe p;
    EXPECT_EQ(p.PrintfE(5, "open %s failed", "x"), 0);
    EXPECT_STREQ(p.GetErrorMsg(), "open x failed");
    EXPECT_EQ(p.GetErrorCode(), 5);
    EXPECT_EQ(p.IsSuccess(), 0);
    EXPECT_EQ(p.PrintfS(5, nullptr), 1);
    EXPECT_STREQ(p.GetErrorMsg(), "");
    EXPECT_EQ(p.GetErrorCode(), 5);
    EXPECT_EQ(p.IsSuccess(), 1);
}

TEST(CVQBObjTest, ClearErrorKeepsTargetAndIdClearResetsAll) {
    Probe p;
    p.SetTarget("CX::Y");
    p.SetIdCode(42);
    p.PrintfE(3, "bad");
    p.ClearError();
    EXPECT_STREQ(p.GetTarget(), "CX::Y");
    EXPECT_EQ(p.GetIdCode(), 42);
    EXPECT_EQ(p.GetErrorCode(), 0);
    EXPECT_EQ(p.GetErrorMsgSize(), 0);
    p.Clear();
    EXPECT_STREQ(p.GetTarget(), "");
    EXPECT_EQ(p.GetIdCode(), 0);
}

TEST(CVQBExceptionTest, MessageJoinsFunctionAndDetail) {
    CVQBException with("EPS_File", "CVQBFile::Rename", "a.txt, b.txt");
    EXPECT_STREQ(with.GetErrMsg(), "CVQBFile::Rename a.txt, b.txt");
    EXPECT_STREQ(with.GetPlace(), "EPS_File");
    CVQBException without("EPS_File", nullptr, "detail only", "Op", "t1");
    EXPECT_STREQ(without.GetErrMsg(), "detail only");
    EXPECT_STREQ(without.GetFuncName(), "");
    EXPECT_STREQ(without.GetOperation(), "Op");
    EXPECT_STREQ(without.GetTarget1(), "t1");
    EXPECT_STREQ(without.GetTarget2(), "");
}

// The stop signal stays set for the life of a process, so it is tried in a child.
VQ_CHILD(stop_signal) {
    try {
        CVQBException::ThrowStopExceptionIfRequired(0);
    } catch (...) {
        return 1;
    }
    if (CVQBException::IsStopSignal() != 0) return 2;
    CVQBException::SetStopSignal();
    if (CVQBException::IsStopSignal() != 1) return 3;
    try {
        CVQBException::ThrowStopExceptionIfRequired(0);
    } catch (const CVQBException& e) {
        return std::string(e.GetPlace()) == "EPS_StopRequest" &&
                       std::string(e.GetErrMsg()) == "It ends by StopException."
                   ? 0
                   : 4;
    }
    return 5;
}

TEST(CVQBExceptionTest, StopSignalTurnsIntoStopRequest) {
    vqtest::ChildProcess child("stop_signal");
    EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
