// The application's message and question window: a bold centred text and two buttons,
// also answered with F10 (yes, okay) and F12 (no, cancel). Every message and yes/no
// question of the program goes through showMessageBox or askYesNo.
#pragma once

#include <QDialog>

class QAction;
class QLabel;
class QPushButton;

class TYesNoForm : public QDialog {
  Q_OBJECT

 public:
  enum ModalResult { ResultYes = 1, ResultNo = 2 };

  explicit TYesNoForm(QWidget* owner = nullptr);

  QLabel* msg;
  QPushButton* NoButton;   // first in the tab order: Enter answers No
  QPushButton* YesButton;
  QAction* YesAction;      // F10: modal result 1
  QAction* NoAction;       // F12: modal result 2

  // Shows the window modally and returns its modal result (ResultYes or ResultNo;
  // the close box gives ResultNo). Tests can queue answers, see queueAnswer.
  int showModal();

  // Test hook: the next showModal returns `modalResult` at once without showing the
  // window and records the text it would have shown in lastText().
  static void queueAnswer(int modalResult);
  static QString lastText();

 public slots:
  void YesActionExecute();
  void NoActionExecute();
  // The close box and Escape end the window as No.
  void reject() override;

 protected:
  // Enter and Return press the button that has the focus, never a "default" button.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Makes the text area, and the window below it, tall enough for the whole text;
  // paths wrap after their separators. The width, captions and keys stay.
  void fitText();
};

// Shows `text` with a single "Okay" button; any answer just closes the window.
void showMessageBox(const QString& text, QWidget* owner);

// Asks `text`; true exactly when the answer is Yes (button or F10).
bool askYesNo(const QString& text, QWidget* owner);
