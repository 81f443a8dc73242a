#pragma once
// One running application per user and home folder: a second start asks the
// running one to show its window again, then ends.
#include <QLocalServer>
#include <QObject>
#include <functional>

class ReopenChannel : public QObject {
    Q_OBJECT
public:
    explicit ReopenChannel(QObject* parent = nullptr);

    // The local socket the running application listens on.
    static QString serverName();

    // True when a running application took the request (this one should end).
    bool askRunningApplication();
    // Listens for later starts; onReopen runs on the GUI thread for each.
    bool listen(std::function<void()> onReopen);

private:
    QString name;
    QLocalServer server;
    std::function<void()> reopen;
};
