#include "app/ReopenChannel.h"

#include <QCryptographicHash>
#include <QLocalSocket>
#include <cstring>
#include <unistd.h>

#include "platform/folders.h"

namespace {
// One request a connection, one line: "reopen", or "open " and the path in
// base64 (a path may hold any byte but NUL, line breaks included).
constexpr const char* kReopen = "reopen";
constexpr const char* kOpenPrefix = "open ";
constexpr qint64 kLongestRequest = 64 * 1024;
constexpr int kWaitMs = 1000;
}  // namespace

ReopenChannel::ReopenChannel(QObject* parent) : QObject(parent), name(serverName()) {}

QString ReopenChannel::serverName() {
    // Keyed on the user and the home folder, so that a copy run with another
    // home (the demo) is an application of its own.
    QByteArray home = QByteArray::fromStdString(platform::folders::homeDirectory());
    QString key = QCryptographicHash::hash(home, QCryptographicHash::Sha1).toHex().left(16);
    return QString("ipa-resigner-%1-%2").arg(::getuid()).arg(key);
}

bool ReopenChannel::askRunningApplication(const QString& packagePath) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kWaitMs)) return false;
    QByteArray request = packagePath.isEmpty() ? QByteArray(kReopen)
                                               : QByteArray(kOpenPrefix) + packagePath.toUtf8().toBase64();
    socket.write(request + "\n");
    socket.waitForBytesWritten(kWaitMs);
    // The running copy hangs up once it has read the request.
    if (socket.state() == QLocalSocket::ConnectedState) socket.waitForDisconnected(kWaitMs);
    return true;
}

bool ReopenChannel::listen(std::function<void(const QString&)> onReopen) {
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
            connect(peer, &QLocalSocket::readyRead, peer, [this, peer] {
                if (!peer->canReadLine() && peer->bytesAvailable() < kLongestRequest) return;
                QByteArray line = peer->readLine(kLongestRequest).trimmed();
                QObject::disconnect(peer, &QLocalSocket::readyRead, nullptr, nullptr);  // one request a connection
                peer->disconnectFromServer();
                QString path;
                if (line.startsWith(kOpenPrefix))
                    path = QString::fromUtf8(QByteArray::fromBase64(line.mid(int(std::strlen(kOpenPrefix)))));
                else if (line != kReopen)
                    return;  // not ours: nothing to do
                if (reopen) reopen(path);
            });
        }
    });
    return true;
}
