#include "pop3client.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QStringDecoder>
#include <QTimer>

#include <deque>

namespace {

// A server line as text: UTF-8 when it is valid UTF-8, else Latin-1, so that any byte
// sequence shows.
QString lineText(const QByteArray& line) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8(line);
  return utf8.hasError() ? QString::fromLatin1(line) : text;
}

// The server's words after "+OK" or "-ERR", for messages.
QString replyText(const QByteArray& statusLine) {
  const qsizetype space = statusLine.indexOf(' ');
  return space < 0 ? QString() : lineText(statusLine.mid(space + 1)).trimmed();
}

std::string joinLines(const QList<QByteArray>& lines) {
  std::string raw;
  for (const QByteArray& line : lines) {
    raw.append(line.constData(), size_t(line.size()));
    raw.append("\r\n");
  }
  return raw;
}

// What is wrong with a certificate, in the words a user reads.
QString describeProblems(const QList<QSslError>& errors) {
  QStringList problems;
  for (const QSslError& error : errors) {
    QString problem;
    switch (error.error()) {
      case QSslError::SelfSignedCertificate:
      case QSslError::SelfSignedCertificateInChain: problem = QStringLiteral("self-signed"); break;
      case QSslError::CertificateExpired: problem = QStringLiteral("expired"); break;
      case QSslError::CertificateNotYetValid: problem = QStringLiteral("not valid yet"); break;
      case QSslError::HostNameMismatch: problem = QStringLiteral("issued for another host name"); break;
      case QSslError::UnableToGetLocalIssuerCertificate:
      case QSslError::UnableToVerifyFirstCertificate:
      case QSslError::UnableToGetIssuerCertificate: problem = QStringLiteral("signed by an unknown authority"); break;
      case QSslError::CertificateRevoked: problem = QStringLiteral("revoked"); break;
      default: problem = error.errorString(); break;
    }
    if (!problems.contains(problem)) problems << problem;
  }
  return problems.join(QStringLiteral(", "));
}

QByteArray fingerprintOf(const QSslCertificate& certificate) {
  return certificate.digest(QCryptographicHash::Sha256).toHex();
}

}  // namespace

QString readableFingerprint(const QByteArray& hex) {
  QString text;
  for (qsizetype i = 0; i < hex.size(); i += 2) {
    if (i > 0) text += QLatin1Char(':');
    text += QString::fromLatin1(hex.mid(i, 2)).toUpper();
  }
  return text;
}

Pop3Client::Pop3Client(QObject* parent) : QObject(parent) { newSocket(); }

// Every connection gets a socket of its own: a socket keeps the error of its last
// connection, which would end the next connection's waits at once.
void Pop3Client::newSocket() {
  if (socket != nullptr) {
    socket->abort();
    delete socket;
  }
  socket = new QSslSocket(this);
  connect(socket, &QSslSocket::sslErrors, this, &Pop3Client::handleSslErrors);
}

Pop3Client::~Pop3Client() {
  // Destroyed without QUIT: the server carries out nothing of an unfinished session.
  socket->abort();
}

bool Pop3Client::isConnected() const { return socket->state() == QAbstractSocket::ConnectedState; }

QString Pop3Client::serverName() const { return QStringLiteral("%1:%2").arg(current.host).arg(current.port); }

void Pop3Client::fail(const QString& message, Pop3Failure kind) {
  socket->abort();
  buffer.clear();
  throw Pop3Error(message.toStdString(), kind);
}

void Pop3Client::failTimeout(const QString& message) {
  socket->abort();
  buffer.clear();
  throw Pop3Timeout(message.toStdString());
}

void Pop3Client::cancel() {
  cancelled = true;
  socket->abort();
  buffer.clear();
  emit wakeRequested();
}

// ---------------------------------------------------------------------------------------
// Connecting, securing, logging in

void Pop3Client::connectToServer() {
  cancelled = false;
  canPipeline = false;
  certificateProblem.reset();
  newSocket();
  buffer.clear();
  serial++;
  if (current.host.isEmpty()) throw Pop3Error("No POP3 server is configured.");

  connectSocket();
  QByteArray greeting;
  if (readStatus("the greeting", &greeting) != ReplyStatus::ok) {
    fail(QStringLiteral("The POP3 server %1 refused the connection: %2").arg(serverName(), replyText(greeting)),
         Pop3Failure::refused);
  }
  if (current.security == Pop3Security::startTls) {
    sendCommand("STLS");
    if (readStatus("STLS") != ReplyStatus::ok) {
      fail(QStringLiteral("The POP3 server %1 does not offer STLS, so the connection cannot be encrypted; "
                          "the password was not sent.")
               .arg(serverName()),
           Pop3Failure::noStls);
    }
    startEncryption();
  }

  sendCommand("USER " + current.username.toUtf8());
  QByteArray reply;
  if (readStatus("USER", &reply) == ReplyStatus::ok) {
    sendCommand("PASS " + current.password.toUtf8());
    if (readStatus("PASS", &reply) == ReplyStatus::ok) {
      readCapabilities();
      return;
    }
  }
  fail(QStringLiteral("The POP3 server %1 refused the login: %2").arg(serverName(), replyText(reply)),
       Pop3Failure::loginRefused);
}

void Pop3Client::connectSocket() {
  QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
  configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
  socket->setSslConfiguration(configuration);
  socket->setPeerVerifyName(current.host);
  if (current.security == Pop3Security::implicitTls) {
    socket->connectToHostEncrypted(current.host, current.port);
  } else {
    socket->connectToHost(current.host, current.port);
  }
  bool answered = true;
  while (socket->state() != QAbstractSocket::ConnectedState && socket->error() == QAbstractSocket::UnknownSocketError &&
         answered && !cancelled) {
    answered = waitForSocket(connectTimeoutMs);
  }
  if (cancelled) throw Pop3Cancelled();
  if (socket->state() != QAbstractSocket::ConnectedState) {
    if (!answered) {
      fail(QStringLiteral("Cannot connect to the POP3 server %1: no answer within %2 s.")
               .arg(serverName())
               .arg(connectTimeoutMs / 1000),
           Pop3Failure::timeout);
    }
    const QAbstractSocket::SocketError error = socket->error();
    if (error == QAbstractSocket::HostNotFoundError) {
      fail(QStringLiteral("Cannot connect to the POP3 server %1: the host name is not known.").arg(serverName()),
           Pop3Failure::hostNotFound);
    }
    if (error == QAbstractSocket::ConnectionRefusedError) {
      fail(QStringLiteral("Cannot connect to the POP3 server %1: the connection was refused.").arg(serverName()),
           Pop3Failure::connectionRefused);
    }
    fail(QStringLiteral("Cannot connect to the POP3 server %1: %2.").arg(serverName(), socket->errorString()),
         Pop3Failure::closed);
  }
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  if (current.security == Pop3Security::implicitTls) waitForEncryption();
}

void Pop3Client::startEncryption() {
  socket->startClientEncryption();
  waitForEncryption();
}

void Pop3Client::waitForEncryption() {
  bool answered = true;
  while (!socket->isEncrypted() && isConnected() && answered && !cancelled && !certificateProblem) {
    answered = waitForSocket(connectTimeoutMs);
  }
  if (cancelled) throw Pop3Cancelled();
  if (certificateProblem) {
    socket->abort();
    buffer.clear();
    Pop3CertificateError problem = *certificateProblem;
    certificateProblem.reset();
    throw problem;
  }
  if (!answered) {
    fail(QStringLiteral("The TLS handshake with the POP3 server %1 did not finish within %2 s.")
             .arg(serverName())
             .arg(connectTimeoutMs / 1000),
         Pop3Failure::timeout);
  }
  if (!socket->isEncrypted()) {
    fail(QStringLiteral("The TLS handshake with the POP3 server %1 failed: %2").arg(serverName(), socket->errorString()),
         Pop3Failure::certificate);
  }
}

// Called during the handshake: a certificate that does not verify goes on only when it
// is the one the user trusts for this server.
void Pop3Client::handleSslErrors(const QList<QSslError>& errors) {
  const QByteArray fingerprint = fingerprintOf(socket->peerCertificate());
  if (!current.trustedFingerprint.isEmpty() && fingerprint == current.trustedFingerprint.toLower()) {
    socket->ignoreSslErrors(errors);
    return;
  }
  const QString problem = describeProblems(errors);
  const bool changed = !current.trustedFingerprint.isEmpty();
  const QString message =
      changed ? QStringLiteral("The certificate of the POP3 server %1 has CHANGED since you trusted it (%2). This can "
                               "mean that someone is intercepting the connection. The new certificate's SHA-256 "
                               "fingerprint is %3; it was refused.")
                    .arg(serverName(), problem, readableFingerprint(fingerprint))
              : QStringLiteral("The certificate of the POP3 server %1 cannot be verified: it is %2. Its SHA-256 "
                               "fingerprint is %3.")
                    .arg(serverName(), problem, readableFingerprint(fingerprint));
  certificateProblem.emplace(message.toStdString(), current.host, current.port, fingerprint, problem, changed);
  emit wakeRequested();
}

void Pop3Client::readCapabilities() {
  sendCommand("CAPA");
  if (readStatus("CAPA") != ReplyStatus::ok) return;
  for (const QByteArray& line : readMultiLine()) {
    if (line.trimmed().toUpper() == "PIPELINING") canPipeline = pipeliningAllowed;
  }
}

// ---------------------------------------------------------------------------------------
// Commands

int Pop3Client::countMessages() {
  sendCommand("STAT");
  const QByteArray reply = expectOk("STAT");
  const QList<QByteArray> words = reply.simplified().split(' ');
  return words.size() > 1 ? words[1].toInt() : 0;
}

std::optional<std::map<int, std::string>> Pop3Client::uniqueIds() {
  sendCommand("UIDL");
  if (readStatus("UIDL") != ReplyStatus::ok) return std::nullopt;
  std::map<int, std::string> ids;
  for (const QByteArray& line : readMultiLine()) {
    const QList<QByteArray> words = line.simplified().split(' ');
    bool isNumber = false;
    const int number = words.value(0).toInt(&isNumber);
    if (isNumber && words.size() >= 2) ids[number] = words[1].toStdString();
  }
  return ids;
}

MailMessage Pop3Client::readHeaderReply(int number) {
  QByteArray reply;
  if (readStatus("TOP", &reply) != ReplyStatus::ok) {
    throw Pop3Error(
        QStringLiteral("The server has no header of message %1: %2").arg(number).arg(replyText(reply)).toStdString(),
        Pop3Failure::refused);
  }
  return parseMailMessage(joinLines(readMultiLine()));
}

MailMessage Pop3Client::fetchHeaders(int number) {
  sendCommand("TOP " + QByteArray::number(number) + " 0");
  return readHeaderReply(number);
}

void Pop3Client::fetchHeadersInOrder(int first, int last, const HeaderResult& each) {
  int next = first;      // the next message whose TOP is to be sent
  int answered = first;  // the next message whose reply is to be read
  try {
    while (answered <= last) {
      const int window = canPipeline ? pipelineWindow : 1;
      while (next <= last && next - answered < window) {
        sendCommand("TOP " + QByteArray::number(next) + " 0");
        next++;
      }
      try {
        const MailMessage header = readHeaderReply(answered);
        each(answered, &header, nullptr);
      } catch (const Pop3Error& error) {
        if (error.kind() != Pop3Failure::refused) throw;
        each(answered, nullptr, &error);  // "-ERR" to this TOP: the session goes on
      }
      answered++;
    }
  } catch (const Pop3Cancelled&) {
    throw;
  } catch (const Pop3Timeout&) {
    throw;
  } catch (const Pop3Error& broken) {
    // The connection is gone: every message not answered yet gets the error.
    for (; answered <= last; answered++) each(answered, nullptr, &broken);
  }
}

bool Pop3Client::requestMessage(int number) {
  sendCommand("RETR " + QByteArray::number(number));
  return readStatus("RETR") == ReplyStatus::ok;
}

MailMessage Pop3Client::fetchMessage(int number) {
  if (!requestMessage(number)) return {};
  return parseMailMessage(joinLines(readMultiLine()));
}

void Pop3Client::fetchRawLines(int number, QStringList& lines) {
  if (!requestMessage(number)) return;
  for (const QByteArray& line : readMultiLine()) lines << lineText(line);
}

void Pop3Client::deleteMessage(int number) { deleteMessages({number}); }

void Pop3Client::deleteMessages(const std::vector<int>& numbers) {
  std::optional<Pop3Error> firstRefusal;
  size_t next = 0;
  size_t answered = 0;
  while (answered < numbers.size()) {
    const size_t window = canPipeline ? pipelineWindow : 1;
    while (next < numbers.size() && next - answered < window && !(firstRefusal && !canPipeline)) {
      sendCommand("DELE " + QByteArray::number(numbers[next]));
      next++;
    }
    QByteArray reply;
    if (readStatus("DELE", &reply) != ReplyStatus::ok && !firstRefusal) {
      firstRefusal.emplace(QStringLiteral("The server refused to delete message %1: %2")
                               .arg(numbers[answered])
                               .arg(replyText(reply))
                               .toStdString(),
                           Pop3Failure::refused);
      if (!canPipeline) throw *firstRefusal;
    }
    answered++;
  }
  if (firstRefusal) throw *firstRefusal;
}

void Pop3Client::disconnectFromServer() {
  if (!isConnected()) return;
  sendCommand("QUIT");
  QByteArray reply;
  const ReplyStatus status = readStatus("QUIT", &reply);
  socket->disconnectFromHost();
  socket->abort();
  buffer.clear();
  if (status != ReplyStatus::ok) {
    throw Pop3Error(QStringLiteral("The POP3 server %1 could not carry out the deletions: %2")
                        .arg(serverName(), replyText(reply))
                        .toStdString(),
                    Pop3Failure::refused);
  }
}

// ---------------------------------------------------------------------------------------
// Lines and replies

void Pop3Client::sendCommand(const QByteArray& command) {
  if (cancelled) throw Pop3Cancelled();
  if (!isConnected()) {
    fail(QStringLiteral("The connection to the POP3 server %1 is closed.").arg(serverName()), Pop3Failure::closed);
  }
  socket->write(command + "\r\n");
}

Pop3Client::ReplyStatus Pop3Client::readStatus(const char* command, QByteArray* statusLine) {
  const QByteArray line = readLine();
  if (statusLine != nullptr) *statusLine = line;
  if (line.startsWith("+OK")) return ReplyStatus::ok;
  if (line.startsWith("-ERR")) return ReplyStatus::err;
  fail(QStringLiteral("The POP3 server %1 sent an unexpected reply to %2: %3")
           .arg(serverName(), QString::fromLatin1(command), lineText(line.left(200))),
       Pop3Failure::protocol);
}

QByteArray Pop3Client::expectOk(const char* command) {
  QByteArray reply;
  if (readStatus(command, &reply) != ReplyStatus::ok) {
    fail(QStringLiteral("The POP3 server %1 refused %2: %3")
             .arg(serverName(), QString::fromLatin1(command), replyText(reply)),
         Pop3Failure::refused);
  }
  return reply;
}

QList<QByteArray> Pop3Client::readMultiLine() {
  QList<QByteArray> lines;
  for (;;) {
    QByteArray line = readLine();
    if (line.startsWith('.')) {
      if (line.size() == 1) return lines;
      line.remove(0, 1);  // dot-stuffing
    }
    lines << line;
  }
}

QByteArray Pop3Client::readLine() {
  for (;;) {
    if (socket->bytesAvailable() > 0) buffer += socket->readAll();
    const qsizetype end = buffer.indexOf('\n');
    if (end >= 0 && end < maxLineLength) {
      QByteArray line = buffer.left(end);
      buffer.remove(0, end + 1);
      if (line.endsWith('\r')) line.chop(1);
      return line;
    }
    if (end >= maxLineLength || buffer.size() >= maxLineLength) {
      fail(QStringLiteral("The POP3 server %1 sent a line longer than %2 bytes.").arg(serverName()).arg(maxLineLength),
           Pop3Failure::protocol);
    }
    waitForData();
  }
}

void Pop3Client::waitForData() {
  if (!isConnected()) {
    fail(QStringLiteral("The POP3 server %1 closed the connection.").arg(serverName()), Pop3Failure::closed);
  }
  const bool answered = waitForSocket(readTimeoutMs);
  if (cancelled) throw Pop3Cancelled();
  if (socket->bytesAvailable() > 0) return;
  if (!isConnected()) {
    fail(QStringLiteral("The POP3 server %1 closed the connection.").arg(serverName()), Pop3Failure::closed);
  }
  if (!answered) {
    failTimeout(QStringLiteral("The POP3 server %1 did not answer within %2 s.")
                    .arg(serverName())
                    .arg(readTimeoutMs / 1000.0));
  }
}

bool Pop3Client::waitForSocket(int timeoutMs) {
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  connect(socket, &QAbstractSocket::connected, &loop, &QEventLoop::quit);
  connect(socket, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
  connect(socket, &QIODevice::readyRead, &loop, &QEventLoop::quit);
  connect(socket, &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
  connect(socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
  connect(this, &Pop3Client::wakeRequested, &loop, &QEventLoop::quit);
  timer.start(timeoutMs);
  loop.exec();
  return timer.isActive();
}
