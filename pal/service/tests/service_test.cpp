// In-process checks: argument errors without a dispatcher, the test hook, the socket
// answer format and the notification text.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "pal/service/notify.h"
#include "pal/service/service.h"
#include "pal/service/wire.h"
#include "tests/support/child_process.h"

namespace {

void WINAPI NoMain(DWORD, LPSTR*) {}
void WINAPI NoHandler(DWORD) {}

TEST(ServiceApi, ArgumentErrorsWithoutADispatcher) {
    SetLastError(0);
    EXPECT_FALSE(StartServiceCtrlDispatcherA(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SERVICE_TABLE_ENTRYA empty[] = {{nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(empty));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    char name[] = "NoProc";
    SERVICE_TABLE_ENTRYA noProc[] = {{name, nullptr}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(noProc));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    char slash[] = "a/b";
    SERVICE_TABLE_ENTRYA badName[] = {{slash, NoMain}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(badName));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));

    EXPECT_EQ(RegisterServiceCtrlHandlerA("Mordane", NoHandler), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    EXPECT_FALSE(SetServiceStatus(nullptr, &s));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5c00), &s));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Call numbers count from the process's first call, so the counting runs in a child.
VQ_CHILD(fail_hook) {
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    std::string errors;
    for (int i = 0; i < 4; ++i) {
        SetServiceStatus(nullptr, &s);
        errors += std::to_string(GetLastError()) + " ";
    }
    vqtest::Tell(errors);
    return 0;
}

TEST(ServiceApi, FailHookFailsTheChosenCalls) {
    setenv("VQ_SERVICE_FAIL_STATUS", "2", 1);
    vqtest::ChildProcess one("fail_hook");
    setenv("VQ_SERVICE_FAIL_STATUS", "3-", 1);
    vqtest::ChildProcess from("fail_hook");
    unsetenv("VQ_SERVICE_FAIL_STATUS");
    EXPECT_EQ(one.ReadLine(), "6 13 6 6 ");
    EXPECT_EQ(from.ReadLine(), "6 6 13 13 ");
    EXPECT_EQ(one.Wait(), 0);
    EXPECT_EQ(from.Wait(), 0);
}

TEST(ServiceApi, ControlOfAServiceThatIsNotRunning) {
    SERVICE_STATUS s;
    DWORD error = 0;
    EXPECT_FALSE(pal::service::SendControl("Mordane", SERVICE_CONTROL_STOP, s, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_FALSE(pal::service::SendControl("", pal::service::kQuery, s, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_FALSE(pal::service::SendControl("Mordane", SERVICE_CONTROL_SHUTDOWN, s, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(ServiceWire, AnswersRoundTripAndJunkIsRejected) {
    using namespace pal::service::detail;
    SERVICE_STATUS in{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 5, 1066, 0xFFFFFFFFu, 7, 30000};
    std::string line = EncodeReply(1061, in, 4242);
    ASSERT_EQ(line.back(), '\n');
    DWORD error = 0;
    SERVICE_STATUS out{};
    pid_t pid = 0;
    ASSERT_TRUE(ParseReply(line, error, out, pid));
    EXPECT_EQ(error, 1061u);
    EXPECT_EQ(std::memcmp(&in, &out, sizeof in), 0);
    EXPECT_EQ(pid, 4242);
    for (const char* junk : {"", "0 1 2 3 4 5 6 7", "0 1 2 3 4 5 6 7 8 9", "0 1 2 3 4 -5 6 7 8", "0 1 2 x 4 5 6 7 8",
                             "0 1 2 3 4 5 6 7 4294967296"})
        EXPECT_FALSE(ParseReply(junk, error, out, pid)) << junk;
}

TEST(ServiceWire, SocketAddresses) {
    using namespace pal::service;
    EXPECT_EQ(ControlSocketPath("MorDane"), ControlSocketPath("mordane"));

    // A path too long for sun_path becomes an abstract name, stable and distinct per path.
    sockaddr_un a, b, a2;
    socklen_t la, lb, la2;
    std::string longPath(200, 'x');
    detail::MakeAddress("/" + longPath + "a", a, la);
    detail::MakeAddress("/" + longPath + "a", a2, la2);
    detail::MakeAddress("/" + longPath + "b", b, lb);
    EXPECT_EQ(a.sun_path[0], '\0');
    EXPECT_EQ(la, la2);
    EXPECT_EQ(std::memcmp(&a, &a2, la), 0);
    EXPECT_NE(std::memcmp(&a, &b, la), 0);
}

TEST(ServiceNotify, MessageFields) {
    using pal::service::detail::NotifyMessage;
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, 42, 0, 0};
    EXPECT_EQ(NotifyMessage("Mordane", s, false, true),
              "STOPPING=1\nSTATUS=Mordane: stopped (exit code 1066, service code 42)\n");
    s = {SERVICE_WIN32_OWN_PROCESS, SERVICE_CONTINUE_PENDING, 0, 0, 0, 2, 1500};
    EXPECT_EQ(NotifyMessage("M", s, false, false),
              "STATUS=M: continue pending (checkpoint 2)\nEXTEND_TIMEOUT_USEC=1500000\n");
}

}  // namespace
