// The loopback servers of the tests end with the test process however it ends: a test killed
// by a signal or by ctest's timeout must leave no FTP server or PostgreSQL cluster running.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "PacketFixtures.h"
#include "PgCluster.h"
#include "TestSupport.h"

namespace {

// True when nothing listens on the port any more within the time given.
bool ClosesWithin(int port, std::chrono::seconds span) {
  const auto deadline = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!v7test::PortOpen(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST(TestServers, EndWithATestProcessKilledBySignal) {
  v7test::TempDir root;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t test = fork();
  ASSERT_GE(test, 0);
  if (test == 0) {
    // The "test process": starts its servers, says where they listen, and waits to be killed.
    close(fds[0]);
    const int ftpPort = v7test::FreePort();
    v7test::ServerProcess ftp({v7test::SystemPython(), v7test::FixturesDir() + "/ftp_server.py",
                               std::to_string(ftpPort), root.path()},
                              ftpPort);
    v7test::PgCluster pg;
    const std::string ports = std::to_string(ftp.running() ? ftpPort : 0) + " " +
                              std::to_string(pg.Failure().empty() && pg.Skip().empty() ? pg.Port()
                                                                                       : 0) +
                              "\n";
    if (write(fds[1], ports.data(), ports.size()) < 0) _exit(1);
    pause();
    _exit(0);
  }
  close(fds[1]);
  char buf[64] = {};
  ssize_t n = 0, got;
  while (n < static_cast<ssize_t>(sizeof buf) - 1 &&
         (got = read(fds[0], buf + n, sizeof buf - 1 - static_cast<size_t>(n))) > 0) {
    n += got;
    if (buf[n - 1] == '\n') break;
  }
  close(fds[0]);
  int ftpPort = 0, pgPort = 0;
  ASSERT_EQ(std::sscanf(buf, "%d %d", &ftpPort, &pgPort), 2) << buf;
  ASSERT_GT(ftpPort, 0) << "the FTP server did not start";
  ASSERT_TRUE(v7test::PortOpen(ftpPort));
  if (pgPort > 0) {
    ASSERT_TRUE(v7test::PortOpen(pgPort));
  }

  kill(test, SIGKILL);
  waitpid(test, nullptr, 0);
  EXPECT_TRUE(ClosesWithin(ftpPort, std::chrono::seconds(10))) << "the FTP server runs on";
  if (pgPort == 0) GTEST_SKIP() << "no PostgreSQL cluster: only the FTP server was checked";
  EXPECT_TRUE(ClosesWithin(pgPort, std::chrono::seconds(20))) << "the cluster runs on";
}

// A daemon forks a process for each session; stopping the daemon ends them too, while their
// clients are still connected.
TEST(TestServers, FtpDaemonsEndWithTheirSessions) {
  for (const auto daemon :
       {v7test::FtpDaemon::Vsftpd, v7test::FtpDaemon::Proftpd, v7test::FtpDaemon::Pureftpd}) {
    v7test::DaemonFtpServer server(daemon);
    SCOPED_TRACE(server.Name());
    V7_REQUIRE_FTP_DAEMON(server);
    server.Start();
    const int session = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server.port()));
    ASSERT_EQ(connect(session, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    char greeting[512];
    ASSERT_GT(read(session, greeting, sizeof greeting), 0);  // "220 ...": the session runs
    server.Stop();
    // The session's end closes the connection: a read gives end of file or a reset.
    pollfd ready{session, POLLIN, 0};
    char rest[512];
    EXPECT_EQ(poll(&ready, 1, 10000), 1) << "the session runs on";
    EXPECT_LE(read(session, rest, sizeof rest), 0);
    EXPECT_FALSE(v7test::PortOpen(server.port()));
    close(session);
  }
}

// True when the folder's lock is held (by another open of it: this process's own TempDir
// counts).
bool Locked(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
  close(fd);
  return held;
}

// The folders a killed test left go at the next run, by either remover; those of a test that
// runs stay, also when it runs in another PID namespace (its number is not seen here, its
// lock is held).
TEST(TestFolders, ThoseOfEndedTestsGoThoseOfRunningTestsStay) {
  const pid_t ended = fork();
  ASSERT_GE(ended, 0);
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const std::string tmp = std::filesystem::temp_directory_path().string();
  v7test::TempDir own;
  EXPECT_TRUE(Locked(own.path()));
  for (const std::string remover : {"gtest", "script"}) {
    SCOPED_TRACE(remover);
    const std::string left = tmp + "/v7test-" + std::to_string(ended) + "-left";
    const std::string running = tmp + "/v7test-" + std::to_string(getpid()) + "-running";
    const std::string elsewhere = tmp + "/v7test-" + std::to_string(ended) + "-elsewhere";
    std::filesystem::create_directories(left + "/sub");
    std::filesystem::create_directories(running);
    // Locked before it takes its name, as its owner would: other tests sweep meanwhile.
    const std::string stage = tmp + "/v7stage-" + std::to_string(getpid()) + "-elsewhere";
    std::filesystem::create_directories(stage + "/sub");
    const int owner = open(stage.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(owner, 0);
    ASSERT_EQ(flock(owner, LOCK_EX), 0);
    std::filesystem::rename(stage, elsewhere);
    if (remover == "gtest") {
      v7test::RemoveFoldersOfEndedTests();
    } else {
      // The script's folder is locked while the script runs.
      const std::string cmd = "bash -c '. \"" + v7test::FixturesDir() +
                              "/tempdir.sh\" && v7_tempdir made && echo \"$made\" && "
                              "! flock -n \"$made\" true && echo locked'";
      FILE* out = popen(cmd.c_str(), "r");
      ASSERT_NE(out, nullptr);
      char made[512] = {}, locked[64] = {};
      const bool read = std::fgets(made, sizeof made, out) != nullptr;
      const bool held = std::fgets(locked, sizeof locked, out) != nullptr;
      pclose(out);
      ASSERT_TRUE(read);
      EXPECT_TRUE(held) << "the script's folder is not locked";
      EXPECT_EQ(std::string(made).rfind(tmp + "/v7test-", 0), 0u) << made;
      std::filesystem::remove_all(std::string(made, std::strcspn(made, "\n")));
    }
    EXPECT_FALSE(std::filesystem::exists(left));
    EXPECT_TRUE(std::filesystem::exists(running));
    EXPECT_TRUE(std::filesystem::exists(elsewhere + "/sub"));
    EXPECT_TRUE(std::filesystem::exists(own.path()));
    close(owner);
    std::filesystem::remove_all(running);
    std::filesystem::remove_all(elsewhere);
  }
}

}  // namespace
