#pragma once
// Tool output and file names arrive as bytes; the system works in UTF-8.
#include <string>
#include <string_view>

namespace platform::text {

bool isValidUtf8(std::string_view bytes);
// Invalid sequences become U+FFFD, one per offending byte: nothing is dropped,
// so output that was not empty never decodes to an empty text.
std::string decodeUtf8Lossy(std::string_view bytes);
std::string replaceAll(std::string text, std::string_view from, std::string_view to);

}  // namespace platform::text
