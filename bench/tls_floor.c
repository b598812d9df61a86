/*
 * The yardstick for the fan-out over TLS: the least a program can do to send
 * one frame to every viewer, once over plain TCP and once through the
 * platform's TLS library with the service's preferred suite. No event loop,
 * no HTTP: blocking sockets, one write call per frame and viewer (the
 * library's own socket BIO underneath), so that what it measures is the
 * sending itself. The viewers are two child processes that read and discard
 * (decrypting over TLS), as the service's viewers do.
 *
 *   tls_floor CERT KEY FRAME_FILE [VIEWERS]
 *
 * Sends FRAME_FILE 30 times, 200 ms apart, to VIEWERS (default 100)
 * connections over 127.0.0.1, first plain and then over TLS 1.3, and prints
 * one JSON line with the sending thread's CPU per frame and viewer:
 *   {"plain_us": 9.1, "tls_us": 31.0}
 * Ends within a minute whatever happens (alarm).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_VIEWERS 200
#define FRAMES 30
#define FRAME_INTERVAL_US 200000
#define READERS 2

static void fail(const char *what)
{
    fprintf(stderr, "tls_floor: %s\n", what);
    ERR_print_errors_fp(stderr);
    exit(1);
}

static double threadCpu(void)
{
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static char *readFile(const char *path, size_t *size)
{
    FILE *f = fopen(path, "rb");
    if (!f || fseek(f, 0, SEEK_END) != 0)
        fail("cannot read the frame");
    long length = ftell(f);
    char *bytes = malloc(length > 0 ? (size_t)length : 1);
    rewind(f);
    if (length <= 0 || !bytes || fread(bytes, 1, (size_t)length, f) != (size_t)length)
        fail("cannot read the frame");
    fclose(f);
    *size = (size_t)length;
    return bytes;
}

/* A reader: connects `count` viewers, then reads and discards until the
 * sender closes them. */
static void reader(int port, int tls, int count)
{
    SSL_CTX *context = tls ? SSL_CTX_new(TLS_client_method()) : NULL;
    SSL *ssl[MAX_VIEWERS] = {0};
    struct pollfd polled[MAX_VIEWERS];
    static char buffer[1 << 16];
    for (int i = 0; i < count; i++) {
        struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons(port)};
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, (struct sockaddr *)&address, sizeof address) != 0)
            fail("viewer cannot connect");
        if (tls) {
            ssl[i] = SSL_new(context);
            SSL_set_fd(ssl[i], fd);
            if (SSL_connect(ssl[i]) != 1)
                fail("viewer handshake failed");
        }
        polled[i] = (struct pollfd){.fd = fd, .events = POLLIN};
    }
    for (int open = count; open > 0;) {
        if (poll(polled, (nfds_t)count, -1) < 0)
            fail("poll");
        for (int i = 0; i < count; i++) {
            if (polled[i].fd < 0 || !polled[i].revents)
                continue;
            int n = tls ? SSL_read(ssl[i], buffer, sizeof buffer) : (int)recv(polled[i].fd, buffer, sizeof buffer, 0);
            while (n > 0 && tls && SSL_pending(ssl[i]) > 0)
                n = SSL_read(ssl[i], buffer, sizeof buffer);
            if (n <= 0) {
                close(polled[i].fd);
                polled[i].fd = -1;
                open--;
            }
        }
    }
    _exit(0);
}

static int writeAll(int fd, SSL *ssl, const char *bytes, size_t size)
{
    for (size_t done = 0; done < size;) {
        int n = ssl ? SSL_write(ssl, bytes + done, (int)(size - done))
                    : (int)send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (n <= 0)
            return -1;
        done += (size_t)n;
    }
    return 0;
}

/* Microseconds of this thread's CPU per frame and viewer. */
static double measure(SSL_CTX *context, const char *frame, size_t size, int viewers)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {.sin_family = AF_INET};
    socklen_t addressSize = sizeof address;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0
        || listen(listener, MAX_VIEWERS) != 0
        || getsockname(listener, (struct sockaddr *)&address, &addressSize) != 0)
        fail("cannot listen");
    for (int r = 0; r < READERS; r++) {
        pid_t child = fork();
        if (child < 0)
            fail("fork");
        if (child == 0)
            reader(ntohs(address.sin_port), context != NULL, viewers / READERS + (r < viewers % READERS));
    }
    int fds[MAX_VIEWERS];
    SSL *ssl[MAX_VIEWERS] = {0};
    for (int i = 0; i < viewers; i++) {
        fds[i] = accept(listener, NULL, NULL);
        if (fds[i] < 0)
            fail("accept");
        if (context) {
            ssl[i] = SSL_new(context);
            SSL_set_fd(ssl[i], fds[i]);
            if (SSL_accept(ssl[i]) != 1)
                fail("handshake failed");
        }
    }
    close(listener);
    double cpu = 0;
    for (int f = 0; f < FRAMES; f++) {
        usleep(FRAME_INTERVAL_US);
        double start = threadCpu();
        for (int i = 0; i < viewers; i++)
            if (writeAll(fds[i], ssl[i], frame, size) != 0)
                fail("write failed");
        cpu += threadCpu() - start;
    }
    for (int i = 0; i < viewers; i++) {
        SSL_free(ssl[i]);
        close(fds[i]);
    }
    while (wait(NULL) > 0)
        ;
    return cpu * 1e6 / (FRAMES * viewers);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: tls_floor CERT KEY FRAME_FILE [VIEWERS]\n");
        return 2;
    }
    int viewers = argc > 4 ? atoi(argv[4]) : 100;
    if (viewers < READERS || viewers > MAX_VIEWERS)
        fail("viewers out of range");
    signal(SIGPIPE, SIG_IGN);
    alarm(60);
    size_t size;
    char *frame = readFile(argv[3], &size);

    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (!context || SSL_CTX_use_certificate_chain_file(context, argv[1]) != 1
        || SSL_CTX_use_PrivateKey_file(context, argv[2], SSL_FILETYPE_PEM) != 1
        || SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) != 1
        || SSL_CTX_set_ciphersuites(context, "TLS_AES_128_GCM_SHA256") != 1)
        fail("cannot set up TLS");
    SSL_CTX_set_num_tickets(context, 0);

    double plain = measure(NULL, frame, size, viewers);
    double tls = measure(context, frame, size, viewers);
    printf("{\"plain_us\": %.2f, \"tls_us\": %.2f}\n", plain, tls);
    SSL_CTX_free(context);
    free(frame);
    return 0;
}
