// The mail operations of the program: receive and classify, remove the marked messages,
// start the mail program, read one message. They work on the message list through
// MessageListPort, so that the main window and the command line share them and tests
// drive them without widgets.
//
// The message list addresses rows as the main window's grid does: row 0 is the header
// row, rows 1..N one message each, columns 0 "ID" (the message number in the receiving
// connection), 1 "From", 2 "To", 3 "Subject", 4 "Remove" (the mark "", "From", "To" or
// "Sub").
//
// Mail operations write nothing to the database. They read the settings and rules
// first and commit before they talk to the server, so that no lock is held while the
// network is waited for, and commit again at the end of every path, also when they
// fail.
#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <string>

class dbDatabase;
class Pop3CertificateError;
class Pop3Client;
struct MailMessage;
struct Pop3Settings;
struct RuleBook;
struct Settings;

// What the operations need of the window that shows the message list.
class MessageListPort {
 public:
  virtual ~MessageListPort() = default;
  // The message list, rows including the header row.
  virtual int rowCount() const = 0;
  virtual void setRowCount(int rows) = 0;
  virtual QString cell(int column, int row) const = 0;
  virtual void setCell(int column, int row, const QString& text) = 0;
  // Stable ascending sort of rows 1..N by the mark.
  virtual void sortByMark() = 0;
  // The progress bar of a running operation.
  virtual void showProgress(int maximum) = 0;
  virtual void setProgress(int position) = 0;
  virtual void hideProgress() = 0;
  virtual void setStatusText(int panel, const QString& text) = 0;
  virtual void showMessage(const QString& text) = 0;
  // The window's copies of the settings fromAdd, toAdd and subjectAdd.
  virtual void setAddSettings(bool fromAdd, bool toAdd, bool subjectAdd) = 0;
  // Starts the mail program as a process of its own.
  virtual void startProgram(const QString& path) = 0;
  // Shows one message (read-message window) and returns when it is closed.
  struct MessageView {
    bool source = false;       // the whole message as the server sent it, not decoded
    QString from, to, subject;
    QStringList attachments;   // file names, decoded view only
    QStringList lines;         // text part lines, or every line of the source
  };
  virtual void showMessageView(const MessageView& view) = 0;
  // Receive has listed and classified every message and set the three counts; the
  // list is complete (a remove may follow).
  virtual void messagesListed() {}
};

extern const char* const notConfiguredText;   // "Please press [Config] button to config the POP3 server."
extern const char* const mailboxFilteredText; // "Mailbox filtered.  Press [Receive] to receive the email again."

class MailOperations {
 public:
  MailOperations(dbDatabase& db, Pop3Client& mailbox, MessageListPort& view);

  struct ReceiveOptions {
    bool allowAutoRemove = true;  // honour autoRemove (the command line decides itself)
    bool forceRemove = false;     // remove the marked messages whatever autoRemove says
    bool allowAutoExecute = true; // honour autoExecute
  };
  // Logs in, lists and classifies every waiting message, shows the counts, then removes
  // and starts the mail program as the settings (and options) say, and logs out.
  // Throws Pop3Error on failures the operation does not turn into ERROR rows.
  void receive(const ReceiveOptions& options);
  void receive() { receive(ReceiveOptions{}); }

  // Deletes every listed message whose row carries a mark, in the list's order, and
  // logs out so that the server carries the deletions out. On the receiving connection
  // messages are addressed by their listed numbers; on a new connection each listed
  // message is found again by its unique id (or verified by its header when the server
  // has no UIDL), and marked messages no longer on the server are skipped and reported.
  void remove();

  // Starts the mail program when its file exists. True when it was started: the
  // window then closes.
  bool execute();

  // Shows the message of list row `row`: decoded (column 0) or as its source (column 4).
  void readMessage(int row, int column);

  // Adds a rule from the message list to the table of list column `column` (1 From,
  // 2 To, 3 Subject) with the lower-cased `text`, and commits. When the table has that
  // text already, shows its duplicate message and adds nothing. A remove rule marks
  // every unmarked listed message whose lower-cased cell in `column` contains it (and
  // counts it in removeCount); nothing is ever unmarked. True when the rule was added.
  bool addRuleFromList(int column, const QString& text, bool remove);

  // Logs in with the stored settings, counts the messages and logs out: "Login
  // succeeded: N messages waiting.". Never deletes. Failures are thrown (Pop3Error).
  QString testConnection();

  int removeCount = 0;  // rows carrying a mark
  // Marked messages the last remove skipped because the server no longer had them.
  int skippedByLastRemove = 0;

 private:
  struct ListedMessage {
    std::string uid;        // "" when the server has no UIDL
    bool headerKnown = false;
    std::string messageId, from, to, subject;
  };
  struct KeptSettings;

  bool loadSettings(KeptSettings& settings);
  void releaseLocks();
  void listMessage(int row, int number, const RuleBook& rules, const std::map<int, std::string>* uids,
                   const MailMessage* header);
  bool hasMarkedRows() const;
  std::optional<std::map<std::string, int>> currentNumbersByUid();
  // The server's current number of the listed message `listedNumber`, or 0 when it is
  // gone (or cannot be told apart from another).
  int currentNumber(int listedNumber, const std::map<std::string, int>* numbersByUid);
  void markMatching(int column, const std::string& lowerRule);

  dbDatabase& db;
  Pop3Client& mailbox;
  MessageListPort& view;
  std::map<int, ListedMessage> listed;  // by the number shown in the ID column
  int listedConnection = -1;            // the mailbox connection that numbered them
};

// The account of `settings` for the mailbox, with the certificate fingerprint the user
// trusts for that server. REQUIRES: the caller commits.
Pop3Settings accountOf(dbDatabase& db, const Settings& settings);

// Logs in with the mailbox's settings, counts the messages and logs out; the text
// reports the count. Failures are thrown (Pop3Error).
QString testMailbox(Pop3Client& mailbox);

// Stores the certificate of `certificate` as trusted for its server and port; commits.
void trustCertificate(dbDatabase& db, const Pop3CertificateError& certificate);

// The question the window asks about a certificate that does not verify.
QString trustQuestion(const Pop3CertificateError& certificate);
