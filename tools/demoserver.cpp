// demoserver MAILDIR: runs a private Dovecot on 127.0.0.1 serving the messages in the
// directory MAILDIR (one file each, in name order) to the user "filter" with password
// "secret", prints its port on a line of its own, and stops the server when standard
// input closes or on SIGINT/SIGTERM. For the demo; never touches the system's Dovecot.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mailserver.h"

namespace {
volatile sig_atomic_t stopping = 0;
void onSignal(int) { stopping = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: demoserver MAILDIR\n");
    return 2;
  }
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> messages;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    messages.push_back(text.str());
  }
  try {
    testsupport::DovecotServer server;
    server.setMessages(messages);
    std::printf("%u\n", unsigned(server.port()));
    std::fflush(stdout);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    char byte;
    while (!stopping && read(0, &byte, 1) > 0) {
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "demoserver: %s\n", error.what());
    return 1;
  }
  return 0;
}
