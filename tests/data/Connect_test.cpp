// The project registry over a real "Dbconnections.ini" in the configuration folder.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "uConnect.h"
#include "uGeneralFunctions.h"

using namespace v7;

namespace {

class ProjectRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    v7test::WriteFile(dir_.file("Dbconnections.ini"),
                      "[Shop]\r\nProject=ShopData\r\nDbType=ACCESS\r\nDriver=ADO\r\n"
                      "[ora]\r\nproject=Scott\r\ndbtype=oracle\r\ndbname=ORCL\r\ndriver=dbx\r\n"
                      "[odd]\r\nProject=Site_User\r\nDbType=Postgre\r\nDbName=dbname=SiteUp password=PW\r\n"
                      "Driver=odbc\r\n");
    SetConfigFolder(dir_.path());
  }
  void TearDown() override { SetConfigFolder(""); }
  v7test::TempDir dir_;
};

}  // namespace

TEST_F(ProjectRegistry, AddReadsTheSectionLowerCasedAndFindTrimsTheName) {
  TPConnect projects;
  TProjectRecord* shop = projects.AddProject("shop");
  EXPECT_EQ(projects.Current, shop);
  EXPECT_EQ(shop->Project + "|" + shop->DbType + "|" + shop->Driver + "|" + shop->DbName,
            "shopdata|access|ado|");
  EXPECT_EQ(shop->ConnectNo, -1);
  EXPECT_EQ(projects.ErrorText, "");
  TProjectRecord* ora = projects.AddProject("ora");
  EXPECT_EQ(ora->DbName, "orcl");

  int index = 99;
  EXPECT_EQ(projects.FindProject("  Shop ", index), shop);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(projects.FindProject("none", index), nullptr);
  EXPECT_EQ(index, -1);

  // PostgreSQL names and connection strings are case-sensitive: kept as written.
  TProjectRecord* odd = projects.AddProject("odd");
  EXPECT_EQ(odd->DbType + "|" + odd->Project + "|" + odd->DbName,
            "postgre|Site_User|dbname=SiteUp password=PW");
  EXPECT_EQ(projects.ErrorText, "Improper Driver");
  TPConnect other;
  EXPECT_EQ(other.AddProject("nowhere")->DbType + other.ErrorText, "Improper Driver");
}

TEST_F(ProjectRegistry, SecondAddKeepsTheRecordAndRemoveForgetsIt) {
  TPConnect projects;
  TProjectRecord* first = projects.AddProject("shop");
  first->ConnectNo = 7;
  projects.AddProject("ora");
  v7test::WriteFile(dir_.file("Dbconnections.ini"), "[shop]\nDriver=bde\n[ora]\nDriver=bde\n");
  EXPECT_EQ(projects.AddProject("shop"), first);  // the file is not read again
  EXPECT_EQ(first->Driver, "ado");
  EXPECT_EQ(first->ConnectNo, 7);

  projects.RemoveProject("unknown");
  EXPECT_EQ(projects.Records.size(), 2u);
  projects.RemoveProject(" SHOP ");
  ASSERT_EQ(projects.Records.size(), 1u);
  EXPECT_EQ(projects.Records[0]->Name, "ora");
  EXPECT_EQ(projects.Current, nullptr);  // it was the current one: no dangling record
  EXPECT_EQ(projects.AddProject("shop")->Driver, "bde");
}
