// The registry file and the INI document beneath it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"
#include "uGeneralFunctions.h"
#include "uIniFile.h"
#include "uRegistry.h"

using namespace v7;

TEST(IniFile, WritesKeepCommentsOrderAndTheKeysSpelling) {
  v7test::TempDir dir;
  std::string file = dir.file("a.ini");
  v7test::WriteFile(
      file, "; keep me\r\n[One]\r\nName = x\r\nOther=1\r\n\r\n[]\r\nz=8\r\n[Two]\r\nz=9\r\n");
  TIniFile ini = TIniFile::Load(file);
  ini.WriteString("one", "NAME", "y");
  ini.WriteString("ONE", "added", "2");
  ini.WriteString("three", "k", "v");
  ini.Save(file);
  EXPECT_EQ(v7test::ReadFile(file),
            "; keep me\n[One]\nName=y\nOther=1\nadded=2\n\n[]\nz=8\n[Two]\nz=9\n\n[three]\nk=v\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  EXPECT_THROW(ini.Save(dir.file("no/such/folder.ini")), EInOutError);

  // A registry export is UTF-16 with its byte order mark (here with an U+00E9 in a path); a
  // rewrite is UTF-8.
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("[Key]\r\nDBQ=/d/\xC3\xA9.mdb\r\n")) utf16 += std::string{c, '\0'};
  utf16.replace(utf16.find(std::string("\xC3\0\xA9\0", 4)), 4, std::string("\xE9\0", 2));
  v7test::WriteFile(file, utf16);
  ini = TIniFile::Load(file);
  EXPECT_EQ(ini.ReadString("key", "dbq"), "/d/\xC3\xA9.mdb");
  ini.WriteString("key", "other", "1");
  ini.Save(file);
  EXPECT_EQ(v7test::ReadFile(file), "[Key]\nDBQ=/d/\xC3\xA9.mdb\nother=1\n");
}

TEST(Registry, KeysMatchWithoutCaseAndValuesPersistAtOnce) {
  v7test::TempDir dir;
  SetConfigFolder(dir.path());
  v7test::WriteFile(dir.file("registry.ini"),
                    "[SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV]\r\nDBQ=/data/shop.db\r\n");
  TRegistry reg;
  EXPECT_EQ(reg.FileName(), dir.path() + "/registry.ini");
  EXPECT_FALSE(reg.OpenKey("SOFTWARE\\STELLOCK\\QUOREX", false));
  EXPECT_EQ(reg.ReadString("SERVERPATH"), "");
  EXPECT_THROW(reg.WriteString("SERVERPATH", "x"), std::logic_error);
  ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\STELLOCK\\QUOREX\\", true));
  EXPECT_TRUE(TRegistry().OpenKey("SOFTWARE\\STELLOCK\\QUOREX", false));  // saved at once
  reg.WriteString("SERVERPATH", "/data/");

  // Another reader (another process) sees the value, and a value it wrote is kept.
  TRegistry other;
  ASSERT_TRUE(other.OpenKey("software\\stellock\\quorex", false));
  EXPECT_EQ(other.ReadString("serverpath"), "/data/");
  ASSERT_TRUE(other.OpenKey("\\software\\odbc\\odbc.ini\\DozovuZovadoVEV", false));
  other.WriteString("DBQ", "/data/shop2.db");
  reg.WriteString("SERVERPATH", "/data2/");
  ASSERT_TRUE(reg.OpenKey("SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV", false));
  EXPECT_EQ(reg.ReadString("dbq"), "/data/shop2.db");
  reg.CloseKey();
  EXPECT_EQ(reg.ReadString("dbq"), "");

  // A path in UTF-8 and a comment in Windows-1252: read as either, one of them would be
  // changed, and written back so. The file is refused as it stands and left as it was.
  const std::string mixed =
      "[SOFTWARE\\STELLOCK\\QUOREX]\nSERVERPATH=/data/caf\xC3\xA9/\n; Pfad ge\xE4ndert\n";
  ASSERT_TRUE(reg.OpenKey("SOFTWARE\\STELLOCK\\QUOREX", false));
  v7test::WriteFile(reg.FileName(), mixed);
  EXPECT_THROW(reg.ReadString("SERVERPATH"), EInOutError);
  try {
    reg.WriteString("SERVERPATH", "/data/");
    ADD_FAILURE() << "written";
  } catch (const EInOutError& e) {
    EXPECT_NE(std::string(e.what()).find(reg.FileName() + " as text: Invalid UTF-8 text at byte "
                                                          "offset 60"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(v7test::ReadFile(reg.FileName()), mixed);

  // A registry export names its keys from the hive and quotes its values: refused, saying so,
  // as UTF-16 (as the registry editor saves it) or as text.
  const std::string exported =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\STELLOCK\\QUOREX]\r\n\"SERVERPATH\"=\"C:\\\\data\\\\\"\r\n";
  std::string wide = "\xFF\xFE";
  for (char c : exported) wide += std::string{c, '\0'};
  for (const std::string& bytes : {exported, wide, exported.substr(exported.find('['))}) {
    v7test::WriteFile(reg.FileName(), bytes);
    try {
      TRegistry().OpenKey("SOFTWARE\\STELLOCK\\QUOREX", true);
      ADD_FAILURE() << "read";
    } catch (const EInOutError& e) {
      EXPECT_NE(std::string(e.what()).find(reg.FileName() + " is a registry export (.reg)"),
                std::string::npos)
          << e.what();
    }
    EXPECT_EQ(v7test::ReadFile(reg.FileName()), bytes);
  }
  SetConfigFolder("");
}

// Processes that write values of their own into the one file at the same moment: none of the
// values is lost.
TEST(Registry, ConcurrentWritersKeepEachOthersValues) {
  v7test::TempDir dir;
  const std::string file = dir.file("registry.ini");
  constexpr int kWriters = 8, kWrites = 15;
  std::vector<pid_t> pids;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      TRegistry reg(file);
      for (int k = 0; k < kWrites; ++k) {
        // Half the writers make the key, all write into it.
        if (!reg.OpenKey(w % 2 ? "SOFTWARE\\ODD" : "SOFTWARE\\SHARED", true)) _exit(1);
        reg.WriteString("w" + std::to_string(w) + "_" + std::to_string(k), "x");
        if (!reg.OpenKey("SOFTWARE\\SHARED", true)) _exit(1);
        reg.WriteString("s" + std::to_string(w) + "_" + std::to_string(k), "y");
      }
      _exit(0);
    }
    ASSERT_GE(pid, 0);
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  TIniFile ini = TIniFile::Load(file);
  int lost = 0;
  for (int w = 0; w < kWriters; ++w)
    for (int k = 0; k < kWrites; ++k) {
      const std::string key = std::to_string(w) + "_" + std::to_string(k);
      lost += ini.ReadString(w % 2 ? "SOFTWARE\\ODD" : "SOFTWARE\\SHARED", "w" + key) != "x";
      lost += ini.ReadString("SOFTWARE\\SHARED", "s" + key) != "y";
    }
  EXPECT_EQ(lost, 0);
}
