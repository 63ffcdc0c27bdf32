// The read-message window: one message shown as plain text, never rendered, so that no
// markup is interpreted and no remote content is ever loaded. The decoded view lists
// the attachment names above the text parts; the source view shows every line of the
// message as the server sent it, with the attachment box hidden.
#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TReadMessageForm : public QDialog {
  Q_OBJECT

 public:
  explicit TReadMessageForm(QWidget* owner = nullptr);

  QLabel* fromLabel;
  QLabel* from;
  QLabel* toLabel;
  QLabel* to;
  QLabel* Label1;  // "Subject:"
  QLabel* subject;
  QLabel* attachmentLabel;
  QPlainTextEdit* attachment;  // one file name a line
  QLabel* msgLabel;
  QPlainTextEdit* msg;
  QPushButton* cancelButton;

  // The source view: hides the attachment box; the message box takes its place.
  void showSourceLayout();

 public slots:
  void cancelButtonClick();
};
