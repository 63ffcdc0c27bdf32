// The program itself, started as child processes with their own data and runtime
// directories: one copy per user, a second start shows the first and ends, a killed
// copy leaves nothing that stops the next, and a second process on the database is
// refused without writing.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

#include "mainform.h"
#include "tables.h"
#include "yesnoform.h"

namespace {

const QString showLine = QStringLiteral("Postsift: a second start asked to show the window.");
constexpr int timeoutMs = 20000;

// One run of the program; killed when the test lets go of it.
class Program {
 public:
  explicit Program(const QProcessEnvironment& environment) {
    process.setProcessEnvironment(environment);
    process.setProgram(QStringLiteral(POSTSIFT_PROGRAM));
    process.start();
    process.waitForStarted(timeoutMs);
  }
  ~Program() {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished(timeoutMs);
    }
  }
  QString errors() {
    errorText += QString::fromLocal8Bit(process.readAllStandardError());
    return errorText;
  }
  bool running() const { return process.state() == QProcess::Running; }
  // Waits for the end; false (and the process killed) when it does not end in time.
  bool finishes() {
    if (process.waitForFinished(timeoutMs)) return true;
    process.kill();
    process.waitForFinished(timeoutMs);
    return false;
  }
  void kill() {
    process.kill();
    process.waitForFinished(timeoutMs);
  }
  QProcess process;

 private:
  QString errorText;
};

}  // namespace

class ProgramTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir;
  QProcessEnvironment environment;

  QString socketPath() const { return dir->path() + QStringLiteral("/run/Postsift"); }
  QString databasePath() const { return dir->path() + QStringLiteral("/data/Postsift/Postsift.kld"); }

  // Starts a copy and waits until it answers show requests: a second start reaches it.
  bool startRunningCopy(Program& first) {
    // The running copy is the one named in the lock file (its first line is the pid).
    auto owner = [this] {
      QFile lock(dir->path() + QStringLiteral("/run/Postsift.lock"));
      return lock.open(QIODevice::ReadOnly) ? lock.readLine().trimmed().toLongLong() : 0;
    };
    if (!QTest::qWaitFor([&] { return owner() == first.process.processId() || !first.running(); }, timeoutMs)) {
      return false;
    }
    Program second(environment);
    if (!second.finishes() || second.process.exitCode() != 0) {
      qWarning("second start: %s", qPrintable(QString::fromLocal8Bit(second.process.readAllStandardError())));
      return false;
    }
    if (QTest::qWaitFor([&] { return first.errors().contains(showLine); }, timeoutMs)) return true;
    qWarning("running copy: %s", qPrintable(first.errors()));
    return false;
  }

 private slots:
  void init() {
    dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/pst-XXXXXX"));
    QVERIFY(dir->isValid());
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("run")));
    QVERIFY(QFile::setPermissions(dir->path() + QStringLiteral("/run"),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir->path() + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir->path() + QStringLiteral("/run"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  }

  // A logout or kill closes the window the normal way: the closing sequence runs and
  // with it the exit backup (here into slot 1, the first start's daily one being 0).
  void terminationSignalsRunTheClosingSequence_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
  }
  void terminationSignalsRunTheClosingSequence() {
    QFETCH(int, signalNumber);
    QVERIFY(QDir().mkpath(QFileInfo(databasePath()).path()));
    {
      keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
      QVERIFY(db.open("Postsift", databasePath().toLocal8Bit().constData()));
      BackupRecord record{dbDateTime(-1), true, true, 0, 7};
      db.insertRecord(&BackupRecord_descriptor, &record);
      db.commit();
      db.close();
    }
    const QString slot = QFileInfo(databasePath()).path() + QStringLiteral("/Postsift%1.qbk");
    Program program(environment);
    QVERIFY(startRunningCopy(program));
    QVERIFY(QFileInfo::exists(slot.arg(0)));
    QVERIFY(!QFileInfo::exists(slot.arg(1)));
    ::kill(pid_t(program.process.processId()), signalNumber);
    QVERIFY(program.finishes());
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    QVERIFY(QFileInfo::exists(slot.arg(1)));

    keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
    QVERIFY(db.open("Postsift", databasePath().toLocal8Bit().constData()));
    {
      keldraCursor<BackupRecord> record(dbCursorForReading, &db);
      QCOMPARE(record.select(), 1u);
      QCOMPARE(int(record->lastBackup), 2);
      keldraCursor<ColumnWidth> widths(dbCursorForReading, &db);
      QCOMPARE(widths.select(), 5u);
    }
    db.commit();
    db.close();
  }

  void secondStartShowsTheRunningCopyAndEnds() {
    Program first(environment);
    QVERIFY(startRunningCopy(first));
    QVERIFY(first.running());
    QVERIFY(QFileInfo::exists(databasePath()));

    // Once more: every second start is answered, not just the first.
    Program third(environment);
    QVERIFY(third.finishes());
    QCOMPARE(third.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(third.process.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(first.errors().count(showLine), 2, timeoutMs);
    QVERIFY(first.running());
  }

  void killedCopyDoesNotBlockTheNext() {
    {
      Program killed(environment);
      QVERIFY(startRunningCopy(killed));
      killed.kill();
    }
    QVERIFY(QFileInfo::exists(socketPath()));  // left behind by the killed copy

    Program next(environment);
    QVERIFY(startRunningCopy(next));
    QVERIFY(next.running());
  }

  void simultaneousStartsLeaveOneRunningCopy() {
    Program a(environment);
    Program b(environment);
    QVERIFY(QTest::qWaitFor([&] { return !a.running() || !b.running(); }, timeoutMs));
    QTest::qWait(500);
    QVERIFY(a.running() != b.running());
    Program& ended = a.running() ? b : a;
    Program& runningCopy = a.running() ? a : b;
    QCOMPARE(ended.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ended.process.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(runningCopy.errors().contains(showLine), timeoutMs);
  }

  // The running program holds the database; a second process (this one) is refused,
  // closes the database again and changes nothing in the file.
  void secondProcessOnTheDatabaseIsRefused() {
    Program holder(environment);
    QVERIFY(startRunningCopy(holder));
    QFile file(databasePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QFileInfo(databasePath()).path()));
    {
      keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
      TMainForm form(db);
      TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
      form.show();
      QTRY_VERIFY_WITH_TIMEOUT(form.startupState() == TMainForm::StartupState::failed, timeoutMs);
      QCOMPARE(TYesNoForm::lastText(), QStringLiteral("Database cannot be accessed concurrently."));
      QTRY_VERIFY(!form.isVisible());
      QVERIFY(!db.isOpen());
    }
    QVERIFY(QDir::setCurrent(previous));
    QVERIFY(file.open(QIODevice::ReadOnly));
    // Closing the refused database may clear the header's dirty flag (bytes 8..11)
    // when no writer is active; that is the engine's close, not a change of the data.
    const QByteArray after = file.readAll();
    file.close();
    QCOMPARE(after.size(), before.size());
    QCOMPARE(after.mid(12), before.mid(12));
    QCOMPARE(after.left(8), before.left(8));

    // The program's own first run is all the file holds.
    holder.kill();
    keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
    QVERIFY(db.open("Postsift", databasePath().toLocal8Bit().constData()));
    {
      keldraCursor<ColumnWidth> widths(dbCursorForReading, &db);
      QCOMPARE(widths.select(), 5u);
      keldraCursor<Config> config(dbCursorForReading, &db);
      QCOMPARE(config.select(), 1u);
    }
    db.commit();
    db.close();
  }
};

QTEST_MAIN(ProgramTest)
#include "program_test.moc"
