// The backup window: a manual backup into an archive the user chooses, a restore from
// one (after which the program ends), and the settings of the automatic backup, saved
// when the window closes. The work itself is DatabaseBackup's; the window supplies its
// dialogs and progress bar.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>

#include "databasebackup.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

class TBackupForm : public QDialog {
  Q_OBJECT

 public:
  // Loads the settings record (creating it on first use) and commits.
  TBackupForm(keldraDatabase& db, QWidget* owner = nullptr);
  ~TBackupForm() override;

  QPushButton* backup;
  QPushButton* restore;
  QPushButton* NoButton;   // "&Close"
  QPushButton* helpButton; // hidden by the main window
  QGroupBox* GroupBox4;    // "Automatic Backup"
  QCheckBox* everytime;    // "When exit program"
  QCheckBox* everyday;     // "Daily"
  QLabel* Label24;         // "Remain:"
  QSpinBox* totalBackup;   // 1..100; its text box is remainEdit
  QLineEdit* remainEdit;
  QProgressBar* ProgressBar1;

  // The file dialogs; tests replace them. Empty: the user cancelled.
  std::function<QString()> chooseBackupFile;   // "Save the Backup File"
  std::function<QString()> chooseRestoreFile;  // "Open the backup file"

  // Whether a restore got as far as closing the database: the program then ends.
  bool programMustEnd() const { return mustEnd; }
  DatabaseBackup& operations() { return *work; }

 public slots:
  void backupClick();
  void restoreClick();
  void NoButtonClick();

 protected:
  // The close box and the Close button alike save the settings; refused while a
  // backup or restore runs.
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  class Port;
  void runGuarded(const std::function<void()>& run);
  void FormClose();

  keldraDatabase& db;
  std::unique_ptr<Port> port;
  std::unique_ptr<DatabaseBackup> work;
  bool running = false;
  bool mustEnd = false;
  bool closed = false;
};

// The "Please insert disk #N" prompt: Okay goes on, Cancel, F12 or the close box stop.
bool askForDisk(int diskId, QWidget* owner);
