// Drives the next modal window of a type in a window test: `act` runs on it once it is
// the active modal window, from a timer, while the code under test waits in the
// window's exec(). A window `act` leaves open (a failed check returns early) is closed,
// so that a failing test cannot hang.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include <functional>

template <class Window>
void onNextModal(std::function<void(Window*)> act, bool* seen = nullptr) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, poll, [poll, act, seen] {
    auto* window = qobject_cast<Window*>(QApplication::activeModalWidget());
    if (window == nullptr) return;
    poll->stop();
    poll->deleteLater();
    if (seen != nullptr) *seen = true;
    QPointer<Window> open(window);
    act(window);
    if (open != nullptr && open->isVisible()) open->close();
  });
  poll->start(10);
}
