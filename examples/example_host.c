/*
 * A minimal host: starts the built-in server on a free loopback port, runs
 * the full LAN test against it and prints the JSON result.
 *
 *   example_host [PORT] [DURATION_MS]
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <tarnwell/linkrate.h>
#include <unistd.h>

/* Asks the system for a port that is free right now. */
static int free_port(void) {
    struct sockaddr_in addr = {0};
    socklen_t len = sizeof addr;
    int port = -1;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr*)&addr, sizeof addr) == 0 &&
        getsockname(fd, (struct sockaddr*)&addr, &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

int main(int argc, char** argv) {
    int port = argc > 1 ? atoi(argv[1]) : free_port();
    int duration_ms = argc > 2 ? atoi(argv[2]) : 2000;
    int status = 0;

    printf("tarnwell-linkrate %s\n", linkrate_version());
    if (linkrate_init() != 0 || linkrate_start_server(port) != 0) {
        fprintf(stderr, "server: %s\n", linkrate_last_error());
        linkrate_cleanup();
        return 1;
    }
    printf("server on port %d; testing 127.0.0.1 for %d ms each way...\n", port, duration_ms);
    if (linkrate_run_all("127.0.0.1", port, duration_ms) != 0) {
        fprintf(stderr, "test: %s\n", linkrate_last_error());
        status = 1;
    }
    printf("%s\n", linkrate_result_json());
    linkrate_stop_server();
    linkrate_cleanup();
    return status;
}
