#include "crypto/Hex.h"

namespace crypto {

char hexDigit(unsigned nibble, HexCase letters) {
    static constexpr char lower[] = "0123456789abcdef";
    static constexpr char upper[] = "0123456789ABCDEF";
    return (letters == HexCase::Upper ? upper : lower)[nibble & 15];
}

std::string toHex(std::string_view bytes, HexCase letters) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(hexDigit(c >> 4, letters));
        out.push_back(hexDigit(c & 15, letters));
    }
    return out;
}

}  // namespace crypto
