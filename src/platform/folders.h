#pragma once
// The user's folders.
#include <optional>
#include <string>

namespace platform::folders {

std::string homeDirectory();      // $HOME, else the password database
std::string desktopDirectory();   // XDG desktop folder, else ~/Desktop
std::string dataHome();           // $XDG_DATA_HOME, else ~/.local/share
// A private temporary folder for this user: ($TMPDIR or /tmp)/ipa-resigner-UID,
// created with mode 0700. Nothing when it exists but is not a real folder
// owned by this user, so that no other user can plant or read our files.
std::optional<std::string> temporaryDirectory();
// The folder holding the running program (from /proc/self/exe).
std::string executableDirectory();

}  // namespace platform::folders
