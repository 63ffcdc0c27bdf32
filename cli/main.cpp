// postsift-cli: Postsift's mail operations, settings and rules from a terminal.
// Exit status: 0 success, 1 failure (one line on standard error), 2 usage error.
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

#include "commands.h"
#include "pop3client.h"
#include "terminationsignals.h"

namespace {

void fail(const char* message) { std::fprintf(stderr, "postsift-cli: %s\n", message); }

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Postsift"));
  try {
    const CommandLine command = parseCommandLine(QCoreApplication::arguments().mid(1));
    Pop3Client mailbox;
    // SIGINT and SIGTERM during a receive drop the connection without QUIT, so the
    // server deletes nothing of this session.
    if (command.words.value(0) == QLatin1String("receive")) {
      onSignals(&mailbox, {SIGINT, SIGTERM}, [&mailbox] { mailbox.cancel(); });
    }
    runCommand(command, mailbox);
    return 0;
  } catch (const UsageError& error) {
    fail(error.what());
    std::fputs(usageText, stderr);
    return 2;
  } catch (const std::exception& error) {
    fail(error.what());
    return 1;
  }
}
