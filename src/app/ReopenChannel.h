#pragma once
// One running application per user and home folder: a second start asks the
// running one to show its window again, handing over the package it was
// started with, if any, and then ends.
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
    // packagePath: an absolute path to open there, or empty.
    bool askRunningApplication(const QString& packagePath = {});
    // Listens for later starts; onReopen runs on the GUI thread for each,
    // with the package path that start was given (empty when none).
    bool listen(std::function<void(const QString& packagePath)> onReopen);

private:
    QString name;
    QLocalServer server;
    std::function<void(const QString&)> reopen;
};
