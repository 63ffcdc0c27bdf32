// screenshots DIRECTORY: draws the program's windows with sample content on a
// throw-away database and saves each as a PNG in DIRECTORY, for the manual:
// mainwindow.png (a received list with marks), configwindow.png, ruleeditor.png,
// ruledialog.png, backupwindow.png, readmessage.png and messagebox.png. Run by scripts/screenshot.sh under a virtual X
// server, so the pictures show the desktop's real style and fonts.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

#include "addfilterform.h"
#include "backupform.h"
#include "configform.h"
#include "filterform.h"
#include "mainform.h"
#include "messagegrid.h"
#include "readmessageform.h"
#include "settings.h"
#include "tables.h"
#include "yesnoform.h"

namespace {

bool save(QWidget& window, const QString& path) {
  window.show();
  QTest::qWait(300);  // let the window system map and paint it
  const bool saved = window.grab().save(path);
  std::printf("%s%s\n", qPrintable(path), saved ? "" : ": not saved");
  return saved;
}

void fillSampleList(TMainForm& form) {
  const QStringList rows[] = {
      {"1", "alice@friends.example", "Me <me@home.example>", "Lunch on Friday?", ""},
      {"4", "newsletter@shop.example", "me@home.example", "Your weekly digest", ""},
      {"6", "carol@example.org", "me@home.example, Bob <bob@work.example>", "Photos from the trip", ""},
      {"2", "prize@casino.example", "me@home.example", "You have won!!!", "From"},
      {"5", "deals@bulk.example", "me@home.example", "免費 特價 – 50% off today", "Sub"},
      {"3", "unknown@elsewhere.example", "list@lists.example", "Re: meeting", "To"},
  };
  form.grid->setRowCount(7);
  for (int row = 1; row <= 6; ++row) {
    for (int column = 0; column < 5; ++column) form.grid->setCell(column, row, rows[row - 1][column]);
  }
  form.setStatusText(0, QStringLiteral("Message received: 6"));
  form.setStatusText(1, QStringLiteral("To be removed: 3"));
  form.setStatusText(2, QStringLiteral("Remained message: 3"));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: screenshots DIRECTORY\n");
    return 2;
  }
  const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  QTemporaryDir data;
  if (!data.isValid() || !QDir::setCurrent(data.path())) return 1;

  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  TMainForm form(db, "Postsift");
  form.showNormal();
  if (!QTest::qWaitFor([&] { return form.startupState() == TMainForm::StartupState::running; }, 10000)) return 1;
  for (auto [text, remove] : std::initializer_list<std::pair<const char*, bool>>{
           {"casino.example", true}, {"friends.example", false}, {"bulk.example", true}, {"@shop.example", false}}) {
    insertRule<EmailFrom>(db, text, remove);
  }
  Settings settings = *readSettings(db);
  settings.server = "pop.example.org";
  settings.username = "me";
  settings.password = "secret";
  writeSettings(db, settings);
  db.commit();

  bool ok = true;
  fillSampleList(form);
  form.grid->selectRow(0);
  ok &= save(form, out + QStringLiteral("/mainwindow.png"));

  TConfigForm config(db, &form);
  config.showSettings(*readSettings(db));
  db.commit();
  ok &= save(config, out + QStringLiteral("/configwindow.png"));
  config.hide();

  TFilterForm editor(db, &form);
  editor.setWindowTitle(QStringLiteral("From Filter Database"));
  editor.ruleTable = RuleTable::from;
  editor.searchButtonClick();
  ok &= save(editor, out + QStringLiteral("/ruleeditor.png"));
  editor.hide();

  TAddFilterForm dialog(&form);
  dialog.storedFromText = QStringLiteral("prize@casino.example");
  dialog.storedToText = QStringLiteral("me@home.example");
  dialog.storedSubjectText = QStringLiteral("You have won!!!");
  dialog.text->setText(dialog.storedFromText);
  ok &= save(dialog, out + QStringLiteral("/ruledialog.png"));
  dialog.hide();

  TBackupForm backupWindow(db, &form);
  backupWindow.helpButton->hide();
  ok &= save(backupWindow, out + QStringLiteral("/backupwindow.png"));
  backupWindow.hide();

  TReadMessageForm message(&form);
  message.from->setText(QStringLiteral("Carol <carol@example.org>"));
  message.to->setText(QStringLiteral("me@home.example, Bob <bob@work.example>"));
  message.subject->setText(QStringLiteral("Photos from the trip"));
  message.attachment->setPlainText(QStringLiteral("beach.jpg\n行程.pdf"));
  message.msg->setPlainText(QStringLiteral("Here are the photos.\nSee you soon,\nCarol"));
  ok &= save(message, out + QStringLiteral("/readmessage.png"));
  message.hide();

  TYesNoForm question(&form);
  question.msg->setText(QStringLiteral("Restore function will replace the current database, continue?"));
  ok &= save(question, out + QStringLiteral("/messagebox.png"));
  question.hide();

  form.close();
  return ok ? 0 : 1;
}
