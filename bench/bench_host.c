/*
 * A bench host for the LAN throughput: one process serves, another measures.
 *
 *   linkrate_bench_host serve PORT
 *       runs the built-in server until its standard input closes
 *   linkrate_bench_host download|upload HOST PORT DURATION_MS
 *       prints the rate in Mbit/s on one line
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tarnwell/linkrate.h>

static int serve(int port) {
    char line[64];
    if (linkrate_start_server(port) != 0) {
        fprintf(stderr, "serve: %s\n", linkrate_last_error());
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    while (fgets(line, sizeof line, stdin) != NULL) {
    }
    linkrate_stop_server();
    return 0;
}

static int measure(int upload, const char* host, int port, int duration_ms) {
    double mbps = upload ? linkrate_upload(host, port, duration_ms)
                         : linkrate_download(host, port, duration_ms);
    if (mbps < 0.0) {
        fprintf(stderr, "%s: %s\n", upload ? "upload" : "download", linkrate_last_error());
        return 1;
    }
    printf("%.1f\n", mbps);
    return 0;
}

int main(int argc, char** argv) {
    int status = 2;
    if (linkrate_init() != 0) return 1;
    if (argc == 3 && strcmp(argv[1], "serve") == 0) {
        status = serve(atoi(argv[2]));
    } else if (argc == 5 && (strcmp(argv[1], "download") == 0 || strcmp(argv[1], "upload") == 0)) {
        status = measure(strcmp(argv[1], "upload") == 0, argv[2], atoi(argv[3]), atoi(argv[4]));
    } else {
        fprintf(stderr, "usage: %s serve PORT | download|upload HOST PORT DURATION_MS\n", argv[0]);
    }
    linkrate_cleanup();
    return status;
}
