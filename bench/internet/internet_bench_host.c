/*
 * Benchmark host of the internet run: one linkrate_internet_run against the
 * base URL given, then one line "download_mbps upload_mbps cpu_download_s
 * cpu_upload_s" on stdout. The CPU seconds are this process's user + system
 * time from the end of the latency phase to the first upload tick, and from
 * there to the "complete" tick.
 */
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <tarnwell/linkrate.h>

static double cpu_seconds(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
}

static double g_cpu_after_ping = -1.0;
static double g_cpu_upload_start = -1.0;
static double g_cpu_complete = -1.0;
static double g_download_mbps = 0.0;

static void on_tick(const char* phase, double value, int32_t percent) {
    (void)percent;
    if (strcmp(phase, "ping") == 0) {
        g_cpu_after_ping = cpu_seconds();
    } else if (strcmp(phase, "download") == 0) {
        g_download_mbps = value;
    } else if (strcmp(phase, "upload") == 0 && g_cpu_upload_start < 0.0) {
        g_cpu_upload_start = cpu_seconds();
    } else if (strcmp(phase, "complete") == 0) {
        g_cpu_complete = cpu_seconds();
        printf("%.3f %.3f %.4f %.4f\n", g_download_mbps, value,
               g_cpu_upload_start - g_cpu_after_ping, g_cpu_complete - g_cpu_upload_start);
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s BASE_URL\n", argv[0]);
        return 2;
    }
    if (linkrate_init() != 0) return 1;
    linkrate_set_tick(on_tick);
    int result = linkrate_internet_run(argv[1]);
    if (result != 0) fprintf(stderr, "internet run failed: %s\n", linkrate_last_error());
    linkrate_cleanup();
    return result == 0 ? 0 : 1;
}
