#include "filterform.h"

#include "formcontrols.h"

#include <QAbstractTableModel>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSaveFile>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

#include "addfilterform.h"
#include "ruleimport.h"
#include "database.h"
#include "yesnoform.h"

// The listed rules: one row per rule, columns ID (the oid), Text, Remove ("Yes"/"No").
class RuleListModel : public QAbstractTableModel {
 public:
  explicit RuleListModel(QObject* parent) : QAbstractTableModel(parent) {}

  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(list.size()); }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 3; }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || role != Qt::DisplayRole) return {};
    const RuleRow& rule = list[size_t(index.row())];
    switch (index.column()) {
      case 0: return QString::number(rule.oid);
      case 1: return rule.text;
      default: return rule.remove ? QStringLiteral("Yes") : QStringLiteral("No");
    }
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const headers[] = {"ID", "Text", "Remove"};
    return section >= 0 && section < 3 ? QString::fromLatin1(headers[section]) : QVariant();
  }

  void setRows(std::vector<RuleRow> rows) {
    beginResetModel();
    list = std::move(rows);
    endResetModel();
  }
  void append(RuleRow row) {
    beginInsertRows({}, int(list.size()), int(list.size()));
    list.push_back(std::move(row));
    endInsertRows();
  }
  void replace(int row, const QString& text, bool remove) {
    list[size_t(row)].text = text;
    list[size_t(row)].remove = remove;
    emit dataChanged(index(row, 1), index(row, 2));
  }
  void removeAt(int row) {
    beginRemoveRows({}, row, row);
    list.erase(list.begin() + row);
    endRemoveRows();
  }
  const std::vector<RuleRow>& rows() const { return list; }

 private:
  std::vector<RuleRow> list;
};

TFilterForm::TFilterForm(dbDatabase& db, QWidget* owner) : QDialog(owner), db(db), rules(new RuleListModel(this)) {
  setObjectName(QStringLiteral("FilterForm"));
  resize(800, 600);

  option = new QComboBox(this);
  option->setObjectName(QStringLiteral("option"));
  option->addItems({QStringLiteral("ALL"), QStringLiteral("Remove"), QStringLiteral("Keep")});
  option->setCurrentIndex(0);
  text = new QLineEdit(this);
  text->setObjectName(QStringLiteral("text"));
  text->installEventFilter(this);
  connect(text, &QLineEdit::textEdited, this, &TFilterForm::keepLowerCase);
  searchButton = newButton("searchButton", QStringLiteral("Search"), this);
  auto* searchRow = new QHBoxLayout;
  searchRow->addWidget(new QLabel(QStringLiteral("Option:"), this));
  searchRow->addWidget(option);
  searchRow->addWidget(new QLabel(QStringLiteral("Text:"), this));
  searchRow->addWidget(text, 1);
  searchRow->addWidget(searchButton);

  grid = new QTableView(this);
  grid->setObjectName(QStringLiteral("grid"));
  grid->setModel(rules);
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid->setSelectionMode(QAbstractItemView::ExtendedSelection);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->setWordWrap(false);
  grid->verticalHeader()->hide();
  grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);  // no per-row measuring
  grid->verticalHeader()->setDefaultSectionSize(21);
  grid->horizontalHeader()->setMinimumSectionSize(0);
  grid->horizontalHeader()->setStretchLastSection(true);
  grid->setColumnWidth(0, 1);
  grid->setColumnWidth(1, 600);
  grid->setColumnWidth(2, 100);
  connect(grid, &QAbstractItemView::doubleClicked, this, &TFilterForm::updatButtonClick);

  insertButton = newButton("insertButton", QStringLiteral("&Insert"), this);
  updatButton = newButton("updatButton", QStringLiteral("&Edit"), this);
  deleteButton = newButton("deleteButton", QStringLiteral("Delete"), this);
  total = new QLabel(this);
  total->setObjectName(QStringLiteral("total"));
  cancelButton = newButton("cancelButton", QStringLiteral("&Close"), this);
  importButton = newButton("importButton", QStringLiteral("Im&port..."), this);
  exportButton = newButton("exportButton", QStringLiteral("E&xport..."), this);
  progress = new QProgressBar(this);
  progress->setObjectName(QStringLiteral("progress"));
  progress->hide();
  auto* buttons = new QHBoxLayout;
  for (QPushButton* button : {insertButton, updatButton, deleteButton, importButton, exportButton}) {
    buttons->addWidget(button);
  }
  buttons->addWidget(total, 1);
  buttons->addWidget(cancelButton);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(searchRow);
  layout->addWidget(grid, 1);
  layout->addWidget(progress);
  layout->addLayout(buttons);

  connect(option, &QComboBox::currentIndexChanged, this, &TFilterForm::searchButtonClick);
  connect(searchButton, &QPushButton::clicked, this, &TFilterForm::searchButtonClick);
  connect(insertButton, &QPushButton::clicked, this, &TFilterForm::insertButtonClick);
  connect(updatButton, &QPushButton::clicked, this, &TFilterForm::updatButtonClick);
  connect(deleteButton, &QPushButton::clicked, this, &TFilterForm::deleteButtonClick);
  connect(cancelButton, &QPushButton::clicked, this, &TFilterForm::cancelButtonClick);
  connect(importButton, &QPushButton::clicked, this, &TFilterForm::importButtonClick);
  connect(exportButton, &QPushButton::clicked, this, &TFilterForm::exportButtonClick);
  const QString filter = QStringLiteral("Rule lists (*.txt);;All files (*)");
  chooseImportFile = [this, filter] { return QFileDialog::getOpenFileName(this, QStringLiteral("Import Rules"), QString(), filter); };
  chooseExportFile = [this, filter] { return QFileDialog::getSaveFileName(this, QStringLiteral("Export Rules"), QString(), filter); };

  centreOnOwner(this, owner);
  showTotal();
}

TFilterForm::~TFilterForm() = default;

const std::vector<RuleRow>& TFilterForm::rows() const { return rules->rows(); }

void TFilterForm::keepLowerCase(const QString& typed) {
  const QString lower = typed.toLower();
  if (lower == typed) return;
  const int cursor = text->cursorPosition();
  text->setText(lower);
  text->setCursorPosition(std::min<int>(cursor, int(lower.size())));
}

bool TFilterForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == text && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      searchButtonClick();
      return true;  // swallowed: Enter searches and does nothing else
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TFilterForm::searchButtonClick() {
  static constexpr RuleFilter filters[] = {RuleFilter::all, RuleFilter::remove, RuleFilter::keep};
  const RuleFilter filter = filters[std::clamp(option->currentIndex(), 0, 2)];
  rules->setRows(searchRules(db, ruleTable, filter, text->text()));
  db.commit();
  showTotal();
}

void TFilterForm::showTotal() { total->setText(QStringLiteral("Total records: %1").arg(rules->rowCount())); }

int TFilterForm::selectedRow() const {
  const QModelIndexList selected = grid->selectionModel()->selectedRows();
  if (selected.isEmpty()) return -1;
  int first = selected.front().row();
  for (const QModelIndex& index : selected) first = std::min(first, index.row());
  return first;
}

void TFilterForm::insertButtonClick() {
  TAddFilterForm dialog(this);
  dialog.fixField(int(ruleTable));
  if (dialog.exec() == QDialog::Accepted) {
    const QString typed = dialog.text->text();
    const bool remove = dialog.removeRadio->isChecked();
    if (const std::optional<uint32_t> oid = addRule(db, ruleTable, typed, remove)) {
      // Shown as typed until the next search lists the stored lower-case text.
      rules->append({*oid, typed, remove});
      showTotal();
    } else {
      showMessageBox(duplicateRuleText(ruleTable), this);
    }
  }
  db.commit();
}

void TFilterForm::updatButtonClick() {
  const int row = selectedRow();
  if (row < 0) return;
  const RuleRow rule = rules->rows()[size_t(row)];
  TAddFilterForm dialog(this);
  dialog.storedFromText = dialog.storedToText = dialog.storedSubjectText = rule.text;
  dialog.text->setText(rule.text);
  (rule.remove ? dialog.removeRadio : dialog.keepRadio)->setChecked(true);
  dialog.fixField(int(ruleTable));
  if (dialog.exec() == QDialog::Accepted) {
    const QString typed = dialog.text->text();
    const bool remove = dialog.removeRadio->isChecked();
    if (editRule(db, ruleTable, rule.oid, rule.text, typed, remove) == EditResult::updated) {
      rules->replace(row, typed, remove);  // as typed, like an insert
    } else {
      showMessageBox(duplicateRuleText(ruleTable), this);
    }
  }
  db.commit();
}

void TFilterForm::deleteButtonClick() {
  const int row = selectedRow();
  if (row < 0) return;
  const RuleRow rule = rules->rows()[size_t(row)];
  if (!askYesNo(QStringLiteral("Delete '%1'?").arg(rule.text), this)) return;
  deleteRule(db, ruleTable, rule.oid);
  db.commit();
  rules->removeAt(row);
  showTotal();
}

void TFilterForm::cancelButtonClick() { accept(); }

void TFilterForm::importButtonClick() {
  const QString path = chooseImportFile();
  if (path.isEmpty()) return;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    showMessageBox(QStringLiteral("Cannot read %1.").arg(path), this);
    return;
  }
  const QByteArray bytes = file.readAll();
  const bool remove = option->currentIndex() != 2;  // "Keep" imports keep rules
  QString report;
  try {
    const std::vector<std::string> texts = parseRuleFile(std::string_view(bytes.constData(), size_t(bytes.size())));
    progress->setRange(0, int(texts.size()));
    progress->setValue(0);
    progress->show();
    setEnabled(false);  // nothing else while the rules go in
    const ImportReport imported = importRules(db, ruleTable, remove, texts, [this](int done) {
      progress->setValue(done);
      QCoreApplication::processEvents();
    });
    db.commit();  // all of the file, or (on any failure above) nothing
    report = importReportText(imported);
  } catch (const RuleFileError& error) {
    db.rollback();
    report = QString::fromUtf8(error.what());
  }
  setEnabled(true);
  progress->hide();
  searchButtonClick();
  showMessageBox(report, this);
}

void TFilterForm::exportButtonClick() {
  const QString path = chooseExportFile();
  if (path.isEmpty()) return;
  const std::string text = ruleFileOf(rules->rows());
  QSaveFile file(path);
  const bool written = file.open(QIODevice::WriteOnly) &&
                       file.write(text.data(), qint64(text.size())) == qint64(text.size()) && file.commit();
  showMessageBox(written ? QStringLiteral("%1 rules exported.").arg(rules->rowCount())
                         : QStringLiteral("Cannot write %1.").arg(path),
                 this);
}
