// The rule editor: lists, searches, inserts, edits and deletes the rules of one rule
// table. Its grid is a view of a model that holds the listed rules, so that it stays
// quick with a hundred thousand of them.
#pragma once

#include <QDialog>

#include <functional>
#include <vector>

#include "ruletables.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableView;
class RuleListModel;
class dbDatabase;

class TFilterForm : public QDialog {
  Q_OBJECT

 public:
  TFilterForm(dbDatabase& db, QWidget* owner = nullptr);
  ~TFilterForm() override;

  RuleTable ruleTable = RuleTable::from;  // set by the opener before the first search

  QComboBox* option;  // "ALL", "Remove", "Keep"
  QLineEdit* text;    // the search text; typed letters become lower case
  QPushButton* searchButton;
  QTableView* grid;   // columns "ID", "Text", "Remove"
  QPushButton* insertButton;
  QPushButton* updatButton;
  QPushButton* deleteButton;
  QLabel* total;      // "Total records: N"
  QPushButton* cancelButton;
  // Rule lists as text files, one rule a line: an import adds the file's rules (as
  // keep rules when the option is "Keep", else as remove rules) in one transaction;
  // an export writes the rules the grid lists.
  QPushButton* importButton;
  QPushButton* exportButton;
  QProgressBar* progress;  // shown while a file is imported
  std::function<QString()> chooseImportFile;  // the file dialogs; tests replace them
  std::function<QString()> chooseExportFile;

  // The listed rules, as the grid shows them.
  const std::vector<RuleRow>& rows() const;

 public slots:
  void searchButtonClick();
  void insertButtonClick();
  void updatButtonClick();
  void deleteButtonClick();
  void cancelButtonClick();
  void importButtonClick();
  void exportButtonClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  int selectedRow() const;  // the first selected rule's row, -1 if none
  void showTotal();
  void keepLowerCase(const QString& typed);

  dbDatabase& db;
  RuleListModel* rules;
};
