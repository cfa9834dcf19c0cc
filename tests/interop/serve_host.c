/*
 * The library's server as a Windows host runs it, for a client on the other
 * side: serves PORT for at most SECONDS (or until it is ended), printing
 * "serving" once it listens.
 *
 *   serve_host PORT SECONDS
 */
#include <stdio.h>
#include <stdlib.h>
#include <tarnwell/linkrate.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: serve_host PORT SECONDS\n");
        return 2;
    }
    if (linkrate_init() != 0 || linkrate_start_server(atoi(argv[1])) != 0) {
        fprintf(stderr, "serve_host: %s\n", linkrate_last_error());
        return 1;
    }
    printf("serving\n");
    fflush(stdout);
    Sleep((DWORD)atoi(argv[2]) * 1000u);
    linkrate_stop_server();
    linkrate_cleanup();
    return 0;
}
