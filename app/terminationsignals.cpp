#include "terminationsignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void writeToPipe(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t written = write(signalPipe[1], &byte, 1);
}

}  // namespace

void onSignals(QObject* context, std::initializer_list<int> signalNumbers, std::function<void()> action) {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, [action = std::move(action)] {
    char bytes[16];
    while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    action();
  });
  struct sigaction handler {};
  handler.sa_handler = writeToPipe;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = SA_RESTART;
  for (int number : signalNumbers) sigaction(number, &handler, nullptr);
}
