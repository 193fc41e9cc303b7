// Bills of materials in BOMTREE: building an item's bill afresh, applying a revision and
// carrying it into the bills that use the item (the CREATEBOM queue), and copying the bill
// in force at a date into a caller's table. Made by the business evaluator for one call.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uXDS.h"

namespace v7 {

class TBOM {
 public:
  TBOM();
  virtual ~TBOM();
  TBOM(const TBOM&) = delete;
  TBOM& operator=(const TBOM&) = delete;

  // Works off the CREATEBOM queue.
  void ExplodeBOM();
  // Builds the bill of an item afresh; result is "f".
  void CreateBOM(const std::string& itemId, std::string& result);
  void ReviseBOM(const std::string& itemId);
  // Answers the rows renumbered + 1.
  int RenumberTemp(const std::string& bomId, int start);
  // Replaces the sub-tree under every position of itemId in the bill bomId by itemId's own
  // bill; the rows after it move by rCount plus what the new sub-tree is longer than the old.
  void InsertSubTree(const std::string& bomId, const std::string& itemId, int rCount);
  // Copies the bill(s) in force at date into table: itemOrSelect is an item id or a select
  // that lists item ids.
  void PrepareBOM(const std::string& table, const std::string& itemOrSelect, double date);
  void BuildEffectiveTree(const std::string& table, const std::string& itemId, double date);
  // Rows from the current one to the end; the position is kept.
  int CountRows(TXDS& query);

  std::unique_ptr<TXDS> Exec;
  std::vector<std::string> OrderList;
  std::vector<std::string> PathList;
  std::vector<std::unique_ptr<TXDS>> Levels;  // the deepest last
  TDBManager* DBManager = nullptr;            // not owned
  // Trace of the bill operations' messages; nothing when unset.
  TTraceProc BOMTrace;

 private:
  // A message box through the database manager's owner, and the trace line "# 1#" + text.
  void Message(const std::string& text) const;
  void CheckManager() const;
  // Closes the level cursors and clears the walk's lists.
  void ClearWalk();
};

}  // namespace v7
