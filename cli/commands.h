// The commands of postsift-cli over the program's database and mail operations.
#pragma once

#include <QStringList>

#include <stdexcept>

class Pop3Client;

// A command line that does not fit the commands: exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command that failed: exit status 1, its message on standard error.
class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What one command line asks for, checked before the database is opened.
struct CommandLine {
  QString dataDirectory;  // empty: the program's data directory
  QStringList words;      // the command and its arguments
};

// Splits the options off the arguments (without the program name). Throws UsageError.
CommandLine parseCommandLine(const QStringList& arguments);

// Checks the command's words without running it. Throws UsageError.
void checkCommand(const QStringList& words);

// Opens the database in the data directory (created on first use as the window's first
// start creates it), runs the command and prints its output. `mailbox` is the client
// the signal handlers cancel. Throws UsageError or CommandError (Pop3Error too).
void runCommand(const CommandLine& command, Pop3Client& mailbox);

extern const char* const usageText;
