// A fixture for the query object on a fresh SQLite file: dates in the "access" form and query
// objects whose trace lines are kept, in order, in trace.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "uGeneralFunctions.h"
#include "uSqliteBackend.h"
#include "uXDS.h"

namespace v7test {

class SqliteQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    v7::DbDateTemplate = "format(':value', 'dd/mm/yyyy hh:nn:ss')";
    v7::DbDateFormat = "dd/mm/yyyy";
    db = std::make_shared<v7::TSqliteBackend>();
    db->Open(dir.file("site.db"));
  }
  std::unique_ptr<v7::TXDS> NewQuery(const std::string& driver, const std::string& dbType) {
    return std::make_unique<v7::TXDS>(
        driver, db, [this](const std::string& line) { trace.push_back(line); }, dbType);
  }
  TempDir dir;
  std::shared_ptr<v7::TSqliteBackend> db;
  std::vector<std::string> trace;
};

}  // namespace v7test
