#include "yesnoform.h"

#include <QAction>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QQueue>

#include <algorithm>

namespace {

// Answers queued by window tests; each showModal takes the oldest one instead of
// running the window.
QQueue<int>& queuedAnswers() {
  static QQueue<int> answers;
  return answers;
}

QString& lastShownText() {
  static QString text;
  return text;
}

}  // namespace

TYesNoForm::TYesNoForm(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("YesNoForm"));
  setWindowTitle(QStringLiteral("Message Box"));
  setFixedSize(524, 162);  // grows downwards only when the text needs more lines (fitText)
  QFont formFont = font();
  formFont.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
                        QStringLiteral("Nimbus Roman"), QStringLiteral("DejaVu Serif")});
  formFont.setStyleHint(QFont::Serif);
  setFont(formFont);

  msg = new QLabel(QStringLiteral("msg"), this);
  msg->setObjectName(QStringLiteral("msg"));
  QFont msgFont = formFont;
  msgFont.setBold(true);
  msgFont.setPixelSize(16);
  msg->setFont(msgFont);
  msg->setAlignment(Qt::AlignCenter);
  msg->setWordWrap(true);
  msg->setGeometry(16, 16, 489, 41);  // at least this area; a longer text makes it taller

  YesAction = new QAction(QStringLiteral("&Yes F10"), this);
  YesAction->setObjectName(QStringLiteral("YesAction"));
  YesAction->setShortcut(Qt::Key_F10);
  NoAction = new QAction(QStringLiteral("&No F12"), this);
  NoAction->setObjectName(QStringLiteral("NoAction"));
  NoAction->setShortcut(Qt::Key_F12);
  // Added to the window, so the keys work while it is active whatever the buttons show.
  addAction(YesAction);
  addAction(NoAction);
  connect(YesAction, &QAction::triggered, this, &TYesNoForm::YesActionExecute);
  connect(NoAction, &QAction::triggered, this, &TYesNoForm::NoActionExecute);

  NoButton = new QPushButton(NoAction->text(), this);
  NoButton->setObjectName(QStringLiteral("NoButton"));
  NoButton->setGeometry(277, 75, 92, 33);
  YesButton = new QPushButton(YesAction->text(), this);
  YesButton->setObjectName(QStringLiteral("YesButton"));
  YesButton->setGeometry(141, 75, 100, 33);
  // No auto-default buttons: otherwise the dialog would make Yes its default button and
  // the focus logic of Enter would depend on it. keyPressEvent presses the focused one.
  for (QPushButton* button : {NoButton, YesButton}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  connect(NoButton, &QPushButton::clicked, NoAction, &QAction::trigger);
  connect(YesButton, &QPushButton::clicked, YesAction, &QAction::trigger);
  setTabOrder(NoButton, YesButton);
  NoButton->setFocus();
}

void TYesNoForm::YesActionExecute() { done(ResultYes); }

void TYesNoForm::NoActionExecute() { done(ResultNo); }

void TYesNoForm::reject() { done(ResultNo); }

void TYesNoForm::keyPressEvent(QKeyEvent* event) {
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button && button->isVisible()) {
      button->click();
      return;
    }
    event->ignore();
    return;
  }
  QDialog::keyPressEvent(event);
}

namespace {
constexpr int labelWidth = 489;
constexpr int smallestLabelHeight = 41;
constexpr int labelTop = 16;
constexpr int buttonGap = 18;     // between the text and the buttons
constexpr int buttonHeight = 33;
constexpr int bottomMargin = 54;  // below the buttons
constexpr QChar wrapPoint(0x200B);  // zero width space: a place a line may break

// Long paths hold no spaces: let them wrap after each separator.
QString wrappable(const QString& text) {
  QString result;
  result.reserve(text.size() * 11 / 10);
  for (QChar c : text) {
    if (c == wrapPoint) continue;
    result += c;
    if (c == QLatin1Char('/') || c == QLatin1Char('\\')) result += wrapPoint;
  }
  return result;
}
}  // namespace

void TYesNoForm::fitText() {
  msg->setText(wrappable(msg->text()));
  const int height = std::max(smallestLabelHeight, msg->heightForWidth(labelWidth));
  msg->setGeometry(labelTop, labelTop, labelWidth, height);
  const int buttonsTop = labelTop + height + buttonGap;
  NoButton->move(NoButton->x(), buttonsTop);
  YesButton->move(YesButton->x(), buttonsTop);
  setFixedSize(width(), buttonsTop + buttonHeight + bottomMargin);
}

int TYesNoForm::showModal() {
  lastShownText() = QString(msg->text()).remove(wrapPoint);
  if (!queuedAnswers().isEmpty()) {
    return queuedAnswers().dequeue();
  }
  fitText();
  // The first visible button of the tab order starts with the focus.
  (NoButton->isHidden() ? YesButton : NoButton)->setFocus();
  QPointer<TYesNoForm> self(this);
  const int result = exec();
  // A window destroyed under the modal loop (its owner went away) counts as No.
  if (self.isNull() || result != ResultYes) {
    return ResultNo;
  }
  return ResultYes;
}

void TYesNoForm::queueAnswer(int modalResult) { queuedAnswers().enqueue(modalResult); }

QString TYesNoForm::lastText() { return lastShownText(); }

namespace {

// Runs a form owned by `owner`'s window and destroys it, unless it was already destroyed
// together with its owner while it was shown.
int runForm(const QString& text, QWidget* owner, bool message) {
  QPointer<TYesNoForm> form = new TYesNoForm(owner ? owner->window() : nullptr);
  form->msg->setText(text);
  if (message) {
    form->NoButton->hide();
    form->YesButton->setText(QStringLiteral("Okay"));
    form->YesButton->move(200, form->YesButton->y());
  }
  const int result = form->showModal();
  delete form.data();
  return result;
}

}  // namespace

void showMessageBox(const QString& text, QWidget* owner) { runForm(text, owner, true); }

bool askYesNo(const QString& text, QWidget* owner) {
  return runForm(text, owner, false) == TYesNoForm::ResultYes;
}
