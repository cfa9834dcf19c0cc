/*
 * A minimal host: starts the built-in server on a free loopback port, runs
 * the full LAN test against it and prints the JSON result.
 *
 *   example_host [PORT] [DURATION_MS]      (PORT 0 or none: a free port)
 */
#include <stdio.h>
#include <stdlib.h>
#include <tarnwell/linkrate.h>

#ifdef _WIN32
#include <winsock2.h>
typedef SOCKET socket_t;
typedef int socklen_t;
#define close_socket closesocket
#define is_socket(s) ((s) != INVALID_SOCKET)
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int socket_t;
#define close_socket close
#define is_socket(s) ((s) >= 0)
#endif

/* Asks the system for a port that is free right now. On Windows the socket
 * library must be started first; linkrate_init() has done that. */
static int free_port(void) {
    struct sockaddr_in addr = {0};
    socklen_t len = sizeof addr;
    int port = -1;
    socket_t fd = socket(AF_INET, SOCK_STREAM, 0);
    if (!is_socket(fd)) return -1;
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr*)&addr, sizeof addr) == 0 &&
        getsockname(fd, (struct sockaddr*)&addr, &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close_socket(fd);
    return port;
}

int main(int argc, char** argv) {
    int port = 0;
    int duration_ms = argc > 2 ? atoi(argv[2]) : 2000;
    int status = 0;

    printf("tarnwell-linkrate %s\n", linkrate_version());
    if (linkrate_init() == 0) {
        port = argc > 1 ? atoi(argv[1]) : 0;
        if (port == 0) port = free_port();
    }
    if (port <= 0 || linkrate_start_server(port) != 0) {
        fprintf(stderr, "server: %s\n",
                *linkrate_last_error() != '\0' ? linkrate_last_error() : "no port to listen on");
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
