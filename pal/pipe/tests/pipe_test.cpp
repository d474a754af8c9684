// Opening, connecting, data in both modes, peeking and the results callers rely on, with
// server and client in this process.
#include <stdlib.h>

#include <cstring>
#include <thread>

#include "pal/pipe/tests/pipe_test_util.h"

using namespace pipetest;

namespace {

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// Reads once with a buffer of size; "<error N>" on failure, "+" appended for ERROR_MORE_DATA.
std::string ReadOnce(HANDLE h, DWORD size) {
    std::string buf(size, '\0');
    Async a;
    DWORD n = 0;
    BOOL ok = ReadFile(h, buf.data(), size, &n, &a.ov);
    DWORD e = ok ? 0 : GetLastError();
    if (e == ERROR_IO_PENDING) {
        long r = a.Result(h);
        e = r < 0 ? static_cast<DWORD>(-r) : 0;
        DWORD got = 0;
        GetOverlappedResult(h, &a.ov, &got, TRUE);
        n = got;
    }
    if (e && e != ERROR_MORE_DATA) return "<error " + std::to_string(e) + ">";
    return buf.substr(0, n) + (e == ERROR_MORE_DATA ? "+" : "");
}

struct Pair {
    HANDLE server = INVALID_HANDLE_VALUE, client = INVALID_HANDLE_VALUE;
    ~Pair() {
        if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
        if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
    }
};

void Connect(Pair& p, const std::string& name, DWORD pipeMode) {
    p.server = Serve(name, pipeMode);
    ASSERT_NE(p.server, INVALID_HANDLE_VALUE) << GetLastError();
    p.client = Open(name);
    ASSERT_NE(p.client, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(AwaitClient(p.server));
}

}  // namespace

TEST(PipeOpenTest, OpeningReportsMissingBusyAndRemoteServers) {
    const std::string name = UniqueName("open");
    EXPECT_EQ(OpenError(name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE server = Serve(name, PIPE_TYPE_BYTE, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 1);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    DWORD type = 0;
    EXPECT_EQ(GetFileType(server), static_cast<DWORD>(FILE_TYPE_PIPE));
    // Names do not depend on case, neither "PIPE" nor the name itself.
    const std::string shouted = "\\\\.\\PIPE\\" + Upper(name.substr(9));
    HANDLE client = Open(shouted);
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(OpenError(name), static_cast<DWORD>(ERROR_PIPE_BUSY));  // the one instance is taken
    EXPECT_TRUE(GetNamedPipeInfo(client, &type, nullptr, nullptr, nullptr));
    EXPECT_EQ(type, static_cast<DWORD>(PIPE_CLIENT_END | PIPE_TYPE_BYTE));
    CloseHandle(client);

    // "\\SERVER\PIPE\x" is this machine's pipe when SERVER is this computer's name.
    setenv("VQ_COMPUTERNAME", "pipehost", 1);
    ASSERT_TRUE(DisconnectNamedPipe(server));
    Async listening;
    ASSERT_FALSE(ConnectNamedPipe(server, &listening.ov));
    HANDLE viaName = Open("\\\\PipeHost\\pipe\\" + name.substr(9));
    EXPECT_NE(viaName, INVALID_HANDLE_VALUE) << GetLastError();
    if (viaName != INVALID_HANDLE_VALUE) CloseHandle(viaName);
    EXPECT_EQ(OpenError("\\\\otherhost\\pipe\\" + name.substr(9)), static_cast<DWORD>(ERROR_BAD_NETPATH));
    EXPECT_FALSE(WaitNamedPipeA(("\\\\otherhost\\PIPE\\" + name.substr(9)).c_str(), 10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
    unsetenv("VQ_COMPUTERNAME");
    CloseHandle(server);

    // Once the last instance closed, the name is gone.
    EXPECT_EQ(OpenError(name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(PipeOpenTest, CreateChecksNamesModesAndInstances) {
    const std::string name = UniqueName("create");
    EXPECT_EQ(CreateNamedPipeA("\\\\.\\notpipe\\x", PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(CreateNamedPipeA("\\\\host\\pipe\\x", PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(Serve(name, PIPE_TYPE_BYTE | PIPE_READMODE_MESSAGE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Serve(name, PIPE_TYPE_BYTE | PIPE_NOWAIT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE first = Serve(name, PIPE_TYPE_BYTE, PIPE_ACCESS_DUPLEX, 2);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Serve(name, PIPE_TYPE_BYTE, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Serve(name, PIPE_TYPE_MESSAGE, PIPE_ACCESS_DUPLEX), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE second = Serve(Upper(name), PIPE_TYPE_BYTE, PIPE_ACCESS_DUPLEX, 2);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Serve(name, PIPE_TYPE_BYTE, PIPE_ACCESS_DUPLEX, 2), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    CloseHandle(first);
    CloseHandle(second);
}

TEST(PipeOpenTest, LongAndUnusualNamesWork) {
    // Too long for a socket address as it stands (hashed), and characters a file name
    // cannot hold as they are.
    for (const std::string& name : {UniqueName("long") + std::string(300, 'x'), UniqueName("odd\\sub dir/..\\%h")}) {
        HANDLE server = Serve(name);
        ASSERT_NE(server, INVALID_HANDLE_VALUE) << name << " " << GetLastError();
        HANDLE client = Open(Upper(name));
        ASSERT_NE(client, INVALID_HANDLE_VALUE) << name << " " << GetLastError();
        ASSERT_TRUE(AwaitClient(server));
        EXPECT_TRUE(WriteAll(client, "ok"));
        EXPECT_EQ(ReadExactly(server, 2), "ok");
        CloseHandle(client);
        CloseHandle(server);
        EXPECT_EQ(OpenError(name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

TEST(PipeOpenTest, DirectionsLimitAccess) {
    const std::string name = UniqueName("inbound");
    HANDLE server = Serve(name, PIPE_TYPE_BYTE, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE both = Open(name);
    EXPECT_EQ(both, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE writer = Open(name, FILE_FLAG_OVERLAPPED, GENERIC_WRITE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(AwaitClient(server));
    DWORD n = 0;
    char c = 0;
    EXPECT_FALSE(ReadFile(writer, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(WriteFile(server, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(WriteAll(writer, "in"));
    EXPECT_EQ(ReadExactly(server, 2), "in");
    CloseHandle(writer);
    CloseHandle(server);
}

TEST(PipeConnectTest, ConnectReportsClientsThatCameFirst) {
    const std::string name = UniqueName("connect");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadFile(server, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_LISTENING));

    // A client that came before ConnectNamedPipe: 535, and the connection works.
    HANDLE client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    Async a;
    EXPECT_FALSE(ConnectNamedPipe(server, &a.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
    EXPECT_TRUE(WriteAll(client, "hello"));
    EXPECT_EQ(ReadExactly(server, 5), "hello");

    // Disconnect: the client is told so, and the instance serves the next client.
    ASSERT_TRUE(DisconnectNamedPipe(server));
    EXPECT_EQ(ReadOnce(client, 10), "<error 233>");
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(client, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED));
    CloseHandle(client);
    EXPECT_EQ(OpenError(name), static_cast<DWORD>(ERROR_PIPE_BUSY));  // not listening until Connect

    // A pending connect completes when the client arrives.
    Async b;
    EXPECT_FALSE(ConnectNamedPipe(server, &b.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(b.Signalled(50));
    EXPECT_EQ(b.Result(server, false), -static_cast<long>(ERROR_IO_INCOMPLETE));
    client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(b.Signalled(10000));
    EXPECT_EQ(b.Result(server), 0);
    EXPECT_TRUE(WriteAll(server, "again"));
    EXPECT_EQ(ReadExactly(client, 5), "again");

    CloseHandle(client);
    CloseHandle(server);

    // A client that came and went before ConnectNamedPipe: 232.
    server = Serve(name);
    client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    CloseHandle(client);
    Async d;
    EXPECT_FALSE(ConnectNamedPipe(server, &d.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
    CloseHandle(server);
}

TEST(PipeConnectTest, ClosingOneEndBreaksTheOther) {
    const std::string name = UniqueName("broken");
    {
        Pair p;
        Connect(p, name, PIPE_TYPE_BYTE);
        ASSERT_TRUE(WriteAll(p.server, "last words"));
        CloseHandle(p.server);
        p.server = INVALID_HANDLE_VALUE;
        EXPECT_EQ(ReadOnce(p.client, 100), "last words");  // what was sent still arrives
        EXPECT_EQ(ReadOnce(p.client, 100), "<error 109>");
        DWORD n = 0;
        EXPECT_FALSE(WriteFile(p.client, "x", 1, &n, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
        DWORD avail = 0;
        EXPECT_FALSE(PeekNamedPipe(p.client, nullptr, 0, nullptr, &avail, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    }
    {
        Pair p;
        Connect(p, name, PIPE_TYPE_BYTE);
        CloseHandle(p.client);
        p.client = INVALID_HANDLE_VALUE;
        EXPECT_EQ(ReadOnce(p.server, 100), "<error 109>");
    }
}

TEST(PipeWaitTest, WaitNamedPipeWaitsForAFreeInstance) {
    const std::string name = UniqueName("wait");
    EXPECT_FALSE(WaitNamedPipeA(name.c_str(), 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE server = Serve(name, PIPE_TYPE_BYTE, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 1);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WaitNamedPipeA(name.c_str(), NMPWAIT_USE_DEFAULT_WAIT));
    HANDLE client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WaitNamedPipeA(name.c_str(), 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));

    // The instance comes free while a waiter waits.
    std::thread freer([&] {
        Sleep(200);
        CloseHandle(client);
        DisconnectNamedPipe(server);
        Async a;
        ConnectNamedPipe(server, &a.ov);
        CancelIoEx(server, &a.ov);
        a.Result(server);
    });
    EXPECT_TRUE(WaitNamedPipeA(name.c_str(), NMPWAIT_WAIT_FOREVER));
    freer.join();
    client = Open(name);
    EXPECT_NE(client, INVALID_HANDLE_VALUE);
    CloseHandle(client);
    CloseHandle(server);
}

TEST(PipeDataTest, ByteModeReadsWhatHasArrived) {
    Pair p;
    Connect(p, UniqueName("bytes"), PIPE_TYPE_BYTE | PIPE_READMODE_BYTE);
    ASSERT_TRUE(WriteAll(p.client, "abc"));
    EXPECT_EQ(ReadOnce(p.server, 100), "abc");  // no waiting for a full buffer
    ASSERT_TRUE(WriteAll(p.client, "0123456789"));
    ASSERT_TRUE(WriteAll(p.client, "xy"));
    EXPECT_EQ(ReadOnce(p.server, 4), "0123");
    EXPECT_EQ(ReadOnce(p.server, 4), "4567");
    EXPECT_EQ(ReadOnce(p.server, 100), "89xy");  // writes run together in byte mode
    DWORD mode = PIPE_READMODE_MESSAGE;
    EXPECT_FALSE(SetNamedPipeHandleState(p.client, &mode, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(p.client, "", 0, &n, nullptr));  // nothing to send
}

TEST(PipeDataTest, MessageModeKeepsMessagesAndReportsMoreData) {
    Pair p;
    Connect(p, UniqueName("messages"), PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    // The client starts in byte read mode.
    ASSERT_TRUE(WriteAll(p.server, "abc"));
    ASSERT_TRUE(WriteAll(p.server, "defg"));
    Sleep(50);
    EXPECT_EQ(ReadOnce(p.client, 100), "abcdefg");
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(p.client, &mode, nullptr, nullptr));

    ASSERT_TRUE(WriteAll(p.server, "abc"));
    ASSERT_TRUE(WriteAll(p.server, "defg"));
    ASSERT_TRUE(WriteAll(p.server, ""));
    EXPECT_EQ(ReadOnce(p.client, 100), "abc");
    EXPECT_EQ(ReadOnce(p.client, 100), "defg");
    EXPECT_EQ(ReadOnce(p.client, 100), "");  // an empty message is a message

    // A 600-byte message read in 256-byte pieces: 234, 234, then the rest.
    std::string big(600, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(WriteAll(p.client, big));
    ASSERT_TRUE(WriteAll(p.client, "next"));
    std::string whole;
    for (const char* expect : {"+", "+", ""}) {
        std::string piece = ReadOnce(p.server, 256);
        ASSERT_FALSE(piece.empty());
        const bool more = piece.back() == '+';
        EXPECT_EQ(more, *expect == '+');
        whole += more ? piece.substr(0, piece.size() - 1) : piece;
    }
    EXPECT_EQ(whole, big);
    EXPECT_EQ(ReadOnce(p.server, 256), "next");

    // An overlapped read that waits for the message reports 234 through GetOverlappedResult.
    char buf[4];
    Async a;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(p.client, buf, sizeof buf, &n, &a.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(WriteAll(p.server, "123456"));
    EXPECT_FALSE(GetOverlappedResult(p.client, &a.ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buf, 4), "1234");
    EXPECT_EQ(ReadOnce(p.client, 100), "56");
}

TEST(PipeDataTest, PeekNeitherBlocksNorConsumes) {
    Pair p;
    Connect(p, UniqueName("peek"), PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    char buf[16] = {};
    DWORD read = 99, avail = 99, left = 99;
    ASSERT_TRUE(PeekNamedPipe(p.server, buf, sizeof buf, &read, &avail, &left));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(avail, 0u);
    EXPECT_EQ(left, 0u);

    ASSERT_TRUE(WriteAll(p.client, "first message"));
    ASSERT_TRUE(WriteAll(p.client, "second"));
    Sleep(50);
    ASSERT_TRUE(PeekNamedPipe(p.server, buf, 5, &read, &avail, &left));
    EXPECT_EQ(std::string(buf, read), "first");
    EXPECT_EQ(avail, 19u);
    EXPECT_EQ(left, 8u);  // of the first message, beyond what was peeked
    ASSERT_TRUE(PeekNamedPipe(p.server, nullptr, 0, nullptr, &avail, nullptr));
    EXPECT_EQ(avail, 19u);
    EXPECT_EQ(ReadOnce(p.server, 100), "first message");
    ASSERT_TRUE(PeekNamedPipe(p.server, buf, sizeof buf, &read, &avail, &left));
    EXPECT_EQ(std::string(buf, read), "second");
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(ReadOnce(p.server, 100), "second");
}
