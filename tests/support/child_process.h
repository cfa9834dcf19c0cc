// A program started by a test, with its stdout and stderr kept in files, that
// can be waited for with a time-out and signalled.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace linkrate::test {

class ChildProcess {
public:
    // Starts `program` (a path) with `args`; stdin is /dev/null.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    // Kills the program if it still runs, and removes the output files.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The exit status (128 + the signal when a signal ended it), or -1 when
    // the program did not end within `timeout_ms`.
    int wait(int timeout_ms = 30000);

    void signal(int number);
    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_path_, err_path_;
};

}  // namespace linkrate::test
