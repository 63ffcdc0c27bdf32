// A receive of many messages from a local Dovecot with large rule tables.
//
//   receive_bench [MESSAGES] [RULES] [ROUNDS]      (default: 2000, 1000, 3)
//
// RULES rules in each of the three tables (half keep, half remove for From and
// Subject; remove only for To, so that the accepted-recipients step never cuts the walk
// short), almost none matching, so every message walks every consulted rule list.
//
// Reported per round:
//   receive    the whole F2 operation (login, STAT, UIDL, one TOP per message, parsing,
//              classification, list, QUIT), through the program's own code;
//   protocol   the same commands sent and answered by a bare socket client, no parsing:
//              the network and server wait the receive cannot avoid;
//   parsing    parsing every fetched header with the program's parser;
//   classify   classifying every message against the rule tables;
// and the time per message of each.
#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "classifier.h"
#include "mailmessage.h"
#include "mailoperations.h"
#include "mailserver.h"
#include "messagetable.h"
#include "pop3client.h"
#include "tables.h"

namespace {

// A header of the size and shape real mail has (about 1.3 KB).
std::string benchMessage(int i) {
  char text[2048];
  std::snprintf(text, sizeof text,
                "Return-Path: <sender%d@mail%d.example>\r\n"
                "Received: from mx%d.example (mx%d.example [192.0.2.%d])\r\n"
                "\tby pop.home.example with ESMTPS id %08x for <me@home.example>;\r\n"
                "\tFri, 11 Dec 2026 10:%02d:00 +0000\r\n"
                "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=mail%d.example; s=s1;\r\n"
                "\th=from:to:subject:date:message-id; bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\r\n"
                "\tb=dzdVyOfAKCdLXdJOc9G2q8LoXSlEniSbav+yuU4zGeeruD00lszZVoG4ZHRNiYzR\r\n"
                "From: =?UTF-8?B?U2VuZGVyIE7Dum1lcm8=?= %d <sender%d@mail%d.example>\r\n"
                "To: Me <me@home.example>, team%d@work.example\r\n"
                "Cc: friend%d@friends.example\r\n"
                "Subject: =?UTF-8?Q?Newsletter_n=C2=BA_%d_=E2=80=93_weekly_digest?=\r\n"
                "Date: Fri, 11 Dec 2026 10:%02d:00 +0000\r\n"
                "Message-ID: <%08x.%d@mail%d.example>\r\n"
                "MIME-Version: 1.0\r\n"
                "Content-Type: text/plain; charset=utf-8\r\n"
                "List-Unsubscribe: <https://mail%d.example/unsubscribe/%08x>\r\n"
                "\r\n"
                "Body of message %d.\r\n",
                i, i % 97, i % 13, i % 13, i % 250, unsigned(i) * 2654435761u, i % 60, i % 97, i, i, i % 97, i % 7,
                i, i, i % 60, unsigned(i) * 40503u, i, i % 97, i % 97, unsigned(i), i);
  return text;
}

// Rule texts that look like real ones and (almost) never occur in the messages.
std::string ruleText(const char* kind, int i) { return std::string(kind) + std::to_string(i) + ".blocked.example"; }

void fillRules(dbDatabase& db, int rules) {
  for (int i = 0; i < rules; i++) {
    insertRule<EmailFrom>(db, ruleText("from", i).c_str(), i % 2 == 0);
    insertRule<EmailTo>(db, ruleText("to", i).c_str(), true);
    insertRule<EmailSubject>(db, ruleText("subject", i).c_str(), i % 2 == 0);
  }
  db.commit();
}

// A blocking POP3 client of the bare protocol: sends a command, reads its reply.
class BareClient {
 public:
  explicit BareClient(uint16_t port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("connect");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    line();
  }
  ~BareClient() { close(fd); }
  // Sends `command` and returns the reply, up to the terminating "." when multi-line.
  std::string ask(const std::string& command, bool multiLine) {
    const std::string sent = command + "\r\n";
    if (write(fd, sent.data(), sent.size()) != ssize_t(sent.size())) throw std::runtime_error("write");
    std::string reply = line();
    if (!multiLine || reply.compare(0, 3, "+OK") != 0) return reply;
    for (std::string next = line(); next != "."; next = line()) reply += next + "\n";
    return reply;
  }

 private:
  std::string line() {
    for (;;) {
      const size_t end = buffer.find("\r\n");
      if (end != std::string::npos) {
        std::string text = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        return text;
      }
      char chunk[65536];
      const ssize_t got = read(fd, chunk, sizeof chunk);
      if (got <= 0) throw std::runtime_error("read");
      buffer.append(chunk, size_t(got));
    }
  }
  int fd = -1;
  std::string buffer;
};

// The receive's commands without parsing; returns the raw headers.
std::vector<std::string> bareReceive(uint16_t port, const std::string& user, const std::string& password, int count) {
  BareClient client(port);
  client.ask("USER " + user, false);
  client.ask("PASS " + password, false);
  client.ask("STAT", false);
  client.ask("UIDL", true);
  std::vector<std::string> headers;
  for (int i = 1; i <= count; i++) headers.push_back(client.ask("TOP " + std::to_string(i) + " 0", true));
  client.ask("QUIT", false);
  return headers;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int messages = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int rules = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;

  testsupport::DovecotServer server;
  std::vector<std::string> mailbox;
  for (int i = 0; i < messages; i++) mailbox.push_back(benchMessage(i));
  server.setMessages(mailbox);

  char directory[] = "/tmp/receive_bench.XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string file = std::string(directory) + "/bench.kld";
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  if (!db.open("receive_bench", file.c_str())) return 1;
  Config config = firstRunConfig();
  config.server = "127.0.0.1";
  config.port = int16_t(server.port());
  config.username = server.user().c_str();
  config.password = server.password().c_str();
  config.security = "None";  // the test server speaks plain POP3
  insertConfig(db, config);
  fillRules(db, rules);

  std::printf("receive of %d messages from a local Dovecot, %d rules in each table, %d rounds\n", messages, rules,
              rounds);
  std::printf("%-6s %10s %10s %10s %10s   %s\n", "round", "receive", "protocol", "parsing", "classify",
              "(seconds; per message in microseconds below)");
  for (int round = 1; round <= rounds; round++) {
    MessageTable table;
    Pop3Client mailbox;
    MailOperations operations(db, mailbox, table);
    double start = nowSeconds();
    operations.receive();
    const double receive = nowSeconds() - start;
    if (table.rowCount() != messages + 1) {
      std::fprintf(stderr, "listed %d rows\n", table.rowCount() - 1);
      return 1;
    }

    start = nowSeconds();
    const std::vector<std::string> headers = bareReceive(server.port(), server.user(), server.password(), messages);
    const double protocol = nowSeconds() - start;

    start = nowSeconds();
    std::vector<MessageFields> fields;
    for (const std::string& header : headers) {
      const MailMessage parsed = parseMailMessage(header);
      fields.push_back({parsed.fromAddress, parsed.recipients, parsed.subject});
    }
    const double parsing = nowSeconds() - start;

    start = nowSeconds();
    const RuleBook book = loadRuleBook(db);
    db.commit();
    int marked = 0;
    for (const MessageFields& message : fields) marked += classifyMessage(book, message) != Mark::none;
    const double classify = nowSeconds() - start;
    if (marked != operations.removeCount) {
      std::fprintf(stderr, "marks differ: %d and %d\n", marked, operations.removeCount);
      return 1;
    }

    std::printf("%-6d %10.3f %10.3f %10.3f %10.3f\n", round, receive, protocol, parsing, classify);
    std::printf("%-6s %10.1f %10.1f %10.1f %10.1f\n", "", receive / messages * 1e6, protocol / messages * 1e6,
                parsing / messages * 1e6, classify / messages * 1e6);
  }
  db.close();
  unlink(file.c_str());
  rmdir(directory);
  return 0;
}
