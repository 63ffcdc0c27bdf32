#include "instanceguard.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

#include <cstdio>

namespace {
constexpr char showRequest[] = "show\n";
constexpr char showAnswer[] = "shown\n";
// How long a second start keeps trying to reach a copy that is still starting.
constexpr int reachTimeoutMs = 10000;
}  // namespace

InstanceGuard::InstanceGuard(const QString& name, QObject* parent) : QObject(parent), name(name) {
  directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (directory.isEmpty()) directory = QDir::tempPath();
}

InstanceGuard::~InstanceGuard() {
  if (server != nullptr) server->close();  // removes the socket file
  delete lock;                             // unlocks and removes the lock file
}

QString InstanceGuard::socketPath() const { return directory + QLatin1Char('/') + name; }
QString InstanceGuard::lockPath() const { return directory + QStringLiteral("/") + name + QStringLiteral(".lock"); }

InstanceGuard::Outcome InstanceGuard::claim() {
  QDir().mkpath(directory);
  lock = new QLockFile(lockPath());
  // The lock is stale only when the process it names is gone, never by age: the
  // running copy may run for weeks.
  lock->setStaleLockTime(0);
  if (lock->tryLock(0)) {
    acceptConnections();
    return Outcome::running;
  }
  if (lock->error() != QLockFile::LockFailedError) {
    // No lock can be made here at all (for instance an unwritable runtime directory):
    // run without the guard rather than not at all.
    std::fprintf(stderr, "Postsift: cannot create the instance lock %s\n", qPrintable(lockPath()));
    return Outcome::running;
  }
  delete lock;
  lock = nullptr;
  return askRunningCopy() ? Outcome::otherShown : Outcome::otherSilent;
}

void InstanceGuard::acceptConnections() {
  server = new QLocalServer(this);
  server->setSocketOptions(QLocalServer::UserAccessOption);
  // The lock is ours, so a socket file found here was left by a copy that died.
  QLocalServer::removeServer(socketPath());
  if (!server->listen(socketPath())) {
    std::fprintf(stderr, "Postsift: cannot listen on %s: %s\n", qPrintable(socketPath()),
                 qPrintable(server->errorString()));
    return;
  }
  connect(server, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      auto serve = [this, socket] {
        if (!socket->canReadLine()) {
          if (socket->bytesAvailable() > 64) socket->disconnectFromServer();  // not a request
          return;
        }
        const QByteArray line = socket->readLine(64);
        if (line == showRequest) {
          emit showRequested();
          socket->write(showAnswer);
        }
        socket->disconnectFromServer();
      };
      connect(socket, &QLocalSocket::readyRead, this, serve);
      if (socket->bytesAvailable() > 0) serve();
    }
  });
}

bool InstanceGuard::askRunningCopy() {
  // The running copy takes the lock before it listens: a copy started at the same
  // moment may find the lock taken and the socket not there yet, so keep trying.
  QDeadlineTimer deadline(reachTimeoutMs);
  while (!deadline.hasExpired()) {
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (socket.waitForConnected(1000)) {
      socket.write(showRequest);
      if (!socket.waitForBytesWritten(2000)) return false;
      while (!socket.canReadLine() && socket.waitForReadyRead(5000)) {
      }
      return socket.readLine(64) == showAnswer;
    }
    QThread::msleep(100);
  }
  return false;
}
