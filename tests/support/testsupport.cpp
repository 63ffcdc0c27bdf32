#include "testsupport.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace testsupport {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "postsift-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  dir = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

std::string uniqueName(const char* prefix) {
  static std::atomic<int> counter{0};
  return std::string(prefix) + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

std::vector<char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

bool writeFile(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(out.flush());
}

Child::Child(std::function<int(Child&)> body) {
  if (pipe(toParent) != 0 || pipe(toChild) != 0) throw std::runtime_error("pipe failed");
  fflush(nullptr);
  childPid = fork();
  if (childPid < 0) throw std::runtime_error("fork failed");
  if (childPid == 0) {
    ::close(toParent[0]);
    ::close(toChild[1]);
    int code = body(*this);
    fflush(nullptr);
    _exit(code);
  }
  ::close(toParent[1]);
  ::close(toChild[0]);
  toParent[1] = toChild[0] = -1;
}

Child::~Child() {
  if (!reaped) kill();
  if (toParent[0] >= 0) ::close(toParent[0]);
  if (toChild[1] >= 0) ::close(toChild[1]);
}

void Child::send(char c) {
  ssize_t n = write(toParent[1], &c, 1);
  (void)n;
}

bool Child::receive(char* c, int timeoutMs) {
  pollfd p{toParent[0], POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  return read(toParent[0], c, 1) == 1;
}

char Child::receive() {
  char c = 0;
  return receive(&c, 30000) ? c : 0;
}

void Child::tell(char c) {
  ssize_t n = write(toChild[1], &c, 1);
  (void)n;
}

char Child::hear() {
  char c = 0;
  return read(toChild[0], &c, 1) == 1 ? c : 0;
}

void Child::sendBytes(const void* data, size_t size) {
  ssize_t n = write(toParent[1], data, size);  // at most PIPE_BUF: written whole
  (void)n;
}

bool Child::receiveBytes(void* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(toParent[0], static_cast<char*>(data) + got, size - got);
    if (n <= 0) return false;
    got += size_t(n);
  }
  return true;
}

void Child::kill() {
  if (reaped) return;
  ::kill(childPid, SIGKILL);
  wait();
}

int Child::wait() {
  if (!reaped) {
    int raw = 0;
    while (waitpid(childPid, &raw, 0) < 0 && errno == EINTR) {
    }
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
    reaped = true;
  }
  return status;
}

}  // namespace testsupport
