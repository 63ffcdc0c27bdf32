#include "mailoperations.h"

#include <QFileInfo>

#include <algorithm>

#include <optional>
#include <vector>

#include "classifier.h"
#include "lowercase.h"
#include "pop3client.h"
#include "ruletables.h"
#include "settings.h"
#include "tables.h"

const char* const notConfiguredText = "Please press [Config] button to config the POP3 server.";
const char* const mailboxFilteredText = "Mailbox filtered.  Press [Receive] to receive the email again.";

namespace {

enum Column { idColumn = 0, fromColumn = 1, toColumn = 2, subjectColumn = 3, markColumn = 4 };

QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

// Ends the operation's transaction on every path, so that its locks never outlive it.
class CommitAtEnd {
 public:
  explicit CommitAtEnd(dbDatabase& db) : db(db) {}
  ~CommitAtEnd() { db.commit(); }
  CommitAtEnd(const CommitAtEnd&) = delete;
  CommitAtEnd& operator=(const CommitAtEnd&) = delete;

 private:
  dbDatabase& db;
};

}  // namespace

// What an operation keeps of the settings it read at its start.
struct MailOperations::KeptSettings {
  bool autoRemove = false;
  bool autoExecute = false;
  QString emailProgram;
};

Pop3Settings accountOf(dbDatabase& db, const Settings& settings) {
  Pop3Settings account;
  account.host = fromUtf8(settings.server);
  account.port = settings.port;
  account.username = fromUtf8(settings.username);
  account.password = fromUtf8(settings.password);
  account.security = settings.security == "SSL/TLS"    ? Pop3Security::implicitTls
                     : settings.security == "STARTTLS" ? Pop3Security::startTls
                                                       : Pop3Security::none;
  account.trustedFingerprint = QByteArray::fromStdString(trustedFingerprint(db, settings.server, settings.port));
  return account;
}

MailOperations::MailOperations(dbDatabase& db, Pop3Client& mailbox, MessageListPort& view)
    : db(db), mailbox(mailbox), view(view) {}

// Reads the settings record, hands the account to the mailbox and the add settings to
// the window. False, after telling the user, when no mailbox is configured.
bool MailOperations::loadSettings(KeptSettings& settings) {
  const std::optional<Settings> stored = readSettings(db);
  if (!stored || stored->server.empty()) {
    view.showMessage(QString::fromLatin1(notConfiguredText));
    return false;
  }
  mailbox.setSettings(accountOf(db, *stored));
  view.setAddSettings(stored->fromAdd, stored->toAdd, stored->subjectAdd);
  settings.autoRemove = stored->autoRemove;
  settings.autoExecute = stored->autoExecute;
  settings.emailProgram = fromUtf8(stored->emailProgram);
  return true;
}

// Everything the operation reads of the database has been read: committing now means
// no lock is held while the server is waited for, so another process opening the
// database is never kept waiting on the network.
void MailOperations::releaseLocks() { db.commit(); }

// ---------------------------------------------------------------------------------------
// Receive

void MailOperations::receive(const ReceiveOptions& options) {
  CommitAtEnd commit(db);
  KeptSettings settings;
  if (!loadSettings(settings)) return;
  const RuleBook rules = loadRuleBook(db);
  releaseLocks();
  if (!mailbox.isConnected()) mailbox.connectToServer();

  const int count = mailbox.countMessages();
  view.setStatusText(2, QStringLiteral("Receiving %1 emails...").arg(count));
  std::optional<std::map<int, std::string>> uids;
  if (count > 0) uids = mailbox.uniqueIds();

  view.setRowCount(count + 1);
  view.showProgress(count);
  removeCount = 0;
  listed.clear();
  listedConnection = mailbox.connectionSerial();
  // The bar shows the message being fetched.
  if (count > 0) view.setProgress(1);
  mailbox.fetchHeadersInOrder(1, count, [&](int number, const MailMessage* header, const Pop3Error*) {
    listMessage(number, number, rules, uids ? &*uids : nullptr, header);
    view.setProgress(std::min(number + 1, count));
  });
  view.hideProgress();
  if (view.rowCount() > 1) view.sortByMark();

  view.setStatusText(0, QStringLiteral("Message received: %1").arg(count));
  view.setStatusText(1, QStringLiteral("To be removed: %1").arg(removeCount));
  view.setStatusText(2, QStringLiteral("Remained message: %1").arg(count - removeCount));
  view.messagesListed();

  if (options.forceRemove || (options.allowAutoRemove && settings.autoRemove)) remove();
  if (options.allowAutoExecute && settings.autoExecute && QFileInfo(settings.emailProgram).isFile()) {
    view.startProgram(settings.emailProgram);
  }
  mailbox.disconnectFromServer();
}

// Fills list row `row` with message `number` and its mark. A header that could not be
// fetched (`header` null) gives an ERROR row marked "From".
void MailOperations::listMessage(int row, int number, const RuleBook& rules, const std::map<int, std::string>* uids,
                                 const MailMessage* header) {
  ListedMessage& message = listed[number];
  if (uids != nullptr) {
    const auto uid = uids->find(number);
    if (uid != uids->end()) message.uid = uid->second;
  }
  view.setCell(idColumn, row, QString::number(number));
  if (header == nullptr) {
    for (int column : {fromColumn, toColumn, subjectColumn}) view.setCell(column, row, QStringLiteral("ERROR"));
    view.setCell(markColumn, row, QString::fromLatin1(markText(Mark::from)));
    removeCount++;
    return;
  }
  const MessageFields fields{header->fromAddress, header->recipients, header->subject};
  message.headerKnown = true;
  message.messageId = header->messageId;
  message.from = fields.from;
  message.to = fields.to;
  message.subject = fields.subject;
  view.setCell(fromColumn, row, fromUtf8(fields.from));
  view.setCell(toColumn, row, fromUtf8(fields.to));
  view.setCell(subjectColumn, row, fromUtf8(fields.subject));
  const Mark mark = classifyMessage(rules, fields);
  view.setCell(markColumn, row, QString::fromLatin1(markText(mark)));
  if (mark != Mark::none) removeCount++;
}

// ---------------------------------------------------------------------------------------
// Remove

void MailOperations::remove() {
  CommitAtEnd commit(db);
  KeptSettings settings;
  if (!loadSettings(settings)) return;
  releaseLocks();
  // The listed numbers hold only in the connection that listed them.
  const bool sameConnection = mailbox.isConnected() && mailbox.connectionSerial() == listedConnection;
  if (!mailbox.isConnected()) mailbox.connectToServer();

  const int rows = view.rowCount();
  view.showProgress(rows);
  std::optional<std::map<std::string, int>> numbersByUid;
  if (!sameConnection && hasMarkedRows()) numbersByUid = currentNumbersByUid();

  // The messages to delete, in the list's order; then one batch of DELE.
  int skipped = 0;
  std::vector<int> doomed;
  for (int row = 1; row < rows; ++row) {
    view.setProgress(row);
    if (view.cell(markColumn, row).isEmpty()) continue;
    const int listedNumber = view.cell(idColumn, row).toInt();
    const int number = sameConnection ? listedNumber : currentNumber(listedNumber, numbersByUid ? &*numbersByUid : nullptr);
    if (number == 0) {
      skipped++;
      continue;
    }
    doomed.push_back(number);
  }
  mailbox.deleteMessages(doomed);
  mailbox.disconnectFromServer();

  view.setRowCount(1);
  view.hideProgress();
  view.setStatusText(2, QString::fromLatin1(mailboxFilteredText));
  listed.clear();
  skippedByLastRemove = skipped;
  if (skipped > 0) {
    view.showMessage(QStringLiteral("%1 marked message(s) were no longer on the server and were not deleted.")
                         .arg(skipped));
  }
}

bool MailOperations::hasMarkedRows() const {
  for (int row = 1; row < view.rowCount(); ++row) {
    if (!view.cell(markColumn, row).isEmpty()) return true;
  }
  return false;
}

// The server's numbers of the listed messages by unique id, when every listed message
// has one and the server still offers UIDL; nothing otherwise.
std::optional<std::map<std::string, int>> MailOperations::currentNumbersByUid() {
  for (const auto& entry : listed) {
    if (entry.second.uid.empty()) return std::nullopt;
  }
  const auto uids = mailbox.uniqueIds();
  if (!uids) return std::nullopt;
  std::map<std::string, int> numbers;
  for (const auto& [number, uid] : *uids) numbers[uid] = number;
  return numbers;
}

int MailOperations::currentNumber(int listedNumber, const std::map<std::string, int>* numbersByUid) {
  const auto found = listed.find(listedNumber);
  if (found == listed.end()) return 0;
  const ListedMessage& message = found->second;
  if (numbersByUid != nullptr) {
    const auto number = numbersByUid->find(message.uid);
    return number == numbersByUid->end() ? 0 : number->second;
  }
  // No unique ids: the message at the listed number must be the listed one. Servers
  // may add headers between connections, so only the identifying fields are compared.
  if (!message.headerKnown) return 0;
  MailMessage header;
  try {
    header = mailbox.fetchHeaders(listedNumber);
  } catch (const Pop3Cancelled&) {
    throw;
  } catch (const Pop3Timeout&) {
    throw;
  } catch (const Pop3Error&) {
    return 0;  // no such message any more
  }
  const bool same = message.messageId.empty()
                        ? header.messageId.empty() && header.fromAddress == message.from &&
                              header.recipients == message.to && header.subject == message.subject
                        : header.messageId == message.messageId;
  return same ? listedNumber : 0;
}

// ---------------------------------------------------------------------------------------
// Execute and read

bool MailOperations::execute() {
  CommitAtEnd commit(db);
  const std::optional<Settings> stored = readSettings(db);
  if (!stored) return false;
  const QString program = fromUtf8(stored->emailProgram);
  if (!QFileInfo(program).isFile()) return false;  // a missing program: nothing happens
  view.startProgram(program);
  return true;
}

void MailOperations::readMessage(int row, int column) {
  if (!mailbox.isConnected()) mailbox.connectToServer();
  const int number = view.cell(idColumn, row).toInt();
  MessageListPort::MessageView message;
  if (column == markColumn) {
    message.source = true;
    const MailMessage header = mailbox.fetchHeaders(number);
    message.from = fromUtf8(header.fromDisplay);
    message.to = fromUtf8(header.recipients);
    message.subject = fromUtf8(header.subject);
    mailbox.fetchRawLines(number, message.lines);
  } else {
    const MailMessage whole = mailbox.fetchMessage(number);
    message.from = fromUtf8(whole.fromDisplay);
    message.to = fromUtf8(whole.recipients);
    message.subject = fromUtf8(whole.subject);
    for (const MailPart& part : whole.parts) {
      if (part.kind == MailPart::Kind::attachment) {
        message.attachments << fromUtf8(part.fileName);
      } else {
        for (const std::string& line : part.lines) message.lines << fromUtf8(line);
      }
    }
  }
  view.showMessageView(message);
  mailbox.disconnectFromServer();
}

// ---------------------------------------------------------------------------------------
// Rules added from the list

bool MailOperations::addRuleFromList(int column, const QString& text, bool remove) {
  CommitAtEnd commit(db);
  const RuleTable table = RuleTable(column);
  if (!addRule(db, table, text, remove)) {
    view.showMessage(duplicateRuleText(table));
    return false;
  }
  if (remove) markMatching(column, lowerText(text.toStdString()));
  return true;
}

void MailOperations::markMatching(int column, const std::string& lowerRule) {
  const Mark mark = column == toColumn ? Mark::to : column == subjectColumn ? Mark::subject : Mark::from;
  for (int row = 1; row < view.rowCount(); ++row) {
    if (!view.cell(markColumn, row).isEmpty()) continue;
    if (!ruleMatches(lowerText(view.cell(column, row).toStdString()), lowerRule)) continue;
    view.setCell(markColumn, row, QString::fromLatin1(markText(mark)));
    removeCount++;
  }
}

// ---------------------------------------------------------------------------------------
// Connection test and trusted certificates

QString testMailbox(Pop3Client& mailbox) {
  mailbox.connectToServer();
  const int count = mailbox.countMessages();
  mailbox.disconnectFromServer();
  return QStringLiteral("Login succeeded: %1 messages waiting.").arg(count);
}

QString MailOperations::testConnection() {
  CommitAtEnd commit(db);
  const std::optional<Settings> stored = readSettings(db);
  if (!stored || stored->server.empty()) throw Pop3Error(notConfiguredText);
  mailbox.setSettings(accountOf(db, *stored));
  releaseLocks();
  return testMailbox(mailbox);
}

void trustCertificate(dbDatabase& db, const Pop3CertificateError& certificate) {
  trustFingerprint(db, certificate.host.toStdString(), certificate.port, certificate.fingerprint.toStdString());
  db.commit();
}

QString trustQuestion(const Pop3CertificateError& certificate) {
  return QStringLiteral("The certificate of the POP3 server %1:%2 cannot be verified: it is %3.\n"
                        "SHA-256 fingerprint: %4\n"
                        "Trust this certificate for this server from now on?")
      .arg(certificate.host)
      .arg(certificate.port)
      .arg(certificate.problem, readableFingerprint(certificate.fingerprint));
}
