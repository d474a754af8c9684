// CreateFile: dispositions, access, path mapping, device names and share modes (within
// this process and against a real child process).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "pal/core/root.h"
#include "pal/file/device_hook.h"
#include "pal/file/tests/file_test_util.h"
#include "tests/support/child_process.h"

using namespace filetest;

namespace {

// Opens args[0] read-write without sharing and holds it until killed.
VQ_CHILD(file_hold_unshared) {
    HANDLE h = Open(args.at(0), kReadWrite, 0, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) {
        vqtest::Tell("error " + std::to_string(GetLastError()));
        return 1;
    }
    vqtest::Tell("ready");
    for (;;) pause();
}

// Tries to open args[0] for reading with full sharing and reports the outcome.
VQ_CHILD(file_try_open) {
    HANDLE h = Open(args.at(0), GENERIC_READ, kShareAll, OPEN_EXISTING);
    vqtest::Tell(h == INVALID_HANDLE_VALUE ? std::to_string(GetLastError()) : "opened");
    return 0;
}

// Opens and closes again; tells the last error and the size seen, or the failure.
std::string Outcome(const std::string& p, DWORD access, DWORD disposition, DWORD flags = 0) {
    SetLastError(1234);
    HANDLE h = Open(p, access, 0, disposition, flags);
    if (h == INVALID_HANDLE_VALUE) return "fail " + std::to_string(GetLastError());
    const std::string error = std::to_string(GetLastError());
    const std::string r = error + " size " + std::to_string(GetFileSize(h, nullptr));
    CloseHandle(h);
    return r;
}

TEST(CreateFileTest, DispositionsAndTheirLastErrors) {
    const std::string p = InDir("a.txt");
    EXPECT_EQ(Outcome(p, GENERIC_READ, OPEN_EXISTING), "fail 2");
    EXPECT_EQ(Outcome(p, GENERIC_WRITE, TRUNCATE_EXISTING), "fail 2");
    for (DWORD disposition : {OPEN_EXISTING, CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS})
        EXPECT_EQ(Outcome(InDir("missing\\a.txt"), kReadWrite, disposition), "fail 3") << disposition;

    EXPECT_EQ(Outcome(p, kReadWrite, CREATE_NEW), "0 size 0");
    WriteText(p, "hello");
    EXPECT_EQ(Outcome(p, kReadWrite, CREATE_NEW), "fail 80");
    EXPECT_EQ(Outcome(p, GENERIC_READ, OPEN_ALWAYS), "183 size 5");
    EXPECT_EQ(Outcome(p, GENERIC_READ, OPEN_EXISTING), "0 size 5");
    EXPECT_EQ(Outcome(p, GENERIC_READ, TRUNCATE_EXISTING), "fail 87");  // needs write access
    EXPECT_EQ(Outcome(p, GENERIC_WRITE, TRUNCATE_EXISTING), "0 size 0");
    WriteText(p, "hello");
    EXPECT_EQ(Outcome(p, GENERIC_WRITE, CREATE_ALWAYS), "183 size 0");
    EXPECT_EQ(Outcome(InDir("new1"), GENERIC_WRITE, OPEN_ALWAYS), "0 size 0");
    EXPECT_EQ(Outcome(InDir("new2"), GENERIC_WRITE, CREATE_ALWAYS), "0 size 0");
    EXPECT_EQ(Outcome(p, GENERIC_READ, 0), "fail 87");
    EXPECT_EQ(Outcome(InDir("a*.txt"), GENERIC_READ, OPEN_ALWAYS), "fail 123");

    // Directories open only with backup semantics, and then not for data.
    EXPECT_EQ(Outcome(TestDir(), GENERIC_READ, OPEN_EXISTING), "fail 5");
    HANDLE d = Open(TestDir(), GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(d, INVALID_HANDLE_VALUE);
    char c;
    DWORD n;
    EXPECT_FALSE(ReadFile(d, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    CloseHandle(d);
}

TEST(CreateFileTest, AccessRightsGateEachOperation) {
    const std::string p = InDir("f.bin");
    WriteText(p, "data");
    char buf[8];
    DWORD n = 0;
    HANDLE r = Open(p, GENERIC_READ, kShareAll, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(r, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetEndOfFile(r));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(r);
    HANDLE w = Open(p, GENERIC_WRITE, kShareAll, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(w, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(w);

    // The read-only attribute turns writers away but not readers, nor its creator.
    const std::string ro = InDir("ro.txt");
    HANDLE h = Open(ro, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    CloseHandle(h);
    EXPECT_TRUE(GetFileAttributesA(ro.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Outcome(ro, GENERIC_WRITE, OPEN_EXISTING), "fail 5");
    EXPECT_EQ(Outcome(ro, GENERIC_READ, OPEN_EXISTING), "0 size 1");
}

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(PathMappingTest, DrivesAndCaseMapIntoTheMachineRoot) {
    const std::string dir = TestDir();  // "C:\PathMappingTest_..."
    const std::string linuxDir = pal::core::RootDir() + "/drive_c/" + dir.substr(3);
    WriteText(dir + "\\Report.TXT", "same file");
    struct stat st{};
    EXPECT_EQ(stat((linuxDir + "/Report.TXT").c_str(), &st), 0);
    EXPECT_EQ(ReadText(Lower(dir) + "\\report.txt"), "same file");
    EXPECT_EQ(ReadText("C:/" + dir.substr(3) + "/./x/../REPORT.txt"), "same file");
    EXPECT_EQ(ReadText(dir + "\\Report.TXT. "), "same file");  // trailing dots and blanks drop

    HANDLE a = Open(dir + "\\Report.TXT", GENERIC_READ, kShareAll, OPEN_EXISTING);
    HANDLE b = Open(Lower(dir) + "\\REPORT.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    ASSERT_TRUE(GetFileInformationByHandle(a, &ia));
    ASSERT_TRUE(GetFileInformationByHandle(b, &ib));
    EXPECT_EQ(ia.nFileIndexLow, ib.nFileIndexLow);
    EXPECT_EQ(ia.nFileIndexHigh, ib.nFileIndexHigh);
    CloseHandle(a);
    CloseHandle(b);

    // A drive other than C: exists once its folder does.
    const std::string other = "d:" + dir.substr(2);
    std::filesystem::remove_all(pal::core::RootDir() + "/drive_d");
    EXPECT_FALSE(CreateDirectoryA(other.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(std::filesystem::exists(pal::core::RootDir() + "/drive_d")) << "a failed call made the drive";
    ASSERT_TRUE(std::filesystem::create_directory(pal::core::RootDir() + "/drive_d"));
    ASSERT_TRUE(CreateDirectoryA(other.c_str(), nullptr));
    WriteText("D:" + dir.substr(2) + "\\x.bin", "d");
    EXPECT_EQ(stat((pal::core::RootDir() + "/drive_d/" + dir.substr(3) + "/x.bin").c_str(), &st), 0);
}

// A stand-in device that answers one control code and reads a fixed text.
class EchoDevice : public pal::IoObject {
public:
    explicit EchoDevice(std::string name) : name_(std::move(name)) {}
    BOOL Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED*) override {
        *done = std::min<DWORD>(size, static_cast<DWORD>(name_.size()));
        memcpy(buffer, name_.data(), *done);
        return TRUE;
    }
    BOOL IoControl(DWORD code, const void*, DWORD, void*, DWORD, DWORD* returned, OVERLAPPED*) override {
        *returned = code;
        return TRUE;
    }
private:
    std::string name_;
};

TEST(DevicePathTest, OpensGoToTheRegisteredProvider) {
    EXPECT_EQ(Outcome("\\\\.\\TestDev1", kReadWrite, OPEN_EXISTING), "fail 2");
    auto opener = [](const char* tag) {
        return [tag](const pal::DeviceOpenRequest& r, DWORD& error) -> std::shared_ptr<pal::IoObject> {
            if (r.disposition != OPEN_EXISTING) {
                error = ERROR_INVALID_PARAMETER;
                return nullptr;
            }
            return std::make_shared<EchoDevice>(std::string(tag) + ":" + r.name);
        };
    };
    pal::RegisterDeviceOpener("TestDev*", opener("prefix"));
    pal::RegisterDeviceOpener("TestDev1", opener("exact"));
    auto readName = [](const char* path) {
        HANDLE h = Open(path, kReadWrite, 0, OPEN_EXISTING);
        char buf[64];
        DWORD n = 0;
        std::string r = ReadFile(h, buf, sizeof buf, &n, nullptr) ? std::string(buf, n) : "<error>";
        if (!DeviceIoControl(h, 0x222004, nullptr, 0, nullptr, 0, &n, nullptr) || n != 0x222004) r += "<ioctl>";
        CloseHandle(h);
        return r;
    };
    EXPECT_EQ(readName("\\\\.\\testdev7"), "prefix:testdev7");
    EXPECT_EQ(readName("\\\\.\\TESTDEV1"), "exact:TESTDEV1");  // the exact name wins
    EXPECT_EQ(Outcome("\\\\.\\TestDev2", kReadWrite, CREATE_NEW), "fail 87");
    pal::RegisterDeviceOpener("TestDev*", nullptr);
    pal::RegisterDeviceOpener("TestDev1", nullptr);
    EXPECT_EQ(Outcome("\\\\.\\TestDev1", kReadWrite, OPEN_EXISTING), "fail 2");
}

// "\\SERVER\PIPE\x" goes to the pipe provider, which is told SERVER; other UNC paths stay files.
TEST(DevicePathTest, PipePathsOfANamedServerGoToTheProvider) {
    pal::RegisterDeviceOpener("PIPE\\ZZDEV*", [](const pal::DeviceOpenRequest& r, DWORD&) {
        return std::make_shared<EchoDevice>(r.server + "|" + r.name);
    });
    auto readName = [](const char* path) {
        HANDLE h = Open(path, kReadWrite, 0, OPEN_EXISTING);
        if (h == INVALID_HANDLE_VALUE) return "fail " + std::to_string(GetLastError());
        char buf[64];
        DWORD n = 0;
        std::string r = ReadFile(h, buf, sizeof buf, &n, nullptr) ? std::string(buf, n) : "<error>";
        CloseHandle(h);
        return r;
    };
    EXPECT_EQ(readName("\\\\.\\pipe\\zzdev1"), ".|pipe\\zzdev1");
    EXPECT_EQ(readName("\\\\Some-PC\\PIPE\\zzdev2"), "Some-PC|PIPE\\zzdev2");
    EXPECT_EQ(readName("\\\\Some-PC\\share\\zzdev3"), "fail 3");  // a file path, as before
    EXPECT_EQ(readName("\\\\Some-PC\\pipex\\zzdev4"), "fail 3");
    pal::RegisterDeviceOpener("PIPE\\ZZDEV*", nullptr);
}

TEST(ShareModeTest, OpensConflictWithinTheProcess) {
    const std::string p = InDir("shared.txt");
    WriteText(p, "keep");
    struct Case {
        DWORD access1, share1, access2, share2;
        bool ok;
    };
    const Case cases[] = {
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, false},  // first does not share writing
        {GENERIC_READ, kShareAll, GENERIC_READ, FILE_SHARE_WRITE, false},  // second does not share reading
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {kReadWrite, 0, FILE_READ_ATTRIBUTES, 0, true},  // attribute-only opens never conflict
        {GENERIC_READ, FILE_SHARE_READ, DELETE, kShareAll, false},
    };
    for (const auto& c : cases) {
        HANDLE first = Open(p, c.access1, c.share1, OPEN_EXISTING);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        HANDLE second = Open(p, c.access2, c.share2, OPEN_EXISTING);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.ok)
            << std::hex << c.access1 << "/" << c.share1 << " then " << c.access2 << "/" << c.share2;
        if (second == INVALID_HANDLE_VALUE)
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        else
            CloseHandle(second);
        CloseHandle(first);
    }

    // A refused CREATE_ALWAYS leaves the file untouched; closing the holder frees it.
    HANDLE holder = Open(p, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(Open(p, GENERIC_WRITE, kShareAll, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadText(p), "keep");
    CloseHandle(holder);
    HANDLE h = Open(p, GENERIC_WRITE, 0, OPEN_EXISTING);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST(ShareModeTest, ChildProcessHoldsTheFileUntilKilled) {
    const std::string p = InDir("held.txt");
    vqtest::ChildProcess child("file_hold_unshared", {p});
    ASSERT_TRUE(child.Expect("ready"));
    EXPECT_EQ(Open(p, GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    child.Kill(SIGKILL);
    child.Wait();
    HANDLE h = Open(p, GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    // And the other way round: the child sees this process's open.
    vqtest::ChildProcess prober("file_try_open", {p});
    EXPECT_EQ(prober.ReadLine(), std::to_string(ERROR_SHARING_VIOLATION));
    prober.Wait();
    CloseHandle(h);
}

}  // namespace
