// The configuration window: the POP3 account, what a double click on the message
// list's From, To and Subject columns does, what happens after a receive, the mail
// program, and the buttons that open the rule editor for each rule table.
#pragma once

#include <QDialog>

#include <functional>

#include "ruletables.h"
#include "settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class dbDatabase;

class TConfigForm : public QDialog {
  Q_OBJECT

 public:
  TConfigForm(dbDatabase& db, QWidget* owner = nullptr);

  QLineEdit* pop3Server;
  QLineEdit* port;
  QLineEdit* username;
  QLineEdit* password;  // shown masked
  QComboBox* security;  // "None", "STARTTLS", "SSL/TLS"
  QPushButton* testButton;  // logs in with what the window shows and reports
  QRadioButton* fromAdd;      // "Add to the filter"
  QRadioButton* RadioButton2; // "Pop up Filter Dialog"
  QRadioButton* toAdd;
  QRadioButton* RadioButton4;
  QRadioButton* subjectAdd;
  QRadioButton* RadioButton6;
  QCheckBox* autoRemove;
  QCheckBox* autoExecute;
  QLineEdit* emailProgram;
  QPushButton* openButton;
  QPushButton* BitBtn1;   // "From Filter Database"
  QPushButton* toButton;  // "To Filter Database"
  QPushButton* BitBtn2;   // "Subject Filter Database"
  QPushButton* okButton;  // "&Save"
  QPushButton* cancelButton;

  void showSettings(const Settings& settings);
  // The settings as the controls show them, over `base` (fields the window does not
  // show are kept). Requires a valid port (okButtonClick checks it).
  Settings editedSettings(const Settings& base) const;

  // The connection test's read time-out (tests shorten it).
  int testReadTimeoutMs = 60000;

  // Picks a program file; tests replace it.
  std::function<QString()> chooseProgram;

 public slots:
  // Save: refused with a message, the window staying open, when the port is not a
  // number from 1 to 65535.
  void okButtonClick();
  void cancelButtonClick();
  void BitBtn1Click();
  void toButtonClick();
  void BitBtn2Click();
  void openButtonClick();
  void testButtonClick();
  // SSL/TLS with port 110 suggests 995, and back.
  void securityChange(int index);

 private:
  void openRuleEditor(const QString& caption, RuleTable table);

  dbDatabase& db;
};
