#include "mainform.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPixmap>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "addfilterform.h"
#include "backupform.h"
#include "configform.h"
#include "mailoperations.h"
#include "messagegrid.h"
#include "pop3client.h"
#include "readmessageform.h"
#include "settings.h"
#include "yesnoform.h"

namespace {

const QString windowCaption = QStringLiteral("Keldra Email Filter 1.0");
constexpr int progressBarHeight = 16;
constexpr int trayTitleLimit = 63;  // the longest title a tray icon carries

// The program's icon: a yellow envelope on blue, drawn here so that no image file
// has to be found at run time.
QIcon programIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(QColor(30, 80, 160));
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(Qt::black, 1.5));
  painter.setBrush(QColor(255, 255, 0));
  painter.drawRect(QRectF(4.5, 8.5, 23, 15));
  painter.drawLine(QPointF(4.5, 8.5), QPointF(16, 18));
  painter.drawLine(QPointF(27.5, 8.5), QPointF(16, 18));
  painter.end();
  return QIcon(pixmap);
}

// The directories searched for "help/manual.htm" after the database's home directory.
QStringList defaultHelpDirectories() {
  QStringList directories;
#ifdef POSTSIFT_INSTALLED_DATA_DIR
  directories << QStringLiteral(POSTSIFT_INSTALLED_DATA_DIR);
#endif
  // The installed tree relative to the program: <prefix>/bin/postsift and
  // <prefix>/share/postsift, wherever the prefix was moved.
  directories << QCoreApplication::applicationDirPath() + QStringLiteral("/../share/postsift");
#ifdef POSTSIFT_SOURCE_DIR
  directories << QStringLiteral(POSTSIFT_SOURCE_DIR);
#endif
  return directories;
}

}  // namespace

// What start-up and closing see of the window.
class TMainForm::Port : public MainWindowPort {
 public:
  explicit Port(TMainForm& form) : form(form) {}
  int columnWidth(int column) const override { return form.grid->gridColumnWidth(column); }
  void setColumnWidth(int column, int width) override { form.grid->setGridColumnWidth(column, width); }
  void showMessage(const std::string& text) override { showMessageBox(QString::fromStdString(text), &form); }
  void closeWindow() override { form.close(); }
  void hideAndDisableActions() override {
    form.hide();
    for (QAction* action : form.ActionList1) action->setEnabled(false);
  }
  void dailyBackup() override { form.dailyBackup(); }
  void exitBackup() override { form.exitBackup(); }
  bool mailboxConnected() override { return form.mailboxConnected(); }
  void disconnectMailbox() override { form.disconnectMailbox(); }

 private:
  TMainForm& form;
};

// What the mail operations see of the window: the grid, the progress and status bars,
// the message dialogs and the read-message window.
class TMainForm::MessagePort : public MessageListPort {
 public:
  explicit MessagePort(TMainForm& form) : form(form) {}
  int rowCount() const override { return form.grid->rowCount(); }
  void setRowCount(int rows) override { form.grid->setRowCount(rows); }
  QString cell(int column, int row) const override { return form.grid->cell(column, row); }
  void setCell(int column, int row, const QString& text) override { form.grid->setCell(column, row, text); }
  void sortByMark() override { form.grid->sortByMark(); }
  void showProgress(int maximum) override {
    form.ProgressBar1->setRange(0, maximum);
    form.ProgressBar1->setValue(0);
    form.ProgressBar1->show();
    form.ProgressBar1->raise();
  }
  void setProgress(int position) override { form.ProgressBar1->setValue(position); }
  void hideProgress() override { form.ProgressBar1->hide(); }
  void setStatusText(int panel, const QString& text) override { form.setStatusText(panel, text); }
  void showMessage(const QString& text) override { showMessageBox(text, &form); }
  void setAddSettings(bool fromAdd, bool toAdd, bool subjectAdd) override {
    form.fromAdd = fromAdd;
    form.toAdd = toAdd;
    form.subjectAdd = subjectAdd;
  }
  void startProgram(const QString& path) override { form.startProgram(path); }
  void showMessageView(const MessageView& view) override {
    TReadMessageForm window(&form);
    if (view.source) window.showSourceLayout();
    window.from->setText(view.from);
    window.to->setText(view.to);
    window.subject->setText(view.subject);
    window.attachment->setPlainText(view.attachments.join(QLatin1Char('\n')));
    window.msg->setPlainText(view.lines.join(QLatin1Char('\n')));
    window.exec();
  }

 private:
  TMainForm& form;
};

TMainForm::TMainForm(keldraDatabase& db, const std::string& databaseName, QWidget* parent)
    : QMainWindow(parent),
      POP(new Pop3Client(this)),
      session(db, databaseName),
      port(std::make_unique<Port>(*this)),
      messagePort(std::make_unique<MessagePort>(*this)),
      mail(std::make_unique<MailOperations>(db, *POP, *messagePort)) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(windowCaption);
  setWindowIcon(programIcon());
  helpDirectories = defaultHelpDirectories();
  openDocument = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  showError = [this](const QString& text) { QMessageBox::critical(this, windowCaption, text); };
  startProgram = [](const QString& path) { QProcess::startDetached(path, {}); };

  // 800 x 600 when restored, centred on the desktop; main() shows it maximised.
  resize(800, 600);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }

  // Actions, in the order of the action list.
  helpAction = makeAction("helpAction", QStringLiteral("Help F1"), Qt::Key_F1, &TMainForm::helpActionExecute);
  receiveAction =
      makeAction("receiveAction", QStringLiteral("Receive F2"), Qt::Key_F2, &TMainForm::receiveActionExecute);
  filterAction = makeAction("filterAction", QStringLiteral("Filter F3"), Qt::Key_F3, &TMainForm::filterActionExecute);
  executeAction =
      makeAction("executeAction", QStringLiteral("Execute F4"), Qt::Key_F4, &TMainForm::executeActionExecute);
  addFilterAction = makeAction("addFilterAction", QStringLiteral("Add Filter"), 0, &TMainForm::addFilterActionExecute);
  configAction = makeAction("configAction", QStringLiteral("Config F5"), Qt::Key_F5, &TMainForm::configActionExecute);
  backupAction = makeAction("backupAction", QStringLiteral("Backup F10"), Qt::Key_F10, &TMainForm::backupActionExecute);
  exitAction = makeAction("exitAction", QStringLiteral("Exit F12"), Qt::Key_F12, &TMainForm::exitActionExecute);
  // The desktop theme's icons where one fits; without a theme the buttons show text.
  const std::pair<QAction*, const char*> icons[] = {
      {helpAction, "help-contents"},          {receiveAction, "mail-receive"},
      {filterAction, "mail-mark-junk"},       {executeAction, "internet-mail"},
      {configAction, "preferences-system"},   {backupAction, "document-save"},
      {exitAction, "application-exit"}};
  for (const auto& [action, name] : icons) action->setIcon(QIcon::fromTheme(QString::fromLatin1(name)));
  stopAction = new QAction(QIcon::fromTheme(QStringLiteral("process-stop")), QStringLiteral("Stop Esc"), this);
  stopAction->setObjectName(QStringLiteral("stopAction"));
  stopAction->setShortcut(Qt::Key_Escape);
  stopAction->setEnabled(false);
  connect(stopAction, &QAction::triggered, this, &TMainForm::stopActionExecute);
  addAction(stopAction);

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  auto* clientLayout = new QVBoxLayout(client);
  clientLayout->setContentsMargins(0, 0, 0, 0);
  clientLayout->setSpacing(0);

  grid = new TMessageGrid(client);
  grid->setObjectName(QStringLiteral("grid"));
  connect(grid, &TMessageGrid::gridClick, this, &TMainForm::gridClick);
  connect(grid, &TMessageGrid::gridDblClick, this, &TMainForm::gridDblClick);
  clientLayout->addWidget(grid, 1);

  ProgressBar1 = new QProgressBar(grid);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ProgressBar1->setTextVisible(false);
  ProgressBar1->hide();
  grid->installEventFilter(this);
  placeProgressBar();

  Panel1 = new QWidget(client);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  auto* buttons = new QHBoxLayout(Panel1);
  buttons->setContentsMargins(4, 4, 4, 4);
  accCatButton = makeButton("accCatButton", receiveAction, Panel1);
  BitBtn4 = makeButton("BitBtn4", filterAction, Panel1);
  BitBtn1 = makeButton("BitBtn1", executeAction, Panel1);
  addGeneralLedgerButton = makeButton("addGeneralLedgerButton", configAction, Panel1);
  backupButton = makeButton("backupButton", backupAction, Panel1);
  stopButton = makeButton("stopButton", stopAction, Panel1);
  stopButton->hide();
  for (QToolButton* button : {accCatButton, BitBtn4, BitBtn1, addGeneralLedgerButton, backupButton, stopButton}) {
    buttons->addWidget(button);
  }
  buttons->addStretch(1);
  Panel2 = new QWidget(Panel1);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  auto* rightButtons = new QHBoxLayout(Panel2);
  rightButtons->setContentsMargins(0, 0, 0, 0);
  helpButton = makeButton("helpButton", helpAction, Panel2);
  exitButton = makeButton("exitButton", exitAction, Panel2);
  rightButtons->addWidget(helpButton);
  rightButtons->addWidget(exitButton);
  buttons->addWidget(Panel2);
  clientLayout->addWidget(Panel1);
  setCentralWidget(client);

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setSizeGripEnabled(false);
  const QString initialTexts[3] = {QString(), QString(), QStringLiteral("Press [Connect] button to connect.")};
  for (int panel = 0; panel < 3; panel++) {
    auto* label = new QLabel(initialTexts[panel], StatusBar1);
    label->setObjectName(QStringLiteral("StatusBar1Panel%1").arg(panel));
    if (panel < 2) {
      label->setFixedWidth(200);
      StatusBar1->addWidget(label);
    } else {
      StatusBar1->addWidget(label, 1);  // the rest of the bar
    }
    panels << label;
  }
  setStatusBar(StatusBar1);

  DCMinTray1 = new QSystemTrayIcon(programIcon(), this);
  DCMinTray1->setObjectName(QStringLiteral("DCMinTray1"));
  DCMinTray1->setToolTip(windowCaption.left(trayTitleLimit));
  connect(DCMinTray1, &QSystemTrayIcon::activated, this, &TMainForm::trayActivated);
}

TMainForm::~TMainForm() = default;

QAction* TMainForm::makeAction(const char* objectName, const QString& caption, int key,
                               void (TMainForm::*handler)()) {
  auto* action = new QAction(caption, this);
  action->setObjectName(QString::fromLatin1(objectName));
  if (key != 0) action->setShortcut(QKeySequence(key));
  connect(action, &QAction::triggered, this, handler);
  addAction(action);  // the shortcut works wherever the focus is in the window
  ActionList1 << action;
  return action;
}

QToolButton* TMainForm::makeButton(const char* objectName, QAction* action, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(QString::fromLatin1(objectName));
  button->setDefaultAction(action);
  button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  button->setMinimumSize(96, 30);
  return button;
}

QString TMainForm::statusText(int panel) const { return panels.value(panel) ? panels[panel]->text() : QString(); }

void TMainForm::setStatusText(int panel, const QString& text) {
  if (QLabel* label = panels.value(panel)) label->setText(text);
}

void TMainForm::placeProgressBar() {
  ProgressBar1->setGeometry(0, grid->height() - progressBarHeight, grid->width(), progressBarHeight);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == grid && event->type() == QEvent::Resize) placeProgressBar();
  return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------
// Start-up and closing

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shownBefore) return;
  shownBefore = true;
  // Start-up may show a message and close the window; both wait until the window
  // has finished appearing.
  QTimer::singleShot(0, this, &TMainForm::FormShow);
}

void TMainForm::FormShow() {
  // Once only; and not at all when the window was closed before start-up came round.
  if (state != StartupState::notStarted || closing) return;
  state = session.start(*port) ? StartupState::running : StartupState::failed;
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (running) {
    // Nothing may commit in the middle of an operation: cancel it and close when it
    // has ended.
    closeRequested = true;
    POP->cancel();
    event->ignore();
    return;
  }
  closing = true;
  FormClose();
  DCMinTray1->hide();
  event->accept();
}

void TMainForm::FormClose() { session.finish(*port); }

// The automatic backups run on a backup window that is never shown: creating it makes
// sure the settings record exists.
void TMainForm::dailyBackup() {
  TBackupForm hidden(database(), this);
  hidden.operations().dailyBackup();
}

void TMainForm::exitBackup() {
  TBackupForm hidden(database(), this);
  hidden.operations().exitBackup();
}

bool TMainForm::mailboxConnected() { return POP->isConnected(); }

void TMainForm::disconnectMailbox() {
  try {
    POP->disconnectFromServer();
  } catch (const Pop3Error&) {
    // The program is ending: there is nobody left to tell.
  }
}

int TMainForm::removeCount() const { return mail->removeCount; }

// ---------------------------------------------------------------------------------------
// The operation guard

void TMainForm::runOperation(const std::function<void()>& work) {
  if (running || closing) return;
  running = true;
  QList<QAction*> disabled;
  for (QAction* action : ActionList1) {
    if (!action->isEnabled()) continue;
    action->setEnabled(false);
    disabled << action;
  }
  stopAction->setEnabled(true);
  stopButton->show();
  QApplication::setOverrideCursor(Qt::BusyCursor);

  QString error;
  for (bool again = true; again;) {
    again = false;
    try {
      work();
    } catch (const Pop3Cancelled&) {
      // The user's own stop: the grid keeps what it showed, nothing to report.
    } catch (const Pop3CertificateError& certificate) {
      // A certificate that does not verify: trusted on the user's word, then the
      // operation starts again; a changed one is refused.
      if (!certificate.changed && askYesNo(trustQuestion(certificate), this)) {
        trustCertificate(database(), certificate);
        again = true;
      } else if (certificate.changed) {
        error = QString::fromUtf8(certificate.what());
      }
    } catch (const std::exception& failure) {
      error = QString::fromUtf8(failure.what());
    }
  }

  ProgressBar1->hide();
  QApplication::restoreOverrideCursor();
  stopAction->setEnabled(false);
  stopButton->hide();
  for (QAction* action : disabled) action->setEnabled(true);
  running = false;
  if (!error.isEmpty() && !closeRequested) showError(error);
  if (closeRequested) close();
}

void TMainForm::stopActionExecute() {
  if (running) POP->cancel();
}

// ---------------------------------------------------------------------------------------
// Grid

void TMainForm::gridClick(int column, int /*row*/) { currentColumn = column; }

void TMainForm::gridDblClick(int column, int row) {
  if (running || row < 1 || row >= grid->rowCount()) return;
  if (column == idColumn || column == markColumn) {
    runOperation([this, row, column] { mail->readMessage(row, column); });
    return;
  }
  if (column < fromColumn || column > subjectColumn) return;  // no cell under the mouse
  const bool atOnce = column == fromColumn ? fromAdd : column == toColumn ? toAdd : subjectAdd;
  if (!atOnce) {
    currentColumn = column;
    addFilterAction->trigger();
    return;
  }
  // A remove rule from the cell's text, at once.
  if (!mail->addRuleFromList(column, grid->cell(column, row), true)) return;
  grid->viewport()->update();
  showRemoveCount();
}

void TMainForm::showRemoveCount() { setStatusText(1, QStringLiteral("To be removed: %1").arg(removeCount())); }

// ---------------------------------------------------------------------------------------
// Actions

void TMainForm::helpActionExecute() {
  QStringList directories;
  if (!database().homeDirectory().empty()) directories << QString::fromStdString(database().homeDirectory());
  directories << helpDirectories;
  for (const QString& directory : directories) {
    const QString path = directory + QStringLiteral("/help/manual.htm");
    if (QFileInfo(path).isFile()) {
      openDocument(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
      return;
    }
  }
  // No manual: nothing happens, no message.
}

void TMainForm::receiveActionExecute() {
  runOperation([this] { mail->receive(); });
}

void TMainForm::filterActionExecute() {
  runOperation([this] { mail->remove(); });
}

void TMainForm::executeActionExecute() {
  // Started: the program hands over to the mail program and closes.
  runOperation([this] {
    if (mail->execute()) closeRequested = true;
  });
}
void TMainForm::addFilterActionExecute() {
  if (running) return;
  const int row = grid->firstSelectedRow();
  if (row < 1) return;
  TAddFilterForm dialog(this);
  dialog.storedFromText = grid->cell(fromColumn, row);
  dialog.storedToText = grid->cell(toColumn, row);
  dialog.storedSubjectText = grid->cell(subjectColumn, row);
  dialog.text->setText(dialog.storedFromText);
  // Choosing a field fills the text with that field's cell.
  if (currentColumn == toColumn) dialog.toRadio->click();
  if (currentColumn == subjectColumn) dialog.subjectRadio->click();
  if (dialog.exec() == QDialog::Accepted) {
    mail->addRuleFromList(dialog.chosenField(), dialog.text->text(), dialog.removeRadio->isChecked());
  }
  grid->viewport()->update();
  database().commit();
  showRemoveCount();
}

void TMainForm::configActionExecute() {
  if (running) return;
  TConfigForm form(database(), this);
  if (const std::optional<Settings> stored = readSettings(database())) form.showSettings(*stored);
  if (form.exec() == QDialog::Accepted) {
    // Selected again: the rule editor opened from the window has committed meanwhile.
    if (const std::optional<Settings> current = readSettings(database())) {
      const Settings edited = form.editedSettings(*current);
      writeSettings(database(), edited);
      fromAdd = edited.fromAdd;
      toAdd = edited.toAdd;
      subjectAdd = edited.subjectAdd;
    }
  }
  database().commit();
}
void TMainForm::backupActionExecute() {
  if (running) return;
  TBackupForm form(database(), this);
  form.helpButton->hide();
  form.exec();
  // After a restore the database is closed: the program ends (closing stores nothing).
  if (form.programMustEnd()) close();
}

void TMainForm::exitActionExecute() { close(); }

// ---------------------------------------------------------------------------------------
// Second start and tray

void TMainForm::showOnRequest() {
  // A plain show: a minimised window stays minimised, but leaves the tray for the
  // task bar.
  DCMinTray1->hide();
  show();
  raise();
  activateWindow();
}

void TMainForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized() || !trayAvailable()) return;
  // Hiding inside the state change confuses some window managers: hide right after.
  QTimer::singleShot(0, this, [this] {
    if (!isMinimized()) return;
    hide();
    DCMinTray1->show();
  });
}

void TMainForm::trayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) restoreFromTray();
}

void TMainForm::restoreFromTray() {
  DCMinTray1->hide();
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}
