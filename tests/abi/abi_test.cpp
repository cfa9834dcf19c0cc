// The built shared library as a host sees it: its table of exported names,
// and what a fresh load shows. Each test runs in a process of its own and
// loads the library itself (dlopen, or LoadLibrary on Windows), so every test
// starts from the state at load.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "tarnwell/linkrate.h"
#include "test_support.h"

#ifdef _WIN32
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

const std::set<std::string> kExported = {
    "linkrate_init",        "linkrate_cleanup",   "linkrate_start_server",
    "linkrate_stop_server", "linkrate_ping",      "linkrate_download",
    "linkrate_upload",      "linkrate_run_all",   "linkrate_internet_run",
    "linkrate_result_json", "linkrate_version",   "linkrate_set_tick",
    "linkrate_cancel",      "linkrate_last_error"};

#ifdef _WIN32
using Handle = HMODULE;
Handle open_library() { return LoadLibraryA(LINKRATE_LIBRARY_PATH); }
void* find_symbol(Handle handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(handle, name));
}
bool close_library(Handle handle) { return FreeLibrary(handle) != 0; }
// True while the library is mapped into the process.
bool still_mapped() { return GetModuleHandleA("tarnwell-linkrate.dll") != nullptr; }
std::string load_error() {
    return "LoadLibrary failed with error " + std::to_string(GetLastError());
}
#else
using Handle = void*;
Handle open_library() { return dlopen(LINKRATE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL); }
void* find_symbol(Handle handle, const char* name) { return dlsym(handle, name); }
bool close_library(Handle handle) { return dlclose(handle) == 0; }
bool still_mapped() {
    Handle handle = dlopen(LINKRATE_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}
std::string load_error() {
    const char* text = dlerror();
    return text != nullptr ? text : "";
}

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) out += line;
    pclose(pipe);
    return out;
}
#endif

// The library's entry points, resolved from a fresh load.
struct Library {
    Handle handle = open_library();

    template <class Fn>
    Fn* get(const char* name) {
        return reinterpret_cast<Fn*>(find_symbol(handle, name));
    }
};

}  // namespace

#ifdef _WIN32

// The DLL's export directory, read from the loaded image itself.
TEST(Abi, ExportsExactlyTheFourteenFunctions) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << load_error();
    const auto* base = reinterpret_cast<const unsigned char*>(lib.handle);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(entry.VirtualAddress, 0u);
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        found.insert(reinterpret_cast<const char*>(base + names[i]));
    }
    EXPECT_EQ(found, kExported);
    // Nothing exported by number alone.
    EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames);
}

// The file is tarnwell-linkrate.dll, and its version resource carries the
// header's version.
TEST(Abi, FileNameAndVersionResource) {
    const std::string path = LINKRATE_LIBRARY_PATH;
    EXPECT_EQ(path.substr(path.find_last_of("/\\") + 1), "tarnwell-linkrate.dll");
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length));
    EXPECT_EQ(HIWORD(info->dwFileVersionMS), static_cast<unsigned>(LINKRATE_VERSION_MAJOR));
    EXPECT_EQ(LOWORD(info->dwFileVersionMS), static_cast<unsigned>(LINKRATE_VERSION_MINOR));
    EXPECT_EQ(HIWORD(info->dwFileVersionLS), static_cast<unsigned>(LINKRATE_VERSION_PATCH));
}

#else
TEST(Abi, ExportsExactlyTheFourteenFunctions) {
    // Defined dynamic symbols: "<value> <type> <name>[@@version]".
    const std::string table = run("nm -D --defined-only '" LINKRATE_LIBRARY_PATH "'");
    ASSERT_FALSE(table.empty());
    std::set<std::string> functions, others;
    char type = 0;
    char name[256];
    for (const char* line = table.c_str(); *line != '\0';) {
        if (std::sscanf(line, "%*s %c %255s", &type, name) == 2) {
            std::string symbol = name;
            symbol = symbol.substr(0, symbol.find('@'));
            if (type == 'T') {
                functions.insert(symbol);
            } else if (!(type == 'A' && symbol == "LINKRATE_2")) {
                others.insert(symbol + " (" + type + ")");
            }
        }
        const char* next = std::strchr(line, '\n');
        line = next ? next + 1 : line + std::strlen(line);
    }
    EXPECT_EQ(functions, kExported);
    EXPECT_TRUE(others.empty()) << *others.begin();
}

TEST(Abi, SonameCarriesTheMajorVersion) {
    const std::string dynamic = run("objdump -p '" LINKRATE_LIBRARY_PATH "'");
    EXPECT_NE(dynamic.find("SONAME               libtarnwell-linkrate.so.2\n"), std::string::npos)
        << dynamic;
}

#endif

TEST(FreshLoad, VersionAndErrorBeforeAnyCall) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << load_error();
    EXPECT_STREQ(lib.get<const char*()>("linkrate_last_error")(), "");
    EXPECT_EQ(lib.get<const char*()>("linkrate_version")(), linkrate::test::version_from_macros());
}

TEST(FreshLoad, FirstReadInitialisesAndRendersIdleRecord) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << load_error();
    const char* text = lib.get<const char*()>("linkrate_result_json")();
    EXPECT_STREQ(text,
                 "{\"ping_ms\":0.0,\"download_mbps\":0.0,\"upload_mbps\":0.0,\"duration_ms\":0,"
                 "\"jitter_ms\":0.0,\"server\":\"lan\",\"phase\":\"idle\"}");
    EXPECT_EQ(std::strlen(text), 115u);
}

TEST(FreshLoad, InitTwiceCleanupAndUnload) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << load_error();
    auto init = lib.get<int32_t()>("linkrate_init");
    auto cleanup = lib.get<void()>("linkrate_cleanup");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(init(), 0);
    // A test that fails leaves its message, which outlives the cleanup.
    EXPECT_EQ(lib.get<int32_t(const char*)>("linkrate_internet_run")(""), -1);
    EXPECT_STREQ(lib.get<const char*()>("linkrate_last_error")(), "Invalid or empty base_url");
    cleanup();
    EXPECT_STREQ(lib.get<const char*()>("linkrate_last_error")(), "Invalid or empty base_url");
    EXPECT_EQ(init(), 0);
    EXPECT_STREQ(lib.get<const char*()>("linkrate_last_error")(), "");
    cleanup();
    EXPECT_TRUE(close_library(lib.handle));
}

// A connection thread of the server may outlive linkrate_cleanup(), so once
// initialised the library stays mapped after the host unloads it: here a
// peer connects and sends nothing, the host cleans up and unloads, and the
// process goes on past the connection's 5 s receive time-out.
TEST(FreshLoad, UnloadWhileAConnectionWaits) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << load_error();
    ASSERT_EQ(lib.get<int32_t()>("linkrate_init")(), 0);
    int port = 0;
    auto start = lib.get<int32_t(int32_t)>("linkrate_start_server");
    for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
        int candidate = linkrate::test::free_port();
        if (candidate > 0 && start(candidate) == 0) port = candidate;
    }
    ASSERT_GT(port, 0);
#ifdef _WIN32
    SOCKET peer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(peer, INVALID_SOCKET);
#else
    int peer = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(peer, 0);
#endif
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // Time for the listener to hand the connection to its own thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    lib.get<void()>("linkrate_cleanup")();
    close_library(lib.handle);
    EXPECT_TRUE(still_mapped());
    std::this_thread::sleep_for(std::chrono::milliseconds(6500));
#ifdef _WIN32
    closesocket(peer);
#else
    close(peer);
#endif
    SUCCEED() << "still running after the connection's receive time-out";
}
