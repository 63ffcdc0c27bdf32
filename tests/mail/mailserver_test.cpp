// The mail test servers themselves: a session against Dovecot through the
// recording proxy, mailbox changes between sessions, and every fault the scripted
// server produces, each checked with a small blocking client.
#include "mailserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using testsupport::DovecotServer;
using testsupport::RecordingProxy;
using testsupport::ScriptedPop3Server;
using Fault = ScriptedPop3Server::Fault;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A blocking POP3 client: one command at a time, every read with a time-out.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close();
  }
  ~Client() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  void send(const std::string& line) {
    std::string out = line + "\r\n";
    ASSERT_EQ(::send(fd, out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
  }

  // The next line without CRLF; nothing on time-out or when the server closed.
  std::optional<std::string> line(int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t nl = buffer.find("\r\n");
      if (nl != std::string::npos) {
        std::string out = buffer.substr(0, nl);
        buffer.erase(0, nl + 2);
        return out;
      }
      if (!fill(deadline)) return std::nullopt;
    }
  }

  // The raw lines of a multi-line answer up to, not including, the final ".".
  std::vector<std::string> rawBlock() {
    std::vector<std::string> out;
    for (;;) {
      std::string l = line().value_or(".");
      if (l == ".") break;
      out.push_back(std::move(l));
    }
    return out;
  }
  std::vector<std::string> block() {
    std::vector<std::string> out = rawBlock();
    for (auto& l : out)
      if (l.rfind("..", 0) == 0) l.erase(0, 1);
    return out;
  }

  std::string command(const std::string& text) {
    send(text);
    return line().value_or("<no answer>");
  }

  // True when the server closes the connection within the time (any unread data
  // is skipped); the client then closes its side too, as a real client would.
  bool closedByPeer(int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    buffer.clear();
    while (fill(deadline)) buffer.clear();
    if (eof) close();
    return eof;
  }

 private:
  bool fill(Clock::time_point deadline) {
    if (fd < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, int(left)) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      eof = true;
      return false;
    }
    buffer.append(buf, size_t(n));
    return true;
  }

  int fd = -1;
  bool eof = false;
  std::string buffer;
};

size_t openFds() {
  return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

bool ok(const std::string& reply) { return reply.rfind("+OK", 0) == 0; }
bool err(const std::string& reply) { return reply.rfind("-ERR", 0) == 0; }

std::string numbered(int i) {
  return "From: sender@example.org\nSubject: message " + std::to_string(i) + "\n\nbody " + std::to_string(i) +
         "\n";
}

// The UIDL values of a logged-in session, in message order.
std::vector<std::string> uidls(Client& c) {
  std::vector<std::string> out;
  if (!ok(c.command("UIDL"))) return out;
  for (const auto& l : c.block()) out.push_back(l.substr(l.find(' ') + 1));
  return out;
}

// ---------------------------------------------------------------------------
// Dovecot, through the recording proxy

class DovecotTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      const auto start = Clock::now();
      server = new DovecotServer();
      std::printf("Dovecot started in %lld ms\n", msSince(start));
    } catch (const std::exception& e) {
      startError = e.what();
    }
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    if (server == nullptr) GTEST_FAIL() << startError;
  }
  void TearDown() override {
    if (HasFailure() && server != nullptr) std::printf("Dovecot's log:\n%s\n", server->log().c_str());
  }

  // Opens a session and logs in.
  static std::unique_ptr<Client> login(uint16_t port) {
    auto c = std::make_unique<Client>(port);
    EXPECT_TRUE(ok(c->line().value_or(""))) << "no greeting";
    EXPECT_TRUE(ok(c->command("USER " + server->user())));
    EXPECT_TRUE(ok(c->command("PASS " + server->password())));
    return c;
  }
  static void quit(Client& c) {
    EXPECT_TRUE(ok(c.command("QUIT")));
    EXPECT_TRUE(c.closedByPeer());
  }

  static DovecotServer* server;
  static std::string startError;
};

DovecotServer* DovecotTest::server = nullptr;
std::string DovecotTest::startError;

TEST_F(DovecotTest, SessionThroughProxyIsRecordedAndDeletionsApplyAtQuit) {
  server->setMessages({numbered(1), numbered(2), numbered(3)});
  RecordingProxy proxy(server->port());
  {
    Client c(proxy.port());
    ASSERT_TRUE(ok(c.line().value_or("")));
    ASSERT_TRUE(ok(c.command("CAPA")));
    std::vector<std::string> caps = c.block();
    for (const char* cap : {"PIPELINING", "UIDL", "TOP", "USER"})
      EXPECT_NE(std::find(caps.begin(), caps.end(), cap), caps.end()) << cap;
    ASSERT_TRUE(ok(c.command("USER filter")));
    ASSERT_TRUE(ok(c.command("PASS secret")));
    EXPECT_EQ(c.command("STAT").rfind("+OK 3 ", 0), 0u);
    std::vector<std::string> ids = uidls(c);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
    // The messages are numbered in the order they were given.
    for (int i = 1; i <= 3; ++i) {
      ASSERT_TRUE(ok(c.command("TOP " + std::to_string(i) + " 0")));
      std::vector<std::string> head = c.block();
      EXPECT_NE(std::find(head.begin(), head.end(), "Subject: message " + std::to_string(i)), head.end());
    }
    EXPECT_TRUE(ok(c.command("DELE 2")));
    quit(c);
  }
  ASSERT_TRUE(proxy.waitIdle());
  EXPECT_EQ(proxy.commands(), (std::vector<std::string>{"CAPA", "USER filter", "PASS secret", "STAT", "UIDL",
                                                         "TOP 1 0", "TOP 2 0", "TOP 3 0", "DELE 2", "QUIT"}));
  EXPECT_EQ(server->messages(), (std::vector<std::string>{numbered(1), numbered(3)}));

  // The next connection through the same proxy is recorded too.
  proxy.clear();
  auto c = login(proxy.port());
  EXPECT_EQ(c->command("STAT").rfind("+OK 2 ", 0), 0u);
  quit(*c);
  ASSERT_TRUE(proxy.waitIdle());
  EXPECT_EQ(proxy.commands(), (std::vector<std::string>{"USER filter", "PASS secret", "STAT", "QUIT"}));
}

TEST_F(DovecotTest, DeliveriesGetNewNumbersAndUidlsWhileOldOnesStay) {
  server->setMessages({numbered(1), numbered(2)});
  std::vector<std::string> before;
  {
    auto c = login(server->port());
    before = uidls(*c);
    quit(*c);
  }
  ASSERT_EQ(before.size(), 2u);

  server->deliver(numbered(3));
  std::vector<std::string> after;
  {
    auto c = login(server->port());
    after = uidls(*c);
    ASSERT_TRUE(ok(c->command("RETR 3")));
    std::vector<std::string> body = c->block();
    EXPECT_NE(std::find(body.begin(), body.end(), "Subject: message 3"), body.end());
    // A retrieved message is marked seen, which renames its file.
    EXPECT_TRUE(ok(c->command("RETR 1")));
    c->block();
    quit(*c);
  }
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[1], before[1]);
  EXPECT_NE(after[2], before[0]);
  EXPECT_NE(after[2], before[1]);
  EXPECT_EQ(server->messages(), (std::vector<std::string>{numbered(1), numbered(2), numbered(3)}));

  // A replaced mailbox has none of the old ids, and keeps its order past nine.
  std::vector<std::string> fresh;
  for (int i = 1; i <= 12; ++i) fresh.push_back(numbered(100 + i));
  server->setMessages(fresh);
  {
    auto c = login(server->port());
    std::vector<std::string> ids = uidls(*c);
    ASSERT_EQ(ids.size(), 12u);
    for (const auto& id : ids) EXPECT_EQ(std::find(after.begin(), after.end(), id), after.end()) << id;
    ASSERT_TRUE(ok(c->command("TOP 12 0")));
    std::vector<std::string> head = c->block();
    EXPECT_NE(std::find(head.begin(), head.end(), "Subject: message 112"), head.end());
    quit(*c);
  }
  EXPECT_EQ(server->messages(), fresh);
}

TEST_F(DovecotTest, WrongPasswordsAreRefusedWithoutAGrowingDelay) {
  server->setMessages({numbered(1)});
  const auto start = Clock::now();
  for (int i = 0; i < 3; ++i) {
    Client c(server->port());
    ASSERT_TRUE(ok(c.line().value_or("")));
    ASSERT_TRUE(ok(c.command("USER filter")));
    EXPECT_TRUE(err(c.command("PASS wrong")));
  }
  auto c = login(server->port());
  EXPECT_EQ(c->command("STAT").rfind("+OK 1 ", 0), 0u);
  quit(*c);
  // With Dovecot's penalty the fourth login alone would wait 8 s.
  EXPECT_LT(msSince(start), 6000);
}

// ---------------------------------------------------------------------------
// The scripted server

const std::vector<std::string> kTwoMessages = {"Subject: a\n\nline\n.dot\n", "Subject: b\r\n\r\nx\r\ny\r\n"};

std::unique_ptr<Client> loginScripted(ScriptedPop3Server& s) {
  auto c = std::make_unique<Client>(s.port());
  EXPECT_EQ(c->line().value_or(""), "+OK ready");
  EXPECT_TRUE(ok(c->command("USER filter")));
  EXPECT_TRUE(ok(c->command("PASS secret")));
  return c;
}

TEST(ScriptedPop3Server, AnswersLikeARealServer) {
  ScriptedPop3Server s(kTwoMessages);
  Client c(s.port());
  ASSERT_EQ(c.line().value_or(""), "+OK ready");
  EXPECT_TRUE(err(c.command("STAT")));
  EXPECT_TRUE(ok(c.command("USER filter")));
  EXPECT_TRUE(err(c.command("PASS wrong")));
  EXPECT_TRUE(err(c.command("PASS secret")));  // USER must come again
  EXPECT_TRUE(ok(c.command("USER filter")));
  ASSERT_TRUE(ok(c.command("PASS secret")));
  // Sizes count CRLF line ends: 26 and 20 octets.
  EXPECT_EQ(c.command("STAT"), "+OK 2 46");
  ASSERT_TRUE(ok(c.command("LIST")));
  EXPECT_EQ(c.block(), (std::vector<std::string>{"1 26", "2 20"}));
  ASSERT_TRUE(ok(c.command("UIDL")));
  EXPECT_EQ(c.block(), (std::vector<std::string>{"1 uid1", "2 uid2"}));
  EXPECT_EQ(c.command("UIDL 2"), "+OK 2 uid2");
  EXPECT_TRUE(err(c.command("UIDL 3")));
  ASSERT_TRUE(ok(c.command("TOP 2 1")));
  EXPECT_EQ(c.block(), (std::vector<std::string>{"Subject: b", "", "x"}));
  ASSERT_TRUE(ok(c.command("RETR 1")));
  EXPECT_EQ(c.rawBlock(), (std::vector<std::string>{"Subject: a", "", "line", "..dot"}));
  EXPECT_TRUE(ok(c.command("DELE 1")));
  EXPECT_TRUE(err(c.command("RETR 1")));
  EXPECT_EQ(c.command("STAT"), "+OK 1 20");
  EXPECT_TRUE(ok(c.command("RSET")));
  EXPECT_EQ(c.command("STAT"), "+OK 2 46");
  EXPECT_TRUE(ok(c.command("NOOP")));
  EXPECT_TRUE(ok(c.command("DELE 1")));
  EXPECT_EQ(c.command("QUIT"), "+OK bye");
  EXPECT_TRUE(c.closedByPeer());
  ASSERT_TRUE(s.waitIdle());
  EXPECT_EQ(s.messages(), std::vector<std::string>{kTwoMessages[1]});
  EXPECT_EQ(s.commands().size(), 21u);
  EXPECT_EQ(s.commands().back(), "QUIT");

  // A session that ends without QUIT deletes nothing; a delivery comes last.
  s.deliver("Subject: c\n\nz\n");
  {
    auto c2 = loginScripted(s);
    EXPECT_TRUE(ok(c2->command("DELE 1")));
    EXPECT_EQ(c2->command("UIDL 2"), "+OK 2 uid3");
  }
  ASSERT_TRUE(s.waitIdle());
  EXPECT_EQ(s.messages().size(), 2u);
}

TEST(ScriptedPop3Server, ReplyFaultReplacesTheAnswerAndLeavesTheStateAlone) {
  ScriptedPop3Server s(kTwoMessages);
  const std::string longLine(5000, 'x');
  s.setFaultHook([&](const std::string& command) {
    if (command == "TOP 1 0") return Fault::replyWith("+OK\r\n" + longLine + "\r\n.");
    if (command == "DELE 2") return Fault::replyWith("-ERR busy");
    return Fault{};
  });
  auto c = loginScripted(s);
  ASSERT_TRUE(ok(c->command("TOP 1 0")));
  EXPECT_EQ(c->block(), std::vector<std::string>{longLine});
  EXPECT_EQ(c->command("DELE 2"), "-ERR busy");
  EXPECT_TRUE(ok(c->command("QUIT")));
  EXPECT_TRUE(c->closedByPeer());
  ASSERT_TRUE(s.waitIdle());
  EXPECT_EQ(s.messages().size(), 2u);
}

TEST(ScriptedPop3Server, DropFaultClosesAtOnce) {
  ScriptedPop3Server s(kTwoMessages);
  s.setFaultHook([](const std::string& command) {
    return command.rfind("RETR", 0) == 0 ? Fault::dropAtOnce() : Fault{};
  });
  auto c = loginScripted(s);
  EXPECT_TRUE(ok(c->command("DELE 1")));
  c->send("NOOP\r\nRETR 2");  // pipelined: the NOOP is still answered
  EXPECT_EQ(c->line().value_or(""), "+OK");
  EXPECT_FALSE(c->line().has_value());
  EXPECT_TRUE(c->closedByPeer(0));
  ASSERT_TRUE(s.waitIdle());
  EXPECT_EQ(s.messages().size(), 2u);  // no QUIT, no deletion
}

TEST(ScriptedPop3Server, SilentFaultAnswersNothingUntilTheClientCloses) {
  ScriptedPop3Server s(kTwoMessages);
  s.setFaultHook([](const std::string& command) {
    return command == "STAT" ? Fault::staySilent() : Fault{};
  });
  auto c = loginScripted(s);
  c->send("STAT");
  c->send("NOOP");
  EXPECT_FALSE(c->line(300).has_value());
  EXPECT_FALSE(c->closedByPeer(0));
  EXPECT_FALSE(s.waitIdle(50));
  c->close();
  EXPECT_TRUE(s.waitIdle());
  // Lines are recorded even when they go unanswered.
  EXPECT_EQ(s.commands().back(), "NOOP");
}

TEST(ScriptedPop3Server, DelayFaultAnswersLaterAndInOrder) {
  ScriptedPop3Server s(kTwoMessages);
  s.setFaultHook([](const std::string& command) {
    return command == "UIDL" ? Fault::delayBy(300) : Fault{};
  });
  auto c = loginScripted(s);
  const auto start = Clock::now();
  c->send("UIDL");
  c->send("STAT");  // pipelined: answered only after the delayed UIDL
  EXPECT_TRUE(ok(c->line().value_or("")));
  EXPECT_GE(msSince(start), 300);
  EXPECT_EQ(c->block(), (std::vector<std::string>{"1 uid1", "2 uid2"}));
  EXPECT_EQ(c->line().value_or(""), "+OK 2 46");
}

TEST(ScriptedPop3Server, CloseAfterEndsTheConnectionOnceAnswered) {
  ScriptedPop3Server s(kTwoMessages);
  s.setFaultHook([](const std::string& command) {
    if (command == "RETR 1") return Fault::replyWith("+OK\r\nSubject: a\r\n\r\npartial").thenClose();
    return Fault{};
  });
  auto c = loginScripted(s);
  ASSERT_TRUE(ok(c->command("RETR 1")));
  EXPECT_EQ(c->line().value_or(""), "Subject: a");
  EXPECT_EQ(c->line().value_or(""), "");
  EXPECT_EQ(c->line().value_or(""), "partial");
  EXPECT_FALSE(c->line().has_value());
  EXPECT_TRUE(c->closedByPeer(0));
}

TEST(ScriptedPop3Server, GreetingFaults) {
  ScriptedPop3Server s(kTwoMessages);
  {
    s.setGreeting(Fault::replyWith("-ERR go away").thenClose());
    Client c(s.port());
    EXPECT_EQ(c.line().value_or(""), "-ERR go away");
    EXPECT_TRUE(c.closedByPeer());
  }
  {
    s.setGreeting(Fault::dropAtOnce());
    Client c(s.port());
    EXPECT_TRUE(c.closedByPeer());
  }
  {
    s.setGreeting(Fault::staySilent());
    Client c(s.port());
    EXPECT_FALSE(c.line(200).has_value());
    c.send("USER filter");
    EXPECT_FALSE(c.line(200).has_value());
    EXPECT_FALSE(c.closedByPeer(0));
  }
  {
    s.setGreeting(Fault::delayBy(200));
    const auto start = Clock::now();
    Client c(s.port());
    c.send("USER filter");
    EXPECT_EQ(c.line().value_or(""), "+OK ready");
    EXPECT_GE(msSince(start), 200);
    EXPECT_TRUE(ok(c.line().value_or("")));
  }
  EXPECT_TRUE(s.waitIdle());
}

TEST(ScriptedPop3Server, DestructionDoesNotWaitForOpenConnectionsNorLeaveFdsOpen) {
  const size_t fdsBefore = openFds();
  std::unique_ptr<Client> direct, viaProxy;
  const auto start = Clock::now();
  {
    ScriptedPop3Server s(kTwoMessages);
    s.setFaultHook([](const std::string&) { return Fault::staySilent(); });
    direct = std::make_unique<Client>(s.port());
    EXPECT_EQ(direct->line().value_or(""), "+OK ready");
    direct->send("USER filter");
    RecordingProxy proxy(s.port());
    viaProxy = std::make_unique<Client>(proxy.port());
    EXPECT_EQ(viaProxy->line().value_or(""), "+OK ready");
    EXPECT_FALSE(proxy.waitIdle(50));
  }
  EXPECT_LT(msSince(start), 2000);
  // Both connections were closed by the servers going away.
  EXPECT_TRUE(direct->closedByPeer(1000));
  EXPECT_TRUE(viaProxy->closedByPeer(1000));
  EXPECT_EQ(openFds(), fdsBefore);
}

}  // namespace
