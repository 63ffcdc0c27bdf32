#include "datadir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

QString defaultDataDirectory() { return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation); }

bool enterDataDirectory(QString* error, const QString& directory, const QString& databaseName) {
  const QString path = directory.isEmpty() ? defaultDataDirectory() : directory;
  if (path.isEmpty()) {
    *error = QStringLiteral("no per-user data directory is known");
    return false;
  }
  if (!QDir().mkpath(path)) {
    *error = QStringLiteral("cannot create %1").arg(path);
    return false;
  }
  if (!QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
    *error = QStringLiteral("cannot make %1 private").arg(path);
    return false;
  }
  const QString database = QDir(path).filePath(databaseName + QStringLiteral(".kld"));
  if (QFileInfo::exists(database) &&
      !QFile::setPermissions(database, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
    *error = QStringLiteral("cannot make %1 private").arg(database);
    return false;
  }
  if (!QDir::setCurrent(path)) {
    *error = QStringLiteral("cannot change to %1").arg(path);
    return false;
  }
  return true;
}
