// echo_load: a native echo client for bench/transport_bench.py.
//
// A client written in Python costs about as much CPU per request as the server it measures, so on a
// small machine it takes a core the server could use and caps every server alike. This one keeps
// `connections` TCP connections busy from one thread: each sends `size` bytes, waits until it has
// read `size` bytes back, and sends again. For every line it reads on standard input it prints
// "<completed requests> <steady clock ns>"; it exits at the end of its input.
//
//     echo_load PORT CONNECTIONS SIZE

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "echo_load: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

struct Connection {
    int fd = -1;
    size_t sent = 0;      // bytes of the current request written
    size_t received = 0;  // bytes of its echo read
    bool waiting_writable = false;
};

class Load {
public:
    Load(int port, size_t connections, size_t size) : message_(size, 'x'), buffer_(256 * 1024) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) fail("epoll_create1");
        watch(STDIN_FILENO, EPOLLIN, kInputTag);
        connections_.resize(connections);
        for (size_t index = 0; index < connections; ++index) {
            Connection& connection = connections_[index];
            connection.fd = connect_to(port);
            watch(connection.fd, EPOLLIN, index);
            send_more(connection, index);
        }
    }

    ~Load() {
        for (const Connection& connection : connections_) close(connection.fd);
        close(epoll_);
    }

    // Runs until standard input ends.
    void run() {
        epoll_event events[256];
        for (;;) {
            int ready = epoll_wait(epoll_, events, 256, -1);
            if (ready < 0) {
                if (errno == EINTR) continue;  // a signal is not an end of input
                fail("epoll_wait");
            }
            for (int i = 0; i < ready; ++i) {
                if (events[i].data.u64 == kInputTag) {
                    if (!answer_marks()) return;
                    continue;
                }
                size_t index = events[i].data.u64;
                if (events[i].events & EPOLLOUT) send_more(connections_[index], index);
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) receive(connections_[index], index);
            }
        }
    }

private:
    static constexpr uint64_t kInputTag = ~uint64_t{0};

    static int connect_to(int port) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) fail("socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) fail("connect");
        // The Python clients and servers all turn Nagle's algorithm off; so does this one.
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) fail("fcntl");
        return fd;
    }

    void watch(int fd, uint32_t events, uint64_t tag) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = tag;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) < 0) fail("epoll_ctl");
    }

    void want_writable(Connection& connection, size_t index, bool wanted) {
        if (connection.waiting_writable == wanted) return;
        connection.waiting_writable = wanted;
        epoll_event event{};
        event.events = EPOLLIN | (wanted ? EPOLLOUT : 0u);
        event.data.u64 = index;
        if (epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event) < 0) fail("epoll_ctl");
    }

    void send_more(Connection& connection, size_t index) {
        while (connection.sent < message_.size()) {
            ssize_t written = send(connection.fd, message_.data() + connection.sent,
                                   message_.size() - connection.sent, MSG_NOSIGNAL);
            if (written < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) break;
                fail("send");
            }
            connection.sent += static_cast<size_t>(written);
        }
        want_writable(connection, index, connection.sent < message_.size());
    }

    void receive(Connection& connection, size_t index) {
        for (;;) {
            ssize_t got = recv(connection.fd, buffer_.data(), buffer_.size(), 0);
            if (got < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) return;
                fail("recv");
            }
            if (got == 0) {
                errno = ECONNRESET;
                fail("the server closed a connection");
            }
            connection.received += static_cast<size_t>(got);
            if (connection.received < message_.size()) continue;
            // An echo server never answers ahead of the request, so the reply is complete here.
            ++completed_;
            connection.received = 0;
            connection.sent = 0;
            send_more(connection, index);
            return;
        }
    }

    // Answers every complete line of input; false at its end.
    bool answer_marks() {
        char chunk[256];
        ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0) return errno == EINTR || errno == EAGAIN;
        if (got == 0) return false;
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] != '\n') continue;
            auto now = std::chrono::steady_clock::now().time_since_epoch();
            std::printf("%llu %lld\n", static_cast<unsigned long long>(completed_),
                        static_cast<long long>(std::chrono::nanoseconds(now).count()));
        }
        std::fflush(stdout);
        return true;
    }

    std::string message_;
    std::vector<char> buffer_;
    std::vector<Connection> connections_;
    int epoll_ = -1;
    unsigned long long completed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: echo_load PORT CONNECTIONS SIZE\n");
        return 2;
    }
    Load load(std::atoi(argv[1]), std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10));
    load.run();
    return 0;
}
