#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace linkrate::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    char out_template[] = "/tmp/linkrate-child-out-XXXXXX";
    char err_template[] = "/tmp/linkrate-child-err-XXXXXX";
    int out_fd = mkstemp(out_template);
    int err_fd = mkstemp(err_template);
    out_path_ = out_template;
    err_path_ = err_template;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
}

ChildProcess::~ChildProcess() {
    if (status_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

int ChildProcess::wait(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (status_ < 0 && Clock::now() < deadline) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

void ChildProcess::signal(int number) { kill(pid_, number); }

std::string ChildProcess::out() const { return slurp(out_path_); }

std::string ChildProcess::err() const { return slurp(err_path_); }

}  // namespace linkrate::test
