#include "nginx_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "test_support.h"

#ifndef LINKRATE_NGINX_FIXTURE_SCRIPT
#error "LINKRATE_NGINX_FIXTURE_SCRIPT must name tests/support/nginx-fixture.sh"
#endif
#ifndef LINKRATE_NGINX_GARBAGE_DIR
#error "LINKRATE_NGINX_GARBAGE_DIR must name a folder for the fixture's body files"
#endif

namespace linkrate::test {
namespace {

constexpr int kStartAttempts = 5;
constexpr auto kStartTimeout = std::chrono::seconds(15);

bool accepts_connections(int port) {
    int fd = connect_loopback(port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

}  // namespace

NginxFixture::NginxFixture() {
    char pattern[] = "/tmp/linkrate-nginx.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    for (int attempt = 0; attempt < kStartAttempts && !ok(); ++attempt) start_once();
}

NginxFixture::~NginxFixture() {
    stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

bool NginxFixture::start_once() {
    http_port_ = free_port();
    https_port_ = free_port();
    if (http_port_ <= 0 || https_port_ <= 0 || http_port_ == https_port_) return false;
    const std::string port = std::to_string(http_port_);
    const std::string tls_port = std::to_string(https_port_);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        // nginx must not outlive a test process that dies without the destructor.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        execl("/bin/bash", "bash", LINKRATE_NGINX_FIXTURE_SCRIPT, "--port", port.c_str(),
              "--tls-port", tls_port.c_str(), "--dir", dir_.c_str(), "--garbage-dir",
              LINKRATE_NGINX_GARBAGE_DIR, static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = child;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // it ended: most likely a port was taken meanwhile
            return false;
        }
        if (accepts_connections(http_port_) && accepts_connections(https_port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return false;
}

void NginxFixture::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string NginxFixture::http_base() const {
    return "http://127.0.0.1:" + std::to_string(http_port_);
}

std::string NginxFixture::https_base() const {
    return "https://127.0.0.1:" + std::to_string(https_port_);
}

std::string NginxFixture::error_log() const {
    std::ifstream in(dir_ + "/error.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace linkrate::test
