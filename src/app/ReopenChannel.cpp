#include "app/ReopenChannel.h"

#include <QCryptographicHash>
#include <QLocalSocket>
#include <unistd.h>

#include "platform/folders.h"

ReopenChannel::ReopenChannel(QObject* parent) : QObject(parent), name(serverName()) {}

QString ReopenChannel::serverName() {
    // Keyed on the user and the home folder, so that a copy run with another
    // home (the demo) is an application of its own.
    QByteArray home = QByteArray::fromStdString(platform::folders::homeDirectory());
    QString key = QCryptographicHash::hash(home, QCryptographicHash::Sha1).toHex().left(16);
    return QString("ipa-resigner-%1-%2").arg(::getuid()).arg(key);
}

bool ReopenChannel::askRunningApplication() {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(1000)) return false;
    socket.write("reopen\n");
    socket.waitForBytesWritten(1000);
    socket.waitForDisconnected(1000);
    return true;
}

bool ReopenChannel::listen(std::function<void()> onReopen) {
    reopen = std::move(onReopen);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(name)) {
        // A socket left behind by a copy that crashed: nobody answered above.
        QLocalServer::removeServer(name);
        if (!server.listen(name)) return false;
    }
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            peer->disconnectFromServer();
            if (reopen) reopen();
        }
    });
    return true;
}
