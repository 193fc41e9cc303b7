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
                      "[odd]\r\nDbType=postgre\r\nDriver=odbc\r\n");
    SetConfigFolder(dir_.path());
  }
  void TearDown() override { SetConfigFolder(""); }
  v7test::TempDir dir_;
};

}  // namespace

TEST_F(ProjectRegistry, AddReadsTheSectionLowerCasedAndFindTrimsTheName) {
  TPConnect projects;
  TProjectRecord* shop = projects.AddProject("shop");
  ASSERT_NE(shop, nullptr);
  EXPECT_EQ(projects.Current, shop);
  EXPECT_EQ(shop->Name, "shop");
  EXPECT_EQ(shop->Project, "shopdata");
  EXPECT_EQ(shop->DbType, "access");
  EXPECT_EQ(shop->Driver, "ado");
  EXPECT_EQ(shop->DbName, "");
  EXPECT_EQ(shop->ConnectNo, -1);
  EXPECT_EQ(shop->Connection, nullptr);
  EXPECT_EQ(projects.ErrorText, "");

  TProjectRecord* ora = projects.AddProject("ora");
  EXPECT_EQ(ora->DbName, "orcl");
  EXPECT_EQ(ora->Project, "scott");

  int index = 99;
  EXPECT_EQ(projects.FindProject("  Shop ", index), shop);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(projects.FindProject("ORA", index), ora);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(projects.FindProject("none", index), nullptr);
  EXPECT_EQ(index, -1);
}

TEST_F(ProjectRegistry, SecondAddReturnsTheSameRecordWithoutReadingTheFileAgain) {
  TPConnect projects;
  TProjectRecord* first = projects.AddProject("shop");
  first->ConnectNo = 7;
  v7test::WriteFile(dir_.file("Dbconnections.ini"), "[shop]\nDriver=bde\n");
  projects.AddProject("ora");
  EXPECT_EQ(projects.AddProject("shop"), first);
  EXPECT_EQ(projects.Current, first);
  EXPECT_EQ(first->Driver, "ado");
  EXPECT_EQ(first->ConnectNo, 7);
  EXPECT_EQ(projects.Records.size(), 2u);
}

TEST_F(ProjectRegistry, UnknownDriverOrMissingSectionIsAnImproperDriver) {
  TPConnect projects;
  TProjectRecord* odd = projects.AddProject("odd");
  EXPECT_EQ(odd->DbType, "postgre");
  EXPECT_EQ(projects.ErrorText, "Improper Driver");

  TPConnect other;
  EXPECT_EQ(other.AddProject("nowhere")->Project, "");
  EXPECT_EQ(other.ErrorText, "Improper Driver");
}

TEST_F(ProjectRegistry, RemoveDisposesOnlyAKnownProject) {
  TPConnect projects;
  projects.AddProject("shop");
  projects.AddProject("ora");
  projects.RemoveProject("unknown");
  EXPECT_EQ(projects.Records.size(), 2u);
  projects.RemoveProject(" ORA ");
  ASSERT_EQ(projects.Records.size(), 1u);
  EXPECT_EQ(projects.Records[0]->Name, "shop");
  EXPECT_EQ(projects.Current, nullptr);  // it was the current one: no dangling record
  projects.AddProject("ora");
  EXPECT_EQ(projects.Current->Driver, "dbx");
}
