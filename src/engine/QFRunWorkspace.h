#pragma once
// The work folder of one run outside the window (the ipa-resign command),
// and what an interruption of that run does.
//
// The window keeps its workspaces under its "resign" root, which its Clean
// and close delete whole. A command-line run works instead in a fresh folder
// of its own beside that root in the private temporary folder: the window
// never touches it, and two runs at once share nothing.
//
// Threading: interceptInterruptions() is called first thing in main, before
// any other thread exists (they inherit its blocked signals); the rest on the
// main thread.
#include <memory>
#include <string>

class QFRunWorkspace {
public:
    // A new folder (mode 0700) under the private temporary folder; nothing
    // when none can be made.
    static std::shared_ptr<QFRunWorkspace> create();
    ~QFRunWorkspace();

    const std::string& folder() const { return _folder; }
    // The handler's work directory, inside folder().
    std::string workPath() const;
    // Keep the folder when this object goes (the command's --keep-work).
    void setKeep(bool keep) { _keep = keep; }
    void remove();

    // From now on SIGINT and SIGTERM end the run rather than the process at
    // once: no further tool starts, the running ones are sent SIGTERM (so the
    // step waiting on one fails and cleans up after itself the usual way), and
    // the main queue is woken. The caller then removes its folder and calls
    // endIfInterrupted(). Should the run not come to its end within a few
    // seconds, the folder of the workspace last created is removed and the
    // process ends all the same.
    static void interceptInterruptions();
    // The signal that interrupted the run, or 0.
    static int interruption();
    // After the clean-up: when interrupted, ends the process by that signal.
    static void endIfInterrupted();

private:
    explicit QFRunWorkspace(std::string folder) : _folder(std::move(folder)) {}
    std::string _folder;
    bool _keep = false;
};
