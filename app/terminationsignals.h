// Turns termination signals into an ordinary event: the handler only writes a byte to
// a pipe, and `action` runs on the event loop of the thread that called this, where it
// may close windows or cancel a connection safely.
#pragma once

#include <QObject>

#include <functional>
#include <initializer_list>

// Runs `action` (on the calling thread's event loop) whenever one of `signalNumbers` arrives.
// `context` owns the notifier; call once per process.
void onSignals(QObject* context, std::initializer_list<int> signalNumbers, std::function<void()> action);
