// TCP connections with a time limit (kx_tcp.hpp).

#include "kx_tcp.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

// The limit of one wait in milliseconds for poll: -1 without a limit.
int limit_ms(int seconds)
{
    if (seconds <= 0)
        return -1;
    return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

// Waits for the connection that fd has started to be made: the socket is
// watched for reading, writing and exceptions, and one that is reported
// neither readable nor writable counts as connected.
kx::TcpFailure await_connection(int fd, int seconds, int &error)
{
    using Clock = std::chrono::steady_clock;
    const int limit = limit_ms(seconds);
    const Clock::time_point start = Clock::now();
    pollfd watch{fd, POLLIN | POLLOUT | POLLPRI, 0};
    int ready;
    for (int left = limit; (ready = poll(&watch, 1, left)) < 0 && errno == EINTR;) {
        if (limit < 0)
            continue;
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        left = static_cast<int>(std::max<long long>(0, limit - spent.count()));
    }
    if (ready == 0) {
        error = ETIMEDOUT;
        return kx::TcpFailure::Timeout;
    }
    if (ready < 0) {
        error = errno;
        return kx::TcpFailure::Waiting;
    }
    if (!(watch.revents & (POLLIN | POLLOUT | POLLERR | POLLHUP)))
        return kx::TcpFailure::None;
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0 || pending != 0) {
        error = pending ? pending : errno;
        return kx::TcpFailure::Pending;
    }
    return kx::TcpFailure::None;
}

// One attempt at one address; the socket made for it, connected or not,
// goes to `made`.
kx::TcpFailure connect_address(const addrinfo &a, int seconds, kx::Socket &made, int &error)
{
    made = kx::Socket(
        socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol));
    if (!made) {
        error = errno;
        return kx::TcpFailure::Socket;
    }
    if (connect(made.get(), a.ai_addr, a.ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            error = errno;
            return kx::TcpFailure::Refused;
        }
        if (kx::TcpFailure failure = await_connection(made.get(), seconds, error);
            failure != kx::TcpFailure::None)
            return failure;
    }
    int flags = fcntl(made.get(), F_GETFL);
    if (flags < 0 || fcntl(made.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = errno;
        return kx::TcpFailure::Socket;
    }
    return kx::TcpFailure::None;
}

}  // namespace

namespace kx {

std::string TcpConnection::reason() const
{
    if (failure == TcpFailure::Lookup && lookup_error != EAI_SYSTEM)
        return gai_strerror(lookup_error);
    return std::strerror(error);
}

TcpConnection connect_tcp(const char *host, int port, int seconds)
{
    TcpConnection c;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (int rc = getaddrinfo(host, std::to_string(port).c_str(), &hints, &found); rc != 0) {
        c.failure = TcpFailure::Lookup;
        c.lookup_error = rc;
        c.error = errno;
        return c;
    }
    for (const addrinfo *a = found; a; a = a->ai_next) {
        Socket made;
        c.failure = connect_address(*a, seconds, made, c.error);
        if (c.failure == TcpFailure::None) {
            c.socket = std::move(made);
            break;
        }
    }
    freeaddrinfo(found);
    return c;
}

}  // namespace kx
