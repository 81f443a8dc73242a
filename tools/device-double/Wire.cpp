#include "Wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace devdouble {

Channel::~Channel() {
    if (_ssl) SSL_free(_ssl);
    ::close(_fd);
}

bool Channel::readExact(void* buffer, size_t count) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        if (_ssl) {
            size_t got = 0;
            if (SSL_read_ex(_ssl, p, count, &got) != 1) return false;
            p += got;
            count -= got;
            continue;
        }
        ssize_t n = ::recv(_fd, p, count, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool Channel::writeAll(const void* buffer, size_t count) {
    auto* p = static_cast<const unsigned char*>(buffer);
    while (count > 0) {
        if (_ssl) {
            size_t put = 0;
            if (SSL_write_ex(_ssl, p, count, &put) != 1) return false;
            p += put;
            count -= put;
            continue;
        }
        ssize_t n = ::send(_fd, p, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool Channel::startTls(SSL_CTX* context) {
    if (_ssl) return false;
    _ssl = SSL_new(context);
    if (!_ssl) return false;
    SSL_set_fd(_ssl, _fd);
    if (SSL_accept(_ssl) != 1) {
        SSL_free(_ssl);
        _ssl = nullptr;
        return false;
    }
    return true;
}

void Channel::leaveTls() {
    if (!_ssl) return;
    // A TLS alert record starts with 0x15; anything else is already the
    // plain text that follows.
    if (waitReadable(1000)) {
        unsigned char first = 0;
        if (::recv(_fd, &first, 1, MSG_PEEK) == 1 && first == 0x15) {
            unsigned char scratch;
            SSL_read(_ssl, &scratch, 1);  // consumes the close_notify record
        }
    }
    SSL_set_quiet_shutdown(_ssl, 1);
    SSL_free(_ssl);
    _ssl = nullptr;
}

bool Channel::waitReadable(int milliseconds) {
    if (_ssl && SSL_pending(_ssl) > 0) return true;
    pollfd p{_fd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&p, 1, milliseconds);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

std::optional<platform::plist::Value> receivePlist(Channel& channel) {
    unsigned char size[4];
    if (!channel.readExact(size, 4)) return std::nullopt;
    uint32_t length = uint32_t{size[0]} << 24 | uint32_t{size[1]} << 16 | uint32_t{size[2]} << 8 | size[3];
    if (length == 0 || length > kMaxPlistFrame) return std::nullopt;
    std::string body(length, '\0');
    if (!channel.readExact(body.data(), length)) return std::nullopt;
    return platform::plist::parse(body);
}

bool sendPlist(Channel& channel, const platform::plist::Value& value) {
    std::string body = platform::plist::toXml(value);
    uint32_t length = static_cast<uint32_t>(body.size());
    std::string frame{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                      static_cast<char>(length >> 8), static_cast<char>(length)};
    frame += body;
    return channel.writeAll(frame);
}

}  // namespace devdouble
