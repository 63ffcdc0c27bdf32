// The mailbox component: a POP3 client (RFC 1939) that sends exactly the commands the
// program's mail operations ask for, one at a time, in their order: USER and PASS at
// login, then STAT, UIDL, TOP n 0, RETR n, DELE n and QUIT as called.
//
// Calls look blocking to the caller but wait in a local event loop, so the window keeps
// painting and the program can cancel an operation while a call waits. Every failure is
// thrown as Pop3Error with a message for the user; a cancelled call throws
// Pop3Cancelled. After an error the connection is closed, except after a "-ERR" reply
// to a command, where the server goes on serving the session.
//
// The connection runs over QSslSocket in plain mode, so that TLS can be added without
// changing how the rest of the client reads and writes.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "mailmessage.h"

class QSslSocket;

class Pop3Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The operation was cancelled by the user (or a signal): the connection was dropped
// without QUIT, so the server carries out no deletion of this session.
class Pop3Cancelled : public Pop3Error {
 public:
  Pop3Cancelled() : Pop3Error("The operation was cancelled.") {}
};

// The server did not answer within the read time-out; the connection was dropped.
class Pop3Timeout : public Pop3Error {
 public:
  using Pop3Error::Pop3Error;
};

struct Pop3Settings {
  QString host;
  quint16 port = 110;
  QString username;
  QString password;
};

class Pop3Client : public QObject {
  Q_OBJECT

 public:
  static constexpr int connectTimeoutMs = 10000;
  static constexpr int defaultReadTimeoutMs = 60000;
  // Longest line accepted from the server, line end included: far above what mail
  // carries (RFC 5322 allows 998 characters), low enough that a broken server cannot
  // fill memory with one line.
  static constexpr qsizetype maxLineLength = 1 << 20;

  explicit Pop3Client(QObject* parent = nullptr);
  ~Pop3Client() override;

  void setSettings(const Pop3Settings& settings) { current = settings; }
  const Pop3Settings& settings() const { return current; }
  // How long a reply may take before the operation ends with an error.
  void setReadTimeout(int milliseconds) { readTimeoutMs = milliseconds; }

  // Connects to the configured server (10 s time-out), expects the greeting and logs in
  // with USER and PASS. On any failure the connection is closed again.
  void connectToServer();
  bool isConnected() const;
  // Counts the connections made: message numbers are valid only in the connection
  // that listed them.
  int connectionSerial() const { return serial; }

  // STAT: the number of waiting messages (0 for a reply without a number).
  int countMessages();
  // UIDL: the unique id of every message by its number; nothing when the server does
  // not offer the command (it answered "-ERR").
  std::optional<std::map<int, std::string>> uniqueIds();
  // TOP n 0: the header of message n, parsed. A "-ERR" reply is an error.
  MailMessage fetchHeaders(int number);
  // RETR n: the whole message, parsed; an empty message when the server answers
  // "-ERR".
  MailMessage fetchMessage(int number);
  // RETR n: the message's lines as the server sends them (dot-unstuffed, without line
  // ends) appended to `lines`; nothing appended on "-ERR".
  void fetchRawLines(int number, QStringList& lines);
  // DELE n: marks message n for deletion; "-ERR" is an error.
  void deleteMessage(int number);
  // QUIT and close, when connected: the server carries out the deletions marked in
  // this session. Throws when the server answers QUIT with "-ERR" (it could not delete).
  void disconnectFromServer();

  // Drops the connection without QUIT; a call waiting for the server throws
  // Pop3Cancelled. Safe to call from a signal handler's notifier or a key handler
  // while a call waits.
  void cancel();

 signals:
  // Emitted by cancel(): ends the wait of a waiting call.
  void wakeRequested();

 private:
  enum class ReplyStatus { ok, err };

  void sendCommand(const QByteArray& command);
  // One status line; "-ERR" returned, anything else than "+OK"/"-ERR" thrown.
  ReplyStatus readStatus(const char* command, QByteArray* statusLine = nullptr);
  // A status line that must be "+OK".
  QByteArray expectOk(const char* command);
  // The lines of a multi-line reply up to the terminating ".", dot-unstuffed.
  QList<QByteArray> readMultiLine();
  QByteArray readLine();
  // RETR n: true when the server answered "+OK" and the message's lines follow.
  bool requestMessage(int number);

  void waitForData();
  // Waits in a local event loop, so the window keeps painting, until the socket
  // connects, receives, closes or fails, or cancel() is called. False when
  // `timeoutMs` passed first.
  bool waitForSocket(int timeoutMs);
  [[noreturn]] void fail(const QString& message);
  [[noreturn]] void failTimeout(const QString& message);
  QString serverName() const;

  QSslSocket* socket = nullptr;
  Pop3Settings current;
  QByteArray buffer;  // received bytes not yet consumed as lines
  int readTimeoutMs = defaultReadTimeoutMs;
  bool cancelled = false;
  int serial = 0;
};
