// A TCP proxy on 127.0.0.1 that delays everything by a fixed time in each direction,
// as a mail server far away would: bytes read at t reach the other side at t + delay,
// in order, with no limit on what is in flight. For benchmarks of slow links.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class DelayProxy {
 public:
  DelayProxy(uint16_t upstreamPort, int delayMs) : upstream(upstreamPort), delay(delayMs) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    listenPort = ntohs(address.sin_port);
    acceptor = std::thread([this] { acceptLoop(); });
  }
  ~DelayProxy() {
    stopping = true;
    shutdown(listener, SHUT_RDWR);
    acceptor.join();
    close(listener);
    std::lock_guard lock(mutex);
    for (auto& link : links) link->stop();
    links.clear();
  }
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  uint16_t port() const { return listenPort; }

 private:
  using Clock = std::chrono::steady_clock;

  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  // One direction: a reader queues what arrives, stamped with its release time; a
  // writer sends each chunk when its time has come.
  class Pump {
   public:
    Pump(int from, int to, std::chrono::milliseconds delay) : from(from), to(to), delay(delay) {
      reader = std::thread([this] { readLoop(); });
      writer = std::thread([this] { writeLoop(); });
    }
    void join() {
      reader.join();
      writer.join();
    }

   private:
    struct Chunk {
      Clock::time_point due;
      std::string bytes;  // empty: the end
    };
    void readLoop() {
      char buffer[65536];
      for (;;) {
        const ssize_t got = recv(from, buffer, sizeof buffer, 0);
        std::lock_guard lock(mutex);
        chunks.push_back({Clock::now() + delay, got > 0 ? std::string(buffer, size_t(got)) : std::string()});
        ready.notify_one();
        if (got <= 0) return;
      }
    }
    void writeLoop() {
      for (;;) {
        Chunk chunk;
        {
          std::unique_lock lock(mutex);
          ready.wait(lock, [this] { return !chunks.empty(); });
          chunk = std::move(chunks.front());
          chunks.pop_front();
        }
        std::this_thread::sleep_until(chunk.due);
        if (chunk.bytes.empty()) {
          shutdown(to, SHUT_WR);
          return;
        }
        for (size_t sent = 0; sent < chunk.bytes.size();) {
          const ssize_t n = send(to, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) return;
          sent += size_t(n);
        }
      }
    }
    int from, to;
    std::chrono::milliseconds delay;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Chunk> chunks;
    std::thread reader, writer;
  };

  struct Link {
    int client = -1, server = -1;
    std::unique_ptr<Pump> up, down;
    void stop() {
      shutdown(client, SHUT_RDWR);
      shutdown(server, SHUT_RDWR);
      up->join();
      down->join();
      close(client);
      close(server);
    }
  };

  void acceptLoop() {
    for (;;) {
      const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0 || stopping) {
        if (client >= 0) close(client);
        return;
      }
      const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address = loopback(upstream);
      if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(client);
        close(server);
        continue;
      }
      int one = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto link = std::make_unique<Link>();
      link->client = client;
      link->server = server;
      link->up = std::make_unique<Pump>(client, server, delay);
      link->down = std::make_unique<Pump>(server, client, delay);
      std::lock_guard lock(mutex);
      links.push_back(std::move(link));
    }
  }

  uint16_t upstream;
  std::chrono::milliseconds delay;
  int listener = -1;
  uint16_t listenPort = 0;
  bool stopping = false;
  std::thread acceptor;
  std::mutex mutex;
  std::vector<std::unique_ptr<Link>> links;
};
