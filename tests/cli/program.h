// The linkrate program as a child process of a test.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"

namespace linkrate::test {

class Program : public ChildProcess {
public:
    explicit Program(const std::vector<std::string>& args)
        : ChildProcess(LINKRATE_CLI_PATH, args) {}
};

struct Finished {
    int status;
    std::string out, err;
};

inline Finished run_program(const std::vector<std::string>& args) {
    Program program(args);
    int status = program.wait();
    return {status, program.out(), program.err()};
}

}  // namespace linkrate::test
