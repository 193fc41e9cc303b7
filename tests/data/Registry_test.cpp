// The registry file and the INI document beneath it.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "uGeneralFunctions.h"
#include "uIniFile.h"
#include "uRegistry.h"

using namespace v7;

TEST(IniFile, WritesKeepCommentsOrderAndTheKeysSpelling) {
  v7test::TempDir dir;
  std::string file = dir.file("a.ini");
  v7test::WriteFile(file, "; keep me\r\n[One]\r\nName = x\r\nOther=1\r\n\r\n[Two]\r\nz=9\r\n");
  TIniFile ini = TIniFile::Load(file);
  ini.WriteString("one", "NAME", "y");
  ini.WriteString("ONE", "added", "2");
  ini.WriteString("three", "k", "v");
  ini.Save(file);
  EXPECT_EQ(v7test::ReadFile(file),
            "; keep me\n[One]\nName=y\nOther=1\nadded=2\n\n[Two]\nz=9\n\n[three]\nk=v\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  EXPECT_THROW(ini.Save(dir.file("no/such/folder.ini")), EInOutError);
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
  SetConfigFolder("");
}
