// The program's start directory: the per-user data directory
// (QStandardPaths::AppDataLocation, normally ~/.local/share/Postsift), which holds the
// database file "Postsift.kld" and the automatic backup archives.
//
// The database holds the mailbox password: the directory is kept private to its owner
// (0700) and the files in it that the program writes are owner-only (0600), also when an
// earlier version created them more open.
#pragma once

#include <QString>

// Creates the data directory when missing (or `directory` when given), makes it and
// the database file "NAME.kld" in it private to the owner, and makes it the current
// directory, so that the database opened by name lies there. False, with `error` set,
// when it cannot.
// REQUIRES: the application name is set ("Postsift").
bool enterDataDirectory(QString* error, const QString& directory = QString(),
                        const QString& databaseName = QStringLiteral("Postsift"));

// The data directory the program uses when none is given.
QString defaultDataDirectory();
