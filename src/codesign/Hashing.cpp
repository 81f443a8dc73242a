#include "codesign/Hashing.h"

#include "codesign/Bytes.h"
#include "crypto/Hex.h"

namespace codesign {

namespace bytes {
std::string toHex(std::string_view data, bool upper) {
    return crypto::toHex(data, upper ? crypto::HexCase::Upper : crypto::HexCase::Lower);
}
}  // namespace bytes

}  // namespace codesign
