#pragma once
// Where a re-sign run is, told from the lines of its log: the stage that
// runs and, while signing, which item of how many. The window's busy
// indicator and the command line's machine-readable output read it; the run
// itself knows nothing of it. Main thread only, like the run.
#include <cstddef>
#include <string>

namespace engine {

enum class RunStage { idle, unpacking, entitlements, infoPlist, embeddedProfile, signing, packing, installing };

// A stable lower-case word for each stage ("unpacking", "info-plist", ...).
const char* stageName(RunStage stage);

// The install's log lines: its first ("Installing the package on ..."), and
// one for each report of the device ("Install: VerifyingApplication (40%)").
std::string installStartLine(const std::string& deviceDescription);
std::string installStatusLine(const std::string& stage, int percent);

class RunProgress {
public:
    // The package is being unpacked (the opening is no part of the run's log).
    void startUnpacking();
    // One line of the run's log. appPath is the application being signed,
    // whose items are counted when signing starts. True when the stage or
    // the item changed with this line.
    bool noteLogLine(const std::string& line, const std::string& appPath);
    void reset();

    RunStage stage() const { return _stage; }
    // While signing: the item being signed (1-based; 0 before the first one),
    // how many there are, and its file name.
    size_t item() const { return _item; }
    size_t items() const { return _items; }
    const std::string& itemName() const { return _itemName; }
    // While installing: the device's stage name and its percent (-1: none told).
    const std::string& installStep() const { return _installStep; }
    int installPercent() const { return _installPercent; }
    // Once packing has started: the archive being written.
    const std::string& archivePath() const { return _archivePath; }

private:
    RunStage _stage = RunStage::idle;
    size_t _item = 0;
    size_t _items = 0;
    std::string _itemName;
    std::string _archivePath;
    std::string _installStep;
    int _installPercent = -1;
};

}  // namespace engine
