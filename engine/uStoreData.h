// The document store: one business document of one transaction type in memory, as a flat
// list of values (one per field and row), with the row and frame bookkeeping that loading,
// saving, deleting and cancelling rely on. Loading is in uStoreLoad.cpp.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "uDBManager.h"
#include "uStructDef.h"
#include "uXDS.h"

namespace v7 {

class TMDMap;
struct TFieldData;

// One value of the document.
struct TFieldRec {
  std::string Table;      // upper case; empty for a value that is not stored
  std::string FieldName;  // as passed in; matched without regard to case
  std::string FieldType;  // "c", "n" or "d"
  int Row = 0;            // -1: the row was removed
  std::string Value;
  long double ValueId = 0;  // the record id that goes with the text (sourcekey fields)
  std::string OldValue;     // as loaded: the base for history and update maps
  long double OldValueId = 0;
  int Frame = 0;
  long double RecordId = 0;  // the id of the row holding the value; 0 for a new row
  char TableKind = 'b';      // 'a' primary table, 'x' sub-frame table, 'b' any other
  int FieldOrder = 0;        // the field's orders when made by a load, else 0
  int OldRow = 0;            // the row before it was removed
  bool HasId = false;        // the stored column receives ValueId, not the text
  int ParentRow = 0;         // the parent row of a sub-frame row; -1 after removal
  int OldParentRow = 0;
  bool HasValue = true;  // false only for a number that was given empty
};

// One stored row of the document: frame, row, the row's record id and its table.
struct TRowId {
  int Frame = 0;
  int Row = 0;
  long double RecordId = 0;
  std::string Table;
};

class TStoreData {
 public:
  // Takes DBManager and DbKind from the definition (not owned) and sets the type.
  TStoreData(TStructDef* structDef, const std::string& transType);
  virtual ~TStoreData();
  TStoreData(const TStoreData&) = delete;
  TStoreData& operator=(const TStoreData&) = delete;

  // ---- Type and tables ----
  // Remakes the query objects and reads the type's settings: automatic fields and their
  // series, the delete-control field, the table list, the approval definition, the tracked
  // fields (when History is on) and the sub-frames. Nothing when the type is unchanged.
  virtual void SetTransType(const std::string& transType);
  // Keeps the header table and probes whether it has a cancel column.
  virtual void SetPrimaryTable(const std::string& table);
  void SetSiteNo(int siteNo) { SiteNo = siteNo; }
  // Prefix "" or a schema/company name; stored with its "." appended.
  void SetTablePrefix(const std::string& prefix);
  // Lower-cased column names of a table, from "select * from <table> where <table>id=0"
  // (the name written as the load writes it for the dialect: prefixed, upper-cased and,
  // for "access", in double quotes). Errors of the probe pass to the caller.
  std::vector<std::string> ProbeTable(const std::string& table);
  // Reads the lower-cased TRACKFIELDS names of the type into TrackFields.
  void LoadTrackFields();

  // ---- Values ----
  // The one way values enter the store: changes the value of (field, table, row) or adds it.
  void AddFieldValue(const std::string& fieldName, const std::string& type,
                     const std::string& table, const std::string& value,
                     const std::string& oldValue, int row, long double valueId,
                     long double oldValueId, int frame, long double recordId, bool hasId);
  // Adds by the definition's field of that name. A name of the form table + "id" of one of
  // the document's tables is kept as a number without table; any other name is ignored.
  void AddValueByName(const std::string& fieldName, int row, const std::string& value,
                      const std::string& oldValue = "", long double valueId = 0,
                      long double oldValueId = 0, long double recordId = 0);
  int FindValue(const std::string& fieldName, const std::string& table, int row) const;
  int IndexOfValue(const std::string& fieldName, int row) const;
  int IndexOfField(const std::string& fieldName) const;
  void GetValue(const std::string& fieldName, int row, std::string& text) const;
  void GetOldValue(const std::string& fieldName, int row, std::string& text) const;
  std::string GetValue(const std::string& fieldName, int row) const;
  std::string GetOldValue(const std::string& fieldName, int row) const;

  // ---- Rows ----
  // Adds an empty row (one value per field of the frame) after the frame's highest row and
  // answers its number.
  int AddRow(int frame);
  // Removes a row: its values (and those of its sub-frame rows) go to row -1, later rows
  // and parent rows close the gap.
  void DeleteRow(int frame, int row);
  int GetMaxRow(int frame) const;
  int GetParentRow(int frame, int row) const;
  void SetParentRow(const std::string& fieldName, int row, int parentRow);
  int CountChildRows(int frame, int parentRow) const;
  // The sub-frame's index in SubFrames, -1 when the frame is no sub-frame.
  int SubFrameIndex(int frame) const;
  // The frame a sub-frame is based on, 0 when the frame is no sub-frame.
  int BaseFrameOf(int frame) const;

  // ---- Row ids ----
  long double FindRowRecordId(int frame, int row) const;
  long double GetRowRecordId(int frame, int row) const;
  int FindLoadedParent(int baseFrame, long double parentRecordId) const;
  void RegisterRowRecordId(const std::string& table, int frame);

  // ---- Life of a document ----
  void ClearValues();
  void MarkLoaded();
  void AddAutoField(const std::string& fieldName);
  bool IsAutoField(const std::string& fieldName) const;
  static bool IsBlankValue(const std::string& text);
  // Sorts Values by frame, then row, then FieldOrder (stable).
  void SortValues();
  void CloseDatasets();
  void FreeDatasets();

  // Placeholders that link mapping puts into a target document's values: the texts
  // "sourcerecordid", "parentrecordid" and "primaryrecordid" (exactly). A save writes the
  // matching id in their place.
  static bool IsPlaceholder(const std::string& value);
  long double PlaceholderRecordId(const std::string& value) const;

  // ---- Loading (uStoreLoad.cpp) ----
  void LoadTransaction(long double recordId);
  void LoadFromRecord(long double linkEntryId, long double sourceRecordId);
  // The load statement of the table group that starts at index fieldIndex of LoadOrder.
  std::string LoadSQLText(int fieldIndex) const;
  void BuildLoadSQL(int fieldIndex);
  void LoadLinkedValue(int row, std::string& text);
  void LoadNoSaveFields();
  // The definition's fields sorted by frame, table and order (the definition's own list is
  // never reordered).
  std::vector<TFld*> LoadOrder;
  // The rows loaded for a frame; 0 for a frame of no loaded table.
  int FrameRowCount(int frame) const;

  // ---- Saving (uStoreSave.cpp) ----
  // Writes every value into the document's tables; queues the update maps. Raises
  // EDatabaseError on refusal.
  virtual void Save();
  void SaveLinked(long double linkEntryId, long double sourceRecordId, long double primaryRecordId);
  // Positions WriteQuery on the record of the value at index, or starts a new record.
  virtual void PrepareRecord(int index);
  virtual void InitNewRecord();
  // Peek: read without consuming the number.
  void GetNextNumber(const std::string& fieldName, bool peek, std::string& number);
  void FindSequence(const std::string& transType, const std::string& fieldName,
                    const std::string& prefix);
  // WriteQuery's before-post hook for every record that Save posts.
  void CheckUniqueNumbers();
  void DeleteRemovedRows();
  void ResolveParentRecordId(int index);
  // The update maps' value callback (GetMaxRow is their row-count callback).
  void MDMapGetValue(const std::string& fieldName, int row, TFieldData& valueRec);
  // Hands MDMap the prefix, both callbacks and the new-document flag before a pass.
  void WireMDMap(bool newDocument);

  // ---- Deleting, cancelling and history (uStoreDelete.cpp) ----
  void CheckDeleteAllowed(std::string& message);
  virtual void DeleteTransaction();
  virtual void CancelTransaction();
  void SaveHistory(bool transDeleted);
  void WriteHistoryRow(int index, int modNo, bool transDeleted);
  int GetNextModNo(long double recordId);

  // ---- Group lists of the business function SetGroupid; emptied by MarkLoaded ----
  std::vector<std::string> GroupFields;
  std::vector<std::string> GroupValues;
  std::vector<std::string> GroupStates;

  // ---- Save state (uStoreSave.cpp) ----
  bool RecordPending = false;  // an insert or update is set up in WriteQuery, not yet posted
  int LastRow = 0;             // the row of the record in hand

  // Trace hook of every store line (trace marks as the trace writer reads them).
  TTraceProc OnLog;
  // Progress text for a display ("Filling dependent : ..."); nothing until set.
  std::function<void(const std::string&)> OnProgress;
  void ShowProgress(const std::string& text) const;
  // Reverses the update maps' contribution of a stored row (frame, row) before the row is
  // removed: every store that posts maps takes back what it removes.
  void ReverseMapRow(int frame, int row);

  // ---- State ----
  bool FirstRecord = false;
  std::string FirstTable;
  long double RecordId = 0;
  std::string TransType;
  std::vector<int> FrameRowCounts;  // index frame - 1; -1 = no entry
  std::string TablePrefix;
  std::vector<std::string> TrackFields;
  bool History = false;
  std::string PrimaryTable;
  long double PrimaryRecordId = 0;
  std::vector<std::string> AutoFieldTypes;
  int NewValueWidth = 0;
  int OldValueWidth = 0;
  std::string ParentRowFlags;  // one letter per sub-frame: "t" when it has parentrow
  std::string CurrentTable;
  long double CurrentRecordId = 0;
  long double HeaderRecordId = 0;
  TFld* CurrentField = nullptr;
  TStructDef* StructDef = nullptr;  // not owned
  TDBManager* DBManager = nullptr;  // not owned
  std::string DbKind;
  std::vector<TFieldRec> Values;
  std::string AsGrids;
  long double DocumentRecordId = 0;
  std::vector<TRowId> RowIds;
  long double LinkTemplateId = 0;
  long double SourceRecordId = 0;
  bool LoadBySource = false;
  bool Found = false;
  std::string SaveControlField;
  std::string DeleteControlField;
  int Approval = 0;
  int ApprovalLevel = 0;
  std::string ApprovalStatus;
  int MaxApproved = 0;
  bool HasApprovalDef = false;
  std::string UserName;
  std::vector<int> SubFrames;
  std::vector<int> BaseFrames;
  std::vector<std::string> SubFrameKeys;
  std::string ChildDoc = "F";
  bool Cancelled = false;
  bool HasCancelColumn = false;
  long double ParentRecordId = 0;
  std::vector<std::string> AutoFields;
  std::vector<std::string> AutoPrefixes;
  std::string NumberedFields;
  bool IsNew = false;
  bool ChecksOn = true;
  TMDMap* MDMap = nullptr;  // not owned
  int SiteNo = 0;
  std::string TableList;

  // The query objects of the store, made by SetTransType (ProbeQuery on first use).
  std::unique_ptr<TXDS> LoadQuery;
  std::unique_ptr<TXDS> LinkedQuery;
  std::unique_ptr<TXDS> HistNoQuery;
  std::unique_ptr<TXDS> ApprovalQuery;
  std::unique_ptr<TXDS> SequenceQuery;
  std::unique_ptr<TXDS> SeqLockQuery;
  std::unique_ptr<TXDS> WorkQuery;
  std::unique_ptr<TXDS> HistWriteQuery;
  std::unique_ptr<TXDS> SeqWriteQuery;
  std::unique_ptr<TXDS> WriteQuery;
  std::unique_ptr<TXDS> ProbeQuery;

  // Record ids as SQL and trace text: whole numbers, never in exponent form.
  static std::string IdText(long double id);
  // A record id from a column or value text; 0 for an empty or non-numeric text.
  static long double TextToId(const std::string& text);
  // A level, frame or row number from a column text; 0 also when out of the int range.
  static int TextToInt(const std::string& text);

  // Values and RowIds are looked up by key through indexes that follow appends on their own.
  // Code that reorders them, changes a value's field name or row, or removes entries calls
  // this before the next lookup.
  void ReindexValues();

 protected:
  // Every query object of the store, for closing and freeing them together.
  std::array<std::unique_ptr<TXDS>*, 11> Queries();
  void Log(const std::string& text) const;
  void MakeQueries();
  void ReadAutoFields();
  void ReadApprovalDef();
  void ReadSubFrames();
  // The table name as a load or probe writes it for the dialect.
  std::string DialectTableName(const std::string& table) const;

  int LoadFieldOrder = 0;  // FieldOrder of values made while loading
  bool Loading = false;

 private:
  // A field name (lower case) and a row, or a frame and a row.
  struct TNameRow {
    std::string Name;
    int Row;
    bool operator==(const TNameRow&) const = default;
  };
  struct TNameRowHash {
    size_t operator()(const TNameRow& k) const {
      return std::hash<std::string>()(k.Name) ^ (std::hash<int>()(k.Row) * 0x9e3779b97f4a7c15ULL);
    }
  };
  struct TFrameRowHash {
    size_t operator()(const std::pair<int, int>& k) const {
      return std::hash<long long>()((static_cast<long long>(k.first) << 32) ^
                                    static_cast<unsigned>(k.second));
    }
  };
  // Brings the indexes up to the entries appended since they were last used; each key keeps
  // the first entry that has it, as a scan from the start would find.
  void IndexValues() const;
  void IndexRowIds() const;
  mutable std::unordered_map<TNameRow, int, TNameRowHash> valueIndex_;
  mutable std::unordered_map<std::string, int> fieldIndex_;
  mutable size_t valuesIndexed_ = 0;
  mutable std::unordered_map<std::pair<int, int>, long double, TFrameRowHash> rowIdIndex_;
  mutable size_t rowIdsIndexed_ = 0;

  void LoadGroup(size_t first, size_t end);
  void RaiseFrameRowCount(int frame, int rows);
};

}  // namespace v7
