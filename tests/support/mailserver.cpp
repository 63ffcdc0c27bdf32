#include "mailserver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void failSys(const std::string& what) {
  throw std::runtime_error(what + ": " + strerror(errno));
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

uint16_t boundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) failSys("getsockname");
  return ntohs(a.sin_port);
}

// A non-blocking listening socket on 127.0.0.1 at a port the kernel picks.
int listenLoopback(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) failSys("socket");
  sockaddr_in a = loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    failSys("listening on 127.0.0.1");
  }
  port = boundPort(fd);
  return fd;
}

// A port that was free a moment ago, for a server that binds it itself.
uint16_t freePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) failSys("socket");
  sockaddr_in a = loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    failSys("bind");
  }
  uint16_t port = boundPort(fd);
  ::close(fd);
  return port;
}

int connectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void makeWakePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) failSys("pipe2");
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The listening socket and wake pipe of a server thread; on failure nothing stays open.
void openListener(int& listenFd, uint16_t& port, int wake[2]) {
  listenFd = listenLoopback(port);
  try {
    makeWakePipe(wake);
  } catch (...) {
    closeFd(listenFd);
    throw;
  }
}

// Wakes a server thread, waits for it to end and closes its listening socket and pipe.
void stopListener(std::thread& thread, int& listenFd, int wake[2]) {
  char c = 0;
  ssize_t n = write(wake[1], &c, 1);
  (void)n;
  thread.join();
  closeFd(listenFd);
  closeFd(wake[0]);
  closeFd(wake[1]);
}

// Sends as much of `out` as the socket takes now. False when the peer is gone.
bool sendPending(int fd, std::string& out) {
  while (!out.empty()) {
    ssize_t n = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      out.erase(0, size_t(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  return true;
}

enum class ReadResult { data, again, eof, error };

ReadResult readSome(int fd, std::string& into) {
  char buf[16384];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      into.append(buf, size_t(n));
      return ReadResult::data;
    }
    if (n == 0) return ReadResult::eof;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? ReadResult::again : ReadResult::error;
  }
}

// Moves every complete line out of `buffer` (line end removed) into `lines`.
void takeLines(std::string& buffer, std::vector<std::string>& lines) {
  size_t start = 0;
  for (size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
    size_t end = nl > start && buffer[nl - 1] == '\r' ? nl - 1 : nl;
    lines.push_back(buffer.substr(start, end - start));
  }
  buffer.erase(0, start);
}

bool acceptPending(int listenFd) {
  pollfd p{listenFd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// True once `open` is zero and no connection waits in the listen queue. The
// server threads accept and count a connection under the same mutex, so no
// connection slips between the two checks.
bool waitUntilIdle(std::mutex& mutex, const int& open, int listenFd, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      std::lock_guard lock(mutex);
      if (open == 0 && !acceptPending(listenFd)) return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int msUntil(Clock::time_point t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
  return ms < 0 ? 0 : int(std::min<long long>(ms + 1, 60000));
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::string& path, const std::string& text, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) failSys("creating " + path);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      failSys("writing " + path);
    }
    done += size_t(n);
  }
  ::close(fd);
}

// ---------------------------------------------------------------------------
// Dovecot

// Everything the configuration depends on. TLS is off while sslCert is empty;
// with a certificate and key it would be switched on here.
struct DovecotSettings {
  std::string dir;
  uint16_t port = 0;
  bool root = false;
  std::string internalUser, internalGroup, loginUser;
  uid_t mailUid = 0;
  gid_t mailGid = 0;
  std::string sslCert, sslKey;
  uint16_t tlsPort = 0;  // the pop3s listener, with a certificate
};

std::string dovecotConfig(const DovecotSettings& s) {
  const std::string& d = s.dir;
  // Login processes and anvil are chrooted by default, which needs root.
  const std::string chroot = s.root ? "" : "  chroot =\n";
  std::string c;
  c += "# Private instance for the mail tests; includes nothing from the system.\n";
  c += "base_dir = " + d + "/run\n";
  c += "state_dir = " + d + "/state\n";
  c += "instance_name = " + fs::path(d).filename().string() + "\n";
  c += "log_path = " + d + "/dovecot.log\n";
  c += "protocols = pop3\n";
  c += "listen = 127.0.0.1\n";
  c += "default_internal_user = " + s.internalUser + "\n";
  c += "default_internal_group = " + s.internalGroup + "\n";
  c += "default_login_user = " + s.loginUser + "\n";
  c += "first_valid_uid = 1\n";
  if (s.sslCert.empty()) {
    c += "ssl = no\n";
  } else {
    c += "ssl = yes\n";
    c += "ssl_cert = <" + s.sslCert + "\n";
    c += "ssl_key = <" + s.sslKey + "\n";
  }
  c += "disable_plaintext_auth = no\n";
  c += "auth_mechanisms = plain\n";
  c += "auth_verbose = yes\n";
  // Answer a wrong password at once rather than after 2 s.
  c += "auth_failure_delay = 0\n";
  c += "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " + d +
       "/passwd\n}\n";
  c += "userdb {\n  driver = static\n  args = uid=" + std::to_string(s.mailUid) +
       " gid=" + std::to_string(s.mailGid) + " home=" + d + "/home\n}\n";
  // Indexes in memory: every session reads the maildir afresh, so files the
  // tests add or remove between sessions are seen. The uidlist stays on disk and
  // keeps each message's UID (and so its UIDL) across sessions.
  c += "mail_location = maildir:" + d + "/mail:INDEX=MEMORY\n";
  c += "pop3_uidl_format = %08Xu%08Xv\n";
  c += "service pop3-login {\n" + chroot;
  c += "  inet_listener pop3 {\n    port = " + std::to_string(s.port) + "\n  }\n";
  c += "  inet_listener pop3s {\n    port = " + std::to_string(s.tlsPort) + "\n    ssl = yes\n  }\n}\n";
  // No growing delay for an address after failed logins: tests of wrong passwords
  // would slow every later login of the program.
  c += "service anvil {\n" + chroot;
  c += "  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
  return c;
}

std::string findDovecot() {
  for (const char* p : {"/usr/sbin/dovecot", "/usr/local/sbin/dovecot", "/usr/bin/dovecot"})
    if (access(p, X_OK) == 0) return p;
  throw std::runtime_error("Dovecot is not installed (no /usr/sbin/dovecot)");
}

// True when something on the port answers with a POP3 greeting.
bool greets(uint16_t port) {
  int fd = connectLoopback(port);
  if (fd < 0) return false;
  std::string got;
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (got.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, msUntil(deadline)) <= 0) break;
    char buf[512];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, size_t(n));
  }
  ::close(fd);
  return got.rfind("+OK", 0) == 0;
}

}  // namespace

DovecotServer::DovecotServer(const DovecotOptions& options) {
  // Dovecot's socket paths must fit in 108 bytes.
  const char* tmp = getenv("TMPDIR");
  std::string base = tmp != nullptr && *tmp == '/' && strlen(tmp) <= 40 ? tmp : "/tmp";
  std::string pattern = base + "/pd.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) failSys("mkdtemp in " + base);
  dir = pattern;
  try {
    DovecotSettings s;
    s.dir = dir;
    s.root = geteuid() == 0;
    if (s.root) {
      // Dovecot refuses mail access as root; mail is read as nobody and the
      // other processes run as the users the Dovecot package creates.
      const passwd* nobody = getpwnam("nobody");
      if (nobody == nullptr) throw std::runtime_error("no user nobody");
      mailUid = nobody->pw_uid;
      mailGid = nobody->pw_gid;
      if (getpwnam("dovecot") == nullptr || getpwnam("dovenull") == nullptr || getgrnam("dovecot") == nullptr)
        throw std::runtime_error("the users dovecot and dovenull are missing");
      s.internalUser = s.internalGroup = "dovecot";
      s.loginUser = "dovenull";
      if (chmod(dir.c_str(), 0711) != 0) failSys("chmod " + dir);
    } else {
      mailUid = getuid();
      mailGid = getgid();
      const passwd* me = getpwuid(mailUid);
      const group* myGroup = getgrgid(mailGid);
      if (me == nullptr || myGroup == nullptr)
        throw std::runtime_error("the current user or group has no name");
      s.internalUser = s.loginUser = me->pw_name;
      s.internalGroup = myGroup->gr_name;
    }
    s.mailUid = mailUid;
    s.mailGid = mailGid;
    s.sslCert = options.certFile;
    s.sslKey = options.keyFile;
    for (const char* sub : {"run", "state", "home", "mail", "mail/cur", "mail/new", "mail/tmp"}) {
      std::string path = dir + "/" + sub;
      if (mkdir(path.c_str(), 0700) != 0) failSys("mkdir " + path);
      if (s.root && (sub[0] == 'h' || sub[0] == 'm') && chown(path.c_str(), mailUid, mailGid) != 0)
        failSys("chown " + path);
    }
    if (s.root && chmod((dir + "/run").c_str(), 0755) != 0) failSys("chmod run");
    writeText(dir + "/passwd", userName + ":{PLAIN}" + userPassword + "\n", 0644);

    // The port is picked free and then bound by Dovecot; another program may take
    // it in between, in which case Dovecot exits and a new port is tried.
    for (int attempt = 1;; ++attempt) {
      s.port = freePort();
      if (!s.sslCert.empty()) s.tlsPort = freePort();
      writeText(dir + "/dovecot.conf", dovecotConfig(s), 0644);
      listenPort = s.port;
      secureListenPort = s.tlsPort;
      start();
      if (masterPid > 0) break;
      std::string text = log();
      if (attempt >= 5 || text.find("in use") == std::string::npos)
        throw std::runtime_error("Dovecot exited at start-up:\n" + text);
      unlink((dir + "/run/master.pid").c_str());
    }
  } catch (...) {
    stop();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    throw;
  }
}

DovecotServer::~DovecotServer() {
  stop();
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

// Starts Dovecot in the foreground as a child in a process group of its own and
// waits for its greeting. Leaves masterPid at -1 when Dovecot exits instead.
void DovecotServer::start() {
  const std::string binary = findDovecot();
  const std::string conf = dir + "/dovecot.conf";
  const char* argv[] = {binary.c_str(), "-F", "-c", conf.c_str(), nullptr};
  // Dovecot's output goes to a file: a pipe inherited by its daemons would keep a
  // caller that reads this program's output waiting for an end that never comes.
  int errFd = ::open((dir + "/stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (errFd < 0 || nullFd < 0) {
    closeFd(errFd);
    closeFd(nullFd);
    failSys("opening Dovecot's output file");
  }
  const pid_t parent = getpid();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here: the test program may have threads.
    setpgid(0, 0);
    // If the test program dies without its destructor running, Dovecot stops
    // too (the signal comes when the thread that forked ends).
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    dup2(nullFd, 0);
    dup2(errFd, 1);
    dup2(errFd, 2);
    close_range(3, ~0U, 0);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  int saved = errno;
  ::close(errFd);
  ::close(nullFd);
  if (pid < 0) {
    errno = saved;
    failSys("fork");
  }
  setpgid(pid, pid);
  masterPid = pid;

  const auto deadline = Clock::now() + std::chrono::seconds(15);
  for (;;) {
    int status = 0;
    if (waitpid(masterPid, &status, WNOHANG) == masterPid) {
      masterPid = -1;
      return;
    }
    if (greets(listenPort)) return;
    if (Clock::now() >= deadline)
      throw std::runtime_error("Dovecot did not answer on 127.0.0.1:" + std::to_string(listenPort) +
                               " within 15 s:\n" + log());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Kills Dovecot's whole process group at once. Its own orderly shutdown waits a
// fixed second for the log process, which every test program would pay; nothing
// it would save outlives the directory removed next.
void DovecotServer::stop() {
  if (masterPid <= 0) return;
  kill(-masterPid, SIGKILL);
  kill(masterPid, SIGKILL);
  while (waitpid(masterPid, nullptr, 0) < 0 && errno == EINTR) {
  }
  masterPid = -1;
}

std::string DovecotServer::log() const {
  std::string text = readText(dir + "/dovecot.log");
  std::string err = readText(dir + "/stderr.log");
  if (!err.empty()) text += "--- Dovecot's stderr ---\n" + err;
  return text;
}

// Names sort in delivery order, and Dovecot gives new files UIDs in that order.
std::string DovecotServer::maildirFile(uint64_t sequence) const {
  char name[64];
  snprintf(name, sizeof name, "%010llu.M%lluP%d.postsift", static_cast<unsigned long long>(sequence),
           static_cast<unsigned long long>(sequence), int(getpid()));
  return name;
}

// Writes into tmp/ and renames into new/, as a delivery agent does.
void DovecotServer::store(const std::string& message) {
  const std::string name = maildirFile(nextSequence++);
  const std::string tmpPath = dir + "/mail/tmp/" + name;
  writeText(tmpPath, message, 0600);
  if (geteuid() == 0 && chown(tmpPath.c_str(), mailUid, mailGid) != 0) failSys("chown " + tmpPath);
  const std::string newPath = dir + "/mail/new/" + name;
  if (rename(tmpPath.c_str(), newPath.c_str()) != 0) failSys("rename into " + newPath);
}

void DovecotServer::setMessages(const std::vector<std::string>& list) {
  std::lock_guard lock(mutex);
  for (const char* sub : {"/mail/cur", "/mail/new"})
    for (const auto& entry : fs::directory_iterator(dir + sub)) fs::remove(entry.path());
  for (const auto& message : list) store(message);
}

void DovecotServer::deliver(const std::string& message) {
  std::lock_guard lock(mutex);
  store(message);
}

std::vector<std::string> DovecotServer::messages() const {
  std::lock_guard lock(mutex);
  // Dovecot moves files from new/ to cur/ and appends flags after ':'; the part
  // before it is the name given at delivery.
  std::map<std::string, fs::path> byName;
  for (const char* sub : {"/mail/cur", "/mail/new"})
    for (const auto& entry : fs::directory_iterator(dir + sub)) {
      std::string name = entry.path().filename().string();
      byName[name.substr(0, name.find(':'))] = entry.path();
    }
  std::vector<std::string> out;
  for (const auto& [name, path] : byName) out.push_back(readText(path.string()));
  return out;
}

// ---------------------------------------------------------------------------
// RecordingProxy

struct RecordingProxy::Session {
  int client = -1;
  int server = -1;
  std::string toServer, toClient;  // read from one side, not yet written to the other
  bool clientEof = false, serverEof = false;
  bool clientShut = false, serverShut = false;  // our write side shut down
  std::string partial;                          // client bytes after the last line end
};

RecordingProxy::RecordingProxy(uint16_t upstreamPort) : upstream(upstreamPort) {
  openListener(listenFd, listenPort, wake);
  thread = std::thread([this] { run(); });
}

RecordingProxy::~RecordingProxy() {
  stopListener(thread, listenFd, wake);
}

std::vector<std::string> RecordingProxy::commands() const {
  std::lock_guard lock(mutex);
  return lines;
}

void RecordingProxy::clear() {
  std::lock_guard lock(mutex);
  lines.clear();
}

bool RecordingProxy::waitIdle(int timeoutMs) { return waitUntilIdle(mutex, open, listenFd, timeoutMs); }

void RecordingProxy::run() {
  std::vector<std::unique_ptr<Session>> sessions;
  std::vector<pollfd> fds;
  for (;;) {
    fds.assign({{wake[0], POLLIN, 0}, {listenFd, POLLIN, 0}});
    // A side is read only when what it sent before has been passed on, so a slow
    // reader holds back the sender instead of a growing buffer.
    for (const auto& s : sessions) {
      short c = short((!s->clientEof && s->toServer.empty() ? POLLIN : 0) | (s->toClient.empty() ? 0 : POLLOUT));
      short u = short((!s->serverEof && s->toClient.empty() ? POLLIN : 0) | (s->toServer.empty() ? 0 : POLLOUT));
      fds.push_back({c ? s->client : -1, c, 0});
      fds.push_back({u ? s->server : -1, u, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;

    for (size_t i = 0; i < sessions.size(); ++i) {
      Session& s = *sessions[i];
      const short cr = fds[2 + 2 * i].revents, ur = fds[3 + 2 * i].revents;
      bool broken = false;
      if (cr && !s.clientEof && s.toServer.empty()) {
        ReadResult r = readSome(s.client, s.toServer);
        std::vector<std::string> got;
        if (r == ReadResult::data) {
          s.partial += s.toServer;
          takeLines(s.partial, got);
        } else if (r == ReadResult::eof) {
          s.clientEof = true;
          if (!s.partial.empty()) got.push_back(std::move(s.partial));
          s.partial.clear();
        } else if (r == ReadResult::error) {
          broken = true;
        }
        if (!got.empty()) {
          std::lock_guard lock(mutex);
          lines.insert(lines.end(), got.begin(), got.end());
        }
      }
      if (ur && !s.serverEof && s.toClient.empty()) {
        ReadResult r = readSome(s.server, s.toClient);
        if (r == ReadResult::eof) s.serverEof = true;
        if (r == ReadResult::error) broken = true;
      }
      if (!sendPending(s.server, s.toServer) || !sendPending(s.client, s.toClient)) broken = true;
      if (s.clientEof && s.toServer.empty() && !s.serverShut) {
        shutdown(s.server, SHUT_WR);
        s.serverShut = true;
      }
      if (s.serverEof && s.toClient.empty() && !s.clientShut) {
        shutdown(s.client, SHUT_WR);
        s.clientShut = true;
      }
      if (broken || (s.clientEof && s.serverEof && s.toServer.empty() && s.toClient.empty())) {
        closeFd(s.client);
        closeFd(s.server);
        sessions.erase(sessions.begin() + long(i));
        fds.erase(fds.begin() + long(2 + 2 * i), fds.begin() + long(4 + 2 * i));
        --i;
        std::lock_guard lock(mutex);
        --open;
      }
    }

    if (fds[1].revents & POLLIN) {
      for (;;) {
        int client;
        {
          std::lock_guard lock(mutex);
          client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (client < 0) break;
          ++open;
        }
        auto s = std::make_unique<Session>();
        s->client = client;
        s->server = connectLoopback(upstream);
        if (s->server < 0) {
          closeFd(s->client);
          std::lock_guard lock(mutex);
          --open;
          continue;
        }
        setNonBlocking(s->server);
        sessions.push_back(std::move(s));
      }
    }
  }
  for (auto& s : sessions) {
    closeFd(s->client);
    closeFd(s->server);
  }
  std::lock_guard lock(mutex);
  open = 0;
}

// ---------------------------------------------------------------------------
// ScriptedPop3Server

namespace {

std::string withCrlf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  if (!out.empty() && (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)) out += "\r\n";
  return out;
}

// The multi-line form of `text` (CRLF lines): dot-stuffed and terminated.
std::string multiLine(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    end = end == std::string::npos ? text.size() : end + 2;
    if (text[start] == '.') out += '.';
    out.append(text, start, end - start);
    start = end;
  }
  return out + ".\r\n";
}

// The header, the blank line after it and the first `lines` lines of the body.
std::string topOf(const std::string& text, unsigned long lines) {
  size_t bodyStart;
  if (text.rfind("\r\n", 0) == 0) {
    bodyStart = 2;
  } else {
    size_t blank = text.find("\r\n\r\n");
    if (blank == std::string::npos) return text;
    bodyStart = blank + 4;
  }
  size_t end = bodyStart;
  for (unsigned long i = 0; i < lines && end < text.size(); ++i) {
    size_t nl = text.find("\r\n", end);
    end = nl == std::string::npos ? text.size() : nl + 2;
  }
  return text.substr(0, end);
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

bool number(const std::string& text, unsigned long& value) {
  if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) return false;
  value = std::stoul(text);
  return true;
}

}  // namespace

struct ScriptedPop3Server::Connection {
  int fd = -1;
  std::string partial;             // bytes after the last complete line
  std::deque<std::string> queue;   // complete lines not yet answered
  std::string out;                 // answers not yet sent
  bool eof = false;                // the client has closed its side
  bool mute = false;               // a silent fault: nothing more is answered
  bool drop = false;               // close without another byte
  bool closing = false;            // close once `out` is sent
  bool shut = false;               // closed our side; waiting for the client
  Clock::time_point lingerUntil;
  bool waiting = false;            // a delayed answer is due at `due`
  bool waitingGreeting = false;
  bool closeWhenDue = false;
  Clock::time_point due;
  std::string delayed;
  // The POP3 session.
  std::string user;
  bool haveUser = false;
  bool loggedIn = false;
  std::vector<Message> box;        // the mailbox as it was at login
  std::vector<bool> deleted;
};

ScriptedPop3Server::ScriptedPop3Server(std::vector<std::string> list, std::string user, std::string password)
    : userName(std::move(user)), userPassword(std::move(password)) {
  for (auto& text : list) mailbox.push_back({"uid" + std::to_string(nextUid++), std::move(text)});
  openListener(listenFd, listenPort, wake);
  thread = std::thread([this] { run(); });
}

ScriptedPop3Server::~ScriptedPop3Server() {
  stopListener(thread, listenFd, wake);
}

void ScriptedPop3Server::setFaultHook(std::function<Fault(const std::string&)> h) {
  std::lock_guard lock(mutex);
  hook = std::move(h);
}

void ScriptedPop3Server::setGreeting(Fault g) {
  std::lock_guard lock(mutex);
  greeting = std::move(g);
}

void ScriptedPop3Server::deliver(const std::string& message) {
  std::lock_guard lock(mutex);
  mailbox.push_back({"uid" + std::to_string(nextUid++), message});
}

std::vector<std::string> ScriptedPop3Server::commands() const {
  std::lock_guard lock(mutex);
  return lines;
}

std::vector<std::string> ScriptedPop3Server::messages() const {
  std::lock_guard lock(mutex);
  std::vector<std::string> out;
  for (const auto& m : mailbox) out.push_back(m.text);
  return out;
}

bool ScriptedPop3Server::waitIdle(int timeoutMs) { return waitUntilIdle(mutex, open, listenFd, timeoutMs); }

void ScriptedPop3Server::greet(Connection& c) {
  Fault g;
  {
    std::lock_guard lock(mutex);
    g = greeting;
  }
  switch (g.kind) {
    case Fault::none: c.out += "+OK ready\r\n"; break;
    case Fault::reply: c.out += g.text + "\r\n"; break;
    case Fault::drop: c.drop = true; return;
    case Fault::silent: c.mute = true; return;
    case Fault::delay:
      c.waiting = c.waitingGreeting = true;
      c.closeWhenDue = g.closeAfter;
      c.due = Clock::now() + std::chrono::milliseconds(g.delayMs);
      return;
  }
  if (g.closeAfter) c.closing = true;
}

// Answers queued lines in order until one must wait, is not to be answered, or
// ends the connection.
void ScriptedPop3Server::process(Connection& c) {
  if (c.waiting && Clock::now() >= c.due) {
    c.waiting = false;
    if (c.waitingGreeting)
      c.out += "+OK ready\r\n";
    else
      c.out += answer(c, c.delayed);
    c.waitingGreeting = false;
    if (c.closeWhenDue) c.closing = true;
  }
  while (!c.waiting && !c.mute && !c.drop && !c.closing && !c.queue.empty()) {
    std::string line = std::move(c.queue.front());
    c.queue.pop_front();
    std::function<Fault(const std::string&)> h;
    {
      std::lock_guard lock(mutex);
      h = hook;
    }
    Fault f = h ? h(line) : Fault{};
    switch (f.kind) {
      case Fault::none: c.out += answer(c, line); break;
      case Fault::reply: c.out += f.text + "\r\n"; break;
      case Fault::drop: c.drop = true; return;
      case Fault::silent: c.mute = true; return;
      case Fault::delay:
        c.waiting = true;
        c.closeWhenDue = f.closeAfter;
        c.due = Clock::now() + std::chrono::milliseconds(f.delayMs);
        c.delayed = std::move(line);
        return;
    }
    if (f.closeAfter) c.closing = true;
  }
}

std::string ScriptedPop3Server::answer(Connection& c, const std::string& line) {
  const std::vector<std::string> w = words(line);
  std::string verb = w.empty() ? "" : w[0];
  for (char& ch : verb) ch = char(toupper(static_cast<unsigned char>(ch)));

  if (verb == "CAPA") return "+OK\r\nUSER\r\nUIDL\r\nTOP\r\nPIPELINING\r\n.\r\n";
  if (verb == "QUIT") {
    if (c.loggedIn) {
      std::set<std::string> gone;
      for (size_t i = 0; i < c.box.size(); ++i)
        if (c.deleted[i]) gone.insert(c.box[i].uidl);
      std::lock_guard lock(mutex);
      std::erase_if(mailbox, [&](const Message& m) { return gone.count(m.uidl) != 0; });
    }
    c.closing = true;
    return "+OK bye\r\n";
  }
  if (!c.loggedIn) {
    if (verb == "USER" && w.size() == 2) {
      c.user = w[1];
      c.haveUser = true;
      return "+OK\r\n";
    }
    if (verb == "PASS") {
      const std::string given = line.size() > 5 ? line.substr(5) : "";
      const bool ok = c.haveUser && c.user == userName && given == userPassword;
      c.haveUser = false;
      if (!ok) return "-ERR authentication failed\r\n";
      std::lock_guard lock(mutex);
      c.box = mailbox;
      c.deleted.assign(c.box.size(), false);
      c.loggedIn = true;
      return "+OK logged in\r\n";
    }
    return "-ERR not logged in\r\n";
  }

  // The message a number argument names: 0 when there is none such.
  auto message = [&](size_t arg) -> size_t {
    unsigned long n = 0;
    if (w.size() <= arg || !number(w[arg], n) || n == 0 || n > c.box.size() || c.deleted[n - 1]) return 0;
    return n;
  };
  const std::string noSuch = "-ERR no such message\r\n";
  auto size = [&](size_t n) { return std::to_string(withCrlf(c.box[n - 1].text).size()); };

  if (verb == "USER" || verb == "PASS") return "-ERR already logged in\r\n";
  if (verb == "NOOP") return "+OK\r\n";
  if (verb == "STAT") {
    size_t count = 0, total = 0;
    for (size_t i = 0; i < c.box.size(); ++i)
      if (!c.deleted[i]) ++count, total += withCrlf(c.box[i].text).size();
    return "+OK " + std::to_string(count) + " " + std::to_string(total) + "\r\n";
  }
  if (verb == "LIST" || verb == "UIDL") {
    auto value = [&](size_t n) { return verb == "LIST" ? size(n) : c.box[n - 1].uidl; };
    if (w.size() > 1) {
      size_t n = message(1);
      return n ? "+OK " + std::to_string(n) + " " + value(n) + "\r\n" : noSuch;
    }
    std::string out = "+OK\r\n";
    for (size_t n = 1; n <= c.box.size(); ++n)
      if (!c.deleted[n - 1]) out += std::to_string(n) + " " + value(n) + "\r\n";
    return out + ".\r\n";
  }
  if (verb == "RETR") {
    size_t n = message(1);
    if (!n) return noSuch;
    return "+OK " + size(n) + " octets\r\n" + multiLine(withCrlf(c.box[n - 1].text));
  }
  if (verb == "TOP") {
    size_t n = message(1);
    unsigned long k = 0;
    if (!n || w.size() != 3 || !number(w[2], k)) return noSuch;
    return "+OK\r\n" + multiLine(topOf(withCrlf(c.box[n - 1].text), k));
  }
  if (verb == "DELE") {
    size_t n = message(1);
    if (!n) return noSuch;
    c.deleted[n - 1] = true;
    return "+OK message " + std::to_string(n) + " deleted\r\n";
  }
  if (verb == "RSET") {
    c.deleted.assign(c.box.size(), false);
    return "+OK\r\n";
  }
  return "-ERR unknown command\r\n";
}

void ScriptedPop3Server::run() {
  std::vector<std::unique_ptr<Connection>> conns;
  std::vector<pollfd> fds;
  for (;;) {
    fds.assign({{wake[0], POLLIN, 0}, {listenFd, POLLIN, 0}});
    int timeout = -1;
    for (const auto& c : conns) {
      short events = short((c->eof ? 0 : POLLIN) | (c->out.empty() ? 0 : POLLOUT));
      fds.push_back({events ? c->fd : -1, events, 0});
      if (c->waiting) timeout = timeout < 0 ? msUntil(c->due) : std::min(timeout, msUntil(c->due));
      if (c->shut) timeout = timeout < 0 ? msUntil(c->lingerUntil) : std::min(timeout, msUntil(c->lingerUntil));
    }
    if (poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;

    const auto now = Clock::now();
    for (size_t i = 0; i < conns.size(); ++i) {
      Connection& c = *conns[i];
      bool broken = false;
      if (fds[2 + i].revents && !c.eof) {
        std::string got;
        for (ReadResult r; (r = readSome(c.fd, got)) != ReadResult::again;) {
          if (r == ReadResult::eof) c.eof = true;
          if (r == ReadResult::error) broken = true;
          if (r != ReadResult::data) break;
        }
        c.partial += got;
        std::vector<std::string> received;
        takeLines(c.partial, received);
        if (c.eof && !c.partial.empty()) {
          received.push_back(std::move(c.partial));
          c.partial.clear();
        }
        {
          std::lock_guard lock(mutex);
          lines.insert(lines.end(), received.begin(), received.end());
        }
        if (!c.shut && !c.mute)
          for (auto& line : received) c.queue.push_back(std::move(line));
      }
      if (!c.shut) process(c);
      // Answers to commands before a dropped one still go out, as from a real
      // server that had sent them before it went away.
      if (!sendPending(c.fd, c.out)) broken = true;
      if (c.closing && c.out.empty() && !c.shut) {
        // Closing our side only, and reading on until the client closes, lets the
        // last answer arrive whole instead of being cut off by a reset.
        shutdown(c.fd, SHUT_WR);
        c.shut = true;
        c.lingerUntil = now + std::chrono::seconds(2);
      }
      const bool finished = c.eof && c.out.empty() && !c.waiting;
      if (broken || c.drop || finished || (c.shut && (c.eof || now >= c.lingerUntil))) {
        closeFd(c.fd);
        conns.erase(conns.begin() + long(i));
        fds.erase(fds.begin() + long(2 + i));
        --i;
        std::lock_guard lock(mutex);
        --open;
      }
    }

    if (fds[1].revents & POLLIN) {
      for (;;) {
        int fd;
        {
          std::lock_guard lock(mutex);
          fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (fd < 0) break;
          ++open;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        greet(*c);
        if (c->drop || !sendPending(c->fd, c->out)) {
          closeFd(c->fd);
          std::lock_guard lock(mutex);
          --open;
          continue;
        }
        if (c->closing && c->out.empty()) {
          shutdown(c->fd, SHUT_WR);
          c->shut = true;
          c->lingerUntil = Clock::now() + std::chrono::seconds(2);
        }
        conns.push_back(std::move(c));
      }
    }
  }
  for (auto& c : conns) closeFd(c->fd);
  std::lock_guard lock(mutex);
  open = 0;
}

}  // namespace testsupport

namespace testsupport {

// ---------------------------------------------------------------------------
// Test certificates

namespace {

void runOpenssl(const std::string& dir, const std::string& arguments) {
  const std::string command = "cd '" + dir + "' && openssl " + arguments + " >>openssl.log 2>&1";
  if (std::system(command.c_str()) != 0) {
    throw std::runtime_error("openssl " + arguments + " failed; see " + dir + "/openssl.log");
  }
}

// A key and a certificate for `host` signed by the test authority (or self-signed).
void makeCertificate(const std::string& dir, const std::string& name, const std::string& host, bool selfSigned) {
  const std::string san = "subjectAltName=DNS:" + host + (host == "localhost" ? ",IP:127.0.0.1" : "");
  writeText(dir + "/" + name + ".ext", san + "\n", 0644);
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + name + ".key";
  if (selfSigned) {
    runOpenssl(dir, "req -x509 " + key + " -out " + name + ".pem -days 3 -subj /CN=" + host + " -addext " + san);
    return;
  }
  runOpenssl(dir, "req " + key + " -out " + name + ".csr -subj /CN=" + host);
  runOpenssl(dir, "x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -out " + name +
                      ".pem -days 3 -extfile " + name + ".ext");
}

}  // namespace

TestCertificates::TestCertificates() {
  dir = tempDirectory.path();
  runOpenssl(dir, "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
                  "-days 3 -subj '/CN=Postsift Test Authority' -addext basicConstraints=critical,CA:TRUE "
                  "-addext keyUsage=critical,keyCertSign,cRLSign");
  makeCertificate(dir, "server", "localhost", false);
  makeCertificate(dir, "otherhost", "mail.other.example", false);
  makeCertificate(dir, "selfsigned", "localhost", true);
  makeCertificate(dir, "selfsigned2", "localhost", true);
  // Dovecot runs its processes as other users: the keys must be readable to them.
  for (const auto& entry : fs::directory_iterator(dir)) chmod(entry.path().c_str(), 0644);
  chmod(dir.c_str(), 0755);
}

std::string TestCertificates::authority() const { return dir + "/ca.pem"; }
DovecotOptions TestCertificates::server(const std::string& name) const {
  return {dir + "/" + name + ".pem", dir + "/" + name + ".key"};
}

}  // namespace testsupport
