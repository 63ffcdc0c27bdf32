// The rule editor, the rule dialog, adding rules from the message list and the
// configuration window, driven offscreen on a real database; after each flow the file
// passes the checker.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>
#include <string>

#include "addfilterform.h"
#include "check.h"
#include "configform.h"
#include "filterform.h"
#include "mainform.h"
#include "messagegrid.h"
#include "modaldriver.h"
#include "settings.h"
#include "tables.h"
#include "yesnoform.h"

namespace {

// Answers the next rule dialog with `text` and the kind, by Okay or Cancel.
void answerRuleDialog(const QString& text, bool remove, bool okay) {
  onNextModal<TAddFilterForm>([=](TAddFilterForm* dialog) {
    dialog->text->setText(text);
    (remove ? dialog->removeRadio : dialog->keepRadio)->setChecked(true);
    (okay ? dialog->okButton : dialog->cancelButton)->click();
  });
}

// The stored rules of a table: text -> remove.
template <class Rule>
std::map<std::string, bool> storedRules(keldraDatabase& db) {
  std::map<std::string, bool> rules;
  {
    keldraCursor<Rule> cursor(dbCursorForReading, &db);
    if (cursor.select() > 0) {
      do rules[cursor->text] = cursor->remove;
      while (cursor.next() != nullptr);
    }
  }
  db.commit();
  return rules;
}

QStringList listedTexts(const TFilterForm& editor) {
  QStringList texts;
  for (const RuleRow& row : editor.rows()) texts << row.text;
  return texts;
}

}  // namespace

class RuleWindowsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dataDir;
  QString previousDirectory;
  int runs = 0;
  std::string name;
  std::unique_ptr<keldraDatabase> db;

  std::string file() const { return name + ".kld"; }
  void checkFile() {
    db->commit();
    const dbCheckReport report = dbCheckFile(file().c_str());
    QVERIFY2(report.ok(), report.errors.empty() ? "" : report.errors.front().c_str());
  }

 private slots:
  void initTestCase() {
    QVERIFY(dataDir.isValid());
    previousDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dataDir.path()));
  }
  void cleanupTestCase() { QDir::setCurrent(previousDirectory); }

  // A fresh database with its settings record, as a first start leaves it.
  void init() {
    name = "rulewindows" + std::to_string(QCoreApplication::applicationPid()) + "_" + std::to_string(runs++);
    db = std::make_unique<keldraDatabase>(dbReadWrite, 1048576, 4194304, 65536, 1);
    QVERIFY(db->open(name.c_str()));
    insertConfig(*db, firstRunConfig());
    db->commit();
  }
  void cleanup() {
    checkFile();
    db->close();
    db.reset();
  }

  void insertEditAndDeleteRules() {
    TFilterForm editor(*db);
    editor.ruleTable = RuleTable::from;
    editor.searchButtonClick();
    QCOMPARE(editor.total->text(), QStringLiteral("Total records: 0"));

    // The dialog offers only the editor's table.
    bool fixed = false;
    onNextModal<TAddFilterForm>([&](TAddFilterForm* dialog) {
      fixed = dialog->fromRadio->isChecked() && !dialog->toRadio->isEnabled() && !dialog->subjectRadio->isEnabled();
      dialog->text->setText(QStringLiteral("Spam@Example.COM"));
      dialog->okButton->click();
    });
    editor.insertButton->click();
    QVERIFY(fixed);
    QCOMPARE(listedTexts(editor), QStringList{"Spam@Example.COM"});  // as typed
    QCOMPARE(editor.total->text(), QStringLiteral("Total records: 1"));
    QCOMPARE(storedRules<EmailFrom>(*db), (std::map<std::string, bool>{{"spam@example.com", true}}));

    answerRuleDialog(QStringLiteral("other.example"), true, false);
    editor.insertButton->click();
    QCOMPARE(listedTexts(editor), QStringList{"Spam@Example.COM"});
    QCOMPARE(editor.total->text(), QStringLiteral("Total records: 1"));

    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    answerRuleDialog(QStringLiteral("SPAM@example.com"), false, true);
    editor.insertButton->click();
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("This email has been added already."));
    QCOMPARE(storedRules<EmailFrom>(*db).size(), size_t(1));

    editor.searchButtonClick();
    QCOMPARE(listedTexts(editor), QStringList{"spam@example.com"});  // as stored

    // Changing only the case finds the rule itself: refused, flag and text kept.
    editor.grid->selectRow(0);
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    answerRuleDialog(QStringLiteral("SPAM@EXAMPLE.COM"), false, true);
    editor.updatButton->click();
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("This email has been added already."));
    QCOMPARE(storedRules<EmailFrom>(*db), (std::map<std::string, bool>{{"spam@example.com", true}}));

    answerRuleDialog(QStringLiteral("Friend@Home.example"), false, true);
    editor.updatButton->click();
    QCOMPARE(listedTexts(editor), QStringList{"Friend@Home.example"});
    QCOMPARE(editor.rows()[0].remove, false);
    QCOMPARE(storedRules<EmailFrom>(*db), (std::map<std::string, bool>{{"friend@home.example", false}}));

    TYesNoForm::queueAnswer(TYesNoForm::ResultNo);
    editor.deleteButton->click();
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("Delete 'Friend@Home.example'?"));
    QCOMPARE(editor.rows().size(), size_t(1));
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    editor.deleteButton->click();
    QVERIFY(editor.rows().empty());
    QCOMPARE(editor.total->text(), QStringLiteral("Total records: 0"));
    QVERIFY(storedRules<EmailFrom>(*db).empty());

    // Without a selected rule, Edit and Delete do nothing.
    editor.updatButton->click();
    editor.deleteButton->click();
  }

  void searchOptionsAndText() {
    for (auto [text, remove] : std::initializer_list<std::pair<const char*, bool>>{
             {"50% off", true}, {"it's a deal", false}, {"c:\\mail", true}, {"a_b", false}, {"axb", true}}) {
      insertRule<EmailSubject>(*db, text, remove);
    }
    db->commit();
    TFilterForm editor(*db);
    editor.ruleTable = RuleTable::subject;
    editor.searchButtonClick();
    QCOMPARE(editor.rows().size(), size_t(5));
    editor.option->setCurrentIndex(1);  // "Remove": the change searches
    QCOMPARE(listedTexts(editor), (QStringList{"50% off", "c:\\mail", "axb"}));
    editor.option->setCurrentIndex(2);  // "Keep"
    QCOMPARE(listedTexts(editor), (QStringList{"it's a deal", "a_b"}));

    // Typed letters become lower case; Enter searches.
    editor.show();
    QTest::keyClicks(editor.text, QStringLiteral("IT'S A "));
    QCOMPARE(editor.text->text(), QStringLiteral("it's a "));
    QTest::keyClick(editor.text, Qt::Key_Return);
    QCOMPARE(listedTexts(editor), QStringList{"it's a deal"});
    QVERIFY(editor.isVisible());

    // A search text lists both kinds; '%' and '_' are patterns, backslashes literal.
    const std::pair<QString, QStringList> searches[] = {
        {QStringLiteral("a_b"), {"a_b", "axb"}},
        {QStringLiteral("%"), {"50% off", "it's a deal", "c:\\mail", "a_b", "axb"}},
        {QStringLiteral("0%f"), {"50% off"}},
        {QStringLiteral("\\"), {"c:\\mail"}},
        {QStringLiteral("' or ''='"), {}},
    };
    for (const auto& [search, expected] : searches) {
      editor.text->setText(search);
      editor.searchButtonClick();
      QCOMPARE(listedTexts(editor), expected);
      QCOMPARE(editor.total->text(), QStringLiteral("Total records: %1").arg(expected.size()));
    }
  }

  void importAndExportThroughTheEditor() {
    insertRule<EmailFrom>(*db, "casino.example", true);
    db->commit();
    const QString list = dataDir.filePath(QStringLiteral("list.txt"));
    QFile file(list);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("# friends\r\nAlice@Friends.Example\r\n\r\nbob@friends.example\ncasino.example\nalice@friends.example\n");
    file.close();

    TFilterForm editor(*db);
    editor.ruleTable = RuleTable::from;
    editor.option->setCurrentIndex(2);  // "Keep": the file's rules are keep rules
    editor.chooseImportFile = [&] { return list; };
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    editor.importButton->click();
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("2 added, 2 skipped"));
    QVERIFY(!editor.progress->isVisible());
    QCOMPARE(storedRules<EmailFrom>(*db), (std::map<std::string, bool>{
                                              {"casino.example", true}, {"alice@friends.example", false},
                                              {"bob@friends.example", false}}));
    QCOMPARE(listedTexts(editor), (QStringList{"alice@friends.example", "bob@friends.example"}));

    // A file with an invalid byte adds nothing.
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("new.example\nbroken\xff\n");
    file.close();
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    editor.importButton->click();
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("Line 2 is not valid UTF-8; nothing was imported."));
    QCOMPARE(storedRules<EmailFrom>(*db).size(), size_t(3));

    // The export writes what the grid lists.
    editor.option->setCurrentIndex(0);
    const QString exported = dataDir.filePath(QStringLiteral("exported.txt"));
    editor.chooseExportFile = [&] { return exported; };
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    editor.exportButton->click();
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("3 rules exported."));
    QFile written(exported);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("casino.example\nalice@friends.example\nbob@friends.example\n"));
  }

  // Double clicks on From, To and Subject cells of a listed message.
  void rulesFromTheMessageList() {
    TMainForm form(*db, name);
    form.show();
    QVERIFY(QTest::qWaitFor([&] { return form.startupState() == TMainForm::StartupState::running; }, 10000));
    TMessageGrid* grid = form.grid;
    const QStringList rows[] = {{"1", "Shop@Spam.Example", "me@home.example", "Offer", ""},
                                {"2", "x.shop@spam.example", "me@home.example", "Deal", ""},
                                {"3", "friend@x.example", "me@home.example", "", ""},
                                {"4", "shop@spam.example", "me@home.example", "Old", "Sub"}};
    grid->setRowCount(5);
    for (int row = 1; row <= 4; ++row) {
      for (int column = 0; column < 5; ++column) grid->setCell(column, row, rows[row - 1][column]);
    }
    form.fromAdd = true;
    form.subjectAdd = true;
    form.toAdd = false;

    // At once: a remove rule, and every unmarked row it matches is marked.
    emit grid->gridDblClick(1, 1);
    QCOMPARE(storedRules<EmailFrom>(*db), (std::map<std::string, bool>{{"shop@spam.example", true}}));
    QCOMPARE(grid->cell(4, 1), QStringLiteral("From"));
    QCOMPARE(grid->cell(4, 2), QStringLiteral("From"));
    QCOMPARE(grid->cell(4, 3), QString());
    QCOMPARE(grid->cell(4, 4), QStringLiteral("Sub"));  // a mark is never replaced
    QCOMPARE(form.removeCount(), 2);
    QCOMPARE(form.statusText(1), QStringLiteral("To be removed: 2"));

    emit grid->gridDblClick(1, 2);  // contains the rule but is a text of its own: added
    TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
    emit grid->gridDblClick(1, 1);
    QCOMPARE(TYesNoForm::lastText(), QStringLiteral("This email has been added already."));
    QCOMPARE(storedRules<EmailFrom>(*db).size(), size_t(2));
    QCOMPARE(form.removeCount(), 2);

    // An empty Subject cell stores an empty rule, which marks nothing.
    emit grid->gridDblClick(3, 3);
    QCOMPARE(storedRules<EmailSubject>(*db), (std::map<std::string, bool>{{"", true}}));
    QCOMPARE(grid->cell(4, 3), QString());
    QCOMPARE(form.removeCount(), 2);

    // Through the dialog (toAdd false): the To cell offered; a keep rule marks nothing.
    grid->selectRow(2);
    bool offered = false;
    onNextModal<TAddFilterForm>([&](TAddFilterForm* dialog) {
      offered = dialog->toRadio->isChecked() && dialog->text->text() == QStringLiteral("me@home.example");
      dialog->keepRadio->setChecked(true);
      dialog->okButton->click();
    });
    emit grid->gridDblClick(2, 3);
    QVERIFY(offered);
    QCOMPARE(storedRules<EmailTo>(*db), (std::map<std::string, bool>{{"me@home.example", false}}));
    QCOMPARE(grid->cell(4, 3), QString());

    // Cancel adds nothing but still shows the count.
    form.setStatusText(1, QStringLiteral("-"));
    answerRuleDialog(QStringLiteral("friend"), true, false);
    form.currentColumn = 1;
    form.addFilterAction->trigger();
    QCOMPARE(storedRules<EmailFrom>(*db).size(), size_t(2));
    QCOMPARE(form.statusText(1), QStringLiteral("To be removed: 2"));
    form.close();
  }

  void configurationWindow() {
    Settings stored;
    stored.server = "pop.example.org";
    stored.port = 40000;  // above 32767: kept as its 16 bits
    stored.username = "me";
    stored.password = "Pass wörd";
    stored.fromAdd = false;
    stored.toAdd = true;
    stored.subjectAdd = false;
    stored.autoRemove = true;
    stored.autoExecute = false;
    stored.emailProgram = "/usr/bin/mailer";
    QVERIFY(writeSettings(*db, stored));
    db->commit();
    auto rawRecord = [&] {
      std::vector<std::string> fields;
      {
        keldraCursor<Config> config(dbCursorForReading, db.get());
        selectConfig(config);
        fields = {config->server, std::to_string(config->port), config->username, config->password,
                  std::to_string(config->fromAdd), std::to_string(config->toAdd), std::to_string(config->subjectAdd),
                  std::to_string(config->autoRemove), std::to_string(config->autoExecute), config->emailProgram,
                  std::to_string(config.getOid())};
      }
      db->commit();
      return fields;
    };
    const auto before = rawRecord();
    QCOMPARE(before[1], std::string("-25536"));

    TMainForm form(*db, name);
    form.show();
    QVERIFY(QTest::qWaitFor([&] { return form.startupState() == TMainForm::StartupState::running; }, 10000));

    // Open and save without changes.
    onNextModal<TConfigForm>([](TConfigForm* window) {
      QCOMPARE(window->port->text(), QStringLiteral("40000"));
      QCOMPARE(window->password->echoMode(), QLineEdit::Password);
      QCOMPARE(window->password->text(), QStringLiteral("Pass wörd"));
      QVERIFY(window->RadioButton2->isChecked() && window->toAdd->isChecked() && window->RadioButton6->isChecked());
      window->okButton->click();
    });
    form.configAction->trigger();
    QCOMPARE(rawRecord(), before);

    // Bad ports are refused and the window stays open; nothing is saved.
    QStringList refused;
    onNextModal<TConfigForm>([&](TConfigForm* window) {
      window->pop3Server->setText(QStringLiteral("changed.example"));
      for (const char* bad : {"abc", "0", "-5", "70000", "", "12a", "+80"}) {
        window->port->setText(QString::fromLatin1(bad));
        TYesNoForm::queueAnswer(TYesNoForm::ResultYes);
        window->okButton->click();
        if (window->isVisible()) refused << TYesNoForm::lastText();
      }
      window->cancelButton->click();
    });
    form.configAction->trigger();
    QCOMPARE(refused.size(), 7);
    QCOMPARE(refused[0], QStringLiteral("The port must be a number from 1 to 65535."));
    QCOMPARE(rawRecord(), before);

    // A rule added in the editor opened from the window survives Cancel; a saved
    // password is stored as typed.
    onNextModal<TConfigForm>([](TConfigForm* window) {
      onNextModal<TFilterForm>([](TFilterForm* editor) {
        QCOMPARE(editor->windowTitle(), QStringLiteral("To Filter Database"));
        answerRuleDialog(QStringLiteral("Me@Home.example"), false, true);
        editor->insertButton->click();
        editor->cancelButton->click();
      });
      window->toButton->click();
      window->cancelButton->click();
    });
    form.configAction->trigger();
    QCOMPARE(storedRules<EmailTo>(*db), (std::map<std::string, bool>{{"me@home.example", false}}));
    QCOMPARE(rawRecord(), before);

    onNextModal<TConfigForm>([](TConfigForm* window) {
      window->password->setText(QStringLiteral("  New Sécret "));
      window->port->setText(QStringLiteral(" 995 "));
      window->fromAdd->setChecked(true);
      window->chooseProgram = [] { return QStringLiteral("/opt/mail/bin/mailer"); };
      window->openButton->click();
      window->okButton->click();
    });
    form.configAction->trigger();
    const std::optional<Settings> saved = readSettings(*db);
    db->commit();
    QVERIFY(saved.has_value());
    QCOMPARE(saved->password, std::string("  New Sécret "));
    QCOMPARE(saved->port, uint16_t(995));
    QVERIFY(saved->fromAdd);
    QCOMPARE(saved->emailProgram, std::string("/opt/mail/bin/mailer"));
    QVERIFY(form.fromAdd);
    form.close();
  }
};

QTEST_MAIN(RuleWindowsTest)
#include "rulewindows_test.moc"
