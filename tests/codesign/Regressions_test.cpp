// Inputs that once crashed a reader (found by the harnesses in fuzz/), run
// through the very calls the harnesses make: regressions/<reader>/<input>.
// Each must be answered, with a value or a refusal, without an exception and
// (under the sanitizers) without a bad read.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/readers.h"
#include "testkit/testkit.h"

namespace {

namespace fs = std::filesystem;

TEST(ReaderRegressions, EveryInputThatOnceCrashedIsAnsweredCleanly) {
    const fs::path root = fs::path(IPA_SOURCE_DIR) / "tests/codesign/regressions";
    int inputs = 0;
    for (const auto& folder : fs::directory_iterator(root)) {
        const std::string name = folder.path().filename().string();
        const fuzzreaders::Reader* reader = fuzzreaders::reader(name);
        ASSERT_NE(reader, nullptr) << "no reader named " << name;
        for (const auto& input : fs::directory_iterator(folder.path())) {
            SCOPED_TRACE(input.path().string());
            const std::string bytes = testkit::readFile(input.path().string());
            EXPECT_NO_THROW(reader->run(bytes));
            ++inputs;
        }
    }
    EXPECT_GT(inputs, 0);
}

}  // namespace
