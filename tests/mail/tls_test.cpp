// The mailbox over TLS against Dovecot with certificates made by a test authority:
// implicit TLS and STLS, the password never in clear text, certificates that do not
// verify trusted on the user's word and refused when they change, wrong host names,
// servers without STLS; pipelined receives giving what unpipelined ones give; and the
// connection test's distinct failures.
#include <QSslCertificate>
#include <QSslConfiguration>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mailoperations.h"
#include "mailserver.h"
#include "messagetable.h"
#include "pop3client.h"
#include "samplemail.h"
#include "tables.h"
#include "testsupport.h"

namespace {

using Commands = std::vector<std::string>;
using Fault = testsupport::ScriptedPop3Server::Fault;
using testsupport::mailMessage;

Pop3Settings account(uint16_t port, Pop3Security security, const QString& host = QStringLiteral("127.0.0.1")) {
  Pop3Settings settings;
  settings.host = host;
  settings.port = port;
  settings.username = QStringLiteral("filter");
  settings.password = QStringLiteral("secret");
  settings.security = security;
  return settings;
}

// What logging in with `settings` ends in: "ok" or the failure.
std::string loginOutcome(const Pop3Settings& settings, Pop3Failure* kind = nullptr) {
  Pop3Client client;
  client.setReadTimeout(3000);
  client.setSettings(settings);
  try {
    testMailbox(client);
    return "ok";
  } catch (const Pop3Error& error) {
    if (kind != nullptr) *kind = error.kind();
    return error.what();
  }
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificates = new testsupport::TestCertificates;
    // The program trusts the system's authorities; the tests add their own.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QSslCertificate::fromPath(QString::fromStdString(certificates->authority())));
    QSslConfiguration::setDefaultConfiguration(configuration);
    trusted = new testsupport::DovecotServer(certificates->server("server"));
    selfSigned = new testsupport::DovecotServer(certificates->server("selfsigned"));
    otherSelfSigned = new testsupport::DovecotServer(certificates->server("selfsigned2"));
    otherHost = new testsupport::DovecotServer(certificates->server("otherhost"));
  }
  static void TearDownTestSuite() {
    for (testsupport::DovecotServer* server : {trusted, selfSigned, otherSelfSigned, otherHost}) delete server;
    delete certificates;
  }

  static testsupport::TestCertificates* certificates;
  static testsupport::DovecotServer* trusted;
  static testsupport::DovecotServer* selfSigned;
  static testsupport::DovecotServer* otherSelfSigned;
  static testsupport::DovecotServer* otherHost;
};

testsupport::TestCertificates* TlsTest::certificates = nullptr;
testsupport::DovecotServer* TlsTest::trusted = nullptr;
testsupport::DovecotServer* TlsTest::selfSigned = nullptr;
testsupport::DovecotServer* TlsTest::otherSelfSigned = nullptr;
testsupport::DovecotServer* TlsTest::otherHost = nullptr;

TEST_F(TlsTest, ImplicitTlsAndStlsLogIn) {
  trusted->setMessages({mailMessage("a@x.example", "me@home.example", "One")});
  EXPECT_EQ(loginOutcome(account(trusted->tlsPort(), Pop3Security::implicitTls)), "ok");
  EXPECT_EQ(loginOutcome(account(trusted->port(), Pop3Security::startTls)), "ok");
  EXPECT_EQ(loginOutcome(account(trusted->port(), Pop3Security::startTls, QStringLiteral("localhost"))), "ok");
}

TEST_F(TlsTest, ThePasswordNeverCrossesTheWireBeforeTls) {
  testsupport::RecordingProxy proxy(trusted->port());
  EXPECT_EQ(loginOutcome(account(proxy.port(), Pop3Security::startTls)), "ok");
  ASSERT_TRUE(proxy.waitIdle());
  const Commands seen = proxy.commands();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), "STLS");
  for (const std::string& line : seen) {
    EXPECT_EQ(line.find("secret"), std::string::npos);
    EXPECT_EQ(line.find("USER"), std::string::npos);
  }
}

TEST_F(TlsTest, AnUnverifiedCertificateIsTrustedOnceAndRefusedWhenItChanges) {
  Pop3Settings settings = account(selfSigned->tlsPort(), Pop3Security::implicitTls);
  Pop3Client client;
  client.setSettings(settings);
  QByteArray fingerprint;
  try {
    client.connectToServer();
    FAIL() << "a self-signed certificate was accepted";
  } catch (const Pop3CertificateError& certificate) {
    EXPECT_EQ(certificate.problem, QStringLiteral("self-signed"));
    EXPECT_FALSE(certificate.changed);
    EXPECT_EQ(certificate.fingerprint.size(), 64);
    EXPECT_EQ(certificate.host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(certificate.port, selfSigned->tlsPort());
    EXPECT_NE(trustQuestion(certificate).indexOf(readableFingerprint(certificate.fingerprint)), -1);
    fingerprint = certificate.fingerprint;
  }
  EXPECT_FALSE(client.isConnected());

  // Trusted: accepted from now on, over STLS too (the same certificate).
  settings.trustedFingerprint = fingerprint;
  EXPECT_EQ(loginOutcome(settings), "ok");

  // Another self-signed certificate where this one was trusted: refused, as changed.
  Pop3Settings changed = account(otherSelfSigned->tlsPort(), Pop3Security::implicitTls);
  changed.trustedFingerprint = fingerprint;
  Pop3Client second;
  second.setSettings(changed);
  try {
    second.connectToServer();
    FAIL() << "a changed certificate was accepted";
  } catch (const Pop3CertificateError& certificate) {
    EXPECT_TRUE(certificate.changed);
    EXPECT_NE(std::string(certificate.what()).find("CHANGED"), std::string::npos);
    EXPECT_NE(certificate.fingerprint, fingerprint);
  }
}

TEST_F(TlsTest, TheTrustIsStoredPerServerAndPort) {
  testsupport::TempDir dir;
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  ASSERT_TRUE(db.open(testsupport::uniqueName("tls").c_str(), dir.file("tls.kld").c_str()));
  Config config = firstRunConfig();
  config.server = "127.0.0.1";
  config.port = int16_t(selfSigned->port());
  config.username = "filter";
  config.password = "secret";
  config.security = "STARTTLS";
  insertConfig(db, config);
  db.commit();
  selfSigned->setMessages({mailMessage("a@x.example", "me@home.example", "Over STLS")});

  MessageTable table;
  Pop3Client client;
  MailOperations operations(db, client, table);
  try {
    operations.receive();
    FAIL() << "no certificate question";
  } catch (const Pop3CertificateError& certificate) {
    trustCertificate(db, certificate);
  }
  operations.receive();
  ASSERT_TRUE(table.listed);
  EXPECT_EQ(table.listedRows.at(0)[3], QStringLiteral("Over STLS"));
  EXPECT_FALSE(trustedFingerprint(db, "127.0.0.1", selfSigned->port()).empty());
  EXPECT_TRUE(trustedFingerprint(db, "127.0.0.1", selfSigned->tlsPort()).empty());
  db.commit();
  db.close();
}

TEST_F(TlsTest, AWrongHostNameIsCaught) {
  Pop3Failure kind = Pop3Failure::other;
  const std::string outcome = loginOutcome(account(otherHost->tlsPort(), Pop3Security::implicitTls), &kind);
  EXPECT_EQ(kind, Pop3Failure::certificate);
  EXPECT_NE(outcome.find("issued for another host name"), std::string::npos) << outcome;
}

TEST_F(TlsTest, AServerWithoutStlsIsRefusedBeforeTheLogin) {
  testsupport::ScriptedPop3Server plain({});
  plain.setFaultHook([](const std::string& line) {
    return line == "STLS" ? Fault::replyWith("-ERR unknown command") : Fault{};
  });
  Pop3Failure kind = Pop3Failure::other;
  loginOutcome(account(plain.port(), Pop3Security::startTls), &kind);
  EXPECT_EQ(kind, Pop3Failure::noStls);
  ASSERT_TRUE(plain.waitIdle());
  EXPECT_EQ(plain.commands(), Commands{"STLS"});
}

// The same receive with and without PIPELINING: the same rows, and the same commands
// apart from the window of TOPs sent ahead.
TEST(PipeliningTest, PipelinedReceivesListWhatUnpipelinedOnesList) {
  std::vector<std::string> messages;
  for (int i = 1; i <= 150; i++) {
    messages.push_back(mailMessage("sender" + std::to_string(i) + "@x.example", "me@home.example",
                                   "Message " + std::to_string(i)));
  }
  struct Run {
    Commands commands;
    std::vector<MessageTable::Row> rows;
  };
  auto receive = [&](bool pipelining, const std::string& faultAt, bool drop) {
    testsupport::ScriptedPop3Server server(messages);
    server.setFaultHook([&](const std::string& line) {
      if (line == "CAPA" && !pipelining) return Fault::replyWith("+OK\r\nUSER\r\nUIDL\r\nTOP\r\n.");
      if (line == faultAt) return drop ? Fault::dropAtOnce() : Fault::replyWith("-ERR no such message");
      return Fault{};
    });
    testsupport::TempDir dir;
    keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
    EXPECT_TRUE(db.open(testsupport::uniqueName("pipe").c_str(), dir.file("p.kld").c_str()));
    Config config = firstRunConfig();
    config.server = "127.0.0.1";
    config.port = int16_t(server.port());
    config.username = "filter";
    config.password = "secret";
    config.security = "None";
    insertConfig(db, config);
    insertRule<EmailSubject>(db, "message 1", true);
    db.commit();
    MessageTable table;
    Pop3Client client;
    MailOperations operations(db, client, table);
    operations.receive();
    EXPECT_TRUE(server.waitIdle());
    db.close();
    return Run{server.commands(), table.listedRows};
  };
  const Run plainRun = receive(false, "", false);
  const Run pipelined = receive(true, "", false);
  EXPECT_EQ(pipelined.commands, plainRun.commands);
  EXPECT_EQ(pipelined.rows, plainRun.rows);

  const Run plainError = receive(false, "TOP 70 0", false);
  const Run pipelinedError = receive(true, "TOP 70 0", false);
  EXPECT_EQ(pipelinedError.commands, plainError.commands);
  EXPECT_EQ(pipelinedError.rows, plainError.rows);
  int errorRows = 0;
  for (const auto& row : pipelinedError.rows) errorRows += row[1] == QStringLiteral("ERROR");
  EXPECT_EQ(errorRows, 1);

  const Run plainDrop = receive(false, "TOP 70 0", true);
  const Run pipelinedDrop = receive(true, "TOP 70 0", true);
  EXPECT_EQ(pipelinedDrop.rows, plainDrop.rows);
  errorRows = 0;
  for (const auto& row : pipelinedDrop.rows) errorRows += row[1] == QStringLiteral("ERROR");
  EXPECT_EQ(errorRows, 150 - 69);
}

// The connection test tells every failure apart.
TEST(ConnectionTest, EachFailureIsReportedDistinctly) {
  testsupport::ScriptedPop3Server silent({});
  silent.setGreeting(Fault::staySilent());
  testsupport::ScriptedPop3Server refusing({});
  testsupport::ScriptedPop3Server noStls({});
  noStls.setFaultHook([](const std::string& line) {
    return line == "STLS" ? Fault::replyWith("-ERR unknown command") : Fault{};
  });
  uint16_t closedPort = 0;
  {
    testsupport::ScriptedPop3Server gone({});
    closedPort = gone.port();
  }
  Pop3Settings wrongPassword = account(refusing.port(), Pop3Security::none);
  wrongPassword.password = QStringLiteral("wrong");

  struct Case {
    const char* name;
    Pop3Settings settings;
    Pop3Failure kind;
    const char* words;
  };
  const std::vector<Case> cases = {
      {"host not found", account(110, Pop3Security::none, QStringLiteral("no-such-host.invalid")),
       Pop3Failure::hostNotFound, "host name is not known"},
      {"connection refused", account(closedPort, Pop3Security::none), Pop3Failure::connectionRefused,
       "connection was refused"},
      {"time-out", account(silent.port(), Pop3Security::none), Pop3Failure::timeout, "did not answer"},
      {"STLS missing", account(noStls.port(), Pop3Security::startTls), Pop3Failure::noStls, "does not offer STLS"},
      {"login refused", wrongPassword, Pop3Failure::loginRefused, "refused the login"},
  };
  for (const Case& c : cases) {
    Pop3Client client;
    client.setReadTimeout(300);
    client.setSettings(c.settings);
    try {
      testMailbox(client);
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const Pop3Error& error) {
      EXPECT_EQ(error.kind(), c.kind) << c.name << ": " << error.what();
      EXPECT_NE(std::string(error.what()).find(c.words), std::string::npos) << c.name << ": " << error.what();
    }
  }
  Pop3Client client;
  client.setSettings(account(refusing.port(), Pop3Security::none));
  EXPECT_EQ(testMailbox(client), QStringLiteral("Login succeeded: 0 messages waiting."));
  ASSERT_TRUE(refusing.waitIdle());
  for (const std::string& command : refusing.commands()) EXPECT_EQ(command.rfind("DELE", 0), std::string::npos);
}

}  // namespace
