// A Windows client against Linux peers: the Linux build's LAN server, nginx
// over HTTP and HTTPS, and peers that misbehave, which the linux_peers
// fixture started and whose ports it wrote to the file named by
// LINKRATE_PEERS_FILE.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "frame/messages.h"
#include "tarnwell/linkrate.h"

namespace {

// The "name=port" lines of the peers file.
std::map<std::string, int> read_peers() {
    std::map<std::string, int> ports;
    const char* path = std::getenv("LINKRATE_PEERS_FILE");
    if (path == nullptr) return ports;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        auto equals = line.find('=');
        if (equals != std::string::npos) {
            ports[line.substr(0, equals)] = std::atoi(line.c_str() + equals + 1);
        }
    }
    return ports;
}

class LinuxPeers : public ::testing::Test {
protected:
    void SetUp() override {
        ports_ = read_peers();
        ASSERT_EQ(ports_.size(), 5u) << "no peers file (LINKRATE_PEERS_FILE); the linux_peers "
                                        "fixture starts the peers";
        ASSERT_EQ(linkrate_init(), 0);
    }
    void TearDown() override { linkrate_cleanup(); }
    std::map<std::string, int> ports_;
};

// A figure of the record, by its member name.
double member(const std::string& json, const std::string& name) {
    auto at = json.find("\"" + name + "\":");
    return at == std::string::npos ? -1.0 : std::atof(json.c_str() + at + name.size() + 3);
}

}  // namespace

TEST_F(LinuxPeers, LanTestsAgainstTheLinuxServer) {
    const int port = ports_["lan_port"];
    EXPECT_GT(linkrate_ping("127.0.0.1", port, 5), 0.0) << linkrate_last_error();
    EXPECT_GT(linkrate_download("127.0.0.1", port, 1000), 0.0) << linkrate_last_error();
    EXPECT_GT(linkrate_upload("127.0.0.1", port, 1000), 0.0) << linkrate_last_error();
}

class InternetRun : public LinuxPeers, public ::testing::WithParamInterface<const char*> {};

TEST_P(InternetRun, MeasuresEveryPhase) {
    const std::string scheme = GetParam();
    const int port = ports_[scheme == "https" ? "https_port" : "http_port"];
    const std::string base = scheme + "://127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(linkrate_internet_run(base.c_str()), 0) << linkrate_last_error();
    const std::string json = linkrate_result_json();
    EXPECT_GT(member(json, "ping_ms"), 0.0) << json;
    EXPECT_GT(member(json, "download_mbps"), 0.0) << json;
    EXPECT_GT(member(json, "upload_mbps"), 0.0) << json;
    EXPECT_NE(json.find("\"server\":\"" + base + "\""), std::string::npos) << json;
}

INSTANTIATE_TEST_SUITE_P(Schemes, InternetRun, ::testing::Values("http", "https"));

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// A peer that accepts and stays silent: the 5 s receive time-out ends the
// ping (no reply) and the download (nothing received), neither sooner nor
// much later.
TEST_F(LinuxPeers, SilentPeerEndsPingAndDownloadAtTheTimeOut) {
    const int port = ports_["silent_port"];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(linkrate_ping("127.0.0.1", port, 1), -1.0);
    EXPECT_STREQ(linkrate_last_error(), linkrate::msg::kNoPings);
    EXPECT_GT(seconds_since(start), 4.5);
    EXPECT_LT(seconds_since(start), 8.0);

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(linkrate_download("127.0.0.1", port, 1000), 0.0);
    EXPECT_GT(seconds_since(start), 4.5) << "the first receive waits for its time-out";
    EXPECT_LT(seconds_since(start), 8.0);
    EXPECT_NE(std::string(linkrate_result_json()).find("\"download_mbps\":0.0"), std::string::npos);
}

// A peer that resets every connection at once: every test fails or measures
// nothing, promptly.
TEST_F(LinuxPeers, ResettingPeerFailsPromptly) {
    const int port = ports_["reset_port"];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(linkrate_ping("127.0.0.1", port, 2), -1.0);
    EXPECT_STREQ(linkrate_last_error(), linkrate::msg::kNoPings);
    EXPECT_LE(linkrate_download("127.0.0.1", port, 1000), 0.0);
    EXPECT_LE(linkrate_upload("127.0.0.1", port, 1000), 0.0);
    EXPECT_LT(seconds_since(start), 4.0);
}
