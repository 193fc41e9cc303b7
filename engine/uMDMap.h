// Update maps: the definitions that carry a document's values into master-table rows
// (running totals, counts, extremes, assignments), the queue of pending master-row updates
// that the passes fill, and the single flush that writes them. Loading is in uMDMap.cpp,
// the passes and the flush in uMDMapPost.cpp.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uStructDef.h"
#include "uXDS.h"

namespace v7 {

// One map definition. MasterExprs, DetailFields and DecimalPlaces are parallel lists; an
// entry is an operator character ("@" key, "+", "-", ">", "<", "*") and a master column.
struct TDef {
  std::string transid;       // lower case
  std::string tablename;     // the master table
  std::string controlfield;  // "f" in this detail field switches the map off for a row
  std::string FieldTypes;    // one type letter per entry: "n", "d" or "c"
  std::string treetable;     // empty = tablename
  std::string treelink;      // empty = tablename + "id"
  std::vector<std::string> MasterExprs;
  std::vector<std::string> DetailFields;
  std::vector<std::string> DecimalPlaces;
  int sourceframe = 0;
  bool append = false;
  bool treeupdate = false;
  bool initondel = false;
};

// One pending master-row update.
struct TData {
  std::string Key;  // master table, " where " and the key condition
  std::string tablename;
  std::string FieldTypes;
  std::vector<std::string> MasterExprs;
  std::vector<std::string> DetailFields;
  std::vector<std::string> Values;  // one accumulated text per entry
  std::vector<std::string> DecimalPlaces;
  // Per entry the table (with its prefix) that stores the detail field, as the store that
  // queued the entry answered it: a removed extreme is recomputed from it at the flush, when
  // that store may hold another document or none.
  std::vector<std::string> DetailTables;
  bool append = false;
  bool SkipAssign = false;
  int Mode = 1;
  TDef* Def = nullptr;  // not owned; lives in TMDMap::Maps
};

// The value record that the store fills for a detail field and a row.
struct TFieldData {
  std::string Value;
  std::string OldValue;
  std::string FieldType;
  std::string DetailTable;
  long double ValueId = 0;
  long double OldValueId = 0;
};

class TMDMap {
 public:
  using TGetValueEvent =
      std::function<void(const std::string& fieldName, int row, TFieldData& valueRec)>;
  using TGetRowCountEvent = std::function<int(int frame)>;

  TMDMap();
  ~TMDMap();
  TMDMap(const TMDMap&) = delete;
  TMDMap& operator=(const TMDMap&) = delete;

  // ---- Definitions (uMDMap.cpp) ----
  // Every statement runs on StructDef's DBManager: LoadUpdateDetails sets StructDef; set it
  // before LoadScriptMaps or a pass when no updatedetails were loaded.
  // Appends the definitions of a transaction type from updatedetails.
  void LoadUpdateDetails(const std::string& transId, TStructDef* structDef);
  // Appends the definitions of the "{mdmap" blocks of an event text (TStructDef::ExprSet).
  // Raises EDatabaseError "Improper Map definition" + line.
  void LoadScriptMaps(const std::vector<std::string>& lines);
  // Frees all pending updates; the definitions stay.
  void Clear();
  void CloseQueries();

  // ---- Passes and flush (uMDMapPost.cpp) ----
  // Reverse = false: difference pass (save); true: reverse pass (delete, cancel).
  void ProcessDocument(const std::string& transId, bool reverse);
  // A reverse pass over one row of one frame (a row removed from the document).
  void ProcessRow(const std::string& transId, int frame, int row);
  // Copies tree updates to the ancestors, writes every pending update, empties the queue.
  void Flush();

  // ---- Callbacks, set by the store before each pass ----
  TGetValueEvent OnGetValue;
  TGetRowCountEvent OnGetRowCount;
  TTraceProc OnTrace;
  std::string TablePrefix;
  // The new-document flag: the store's IsNew, set with the callbacks before each pass.
  bool NewDocument = false;

  // ---- State ----
  std::vector<std::unique_ptr<TDef>> Maps;
  std::vector<std::unique_ptr<TData>> Pending;
  TFieldData ValueRec;
  int Mode = 1;  // 1 difference pass, 0 reverse pass
  int TreePass = 0;
  int ControlChanged = 0;
  int KeyChanged = 0;
  // The source frame of the row in hand: the store answers the count pseudo fields per row.
  int RowFrame = 0;
  std::vector<std::string> Ancestors;
  std::string AncestorId;
  std::string MasterTransId;
  TStructDef* StructDef = nullptr;  // not owned; its DBManager runs every query

 private:
  // ---- Loading helpers (uMDMap.cpp) ----
  TDBManager* Manager() const;
  // The query of a slot, made on first use and reused.
  TXDS& Query(std::unique_ptr<TXDS>& slot);
  void Trace(const std::string& text) const;
  // The frame whose rows feed an updatedetails row.
  int SourceFrameOf(const std::string& detailField, const std::string& linkField,
                    const std::string& controlField, const std::string& updateType) const;
  // "n", "d" or "c" by the data type of the column's first result column.
  std::string ColumnTypeLetter(const std::string& table, const std::string& column);
  // Decimals of a field of a transaction type in prms; 0 when none.
  int FieldDecimals(const std::string& transId, const std::string& fieldName);
  void AddDefinitionLine(TDef& def, const std::string& line);
  void CloseBlock(TDef& def);

  // ---- Pass and flush helpers (uMDMapPost.cpp) ----
  void ProcessMapRow(TDef& def, int row, bool rowPass);
  // New and old key of a row; empty texts when the row has no key.
  void BuildKeys(TDef& def, int row, std::string& newKey, std::string& oldKey);
  void QueueRow(TDef& def, int row, const std::string& key);
  TData* FindPending(const std::string& key) const;
  // The entry of data with the master expression and detail field; appended when missing.
  int MatchEntry(TData& data, const std::string& masterExpr, const std::string& detailField,
                 const std::string& decimals, char typeLetter, const std::string& detailTable = "");
  // The accumulation rules of one entry: difference (new minus old) and reverse (old out).
  // value gives the looked-up ids of "@" entries.
  void ApplyDifference(TData& data, int entry, const std::string& newValue,
                       const std::string& oldValue, const TFieldData& value);
  void ApplyReverse(TData& data, int entry, const std::string& oldValue, const TFieldData& value,
                    bool initOnDel);
  void CopyToAncestors(TData& data);
  void WriteMasterRow(TData& data);
  // The stored extreme to write for a ">" or "<" entry; false when nothing is written.
  bool ExtremeValue(TData& data, int entry, const std::string& stored, std::string& result);

  std::unique_ptr<TXDS> DetailsQuery;   // updatedetails rows
  std::unique_ptr<TXDS> TypeQuery;      // column type probes
  std::unique_ptr<TXDS> DecimalsQuery;  // prms decimals
  std::unique_ptr<TXDS> BlockQuery;     // closing probe of a map block
  std::unique_ptr<TXDS> TreeQuery;      // ancestors of a tree master row
  std::unique_ptr<TXDS> LockQuery;      // "... for update"
  std::unique_ptr<TXDS> ReadQuery;      // the master row
  std::unique_ptr<TXDS> ExtremeQuery;   // max/min recomputation
  std::unique_ptr<TXDS> WriteQuery;     // insert or update of the master row
};

}  // namespace v7
