#pragma once
// One connection of the double: a stream socket that may be switched to TLS
// and back, as lockdownd does on its session. Every read is checked; a short
// read or a broken frame ends the connection, never the program.
#include <openssl/ssl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/plist.h"

namespace devdouble {

class Channel {
public:
    explicit Channel(int fd) : _fd(fd) {}
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    int fd() const { return _fd; }
    bool readExact(void* buffer, size_t count);
    bool writeAll(const void* buffer, size_t count);
    bool writeAll(const std::string& bytes) { return writeAll(bytes.data(), bytes.size()); }

    // Server side of a TLS handshake over the same socket.
    bool startTls(SSL_CTX* context);
    // After the peer ended its session: takes its close_notify when one
    // comes, sends none back (the peer has left TLS already) and goes on in
    // plain text.
    void leaveTls();
    bool inTls() const { return _ssl != nullptr; }
    // Waits up to milliseconds for something to read; true when there is.
    bool waitReadable(int milliseconds);

private:
    int _fd;
    SSL* _ssl = nullptr;
};

// Property lists framed as lockdownd and its services frame them: a 32-bit
// big-endian length, then the list (XML on the way out, either form on the
// way in).
inline constexpr uint32_t kMaxPlistFrame = 16u << 20;
std::optional<platform::plist::Value> receivePlist(Channel& channel);
bool sendPlist(Channel& channel, const platform::plist::Value& value);

}  // namespace devdouble
