#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "pal/core/root.h"
#include "pal/error/error.h"
#include "pal/handle/handle.h"
#include "pal/map/map.h"
#include "pal/sync/sync.h"
#include "tests/support/child_process.h"

namespace {

// Number of blocks backing mappings in this machine root.
int BlockFiles() {
    int n = 0;
    if (DIR* d = opendir((pal::core::StateDir() + "/map").c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

HANDLE Create(const char* name, DWORD size) {
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
}

// A call that fails (null or FALSE) with the given last error.
#define EXPECT_FAILS(call, code)                                      \
    do {                                                              \
        EXPECT_TRUE(!(call));                                         \
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(code)) << #call; \
    } while (0)

uint64_t SizeOf(HANDLE h) {
    uint64_t size = 0;
    EXPECT_TRUE(pal::GetMappingSize(h, &size));
    return size;
}

}  // namespace

TEST(Mapping, CreateAgainOpensTheSameZeroFilledBlock) {
    HANDLE a = Create("Blk", 5000);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    auto* p = static_cast<unsigned char*>(MapViewOfFile(a, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(p[i], 0) << i;
    std::memcpy(p + 4990, "last bytes", 10);

    HANDLE b = Create("Blk", 5000);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    auto* q = static_cast<char*>(MapViewOfFile(b, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::memcmp(q + 4990, "last bytes", 10), 0);
    q[0] = 'x';
    EXPECT_EQ(p[0], 'x');
    EXPECT_EQ(SizeOf(b), 5000u);
    // "Global\" names the same object.
    HANDLE c = OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\Blk");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(SizeOf(c), 5000u);

    UnmapViewOfFile(p);
    UnmapViewOfFile(q);
    for (HANDLE h : {a, b, c}) CloseHandle(h);
}

TEST(Mapping, LargerRequestGetsTheExistingBlock) {
    HANDLE a = Create("Small", 100);
    HANDLE b = Create("Small", 200000);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(SizeOf(b), 100u);
    EXPECT_FAILS(MapViewOfFile(b, FILE_MAP_WRITE, 0, 0, 200000), ERROR_ACCESS_DENIED);
    void* v = MapViewOfFile(b, FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(v, nullptr);
    MEMORY_BASIC_INFORMATION mbi{};
    ASSERT_EQ(VirtualQuery(static_cast<char*>(v) + 50, &mbi, sizeof mbi), sizeof mbi);
    EXPECT_EQ(mbi.BaseAddress, v);
    EXPECT_EQ(mbi.AllocationBase, v);
    EXPECT_EQ(mbi.RegionSize, static_cast<SIZE_T>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(mbi.State, MEM_COMMIT);
    EXPECT_EQ(mbi.Type, MEM_MAPPED);
    EXPECT_EQ(mbi.Protect, PAGE_READWRITE);
    UnmapViewOfFile(v);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Mapping, RefusesBadRequests) {
    EXPECT_FAILS(Create("Zero", 0), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, 0x1234, 0, 10, "X"), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(CreateFileMappingA(nullptr, nullptr, PAGE_READWRITE, 0, 10, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_FAILS(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "Nobody"), ERROR_FILE_NOT_FOUND);

    // One namespace for all named objects.
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, "Taken");
    ASSERT_NE(ev, nullptr);
    EXPECT_FAILS(Create("Taken", 10), ERROR_INVALID_HANDLE);
    EXPECT_FAILS(MapViewOfFile(ev, FILE_MAP_READ, 0, 0, 0), ERROR_INVALID_HANDLE);
    CloseHandle(ev);

    HANDLE h = Create(nullptr, 3 * 65536);
    ASSERT_NE(h, nullptr);
    EXPECT_FAILS(MapViewOfFile(h, FILE_MAP_READ, 0, 4096, 0), ERROR_MAPPED_ALIGNMENT);
    EXPECT_FAILS(MapViewOfFile(h, FILE_MAP_READ, 0, 3 * 65536, 0), ERROR_ACCESS_DENIED);
    EXPECT_FAILS(MapViewOfFile(h, FILE_MAP_READ, 0, 2 * 65536, 65537), ERROR_ACCESS_DENIED);
    EXPECT_FAILS(MapViewOfFile(h, 0, 0, 0, 0), ERROR_INVALID_PARAMETER);
    CloseHandle(h);

    int local = 0;
    EXPECT_FAILS(UnmapViewOfFile(&local), ERROR_INVALID_ADDRESS);
    EXPECT_FAILS(FlushViewOfFile(&local, 0), ERROR_INVALID_ADDRESS);
}

TEST(Mapping, HandleAccessLimitsViews) {
    HANDLE h = Create("Guarded", 100);
    HANDLE ro = OpenFileMappingA(FILE_MAP_READ, FALSE, "Guarded");
    ASSERT_NE(ro, nullptr);
    EXPECT_FAILS(MapViewOfFile(ro, FILE_MAP_WRITE, 0, 0, 0), ERROR_ACCESS_DENIED);
    void* r = MapViewOfFile(ro, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(r, nullptr);
    // Opened for writing only, as requesters do, it still maps for writing.
    HANDLE wo = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "Guarded");
    auto* w = static_cast<char*>(MapViewOfFile(wo, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(w, nullptr);
    std::strcpy(w, "shared");
    EXPECT_STREQ(static_cast<const char*>(r), "shared");

    // A copy-on-write view keeps its changes to itself.
    auto* c = static_cast<char*>(MapViewOfFile(h, FILE_MAP_COPY, 0, 0, 0));
    ASSERT_NE(c, nullptr);
    c[0] = 'S';
    EXPECT_EQ(w[0], 's');
    MEMORY_BASIC_INFORMATION mbi{};
    ASSERT_EQ(VirtualQuery(c, &mbi, sizeof mbi), sizeof mbi);
    EXPECT_EQ(mbi.Protect, PAGE_WRITECOPY);

    HANDLE roCreated = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 10, nullptr);
    EXPECT_FAILS(MapViewOfFile(roCreated, FILE_MAP_WRITE, 0, 0, 0), ERROR_ACCESS_DENIED);

    for (void* v : {r, static_cast<void*>(w), static_cast<void*>(c)}) EXPECT_TRUE(UnmapViewOfFile(v));
    for (HANDLE x : {h, ro, wo, roCreated}) CloseHandle(x);
}

TEST(Mapping, ViewsAtOffsetsAndAddresses) {
    HANDLE h = Create(nullptr, 3 * 65536);
    auto* whole = static_cast<char*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(whole, nullptr);
    std::strcpy(whole + 65536, "second chunk");
    auto* part = static_cast<char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 65536, 100));
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part, "second chunk");
    EXPECT_TRUE(FlushViewOfFile(whole + 65536, 12));
    // Any address inside a view unmaps it.
    EXPECT_TRUE(UnmapViewOfFile(part + 10));
    EXPECT_FALSE(UnmapViewOfFile(part));

    // A chosen base address: a free one is used, a taken one refused.
    void* spot = nullptr;
    MEMORY_BASIC_INFORMATION mbi{};
    for (uintptr_t a = 0x200000000000; a < 0x300000000000 && !spot; a += 0x10000000)
        if (VirtualQuery(reinterpret_cast<void*>(a), &mbi, sizeof mbi) && mbi.State == MEM_FREE) spot = mbi.BaseAddress;
    ASSERT_NE(spot, nullptr);
    auto* fixed = static_cast<char*>(MapViewOfFileEx(h, FILE_MAP_READ, 0, 65536, 0, spot));
    ASSERT_EQ(fixed, spot);
    EXPECT_STREQ(fixed, "second chunk");
    EXPECT_FAILS(MapViewOfFileEx(h, FILE_MAP_READ, 0, 0, 0, spot), ERROR_INVALID_ADDRESS);
    UnmapViewOfFile(fixed);
    UnmapViewOfFile(whole);
    CloseHandle(h);
}

TEST(Mapping, VirtualQueryOutsideViews) {
    int onStack = 0;
    MEMORY_BASIC_INFORMATION mbi{};
    ASSERT_EQ(VirtualQuery(&onStack, &mbi, sizeof mbi), sizeof mbi);
    EXPECT_EQ(mbi.State, MEM_COMMIT);
    EXPECT_EQ(mbi.Type, MEM_PRIVATE);
    EXPECT_EQ(mbi.Protect, PAGE_READWRITE);
    EXPECT_GT(reinterpret_cast<uintptr_t>(mbi.BaseAddress) + mbi.RegionSize, reinterpret_cast<uintptr_t>(&onStack));
    ASSERT_EQ(VirtualQuery(nullptr, &mbi, sizeof mbi), sizeof mbi);
    EXPECT_EQ(mbi.State, MEM_FREE);
    EXPECT_FAILS(VirtualQuery(&onStack, &mbi, sizeof mbi - 1), ERROR_BAD_LENGTH);
}

TEST(Mapping, LivesWhileAHandleOrViewDoes) {
    HANDLE a = Create("Kept", 64);
    HANDLE b = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "Kept");
    ASSERT_NE(b, nullptr);
    CloseHandle(a);
    auto* v = static_cast<char*>(MapViewOfFile(b, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    std::strcpy(v, "still here");
    CloseHandle(b);

    // The view alone keeps block and name.
    HANDLE c = OpenFileMappingA(FILE_MAP_READ, FALSE, "Kept");
    ASSERT_NE(c, nullptr);
    auto* r = static_cast<char*>(MapViewOfFile(c, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "still here");
    CloseHandle(c);
    UnmapViewOfFile(r);
    EXPECT_EQ(BlockFiles(), 1);

    UnmapViewOfFile(v);
    EXPECT_FAILS(OpenFileMappingA(FILE_MAP_READ, FALSE, "Kept"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(BlockFiles(), 0);
}

// Child: reports what the parent left in its mapping, then writes its argument there.
VQ_CHILD(map_writer) {
    HANDLE h = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "CrossProc");
    auto* v = h ? static_cast<char*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
    if (!v) return 10;
    vqtest::Tell(std::string("parent wrote ") + v);
    std::strcpy(v + 1000, args.at(0).c_str());
    vqtest::Tell("written");
    return 0;
}

// Child: creates and holds a named block until killed.
VQ_CHILD(map_holder) {
    HANDLE h = Create("Held", 4096);
    auto* v = h ? static_cast<char*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
    if (!v) return 10;
    std::strcpy(v, "from the holder");
    vqtest::Tell("ready");
    for (;;) pause();
}

TEST(Mapping, SharedBetweenProcesses) {
    HANDLE h = Create("CrossProc", 8192);
    auto* v = static_cast<char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    std::strcpy(v, "hello from the parent");
    vqtest::ChildProcess child("map_writer", {"hello from the child"});
    ASSERT_TRUE(child.Expect("parent wrote hello from the parent"));
    ASSERT_TRUE(child.Expect("written"));
    EXPECT_STREQ(v + 1000, "hello from the child");
    EXPECT_EQ(child.Wait(), 0);
    UnmapViewOfFile(v);
    CloseHandle(h);
}

TEST(Mapping, KilledHolderLeavesNothingBehind) {
    vqtest::ChildProcess child("map_holder");
    ASSERT_TRUE(child.Expect("ready"));
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, "Held");
    auto* v = static_cast<const char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "from the holder");
    UnmapViewOfFile(v);
    CloseHandle(h);
    EXPECT_EQ(BlockFiles(), 1);  // the child still holds it

    child.Kill(9);
    EXPECT_EQ(child.Wait(), 128 + 9);
    EXPECT_FAILS(OpenFileMappingA(FILE_MAP_READ, FALSE, "Held"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(BlockFiles(), 0);
}
