// The backup window driven offscreen from the main window: a backup and a restore
// through it, the automatic-backup settings saved by the Close button and the close
// box alike, the volume prompt.
#include <QAction>
#include <QApplication>
#include <QTimer>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <random>
#include <set>
#include <string>

#include "backupform.h"
#include "check.h"
#include "mainform.h"
#include "modaldriver.h"
#include "tables.h"
#include "yesnoform.h"

namespace {

std::set<std::string> ruleTexts(keldraDatabase& db) {
  std::set<std::string> texts;
  {
    keldraCursor<EmailFrom> cursor(dbCursorForReading, &db);
    if (cursor.select() > 0) {
      do texts.insert(cursor->text);
      while (cursor.next() != nullptr);
    }
  }
  db.commit();
  return texts;
}

BackupRecord storedRecord(keldraDatabase& db) {
  BackupRecord record{};
  {
    keldraCursor<BackupRecord> cursor(dbCursorForReading, &db);
    if (cursor.select() == 1) record = *cursor.get();
  }
  db.commit();
  return record;
}

// Answers every message and question window with Yes while it lives, recording texts.
class YesNoRecorder {
 public:
  YesNoRecorder() {
    QObject::connect(&poll, &QTimer::timeout, [this] {
      auto* form = qobject_cast<TYesNoForm*>(QApplication::activeModalWidget());
      if (form == nullptr || !form->isVisible()) return;
      texts << form->msg->text().remove(QChar(0x200B));
      form->YesButton->click();
    });
    poll.start(10);
  }
  QStringList texts;

 private:
  QTimer poll;
};

}  // namespace

class BackupWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dataDir;
  QString previousDirectory;
  int runs = 0;

  // A started main window on a fresh database of its own.
  struct Run {
    keldraDatabase db{dbReadWrite, 1048576, 4194304, 65536, 1};
    std::string name;
    std::unique_ptr<TMainForm> form;
    explicit Run(std::string databaseName) : name(std::move(databaseName)), form(std::make_unique<TMainForm>(db, name)) {
      form->show();
      QVERIFY(QTest::qWaitFor([&] { return form->startupState() == TMainForm::StartupState::running; }, 10000));
    }
    ~Run() {
      form->close();
      if (db.isOpen()) db.close();
    }
  };
  std::string uniqueName() {
    return "backupwindow" + std::to_string(QCoreApplication::applicationPid()) + "_" + std::to_string(runs++);
  }

 private slots:
  void initTestCase() {
    QVERIFY(dataDir.isValid());
    previousDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dataDir.path()));
  }
  void cleanupTestCase() { QDir::setCurrent(previousDirectory); }

  void backupAndRestoreThroughTheWindow() {
    Run run(uniqueName());
    QVERIFY(QFileInfo::exists(QString::fromStdString(run.name + "0.qbk")));  // the first start's daily backup
    insertRule<EmailFrom>(run.db, "spam.example", true);
    run.db.commit();
    const QString archive = dataDir.filePath(QStringLiteral("manual.qbk"));

    onNextModal<TBackupForm>([&](TBackupForm* window) {
      QCOMPARE(window->windowTitle(), QStringLiteral("Backup"));
      QVERIFY(!window->helpButton->isVisible());
      QVERIFY(window->everyday->isChecked() && !window->everytime->isChecked());
      QCOMPARE(window->totalBackup->value(), 7);
      QVERIFY(window->remainEdit->isReadOnly());
      window->chooseBackupFile = [&] { return archive; };
      TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
      window->backup->click();
      QCOMPARE(TYesNoForm::lastText(), QStringLiteral("Backup Completed."));
      QVERIFY(!window->ProgressBar1->isVisible());
      QVERIFY(window->backup->isEnabled());
      window->NoButton->click();
    });
    run.form->backupAction->trigger();
    QVERIFY(QFileInfo::exists(archive));

    insertRule<EmailFrom>(run.db, "added.after.backup", true);
    run.db.commit();
    onNextModal<TBackupForm>([&](TBackupForm* window) {
      window->everytime->setChecked(true);  // changed, then restored: not saved
      window->chooseRestoreFile = [&] { return archive; };
      TYesNoForm::queueAnswer(TYesNoForm::ResultYes);  // replace the current database?
      TYesNoForm::queueAnswer(TYesNoForm::ResultYes);  // the completion message
      window->restore->click();
      QCOMPARE(TYesNoForm::lastText(), QStringLiteral("Restore Completed. Please restart the program."));
    });
    run.form->backupAction->trigger();
    QVERIFY(!run.db.isOpen());
    QTRY_VERIFY(!run.form->isVisible());  // the program ends

    const std::string file = run.name + ".kld";
    QVERIFY(dbCheckFile(file.c_str()).ok());
    keldraDatabase reopened(dbReadWrite, 1048576, 4194304, 65536, 1);
    QVERIFY(reopened.open(run.name.c_str()));
    QCOMPARE(ruleTexts(reopened), (std::set<std::string>{"spam.example"}));
    QVERIFY(!storedRecord(reopened).everytime);
    reopened.close();
  }

  // While a backup runs the window paints its progress and refuses its buttons.
  void aRunningBackupShowsProgressAndRefusesTheButtons() {
    Run run(uniqueName());
    std::mt19937 random(3);
    for (int i = 0; i < 3000; i++) {
      std::string text;
      for (int c = 0; c < 200; c++) text.push_back(char('a' + random() % 26));
      insertRule<EmailFrom>(run.db, text.c_str(), true);
    }
    run.db.commit();
    bool sawRun = false;
    onNextModal<TBackupForm>([&](TBackupForm* window) {
      window->chooseBackupFile = [&] { return dataDir.filePath(QStringLiteral("big.qbk")); };
      QTimer during;
      QObject::connect(&during, &QTimer::timeout, [&] {
        if (!window->ProgressBar1->isVisible()) return;
        sawRun = !window->backup->isEnabled() && !window->restore->isEnabled() && !window->NoButton->isEnabled();
        window->close();  // refused while the backup runs
        during.stop();
      });
      during.start(0);
      TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
      window->backup->click();
      QVERIFY(window->isVisible());
      QVERIFY(window->backup->isEnabled());
      window->NoButton->click();
    });
    run.form->backupAction->trigger();
    QVERIFY(sawRun);
  }

  void closingSavesTheSettingsByButtonAndCloseBox_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Close button") << false;
    QTest::newRow("close box") << true;
  }
  void closingSavesTheSettingsByButtonAndCloseBox() {
    QFETCH(bool, closeBox);
    Run run(uniqueName());
    onNextModal<TBackupForm>([closeBox](TBackupForm* window) {
      window->everytime->setChecked(true);
      window->everyday->setChecked(false);
      window->totalBackup->setValue(3);
      if (closeBox) {
        window->close();
      } else {
        window->NoButton->click();
      }
    });
    run.form->backupAction->trigger();
    const BackupRecord record = storedRecord(run.db);
    QVERIFY(record.everytime);
    QVERIFY(!record.everyday);
    QCOMPARE(int(record.totalBackup), 3);
  }

  void aRestoreOfABadArchiveKeepsTheDatabaseAndTheProgram() {
    Run run(uniqueName());
    insertRule<EmailFrom>(run.db, "kept.example", true);
    run.db.commit();
    const QString junk = dataDir.filePath(QStringLiteral("junk.qbk"));
    QFile file(junk);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4096, 'j'));
    file.close();
    QStringList shown;
    onNextModal<TBackupForm>([&](TBackupForm* window) {
      window->chooseRestoreFile = [&] { return junk; };
      YesNoRecorder answers;
      window->restore->click();
      shown = answers.texts;
      QVERIFY(window->isVisible());
      window->NoButton->click();
    });
    run.form->backupAction->trigger();
    QVERIFY(shown.size() >= 2);
    QCOMPARE(shown.front(), QStringLiteral("Restore function will replace the current database, continue?"));
    QCOMPARE(shown.back(), QStringLiteral("Restore Failed."));
    QVERIFY(run.db.isOpen());
    QVERIFY(run.form->isVisible());
    QCOMPARE(ruleTexts(run.db), (std::set<std::string>{"kept.example"}));
  }

  void theVolumePromptAsksForTheDisk() {
    QString text, yes, no;
    onNextModal<TYesNoForm>([&](TYesNoForm* prompt) {
      text = prompt->msg->text();
      yes = prompt->YesButton->text();
      no = prompt->NoButton->text();
      QTest::keyClick(prompt, Qt::Key_F12);
    });
    QVERIFY(!askForDisk(2, nullptr));
    QCOMPARE(text, QStringLiteral("Please insert disk #2"));
    QCOMPARE(yes, QStringLiteral("Okay"));
    QCOMPARE(no, QStringLiteral("Cancel"));
    onNextModal<TYesNoForm>([](TYesNoForm* prompt) { QTest::keyClick(prompt, Qt::Key_F10); });
    QVERIFY(askForDisk(3, nullptr));
  }
};

QTEST_MAIN(BackupWindowTest)
#include "backupwindow_test.moc"
