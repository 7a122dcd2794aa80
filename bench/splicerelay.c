/* splicerelay: a minimal SOCKS4 CONNECT relay, the yardstick for the program's throughput.
 *
 * One thread, one level-triggered epoll set, and per direction one pipe that splice(2) fills from
 * one socket and drains into the other, so relayed bytes never enter user space. Any version-4
 * request is served as CONNECT to its address and port (user id ignored, no access list, no log).
 * When either side ends, what its pipes hold is delivered and both connections are closed, as the
 * program does. A side whose pipe toward the other is not empty is not read (flow control).
 *
 * Usage: splicerelay [PORT [PIPE_BYTES]]   PORT 0 (default) takes a free one on 127.0.0.1;
 * PIPE_BYTES sets each pipe's size (default: the kernel's, 64 KiB). Prints the port, then runs
 * until killed. Benchmarks only: listens on loopback. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

enum { Request, Connecting, Relaying };

struct side {
    struct session *s;
    int fd;
    int pipe[2]; /* bytes read from this side, on their way to the other */
    size_t piped;
    int ended; /* this side's end (or a failure) was seen */
    unsigned mask; /* events asked of epoll, so that it is told only of changes */
};

struct session {
    struct side c, d; /* client, destination */
    int state;
    unsigned char request[512];
    size_t have;
};

static int ep;
static int pipeBytes;

static void watch(struct side *x, int op, unsigned events)
{
    if (op == EPOLL_CTL_MOD && x->mask == events)
        return;
    struct epoll_event e = { .events = events, .data.ptr = x };
    epoll_ctl(ep, op, x->fd, &e);
    x->mask = events;
}

static struct side *other(struct side *x) { return x == &x->s->c ? &x->s->d : &x->s->c; }

static void finish(struct session *s)
{
    struct side *all[] = { &s->c, &s->d };
    for (int i = 0; i < 2; ++i) {
        if (all[i]->fd >= 0)
            close(all[i]->fd);
        if (all[i]->pipe[0] >= 0) {
            close(all[i]->pipe[0]);
            close(all[i]->pipe[1]);
        }
    }
    free(s);
}

/* Moves what `from` has toward the other side; returns -1 once the session is over. */
static int pump(struct side *from)
{
    struct side *to = other(from);
    if (!from->ended && !to->ended && from->piped == 0) {
        ssize_t n = splice(from->fd, NULL, from->pipe[1], NULL, 1 << 20,
                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0)
            from->piped += (size_t)n;
        else if (n == 0 || errno != EAGAIN)
            from->ended = 1;
    }
    while (from->piped > 0) {
        ssize_t n = splice(from->pipe[0], NULL, to->fd, NULL, from->piped,
                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0)
            from->piped -= (size_t)n;
        else if (n < 0 && errno == EAGAIN)
            break;
        else
            return -1; /* the receiver is gone */
    }
    int ending = from->ended || to->ended;
    if (ending && from->piped == 0 && to->piped == 0)
        return -1;
    /* A side is read only while its pipe is empty and nobody has ended; a side is written to
     * while the other side's pipe holds bytes. */
    watch(from, EPOLL_CTL_MOD, (from->piped || ending ? 0 : EPOLLIN) | (to->piped ? EPOLLOUT : 0));
    watch(to, EPOLL_CTL_MOD, (to->piped || ending ? 0 : EPOLLIN) | (from->piped ? EPOLLOUT : 0));
    return 0;
}

static void reply(struct session *s, unsigned char code)
{
    unsigned char r[8] = { 0, code };
    memcpy(r + 2, s->request + 2, 6);
    (void)!send(s->c.fd, r, sizeof r, MSG_NOSIGNAL);
}

static int onRequest(struct session *s)
{
    ssize_t n = recv(s->c.fd, s->request + s->have, sizeof s->request - s->have, 0);
    if (n <= 0) {
        if (n < 0 && errno == EAGAIN)
            return 0;
        finish(s);
        return 1;
    }
    s->have += (size_t)n;
    if (s->have < 9 || !memchr(s->request + 8, 0, s->have - 8)) {
        if (s->have < sizeof s->request)
            return 0;
        finish(s);
        return 1;
    }
    if (s->request[0] != 4 || memchr(s->request + 8, 0, s->have - 8) != s->request + s->have - 1) {
        finish(s); /* not SOCKS4, or bytes after the request: not for this yardstick */
        return 1;
    }
    struct sockaddr_in a = { .sin_family = AF_INET };
    memcpy(&a.sin_port, s->request + 2, 2);
    memcpy(&a.sin_addr, s->request + 4, 4);
    s->d.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s->d.fd < 0 || (connect(s->d.fd, (struct sockaddr *)&a, sizeof a) != 0
                        && errno != EINPROGRESS)) {
        reply(s, 91);
        finish(s);
        return 1;
    }
    s->state = Connecting;
    watch(&s->c, EPOLL_CTL_MOD, 0);
    watch(&s->d, EPOLL_CTL_ADD, EPOLLOUT);
    return 0;
}

static int onConnected(struct session *s)
{
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(s->d.fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0 || pipe2(s->c.pipe, O_NONBLOCK | O_CLOEXEC) != 0
        || pipe2(s->d.pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        reply(s, 91);
        finish(s);
        return 1;
    }
    if (pipeBytes > 0) {
        fcntl(s->c.pipe[1], F_SETPIPE_SZ, pipeBytes);
        fcntl(s->d.pipe[1], F_SETPIPE_SZ, pipeBytes);
    }
    int one = 1;
    setsockopt(s->d.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    reply(s, 90);
    s->state = Relaying;
    watch(&s->c, EPOLL_CTL_MOD, EPOLLIN);
    watch(&s->d, EPOLL_CTL_MOD, EPOLLIN);
    return 0;
}

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    int port = argc > 1 ? atoi(argv[1]) : 0;
    pipeBytes = argc > 2 ? atoi(argv[2]) : 0;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = { .sin_family = AF_INET, .sin_port = htons((uint16_t)port),
                             .sin_addr.s_addr = htonl(INADDR_LOOPBACK) };
    socklen_t length = sizeof a;
    if (bind(listener, (struct sockaddr *)&a, sizeof a) != 0 || listen(listener, 512) != 0) {
        perror("splicerelay");
        return 1;
    }
    getsockname(listener, (struct sockaddr *)&a, &length);
    printf("%u\n", ntohs(a.sin_port));
    fflush(stdout);

    ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event e = { .events = EPOLLIN, .data.ptr = NULL };
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &e);
    struct epoll_event events[64];
    for (;;) {
        int n = epoll_wait(ep, events, 64, -1);
        for (int i = 0; i < n; ++i) {
            struct side *x = events[i].data.ptr;
            if (!x) {
                int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0)
                    continue;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                struct session *s = calloc(1, sizeof *s);
                s->c = (struct side){ .s = s, .fd = fd, .pipe = { -1, -1 } };
                s->d = (struct side){ .s = s, .fd = -1, .pipe = { -1, -1 } };
                watch(&s->c, EPOLL_CTL_ADD, EPOLLIN);
                continue;
            }
            struct session *s = x->s;
            int over;
            if (s->state == Request) {
                over = onRequest(s);
            } else if (s->state == Connecting) {
                /* The client may only hang up while its destination connects. */
                over = x == &s->d ? onConnected(s) : (finish(s), 1);
            } else {
                /* Writable: the other side's pipe drains into x; readable: x's bytes go over. */
                unsigned ev = events[i].events;
                over = ((ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && pump(other(x)) < 0)
                    || ((ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) && pump(x) < 0);
                if (over)
                    finish(s);
            }
            if (over)
                break; /* the rest of this batch may name the session just freed; epoll repeats it */
        }
    }
}
