#include "shell/SingleInstance.h"

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QString>
#include <QVariant>

namespace {
constexpr const char* kRestoreMessage = "restore";
constexpr qsizetype kMaxMessageLength = 64;  // anything longer is not ours

QString ToQString(const std::string& iText) { return QString::fromStdString(iText); }
}  // namespace

TSingleInstance::TSingleInstance(int32_t iInstanceNumber)
    : fKey(KeyFor(iInstanceNumber)), fOnRestore(std::make_shared<std::function<void()>>()) {}

TSingleInstance::~TSingleInstance() {
  if (fServer) fServer->close();  // also removes the socket file
}

std::string TSingleInstance::KeyFor(int32_t iInstanceNumber) {
  return "com.quorvane.vantorel." + std::to_string(iInstanceNumber);
}

bool TSingleInstance::ServerAnswers(int iTimeoutMs) const {
  QLocalSocket probe;
  probe.connectToServer(ToQString(fKey));
  bool connected = probe.waitForConnected(iTimeoutMs);
  probe.abort();
  return connected;
}

bool TSingleInstance::TryHandOver(int iTimeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(ToQString(fKey));
  if (!socket.waitForConnected(iTimeoutMs)) return false;
  // The result of the request is not awaited: this process ends either way.
  socket.write(QByteArray(kRestoreMessage) + '\n');
  socket.waitForBytesWritten(iTimeoutMs);
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(iTimeoutMs);
  return true;
}

bool TSingleInstance::Listen() {
  if (fServer && fServer->isListening()) return true;
  auto server = std::make_unique<QLocalServer>();
  // No socket options: with them Qt binds elsewhere and renames the socket over the
  // key's path, which would silently take the key from a live instance.
  if (!server->listen(ToQString(fKey))) {
    if (server->serverError() != QAbstractSocket::AddressInUseError || ServerAnswers(500)) return false;
    // Nobody answers on the socket: a crashed instance left it behind.
    QLocalServer::removeServer(ToQString(fKey));
    if (!server->listen(ToQString(fKey))) return false;
  }
  QLocalServer* raw = server.get();
  std::weak_ptr<std::function<void()>> onRestore = fOnRestore;
  QObject::connect(raw, &QLocalServer::newConnection, raw, [raw, onRestore] {
    while (QLocalSocket* client = raw->nextPendingConnection()) {
      QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      auto handle = [client, onRestore] {
        QByteArray received = client->property("vtReceived").toByteArray() + client->readAll();
        for (qsizetype newline; (newline = received.indexOf('\n')) >= 0;) {
          QByteArray message = received.left(newline).trimmed();
          received.remove(0, newline + 1);
          if (message == kRestoreMessage) {
            if (auto callback = onRestore.lock(); callback && *callback) (*callback)();
          }
        }
        if (received.size() > kMaxMessageLength) {
          client->abort();
          return;
        }
        client->setProperty("vtReceived", received);
      };
      QObject::connect(client, &QLocalSocket::readyRead, client, handle);
      if (client->bytesAvailable() > 0) handle();
    }
  });
  fServer = std::move(server);
  return true;
}

bool TSingleInstance::IsListening() const { return fServer && fServer->isListening(); }

void TSingleInstance::SetRestoreCallback(std::function<void()> iCallback) {
  *fOnRestore = std::move(iCallback);
}
