// The mailbox component: a POP3 client (RFC 1939) that sends exactly the commands the
// program's mail operations ask for, in their order: optionally STLS, then USER, PASS
// and CAPA at login, then STAT, UIDL, TOP n 0, RETR n, DELE n and QUIT as called.
//
// Calls look blocking to the caller but wait in a local event loop, so the window keeps
// painting and the program can cancel an operation while a call waits. Every failure is
// thrown as Pop3Error (its kind tells which); a cancelled call throws Pop3Cancelled.
// After an error the connection is closed, except after a "-ERR" reply to a command,
// where the server goes on serving the session.
//
// Security: plain POP3, STLS before the login (refused when the server does not offer
// it, never silently plain), or TLS from the first byte. The certificate is verified
// against the system's certificate store and the host name; one that does not verify
// is accepted only when its SHA-256 fingerprint is the one the user trusts for this
// server (Pop3Settings::trustedFingerprint), else Pop3CertificateError says why.
//
// When the server advertises PIPELINING, the batch calls (fetchHeadersInOrder,
// deleteMessages) keep a window of commands in flight instead of one round trip each;
// the server sees the same commands in the same order either way.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mailmessage.h"

class QSslSocket;
class QSslError;

enum class Pop3Failure {
  hostNotFound,
  connectionRefused,
  timeout,        // no connection or no answer in time
  certificate,    // the server's certificate is not trusted
  noStls,         // STARTTLS chosen, the server does not offer STLS
  loginRefused,
  refused,        // "-ERR" to a command
  protocol,       // a reply that is not POP3, an over-long line
  closed,         // the connection broke
  cancelled,
  other,
};

class Pop3Error : public std::runtime_error {
 public:
  explicit Pop3Error(const std::string& message, Pop3Failure kind = Pop3Failure::other)
      : std::runtime_error(message), failure(kind) {}
  Pop3Failure kind() const { return failure; }

 private:
  Pop3Failure failure;
};

// The operation was cancelled by the user (or a signal): the connection was dropped
// without QUIT, so the server carries out no deletion of this session.
class Pop3Cancelled : public Pop3Error {
 public:
  Pop3Cancelled() : Pop3Error("The operation was cancelled.", Pop3Failure::cancelled) {}
};

// The server did not answer within the read time-out; the connection was dropped.
class Pop3Timeout : public Pop3Error {
 public:
  explicit Pop3Timeout(const std::string& message) : Pop3Error(message, Pop3Failure::timeout) {}
};

// The server's certificate did not verify and is not the one trusted for the server.
class Pop3CertificateError : public Pop3Error {
 public:
  Pop3CertificateError(const std::string& message, QString host, quint16 port, QByteArray fingerprint,
                       QString problem, bool changed)
      : Pop3Error(message, Pop3Failure::certificate),
        host(std::move(host)),
        port(port),
        fingerprint(std::move(fingerprint)),
        problem(std::move(problem)),
        changed(changed) {}
  QString host;
  quint16 port;
  QByteArray fingerprint;  // SHA-256, lower-case hex without separators
  QString problem;         // "self-signed", "expired", "issued for another host name" ...
  bool changed;            // another certificate was trusted for this server
};

enum class Pop3Security { none, startTls, implicitTls };

struct Pop3Settings {
  QString host;
  quint16 port = 110;
  QString username;
  QString password;
  Pop3Security security = Pop3Security::none;
  QByteArray trustedFingerprint;  // SHA-256 hex the user trusts for host:port, or empty
};

// "AB:CD:..." for showing a fingerprint.
QString readableFingerprint(const QByteArray& hex);

class Pop3Client : public QObject {
  Q_OBJECT

 public:
  static constexpr int connectTimeoutMs = 10000;
  static constexpr int defaultReadTimeoutMs = 60000;
  // Longest line accepted from the server, line end included: far above what mail
  // carries (RFC 5322 allows 998 characters), low enough that a broken server cannot
  // fill memory with one line.
  static constexpr qsizetype maxLineLength = 1 << 20;
  // Commands in flight at most when pipelining: under 2 KB, far below what
  // a socket's send buffer holds, so writing never waits for the server to read.
  static constexpr int pipelineWindow = 128;

  explicit Pop3Client(QObject* parent = nullptr);
  ~Pop3Client() override;

  void setSettings(const Pop3Settings& settings) { current = settings; }
  const Pop3Settings& settings() const { return current; }
  // How long a reply may take before the operation ends with an error.
  void setReadTimeout(int milliseconds) { readTimeoutMs = milliseconds; }

  // Connects to the configured server (10 s time-out), secures the connection as
  // configured, expects the greeting, logs in with USER and PASS and asks CAPA. On any
  // failure the connection is closed again.
  void connectToServer();
  bool isConnected() const;
  // Counts the connections made: message numbers are valid only in the connection
  // that listed them.
  int connectionSerial() const { return serial; }
  // Whether commands are pipelined on this connection: the server advertised
  // PIPELINING and pipelining is allowed (it is unless switched off here).
  bool pipelining() const { return canPipeline; }
  void allowPipelining(bool allowed) { pipeliningAllowed = allowed; }

  // STAT: the number of waiting messages (0 for a reply without a number).
  int countMessages();
  // UIDL: the unique id of every message by its number; nothing when the server does
  // not offer the command (it answered "-ERR").
  std::optional<std::map<int, std::string>> uniqueIds();
  // TOP n 0: the header of message n, parsed. A "-ERR" reply is an error.
  MailMessage fetchHeaders(int number);
  // TOP n 0 for messages first..last, in order: `each` gets every message's header,
  // or the error that fetching it met ("-ERR" to its TOP; after a broken connection
  // every further message gets an error). A time-out or a cancel is thrown.
  using HeaderResult = std::function<void(int number, const MailMessage* header, const Pop3Error* error)>;
  void fetchHeadersInOrder(int first, int last, const HeaderResult& each);
  // RETR n: the whole message, parsed; an empty message when the server answers
  // "-ERR".
  MailMessage fetchMessage(int number);
  // RETR n: the message's lines as the server sends them (dot-unstuffed, without line
  // ends) appended to `lines`; nothing appended on "-ERR".
  void fetchRawLines(int number, QStringList& lines);
  // DELE n: marks message n for deletion; "-ERR" is an error.
  void deleteMessage(int number);
  // DELE for each of `numbers`, in order. Without pipelining the first refusal is
  // thrown at once; with it, the first refusal is thrown once every reply is in.
  void deleteMessages(const std::vector<int>& numbers);
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

  void newSocket();
  void connectSocket();
  void startEncryption();
  void waitForEncryption();
  void readCapabilities();
  void handleSslErrors(const QList<QSslError>& errors);

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
  // The reply to one TOP n 0 already sent: the header, or the error.
  MailMessage readHeaderReply(int number);

  void waitForData();
  // Waits in a local event loop, so the window keeps painting, until the socket
  // connects, is secured, receives, closes or fails, or cancel() is called. False
  // when `timeoutMs` passed first.
  bool waitForSocket(int timeoutMs);
  [[noreturn]] void fail(const QString& message, Pop3Failure kind);
  [[noreturn]] void failTimeout(const QString& message);
  QString serverName() const;

  QSslSocket* socket = nullptr;
  Pop3Settings current;
  QByteArray buffer;  // received bytes not yet consumed as lines
  int readTimeoutMs = defaultReadTimeoutMs;
  bool cancelled = false;
  bool canPipeline = false;
  bool pipeliningAllowed = true;
  int serial = 0;
  // A certificate problem seen during the handshake, thrown when it has failed.
  std::optional<Pop3CertificateError> certificateProblem;
};
