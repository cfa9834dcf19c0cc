// The POSIX side of the test helpers: sockets, and the process's descriptors,
// threads and listening ports read from /proc.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "tarnwell/linkrate.h"
#include "test_support.h"

namespace linkrate::test {
namespace {

int count_entries(const char* dir_path) {
    DIR* dir = opendir(dir_path);
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

// Waits for a connect in progress on `fd` to end; true when it connected.
bool wait_connected(int fd, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd, POLLOUT, 0};
        int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0) break;
        if (ready == 0 || errno != EINTR) return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

}  // namespace

int connect_loopback(int port, int timeout_ms) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (errno == EINTR && wait_connected(fd, timeout_ms)) return fd;
    close(fd);
    return -1;
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

// The directory stream itself holds one descriptor while it is read.
int open_descriptor_count() { return count_entries("/proc/self/fd") - 1; }

int thread_count() { return count_entries("/proc/self/task"); }

std::vector<int> listening_ports() {
    std::set<std::string> inodes;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            char target[64] = {};
            std::string link = std::string("/proc/self/fd/") + entry->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            std::string text(target, n > 0 ? static_cast<std::size_t>(n) : 0);
            if (text.rfind("socket:[", 0) == 0) inodes.insert(text.substr(8, text.size() - 9));
        }
        closedir(dir);
    }
    std::vector<int> ports;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A" && inodes.count(inode) != 0) {
            ports.push_back(std::stoi(local.substr(local.find(':') + 1), nullptr, 16));
        }
    }
    return ports;
}

}  // namespace linkrate::test
