/*
 * MJPEG viewers for the benchmarks: opens many connections to one server,
 * asks each for a stream, and counts the frames every viewer receives.
 *
 *   viewers PORT PATHS COUNT WARMUP_S DURATION_S [PID] [--stall]
 *
 * PATHS is a comma-separated list of stream paths; viewer i asks for path
 * i mod their number. Connections are opened in batches, then after WARMUP_S
 * seconds the counters start and run for DURATION_S seconds. The snapshots of
 * the fake DVR carry a sequence number, so every frame a viewer misses in
 * the window is seen as a gap. With PID, the CPU time of that process (all
 * its threads) over the window and its resident size at the end are
 * reported too. With --stall the viewers send their request and never read.
 *
 * Prints one JSON object on stdout at the end.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_HEAD 1024
#define SEQ_OFFSET 6 /* SOI, then a COM marker and its 2-byte length */
#define SEQ_DIGITS 8
#define CONNECT_BATCH 50
#define VIEWERS_PER_ADDRESS 50
#define RSS_SAMPLE_S 10

enum state { HEAD, BODY, TAIL, CLOSED };

struct viewer {
    int fd;
    int connected;
    const char *path;
    enum state state;
    char head[MAX_HEAD + 1];
    size_t headSize;
    size_t bodyLeft;
    size_t bodyPos;
    char seq[SEQ_OFFSET + SEQ_DIGITS];
    long lastSeq;
    long frames;
    long missed;
};

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* CPU time of every thread of the process, in seconds. */
static double cpuOf(int pid)
{
    char dirName[64];
    snprintf(dirName, sizeof dirName, "/proc/%d/task", pid);
    DIR *dir = opendir(dirName);
    if (!dir)
        return -1;
    double total = 0;
    struct dirent *entry;
    while ((entry = readdir(dir))) {
        if (entry->d_name[0] == '.')
            continue;
        char name[400];
        snprintf(name, sizeof name, "%s/%s/schedstat", dirName, entry->d_name);
        FILE *file = fopen(name, "r");
        unsigned long long ns = 0;
        if (file) {
            if (fscanf(file, "%llu", &ns) == 1)
                total += (double)ns / 1e9;
            fclose(file);
        }
    }
    closedir(dir);
    return total;
}

static long rssOf(int pid)
{
    char name[64], line[256];
    snprintf(name, sizeof name, "/proc/%d/status", pid);
    FILE *file = fopen(name, "r");
    long kib = -1;
    while (file && fgets(line, sizeof line, file)) {
        if (strncmp(line, "VmRSS:", 6) == 0)
            kib = atol(line + 6);
    }
    if (file)
        fclose(file);
    return kib;
}

static void closeViewer(struct viewer *v)
{
    if (v->state != CLOSED)
        close(v->fd);
    v->state = CLOSED;
}

static void frameDone(struct viewer *v)
{
    char digits[SEQ_DIGITS + 1];
    memcpy(digits, v->seq + SEQ_OFFSET, SEQ_DIGITS);
    digits[SEQ_DIGITS] = 0;
    long seq = atol(digits);
    if (v->lastSeq >= 0 && seq > v->lastSeq + 1)
        v->missed += seq - v->lastSeq - 1;
    v->lastSeq = seq;
    v->frames++;
}

/* Parts of the multipart stream, preceded by the response head. */
static void consume(struct viewer *v, const char *data, size_t size)
{
    while (size > 0 && v->state != CLOSED) {
        if (v->state == HEAD) {
            v->head[v->headSize++] = *data++;
            size--;
            v->head[v->headSize] = 0;
            if (v->headSize < 4 || memcmp(v->head + v->headSize - 4, "\r\n\r\n", 4) != 0) {
                if (v->headSize == MAX_HEAD)
                    closeViewer(v);
                continue;
            }
            if (strncmp(v->head, "HTTP/", 5) == 0) {
                if (!strstr(v->head, " 200 "))
                    closeViewer(v);
                v->headSize = 0;
                continue;
            }
            const char *length = strcasestr(v->head, "Content-Length:");
            if (!length) {
                closeViewer(v);
                continue;
            }
            v->bodyLeft = strtoul(length + 15, NULL, 10);
            v->bodyPos = 0;
            v->headSize = 0;
            v->state = BODY;
        } else if (v->state == BODY) {
            size_t take = size < v->bodyLeft ? size : v->bodyLeft;
            if (v->bodyPos < sizeof v->seq) {
                size_t copy = sizeof v->seq - v->bodyPos;
                memcpy(v->seq + v->bodyPos, data, copy < take ? copy : take);
            }
            v->bodyPos += take;
            v->bodyLeft -= take;
            data += take;
            size -= take;
            if (v->bodyLeft == 0) {
                frameDone(v);
                v->bodyLeft = 2;
                v->state = TAIL;
            }
        } else {
            size_t take = size < v->bodyLeft ? size : v->bodyLeft;
            data += take;
            size -= take;
            v->bodyLeft -= take;
            if (v->bodyLeft == 0)
                v->state = HEAD;
        }
    }
}

/* Viewer i connects from 127.1.(i / VIEWERS_PER_ADDRESS).1, within the
 * service's cap of connections per client address. */
static int openViewer(int epoll, struct viewer *v, int index, int port, int stall)
{
    v->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (v->fd < 0)
        return -1;
    /* The port is chosen at connect time: one taken at bind time would keep
     * the next service run off it. */
    int noPort = 1;
    setsockopt(v->fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &noPort, sizeof noPort);
    struct sockaddr_in source = {.sin_family = AF_INET};
    source.sin_addr.s_addr = htonl(0x7f010001u + ((uint32_t)(index / VIEWERS_PER_ADDRESS) << 8));
    if (bind(v->fd, (struct sockaddr *)&source, sizeof source) < 0) {
        close(v->fd);
        return -1;
    }
    if (stall) {
        int small = 4096;
        setsockopt(v->fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(v->fd, (struct sockaddr *)&addr, sizeof addr) < 0 && errno != EINPROGRESS) {
        close(v->fd);
        return -1;
    }
    struct epoll_event ev = {.events = EPOLLOUT, .data.ptr = v};
    epoll_ctl(epoll, EPOLL_CTL_ADD, v->fd, &ev);
    v->state = HEAD;
    v->lastSeq = -1;
    return 0;
}

static void onEvent(int epoll, struct viewer *v, uint32_t events, int stall, char *buffer, size_t bufferSize)
{
    if (v->state == CLOSED)
        return;
    if (!v->connected && (events & EPOLLOUT)) {
        char request[512];
        int n = snprintf(request, sizeof request, "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", v->path);
        if (write(v->fd, request, (size_t)n) != n) {
            closeViewer(v);
            return;
        }
        v->connected = 1;
        struct epoll_event ev = {.events = stall ? 0 : EPOLLIN, .data.ptr = v};
        epoll_ctl(epoll, EPOLL_CTL_MOD, v->fd, &ev);
        return;
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        ssize_t n = read(v->fd, buffer, bufferSize);
        if (n <= 0 && !(n < 0 && errno == EAGAIN))
            closeViewer(v);
        else if (n > 0)
            consume(v, buffer, (size_t)n);
    }
}

static int compareLong(const void *a, const void *b)
{
    long x = *(const long *)a, y = *(const long *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: %s PORT PATHS COUNT WARMUP_S DURATION_S [PID] [--stall]\n", argv[0]);
        return 2;
    }
    const int port = atoi(argv[1]);
    const int count = atoi(argv[3]);
    const double warmup = atof(argv[4]);
    const double duration = atof(argv[5]);
    int pid = 0, stall = 0;
    for (int i = 6; i < argc; ++i) {
        if (strcmp(argv[i], "--stall") == 0)
            stall = 1;
        else
            pid = atoi(argv[i]);
    }

    char *paths[256];
    int pathCount = 0;
    for (char *p = strtok(argv[2], ","); p && pathCount < 256; p = strtok(NULL, ","))
        paths[pathCount++] = p;
    if (pathCount == 0 || count <= 0)
        return 2;

    struct viewer *viewers = calloc((size_t)count, sizeof *viewers);
    int epoll = epoll_create1(0);
    static char buffer[256 * 1024];
    struct epoll_event events[512];

    const double start = now();
    const double windowStart = start + warmup;
    const double end = windowStart + duration;
    int opened = 0, counting = 0;
    double cpuStart = 0, nextRss = windowStart + RSS_SAMPLE_S;
    long rssSeries[64];
    int rssSamples = 0;

    for (double t = now(); t < end; t = now()) {
        if (opened < count) {
            for (int i = 0; i < CONNECT_BATCH && opened < count; ++i, ++opened) {
                viewers[opened].path = paths[opened % pathCount];
                if (openViewer(epoll, &viewers[opened], opened, port, stall) < 0)
                    viewers[opened].state = CLOSED;
            }
        }
        if (!counting && t >= windowStart) {
            counting = 1;
            for (int i = 0; i < count; ++i)
                viewers[i].frames = viewers[i].missed = 0;
            if (pid)
                cpuStart = cpuOf(pid);
        }
        if (counting && pid && t >= nextRss && rssSamples < 64) {
            rssSeries[rssSamples++] = rssOf(pid);
            nextRss += RSS_SAMPLE_S;
        }
        int n = epoll_wait(epoll, events, 512, opened < count ? 10 : 50);
        for (int i = 0; i < n; ++i)
            onEvent(epoll, events[i].data.ptr, events[i].events, stall, buffer, sizeof buffer);
    }

    const double cpu = pid ? cpuOf(pid) - cpuStart : 0;
    const long rss = pid ? rssOf(pid) : 0;
    long *frames = malloc((size_t)count * sizeof *frames);
    long total = 0, missed = 0, withGaps = 0, streaming = 0;
    for (int i = 0; i < count; ++i) {
        frames[i] = viewers[i].frames;
        total += viewers[i].frames;
        missed += viewers[i].missed;
        withGaps += viewers[i].missed > 0;
        streaming += viewers[i].state != CLOSED && viewers[i].connected;
        closeViewer(&viewers[i]);
    }
    qsort(frames, (size_t)count, sizeof *frames, compareLong);

    printf("{\"viewers\": %d, \"streaming\": %ld, \"frames\": %ld, \"missed\": %ld, \"viewers_with_gaps\": %ld, "
           "\"min_frames\": %ld, \"median_frames\": %ld, \"max_frames\": %ld, \"duration\": %.3f, "
           "\"cpu_s\": %.6f, \"rss_kib\": %ld, \"rss_series_kib\": [",
           count, streaming, total, missed, withGaps, frames[0], frames[count / 2], frames[count - 1], duration, cpu,
           rss);
    for (int i = 0; i < rssSamples; ++i)
        printf("%s%ld", i ? ", " : "", rssSeries[i]);
    printf("]}\n");
    return 0;
}
