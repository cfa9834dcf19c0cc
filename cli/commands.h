// The sub-commands. Each returns the process's exit status: 0 success,
// 1 a failed test, 130 interrupted.
#pragma once

#include <string>

#include "endpoint.h"

namespace linkrate_cli {

struct OutputOptions {
    bool json = false;
    std::string ticks_path;  // empty: no ticks file
};

enum class LanTest { ping, download, upload, full };

int run_serve(int port);
int run_lan(LanTest test, const Endpoint& endpoint, int count_or_duration,
            const OutputOptions& out);
int run_internet(const std::string& url, const OutputOptions& out);
int run_demo(int duration_ms, const OutputOptions& out);

}  // namespace linkrate_cli
