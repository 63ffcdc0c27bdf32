// Servers for the mail tests: a real Dovecot POP3 server run from a private
// configuration, a proxy that records what a client sends, and a small scripted
// POP3 server that produces the faults a real server does not.
//
// Each runs on 127.0.0.1 on a port the kernel picks, and does its network work
// in a thread of its own, so a client under test may block in its calling thread
// (for instance in Qt's waitFor* calls) without stalling the peer. Every public
// member may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace testsupport {

// TLS for a Dovecot server: its certificate and key files; empty for plain POP3 only.
struct DovecotOptions {
  std::string certFile;
  std::string keyFile;
};

// Certificates for TLS tests, made with the openssl command line in a temporary
// directory: a test authority ("ca.pem"), and certificates named "server" (localhost
// and 127.0.0.1, signed by the authority), "otherhost" (mail.other.example, signed),
// "selfsigned" and "selfsigned2" (localhost, two different self-signed ones).
class TestCertificates {
 public:
  TestCertificates();  // throws std::runtime_error when openssl fails
  std::string authority() const;
  DovecotOptions server(const std::string& name) const;

 private:
  TempDir tempDirectory;
  std::string dir;
};

// Dovecot serving one POP3 account over a maildir, started from a configuration
// written into a fresh directory under /tmp (short, so Dovecot's socket paths
// fit). Nothing from the system's own Dovecot configuration is used, and a
// system-wide instance is left alone. Run as root, mail is accessed as `nobody`;
// run as another user, everything runs as that user.
//
// Starting takes a few tenths of a second, so a test program usually starts one
// for all its cases (in SetUpTestSuite) and changes the mailbox between sessions.
// Create it in a thread that outlives it, such as the main thread: should the
// program die without the destructor, Dovecot stops when that thread ends.
class DovecotServer {
 public:
  // Throws std::runtime_error, with Dovecot's log, when Dovecot cannot be started
  // or does not answer within 15 s.
  explicit DovecotServer(const DovecotOptions& options = {});
  // Stops Dovecot with every process it started and removes the directory.
  ~DovecotServer();
  DovecotServer(const DovecotServer&) = delete;
  DovecotServer& operator=(const DovecotServer&) = delete;

  uint16_t port() const { return listenPort; }
  // The port of POP3 over TLS from the first byte (0 without a certificate); the plain
  // port then offers STLS.
  uint16_t tlsPort() const { return secureListenPort; }
  const std::string& user() const { return userName; }
  const std::string& password() const { return userPassword; }

  // The mailbox, changed only while no session is open. Messages are stored as
  // given (LF or CRLF line ends; Dovecot sends CRLF either way).
  //
  // setMessages replaces the whole mailbox: message i becomes number i+1 and
  // every message gets a unique id never used before in this server. deliver
  // appends one message, which gets the next number and a new unique id, while
  // the messages already there keep theirs.
  void setMessages(const std::vector<std::string>& messages);
  void deliver(const std::string& message);
  // The messages now in the mailbox, in the server's order; messages deleted in
  // a session are gone once the session has ended with QUIT.
  std::vector<std::string> messages() const;

  // Dovecot's log and whatever it wrote to stderr.
  std::string log() const;
  const std::string& directory() const { return dir; }

 private:
  void start();
  void stop();
  std::string maildirFile(uint64_t sequence) const;
  void store(const std::string& message);

  std::string dir;
  std::string userName = "filter";
  std::string userPassword = "secret";
  uid_t mailUid = 0;
  gid_t mailGid = 0;
  pid_t masterPid = -1;
  uint16_t listenPort = 0;
  uint16_t secureListenPort = 0;
  uint64_t nextSequence = 1;
  mutable std::mutex mutex;
};

// Forwards TCP connections from a client to 127.0.0.1:upstreamPort and records
// every line the client sends, without its line end, in order across
// connections. Half-closes are passed on, so a connection ends when both sides
// have closed it.
class RecordingProxy {
 public:
  explicit RecordingProxy(uint16_t upstreamPort);
  ~RecordingProxy();  // closes any open connection
  RecordingProxy(const RecordingProxy&) = delete;
  RecordingProxy& operator=(const RecordingProxy&) = delete;

  uint16_t port() const { return listenPort; }
  std::vector<std::string> commands() const;
  void clear();
  // Waits until no connection is open or waiting to be accepted; false on time-out.
  bool waitIdle(int timeoutMs = 5000);

 private:
  struct Session;
  void run();

  uint16_t upstream;
  uint16_t listenPort = 0;
  int listenFd = -1;
  int wake[2] = {-1, -1};
  int open = 0;
  std::vector<std::string> lines;
  mutable std::mutex mutex;
  std::thread thread;
};

// A POP3 server of its own over a list of messages. By default it answers as a
// real server does: greeting "+OK ready"; USER and PASS accept the configured
// pair (anything else gets -ERR); CAPA, STAT, LIST and UIDL (all or one), TOP n k,
// RETR n (multi-line, dot-stuffed, CRLF), DELE, RSET, NOOP; QUIT applies the
// deletions, answers "+OK bye" and closes. Messages are sent with CRLF line ends
// whatever they were given with, and sizes count those. Each message has a
// unique id "uid<k>", k counting from 1 in the order messages were added.
//
// A fault hook sees every command line and may replace its handling, to produce
// what a client must survive.
class ScriptedPop3Server {
 public:
  struct Fault {
    enum Kind {
      none,    // answer normally
      reply,   // send `text` + CRLF instead, state unchanged (text may hold CRLFs)
      drop,    // close the connection at once, answering nothing
      silent,  // never answer this or anything later; the connection stays open
               // until the client closes it
      delay,   // answer normally after delayMs; later commands wait their turn
    };
    Kind kind = none;
    std::string text;
    int delayMs = 0;
    bool closeAfter = false;  // with none, reply or delay: close once answered

    static Fault replyWith(std::string text) { return {reply, std::move(text), 0, false}; }
    static Fault dropAtOnce() { return {drop, {}, 0, false}; }
    static Fault staySilent() { return {silent, {}, 0, false}; }
    static Fault delayBy(int ms) { return {delay, {}, ms, false}; }
    Fault thenClose() const {
      Fault f = *this;
      f.closeAfter = true;
      return f;
    }
  };

  explicit ScriptedPop3Server(std::vector<std::string> messages, std::string user = "filter",
                              std::string password = "secret");
  ~ScriptedPop3Server();  // closes any open connection
  ScriptedPop3Server(const ScriptedPop3Server&) = delete;
  ScriptedPop3Server& operator=(const ScriptedPop3Server&) = delete;

  uint16_t port() const { return listenPort; }
  const std::string& user() const { return userName; }
  const std::string& password() const { return userPassword; }

  // The hook runs in the server's thread, once per command line (such as
  // "TOP 2 0"), when the command's turn to be answered comes. It may call this
  // object's other members.
  void setFaultHook(std::function<Fault(const std::string& command)> hook);
  // What a new connection gets instead of "+OK ready" (text for `reply`).
  void setGreeting(Fault greeting);

  void deliver(const std::string& message);  // appended with a new unique id
  std::vector<std::string> commands() const;  // every line received, in order
  std::vector<std::string> messages() const;  // what is left after QUIT deletions
  bool waitIdle(int timeoutMs = 5000);

 private:
  struct Message {
    std::string uidl;
    std::string text;  // CRLF line ends, ending with CRLF
  };
  struct Connection;
  void run();
  void greet(Connection& c);
  void process(Connection& c);
  std::string answer(Connection& c, const std::string& line);

  std::string userName;
  std::string userPassword;
  uint16_t listenPort = 0;
  int listenFd = -1;
  int wake[2] = {-1, -1};
  int open = 0;
  uint64_t nextUid = 1;
  std::vector<Message> mailbox;
  std::vector<std::string> lines;
  std::function<Fault(const std::string&)> hook;
  Fault greeting;
  mutable std::mutex mutex;
  std::thread thread;
};

}  // namespace testsupport
