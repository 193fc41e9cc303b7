// Temporary folders, ports, dates and loopback server processes for the test suites.
#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "uDbDates.h"

namespace v7test {

// A test killed by a signal or by ctest's timeout runs no destructor and leaves its folder.
// Folders are named v7test-<pid>-XXXXXX (the script tests' too, tests/fixtures/tempdir.sh),
// and their owner holds a lock on the folder itself (flock) while it runs. A folder goes only
// when its lock is free and no process of its number is seen here: a test in another PID
// namespace that shares the temporary folder has a number not seen here, but holds its lock.
// A number taken again by another process only keeps a folder.
void RemoveFoldersOfEndedTests() {
  const std::filesystem::path tmp = std::filesystem::temp_directory_path();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(tmp, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("v7test-", 0) != 0) continue;
    const size_t dash = name.find('-', 7);
    const std::string pid = name.substr(7, dash == std::string::npos ? 0 : dash - 7);
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (std::filesystem::exists("/proc/" + pid, ec)) continue;
    const int fd = open(entry.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) std::filesystem::remove_all(entry.path(), ec);
    close(fd);
  }
}

TempDir::TempDir() {
  static const bool cleaned = (RemoveFoldersOfEndedTests(), true);
  (void)cleaned;
  // Made under another name and renamed only once locked, so that no sweep finds it unlocked.
  const std::filesystem::path tmp = std::filesystem::temp_directory_path();
  const std::string prefix = "-" + std::to_string(getpid()) + "-";
  std::string stage = (tmp / ("v7stage" + prefix + "XXXXXX")).string();
  if (!mkdtemp(stage.data())) throw std::runtime_error("mkdtemp failed");
  lock_ = open(stage.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock_ < 0 || flock(lock_, LOCK_EX) != 0) {
    std::filesystem::remove(stage);
    throw std::runtime_error("cannot lock " + stage);
  }
  path_ = (tmp / ("v7test" + prefix + stage.substr(stage.size() - 6))).string();
  if (renameat2(AT_FDCWD, stage.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) != 0) {
    close(lock_);
    std::filesystem::remove(stage);
    throw std::runtime_error("cannot name " + path_);
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  close(lock_);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int FreePort() {
  // Ports the kernel hands out itself (binding port 0) come from the ephemeral range, which
  // every outgoing connection of the parallel tests also draws from: such a port is often
  // taken again before the server binds it. Ports are therefore picked at random below that
  // range (or above it when it starts low), and the pick is checked by binding it.
  int lo = 32768, hi = 60999;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> lo >> hi;
  const int first = lo > 11024 ? 1024 + (lo - 11024) : hi + 1;
  const int count = lo > 11024 ? 10000 : 65535 - hi;
  static std::mt19937 pick(static_cast<unsigned>(getpid()) * 7919u +
                           static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = first + static_cast<int>(pick() % static_cast<unsigned>(count));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (free && !PortOpen(port)) return port;
  }
  throw std::runtime_error("no free port");
}

bool PortOpen(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

ServerProcess::ServerProcess(const std::vector<std::string>& argv, int port, int timeoutMs)
    : port_(port) {
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // A test killed by a signal or by ctest's timeout runs no destructor: the server must end
    // with it all the same, or it runs for ever and holds ctest's output pipe open. The
    // signal comes when the thread that forked ends, so servers are started from the test's
    // own thread.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent ended before the signal was asked for
    // A group of its own: daemons fork a process for each session, and Stop ends them all.
    setpgid(0, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  setpgid(pid_, pid_);  // whichever of the two runs first
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (PortOpen(port_)) {
      ready_ = true;
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      kill(-pid_, SIGKILL);
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

ServerProcess::~ServerProcess() { Stop(); }

void ServerProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 40 && !ended; ++i) {
      int status = 0;
      ended = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    // The sessions that a daemon forked outlive it; the group still names them.
    kill(-pid_, SIGKILL);
    pid_ = -1;
  }
  ready_ = false;
}

bool InCI() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

std::string SystemPython() {
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

std::string FixturesDir() { return V7_FIXTURES_DIR; }
std::string SourceDir() { return V7_SOURCE_DIR; }

double Date(int year, int month, int day, int hour, int minute, int second) {
  double dt = 0;
  EXPECT_TRUE(v7::DateTimeFromParts(year, month, day, hour, minute, second, dt))
      << year << "-" << month << "-" << day << " " << hour << ":" << minute << ":" << second;
  return dt;
}

}  // namespace v7test
