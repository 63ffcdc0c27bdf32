// Receiving and removing over a slow link: a local Dovecot behind a proxy that delays
// every byte by 50 ms each way (a server 100 ms of round trip away), with and without
// pipelining.
//
//   pipeline_bench [MESSAGES] [DELAY_MS]      (default: 1000, 50)
//
// Reported: the receive of MESSAGES headers (login, STAT, UIDL, TOP for each, QUIT)
// and the remove of every second message in a new connection (login, UIDL, DELE for
// each, QUIT), each pipelined and one command at a time, and the speed-up.
#include <QCoreApplication>

#include <cstdio>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "delayproxy.h"
#include "mailoperations.h"
#include "mailserver.h"
#include "messagetable.h"
#include "pop3client.h"
#include "tables.h"

namespace {

std::string message(int i) {
  return "From: sender" + std::to_string(i) + "@lists.example\r\nTo: me@home.example\r\nSubject: Issue " +
         std::to_string(i) + (i % 2 == 0 ? " even" : " odd") +
         "\r\nMessage-ID: <" + std::to_string(i) + "@lists.example>\r\n\r\nBody.\r\n";
}

struct Times {
  double receive = 0;
  double remove = 0;
};

Times run(keldraDatabase& db, testsupport::DovecotServer& server, const std::vector<std::string>& mailbox,
          bool pipelined) {
  server.setMessages(mailbox);
  MessageTable table;
  Pop3Client client;
  client.allowPipelining(pipelined);
  MailOperations operations(db, client, table);
  Times times;
  double start = nowSeconds();
  operations.receive();
  times.receive = nowSeconds() - start;
  start = nowSeconds();
  operations.remove();  // a new connection: UIDL, then one DELE per marked message
  times.remove = nowSeconds() - start;
  if (server.messages().size() != mailbox.size() - size_t(operations.removeCount)) {
    std::fprintf(stderr, "the remove deleted the wrong messages\n");
  }
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int delay = argc > 2 ? std::atoi(argv[2]) : 50;

  testsupport::DovecotServer server;
  DelayProxy proxy(server.port(), delay);
  std::vector<std::string> mailbox;
  for (int i = 1; i <= count; i++) mailbox.push_back(message(i));

  char directory[] = "/tmp/pipeline_bench.XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string file = std::string(directory) + "/bench.kld";
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  if (!db.open("pipeline_bench", file.c_str())) return 1;
  Config config = firstRunConfig();
  config.server = "127.0.0.1";
  config.port = int16_t(proxy.port());
  config.username = server.user().c_str();
  config.password = server.password().c_str();
  config.security = "None";
  insertConfig(db, config);
  insertRule<EmailSubject>(db, "even", true);  // marks every second message
  db.commit();

  std::printf("%d messages through a proxy adding %d ms each way (round trip %d ms)\n", count, delay, 2 * delay);
  const Times pipelined = run(db, server, mailbox, true);
  std::printf("pipelined:         receive %8.2f s   remove of %d %8.2f s\n", pipelined.receive, count / 2,
              pipelined.remove);
  const Times serial = run(db, server, mailbox, false);
  std::printf("one at a time:     receive %8.2f s   remove of %d %8.2f s\n", serial.receive, count / 2, serial.remove);
  std::printf("speed-up:          receive %8.1fx    remove        %8.1fx\n", serial.receive / pipelined.receive,
              serial.remove / pipelined.remove);
  db.close();
  unlink(file.c_str());
  rmdir(directory);
  return 0;
}
