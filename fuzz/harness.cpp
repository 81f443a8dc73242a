// One libFuzzer harness; FUZZ_READER names the reader it drives (readers.h).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "readers.h"

namespace {
const fuzzreaders::Reader* const kReader = fuzzreaders::reader(FUZZ_READER);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!kReader) std::abort();
    kReader->run(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
