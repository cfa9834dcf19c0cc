// The built shared library as a host sees it: its dynamic symbol table, and
// what a fresh load shows. Each test runs in a process of its own and loads
// the library with dlopen, so every test starts from the state at load.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "tarnwell/linkrate.h"
#include "test_support.h"

namespace {

const std::set<std::string> kExported = {
    "linkrate_init",        "linkrate_cleanup",   "linkrate_start_server",
    "linkrate_stop_server", "linkrate_ping",      "linkrate_download",
    "linkrate_upload",      "linkrate_run_all",   "linkrate_internet_run",
    "linkrate_result_json", "linkrate_version",   "linkrate_set_tick",
    "linkrate_cancel",      "linkrate_last_error"};

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) out += line;
    pclose(pipe);
    return out;
}

// The library's entry points, resolved from a fresh dlopen.
struct Library {
    void* handle = dlopen(LINKRATE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);

    template <class Fn>
    Fn* get(const char* name) {
        return reinterpret_cast<Fn*>(dlsym(handle, name));
    }
};

}  // namespace

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

TEST(FreshLoad, VersionAndErrorBeforeAnyCall) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    EXPECT_STREQ(lib.get<const char*()>("linkrate_last_error")(), "");
    EXPECT_EQ(lib.get<const char*()>("linkrate_version")(), linkrate::test::version_from_macros());
}

TEST(FreshLoad, FirstReadInitialisesAndRendersIdleRecord) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    const char* text = lib.get<const char*()>("linkrate_result_json")();
    EXPECT_STREQ(text,
                 "{\"ping_ms\":0.0,\"download_mbps\":0.0,\"upload_mbps\":0.0,\"duration_ms\":0,"
                 "\"jitter_ms\":0.0,\"server\":\"lan\",\"phase\":\"idle\"}");
    EXPECT_EQ(std::strlen(text), 115u);
}

TEST(FreshLoad, InitTwiceCleanupAndUnload) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
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
    EXPECT_EQ(dlclose(lib.handle), 0);
}
