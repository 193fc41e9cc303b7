// The FTP layer against a real pyftpdlib server on loopback.
#include <gtest/gtest.h>

#include <filesystem>

#include "PacketFixtures.h"
#include "uFtp.h"

using namespace v7;
using v7test::ReadFile;
using v7test::TempDir;
using v7test::TestFtpServer;
using v7test::WriteFile;

namespace {

std::unique_ptr<FtpSession> SessionFor(const TestFtpServer& server, bool passive = false) {
  auto ftp = NewCurlFtpSession();
  ftp->Host = server.Host();
  ftp->Username = "site";
  ftp->Password = "secret";
  ftp->Passive = passive;
  return ftp;
}

}  // namespace

TEST(FtpSession, UploadsListsDownloadsAndDeletesWithBackslashPaths) {
  TestFtpServer server;
  std::filesystem::create_directories(server.Path("v7/site01/send"));
  TempDir local;
  WriteFile(local.file("a.pkt"), std::string("\x00\x01binary\r\n\xff", 11));
  WriteFile(local.file("note.txt"), "x");

  auto ftp = SessionFor(server);
  EXPECT_FALSE(ftp->Connected());
  ftp->Connect();
  EXPECT_TRUE(ftp->Connected());
  ftp->Put(local.file("a.pkt"), "v7\\site01\\send\\a.pkt");
  ftp->Put(local.file("a.pkt"), "v7\\site01\\send\\b c.pkt");
  ftp->Put(local.file("note.txt"), "v7\\site01\\send\\note.txt");
  EXPECT_EQ(ReadFile(server.Path("v7/site01/send/a.pkt")), ReadFile(local.file("a.pkt")));
  // An upload replaces the remote file.
  ftp->Put(local.file("note.txt"), "v7\\site01\\send\\a.pkt");
  EXPECT_EQ(ReadFile(server.Path("v7/site01/send/a.pkt")), "x");
  ftp->Put(local.file("a.pkt"), "v7\\site01\\send\\a.pkt");

  auto names = ftp->NameList("v7\\site01\\send\\*.pkt");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"v7/site01/send/a.pkt", "v7/site01/send/b c.pkt"}));
  EXPECT_TRUE(ftp->NameList("v7\\site01\\send\\*.PKT").empty());

  WriteFile(local.file("old.pkt"), "stale content that is longer");
  ftp->Get("v7/site01/send/b c.pkt", local.file("old.pkt"));
  EXPECT_EQ(ReadFile(local.file("old.pkt")), ReadFile(local.file("a.pkt")));

  ftp->Delete("v7\\site01\\send\\a.pkt");
  EXPECT_FALSE(std::filesystem::exists(server.Path("v7/site01/send/a.pkt")));
  ftp->Disconnect();
  EXPECT_FALSE(ftp->Connected());
  ftp->Disconnect();
}

TEST(FtpSession, FailuresRaiseAndLeaveNothingBehind) {
  TestFtpServer server;
  std::filesystem::create_directories(server.Path("v7/patches"));
  TempDir local;
  auto ftp = SessionFor(server);
  ftp->Password = "wrong";
  EXPECT_THROW(ftp->Connect(), EFtpError);
  EXPECT_FALSE(ftp->Connected());

  ftp->Password = "secret";
  ftp->Connect();
  EXPECT_THROW(ftp->Get("v7/patches/missing.sql", local.file("missing.sql")), EFtpError);
  EXPECT_FALSE(std::filesystem::exists(local.file("missing.sql")));
  EXPECT_THROW(ftp->Delete("v7/patches/missing.sql"), EFtpError);
  EXPECT_THROW(ftp->Put(local.file("none.txt"), "v7/patches/none.txt"), EFtpError);
  EXPECT_THROW(ftp->NameList("v7/nowhere/*.pkt"), EFtpError);
  // The session still works after the failures.
  EXPECT_TRUE(ftp->NameList("v7/patches/01.*").empty());

  server.Stop();
  EXPECT_THROW(ftp->NameList("v7/patches/01.*"), EFtpError);
  ftp->Disconnect();
  EXPECT_THROW(ftp->Connect(), EFtpError);
  server.Start();
  ftp->Connect();
  EXPECT_TRUE(ftp->NameList("v7/patches/01.*").empty());
}

TEST(FtpSession, PassiveModeAndMasksWithAnyExtension) {
  TestFtpServer server;
  std::filesystem::create_directories(server.Path("v7/patches"));
  for (const char* name : {"07.sql", "07.txt", "070.sql", "17.sql"})
    WriteFile(server.Path(std::string("v7/patches/") + name), "x");
  auto ftp = SessionFor(server, true);
  ftp->Connect();
  auto names = ftp->NameList("v7\\patches\\07.*");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"v7/patches/07.sql", "v7/patches/07.txt"}));
}
