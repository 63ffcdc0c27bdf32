// The main window's mail flows driven offscreen against Dovecot and a scripted server:
// receive fills the grid, filter empties it, a double click reads a message, and the
// guard that keeps every other command away while an operation runs.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <memory>
#include <string>

#include "configform.h"
#include "mailoperations.h"
#include "mailserver.h"
#include "mainform.h"
#include "messagegrid.h"
#include "modaldriver.h"
#include "pop3client.h"
#include "readmessageform.h"
#include "samplemail.h"
#include "tables.h"
#include "testsupport.h"
#include "yesnoform.h"

using testsupport::mailMessage;
using Fault = testsupport::ScriptedPop3Server::Fault;

class MailWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dataDir;
  QString previousDirectory;
  std::unique_ptr<testsupport::DovecotServer> dovecot;
  std::unique_ptr<testsupport::RecordingProxy> proxy;
  int runs = 0;

  // A started window over a fresh database whose settings point at `port`.
  struct Run {
    keldraDatabase db{dbReadWrite, 1048576, 4194304, 65536, 1};
    std::unique_ptr<TMainForm> form;
    QStringList errors;
    Run(const std::string& name, uint16_t port) : form(std::make_unique<TMainForm>(db, name)) {
      form->showError = [this](const QString& text) { errors << text; };
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      QVERIFY(QTest::qWaitFor([&] { return form->startupState() == TMainForm::StartupState::running; }, 10000));
      {
        keldraCursor<Config> config(dbCursorForUpdate, &db);
        QVERIFY(selectConfig(config) == 1);
        config->server = "127.0.0.1";
        config->port = int16_t(port);
        config->username = "filter";
        config->password = "secret";
        config->security = "None";
        config.update();
      }
      db.commit();
    }
    ~Run() {
      form->close();
      db.close();
    }
    void addRule(const char* text) {
      insertRule<EmailFrom>(db, text, true);
      db.commit();
    }
  };

  std::string uniqueName() {
    return "mailwindow" + std::to_string(QCoreApplication::applicationPid()) + "_" + std::to_string(runs++);
  }

  static QStringList gridColumn(TMessageGrid* grid, int column) {
    QStringList texts;
    for (int row = 1; row < grid->rowCount(); ++row) texts << grid->cell(column, row);
    return texts;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dataDir.isValid());
    previousDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dataDir.path()));
    dovecot = std::make_unique<testsupport::DovecotServer>();
    proxy = std::make_unique<testsupport::RecordingProxy>(dovecot->port());
  }
  void cleanupTestCase() {
    proxy.reset();
    dovecot.reset();
    QDir::setCurrent(previousDirectory);
  }

  void receiveFillsTheGridReadShowsAMessageAndFilterEmptiesIt() {
    dovecot->setMessages({mailMessage("alice@friends.example", "me@home.example", "Lunch"),
                          mailMessage("shop@spam.example", "me@home.example", "特價 Offer"),
                          testsupport::messageWithAttachments()});
    Run run(uniqueName(), proxy->port());
    run.addRule("spam.example");
    TMainForm& form = *run.form;

    QTest::keyClick(&form, Qt::Key_F2);
    QCOMPARE(gridColumn(form.grid, 0), (QStringList{"1", "3", "2"}));
    QCOMPARE(gridColumn(form.grid, 1), (QStringList{"alice@friends.example", "carol@example.org", "shop@spam.example"}));
    QCOMPARE(form.grid->cell(3, 3), QStringLiteral("特價 Offer"));
    QCOMPARE(gridColumn(form.grid, 4), (QStringList{"", "", "From"}));
    QCOMPARE(form.statusText(0), QStringLiteral("Message received: 3"));
    QCOMPARE(form.statusText(1), QStringLiteral("To be removed: 1"));
    QCOMPARE(form.statusText(2), QStringLiteral("Remained message: 2"));
    QCOMPARE(form.removeCount(), 1);
    QVERIFY(!form.ProgressBar1->isVisible());
    QVERIFY(run.errors.isEmpty());

    // A double click on the ID cell shows the decoded message with its attachments.
    bool seen = false;
    onNextModal<TReadMessageForm>(
        [](TReadMessageForm* window) {
          QCOMPARE(window->windowTitle(), QStringLiteral("Read Message"));
          QCOMPARE(window->from->text(), QStringLiteral("Carol <carol@example.org>"));
          QCOMPARE(window->from->textFormat(), Qt::PlainText);
          QCOMPARE(window->subject->text(), QStringLiteral("Photos from the trip"));
          QVERIFY(window->attachment->isVisibleTo(window));
          QCOMPARE(window->attachment->toPlainText(), QStringLiteral("beach.jpg\n行程.pdf"));
          QCOMPARE(window->msg->toPlainText(), QStringLiteral("Here are the photos.\nSee you soon."));
          window->cancelButton->click();
        },
        &seen);
    // The grid turns mouse double clicks into this signal (its own tests show it).
    emit form.grid->gridDblClick(0, 2);
    QVERIFY(seen);

    proxy->clear();
    form.filterAction->trigger();  // F3
    QCOMPARE(form.grid->rowCount(), 1);
    QCOMPARE(form.statusText(2), QStringLiteral("Mailbox filtered.  Press [Receive] to receive the email again."));
    QCOMPARE(form.statusText(1), QStringLiteral("To be removed: 1"));
    QVERIFY(proxy->waitIdle());
    QCOMPARE(proxy->commands(), (std::vector<std::string>{"USER filter", "PASS secret", "CAPA", "UIDL", "DELE 2", "QUIT"}));
    QCOMPARE(dovecot->messages().size(), size_t(2));
    QVERIFY(run.errors.isEmpty());
  }

  // The account typed into the configuration window, on a port above 32767 (the
  // kernel's ephemeral ports all are), is the one the receive logs in to.
  void aPortAbove32767TypedInTheConfigurationWorks() {
    dovecot->setMessages({mailMessage("a@x.example", "me@home.example", "Hello")});
    QVERIFY(proxy->port() > 32767);
    keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
    TMainForm form(db, uniqueName());
    form.showError = [](const QString& text) { QFAIL(qPrintable(text)); };
    form.show();
    QVERIFY(QTest::qWaitFor([&] { return form.startupState() == TMainForm::StartupState::running; }, 10000));
    const uint16_t port = proxy->port();
    onNextModal<TConfigForm>([port](TConfigForm* window) {
      window->pop3Server->setText(QStringLiteral("127.0.0.1"));
      window->port->setText(QString::number(port));
      window->username->setText(QStringLiteral("filter"));
      window->password->setText(QStringLiteral("secret"));
      window->security->setCurrentText(QStringLiteral("None"));
      window->okButton->click();
    });
    form.configAction->trigger();
    form.receiveAction->trigger();
    QCOMPARE(form.grid->rowCount(), 2);
    QCOMPARE(form.grid->cell(3, 1), QStringLiteral("Hello"));
    form.close();
    db.close();
  }

  // A certificate that does not verify: the window asks, remembers the answer, and the
  // receive goes on; the configuration window's test then passes without asking.
  void anUnverifiedCertificateIsTrustedOnTheUsersWord() {
    testsupport::TestCertificates certificates;
    testsupport::DovecotServer server(certificates.server("selfsigned"));
    server.setMessages({mailMessage("a@x.example", "me@home.example", "Secured")});
    Run run(uniqueName(), server.tlsPort());
    {
      keldraCursor<Config> config(dbCursorForUpdate, &run.db);
      selectConfig(config);
      config->security = "SSL/TLS";
      config.update();
    }
    run.db.commit();
    TMainForm& form = *run.form;
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    form.receiveAction->trigger();
    QVERIFY2(TYesNoForm::lastText().contains(QStringLiteral("self-signed")), qPrintable(TYesNoForm::lastText()));
    QVERIFY(TYesNoForm::lastText().contains(QStringLiteral("SHA-256")));
    QCOMPARE(form.grid->cell(3, 1), QStringLiteral("Secured"));
    QVERIFY(run.errors.isEmpty());

    QString report;
    onNextModal<TConfigForm>([&](TConfigForm* window) {
      QCOMPARE(window->security->currentText(), QStringLiteral("SSL/TLS"));
      TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
      window->testButton->click();
      report = TYesNoForm::lastText();
      // Choosing STARTTLS with port 995 suggests 110 and back.
      window->port->setText(QStringLiteral("995"));
      window->security->setCurrentIndex(1);
      emit window->security->activated(1);
      QCOMPARE(window->port->text(), QStringLiteral("110"));
      window->security->setCurrentIndex(2);
      emit window->security->activated(2);
      QCOMPARE(window->port->text(), QStringLiteral("995"));
      window->cancelButton->click();
    });
    form.configAction->trigger();
    QCOMPARE(report, QStringLiteral("Login succeeded: 1 messages waiting."));
  }

  // While a receive waits for a slow server the window paints, refuses every other
  // command, and Esc cancels: no QUIT, so nothing is deleted.
  void escCancelsAndOtherCommandsAreRefusedMeanwhile() {
    testsupport::ScriptedPop3Server server({mailMessage("a@spam.example", "me@home.example", "One"),
                                            mailMessage("b@spam.example", "me@home.example", "Two")});
    server.setFaultHook([](const std::string& line) { return line == "TOP 2 0" ? Fault::delayBy(4000) : Fault{}; });
    Run run(uniqueName(), server.port());
    run.addRule("spam.example");
    TMainForm& form = *run.form;

    bool checked = false;
    QTimer::singleShot(400, &form, [&] {
      QVERIFY(form.operationRunning());
      QVERIFY(form.ProgressBar1->isVisible());
      QCOMPARE(form.ProgressBar1->value(), 2);
      QVERIFY(form.stopButton->isVisible());
      for (QAction* action : form.ActionList1) QVERIFY(!action->isEnabled());
      // Refused: a second receive and a double click.
      form.receiveActionExecute();
      form.gridDblClick(0, 1);
      QVERIFY(QApplication::activeModalWidget() == nullptr);
      QTest::keyClick(&form, Qt::Key_Escape);
      checked = true;
    });
    QTest::keyClick(&form, Qt::Key_F2);
    QVERIFY(checked);
    QVERIFY(!form.operationRunning());
    QVERIFY(!form.stopButton->isVisible());
    QVERIFY(form.receiveAction->isEnabled());
    QVERIFY(!form.ProgressBar1->isVisible());
    QCOMPARE(form.grid->cell(1, 1), QStringLiteral("a@spam.example"));
    QVERIFY(run.errors.isEmpty());
    QVERIFY(server.waitIdle());
    const auto commands = server.commands();
    QCOMPARE(commands.back(), std::string("TOP 2 0"));
    QCOMPARE(server.messages().size(), size_t(2));
  }

  void closingDuringAnOperationCancelsItFirst() {
    testsupport::ScriptedPop3Server server({mailMessage("a@spam.example", "me@home.example", "One")});
    server.setFaultHook([](const std::string& line) { return line == "TOP 1 0" ? Fault::delayBy(4000) : Fault{}; });
    Run run(uniqueName(), server.port());
    TMainForm& form = *run.form;
    QTimer::singleShot(300, &form, [&] {
      form.close();
      QVERIFY(form.isVisible());  // not yet: the operation ends first
    });
    QTest::keyClick(&form, Qt::Key_F2);
    QTRY_VERIFY(!form.isVisible());
    for (QAction* action : form.ActionList1) QVERIFY(!action->isEnabled());
    QVERIFY(server.waitIdle());
    QCOMPARE(server.commands().back(), std::string("TOP 1 0"));
  }

  void aServerThatStopsAnsweringIsReportedAndTheWindowStaysUsable() {
    testsupport::ScriptedPop3Server server({mailMessage("a@x.example", "me@home.example", "One")});
    server.setFaultHook([](const std::string& line) { return line == "STAT" ? Fault::staySilent() : Fault{}; });
    Run run(uniqueName(), server.port());
    TMainForm& form = *run.form;
    form.POP->setReadTimeout(300);
    QTest::keyClick(&form, Qt::Key_F2);
    QCOMPARE(run.errors.size(), 1);
    QVERIFY2(run.errors[0].contains(QStringLiteral("did not answer")), qPrintable(run.errors[0]));
    QVERIFY(form.receiveAction->isEnabled());
    QVERIFY(!form.POP->isConnected());
  }

  void executeStartsTheMailProgramAndCloses() {
    Run run(uniqueName(), 1);
    TMainForm& form = *run.form;
    QStringList started;
    form.startProgram = [&](const QString& path) { started << path; };
    auto setProgram = [&](const char* path) {
      {
        keldraCursor<Config> config(dbCursorForUpdate, &run.db);
        selectConfig(config);
        config->emailProgram = path;
        config.update();
      }
      run.db.commit();
    };
    setProgram("/nonexistent/mailer");
    form.executeAction->trigger();  // a missing program: nothing happens
    QVERIFY(started.isEmpty());
    QVERIFY(form.isVisible());
    setProgram("/bin/true");
    form.executeAction->trigger();
    QCOMPARE(started, QStringList{"/bin/true"});
    QVERIFY(!form.isVisible());
  }

  void receiveWithoutAServerAsksForTheSettings() {
    keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
    TMainForm form(db, uniqueName());
    form.show();
    QVERIFY(QTest::qWaitFor([&] { return form.startupState() == TMainForm::StartupState::running; }, 10000));
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    QTest::keyClick(&form, Qt::Key_F2);
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("Please press [Config] button to config the POP3 server."));
    QCOMPARE(form.grid->rowCount(), 1);
    form.close();
    db.close();
  }
};

QTEST_MAIN(MailWindowTest)
#include "mailwindow_test.moc"
