// The FTP layer against real servers on loopback: pyftpdlib, vsftpd, ProFTPD and Pure-FTPd.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <thread>

#include "PacketFixtures.h"
#include "uCurl.h"
#include "uFtp.h"

using namespace v7;
using v7test::ReadFile;
using v7test::TempDir;
using v7test::TestFtpServer;
using v7test::WriteFile;
namespace fs = std::filesystem;

namespace {

std::unique_ptr<FtpSession> SessionFor(const v7test::LoopbackFtpServer& server) {
  auto ftp = NewCurlFtpSession();
  ftp->Host = server.Host();
  ftp->Username = server.User();
  ftp->Password = server.Password();
  return ftp;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(FtpSession, TransfersBinaryFilesAndListsMasksWithTheirFolder) {
  TestFtpServer server;
  fs::create_directories(server.Path("v7/site01/send"));
  fs::create_directories(server.Path("v7/patches"));
  for (const char* name : {"07.sql", "07.txt", "070.sql", "17.sql"})
    WriteFile(server.Path(std::string("v7/patches/") + name), "x");
  TempDir local;
  const std::string binary("\x00\x01\r\n\xff\n", 6);
  WriteFile(local.file("a.pkt"), binary);
  WriteFile(local.file("note.txt"), "x");

  auto ftp = SessionFor(server);
  ftp->Connect();
  EXPECT_TRUE(ftp->Connected());
  ftp->Put(local.file("note.txt"), "v7\\site01\\send\\a.pkt");
  ftp->Put(local.file("a.pkt"), "v7\\site01\\send\\a.pkt");  // replaces
  ftp->Put(local.file("a.pkt"), "v7\\site01\\send\\b c.pkt");
  EXPECT_EQ(ReadFile(server.Path("v7/site01/send/a.pkt")), binary);

  EXPECT_EQ(Sorted(ftp->NameList("v7\\site01\\send\\*.pkt")),
            (std::vector<std::string>{"v7/site01/send/a.pkt", "v7/site01/send/b c.pkt"}));
  EXPECT_TRUE(ftp->NameList("v7\\site01\\send\\*.PKT").empty());
  EXPECT_EQ(Sorted(ftp->NameList("v7\\patches\\07.*")),
            (std::vector<std::string>{"v7/patches/07.sql", "v7/patches/07.txt"}));

  // A download replaces a longer stale file entirely.
  WriteFile(local.file("old.pkt"), "stale content that is longer");
  ftp->Get("v7/site01/send/b c.pkt", local.file("old.pkt"));
  EXPECT_EQ(ReadFile(local.file("old.pkt")), binary);

  ftp->Delete("v7\\site01\\send\\a.pkt");
  EXPECT_FALSE(fs::exists(server.Path("v7/site01/send/a.pkt")));

  // A backslash belongs to the name it stands in; size and time of a file as the server has them.
  WriteFile(server.Path("v7/site01/send/back\\slash.pkt"), "x");
  EXPECT_EQ(Sorted(ftp->NameList("v7/site01/send/*.pkt")),
            (std::vector<std::string>{"v7/site01/send/b c.pkt", "v7/site01/send/back\\slash.pkt"}));
  const RemoteFileInfo info = ftp->FileInfo("v7/site01/send/b c.pkt");
  EXPECT_EQ(info.Size, static_cast<int64_t>(binary.size()));
  EXPECT_LT(std::abs(info.Modified - std::time(nullptr)), 60);

  // A hostile server's names come whole, with what they hold ("../", NUL, a control character)
  // for the steps to refuse; none is cut at a NUL ("c.pkt<NUL>d" is no packet).
  WriteFile(server.Path("names.txt"),
            "v7/site01/send v7/site01/send/../../x.pkt\nv7/site01/send a\\x00b.pkt\n"
            "v7/site01/send c.pkt\\x00d\nv7/site01/send t\\tab.pkt\n");
  server.Stop();
  server.Start("elradfmwMT", 0, "list-names=names.txt");
  using namespace std::string_literals;
  EXPECT_EQ(Sorted(ftp->NameList("v7/site01/send/*.pkt")),
            (std::vector<std::string>{"v7/site01/send/../../x.pkt", "v7/site01/send/a\0b.pkt"s,
                                      "v7/site01/send/b c.pkt", "v7/site01/send/back\\slash.pkt",
                                      "v7/site01/send/t\tab.pkt"}));
  ftp->Disconnect();
  EXPECT_FALSE(ftp->Connected());
}

// Each failure names the path it was about and the server's reply, not a note libcurl
// made earlier in the same request.
// A refused command (an error reply) is told from a failed session.
std::string FtpFailure(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const EFtpError& e) {
    return std::string(e.Refused ? "refused: " : "failed: ") + e.what();
  }
  return "no failure";
}

TEST(FtpSession, FailuresRaiseNameTheServersReplyLeaveNoLocalFileAndTheSessionRecovers) {
  TestFtpServer server;
  fs::create_directories(server.Path("v7/patches"));
  TempDir local;
  auto ftp = SessionFor(server);
  ftp->Password = "wrong";
  EXPECT_NE(FtpFailure([&] { ftp->Connect(); }).find("refused: FTP connect to"), std::string::npos);
  EXPECT_FALSE(ftp->Connected());
  ftp->Host = "";
  EXPECT_EQ(FtpFailure([&] { ftp->Connect(); }),
            "failed: FTP: no server to connect to: the FTP account names no host");

  ftp->Host = server.Host();
  ftp->Password = "secret";
  ftp->Connect();
  struct Case {
    std::function<void()> operation;
    const char* message;
  } cases[] = {
      {[&] { ftp->Get("v7\\patches\\missing.sql", local.file("missing.sql")); },
       "refused: FTP download of v7\\patches\\missing.sql failed: 550 /v7/patches/missing.sql "
       "is not retrievable."},
      {[&] { ftp->Delete("v7/patches/missing.sql"); },
       "refused: FTP delete of v7/patches/missing.sql failed: 550 No such file or directory."},
      {[&] { ftp->Put(local.file("none.txt"), "v7/patches/none.txt"); },
       "failed: FTP upload to v7/patches/none.txt: cannot open "},
      {[&] {
         WriteFile(local.file("x.pkt"), "x");
         ftp->Put(local.file("x.pkt"), "v7/nowhere/x.pkt");
       },
       "refused: FTP upload to v7/nowhere/x.pkt failed: 550 No such file or directory."},
  };
  for (const Case& c : cases) {
    const std::string message = FtpFailure(c.operation);
    EXPECT_EQ(message.substr(0, std::string(c.message).size()), c.message) << message;
  }
  EXPECT_FALSE(fs::exists(local.file("missing.sql")));
  EXPECT_TRUE(ftp->NameList("v7/patches/01.*").empty());

  // An answer tells only what it says. A listing answered 450 or 550 is an empty folder only
  // where the folder is there and a listing of it whole is sent; a missing folder, a refused
  // listing and a refused data connection are failures. "550" to SIZE is no proof that a file
  // is gone (a file in use), nor is a listing that leaves it out.
  WriteFile(server.Path("v7/patches/01.sql"), "x");
  fs::create_directories(server.Path("v7/empty"));
  WriteFile(server.Path("v7/empty/r.txt"), "x");
  const auto listing = [&](const std::string& mask) {
    try {
      return std::to_string(ftp->NameList(mask).size());
    } catch (const EFtpError& e) {
      return std::string(e.Refused ? "refused: " : "failed: ") + e.Detail;
    }
  };
  const std::string refusedList = "refused: the server refused to list v7/patches/ (";
  const struct {
    const char* faults;
    const char* perm = "elradfmwMT";
    std::string listed = "1";  // of v7/patches/01.*
    FilePresence size = FilePresence::Present, named = FilePresence::Present;
    int64_t shown = 1;  // the size Shown gives, -1 for none
  } answers[] = {
      {""},
      {"glob"},
      {"refuse-size-mdtm"},
      {"nlst=450", "elradfmwMT", refusedList + "450 No files found.)", FilePresence::Present,
       FilePresence::Unknown},
      {"nlst=550", "elradfmwMT", refusedList + "550 No files found.)", FilePresence::Present,
       FilePresence::Unknown},
      {"nlst=empty", "elradfmwMT", "0", FilePresence::Present, FilePresence::Absent},
      {"", "eradfmwMT", refusedList + "550 Not enough privileges.)", FilePresence::Absent,
       FilePresence::Unknown, -1},
      {"port-refused", "elradfmwMT",
       "refused: the server refused the data connection of active mode (550 Permission "
       "denied.)",
       FilePresence::Present, FilePresence::Unknown},
      {"busy-dele=01.sql", "elradfmwMT", "1", FilePresence::Absent, FilePresence::Present},
      // Listed in its folder, but not by its name.
      {"unservable=01.sql", "elradfmwMT", "1", FilePresence::Absent, FilePresence::Present},
      // A size of 23 digits is no size, given to SIZE or as MLST's fact.
      {"huge-size=213:01.sql", "elradfmwMT", "1", FilePresence::Present, FilePresence::Present, -1},
      {"huge-size=550:01.sql", "elradfmwMT", "1", FilePresence::Absent, FilePresence::Present, -1},
  };
  for (const auto& c : answers) {
    SCOPED_TRACE(std::string(c.perm) + " " + c.faults);
    server.Stop();
    server.Start(c.perm, 0, c.faults);
    EXPECT_EQ(listing("v7/patches/01.*"), c.listed);
    // A file another program holds open: its delete is refused, and then its size.
    if (std::string(c.faults).starts_with("busy-dele")) {
      EXPECT_NE(FtpFailure([&] { ftp->Delete("v7/patches/01.sql"); }).find("being used"),
                std::string::npos);
    }
    std::string answer;
    EXPECT_EQ(ftp->Presence("v7/patches/01.sql", &answer), c.size) << answer;
    EXPECT_EQ(ftp->Listed("v7/patches/01.sql"), c.named);
    EXPECT_EQ(ftp->Shown("v7/patches/01.sql").Size, c.shown);
    if (c.size == FilePresence::Present && c.shown < 0) {
      EXPECT_EQ(ftp->FileInfo("v7/patches/01.sql").Size, -1);
    }
    if (c.listed == "1") {
      EXPECT_EQ(listing("v7/empty/*.pkt"), "0");
      EXPECT_EQ(listing("v7/nowhere/*.pkt"),
                "refused: the folder v7/nowhere/ is not on the server (550 No such file or "
                "directory.)");
      EXPECT_EQ(ftp->Listed("v7/patches/02.sql"), FilePresence::Absent);
      EXPECT_EQ(ftp->Listed("v7/nowhere/02.sql"), FilePresence::Unknown);
    }
    EXPECT_EQ(ftp->Presence("v7/patches/02.sql"), FilePresence::Absent);
    EXPECT_EQ(ftp->Presence("v7/nowhere/02.sql"), FilePresence::Absent);
    // Asking about a folder leaves the session in its home folder.
    EXPECT_TRUE(ftp->Rename("v7/empty/r.txt", "v7/empty/r.txt"));
  }
  fs::remove(server.Path("v7/patches/01.sql"));

  server.Stop();
  EXPECT_EQ(FtpFailure([&] { ftp->NameList("v7/patches/01.*"); }).substr(0, 8), "failed: ");
  ftp->Disconnect();
  EXPECT_NE(FtpFailure([&] { ftp->Connect(); }).find("failed: FTP connect to"), std::string::npos);
  EXPECT_NE(FtpFailure([&] { ftp->Connect(); }).find("Couldn't connect to server"),
            std::string::npos);
  server.Start();
  ftp->Connect();
  EXPECT_TRUE(ftp->NameList("v7/patches/01.*").empty());

  // A stop while the server holds back its reply (a signal handler asks for it; here another
  // thread): the wait ends, and the command counts as not done, as on a lost connection,
  // never as refused. Nothing more goes out until the stop is forgotten.
  for (const std::string command : {"NLST", "RNTO", "DELE"}) {
    SCOPED_TRACE(command);
    server.Stop();
    server.Start("elradfmwMT", 0, "hang-reply=" + command + ":*");
    WriteFile(server.Path("v7/patches/02.sql"), "x");
    fs::remove(server.Path("hung"));
    std::thread stopper([&] {
      for (int i = 0; i < 6000 && !fs::exists(server.Path("hung")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      RequestStop();
    });
    const std::string message = FtpFailure([&] {
      if (command == "NLST") ftp->NameList("v7/patches/*.sql");
      if (command == "RNTO") ftp->Rename("v7/patches/02.sql", "v7/patches/03.sql");
      if (command == "DELE") ftp->Delete("v7/patches/02.sql");
    });
    stopper.join();
    EXPECT_TRUE(message.starts_with("failed: FTP ")) << message;
    EXPECT_TRUE(message.ends_with(" stopped: the client is stopping")) << message;
    EXPECT_FALSE(ftp->Connected());
    EXPECT_EQ(FtpFailure([&] { ftp->Presence("v7/patches/02.sql"); }).substr(0, 8), "failed: ");
    EXPECT_FALSE(ftp->Connected());
    ClearStop();
  }
  server.Stop();
  server.Start();
  ftp->Connect();
  EXPECT_EQ(ftp->Presence("v7/patches/02.sql"), FilePresence::Absent);  // the DELE was done
}

// What the steps ask of a server, asked of the daemons that sites run, with full rights: the
// same answers as the test server gives.
TEST(FtpSession, DaemonsOfSitesAnswerAsTheStepsExpect) {
  const struct {
    v7test::FtpDaemon daemon;
    std::vector<std::string> settings;
  } servers[] = {
      {v7test::FtpDaemon::Vsftpd,
       {"anon_other_write_enable=YES", "anon_world_readable_only=NO", "anon_umask=022"}},
      {v7test::FtpDaemon::Proftpd, {}},
      {v7test::FtpDaemon::Pureftpd, {}},
  };
  for (const auto& s : servers) {
    v7test::DaemonFtpServer server(s.daemon);
    SCOPED_TRACE(server.Name());
    V7_REQUIRE_FTP_DAEMON(server);
    server.Start(s.settings);
    server.Folder("v7/site01/send");
    TempDir local;
    const std::string binary("\x00\x01\r\n\xff\n", 6);
    WriteFile(local.file("a.pkt"), binary);
    auto ftp = SessionFor(server);
    ftp->Connect();
    ftp->Put(local.file("a.pkt"), "v7\\site01\\send\\a.pkt.part");
    EXPECT_TRUE(ftp->Rename("v7/site01/send/a.pkt.part", "v7/site01/send/a.pkt"));
    EXPECT_EQ(ReadFile(server.Path("v7/site01/send/a.pkt")), binary);
    EXPECT_EQ(ftp->NameList("v7/site01/send/*.pkt"),
              std::vector<std::string>{"v7/site01/send/a.pkt"});
    EXPECT_EQ(ftp->FileInfo("v7/site01/send/a.pkt").Size, static_cast<int64_t>(binary.size()));
    ftp->Get("v7/site01/send/a.pkt", local.file("b.pkt"));
    EXPECT_EQ(ReadFile(local.file("b.pkt")), binary);
    EXPECT_EQ(ftp->Presence("v7/site01/send/a.pkt"), FilePresence::Present);
    EXPECT_EQ(ftp->Shown("v7/site01/send/a.pkt").Size, static_cast<int64_t>(binary.size()));
    EXPECT_EQ(ftp->Shown("v7/site01/send/zz.pkt").Presence, FilePresence::Absent);
    ftp->Delete("v7/site01/send/a.pkt");
    EXPECT_EQ(ftp->Shown("v7/site01/send/a.pkt").Presence, FilePresence::Absent);
    EXPECT_EQ(ftp->Presence("v7/site01/send/a.pkt"), FilePresence::Absent);
    EXPECT_FALSE(ftp->Rename("v7/site01/send/a.pkt.part", "v7/site01/send/a.pkt"));
    EXPECT_TRUE(fs::is_empty(server.Path("v7/site01/send")));
    ftp->Disconnect();
    server.Stop();
  }
}

// What a hostile or broken server sends is bounded and checked before it is used: a download
// or a listing without end is cut off at its bound, a data connection from another host than
// the server is refused, each refusal names its file, and the session goes on. A symlink
// planted where a download lands is replaced, never written through.
TEST(FtpSession, EndlessDataAndDataFromAnotherHostAreRefusedByName) {
  TestFtpServer server;
  fs::create_directories(server.Path("v7/site01/send"));
  const std::string bytes(3000, 'p');
  WriteFile(server.Path("v7/site01/send/big.pkt"), bytes);
  WriteFile(server.Path("v7/site01/send/ok.pkt"), "ok");
  TempDir local;
  const struct {
    const char* faults;
    const char* listing;   // of v7/site01/send/*.pkt: its count or the refusal
    const char* download;  // of big.pkt: its size or the refusal
  } cases[] = {
      {"", "2", "3000"},
      // A known size stops a RETR that sends on, there.
      {"endless-retr=big.pkt", "2",
       "refused: FTP download of v7/site01/send/big.pkt failed: 426 Transfer aborted"},
      {"refuse-size-mdtm,endless-retr=big.pkt", "2",
       "refused: FTP download of v7/site01/send/big.pkt refused: the server sends more than "
       "65536 bytes, the most a download may be: it was cut off"},
      {"endless-nlst",
       "refused: the listing passed 65536 bytes, the most a listing may be: it "
       "was cut off",
       "3000"},
      {"data-from=127.0.0.2",
       "refused: the data connection came from 127.0.0.2, not from the server 127.0.0.1",
       "refused: FTP download of v7/site01/send/big.pkt refused: the data connection came from "
       "127.0.0.2, not from the server 127.0.0.1"},
  };
  auto ftp = SessionFor(server);
  ftp->MaxDownloadBytes = 65536;
  ftp->MaxListingBytes = 65536;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    server.Stop();
    server.Start("elradfmwMT", 0, c.faults);
    std::string listed;
    try {
      listed = std::to_string(ftp->NameList("v7/site01/send/*.pkt").size());
    } catch (const EFtpError& e) {
      listed = std::string(e.Refused ? "refused: " : "failed: ") + e.Detail;
    }
    EXPECT_EQ(listed, c.listing);
    // A planted symlink where the download lands: its target is never written.
    WriteFile(local.file("victim.txt"), "victim");
    fs::remove(local.file("big.pkt"));
    fs::create_symlink(local.file("victim.txt"), local.file("big.pkt"));
    const std::string got =
        FtpFailure([&] { ftp->Get("v7/site01/send/big.pkt", local.file("big.pkt")); });
    EXPECT_EQ(got == "no failure" ? std::to_string(fs::file_size(local.file("big.pkt")))
                                  : got.substr(0, std::string(c.download).size()),
              c.download);
    EXPECT_EQ(ReadFile(local.file("victim.txt")), "victim");
    EXPECT_FALSE(fs::is_symlink(local.file("big.pkt")));
    EXPECT_EQ(got == "no failure", fs::exists(local.file("big.pkt")));
    // Nothing else is left in the folder, and the session goes on.
    EXPECT_EQ(std::distance(fs::directory_iterator(local.path()), fs::directory_iterator()),
              got == "no failure" ? 2 : 1);
    EXPECT_EQ(ftp->Presence("v7/site01/send/big.pkt"), FilePresence::Present);
    if (std::string(c.faults) != "data-from=127.0.0.2") {
      ftp->Get("v7/site01/send/ok.pkt", local.file("ok.pkt"));
      EXPECT_EQ(ReadFile(local.file("ok.pkt")), "ok");
      fs::remove(local.file("ok.pkt"));
    } else {
      // An upload too: the other host would take it.
      WriteFile(local.file("up.pkt"), "up");
      EXPECT_NE(FtpFailure([&] { ftp->Put(local.file("up.pkt"), "v7/site01/send/up.pkt"); })
                    .find("refused: FTP upload to v7/site01/send/up.pkt refused: the data "
                          "connection came from 127.0.0.2"),
                std::string::npos);
      fs::remove(local.file("up.pkt"));
    }
  }
}

// A server that caps its listings (Pure-FTPd's limit on the names a listing holds) says so
// when it cut one: the names it gave are some of the folder's, the newest files among them
// (files that stand there for good come after new ones), and a name it left out is not taken
// for gone.
TEST(FtpSession, ListingTheServerCutIsSaidAndProvesNoNameGone) {
  v7test::DaemonFtpServer server(v7test::FtpDaemon::Pureftpd);
  V7_REQUIRE_FTP_DAEMON(server);
  server.Start({"--limitrecursion=3:5"});
  server.Folder("v7/site01/send");
  for (int i = 0; i < 20; ++i) {
    const std::string file = server.Path("v7/site01/send/p" + std::to_string(100 + i) + ".pkt");
    WriteFile(file, "x");
    if (i < 18)
      fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(24));
  }
  auto ftp = SessionFor(server);
  std::string cut;
  const std::vector<std::string> names = ftp->NameList("v7/site01/send/*.pkt", &cut);
  EXPECT_EQ(cut, "226 Output truncated to 3 matches");
  EXPECT_LE(names.size(), 6u);
  for (const char* newest : {"v7/site01/send/p118.pkt", "v7/site01/send/p119.pkt"})
    EXPECT_NE(std::find(names.begin(), names.end(), newest), names.end()) << newest;
  for (int i = 0; i < 20; ++i) {
    const std::string name = "v7/site01/send/p" + std::to_string(100 + i) + ".pkt";
    EXPECT_NE(ftp->Listed(name), FilePresence::Absent) << name;
  }
  EXPECT_EQ(ftp->Listed("v7/site01/send/none.pkt"), FilePresence::Unknown);
  // Without the cap the whole folder is listed, and nothing is said.
  server.Start();
  EXPECT_EQ(ftp->NameList("v7/site01/send/*.pkt", &cut).size(), 20u);
  EXPECT_EQ(cut, "");
  EXPECT_EQ(ftp->Listed("v7/site01/send/none.pkt"), FilePresence::Absent);
}
