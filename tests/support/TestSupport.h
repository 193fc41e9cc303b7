// Test support shared by every suite: temporary folders, free loopback ports, dates and
// loopback servers started as child processes for the length of a test.
#pragma once

#include <string>
#include <vector>

namespace v7test {

// A fresh folder under the system's temporary folder, removed with everything in it, and
// locked (flock on the folder) while it lives. The first one of a process also removes the
// folders that killed tests left.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  int lock_ = -1;
};

// Removes the temporary folders that tests killed by a signal or a timeout left: those whose
// lock is free and whose process is not seen. The first TempDir of a process calls it.
void RemoveFoldersOfEndedTests();

// Writes a whole file (binary) and reads it back.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
int FreePort();

// True when a TCP connection to 127.0.0.1:port succeeds.
bool PortOpen(int port);

// A child process (a loopback server) that is killed when the object goes, and when the
// test process ends in any other way (a signal, ctest's timeout). It leads a process group of
// its own: what it forked (a daemon's sessions) is killed with it by Stop.
class ServerProcess {
 public:
  // Starts argv[0] with the arguments and waits up to timeoutMs for the port to accept.
  ServerProcess(const std::vector<std::string>& argv, int port, int timeoutMs = 10000);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  bool running() const { return ready_; }
  int port() const { return port_; }
  void Stop();

 private:
  int pid_ = -1;
  int port_ = 0;
  bool ready_ = false;
};

// Whether the tests run in CI (CI=true), where a missing test server fails a test instead of
// skipping it.
bool InCI();

// Debian's own python3 (where its packages install pyftpdlib and aiosmtpd).
std::string SystemPython();

// A date-time of the system from its parts; parts that make no date fail the calling test.
double Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// Folder of the source tree's test fixtures and scripts.
std::string FixturesDir();
std::string SourceDir();

}  // namespace v7test
