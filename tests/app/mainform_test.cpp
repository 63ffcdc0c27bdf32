// The main window driven for real, offscreen: start-up and closing through showing and
// closing it, its actions and keys, the help file, the status and progress bars, and
// minimising to the tray.
#include "mainform.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <memory>

#include "backupform.h"
#include "configform.h"
#include "messagegrid.h"
#include "modaldriver.h"
#include "tables.h"
#include "yesnoform.h"

namespace {

std::unique_ptr<keldraDatabase> newDatabase() {
  return std::make_unique<keldraDatabase>(dbReadWrite, 1048576, 4194304, 65536, 1);
}

// Closes whatever modal window appears and remembers that one did, so that a test
// that expects no message cannot hang on one.
class ModalWatch : public QObject {
 public:
  ModalWatch() {
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, [this] {
      if (QWidget* modal = QApplication::activeModalWidget()) {
        seen = true;
        modal->close();
      }
    });
    timer.start();
  }
  bool seen = false;

 private:
  QTimer timer;
};

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dataDir;
  QString previousDirectory;
  int runs = 0;

  std::string uniqueName() {
    return "mainform" + std::to_string(QCoreApplication::applicationPid()) + "_" + std::to_string(runs++);
  }

  // A window over a fresh database object, shown and started.
  struct Run {
    std::unique_ptr<keldraDatabase> db = newDatabase();
    std::unique_ptr<TMainForm> form;
    QList<QUrl> opened;
    Run(const std::string& name) : form(std::make_unique<TMainForm>(*db, name)) {
      form->helpDirectories.clear();
      form->openDocument = [this](const QUrl& url) {
        opened << url;
        return true;
      };
    }
  };

  static bool start(Run& run) {
    run.form->show();
    return QTest::qWaitFor([&] { return run.form->startupState() != TMainForm::StartupState::notStarted; }, 10000) &&
           run.form->startupState() == TMainForm::StartupState::running;
  }

  template <class T>
  static uint32_t count(keldraDatabase& db) {
    uint32_t n = 0;
    {
      keldraCursor<T> cursor(dbCursorForReading, &db);
      n = cursor.select();
    }
    db.commit();
    return n;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dataDir.isValid());
    previousDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dataDir.path()));
  }
  void cleanupTestCase() { QDir::setCurrent(previousDirectory); }

  void firstShowStoresDefaultsAndWidthsSurviveARestart() {
    const std::string name = uniqueName();
    {
      Run first(name);
      QVERIFY(start(first));
      QCOMPARE(count<ColumnWidth>(*first.db), 5u);
      QCOMPARE(count<Config>(*first.db), 1u);
      first.form->grid->setGridColumnWidth(2, 222);
      first.form->grid->setGridColumnWidth(3, 40);
      first.form->exitAction->trigger();
      QVERIFY(!first.form->isVisible());
      for (QAction* action : first.form->ActionList1) QVERIFY2(!action->isEnabled(), qPrintable(action->objectName()));
      first.db->close();
    }
    Run second(name);
    QVERIFY(start(second));
    QCOMPARE(second.form->grid->gridColumnWidth(1), 180);
    QCOMPARE(second.form->grid->gridColumnWidth(2), 222);
    QCOMPARE(second.form->grid->gridColumnWidth(3), 40);
    QCOMPARE(count<ColumnWidth>(*second.db), 5u);
    QCOMPARE(count<Config>(*second.db), 1u);
    second.form->close();
  }

  void failedOpenShowsMessageAndStoresNothing() {
    const std::string name = uniqueName();
    QFile junk(QString::fromStdString(name + ".kld"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    const QByteArray garbage(8192, 'x');
    junk.write(garbage);
    junk.close();

    Run run(name);
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    run.form->show();
    QTRY_VERIFY_WITH_TIMEOUT(run.form->startupState() == TMainForm::StartupState::failed, 10000);
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("Fail to open the database."));
    QTRY_VERIFY(!run.form->isVisible());
    QVERIFY(!run.db->isOpen());
    QVERIFY(junk.open(QIODevice::ReadOnly));
    QCOMPARE(junk.readAll(), garbage);
  }

  void helpWithoutManualDoesNothing() {
    Run run(uniqueName());
    QVERIFY(start(run));
    ModalWatch watch;
    run.form->helpAction->trigger();
    QTest::qWait(100);
    QVERIFY(run.opened.isEmpty());
    QVERIFY(!watch.seen);
    run.form->close();
  }

  void helpOpensTheManual_data() {
    QTest::addColumn<bool>("inHome");  // in the database's directory, else in a listed one
    QTest::newRow("home directory") << true;
    QTest::newRow("share directory") << false;
  }
  void helpOpensTheManual() {
    QFETCH(bool, inHome);
    QTemporaryDir shareDir;
    Run run(uniqueName());
    QVERIFY(start(run));
    const QString base = inHome ? QString::fromStdString(run.db->homeDirectory()) : shareDir.path();
    QVERIFY(QDir(base).mkpath(QStringLiteral("help")));
    const QString manual = base + QStringLiteral("/help/manual.htm");
    QFile file(manual);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<html></html>");
    file.close();
    run.form->helpDirectories = {QStringLiteral("/nonexistent"), shareDir.path()};

    run.form->helpAction->trigger();
    QCOMPARE(run.opened, QList<QUrl>{QUrl::fromLocalFile(manual)});
    run.form->close();
    if (inHome) QFile::remove(manual);
  }

  void functionKeysTriggerTheirActions_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("button");
    QTest::newRow("F1") << int(Qt::Key_F1) << "helpAction" << "Help F1" << "helpButton";
    QTest::newRow("F2") << int(Qt::Key_F2) << "receiveAction" << "Receive F2" << "accCatButton";
    QTest::newRow("F3") << int(Qt::Key_F3) << "filterAction" << "Filter F3" << "BitBtn4";
    QTest::newRow("F4") << int(Qt::Key_F4) << "executeAction" << "Execute F4" << "BitBtn1";
    QTest::newRow("F5") << int(Qt::Key_F5) << "configAction" << "Config F5" << "addGeneralLedgerButton";
    QTest::newRow("F10") << int(Qt::Key_F10) << "backupAction" << "Backup F10" << "backupButton";
    QTest::newRow("F12") << int(Qt::Key_F12) << "exitAction" << "Exit F12" << "exitButton";
  }
  void functionKeysTriggerTheirActions() {
    QFETCH(int, key);
    QFETCH(QString, action);
    QFETCH(QString, caption);
    QFETCH(QString, button);
    Run run(uniqueName());
    QVERIFY(start(run));
    run.form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(run.form.get()));

    auto* act = run.form->findChild<QAction*>(action);
    QVERIFY(act != nullptr);
    QCOMPARE(act->text(), caption);
    auto* btn = run.form->findChild<QToolButton*>(button);
    QVERIFY(btn != nullptr);
    QCOMPARE(btn->defaultAction(), act);

    QSignalSpy triggered(act, &QAction::triggered);
    // Receive and filter tell that no mailbox is configured yet.
    if (action == QLatin1String("receiveAction") || action == QLatin1String("filterAction")) {
      TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    }
    if (action == QLatin1String("configAction")) {
      onNextModal<TConfigForm>([](TConfigForm* window) { window->cancelButton->click(); });
    }
    if (action == QLatin1String("backupAction")) {
      onNextModal<TBackupForm>([](TBackupForm* window) {
        QVERIFY(!window->helpButton->isVisible());
        window->NoButton->click();
      });
    }
    QTest::keyClick(run.form->grid, Qt::Key(key));
    QCOMPARE(triggered.count(), 1);
    if (action == QLatin1String("exitAction")) {
      QVERIFY(!run.form->isVisible());
    } else {
      QVERIFY(run.form->isVisible());
      run.form->close();
    }
  }

  void buttonsRunLeftToRightWithHelpAndExitAtTheEnd() {
    Run run(uniqueName());
    QVERIFY(start(run));
    TMainForm& f = *run.form;
    const QList<QToolButton*> order = {f.accCatButton,   f.BitBtn4,      f.BitBtn1,   f.addGeneralLedgerButton,
                                       f.backupButton,   f.helpButton,   f.exitButton};
    int previousRight = -1;
    for (QToolButton* button : order) {
      const QRect r(button->mapTo(f.Panel1, QPoint(0, 0)), button->size());
      QVERIFY2(r.left() > previousRight, qPrintable(button->objectName()));
      previousRight = r.right();
    }
    QCOMPARE(f.helpButton->parentWidget(), f.Panel2);
    QCOMPARE(f.exitButton->parentWidget(), f.Panel2);
    // Help and Exit sit at the right end of the bar.
    QVERIFY(f.exitButton->mapTo(f.Panel1, QPoint(f.exitButton->width(), 0)).x() >= f.Panel1->width() - 10);
    QVERIFY(f.addFilterAction->shortcut().isEmpty());
    f.close();
  }

  void statusBarPanelsAndProgressBar() {
    Run run(uniqueName());
    QVERIFY(start(run));
    TMainForm& f = *run.form;
    QCOMPARE(f.statusText(0), QString());
    QCOMPARE(f.statusText(1), QString());
    QCOMPARE(f.statusText(2), QStringLiteral("Press [Connect] button to connect."));
    f.setStatusText(1, QStringLiteral("3 messages"));
    QCOMPARE(f.findChild<QLabel*>(QStringLiteral("StatusBar1Panel1"))->text(), QStringLiteral("3 messages"));
    QCOMPARE(f.findChild<QLabel*>(QStringLiteral("StatusBar1Panel0"))->width(), 200);
    QCOMPARE(f.findChild<QLabel*>(QStringLiteral("StatusBar1Panel1"))->width(), 200);

    // The progress bar stays along the grid's bottom edge whatever the window's size.
    QVERIFY(!f.ProgressBar1->isVisible());
    QCOMPARE(f.ProgressBar1->parentWidget(), static_cast<QWidget*>(f.grid));
    for (QSize size : {QSize(800, 600), QSize(1000, 700)}) {
      f.showNormal();
      f.resize(size);
      QTRY_COMPARE(f.ProgressBar1->geometry(), QRect(0, f.grid->height() - 16, f.grid->width(), 16));
    }
    f.close();
  }

  void gridClickRemembersTheColumn() {
    Run run(uniqueName());
    QCOMPARE(run.form->currentColumn, 1);
    QCOMPARE(run.form->removeCount(), 0);
    QVERIFY(!run.form->fromAdd && !run.form->toAdd && !run.form->subjectAdd);
    emit run.form->grid->gridClick(3, 1);
    QCOMPARE(run.form->currentColumn, 3);
    emit run.form->grid->gridClick(0, 2);
    QCOMPARE(run.form->currentColumn, 0);
  }

  void minimisingGoesToTheTrayWhenThereIsOne() {
    Run run(uniqueName());
    run.form->trayAvailable = [] { return true; };
    QVERIFY(start(run));
    run.form->setWindowState(Qt::WindowMinimized);
    QTRY_VERIFY(!run.form->isVisible());
    QVERIFY(run.form->DCMinTray1->isVisible());
    QVERIFY(run.form->DCMinTray1->toolTip().size() <= 63);

    emit run.form->DCMinTray1->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(run.form->isVisible());
    QVERIFY(!run.form->isMinimized());
    QVERIFY(!run.form->DCMinTray1->isVisible());
    run.form->close();
  }

  void minimisingWithoutTrayStaysNormal() {
    Run run(uniqueName());
    run.form->trayAvailable = [] { return false; };
    QVERIFY(start(run));
    run.form->setWindowState(Qt::WindowMinimized);
    QTest::qWait(50);
    QVERIFY(run.form->isVisible());
    QVERIFY(!run.form->DCMinTray1->isVisible());
    run.form->close();
  }
};

QTEST_MAIN(MainFormTest)
#include "mainform_test.moc"
