// Small pieces the program's windows share.
#pragma once

#include <QPushButton>
#include <QRect>
#include <QWidget>

// A push button with a stable object name, never a default button: Enter presses the
// button that has the focus.
inline QPushButton* newButton(const char* objectName, const QString& caption, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(QString::fromLatin1(objectName));
  button->setAutoDefault(false);
  return button;
}

// Moves `window` to the middle of `owner` (when there is one), keeping its size.
inline void centreOnOwner(QWidget* window, const QWidget* owner) {
  if (owner == nullptr) return;
  QRect frame(QPoint(0, 0), window->size());
  frame.moveCenter(owner->frameGeometry().center());
  window->move(frame.topLeft());
}
