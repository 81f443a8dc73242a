#pragma once
// Bytes as hexadecimal text, two digits a byte, most significant first.
#include <string>
#include <string_view>

namespace crypto {

enum class HexCase { Lower, Upper };

// The digit of one nibble (0 to 15).
char hexDigit(unsigned nibble, HexCase letters = HexCase::Lower);
std::string toHex(std::string_view bytes, HexCase letters = HexCase::Lower);

}  // namespace crypto
