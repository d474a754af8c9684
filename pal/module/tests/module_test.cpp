#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "pal/error/error.h"
#include "pal/module/module.h"
#include "pal/module/search.h"

namespace fs = std::filesystem;

namespace {

using AddFn = int (*)(int, int);
using CallsFn = int (*)();

// Through void(*)(), the one function type GCC lets FARPROC become without a warning.
template <class Fn>
Fn Proc(HMODULE h, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(h, name)));
}

std::string FileName(HMODULE h) {
    char buf[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(h, buf, sizeof buf);
    return std::string(buf, n);
}

fs::path BuiltPlugin() {
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib/libvqtestplugin.so";
}

fs::path Root() { return getenv("VQ_ROOT"); }

// A copy of the plugin under another name, found only where it is put.
fs::path CopyPlugin(const fs::path& dir, const std::string& file) {
    fs::create_directories(dir);
    fs::copy_file(BuiltPlugin(), dir / file, fs::copy_options::overwrite_existing);
    return dir / file;
}

#define EXPECT_FAILS(call, code)                                      \
    do {                                                              \
        EXPECT_TRUE(!(call));                                         \
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(code)) << #call; \
    } while (0)

}  // namespace

TEST(Module, WindowsNamesInAnyCaseFindTheSameModule) {
    HMODULE a = LoadLibraryA("vqtestplugin.dll");
    ASSERT_NE(a, nullptr) << GetLastError();
    EXPECT_EQ(LoadLibraryA("VQTESTPLUGIN.DLL"), a);
    EXPECT_EQ(LoadLibraryA("VqTestPlugin"), a);
    EXPECT_EQ(LoadLibraryA("libvqtestplugin.so"), a);

    auto add = Proc<AddFn>(a, "VqPluginAdd");
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 40), 42);
    EXPECT_EQ(FileName(a), fs::canonical(BuiltPlugin()).string());
    EXPECT_EQ(GetModuleHandleA("VqTestPlugin.DLL"), a);

    // Loaded four times: it stays until the fourth FreeLibrary.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(GetModuleHandleA("vqtestplugin.dll"), a);
    EXPECT_EQ(add(1, 1), 2);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_FAILS(GetModuleHandleA("vqtestplugin.dll"), ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(FreeLibrary(a));
}

TEST(Module, MissingModulesAndSymbols) {
    EXPECT_FAILS(LoadLibraryA("nosuchmodule.dll"), ERROR_MOD_NOT_FOUND);
    EXPECT_FAILS(LoadLibraryA("C:\\nowhere\\nosuchmodule.dll"), ERROR_MOD_NOT_FOUND);
    EXPECT_FAILS(LoadLibraryExA("", nullptr, LOAD_LIBRARY_AS_DATAFILE), ERROR_MOD_NOT_FOUND);

    HMODULE h = LoadLibraryA("vqtestplugin.dll");
    ASSERT_NE(h, nullptr);
    EXPECT_FAILS(GetProcAddress(h, "NoSuchFunction"), ERROR_PROC_NOT_FOUND);
    // The plugin calls calloc, but the C library's exports are not the plugin's.
    EXPECT_FAILS(GetProcAddress(h, "calloc"), ERROR_PROC_NOT_FOUND);
    EXPECT_FAILS(GetProcAddress(h, reinterpret_cast<LPCSTR>(1)), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(h));

    int notAModule = 0;
    EXPECT_FAILS(GetProcAddress(reinterpret_cast<HMODULE>(&notAModule), "VqPluginAdd"), ERROR_MOD_NOT_FOUND);
    EXPECT_FAILS(FreeLibrary(reinterpret_cast<HMODULE>(&notAModule)), ERROR_INVALID_HANDLE);
}

TEST(Module, SearchesLibraryPathThenGivenDirectories) {
    fs::path dir = Root() / "plugins";
    fs::path copy = CopyPlugin(dir, "libvqcopied.so");
    EXPECT_FAILS(LoadLibraryA("vqcopied.dll"), ERROR_MOD_NOT_FOUND);

    setenv("VQ_LIBRARY_PATH", ("/nonexistent::" + dir.string()).c_str(), 1);
    HMODULE h = LoadLibraryA("VQCOPIED.DLL");
    unsetenv("VQ_LIBRARY_PATH");
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_EQ(FileName(h), copy.string());
    // A separate copy is a separate module with its own data.
    HMODULE original = LoadLibraryA("vqtestplugin.dll");
    ASSERT_NE(original, nullptr);
    EXPECT_NE(original, h);
    Proc<AddFn>(h, "VqPluginAdd")(1, 2);
    EXPECT_EQ(Proc<CallsFn>(h, "VqPluginCalls")(), 1);
    EXPECT_EQ(Proc<CallsFn>(original, "VqPluginCalls")(), 0);
    // A Linux path names the same file.
    EXPECT_EQ(LoadLibraryA(copy.c_str()), h);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(FreeLibrary(original));

    // A Windows path leads into the machine root, matching names ignoring case.
    fs::path agent = CopyPlugin(Root() / "drive_c/Agents", "libAgent.so");
    HMODULE a = LoadLibraryA("c:\\AGENTS\\agent.dll");
    ASSERT_NE(a, nullptr) << GetLastError();
    EXPECT_EQ(FileName(a), agent.string());
    EXPECT_EQ(GetModuleHandleA("C:\\agents\\AGENT.DLL"), a);
    EXPECT_EQ(GetModuleHandleA("agent.dll"), a);
    EXPECT_EQ(GetModuleHandleA("C:\\elsewhere\\agent.dll"), nullptr);
    EXPECT_TRUE(FreeLibrary(a));
}

TEST(Module, DataFileLoads) {
    // Until message-text modules are read, a data file still has to be a shared object.
    fs::create_directories(Root() / "drive_c/Msg");
    std::ofstream(Root() / "drive_c/Msg/Messages.dll") << "MESSAGE TABLE\n";
    EXPECT_FAILS(LoadLibraryExA("c:\\msg\\messages.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE), ERROR_BAD_EXE_FORMAT);
    EXPECT_FAILS(LoadLibraryA("c:\\msg\\messages.dll"), ERROR_BAD_EXE_FORMAT);

    HMODULE h = LoadLibraryExA("vqtestplugin.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(FreeLibrary(h));
    int dummy = 0;
    EXPECT_FAILS(LoadLibraryExA("vqtestplugin.dll", &dummy, 0), ERROR_INVALID_PARAMETER);
}

TEST(Module, MainProgramAndFileNameBuffers) {
    HMODULE self = GetModuleHandleA(nullptr);
    ASSERT_NE(self, nullptr);
    std::string exe = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(FileName(nullptr), exe);
    EXPECT_EQ(FileName(self), exe);
    EXPECT_TRUE(FreeLibrary(self));
    EXPECT_EQ(GetModuleHandleA(nullptr), self);

    char small[6];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small), exe.substr(0, 5));
    char exact[MAX_PATH * 4];
    ASSERT_LT(exe.size(), sizeof exact);
    EXPECT_EQ(GetModuleFileNameA(nullptr, exact, static_cast<DWORD>(exe.size())), exe.size());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetModuleFileNameA(nullptr, exact, static_cast<DWORD>(exe.size() + 1)), exe.size());
    EXPECT_EQ(std::string(exact), exe);
}

TEST(ModuleNames, MapToSharedObjectFileNames) {
    using pal::module::ParseLibraryName;
    using Names = std::vector<std::string>;
    auto n = ParseLibraryName("Foo.DLL");
    EXPECT_EQ(n.files, (Names{"libFoo.so", "Foo.DLL"}));
    EXPECT_EQ(n.system, (Names{"libFoo.so", "libfoo.so"}));
    EXPECT_EQ(ParseLibraryName("foo.").files, (Names{"libfoo.so"}));
    EXPECT_EQ(ParseLibraryName("libz.so.1").files, (Names{"libz.so.1"}));
    EXPECT_EQ(ParseLibraryName("/opt/vq/lib/libx.so").dir, "/opt/vq/lib");
    EXPECT_EQ(ParseLibraryName("d:x.dll").dir, (Root() / "drive_d").string());
    EXPECT_EQ(ParseLibraryName("\\x.dll").dir, (Root() / "drive_c").string());
}
