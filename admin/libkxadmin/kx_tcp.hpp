// TCP connections with a time limit: the library's one way of reaching a
// server, for the directory sessions' connections (kx_connect.cpp) and for
// the probe of the primary directory server (kx_pingDShost).
#ifndef KX_TCP_HPP
#define KX_TCP_HPP

#include <string>
#include <utility>

#include <unistd.h>

namespace kx {

// A socket descriptor that closes itself.
class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket &operator=(Socket &&other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

// Where an attempt to connect stopped.
enum class TcpFailure {
    None,     // connected
    Lookup,   // the name gave no address
    Socket,   // no socket could be made for the address
    Refused,  // connect() failed at once
    Waiting,  // waiting for the connection failed
    Timeout,  // no answer within the time limit
    Pending,  // the connection ended with an error, or its error was unreadable
};

struct TcpConnection {
    Socket socket;  // the connected socket, in blocking mode; none after a failure
    TcpFailure failure = TcpFailure::None;
    int error = 0;         // errno value of the failure (ETIMEDOUT for Timeout)
    int lookup_error = 0;  // getaddrinfo's code, for Lookup
    // The failure in words: getaddrinfo's text or strerror of error.
    std::string reason() const;
};

// Connects to port of host (a name or an address), trying each address that
// the name resolves to, IPv6 ones included, in turn until one answers.  Each
// attempt may take `seconds` (0: no limit of its own; the kernel's then
// applies); an interrupted wait resumes for the time left.  Without a
// connection, the failure of the last address tried (or of the lookup).
TcpConnection connect_tcp(const char *host, int port, int seconds);

}  // namespace kx

#endif
