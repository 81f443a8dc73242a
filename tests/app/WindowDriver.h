#pragma once
// Drives the real window the way a user does: the chooser, the pickers, the
// buttons and the Return key. Shared by the window tests and by the program
// that takes the README's screenshot.
#include <QString>
#include <functional>
#include <string>

class MainWindow;

namespace windowdriver {

// The next file dialog that opens is answered with this path, as if the user
// had picked it and pressed Open.
void answerNextFileDialog(const QString& path);

// The plain text of the window's log.
QString logText(MainWindow& window);

// Processes events until done() or the timeout (milliseconds).
bool waitFor(const std::function<bool()>& done, int timeoutMs);

// The whole re-sign a user makes: opens the package through Browse, waits for
// it to be unpacked, picks the identity at identityIndex, keeps the profile
// that was preselected (or picks the first), sets the destination, and
// presses Return. Answers "" when the green line came, else what went wrong.
std::string resignThroughTheWindow(MainWindow& window, const std::string& ipaPath, const std::string& destination,
                                   int identityIndex = 0);

}  // namespace windowdriver
