// Keeps a second copy of the program from running for the same user. The running
// copy holds a lock file and listens on a local socket, both in the user's runtime
// directory (QStandardPaths::RuntimeLocation, private to the user, unlike /tmp); a
// second start finds the lock taken, asks the running copy through the socket to show
// its window, and ends.
//
// The lock decides which copy runs: creating it is atomic, so of two copies started
// at the same moment exactly one gets it. A lock left by a killed copy names a dead
// process and is taken over; the socket file left with it is then removed before
// listening again.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLockFile;

class InstanceGuard : public QObject {
  Q_OBJECT

 public:
  enum class Outcome {
    running,      // this process is the running copy and answers show requests
    otherShown,   // another copy runs and was asked to show its window
    otherSilent,  // another copy holds the lock but did not take the request in time
  };

  // `name` names the lock ("NAME.lock") and the socket ("NAME") in the runtime directory.
  explicit InstanceGuard(const QString& name = QStringLiteral("Postsift"), QObject* parent = nullptr);
  ~InstanceGuard() override;

  Outcome claim();

  QString socketPath() const;
  QString lockPath() const;

 signals:
  // A second start asked this copy to show its window.
  void showRequested();

 private:
  void acceptConnections();
  bool askRunningCopy();

  QString directory;
  QString name;
  QLockFile* lock = nullptr;
  QLocalServer* server = nullptr;
};
