// A WebSocket client on a raw TCP socket, for tests that must send what no
// well-behaved client sends (slow bytes, odd headers, huge frames) or read
// exactly what the service answers.  Blocking calls with timeouts; loopback
// only.
#ifndef KOBIX_TEST_RAWCLIENT_H
#define KOBIX_TEST_RAWCLIENT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

class RawClient
{
public:
    RawClient() = default;
    ~RawClient() { closeNow(); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connectTo(bool v6 = false, int port = 9030)
    {
        closeNow();
        m_fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return false;
        int rc;
        if (v6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(port);
            a.sin6_addr = in6addr_loopback;
            rc = ::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            rc = ::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        }
        return rc == 0;
    }
    void closeNow()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_buf.clear();
    }
    int fd() const { return m_fd; }

    bool sendAll(const std::string &bytes)
    {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(m_fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    // Sends what fits without waiting; the byte count, or -1 on error.
    long sendSome(const std::string &bytes)
    {
        ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        return n;
    }

    // Reads more bytes into the buffer: 1 read, 0 peer closed (or reset),
    // -1 nothing within timeoutMs.
    int fill(int timeoutMs)
    {
        pollfd p{m_fd, POLLIN, 0};
        int r = ::poll(&p, 1, timeoutMs);
        if (r <= 0)
            return -1;
        char chunk[65536];
        ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
        if (n <= 0)
            return 0;
        m_buf.append(chunk, static_cast<size_t>(n));
        return 1;
    }
    // The HTTP answer head (up to the empty line), or what came before the
    // peer closed / the time ran out.
    std::string readHead(int timeoutMs = 5000)
    {
        for (;;) {
            size_t end = m_buf.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::string head = m_buf.substr(0, end + 4);
                m_buf.erase(0, end + 4);
                return head;
            }
            if (fill(timeoutMs) != 1) {
                std::string partial;
                partial.swap(m_buf);
                return partial;
            }
        }
    }
    // One frame from the service (unmasked).  False on timeout or close.
    bool readFrame(int &opcode, std::string &payload, int timeoutMs = 10000)
    {
        for (;;) {
            if (m_buf.size() >= 2) {
                const auto *p = reinterpret_cast<const unsigned char *>(m_buf.data());
                uint64_t len = p[1] & 0x7F;
                size_t header = 2;
                if (len >= 126)
                    header = len == 126 ? 4 : 10;
                if (m_buf.size() >= header) {
                    if (header > 2) {
                        len = 0;
                        for (size_t i = 2; i < header; ++i)
                            len = (len << 8) | p[i];
                    }
                    if (m_buf.size() >= header + len) {
                        opcode = p[0] & 0x0F;
                        payload = m_buf.substr(header, len);
                        m_buf.erase(0, header + len);
                        return true;
                    }
                }
            }
            if (fill(timeoutMs) != 1)
                return false;
        }
    }
    // True when the peer closes (or resets) within timeoutMs; data before
    // that is kept in the buffer.
    bool closedWithin(int timeoutMs)
    {
        for (;;) {
            int r = fill(timeoutMs);
            if (r == 0)
                return true;
            if (r < 0)
                return false;
        }
    }
    std::string &buffer() { return m_buf; }

    // An upgrade request; origin "-" sends none.
    static std::string handshake(const std::string &host = "127.0.0.1:9030", const std::string &origin = "-",
                                 const std::string &extra = std::string())
    {
        std::string r = "GET / HTTP/1.1\r\nHost: " + host +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
        if (origin != "-")
            r += "Origin: " + origin + "\r\n";
        return r + extra + "\r\n";
    }
    // HTTP status of an answer head, 0 when there is none.
    static int status(const std::string &head)
    {
        if (head.compare(0, 9, "HTTP/1.1 ") != 0 || head.size() < 12)
            return 0;
        return std::stoi(head.substr(9, 3));
    }
    // A masked client frame; `length` overrides the announced length.
    static std::string frame(int opcode, const std::string &payload, bool fin = true, int64_t length = -1)
    {
        uint64_t len = length < 0 ? payload.size() : static_cast<uint64_t>(length);
        std::string f;
        f += static_cast<char>((fin ? 0x80 : 0) | opcode);
        if (len < 126) {
            f += static_cast<char>(0x80 | len);
        } else if (len < 65536) {
            f += static_cast<char>(0x80 | 126);
            f += static_cast<char>(len >> 8);
            f += static_cast<char>(len & 0xFF);
        } else {
            f += static_cast<char>(0x80 | 127);
            for (int i = 0; i < 8; ++i)
                f += static_cast<char>((len >> (56 - 8 * i)) & 0xFF);
        }
        const unsigned char mask[4] = {0x37, 0xfa, 0x21, 0x3d};
        f.append(reinterpret_cast<const char *>(mask), 4);
        for (size_t i = 0; i < payload.size(); ++i)
            f += static_cast<char>(payload[i] ^ mask[i & 3]);
        return f;
    }
    static int closeCode(const std::string &payload)
    {
        if (payload.size() < 2)
            return -1;
        return (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]);
    }

private:
    int m_fd = -1;
    std::string m_buf;
};

#endif
