// The main window: the message grid, the button bar with its actions and function
// keys, the status bar with three panels, the progress bar of mail operations, and
// minimising to the system tray. Start-up and closing (AppSession) run when the window
// is first shown and when it closes.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QStringList>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <string>

#include "session.h"

class MailOperations;
class Pop3Client;
class QAction;
class QLabel;
class QProgressBar;
class QStatusBar;
class QToolButton;
class QUrl;
class TMessageGrid;

class TMainForm : public QMainWindow {
  Q_OBJECT

 public:
  // `db` is the process's one database object; `databaseName` the database opened at
  // start-up (its file "NAME.kld" lies in the current directory).
  explicit TMainForm(keldraDatabase& db, const std::string& databaseName = "Postsift",
                     QWidget* parent = nullptr);
  ~TMainForm() override;

  // Controls, named as their objectName.
  TMessageGrid* grid;
  QProgressBar* ProgressBar1;  // inside the grid along its bottom edge; hidden but while mail operations run
  QStatusBar* StatusBar1;
  QWidget* Panel1;             // the button bar
  QWidget* Panel2;             // its right end: Help and Exit
  QSystemTrayIcon* DCMinTray1;
  Pop3Client* POP;             // the mailbox component

  QAction* helpAction;
  QAction* receiveAction;
  QAction* filterAction;
  QAction* executeAction;
  QAction* addFilterAction;
  QAction* configAction;
  QAction* backupAction;
  QAction* exitAction;
  QList<QAction*> ActionList1;
  // Esc: cancels the running mail operation (the connection is dropped without QUIT,
  // so nothing is deleted). Enabled, with its button shown, only while one runs.
  QAction* stopAction;

  QToolButton* helpButton;
  QToolButton* accCatButton;            // Receive
  QToolButton* BitBtn4;                 // Filter
  QToolButton* BitBtn1;                 // Execute
  QToolButton* addGeneralLedgerButton;  // Config
  QToolButton* backupButton;
  QToolButton* exitButton;
  QToolButton* stopButton;

  int removeCount() const;  // grid rows carrying a removal mark
  int currentColumn = 1;   // the grid column last clicked; 1 (From) at start
  bool fromAdd = false;    // copies of the Config fields, refreshed by the mail operations
  bool toAdd = false;
  bool subjectAdd = false;

  // The status bar's panels 0..2.
  QString statusText(int panel) const;
  void setStatusText(int panel, const QString& text);

  // Where start-up stands: not yet run, the database open, or start-up failed.
  enum class StartupState { notStarted, running, failed };
  StartupState startupState() const { return state; }
  keldraDatabase& database() { return session.database(); }

  // The help file is looked for in the database's home directory, then in these
  // directories (each holding "help/manual.htm"): the installed share directory and
  // the source tree. Tests replace them.
  QStringList helpDirectories;
  // Opens a document with the desktop's program for it; tests observe it instead.
  std::function<bool(const QUrl&)> openDocument;
  // Whether the desktop has a system tray; tests pretend one.
  std::function<bool()> trayAvailable;
  // The display of an error that ended an operation; tests observe it instead.
  std::function<void(const QString&)> showError;
  // Starts the mail program as a process of its own; tests observe it instead.
  std::function<void(const QString&)> startProgram;

  // Whether a long operation (a mail operation) runs: every action and the grid's
  // double click are refused meanwhile, and closing waits until it has ended.
  bool operationRunning() const { return running; }
  MailOperations& mailOperations() { return *mail; }

 public slots:
  void FormShow();
  void FormClose();
  void gridClick(int column, int row);
  void gridDblClick(int column, int row);

  void helpActionExecute();
  void receiveActionExecute();
  void filterActionExecute();
  void executeActionExecute();
  void addFilterActionExecute();
  void configActionExecute();
  void backupActionExecute();
  void exitActionExecute();
  void stopActionExecute();

  // A second start of the program asks this window to show itself.
  void showOnRequest();
  // Back from the tray: removes the icon and restores the window.
  void restoreFromTray();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class Port;
  friend class Port;
  class MessagePort;
  friend class MessagePort;

  // Runs one long operation under the guard: refused while another runs; an error
  // that ends it is shown; a close asked for meanwhile happens when it has ended.
  void runOperation(const std::function<void()>& work);

  QAction* makeAction(const char* objectName, const QString& caption, int key, void (TMainForm::*handler)());
  QToolButton* makeButton(const char* objectName, QAction* action, QWidget* parent);
  void placeProgressBar();
  void showRemoveCount();  // status panel 1
  void trayActivated(QSystemTrayIcon::ActivationReason reason);

  // The automatic backup and the mailbox connection used at start-up and closing.
  void dailyBackup();
  void exitBackup();
  bool mailboxConnected();
  void disconnectMailbox();

  AppSession session;
  std::unique_ptr<Port> port;
  std::unique_ptr<MessagePort> messagePort;
  std::unique_ptr<MailOperations> mail;
  QList<QLabel*> panels;
  StartupState state = StartupState::notStarted;
  bool shownBefore = false;
  bool closing = false;
  bool running = false;         // a long operation runs
  bool closeRequested = false;  // close when the running operation has ended
};
