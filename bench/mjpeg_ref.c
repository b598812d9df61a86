/*
 * The yardstick for the MJPEG fan-out figures: the least a program can do to
 * serve the same streams. One thread, one epoll set. Every viewed channel is
 * fetched from the DVR over one keep-alive connection, 200 ms after the
 * previous fetch ended, and each snapshot goes to every viewer of the channel
 * with one write. A viewer whose previous frame has not left yet skips the
 * frame; a partial write is finished when the socket drains.
 *
 *   mjpeg_ref LISTEN_PORT DVR_PORT
 *
 * Listens on 127.0.0.1:LISTEN_PORT; a request for any path ending in /N
 * watches channel N, fetched as /snapshot<N-1>.jpg from 127.0.0.1:DVR_PORT.
 * Runs until SIGTERM or SIGINT.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#define MAX_CHANNELS 64
#define MAX_REQUEST 8192
#define MAX_SNAPSHOT (4 * 1024 * 1024)
#define FRAME_INTERVAL_MS 200

static const char STREAM_HEAD[] = "HTTP/1.1 200 OK\r\n"
                                  "Cache-Control: no-cache\r\n"
                                  "Connection: keep-alive\r\n"
                                  "Content-type: multipart/x-mixed-replace; boundary=endofsection\r\n"
                                  "\r\n";

enum kind { LISTENER, VIEWER, DVR, TIMER, GONE };

struct handle {
    enum kind kind;
};

struct frame {
    int refs;
    size_t size;
    char bytes[];
};

struct viewer {
    struct handle h;
    int fd;
    int channel; /* 0 until the request is read */
    size_t slot;
    char request[MAX_REQUEST];
    size_t requestSize;
    struct frame *pending;
    size_t pendingOffset;
    struct viewer *nextGone;
};

struct channel {
    int number;
    struct handle dvrHandle;
    struct handle timerHandle;
    int dvrFd;
    int timerFd;
    int fetching;
    int connecting;
    char *response;
    size_t responseSize;
    struct viewer **viewers;
    size_t viewerCount;
    size_t viewerCapacity;
};

static int g_epoll;
static int g_dvrPort;
static struct channel g_channels[MAX_CHANNELS + 1];
static volatile sig_atomic_t g_running = 1;
/* Viewers dropped while a batch of events is handled; freed after it, since
 * a later event of the same batch may still point at them. */
static struct viewer *g_gone;

static void die(const char *what)
{
    perror(what);
    exit(1);
}

static void frameRelease(struct frame *frame)
{
    if (frame && --frame->refs == 0)
        free(frame);
}

static void watch(int fd, uint32_t events, void *ptr, int op)
{
    struct epoll_event ev = {.events = events, .data.ptr = ptr};
    if (epoll_ctl(g_epoll, op, fd, &ev) < 0)
        die("epoll_ctl");
}

static void armTimer(struct channel *ch)
{
    struct itimerspec due = {.it_value = {.tv_sec = 0, .tv_nsec = FRAME_INTERVAL_MS * 1000000L}};
    timerfd_settime(ch->timerFd, 0, &due, NULL);
}

static void disarmTimer(struct channel *ch)
{
    struct itimerspec due = {0};
    timerfd_settime(ch->timerFd, 0, &due, NULL);
}

static void closeDvr(struct channel *ch)
{
    if (ch->dvrFd >= 0)
        close(ch->dvrFd);
    ch->dvrFd = -1;
    ch->fetching = 0;
    ch->connecting = 0;
    ch->responseSize = 0;
}

static void sendRequest(struct channel *ch)
{
    char request[256];
    int n = snprintf(request, sizeof request,
                     "GET /snapshot%d.jpg HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                     "Authorization: Basic YWRtaW46YWRtaW4=\r\nCache-Control: no-cache\r\n\r\n",
                     ch->number - 1, g_dvrPort);
    if (write(ch->dvrFd, request, (size_t)n) != n)
        closeDvr(ch);
}

static void startFetch(struct channel *ch)
{
    ch->fetching = 1;
    ch->responseSize = 0;
    if (ch->dvrFd >= 0) {
        sendRequest(ch);
        if (ch->dvrFd >= 0)
            return;
        ch->fetching = 1;
    }
    ch->dvrFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((uint16_t)g_dvrPort)};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(ch->dvrFd, (struct sockaddr *)&addr, sizeof addr) < 0 && errno != EINPROGRESS) {
        closeDvr(ch);
        armTimer(ch);
        return;
    }
    ch->connecting = 1;
    watch(ch->dvrFd, EPOLLIN | EPOLLOUT, &ch->dvrHandle, EPOLL_CTL_ADD);
}

static void dropViewer(struct viewer *v)
{
    if (v->channel) {
        struct channel *ch = &g_channels[v->channel];
        struct viewer *last = ch->viewers[--ch->viewerCount];
        ch->viewers[v->slot] = last;
        last->slot = v->slot;
        if (ch->viewerCount == 0)
            disarmTimer(ch);
    }
    close(v->fd);
    frameRelease(v->pending);
    v->pending = NULL;
    v->h.kind = GONE;
    v->nextGone = g_gone;
    g_gone = v;
}

static void freeGone(void)
{
    while (g_gone) {
        struct viewer *v = g_gone;
        g_gone = v->nextGone;
        free(v);
    }
}

/* Returns 0 when the viewer went away. */
static int writePending(struct viewer *v)
{
    while (v->pending) {
        ssize_t n = write(v->fd, v->pending->bytes + v->pendingOffset, v->pending->size - v->pendingOffset);
        if (n < 0) {
            if (errno == EAGAIN)
                return 1;
            dropViewer(v);
            return 0;
        }
        v->pendingOffset += (size_t)n;
        if (v->pendingOffset == v->pending->size) {
            frameRelease(v->pending);
            v->pending = NULL;
            watch(v->fd, EPOLLIN, &v->h, EPOLL_CTL_MOD);
        }
    }
    return 1;
}

static void fanOut(struct channel *ch, const char *jpeg, size_t size)
{
    char head[128];
    int headSize = snprintf(head, sizeof head,
                            "--endofsection\r\nContent-type: image/jpeg\r\nContent-Length: %zu\r\n\r\n", size);
    struct frame *frame = malloc(sizeof *frame + (size_t)headSize + size + 2);
    frame->refs = 1;
    frame->size = (size_t)headSize + size + 2;
    memcpy(frame->bytes, head, (size_t)headSize);
    memcpy(frame->bytes + headSize, jpeg, size);
    memcpy(frame->bytes + headSize + size, "\r\n", 2);

    for (size_t i = ch->viewerCount; i-- > 0;) {
        struct viewer *v = ch->viewers[i];
        if (v->pending)
            continue;
        ssize_t n = write(v->fd, frame->bytes, frame->size);
        if (n == (ssize_t)frame->size)
            continue;
        if (n < 0 && errno != EAGAIN) {
            dropViewer(v);
            continue;
        }
        frame->refs++;
        v->pending = frame;
        v->pendingOffset = n < 0 ? 0 : (size_t)n;
        watch(v->fd, EPOLLIN | EPOLLOUT, &v->h, EPOLL_CTL_MOD);
    }
    frameRelease(frame);
}

/* A complete response: its length, or 0 while more is due. */
static size_t responseComplete(struct channel *ch, size_t *bodyOffset, size_t *bodySize)
{
    char *end = memmem(ch->response, ch->responseSize, "\r\n\r\n", 4);
    if (!end)
        return 0;
    *bodyOffset = (size_t)(end - ch->response) + 4;
    char *length = strcasestr(ch->response, "\r\nContent-Length:");
    *bodySize = length && length < end ? strtoul(length + 17, NULL, 10) : 0;
    size_t total = *bodyOffset + *bodySize;
    return ch->responseSize >= total ? total : 0;
}

static void onDvr(struct channel *ch, uint32_t events)
{
    if (ch->connecting && (events & EPOLLOUT)) {
        ch->connecting = 0;
        watch(ch->dvrFd, EPOLLIN, &ch->dvrHandle, EPOLL_CTL_MOD);
        sendRequest(ch);
        if (ch->dvrFd < 0) {
            armTimer(ch);
            return;
        }
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        return;
    if (!ch->response)
        ch->response = malloc(MAX_SNAPSHOT + 1);
    ssize_t n = read(ch->dvrFd, ch->response + ch->responseSize, MAX_SNAPSHOT - ch->responseSize);
    if (n <= 0) {
        closeDvr(ch);
        if (ch->viewerCount)
            armTimer(ch);
        return;
    }
    ch->responseSize += (size_t)n;
    ch->response[ch->responseSize] = 0;
    size_t bodyOffset, bodySize;
    if (!responseComplete(ch, &bodyOffset, &bodySize)) {
        if (ch->responseSize == MAX_SNAPSHOT)
            closeDvr(ch);
        return;
    }
    ch->fetching = 0;
    if (ch->viewerCount) {
        fanOut(ch, ch->response + bodyOffset, bodySize);
        armTimer(ch);
    }
    ch->responseSize = 0;
}

static void onTimer(struct channel *ch)
{
    uint64_t expirations;
    if (read(ch->timerFd, &expirations, sizeof expirations) < 0)
        return;
    if (ch->viewerCount && !ch->fetching)
        startFetch(ch);
}

static int channelOfRequest(const char *request)
{
    const char *path = strchr(request, ' ');
    if (!path)
        return 0;
    const char *pathEnd = strchr(path + 1, ' ');
    const char *slash = path;
    for (const char *p = path; p < pathEnd; ++p) {
        if (*p == '/')
            slash = p;
    }
    int number = atoi(slash + 1);
    return number >= 1 && number <= MAX_CHANNELS ? number : 0;
}

static void attach(struct viewer *v, int number)
{
    struct channel *ch = &g_channels[number];
    if (ch->viewerCount == ch->viewerCapacity) {
        ch->viewerCapacity = ch->viewerCapacity ? ch->viewerCapacity * 2 : 16;
        ch->viewers = realloc(ch->viewers, ch->viewerCapacity * sizeof *ch->viewers);
    }
    v->channel = number;
    v->slot = ch->viewerCount;
    ch->viewers[ch->viewerCount++] = v;
    if (ch->viewerCount == 1 && !ch->fetching)
        armTimer(ch);
}

static void onViewer(struct viewer *v, uint32_t events)
{
    if (events & EPOLLOUT) {
        if (!writePending(v))
            return;
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        return;
    char scratch[4096];
    char *into = v->channel ? scratch : v->request + v->requestSize;
    size_t room = v->channel ? sizeof scratch : MAX_REQUEST - 1 - v->requestSize;
    ssize_t n = read(v->fd, into, room);
    if (n <= 0 || room == 0) {
        dropViewer(v);
        return;
    }
    if (v->channel)
        return;
    v->requestSize += (size_t)n;
    v->request[v->requestSize] = 0;
    if (!strstr(v->request, "\r\n\r\n"))
        return;
    int number = channelOfRequest(v->request);
    if (!number || write(v->fd, STREAM_HEAD, sizeof STREAM_HEAD - 1) != sizeof STREAM_HEAD - 1) {
        dropViewer(v);
        return;
    }
    attach(v, number);
}

static void onListener(int listenFd)
{
    for (;;) {
        int fd = accept4(listenFd, NULL, NULL, SOCK_NONBLOCK);
        if (fd < 0)
            return;
        struct viewer *v = calloc(1, sizeof *v);
        v->h.kind = VIEWER;
        v->fd = fd;
        watch(fd, EPOLLIN, &v->h, EPOLL_CTL_ADD);
    }
}

static void onSignal(int sig)
{
    (void)sig;
    g_running = 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s LISTEN_PORT DVR_PORT\n", argv[0]);
        return 2;
    }
    g_dvrPort = atoi(argv[2]);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa = {.sa_handler = onSignal};
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    g_epoll = epoll_create1(0);
    int listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1]))};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd, (struct sockaddr *)&addr, sizeof addr) < 0 || listen(listenFd, 4096) < 0)
        die("listen");
    struct handle listener = {LISTENER};
    watch(listenFd, EPOLLIN, &listener, EPOLL_CTL_ADD);

    for (int i = 1; i <= MAX_CHANNELS; ++i) {
        struct channel *ch = &g_channels[i];
        ch->number = i;
        ch->dvrHandle.kind = DVR;
        ch->timerHandle.kind = TIMER;
        ch->dvrFd = -1;
        ch->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
        watch(ch->timerFd, EPOLLIN, &ch->timerHandle, EPOLL_CTL_ADD);
    }

    struct epoll_event events[256];
    while (g_running) {
        int n = epoll_wait(g_epoll, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            struct handle *h = events[i].data.ptr;
            switch (h->kind) {
            case LISTENER:
                onListener(listenFd);
                break;
            case VIEWER:
                onViewer((struct viewer *)h, events[i].events);
                break;
            case DVR:
                onDvr((struct channel *)((char *)h - offsetof(struct channel, dvrHandle)), events[i].events);
                break;
            case TIMER:
                onTimer((struct channel *)((char *)h - offsetof(struct channel, timerHandle)));
                break;
            case GONE:
                break;
            }
        }
        freeGone();
    }
    return 0;
}
