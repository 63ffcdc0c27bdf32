// postsift-cli run as a child process: settings, rules, receive against Dovecot compared
// with the window's grid, exit statuses, signals, and sharing one database with the
// window.
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <string>

#include "mailserver.h"
#include "filterform.h"
#include "mainform.h"
#include "messagegrid.h"
#include "samplemail.h"
#include "tables.h"
#include "yesnoform.h"

using testsupport::mailMessage;
using Fault = testsupport::ScriptedPop3Server::Fault;

namespace {

struct Result {
  int exitCode = -1;
  QString out;
  QString err;
};

QProcess* startCli(const QString& dataDir, const QStringList& arguments) {
  auto* process = new QProcess;
  process->setProgram(QStringLiteral(POSTSIFT_CLI));
  process->setArguments(QStringList{QStringLiteral("--data-dir"), dataDir} + arguments);
  process->start();
  return process;
}

Result finish(QProcess* process, const QByteArray& input = {}) {
  if (!input.isEmpty()) process->write(input);
  process->closeWriteChannel();
  Result result;
  if (!process->waitForFinished(60000)) {
    process->kill();
    process->waitForFinished();
  }
  result.exitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
  result.out = QString::fromUtf8(process->readAllStandardOutput());
  result.err = QString::fromUtf8(process->readAllStandardError());
  delete process;
  return result;
}

Result cli(const QString& dataDir, const QStringList& arguments, const QByteArray& input = {}) {
  return finish(startCli(dataDir, arguments), input);
}

}  // namespace

class CliTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir root;
  std::unique_ptr<testsupport::DovecotServer> dovecot;
  int dirs = 0;

  QString newDataDir() { return root.filePath(QStringLiteral("data%1").arg(dirs++)); }

  // Points the database in `dataDir` at `port` with the test account.
  static void configure(const QString& dataDir, uint16_t port, const QStringList& more = {}) {
    const Result set = cli(dataDir, QStringList{"config", "set", "server=127.0.0.1", QStringLiteral("port=%1").arg(port),
                                                "username=filter", "password=-", "security=None"} + more,
                           "secret\n");
    QCOMPARE(set.exitCode, 0);
  }

 private slots:
  void initTestCase() {
    QVERIFY(root.isValid());
    dovecot = std::make_unique<testsupport::DovecotServer>();
  }
  void cleanupTestCase() { dovecot.reset(); }

  void settingsAndRules() {
    const QString dir = newDataDir();
    Result shown = cli(dir, {"config", "show"});
    QCOMPARE(shown.exitCode, 0);
    QCOMPARE(shown.out, QStringLiteral("server=\nport=110\nusername=\npassword=\nfromAdd=true\ntoAdd=true\n"
                                       "subjectAdd=false\nautoRemove=false\nautoExecute=false\n"
                                       "emailProgram=/usr/bin/thunderbird\nsecurity=STARTTLS\n"));
    // The directory and the database hold a password: owner only.
    QCOMPARE(QFileInfo(dir).permissions() & 0x0777, QFileDevice::Permissions(0x0700));
    QCOMPARE(QFile::permissions(dir + "/Postsift.kld") & 0x0777, QFileDevice::Permissions(0x0600));

    // A directory and file left more open by an earlier version are tightened.
    QVERIFY(QFile::setPermissions(dir, QFileDevice::Permissions(0x7755)));
    QVERIFY(QFile::setPermissions(dir + "/Postsift.kld", QFileDevice::Permissions(0x6644)));
    QCOMPARE(cli(dir, {"config", "show"}).exitCode, 0);
    QCOMPARE(QFileInfo(dir).permissions() & 0x0777, QFileDevice::Permissions(0x0700));
    QCOMPARE(QFile::permissions(dir + "/Postsift.kld") & 0x0777, QFileDevice::Permissions(0x0600));

    configure(dir, 40000, {"autoRemove=true"});
    shown = cli(dir, {"config", "show"});
    QVERIFY(shown.out.contains("server=127.0.0.1\nport=40000\nusername=filter\npassword=********\n"));
    QVERIFY(shown.out.contains("autoRemove=true\n"));

    QCOMPARE(cli(dir, {"rule", "add", "from", "remove", "Spam@Example.COM"}).exitCode, 0);
    QCOMPARE(cli(dir, {"rule", "add", "subject", "keep", "ÜNÏCODE"}).exitCode, 0);
    const Result duplicate = cli(dir, {"rule", "add", "from", "keep", "spam@example.com"});
    QCOMPARE(duplicate.exitCode, 1);
    QCOMPARE(duplicate.err, QStringLiteral("postsift-cli: This email has been added already.\n"));
    QCOMPARE(cli(dir, {"rule", "add", "subject", "remove", "ünïcode"}).err,
             QStringLiteral("postsift-cli: This subject has been added already.\n"));

    const Result from = cli(dir, {"rule", "list", "from"});
    QCOMPARE(from.exitCode, 0);
    QVERIFY2(from.out.endsWith("\tspam@example.com\tYes\n"), qPrintable(from.out));
    QCOMPARE(cli(dir, {"rule", "list", "subject", "remove"}).out, QString());
    QVERIFY(cli(dir, {"rule", "list", "subject", "keep"}).out.endsWith("\tünïcode\tNo\n"));

    QCOMPARE(cli(dir, {"rule", "delete", "from", "SPAM@example.com"}).exitCode, 0);
    QCOMPARE(cli(dir, {"rule", "list", "from", "all"}).out, QString());
    QCOMPARE(cli(dir, {"rule", "delete", "from", "spam@example.com"}).exitCode, 1);
  }

  void ruleFilesImportAndExport() {
    const QString dir = newDataDir();
    const QString list = root.filePath(QStringLiteral("blocklist.txt"));
    QFile file(list);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("# domains\r\nCasino.Example\r\nbulk.example\ncasino.example\n\nÜnïcode.example\n");
    file.close();
    Result imported = cli(dir, {"rule", "import", "from", list});
    QCOMPARE(imported.exitCode, 0);
    QCOMPARE(imported.out, QStringLiteral("3 added, 1 skipped\n"));
    QCOMPARE(cli(dir, {"rule", "import", "from", list, "--keep"}).out, QStringLiteral("0 added, 4 skipped\n"));

    const QString exported = root.filePath(QStringLiteral("exported.txt"));
    QCOMPARE(cli(dir, {"rule", "export", "from", exported, "--remove"}).out, QStringLiteral("3 rules exported\n"));
    const QString other = newDataDir();
    QCOMPARE(cli(other, {"rule", "import", "to", exported, "--keep"}).out, QStringLiteral("3 added, 0 skipped\n"));
    QCOMPARE(cli(other, {"rule", "list", "to", "keep"}).out.count('\n'), 3);

    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("fine.example\nbad\xc3\n");
    file.close();
    const Result refused = cli(other, {"rule", "import", "subject", list});
    QCOMPARE(refused.exitCode, 1);
    QCOMPARE(refused.err, QStringLiteral("postsift-cli: Line 2 is not valid UTF-8; nothing was imported.\n"));
    QCOMPARE(cli(other, {"rule", "list", "subject"}).out, QString());
    QCOMPARE(cli(other, {"rule", "import", "subject", list, "--all"}).exitCode, 2);
  }

  // "rule list --search" lists what the rule editor's text search lists.
  void searchListsWhatTheEditorLists() {
    const QString dir = newDataDir();
    for (const char* text : {"50% off", "it's a deal", "c:\\mail", "a_b", "axb", "plain"}) {
      QCOMPARE(cli(dir, {"rule", "add", "subject", "remove", text}).exitCode, 0);
    }
    for (const QString& search : {QStringLiteral("a_b"), QStringLiteral(" 0% "), QStringLiteral("\\"),
                                  QStringLiteral("it's"), QStringLiteral("%")}) {
      const Result listed = cli(dir, {"rule", "list", "subject", "keep", "--search", search});
      QCOMPARE(listed.exitCode, 0);
      QStringList texts;
      for (const QString& line : listed.out.split('\n', Qt::SkipEmptyParts)) texts << line.section('\t', 1, 1);

      keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
      QVERIFY(db.open("Postsift", qPrintable(dir + "/Postsift.kld")));
      {
        TFilterForm editor(db);
        editor.ruleTable = RuleTable::subject;
        editor.option->setCurrentIndex(2);  // "Keep": a search text lists both kinds
        editor.text->setText(search);
        editor.searchButtonClick();
        QStringList shown;
        for (const RuleRow& row : editor.rows()) shown << row.text;
        QCOMPARE(texts, shown);
        QVERIFY(!texts.isEmpty());
      }
      db.close();
    }
  }

  void backupAndRestoreForScripts() {
    const QString dir = newDataDir();
    QCOMPARE(cli(dir, {"rule", "add", "from", "remove", "spam.example"}).exitCode, 0);
    const QString archive = root.filePath(QStringLiteral("scripted.qbk"));
    Result saved = cli(dir, {"backup", archive});
    QCOMPARE(saved.exitCode, 0);
    QCOMPARE(saved.out, QStringLiteral("Backup Completed.\n"));
    QCOMPARE(cli(dir, {"backup", archive}).exitCode, 0);  // replaced: the command names the file
    QCOMPARE(cli(dir, {"rule", "add", "from", "remove", "later.example"}).exitCode, 0);

    const Result restored = cli(dir, {"restore", archive});
    QCOMPARE(restored.exitCode, 0);
    QCOMPARE(restored.out, QStringLiteral("Restore Completed.\n"));
    QVERIFY(cli(dir, {"rule", "list", "from"}).out.endsWith("\tspam.example\tYes\n"));
    QCOMPARE(cli(dir, {"rule", "list", "from"}).out.count('\n'), 1);

    const Result missing = cli(dir, {"restore", root.filePath(QStringLiteral("none.qbk"))});
    QCOMPARE(missing.exitCode, 1);
    QCOMPARE(missing.err, QStringLiteral("postsift-cli: The filename does not exist.\n"));
    QCOMPARE(cli(dir, {"backup"}).exitCode, 2);
  }

  // The command line never asks about a certificate: it refuses and says how to trust
  // it, and "trust" stores the fingerprint.
  void certificatesAreTrustedExplicitly() {
    testsupport::TestCertificates certificates;
    testsupport::DovecotServer server(certificates.server("selfsigned"));
    const QString dir = newDataDir();
    configure(dir, server.tlsPort(), {"security=SSL/TLS"});
    const Result refused = cli(dir, {"test"});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains("self-signed"), qPrintable(refused.err));
    const QString hint = QStringLiteral("postsift-cli trust 127.0.0.1:%1 ").arg(server.tlsPort());
    const qsizetype at = refused.err.indexOf(hint);
    QVERIFY2(at >= 0, qPrintable(refused.err));
    const QString fingerprint = refused.err.mid(at + hint.size()).trimmed();
    QCOMPARE(fingerprint.size(), 95);  // 32 bytes as "AB:" pairs

    QCOMPARE(cli(dir, {"trust", QStringLiteral("127.0.0.1:%1").arg(server.tlsPort()), fingerprint}).exitCode, 0);
    const Result tested = cli(dir, {"test"});
    QCOMPARE(tested.exitCode, 0);
    QCOMPARE(tested.out, QStringLiteral("Login succeeded: 0 messages waiting.\n"));

    QCOMPARE(cli(dir, {"trust", "127.0.0.1", fingerprint}).exitCode, 2);
    QCOMPARE(cli(dir, {"trust", "127.0.0.1:995", "abcd"}).exitCode, 2);
    QCOMPARE(cli(dir, {"config", "set", "security=TLS"}).exitCode, 2);
    const Result unreachable = cli(newDataDir(), {"test"});
    QCOMPARE(unreachable.exitCode, 1);
  }

  void usageErrorsExitTwoAndChangeNothing_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no command") << QStringList{};
    QTest::newRow("unknown command") << QStringList{"fetch"};
    QTest::newRow("unknown option") << QStringList{"--verbose", "config", "show"};
    QTest::newRow("config without verb") << QStringList{"config"};
    QTest::newRow("unknown setting") << QStringList{"config", "set", "colour=blue"};
    QTest::newRow("no value") << QStringList{"config", "set", "server"};
    QTest::newRow("port zero") << QStringList{"config", "set", "port=0"};
    QTest::newRow("port too big") << QStringList{"config", "set", "port=65536"};
    QTest::newRow("port not a number") << QStringList{"config", "set", "port=abc"};
    QTest::newRow("flag not a boolean") << QStringList{"config", "set", "autoRemove=yes"};
    QTest::newRow("one bad among good") << QStringList{"config", "set", "server=x.example", "toAdd=maybe"};
    QTest::newRow("rule table") << QStringList{"rule", "add", "cc", "remove", "x"};
    QTest::newRow("rule kind") << QStringList{"rule", "add", "from", "drop", "x"};
    QTest::newRow("rule without text") << QStringList{"rule", "add", "from", "remove"};
    QTest::newRow("list kind") << QStringList{"rule", "list", "to", "some"};
    QTest::newRow("search without text") << QStringList{"rule", "list", "to", "--search"};
    QTest::newRow("receive option") << QStringList{"receive", "--all"};
  }
  void usageErrorsExitTwoAndChangeNothing() {
    QFETCH(QStringList, arguments);
    const QString dir = newDataDir();
    const Result result = cli(dir, arguments);
    QCOMPARE(result.exitCode, 2);
    QVERIFY(result.err.contains("usage: postsift-cli"));
    QVERIFY(!QFileInfo::exists(dir + "/Postsift.kld"));
  }

  // The command line lists and marks exactly what the window's F2 shows, and deletes
  // only when asked with --remove, whatever autoRemove says.
  void receiveMatchesTheWindowAndDeletesOnlyWithRemove() {
    dovecot->setMessages({mailMessage("Alice <alice@friends.example>", "me@home.example", "Lunch"),
                          mailMessage("shop@spam.example", "me@home.example", "=?UTF-8?B?5YWN6LK7?= offer"),
                          mailMessage("", "me@home.example", "No sender"),
                          mailMessage("news@lists.example", "list@lists.example", "Weekly \"news\"\tdigest")});
    const QString dir = newDataDir();
    configure(dir, dovecot->port(), {"autoRemove=true", "autoExecute=true", "emailProgram=/bin/true"});
    QCOMPARE(cli(dir, {"rule", "add", "from", "remove", "spam.example"}).exitCode, 0);
    QCOMPARE(cli(dir, {"rule", "add", "to", "remove", "list@lists"}).exitCode, 0);

    const Result json = cli(dir, {"receive", "--json"});
    QCOMPARE(json.exitCode, 0);
    QCOMPARE(dovecot->messages().size(), size_t(4));  // nothing deleted without --remove
    const QJsonObject listed = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(listed.value("status").toArray(),
             (QJsonArray{"Message received: 4", "To be removed: 3", "Remained message: 1"}));
    const QJsonArray rows = listed.value("rows").toArray();
    QCOMPARE(rows.size(), 4);

    // The window on a database of its own with the same settings and rules.
    const QString windowDir = newDataDir();
    QVERIFY(QDir().mkpath(windowDir));
    QVERIFY(QDir::setCurrent(windowDir));
    {
      keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
      TMainForm form(db);
      form.show();
      QVERIFY(QTest::qWaitFor([&] { return form.startupState() == TMainForm::StartupState::running; }, 10000));
      {
        keldraCursor<Config> config(dbCursorForUpdate, &db);
        QCOMPARE(selectConfig(config), 1u);
        config->server = "127.0.0.1";
        config->port = int16_t(dovecot->port());
        config->username = "filter";
        config->password = "secret";
        config->security = "None";
        config.update();
      }
      insertRule<EmailFrom>(db, "spam.example", true);
      insertRule<EmailTo>(db, "list@lists", true);
      db.commit();
      form.receiveAction->trigger();
      QCOMPARE(form.grid->rowCount(), rows.size() + 1);
      for (int row = 1; row < form.grid->rowCount(); ++row) {
        const QJsonObject line = rows[row - 1].toObject();
        QCOMPARE(QString::number(line.value("id").toInt()), form.grid->cell(0, row));
        QCOMPARE(line.value("from").toString(), form.grid->cell(1, row));
        QCOMPARE(line.value("to").toString(), form.grid->cell(2, row));
        QCOMPARE(line.value("subject").toString(), form.grid->cell(3, row));
        QCOMPARE(line.value("mark").toString(), form.grid->cell(4, row));
      }
      QCOMPARE(form.grid->cell(3, 2), QStringLiteral("免費 offer"));
      form.close();
      db.close();
    }
    QCOMPARE(dovecot->messages().size(), size_t(4));

    QCOMPARE(cli(dir, {"receive", "--summary"}).out, QStringLiteral("Received 4 messages, 3 marked for removal.\n"));
    const Result plain = cli(dir, {"receive", "--remove"});
    QCOMPARE(plain.exitCode, 0);
    QVERIFY2(plain.out.startsWith("1\talice@friends.example\tme@home.example\tLunch\t\n"), qPrintable(plain.out));
    QVERIFY(plain.out.endsWith("Message received: 4\nTo be removed: 3\nRemained message: 1\n"));
    const auto left = dovecot->messages();
    QCOMPARE(left.size(), size_t(1));
    QVERIFY(left[0].find("Subject: Lunch") != std::string::npos);
  }

  void failuresExitOneWithOneLine() {
    const QString dir = newDataDir();
    const Result unconfigured = cli(dir, {"receive"});
    QCOMPARE(unconfigured.exitCode, 1);
    QCOMPARE(unconfigured.err, QStringLiteral("postsift-cli: Please press [Config] button to config the POP3 server.\n"));

    configure(dir, dovecot->port());
    QCOMPARE(cli(dir, {"config", "set", "password=wrong"}).exitCode, 0);
    const Result refused = cli(dir, {"receive"});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.startsWith("postsift-cli: The POP3 server 127.0.0.1:") && refused.err.contains("refused the login"),
             qPrintable(refused.err));
    QCOMPARE(refused.err.count('\n'), 1);

    // A port nobody listens on any more.
    uint16_t closedPort = 0;
    {
      testsupport::ScriptedPop3Server gone({});
      closedPort = gone.port();
    }
    configure(dir, closedPort);
    const Result unreachable = cli(dir, {"receive"});
    QCOMPARE(unreachable.exitCode, 1);
    QVERIFY2(unreachable.err.startsWith("postsift-cli: Cannot connect to the POP3 server"), qPrintable(unreachable.err));
  }

  // SIGTERM during a receive drops the connection without QUIT: nothing is deleted.
  void aSignalDuringReceiveDeletesNothing() {
    testsupport::ScriptedPop3Server server({mailMessage("a@spam.example", "me@home.example", "One"),
                                            mailMessage("b@spam.example", "me@home.example", "Two")});
    server.setFaultHook([](const std::string& line) { return line == "TOP 2 0" ? Fault::delayBy(5000) : Fault{}; });
    const QString dir = newDataDir();
    configure(dir, server.port());
    QCOMPARE(cli(dir, {"rule", "add", "from", "remove", "spam.example"}).exitCode, 0);

    QProcess* process = startCli(dir, {"receive", "--remove"});
    QVERIFY(QTest::qWaitFor([&] {
      const auto commands = server.commands();
      return !commands.empty() && commands.back() == "TOP 2 0";
    }, 10000));
    ::kill(pid_t(process->processId()), SIGTERM);
    const Result result = finish(process);
    QCOMPARE(result.exitCode, 1);
    QVERIFY(server.waitIdle(15000));
    QCOMPARE(server.commands().back(), std::string("TOP 2 0"));
    QCOMPARE(server.messages().size(), size_t(2));
  }

  // One database file is used by one process at a time; two files named alike are not
  // in each other's way.
  void windowAndCommandLineShareADatabaseOnlyOneAtATime() {
    const QString windowDir = newDataDir();
    QVERIFY(QDir().mkpath(windowDir));
    QVERIFY(QDir::setCurrent(windowDir));
    keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
    auto form = std::make_unique<TMainForm>(db);
    form->show();
    QVERIFY(QTest::qWaitFor([&] { return form->startupState() == TMainForm::StartupState::running; }, 10000));

    const Result same = cli(windowDir, {"config", "show"});
    QCOMPARE(same.exitCode, 1);
    QCOMPARE(same.err, QStringLiteral("postsift-cli: Database cannot be accessed concurrently.\n"));
    // The timer's run skips instead of failing, so it neither retries nor reports an error.
    const Result skipped = cli(windowDir, {"receive", "--remove", "--summary", "--skip-if-busy"});
    QCOMPARE(skipped.exitCode, 0);
    QCOMPARE(skipped.out, QStringLiteral("The Postsift window has the database open; this run is skipped.\n"));
    QCOMPARE(cli(newDataDir(), {"config", "show"}).exitCode, 0);
    form->close();
    db.close();
    form.reset();

    // The other way round: the command line waits on a slow server, the window refuses.
    testsupport::ScriptedPop3Server server({mailMessage("a@x.example", "me@home.example", "One")});
    server.setFaultHook([](const std::string& line) { return line == "STAT" ? Fault::delayBy(3000) : Fault{}; });
    configure(windowDir, server.port());
    QProcess* process = startCli(windowDir, {"receive"});
    QVERIFY(QTest::qWaitFor([&] { return !server.commands().empty(); }, 10000));
    keldraDatabase second(dbReadWrite, 1048576, 4194304, 65536, 1);
    TMainForm refused(second);
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    refused.show();
    QVERIFY(QTest::qWaitFor([&] { return refused.startupState() == TMainForm::StartupState::failed; }, 10000));
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("Database cannot be accessed concurrently."));
    QCOMPARE(finish(process).exitCode, 0);
  }
};

QTEST_MAIN(CliTest)
#include "cli_test.moc"
