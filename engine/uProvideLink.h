// The linker of one source transaction type: the documents of other types that are
// generated from its documents. Loading the link definitions breadth first with a ready
// definition, store, validator and evaluator per link is in uProvideLink.cpp; posting and
// removing the generated documents in uPostLinks.cpp; the field mapping of a generated
// document from its source in uLinkMap.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "uGeneralFunctions.h"
#include "uStoreData.h"
#include "uStructDef.h"
#include "uValidate.h"
#include "uXDS.h"

namespace v7 {

// One selected LINKENTRYDOC row. Members are declared so that the validator goes before the
// store and the store before the definition they point at.
struct TLinkEntry {
  std::unique_ptr<TStructDef> TargetDef;
  // A TStoreData, or a TStoreVoucher for the store class "voucher"; none for an unknown
  // store class (such a link is passed over when posting).
  std::unique_ptr<TStoreData> TargetStore;
  std::unique_ptr<TValidate> Validator;  // with its own evaluator
  int FrameIndex = -1;  // BasedOnFrame - 1: -1 once per document, else once per row
  long double LinkId = 0;
  std::string SourceType;  // lower case
  std::string TargetType;  // as stored
  std::string ControlFieldName;
  std::string CompanyFieldName;
  std::vector<std::string> RowCounts;  // one per target frame, "0" at first
  bool Posted = false;
  long double ParentLinkId = 0;
  std::string PostedTable;  // "t" when the source type's POSTED table exists, else " "
};

class TProvideLink {
 public:
  TProvideLink();
  virtual ~TProvideLink();
  TProvideLink(const TProvideLink&) = delete;
  TProvideLink& operator=(const TProvideLink&) = delete;

  // ---- Definitions (uProvideLink.cpp) ----
  // Keeps the type lower-cased and loads all links (SourceStore, UserName and SourceDef
  // must be set before).
  void SetTransId(const std::string& transId);
  // The linker's trace hook and the OnLog hook of every target store.
  void SetTraceProc(TTraceProc proc);
  int IndexOfTarget(const std::string& transId) const;
  bool HasLinkEntry(long double linkId) const;
  void ResetTargets();
  // Runs the current entry's target event script block "{" + name + "}".
  void RunEvent(const std::string& name);
  std::string GetSourceValue(const std::string& field, int row);
  bool SourceHasValue(const std::string& field, int row);
  static long double GetRowRecordId(const TStoreData& store, int frame, int row);
  static long double GetLinkedRowId(const TStoreData& store, int frame, int row);
  void ClearLinkEntries();

  // ---- Posting and removing (uPostLinks.cpp) ----
  bool PostLinks(long double recordId);
  bool DeleteLinks(long double recordId);

  // ---- Field mapping (uLinkMap.cpp) ----
  void MapFields();
  void GetMappedValue(const std::string& targetField, int row);
  void MapFixedRow();
  void MapRows();
  void MapGroupedRows();
  bool RowPassesControl(int row);
  int SourceFrameForDetail();
  int FindTargetRow(const std::string& field, const std::string& value, int frame);
  void LinkSubRows();
  void TrimGridRows(int frame, int before, int after);

  // ---- State ----
  std::string SourceTransId;                             // lower case
  TStructDef* SourceDef = nullptr;                       // not owned (the facade's)
  TStoreData* SourceStore = nullptr;                     // not owned (the facade's document)
  std::vector<std::unique_ptr<TLinkEntry>> LinkEntries;  // load order
  TLinkEntry* CurrentEntry = nullptr;
  TStoreData* TargetStore = nullptr;  // the current entry's
  int CurrentRow = 0;
  long double CurrentLinkId = 0;
  long double RowRecordId = 0;  // the current source row (or header) record id
  long double SourceHeaderRecordId = 0;
  std::string MappedValue;
  long double MappedValueId = 0;
  std::string OldValue;
  long double OldValueId = 0;
  TFld* TargetField = nullptr;
  std::vector<std::string> FieldNames;     // mapped target fields
  std::vector<std::string> FieldLastRows;  // parallel: last target row mapped
  std::vector<std::string> GroupValues;    // grouping: group values, accumulated values, ids
  std::vector<std::string> GroupSums;
  std::vector<std::string> GroupIds;
  std::vector<std::string> SkippedRows;  // frame and row, two characters each
  std::unique_ptr<TXDS> LinkQuery;       // link rows
  std::unique_ptr<TXDS> DetailQuery;     // LINKENTRYDOCDETAIL rows
  std::unique_ptr<TXDS> PostedProbe;
  std::unique_ptr<TXDS> PostedMarks;
  bool EditMode = false;    // the source document existed before this save
  bool CancelMode = false;  // removal cancels instead of deleting
  std::string UserName;
  std::string ShowSubForm;  // "," + list + ","
  TTraceProc OnTrace;

 private:
  // One LINKENTRYDOCDETAIL row of the link being mapped, read once per MapFields.
  struct TMapRow {
    std::string TargetFieldName;
    int TargetRowNo = 0;
    std::string SourceFieldName;
    int SourceRowNo = 0;
    std::string FieldValue;
    long double FieldIdValue = 0;
    std::string MatchToId;
    std::string GroupFieldName;
    std::string ControlFieldName;
  };
  std::vector<TMapRow> MappingRows;  // the current link's mapping rows, in ROWORDER
  size_t MapIndex = 0;               // the mapping row in hand
  std::vector<bool> MappedFrames;    // index frame - 1: some mapping row targets the frame
  // What the target's "parentrecordid" stands for, kept across the loads of PostEntry (a
  // load clears the store's ParentRecordId).
  long double RowParentRecordId = 0;

  TDBManager* Manager() const;
  void Trace(const std::string& text) const;
  // The text of a column, empty when the row has no such column.
  static std::string ColumnText(TXDS& q, const std::string& name);
  // A query slot made once and handed back closed, on the current connection.
  TXDS& ReuseQuery(std::unique_ptr<TXDS>& slot);
  void LoadAllLinks();
  void LoadLinkDocs(const std::string& transId);
  void AddLinkEntry(TXDS& row);
  void OpenPostedTable(TLinkEntry& entry);
  void CompileFieldExprs(TLinkEntry& entry);
  // The store the entry maps from: the facade's document or another entry's target; null
  // when none.
  TStoreData* SourceStoreOf(const TLinkEntry& entry) const;
  void MakeCurrent(TLinkEntry& entry);
  // The link id a target is stored under: the parent link id when 1 or more.
  long double StoredLinkId() const;
  bool PostEntry(int row);
  bool PostTarget(int row);
  void PostDependents(int row);
  bool DeleteTarget();
  bool DeleteDependents();
  bool DeleteRemovedRows();
  void MarkPosted(long double linkId, long double recordId);
  void SwitchCompany(const std::string& prefix);
  void WriteMappedValue(int row);
  const TMapRow& MapRow() const { return MappingRows.at(MapIndex); }
  // Index of the target field in FieldNames (added with last row "0" when new).
  size_t FieldRowIndex(const std::string& field);
  // The value adjustments of the mappers: the id of a number goes into its text (when
  // idToText), and a key field takes the text as its id when the row says so.
  void AdjustMappedValue(bool idToText);
  void RaiseRowCount(int frame, int row);
  void TraceMapped(int row) const;
};

}  // namespace v7
