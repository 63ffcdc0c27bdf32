// The program's start directory: the per-user data directory
// (QStandardPaths::AppDataLocation, normally ~/.local/share/Postsift), which holds the
// database file "Postsift.kld" and the automatic backup archives.
#pragma once

#include <QString>

// Creates the data directory when missing and makes it the current directory, so that
// the database opened by name lies there. False, with `error` set, when it cannot.
// REQUIRES: the application name is set ("Postsift").
bool enterDataDirectory(QString* error);
