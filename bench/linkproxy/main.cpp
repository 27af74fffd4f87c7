// A network link between the benchmark's clients and the local server, for a kernel without a
// delay queue of its own: every connection accepted on 127.0.0.1:LISTEN_PORT is carried to
// HOST:PORT, each direction through a link of its own that all connections share. A chunk read
// from one side is serialized at the link's rate after the chunks read before it (of any
// connection), then travels half the round trip, then is written to the other side; a
// connection's chunks stay in order. The link holds at most 20 ms of unsent bytes, like a router's
// buffer: beyond that nothing is read, so TCP's flow control pushes back on the sender.
//
// The kernel completes a client's handshake at once, before the proxy sees the connection, so the
// proxy charges it itself: a connection's first bytes towards the server leave one round trip
// after it was accepted, which puts the first byte of an answer two round trips after connect()
// was called, as on a real link. What is not modelled: loss, TCP's slow start and its ACKs.
//
//   linkproxy LISTEN_PORT HOST:PORT RTT_MS MBIT_PER_S   (port 0: any free one; rate 0: no cap)
// Prints "port N" once it listens; runs until killed. On SIGUSR1 it prints "bytes UP DOWN": the
// bytes it read from the clients and from the server since the last such line (the bytes on the
// wire, every request and answer with its headers).

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <csignal>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;
using Ns = std::chrono::nanoseconds;

namespace
{

constexpr Ns kQueue = std::chrono::milliseconds(20);
constexpr size_t kConnCap = 4 << 20; // per connection and direction, for a side that stops reading

struct Chunk {
    Clock::time_point release;
    std::vector<char> data; // empty: the sender's end of stream
    size_t done = 0;
};

struct Link {
    double bytesPerNs = 0; // 0: no cap
    Clock::time_point free{};
};

// Side 0 is the client, side 1 the server; direction d carries side d's bytes to side 1 - d.
struct Conn {
    int fd[2] = {-1, -1};
    bool readable[2] = {false, false}, writable[2] = {false, false};
    bool connected = false, eof[2] = {false, false}, shut[2] = {false, false}, dead = false;
    std::deque<Chunk> queue[2];
    size_t queued[2] = {0, 0};
    Clock::time_point notBefore[2];
    struct Tag {
        Conn* conn;
        int side;
    } tag[2];
};

Ns halfRtt{0};
unsigned long long carried[2] = {0, 0};
volatile sig_atomic_t reportAsked = 0;

void askReport(int)
{
    reportAsked = 1;
}
Link links[2];
size_t chunkSize = 64 << 10;
int ep = -1;

void closeConn(Conn& c)
{
    for (int& fd : c.fd) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    c.dead = true;
}

// Writes what is due in direction d; false when the connection had to be given up.
bool flush(Conn& c, int d, Clock::time_point now)
{
    const int out = 1 - d;
    auto& q = c.queue[d];
    while (!q.empty() && q.front().release <= now && c.writable[out]) {
        Chunk& ch = q.front();
        if (ch.data.empty()) {
            shutdown(c.fd[out], SHUT_WR);
            c.shut[d] = true;
            q.pop_front();
            continue;
        }
        const ssize_t n =
            send(c.fd[out], ch.data.data() + ch.done, ch.data.size() - ch.done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                c.writable[out] = false;
                break;
            }
            if (errno == EINTR)
                continue;
            return false;
        }
        ch.done += size_t(n);
        c.queued[d] -= size_t(n);
        if (ch.done == ch.data.size())
            q.pop_front();
    }
    return true;
}

bool linkOpen(int d, Clock::time_point now)
{
    return links[d].bytesPerNs == 0 || links[d].free < now + kQueue;
}

// Reads one chunk of direction d if the link and the connection take it; false when nothing was
// read.
bool readOne(Conn& c, int d, Clock::time_point now)
{
    if (c.dead || !c.connected || !c.readable[d] || c.eof[d] || c.queued[d] >= kConnCap ||
        !linkOpen(d, now))
        return false;
    Chunk ch;
    ch.data.resize(chunkSize);
    const ssize_t n = read(c.fd[d], ch.data.data(), ch.data.size());
    if (n < 0) {
        if (errno == EINTR)
            return true;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            c.readable[d] = false;
            return false;
        }
        closeConn(c);
        return false;
    }
    ch.data.resize(size_t(n));
    carried[d] += size_t(n);
    if (size_t(n) < chunkSize / 4)
        ch.data.shrink_to_fit(); // a side that dribbles, queued long
    c.eof[d] = n == 0;
    Clock::time_point sent = std::max(now, c.notBefore[d]);
    if (n > 0 && links[d].bytesPerNs > 0) {
        sent = std::max(sent, links[d].free) +
               Ns(static_cast<long long>(double(n) / links[d].bytesPerNs));
        links[d].free = sent;
    }
    ch.release = sent + halfRtt;
    if (!c.queue[d].empty())
        ch.release = std::max(ch.release, c.queue[d].back().release);
    c.queued[d] += size_t(n);
    c.queue[d].push_back(std::move(ch));
    if (!flush(c, d, now))
        closeConn(c);
    return true;
}

void watch(Conn& c, int side)
{
    c.tag[side] = {&c, side};
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = &c.tag[side];
    epoll_ctl(ep, EPOLL_CTL_ADD, c.fd[side], &ev);
}

int die(const char* what)
{
    std::fprintf(stderr, "linkproxy: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: linkproxy LISTEN_PORT HOST:PORT RTT_MS MBIT_PER_S\n");
        return 2;
    }
    const std::string target = argv[2];
    const auto colon = target.rfind(':');
    if (colon == std::string::npos)
        return die("target must be HOST:PORT");
    addrinfo hints{}, *to = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(target.substr(0, colon).c_str(), target.substr(colon + 1).c_str(), &hints,
                    &to) != 0)
        return die("cannot resolve the target");
    halfRtt = Ns(static_cast<long long>(std::atof(argv[3]) * 1e6 / 2));
    const double mbit = std::atof(argv[4]);
    for (Link& l : links)
        l.bytesPerNs = mbit * 1e6 / 8 / 1e9;
    if (mbit > 0) // about two milliseconds of the link per chunk, so a chunk is not a burst
        chunkSize = std::clamp(size_t(mbit * 1e6 / 8 / 500), size_t(4096), size_t(65536));

    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(std::atoi(argv[1])));
    if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lfd, 512) != 0)
        return die("cannot listen on that port");
    socklen_t len = sizeof addr;
    getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
    // SIGUSR1 is blocked but while waiting for events, so that a report is never missed.
    struct sigaction sa{};
    sa.sa_handler = askReport;
    sigaction(SIGUSR1, &sa, nullptr);
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGUSR1);

    std::printf("port %d\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.ptr = nullptr;
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &lev);

    std::vector<std::unique_ptr<Conn>> conns;
    size_t turn = 0; // where the next round of reads starts, so no connection is always first
    epoll_event events[256];
    for (;;) {
        Clock::time_point now = Clock::now();
        // Writes due, then reads in turns, one chunk per connection and round, while the links
        // take them.
        for (auto& c : conns)
            for (int d = 0; d < 2 && !c->dead; ++d)
                if (!flush(*c, d, now))
                    closeConn(*c);
        for (bool any = true; any && !conns.empty();) {
            any = false;
            for (size_t i = 0; i < conns.size(); ++i) {
                Conn& c = *conns[(turn + i) % conns.size()];
                for (int d = 0; d < 2; ++d)
                    any = readOne(c, d, now) || any;
            }
            ++turn;
            now = Clock::now();
        }
        for (auto& c : conns)
            if (!c->dead && c->shut[0] && c->shut[1])
                closeConn(*c);
        conns.erase(std::remove_if(conns.begin(), conns.end(), [](auto& c) { return c->dead; }),
                    conns.end());

        // Sleep until the next chunk is due or a full link has room again.
        Clock::time_point wake = Clock::time_point::max();
        for (auto& c : conns)
            for (int d = 0; d < 2; ++d) {
                if (!c->queue[d].empty() && c->writable[1 - d])
                    wake = std::min(wake, c->queue[d].front().release);
                if (c->connected && c->readable[d] && !c->eof[d] && !linkOpen(d, now))
                    wake = std::min(wake, links[d].free - kQueue);
            }
        timespec ts{}, *tsp = nullptr;
        if (wake != Clock::time_point::max()) {
            const long long ns = std::max<long long>(0, Ns(wake - Clock::now()).count());
            ts.tv_sec = ns / 1000000000;
            ts.tv_nsec = ns % 1000000000;
            tsp = &ts;
        }
        const int n = epoll_pwait2(ep, events, 256, tsp, &waiting);
        if (n < 0 && errno != EINTR)
            return die("epoll_pwait2 failed");
        if (reportAsked) {
            reportAsked = 0;
            std::printf("bytes %llu %llu\n", carried[0], carried[1]);
            std::fflush(stdout);
            carried[0] = carried[1] = 0;
        }
        now = Clock::now();
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr == nullptr) {
                for (;;) {
                    const int cfd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (cfd < 0)
                        break;
                    auto c = std::make_unique<Conn>();
                    c->fd[0] = cfd;
                    c->fd[1] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                    for (int fd : c->fd)
                        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    if (connect(c->fd[1], to->ai_addr, to->ai_addrlen) != 0 &&
                        errno != EINPROGRESS) {
                        closeConn(*c);
                        continue;
                    }
                    c->notBefore[0] = now + 2 * halfRtt;
                    c->notBefore[1] = now;
                    watch(*c, 0);
                    watch(*c, 1);
                    conns.push_back(std::move(c));
                }
                continue;
            }
            auto* tag = static_cast<Conn::Tag*>(events[i].data.ptr);
            Conn& c = *tag->conn;
            if (c.dead)
                continue;
            const uint32_t e = events[i].events;
            if (tag->side == 1 && !c.connected && (e & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                int err = 0;
                socklen_t l = sizeof err;
                getsockopt(c.fd[1], SOL_SOCKET, SO_ERROR, &err, &l);
                if (err != 0) {
                    closeConn(c);
                    continue;
                }
                c.connected = true;
            }
            if (e & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                c.readable[tag->side] = true;
            if (e & (EPOLLOUT | EPOLLERR))
                c.writable[tag->side] = true;
        }
    }
}
