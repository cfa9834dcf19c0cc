// nginx as the speed-test server of a test: nginx-fixture.sh started as a
// child on free loopback ports (HTTP and HTTPS) in a temporary folder, and
// stopped with the fixture.
#pragma once

#include <sys/types.h>

#include <string>

namespace linkrate::test {

class NginxFixture {
public:
    // Starts nginx and waits until both ports accept connections. Ports taken
    // by another process meanwhile are retried with new ones. Check ok().
    NginxFixture();
    ~NginxFixture();
    NginxFixture(const NginxFixture&) = delete;
    NginxFixture& operator=(const NginxFixture&) = delete;

    bool ok() const { return pid_ > 0; }
    // "http://127.0.0.1:<port>" and "https://127.0.0.1:<port>".
    std::string http_base() const;
    std::string https_base() const;
    // The folder with nginx.conf, error.log and access.log.
    const std::string& dir() const { return dir_; }
    // What nginx logged to its error log (for failure messages).
    std::string error_log() const;

private:
    bool start_once();
    void stop();

    pid_t pid_ = -1;
    int http_port_ = -1;
    int https_port_ = -1;
    std::string dir_;
};

}  // namespace linkrate::test
