// The message and question window driven the way a user answers it: keys, buttons and
// the close box, through the real modal loop.
#include "yesnoform.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

namespace {

enum class Answer { returnKey, keypadEnter, f10, f12, escape, closeBox, clickYes, clickNo };

// What the window looked like when the answer was given.
struct Seen {
  bool shown = false;
  bool noVisible = false;
  QString yesText;
  int yesLeft = -1;
  QString focused;
  QSize size;
  QWidget* parent = nullptr;
  QString text;
};

// Waits for the modal TYesNoForm, records its look and answers it. If no window comes up,
// or the answer does not close it, a fallback closes it and marks the run as hung.
class ModalDriver {
 public:
  explicit ModalDriver(std::function<void(TYesNoForm*)> answer) : answer(std::move(answer)) {
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [this] { tryAnswer(); });
    poll.start();
    fallback.setSingleShot(true);
    fallback.setInterval(5000);
    QObject::connect(&fallback, &QTimer::timeout, [this] {
      hung = true;
      poll.stop();
      if (auto* form = qobject_cast<TYesNoForm*>(QApplication::activeModalWidget())) {
        form->done(0);
      }
    });
    fallback.start();
  }

  Seen seen;
  bool hung = false;

 private:
  void tryAnswer() {
    auto* form = qobject_cast<TYesNoForm*>(QApplication::activeModalWidget());
    if (!form || !form->isVisible()) {
      return;
    }
    poll.stop();
    seen.shown = true;
    seen.noVisible = form->NoButton->isVisible();
    seen.yesText = form->YesButton->text();
    seen.yesLeft = form->YesButton->x();
    seen.focused = form->focusWidget() ? form->focusWidget()->objectName() : QString();
    seen.size = form->size();
    seen.parent = form->parentWidget();
    seen.text = QString(form->msg->text()).remove(QChar(0x200B));  // wrap points are not text
    form->activateWindow();
    if (!QTest::qWaitForWindowActive(form)) {
      QApplication::setActiveWindow(form);
    }
    answer(form);
  }

  std::function<void(TYesNoForm*)> answer;
  QTimer poll;
  QTimer fallback;
};

void give(TYesNoForm* form, Answer answer) {
  QWidget* target = form->focusWidget() ? form->focusWidget() : form;
  switch (answer) {
    case Answer::returnKey: QTest::keyClick(target, Qt::Key_Return); break;
    case Answer::keypadEnter: QTest::keyClick(target, Qt::Key_Enter, Qt::KeypadModifier); break;
    case Answer::f10: QTest::keyClick(target, Qt::Key_F10); break;
    case Answer::f12: QTest::keyClick(target, Qt::Key_F12); break;
    case Answer::escape: QTest::keyClick(target, Qt::Key_Escape); break;
    case Answer::closeBox: form->close(); break;
    case Answer::clickYes: QTest::mouseClick(form->YesButton, Qt::LeftButton); break;
    case Answer::clickNo: QTest::mouseClick(form->NoButton, Qt::LeftButton); break;
  }
}

}  // namespace

Q_DECLARE_METATYPE(Answer)

class YesNoFormTest : public QObject {
  Q_OBJECT

 private slots:
  void askYesNoAnswers_data() {
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<bool>("yes");
    QTest::newRow("Enter on the focused No button") << Answer::returnKey << false;
    QTest::newRow("keypad Enter") << Answer::keypadEnter << false;
    QTest::newRow("F10") << Answer::f10 << true;
    QTest::newRow("F12") << Answer::f12 << false;
    QTest::newRow("Escape") << Answer::escape << false;
    QTest::newRow("close box") << Answer::closeBox << false;
    QTest::newRow("click Yes") << Answer::clickYes << true;
    QTest::newRow("click No") << Answer::clickNo << false;
  }

  void askYesNoAnswers() {
    QFETCH(Answer, answer);
    QFETCH(bool, yes);
    QWidget owner;
    auto* child = new QWidget(&owner);
    owner.show();
    ModalDriver driver([answer](TYesNoForm* form) { give(form, answer); });
    const bool result = askYesNo(QStringLiteral("Delete 3 messages?"), child);
    QVERIFY2(!driver.hung, "the window did not close on the answer");
    QVERIFY(driver.seen.shown);
    QCOMPARE(result, yes);
    QVERIFY(driver.seen.noVisible);
    QCOMPARE(driver.seen.yesText, QStringLiteral("&Yes F10"));
    QCOMPARE(driver.seen.focused, QStringLiteral("NoButton"));
    QCOMPARE(driver.seen.parent, &owner);  // owned by the owner's window
    QCOMPARE(driver.seen.text, QStringLiteral("Delete 3 messages?"));
    QVERIFY(owner.findChildren<TYesNoForm*>().isEmpty());  // destroyed after the answer
  }

  void messageBoxClosesOnAnyAnswer_data() {
    QTest::addColumn<Answer>("answer");
    QTest::newRow("click Okay") << Answer::clickYes;
    QTest::newRow("Enter") << Answer::returnKey;
    QTest::newRow("F10") << Answer::f10;
    QTest::newRow("F12") << Answer::f12;
    QTest::newRow("close box") << Answer::closeBox;
  }

  void messageBoxClosesOnAnyAnswer() {
    QFETCH(Answer, answer);
    QWidget owner;
    owner.show();
    ModalDriver driver([answer](TYesNoForm* form) { give(form, answer); });
    showMessageBox(QStringLiteral("Done."), &owner);
    QVERIFY2(!driver.hung, "the window did not close on the answer");
    QVERIFY(driver.seen.shown);
    QVERIFY(!driver.seen.noVisible);
    QCOMPARE(driver.seen.yesText, QStringLiteral("Okay"));
    QCOMPARE(driver.seen.yesLeft, 200);
    QVERIFY(owner.findChildren<TYesNoForm*>().isEmpty());
  }

  // A text longer than the label area makes the window taller, wide as ever, with the
  // buttons below the whole text; a long path wraps after its separators.
  void longTextGrowsTheWindowDownwards_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("words") << QStringLiteral("A very long message that wraps. ").repeated(20);
    QTest::newRow("path") << QStringLiteral("/home/someone/.local/share/Postsift/backups/2026/december/weekly/"
                                            "Postsift-backup-of-the-rules-and-settings.qbk has already existed, "
                                            "replace it?");
  }
  void longTextGrowsTheWindowDownwards() {
    QFETCH(QString, text);
    QRect label;
    int buttonsTop = 0;
    ModalDriver driver([&](TYesNoForm* form) {
      label = form->msg->geometry();
      buttonsTop = form->NoButton->y();
      give(form, Answer::f12);
    });
    QVERIFY(!askYesNo(text, nullptr));
    QVERIFY(!driver.hung);
    QCOMPARE(driver.seen.text, text);
    QCOMPARE(driver.seen.size.width(), 524);
    QVERIFY(driver.seen.size.height() > 162);
    QCOMPARE(label.width(), 489);
    QVERIFY(label.height() > 41);
    QVERIFY(buttonsTop >= label.bottom());
    QCOMPARE(driver.seen.size.height(), buttonsTop + 33 + 54);
  }

  void shortTextKeepsTheWindowsSize() {
    ModalDriver driver([](TYesNoForm* form) { give(form, Answer::f12); });
    QVERIFY(!askYesNo(QStringLiteral("Quit?"), nullptr));
    QCOMPARE(driver.seen.size, QSize(524, 162));
  }

  // The owner going away while the question is open (e.g. the program is closed) ends the
  // question as No instead of touching the destroyed window.
  void ownerDestroyedWhileAsking() {
    QPointer<QWidget> owner = new QWidget;
    owner->show();
    ModalDriver driver([&owner](TYesNoForm*) { delete owner.data(); });
    QVERIFY(!askYesNo(QStringLiteral("Quit?"), owner));
    QVERIFY(!driver.hung);
    QVERIFY(owner.isNull());
  }

  // Queued answers are taken in order, without a window, and the text is recorded.
  void queuedAnswersAnswerWithoutAWindow() {
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    TYesNoForm::queueAnswer(TYesNoForm::ResultNo);
    TYesNoForm::queueAnswer(TYesNoForm::ResultNo);
    QVERIFY(askYesNo(QStringLiteral("first"), nullptr));
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("first"));
    QVERIFY(!askYesNo(QStringLiteral("second"), nullptr));
    showMessageBox(QStringLiteral("third"), nullptr);
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("third"));
    for (QWidget* window : QApplication::topLevelWidgets()) {
      QVERIFY(!qobject_cast<TYesNoForm*>(window));
    }
  }
};

QTEST_MAIN(YesNoFormTest)
#include "yesnoform_test.moc"
