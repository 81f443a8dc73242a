#pragma once
// What ipa-resign prints. Readable lines are stamped like the window's log:
// progress on standard output, failures on standard error. With --json,
// standard output carries one JSON object a line instead, and every readable
// line goes to standard error. --quiet leaves out the progress lines and
// puts the package's name before each failure.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ipa_resign {

struct SignedItem {
    std::string path;  // relative to the package's top level ("Payload/App.app/...")
    std::string identity;
    std::optional<std::string> profile;  // the profile embedded in that item, if any
};

struct PackageResult {
    std::string package;
    bool succeeded = false;
    std::optional<std::string> archive;
    std::string message;  // the failure, or the closing line
    std::vector<SignedItem> signedItems;
    std::vector<std::string> changes;  // what the package options changed, one line each
    std::vector<std::pair<std::string, double>> timings;  // stage name, seconds, in order
};

enum class Color { black, red, orange, green };

class Reporter {
public:
    Reporter(bool json, bool quiet) : json(json), quiet(quiet) {}

    void setPackage(std::string package) { current = std::move(package); }
    // One line of a package's log, from the engine or ours in its words.
    void log(const std::string& message, Color color, const char* stage);
    // ipa-resign's own failure: "ipa-resign: error: ...".
    void error(const std::string& message);
    void result(const PackageResult& result);
    // The closing report; readable only when several packages were given.
    void summary(const std::vector<PackageResult>& results);

private:

    bool json;
    bool quiet;
    std::string current;
};

}  // namespace ipa_resign
