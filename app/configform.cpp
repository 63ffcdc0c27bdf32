#include "configform.h"

#include "formcontrols.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "database.h"
#include "filterform.h"
#include "mailoperations.h"
#include "pop3client.h"
#include "yesnoform.h"

namespace {

QLineEdit* newEdit(const char* objectName, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(objectName));
  return edit;
}

// One "Double Click the '...' column:" row: its own pair of radio buttons.
QWidget* radioPair(QRadioButton*& first, const char* firstName, QRadioButton*& second, const char* secondName,
                   QWidget* parent) {
  auto* pair = new QWidget(parent);
  first = new QRadioButton(QStringLiteral("Add to the filter"), pair);
  first->setObjectName(QString::fromLatin1(firstName));
  second = new QRadioButton(QStringLiteral("Pop up Filter Dialog"), pair);
  second->setObjectName(QString::fromLatin1(secondName));
  auto* layout = new QHBoxLayout(pair);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(first);
  layout->addWidget(second);
  layout->addStretch(1);
  return pair;
}

std::string textOf(const QLineEdit* edit) { return edit->text().toStdString(); }

}  // namespace

TConfigForm::TConfigForm(dbDatabase& db, QWidget* owner) : QDialog(owner), db(db) {
  setObjectName(QStringLiteral("ConfigForm"));
  setWindowTitle(QStringLiteral("Config"));
  resize(800, 600);

  auto* server = new QGroupBox(QStringLiteral("POP3 Server Setting"), this);
  pop3Server = newEdit("pop3Server", server);
  port = newEdit("port", server);
  port->setMaxLength(5);
  username = newEdit("username", server);
  password = newEdit("password", server);
  password->setEchoMode(QLineEdit::Password);
  security = new QComboBox(server);
  security->setObjectName(QStringLiteral("security"));
  for (const char* choice : securityChoices) security->addItem(QString::fromLatin1(choice));
  testButton = newButton("testButton", QStringLiteral("&Test"), server);
  auto* securityRow = new QHBoxLayout;
  securityRow->addWidget(security);
  securityRow->addStretch(1);
  securityRow->addWidget(testButton);
  auto* serverLayout = new QFormLayout(server);
  serverLayout->addRow(QStringLiteral("POP3 Server: "), pop3Server);
  serverLayout->addRow(QStringLiteral("Port:"), port);
  serverLayout->addRow(QStringLiteral("User:"), username);
  serverLayout->addRow(QStringLiteral("Password:"), password);
  serverLayout->addRow(QStringLiteral("Security:"), securityRow);

  auto* functions = new QGroupBox(QStringLiteral("Function Setting"), this);
  auto* functionLayout = new QFormLayout(functions);
  functionLayout->addRow(QStringLiteral("Double Click the 'From' column:"),
                         radioPair(fromAdd, "fromAdd", RadioButton2, "RadioButton2", functions));
  functionLayout->addRow(QStringLiteral("Double Click the 'To' column:"),
                         radioPair(toAdd, "toAdd", RadioButton4, "RadioButton4", functions));
  functionLayout->addRow(QStringLiteral("Double Click the 'Subject' column:"),
                         radioPair(subjectAdd, "subjectAdd", RadioButton6, "RadioButton6", functions));

  auto* after = new QGroupBox(QStringLiteral("Action after receive the email"), this);
  autoRemove = new QCheckBox(QStringLiteral("Remove the email by filter rules."), after);
  autoRemove->setObjectName(QStringLiteral("autoRemove"));
  autoExecute = new QCheckBox(QStringLiteral("Execute the email application"), after);
  autoExecute->setObjectName(QStringLiteral("autoExecute"));
  emailProgram = newEdit("emailProgram", after);
  openButton = newButton("openButton", QStringLiteral("&Open"), after);
  auto* programRow = new QHBoxLayout;
  programRow->addWidget(emailProgram, 1);
  programRow->addWidget(openButton);
  auto* afterLayout = new QVBoxLayout(after);
  afterLayout->addWidget(autoRemove);
  afterLayout->addWidget(autoExecute);
  afterLayout->addLayout(programRow);

  BitBtn1 = newButton("BitBtn1", QStringLiteral("From Filter Database"), this);
  toButton = newButton("toButton", QStringLiteral("To Filter Database"), this);
  BitBtn2 = newButton("BitBtn2", QStringLiteral("Subject Filter Database"), this);
  okButton = newButton("okButton", QStringLiteral("&Save"), this);
  cancelButton = newButton("cancelButton", QStringLiteral("&Cancel"), this);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* button : {BitBtn1, toButton, BitBtn2}) buttons->addWidget(button);
  buttons->addStretch(1);
  buttons->addWidget(okButton);
  buttons->addWidget(cancelButton);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(server);
  layout->addWidget(functions);
  layout->addWidget(after);
  layout->addStretch(1);
  layout->addLayout(buttons);

  connect(okButton, &QPushButton::clicked, this, &TConfigForm::okButtonClick);
  connect(cancelButton, &QPushButton::clicked, this, &TConfigForm::cancelButtonClick);
  connect(BitBtn1, &QPushButton::clicked, this, &TConfigForm::BitBtn1Click);
  connect(toButton, &QPushButton::clicked, this, &TConfigForm::toButtonClick);
  connect(BitBtn2, &QPushButton::clicked, this, &TConfigForm::BitBtn2Click);
  connect(openButton, &QPushButton::clicked, this, &TConfigForm::openButtonClick);
  connect(testButton, &QPushButton::clicked, this, &TConfigForm::testButtonClick);
  connect(security, &QComboBox::activated, this, &TConfigForm::securityChange);

  chooseProgram = [this] {
    return QFileDialog::getOpenFileName(this, QString(), emailProgram->text(), QStringLiteral("應用程式 (*)"));
  };
  centreOnOwner(this, owner);
}

void TConfigForm::showSettings(const Settings& settings) {
  pop3Server->setText(QString::fromStdString(settings.server));
  port->setText(QString::number(settings.port));
  username->setText(QString::fromStdString(settings.username));
  password->setText(QString::fromStdString(settings.password));
  (settings.fromAdd ? fromAdd : RadioButton2)->setChecked(true);
  (settings.toAdd ? toAdd : RadioButton4)->setChecked(true);
  (settings.subjectAdd ? subjectAdd : RadioButton6)->setChecked(true);
  autoRemove->setChecked(settings.autoRemove);
  autoExecute->setChecked(settings.autoExecute);
  emailProgram->setText(QString::fromStdString(settings.emailProgram));
  security->setCurrentText(QString::fromStdString(settings.security));
}

Settings TConfigForm::editedSettings(const Settings& base) const {
  Settings settings = base;
  settings.server = textOf(pop3Server);
  settings.port = parsePortText(textOf(port)).value_or(base.port);
  settings.username = textOf(username);
  settings.password = textOf(password);
  settings.fromAdd = fromAdd->isChecked();
  settings.toAdd = toAdd->isChecked();
  settings.subjectAdd = subjectAdd->isChecked();
  settings.autoRemove = autoRemove->isChecked();
  settings.autoExecute = autoExecute->isChecked();
  settings.emailProgram = textOf(emailProgram);
  settings.security = security->currentText().toStdString();
  return settings;
}

void TConfigForm::okButtonClick() {
  if (!parsePortText(textOf(port))) {
    showMessageBox(QString::fromLatin1(badPortText), this);
    port->setFocus();
    port->selectAll();
    return;
  }
  accept();
}

void TConfigForm::cancelButtonClick() { reject(); }

void TConfigForm::openRuleEditor(const QString& caption, RuleTable table) {
  TFilterForm editor(db, this);
  editor.setWindowTitle(caption);
  editor.ruleTable = table;
  editor.searchButtonClick();
  editor.exec();
}

void TConfigForm::BitBtn1Click() { openRuleEditor(BitBtn1->text(), RuleTable::from); }
void TConfigForm::toButtonClick() { openRuleEditor(toButton->text(), RuleTable::to); }
void TConfigForm::BitBtn2Click() { openRuleEditor(BitBtn2->text(), RuleTable::subject); }

void TConfigForm::openButtonClick() {
  const QString chosen = chooseProgram();
  if (!chosen.isEmpty()) emailProgram->setText(chosen);
}

void TConfigForm::securityChange(int index) {
  const bool implicitTls = security->itemText(index) == QLatin1String("SSL/TLS");
  if (implicitTls && port->text().trimmed() == QLatin1String("110")) port->setText(QStringLiteral("995"));
  if (!implicitTls && port->text().trimmed() == QLatin1String("995")) port->setText(QStringLiteral("110"));
}

void TConfigForm::testButtonClick() {
  if (!parsePortText(textOf(port))) {
    showMessageBox(QString::fromLatin1(badPortText), this);
    return;
  }
  const Settings shown = editedSettings(Settings{});
  testButton->setEnabled(false);
  QApplication::setOverrideCursor(Qt::BusyCursor);
  QString report;
  for (bool again = true; again;) {
    again = false;
    Pop3Client mailbox;
    mailbox.setReadTimeout(testReadTimeoutMs);
    mailbox.setSettings(accountOf(db, shown));
    db.commit();
    try {
      report = testMailbox(mailbox);
    } catch (const Pop3CertificateError& certificate) {
      report = QString::fromUtf8(certificate.what());
      if (!certificate.changed && askYesNo(trustQuestion(certificate), this)) {
        trustCertificate(db, certificate);
        again = true;
      }
    } catch (const Pop3Error& failure) {
      report = QString::fromUtf8(failure.what());
    }
  }
  QApplication::restoreOverrideCursor();
  testButton->setEnabled(true);
  showMessageBox(report, this);
}
