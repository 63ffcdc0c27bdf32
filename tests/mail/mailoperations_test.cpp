// The mail operations against a real Dovecot POP3 server, seen through a proxy that
// records every command, and against a scripted server for the faults a real one does
// not produce.
#include "mailoperations.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mailserver.h"
#include "messagetable.h"
#include "pop3client.h"
#include "samplemail.h"
#include "tables.h"
#include "testsupport.h"

namespace {

using Commands = std::vector<std::string>;
using Rows = std::vector<std::vector<std::string>>;
using testsupport::mailMessage;

Rows rowsOf(const std::vector<MessageTable::Row>& rows) {
  Rows result;
  for (const MessageTable::Row& row : rows) {
    std::vector<std::string> texts;
    for (const QString& text : row) texts.push_back(text.toStdString());
    result.push_back(texts);
  }
  return result;
}

// Whether some stored message has this subject.
bool holdsSubject(const std::vector<std::string>& messages, const std::string& subject) {
  for (const std::string& message : messages) {
    if (message.find("Subject: " + subject + "\r\n") != std::string::npos) return true;
  }
  return false;
}

// Another mail program deletes message `number` of the test account.
void deleteByAnotherClient(uint16_t port, int number) {
  Pop3Client other;
  Pop3Settings account;
  account.host = QStringLiteral("127.0.0.1");
  account.port = port;
  account.username = QStringLiteral("filter");
  account.password = QStringLiteral("secret");
  other.setSettings(account);
  other.connectToServer();
  other.deleteMessage(number);
  other.disconnectFromServer();
}

// A database with one settings record pointing at `port`, the mail operations over an
// in-memory message list, and the client they drive.
class MailboxUser {
 public:
  explicit MailboxUser(uint16_t port, const std::string& user = "filter", const std::string& password = "secret") {
    EXPECT_TRUE(db.open(name.c_str(), dir.file("mail.kld").c_str()));
    Config config = firstRunConfig();
    config.server = "127.0.0.1";
    config.port = int16_t(port);  // ports above 32767 are stored as their 16 bits
    config.username = user.c_str();
    config.password = password.c_str();
    config.security = "None";  // the test servers speak plain POP3
    insertConfig(db, config);
    db.commit();
  }
  ~MailboxUser() { db.close(); }

  void setAutoRemove(bool on) {
    change([on](Config& config) { config.autoRemove = on; });
  }
  void change(const std::function<void(Config&)>& edit) {
    {
      keldraCursor<Config> config(dbCursorForUpdate, &db);
      selectConfig(config);
      edit(*config.get());
      config.update();
    }
    db.commit();
  }
  template <class Rule>
  void addRule(const char* text, bool remove) {
    insertRule<Rule>(db, text, remove);
    db.commit();
  }

  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("mailops");
  keldraDatabase db{dbReadWrite, 1048576, 4194304, 65536, 1};
  MessageTable table;
  Pop3Client mailbox;
  MailOperations operations{db, mailbox, table};
};

// ---------------------------------------------------------------------------------------
// Against Dovecot

class DovecotTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new testsupport::DovecotServer;
    proxy = new testsupport::RecordingProxy(server->port());
  }
  static void TearDownTestSuite() {
    delete proxy;
    delete server;
  }
  void SetUp() override { proxy->clear(); }

  // The commands of the sessions so far, once every connection has ended.
  static Commands commands() {
    EXPECT_TRUE(proxy->waitIdle());
    return proxy->commands();
  }

  static testsupport::DovecotServer* server;
  static testsupport::RecordingProxy* proxy;
  MailboxUser user{proxy->port()};
};

testsupport::DovecotServer* DovecotTest::server = nullptr;
testsupport::RecordingProxy* DovecotTest::proxy = nullptr;

const Commands login{"USER filter", "PASS secret", "CAPA"};

// The login followed by `after`.
Commands loginThen(const Commands& after) {
  Commands all = login;
  all.insert(all.end(), after.begin(), after.end());
  return all;
}

TEST_F(DovecotTest, ReceiveListsClassifiesAndSortsWithoutDeleting) {
  server->setMessages({mailMessage("Alice <alice@friends.example>", "me@home.example", "Lunch"),
                       mailMessage("shop@spam.example", "me@home.example", "Big offer"),
                       mailMessage("bob@work.example", "me@home.example, Boss <boss@work.example>", "Report")});
  user.addRule<EmailFrom>("spam.example", true);

  user.operations.receive();
  EXPECT_EQ(commands(), loginThen({"STAT", "UIDL", "TOP 1 0", "TOP 2 0", "TOP 3 0", "QUIT"}));
  EXPECT_EQ(rowsOf(user.table.listedRows),
            (Rows{{"1", "alice@friends.example", "me@home.example", "Lunch", ""},
                  {"3", "bob@work.example", "me@home.example, Boss <boss@work.example>", "Report", ""},
                  {"2", "shop@spam.example", "me@home.example", "Big offer", "From"}}));
  EXPECT_EQ(user.table.status, (std::array<QString, 3>{"Message received: 3", "To be removed: 1", "Remained message: 2"}));
  EXPECT_EQ(user.operations.removeCount, 1);
  EXPECT_FALSE(user.mailbox.isConnected());
  EXPECT_EQ(server->messages().size(), 3u);

  // The counter starts from 0 again and the marks come out the same.
  user.operations.receive();
  EXPECT_EQ(rowsOf(user.table.listedRows)[2][4], "From");
  EXPECT_EQ(user.operations.removeCount, 1);
}

TEST_F(DovecotTest, AutoRemoveDeletesTheMarkedMessagesInDisplayOrderOnTheSameConnection) {
  server->setMessages({mailMessage("a@lists.example", "news@lists.example", "Digest"),
                       mailMessage("shop@spam.example", "me@home.example", "Offer"),
                       mailMessage("c@else.example", "me@home.example", "You won a prize"),
                       mailMessage("d@friends.example", "me@home.example", "Hi")});
  user.addRule<EmailTo>("news@lists", true);
  user.addRule<EmailFrom>("spam.example", true);
  user.addRule<EmailSubject>("prize", true);
  user.setAutoRemove(true);

  user.operations.receive();
  // Sorted by mark: "" (4), "From" (2), "Sub" (3), "To" (1); deleted in that order.
  EXPECT_EQ(commands(), loginThen({"STAT", "UIDL", "TOP 1 0", "TOP 2 0", "TOP 3 0", "TOP 4 0", "DELE 2",
                                         "DELE 3", "DELE 1", "QUIT"}));
  EXPECT_EQ(user.table.rowCount(), 1);
  EXPECT_EQ(user.table.status[2], mailboxFilteredText);
  EXPECT_EQ(user.table.status[1], "To be removed: 3");
  const auto left = server->messages();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(holdsSubject(left, "Hi"));
}

TEST_F(DovecotTest, AutoExecuteStartsAnExistingMailProgramOnly) {
  server->setMessages({mailMessage("a@x.example", "me@home.example", "One")});
  user.change([](Config& config) {
    config.autoExecute = true;
    config.emailProgram = "/nonexistent/mailer";
  });
  user.operations.receive();
  EXPECT_TRUE(user.table.startedPrograms.isEmpty());
  user.change([](Config& config) { config.emailProgram = "/bin/true"; });
  user.operations.receive();
  EXPECT_EQ(user.table.startedPrograms, QStringList{"/bin/true"});
  // The command line never acts on it.
  MailOperations::ReceiveOptions options;
  options.allowAutoExecute = false;
  user.operations.receive(options);
  EXPECT_EQ(user.table.startedPrograms.size(), 1);
}

TEST_F(DovecotTest, EmptyMailboxAndEmptyList) {
  server->setMessages({});
  user.operations.receive();
  EXPECT_EQ(commands(), loginThen({"STAT", "QUIT"}));
  EXPECT_EQ(user.table.rowCount(), 1);
  EXPECT_EQ(user.table.status, (std::array<QString, 3>{"Message received: 0", "To be removed: 0", "Remained message: 0"}));

  // Remove with nothing listed still logs in and out.
  proxy->clear();
  user.operations.remove();
  EXPECT_EQ(commands(), loginThen({"QUIT"}));
  EXPECT_EQ(user.table.status[2], mailboxFilteredText);
  EXPECT_EQ(user.table.status[0], "Message received: 0");
}

TEST_F(DovecotTest, RemoveWithoutMarksDeletesNothing) {
  server->setMessages({mailMessage("a@x.example", "me@home.example", "One")});
  user.operations.receive();
  proxy->clear();
  user.operations.remove();
  EXPECT_EQ(commands(), loginThen({"QUIT"}));
  EXPECT_EQ(server->messages().size(), 1u);
}

// Between the receive and a later remove, another client deletes a message and a new
// one arrives: the remove finds the listed messages again by their unique ids.
TEST_F(DovecotTest, RemoveInANewConnectionDeletesExactlyTheListedMarkedMessages) {
  server->setMessages({mailMessage("a@friends.example", "me@home.example", "Keep one"),
                       mailMessage("shop@spam.example", "me@home.example", "Spam two"),
                       mailMessage("c@friends.example", "me@home.example", "Keep three"),
                       mailMessage("deals@spam.example", "me@home.example", "Spam four")});
  user.addRule<EmailFrom>("spam.example", true);
  user.operations.receive();

  deleteByAnotherClient(server->port(), 1);
  server->deliver(mailMessage("new@spam.example", "me@home.example", "Spam five, never listed"));

  proxy->clear();
  user.operations.remove();
  EXPECT_EQ(commands(), loginThen({"UIDL", "DELE 1", "DELE 3", "QUIT"}));
  const auto left = server->messages();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_TRUE(holdsSubject(left, "Keep three"));
  EXPECT_TRUE(holdsSubject(left, "Spam five, never listed"));
  EXPECT_EQ(user.operations.skippedByLastRemove, 0);
}

TEST_F(DovecotTest, RemoveInANewConnectionSkipsAndReportsMarkedMessagesThatAreGone) {
  server->setMessages({mailMessage("shop@spam.example", "me@home.example", "Spam one"),
                       mailMessage("deals@spam.example", "me@home.example", "Spam two")});
  user.addRule<EmailFrom>("spam.example", true);
  user.operations.receive();

  deleteByAnotherClient(server->port(), 1);

  proxy->clear();
  user.operations.remove();
  EXPECT_EQ(commands(), loginThen({"UIDL", "DELE 1", "QUIT"}));
  EXPECT_TRUE(server->messages().empty());
  EXPECT_EQ(user.operations.skippedByLastRemove, 1);
  ASSERT_EQ(user.table.messages.size(), 1);
  EXPECT_TRUE(user.table.messages[0].startsWith("1 marked message"));
}

TEST_F(DovecotTest, ReadingAMessageNeverDeletesIt) {
  server->setMessages({mailMessage("a@x.example", "me@home.example", "First"), testsupport::messageWithAttachments()});
  user.operations.receive();

  // Decoded view: one RETR; the attachment names and the text part's lines.
  proxy->clear();
  user.operations.readMessage(2, 0);
  EXPECT_EQ(commands(), loginThen({"RETR 2", "QUIT"}));
  ASSERT_EQ(user.table.views.size(), 1u);
  const MessageListPort::MessageView& decoded = user.table.views[0];
  EXPECT_FALSE(decoded.source);
  EXPECT_EQ(decoded.from, "Carol <carol@example.org>");
  EXPECT_EQ(decoded.to, "me@home.example");
  EXPECT_EQ(decoded.subject, "Photos from the trip");
  EXPECT_EQ(decoded.attachments, (QStringList{"beach.jpg", "行程.pdf"}));
  EXPECT_EQ(decoded.lines, (QStringList{"Here are the photos.", "See you soon."}));

  // Source view: the header with TOP, then every line with RETR.
  proxy->clear();
  user.operations.readMessage(2, 4);
  EXPECT_EQ(commands(), loginThen({"TOP 2 0", "RETR 2", "QUIT"}));
  ASSERT_EQ(user.table.views.size(), 2u);
  const MessageListPort::MessageView& source = user.table.views[1];
  EXPECT_TRUE(source.source);
  EXPECT_EQ(source.subject, "Photos from the trip");
  EXPECT_TRUE(source.lines.contains("Subject: Photos from the trip"));
  EXPECT_TRUE(source.lines.contains("/9j/4AAQSkZJRgABAQ=="));
  EXPECT_TRUE(source.attachments.isEmpty());
  EXPECT_EQ(server->messages().size(), 2u);
}

// ---------------------------------------------------------------------------------------
// Faults, with a scripted server

using Fault = testsupport::ScriptedPop3Server::Fault;

class FaultTest : public ::testing::Test {
 protected:
  std::vector<std::string> threeMessages() {
    return {mailMessage("a@one.example", "me@home.example", "One"), mailMessage("b@two.example", "me@home.example", "Two"),
            mailMessage("c@three.example", "me@home.example", "Three")};
  }
  testsupport::ScriptedPop3Server server{threeMessages()};
  MailboxUser user{server.port()};

  Commands commands() {
    EXPECT_TRUE(server.waitIdle());
    return server.commands();
  }
  // Faults `command` (and only it) with `fault`.
  void fault(const std::string& command, Fault with) {
    server.setFaultHook([command, with](const std::string& line) { return line == command ? with : Fault{}; });
  }
};

TEST_F(FaultTest, RefusedLoginEndsTheOperation) {
  fault("PASS secret", Fault::replyWith("-ERR [AUTH] Authentication failed."));
  try {
    user.operations.receive();
    ADD_FAILURE() << "no error";
  } catch (const Pop3Error& error) {
    EXPECT_NE(std::string(error.what()).find("refused the login: [AUTH] Authentication failed."), std::string::npos)
        << error.what();
  }
  EXPECT_FALSE(user.mailbox.isConnected());
  EXPECT_EQ(commands(), (Commands{"USER filter", "PASS secret"}));
  EXPECT_EQ(user.table.rowCount(), 1);
}

TEST_F(FaultTest, AHeaderTheServerRefusesGivesOneErrorRow) {
  fault("TOP 2 0", Fault::replyWith("-ERR no such message"));
  user.operations.receive();
  EXPECT_EQ(rowsOf(user.table.listedRows), (Rows{{"1", "a@one.example", "me@home.example", "One", ""},
                                                 {"3", "c@three.example", "me@home.example", "Three", ""},
                                                 {"2", "ERROR", "ERROR", "ERROR", "From"}}));
  EXPECT_EQ(user.table.status[1], "To be removed: 1");
  EXPECT_EQ(user.table.status[2], "Remained message: 2");
  EXPECT_EQ(commands().back(), "QUIT");
}

TEST_F(FaultTest, AfterABrokenConnectionEveryFurtherRowIsAnErrorRow) {
  fault("TOP 2 0", Fault::dropAtOnce());
  user.operations.receive();
  const Rows rows = rowsOf(user.table.listedRows);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][1], "a@one.example");
  EXPECT_EQ(rows[1], (std::vector<std::string>{"2", "ERROR", "ERROR", "ERROR", "From"}));
  EXPECT_EQ(rows[2], (std::vector<std::string>{"3", "ERROR", "ERROR", "ERROR", "From"}));
  // With pipelining TOP 3 0 may have gone out before the drop; nothing after it.
  Commands sent = commands();
  if (sent.back() == "TOP 3 0") sent.pop_back();
  EXPECT_EQ(sent, loginThen({"STAT", "UIDL", "TOP 1 0", "TOP 2 0"}));
}

TEST_F(FaultTest, AnOverLongLineIsAnError) {
  fault("TOP 1 0", Fault::replyWith("+OK\r\nSubject: " + std::string(Pop3Client::maxLineLength, 'x') + "\r\n."));
  user.operations.receive();
  const Rows rows = rowsOf(user.table.listedRows);
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) EXPECT_EQ(row[1], "ERROR");
}

TEST_F(FaultTest, AServerThatStopsAnsweringEndsTheOperationAfterTheReadTimeOut) {
  fault("TOP 2 0", Fault::staySilent());
  user.mailbox.setReadTimeout(300);
  EXPECT_THROW(user.operations.receive(), Pop3Timeout);
  EXPECT_FALSE(user.mailbox.isConnected());
  EXPECT_EQ(user.table.cell(1, 1), "a@one.example");  // the list keeps what it had
  const Commands sent = commands();
  EXPECT_NE(std::find(sent.begin(), sent.end(), "TOP 2 0"), sent.end());
  EXPECT_EQ(std::find(sent.begin(), sent.end(), "QUIT"), sent.end());
}

TEST_F(FaultTest, CancelDropsTheConnectionWithoutQuit) {
  user.setAutoRemove(true);
  user.addRule<EmailFrom>("example", true);
  fault("TOP 2 0", Fault::delayBy(3000));
  QTimer::singleShot(200, &user.mailbox, [this] { user.mailbox.cancel(); });
  EXPECT_THROW(user.operations.receive(), Pop3Cancelled);
  const Commands sent = commands();
  ASSERT_GE(sent.size(), 7u);
  EXPECT_EQ(Commands(sent.begin(), sent.begin() + 7), loginThen({"STAT", "UIDL", "TOP 1 0", "TOP 2 0"}));
  for (const std::string& command : sent) {
    EXPECT_NE(command, "QUIT");
    EXPECT_EQ(command.rfind("DELE", 0), std::string::npos);
  }
  EXPECT_EQ(server.messages().size(), 3u);
}

// Without UIDL a remove in a new connection checks each marked message by its header
// before deleting it, and leaves alone what it cannot find at its listed number.
TEST_F(FaultTest, WithoutUniqueIdsARemoveVerifiesEachMessageByItsHeader) {
  server.setFaultHook([](const std::string& line) {
    return line == "UIDL" ? Fault::replyWith("-ERR command not available") : Fault{};
  });
  user.addRule<EmailFrom>("two.example", true);
  user.addRule<EmailFrom>("three.example", true);
  user.operations.receive();
  server.deliver(mailMessage("late@two.example", "me@home.example", "Never listed"));

  const size_t before = commands().size();
  user.operations.remove();
  const Commands sent = commands();
  EXPECT_EQ(Commands(sent.begin() + long(before), sent.end()),
            loginThen({"TOP 2 0", "TOP 3 0", "DELE 2", "DELE 3", "QUIT"}));
  const auto left = server.messages();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_TRUE(holdsSubject(left, "One"));
  EXPECT_TRUE(holdsSubject(left, "Never listed"));
}

TEST_F(FaultTest, WithoutUniqueIdsAShiftedMessageIsSkipped) {
  server.setFaultHook([](const std::string& line) {
    return line == "UIDL" ? Fault::replyWith("-ERR command not available") : Fault{};
  });
  user.addRule<EmailFrom>("three.example", true);
  user.operations.receive();

  // Another client deletes message 1: "Three" is now number 2.
  deleteByAnotherClient(server.port(), 1);

  user.operations.remove();
  EXPECT_EQ(commands().back(), "QUIT");
  EXPECT_EQ(server.messages().size(), 2u);
  EXPECT_EQ(user.operations.skippedByLastRemove, 1);
}

}  // namespace
