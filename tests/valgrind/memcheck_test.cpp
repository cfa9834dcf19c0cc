// The linkrate program under valgrind's memcheck. Each run must end with the
// program's own success and without a memcheck error: no invalid read, write
// or free, no use of uninitialised values, no definitely or indirectly lost
// block. Blocks still reachable at exit, or possibly lost ones (the stacks of
// server connection threads that are still ending), are not errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "nginx_fixture.h"

using namespace linkrate::test;

namespace {

// Memcheck's own exit status when it found an error; the program's are below.
constexpr int kMemcheckFound = 99;
constexpr int kRunTimeoutMs = 150000;

struct Outcome {
    int status;
    std::string out, err;
};

Outcome run_under_memcheck(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {
        "--tool=memcheck",
        "--leak-check=full",
        "--errors-for-leak-kinds=definite,indirect",
        "--show-leak-kinds=definite,indirect",
        "--error-exitcode=" + std::to_string(kMemcheckFound),
        "--suppressions=" LINKRATE_VALGRIND_SUPPRESSIONS,
        "--num-callers=30",
        LINKRATE_CLI_PATH,
    };
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess memcheck(LINKRATE_VALGRIND_PATH, argv);
    int status = memcheck.wait(kRunTimeoutMs);
    return {status, memcheck.out(), memcheck.err()};
}

void expect_clean(const Outcome& o) {
    ASSERT_NE(o.status, 127) << "valgrind cannot be started (scripts/setup.sh installs it)";
    EXPECT_NE(o.status, kMemcheckFound) << "memcheck found errors:\n" << o.err;
    EXPECT_EQ(o.status, 0) << "the run failed:\n" << o.out << o.err;
    EXPECT_NE(o.err.find("definitely lost: 0 bytes"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("indirectly lost: 0 bytes"), std::string::npos) << o.err;
}

}  // namespace

// The built-in server and the client in one process: ping, download, upload.
TEST(Memcheck, LanFullRun) { expect_clean(run_under_memcheck({"demo", "--duration", "500"})); }

TEST(Memcheck, InternetRun) {
    NginxFixture nginx;
    ASSERT_TRUE(nginx.ok()) << nginx.error_log();
    expect_clean(run_under_memcheck({"internet", nginx.http_base()}));
}

// Over TLS, where the TLS library's allocations come in.
TEST(Memcheck, InternetRunOverHttps) {
    NginxFixture nginx;
    ASSERT_TRUE(nginx.ok()) << nginx.error_log();
    expect_clean(run_under_memcheck({"internet", nginx.https_base()}));
}
