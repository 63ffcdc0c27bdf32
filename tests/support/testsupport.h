// Helpers shared by the tests: temporary directories and child processes.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under the system's temporary directory, removed with its
// contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return dir; }
  std::string file(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

// A name no other test process uses at the same time (tests run in parallel).
std::string uniqueName(const char* prefix);

// The whole contents of a file (empty when it cannot be read), and a file replaced
// by the given bytes (false when they could not be written).
std::vector<char> readFile(const std::string& path);
bool writeFile(const std::string& path, const std::vector<char>& bytes);

// A child process running `body` whose exit code becomes the child's status. Two
// pipes connect them: the child writes with send() and the parent reads with
// receive(); the parent writes with tell() and the child reads with hear().
class Child {
 public:
  explicit Child(std::function<int(Child&)> body);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  void send(char c);                    // in the child
  bool receive(char* c, int timeoutMs); // in the parent; false on time-out or EOF
  char receive();                       // in the parent; waits up to 30 s, 0 on failure
  void tell(char c);                    // in the parent
  char hear();                          // in the child; waits, 0 on EOF
  void sendBytes(const void* data, size_t size);    // in the child
  // In the parent: the next `size` bytes, without waiting once the child is gone.
  // False when the pipe has no more whole messages.
  bool receiveBytes(void* data, size_t size);
  void kill();                         // SIGKILL and reap
  int wait();                          // exit status; -signal when killed by one
  pid_t pid() const { return childPid; }

 private:
  pid_t childPid = -1;
  int toParent[2] = {-1, -1};
  int toChild[2] = {-1, -1};
  bool reaped = false;
  int status = 0;
};

}  // namespace testsupport
