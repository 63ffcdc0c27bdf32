#include "datadir.h"

#include <QDir>
#include <QStandardPaths>

bool enterDataDirectory(QString* error) {
  const QString path = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  if (path.isEmpty()) {
    *error = QStringLiteral("no per-user data directory is known");
    return false;
  }
  if (!QDir().mkpath(path)) {
    *error = QStringLiteral("cannot create %1").arg(path);
    return false;
  }
  if (!QDir::setCurrent(path)) {
    *error = QStringLiteral("cannot change to %1").arg(path);
    return false;
  }
  return true;
}
