#include "backupform.h"

#include "formcontrols.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "keldraCursor.h"
#include "yesnoform.h"

namespace {

const QString archiveFilter = QStringLiteral("Keldra Backup File (*.qbk)");

}  // namespace

bool askForDisk(int diskId, QWidget* owner) {
  TYesNoForm prompt(owner);
  prompt.msg->setText(QStringLiteral("Please insert disk #%1").arg(diskId));
  prompt.NoButton->setText(QStringLiteral("Cancel"));
  prompt.YesButton->setText(QStringLiteral("Okay"));
  return prompt.showModal() == TYesNoForm::ResultYes;
}

// The window's dialogs and progress bar for DatabaseBackup.
class TBackupForm::Port : public BackupPort {
 public:
  explicit Port(TBackupForm& form) : form(form) {}
  bool askYesNo(const std::string& question) override {
    return ::askYesNo(QString::fromStdString(question), &form);
  }
  void showMessage(const std::string& text) override { showMessageBox(QString::fromStdString(text), &form); }
  bool askForDisk(int diskId) override { return ::askForDisk(diskId, &form); }
  void showProgress(int percent) override {
    form.ProgressBar1->setValue(percent);
    form.ProgressBar1->show();
  }
  void hideProgress() override { form.ProgressBar1->hide(); }
  void processEvents() override { QCoreApplication::processEvents(); }

 private:
  TBackupForm& form;
};

TBackupForm::TBackupForm(keldraDatabase& db, QWidget* owner)
    : QDialog(owner), db(db), port(std::make_unique<Port>(*this)), work(std::make_unique<DatabaseBackup>(db, *port)) {
  setObjectName(QStringLiteral("BackupForm"));
  setWindowTitle(QStringLiteral("Backup"));
  resize(523, 259);

  backup = newButton("backup", QStringLiteral("&Backup"), this);
  restore = newButton("restore", QStringLiteral("&Restore"), this);
  NoButton = newButton("NoButton", QStringLiteral("&Close"), this);
  helpButton = newButton("helpButton", QStringLiteral("&Help"), this);

  GroupBox4 = new QGroupBox(QStringLiteral("Automatic Backup"), this);
  GroupBox4->setObjectName(QStringLiteral("GroupBox4"));
  everytime = new QCheckBox(QStringLiteral("When exit program"), GroupBox4);
  everytime->setObjectName(QStringLiteral("everytime"));
  everyday = new QCheckBox(QStringLiteral("Daily"), GroupBox4);
  everyday->setObjectName(QStringLiteral("everyday"));
  everyday->setChecked(true);
  Label24 = new QLabel(QStringLiteral("Remain:"), GroupBox4);
  Label24->setObjectName(QStringLiteral("Label24"));
  totalBackup = new QSpinBox(GroupBox4);
  totalBackup->setObjectName(QStringLiteral("totalBackup"));
  totalBackup->setRange(1, 100);
  totalBackup->setValue(7);
  totalBackup->setWrapping(false);
  remainEdit = totalBackup->findChild<QLineEdit*>();
  remainEdit->setObjectName(QStringLiteral("remainEdit"));
  remainEdit->setReadOnly(true);  // the arrows set the count
  Label24->setBuddy(totalBackup);
  auto* automatic = new QHBoxLayout(GroupBox4);
  automatic->addWidget(everytime);
  automatic->addWidget(everyday);
  automatic->addStretch(1);
  automatic->addWidget(Label24);
  automatic->addWidget(totalBackup);

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ProgressBar1->setRange(0, 100);
  ProgressBar1->hide();

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(backup);
  buttons->addWidget(restore);
  buttons->addStretch(1);
  buttons->addWidget(helpButton);
  buttons->addWidget(NoButton);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(buttons);
  layout->addWidget(GroupBox4);
  layout->addStretch(1);
  layout->addWidget(ProgressBar1);

  connect(backup, &QPushButton::clicked, this, &TBackupForm::backupClick);
  connect(restore, &QPushButton::clicked, this, &TBackupForm::restoreClick);
  connect(NoButton, &QPushButton::clicked, this, &TBackupForm::NoButtonClick);

  const QString initialName = QString::fromStdString(db.baseName());
  chooseBackupFile = [this, initialName] {
    QFileDialog dialog(this, QStringLiteral("Save the Backup File"), QString(), archiveFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("qbk"));
    dialog.selectFile(initialName);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
  };
  chooseRestoreFile = [this, initialName] {
    QFileDialog dialog(this, QStringLiteral("Open the backup file"), QString(), archiveFilter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("qbk"));
    dialog.selectFile(initialName);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
  };

  const BackupOptions options = work->loadOptions({everytime->isChecked(), everyday->isChecked(), totalBackup->value()});
  everytime->setChecked(options.everytime);
  everyday->setChecked(options.everyday);
  totalBackup->setValue(options.totalBackup);
}

TBackupForm::~TBackupForm() = default;

// A backup or restore keeps every button of the window away until it has ended.
void TBackupForm::runGuarded(const std::function<void()>& run) {
  if (running) return;
  running = true;
  for (QPushButton* button : {backup, restore, NoButton}) button->setEnabled(false);
  QApplication::setOverrideCursor(Qt::BusyCursor);
  run();
  QApplication::restoreOverrideCursor();
  for (QPushButton* button : {backup, restore, NoButton}) button->setEnabled(true);
  running = false;
}

void TBackupForm::backupClick() {
  const QString path = chooseBackupFile();
  if (path.isEmpty()) return;
  runGuarded([&] { work->manualBackup(path.toStdString()); });
}

void TBackupForm::restoreClick() {
  const QString path = chooseRestoreFile();
  if (path.isEmpty()) return;
  DatabaseBackup::RestoreResult result = DatabaseBackup::RestoreResult::notStarted;
  runGuarded([&] { result = work->restore(path.toStdString()); });
  if (result == DatabaseBackup::RestoreResult::completed || result == DatabaseBackup::RestoreResult::failedClosed) {
    // The database is closed: the settings shown are not saved, the program ends.
    mustEnd = true;
    closed = true;
    done(QDialog::Rejected);
  }
}

void TBackupForm::NoButtonClick() { reject(); }

void TBackupForm::FormClose() {
  if (closed) return;
  closed = true;
  work->saveOptions({everytime->isChecked(), everyday->isChecked(), totalBackup->value()});
}

void TBackupForm::reject() {
  if (running) return;
  FormClose();
  QDialog::reject();
}

void TBackupForm::closeEvent(QCloseEvent* event) {
  if (running) {
    event->ignore();
    return;
  }
  FormClose();
  QDialog::closeEvent(event);
}
