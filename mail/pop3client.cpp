#include "pop3client.h"

#include <QEventLoop>
#include <QSslSocket>
#include <QStringDecoder>
#include <QTimer>

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

}  // namespace

Pop3Client::Pop3Client(QObject* parent) : QObject(parent), socket(new QSslSocket(this)) {}

Pop3Client::~Pop3Client() {
  // Destroyed without QUIT: the server carries out nothing of an unfinished session.
  socket->abort();
}

bool Pop3Client::isConnected() const { return socket->state() == QAbstractSocket::ConnectedState; }

QString Pop3Client::serverName() const { return QStringLiteral("%1:%2").arg(current.host).arg(current.port); }

void Pop3Client::fail(const QString& message) {
  socket->abort();
  buffer.clear();
  throw Pop3Error(message.toStdString());
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

void Pop3Client::connectToServer() {
  cancelled = false;
  socket->abort();
  buffer.clear();
  serial++;
  if (current.host.isEmpty()) throw Pop3Error("No POP3 server is configured.");

  socket->connectToHost(current.host, current.port);
  bool answered = true;
  if (socket->state() != QAbstractSocket::ConnectedState && socket->error() == QAbstractSocket::UnknownSocketError) {
    answered = waitForSocket(connectTimeoutMs);
  }
  if (cancelled) throw Pop3Cancelled();
  if (socket->state() != QAbstractSocket::ConnectedState) {
    const QString reason = answered ? socket->errorString()
                                    : QStringLiteral("no answer within %1 s").arg(connectTimeoutMs / 1000);
    fail(QStringLiteral("Cannot connect to the POP3 server %1: %2.").arg(serverName(), reason));
  }
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

  QByteArray greeting;
  if (readStatus("the greeting", &greeting) != ReplyStatus::ok) {
    fail(QStringLiteral("The POP3 server %1 refused the connection: %2").arg(serverName(), replyText(greeting)));
  }
  sendCommand("USER " + current.username.toUtf8());
  QByteArray reply;
  if (readStatus("USER", &reply) == ReplyStatus::ok) {
    sendCommand("PASS " + current.password.toUtf8());
    if (readStatus("PASS", &reply) == ReplyStatus::ok) return;
  }
  fail(QStringLiteral("The POP3 server %1 refused the login: %2").arg(serverName(), replyText(reply)));
}

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

MailMessage Pop3Client::fetchHeaders(int number) {
  sendCommand("TOP " + QByteArray::number(number) + " 0");
  QByteArray reply;
  if (readStatus("TOP", &reply) != ReplyStatus::ok) {
    throw Pop3Error(QStringLiteral("The server has no header of message %1: %2").arg(number).arg(replyText(reply)).toStdString());
  }
  return parseMailMessage(joinLines(readMultiLine()));
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

void Pop3Client::deleteMessage(int number) {
  sendCommand("DELE " + QByteArray::number(number));
  QByteArray reply;
  if (readStatus("DELE", &reply) != ReplyStatus::ok) {
    throw Pop3Error(QStringLiteral("The server refused to delete message %1: %2").arg(number).arg(replyText(reply)).toStdString());
  }
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
                        .toStdString());
  }
}

// ---------------------------------------------------------------------------------------
// Lines and replies

void Pop3Client::sendCommand(const QByteArray& command) {
  if (cancelled) throw Pop3Cancelled();
  if (!isConnected()) fail(QStringLiteral("The connection to the POP3 server %1 is closed.").arg(serverName()));
  socket->write(command + "\r\n");
}

Pop3Client::ReplyStatus Pop3Client::readStatus(const char* command, QByteArray* statusLine) {
  const QByteArray line = readLine();
  if (statusLine != nullptr) *statusLine = line;
  if (line.startsWith("+OK")) return ReplyStatus::ok;
  if (line.startsWith("-ERR")) return ReplyStatus::err;
  fail(QStringLiteral("The POP3 server %1 sent an unexpected reply to %2: %3")
           .arg(serverName(), QString::fromLatin1(command), lineText(line.left(200))));
}

QByteArray Pop3Client::expectOk(const char* command) {
  QByteArray reply;
  if (readStatus(command, &reply) != ReplyStatus::ok) {
    fail(QStringLiteral("The POP3 server %1 refused %2: %3")
             .arg(serverName(), QString::fromLatin1(command), replyText(reply)));
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
      fail(QStringLiteral("The POP3 server %1 sent a line longer than %2 bytes.").arg(serverName()).arg(maxLineLength));
    }
    waitForData();
  }
}

void Pop3Client::waitForData() {
  if (!isConnected()) fail(QStringLiteral("The POP3 server %1 closed the connection.").arg(serverName()));
  const bool answered = waitForSocket(readTimeoutMs);
  if (cancelled) throw Pop3Cancelled();
  if (socket->bytesAvailable() > 0) return;
  if (!isConnected()) fail(QStringLiteral("The POP3 server %1 closed the connection.").arg(serverName()));
  if (!answered) {
    failTimeout(QStringLiteral("The POP3 server %1 did not answer within %2 s.").arg(serverName()).arg(readTimeoutMs / 1000.0));
  }
}

bool Pop3Client::waitForSocket(int timeoutMs) {
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  connect(socket, &QAbstractSocket::connected, &loop, &QEventLoop::quit);
  connect(socket, &QIODevice::readyRead, &loop, &QEventLoop::quit);
  connect(socket, &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
  connect(socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
  connect(this, &Pop3Client::wakeRequested, &loop, &QEventLoop::quit);
  timer.start(timeoutMs);
  loop.exec();
  return timer.isActive();
}
