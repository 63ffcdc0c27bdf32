// postsift-cli: Postsift's mail operations, settings and rules from a terminal.
// Exit status: 0 success, 1 failure (one line on standard error), 2 usage error.
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "commands.h"
#include "pop3client.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t written = write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM cancel the mail operation: the connection is dropped without
// QUIT, so the server deletes nothing of this session. The handler only writes to a
// pipe; the event loop that waits for the server reads it and cancels.
void cancelOnSignals(Pop3Client& mailbox) {
  if (pipe(signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &mailbox);
  QObject::connect(notifier, &QSocketNotifier::activated, &mailbox, [&mailbox] {
    char byte;
    [[maybe_unused]] ssize_t got = read(signalPipe[0], &byte, 1);
    mailbox.cancel();
  });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void fail(const char* message) { std::fprintf(stderr, "postsift-cli: %s\n", message); }

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Postsift"));
  try {
    const CommandLine command = parseCommandLine(QCoreApplication::arguments().mid(1));
    Pop3Client mailbox;
    if (command.words.value(0) == QLatin1String("receive")) cancelOnSignals(mailbox);
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
