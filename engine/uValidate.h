// The validator of one document: fills every field by its mode of entry, publishes values
// as evaluator variables, checks them and writes them back to the store; on save it removes
// empty and invalid grid rows (uValidate.cpp). The field checks are in uValidateChecks.cpp,
// the evaluator's database events (firesql, sqlget, findrecord, getsqlvalue, setsequence)
// in uValidateEvents.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "uGeneralFunctions.h"
#include "uNumbers.h"
#include "uQuorexEVAL.h"
#include "uStoreData.h"
#include "uStructDef.h"
#include "uXDS.h"

namespace v7 {

class TValidate {
 public:
  // Makes its own business evaluator (UseStoreData on) with the five database handlers of
  // this validator installed; checks on, owns-evaluator on, auto-mark off.
  TValidate();
  virtual ~TValidate();
  TValidate(const TValidate&) = delete;
  TValidate& operator=(const TValidate&) = delete;

  // Links the store; when the evaluator is owned, links the store to it and gives it the
  // definition's DBManager. StructDef must be set before.
  void SetStoreData(TStoreData* store);
  // Puts an owner's evaluator in place of the own one (freed); the owner keeps it. Installs
  // the five database handlers on it (see InstallHandlers).
  void UseEvaluator(TQuorexEVAL* eval);
  // Installs OnGetSQLValue, OnSetSequence, OnSqlGet, OnFireSql and OnFindRecord of this
  // validator on an evaluator.
  void InstallHandlers(TQuorexEVAL& eval);

  // Fills and checks the whole document. False leaves the message in ErrorText.
  bool Validate(bool removeRows);
  bool FillField(const std::string& name, int row);
  bool ValidateField(const std::string& name, int row, long double valueId,
                     const std::string& value);
  // The text of a value as SQL parameters and templates see it; row -1 quotes texts.
  std::string GetFieldValue(const std::string& name, int row);
  void CloseDatasets();
  // Makes the validator of a kept facade as a new one for its next document: whatever the
  // last document read from the database (the definition's list queries, the named and
  // look-up queries) is read again when the next one asks for it, and the current-field
  // state starts empty.
  void Renew();

  // ---- Field checks (uValidateChecks.cpp) ----
  bool CheckField(int row);
  bool CheckWidth();
  bool CheckUniqueInTable(int row);
  bool CheckUniqueInDocument(int row);

  // ---- Database events of the evaluator (uValidateEvents.cpp) ----
  void OnFireSql(const std::string& name, const std::string& sql);
  void OnSqlGet(const std::string& name, const std::string& field, std::string& result);
  void OnFindRecord(const std::string& name, const std::string& field, const std::string& value,
                    std::string& result);
  void OnGetSqlValue(const std::string& sql, const std::string& field, std::string& result);
  void OnSetSequence(const std::string& transType, const std::string& field,
                     const std::string& prefix);

  // Runs a list query or named expression query for a row: template expansion, parameters
  // from the document's values, open unless already open.
  void RunFieldSQL(TXDS& query, int row);
  // Rounds a number text to the current field's Decimals, half up by magnitude, and writes
  // it in plain decimal digits (never in exponent form); with 0 decimals a text that is not
  // in exponent form is kept as given.
  std::string RoundToDecimals(const std::string& text) const;

  // Digits a stored number may carry at its field's precision: values travel as texts and
  // as extended-precision numbers (record ids of 16 digits among them), which hold 18
  // decimal digits exactly.
  static constexpr long kMaxExactDigits = 18;

  // ---- State ----
  TStoreData* StoreData = nullptr;  // not owned
  TStructDef* StructDef = nullptr;  // not owned; its DBManager runs every query
  TQuorexEVAL* Eval = nullptr;      // the evaluator in use (OwnedEval or the owner's)
  bool OwnsEval = true;
  std::string ErrorText;
  bool ChecksOn = true;
  bool RemoveRows = false;
  bool Saving = false;
  bool AutoMark = false;
  TTraceProc OnTrace;

  // Current-field state, refreshed by LoadField.
  TFld* CurrentField = nullptr;
  std::string CurrentValue;
  long double CurrentValueId = 0;
  bool CurrentHasValue = true;
  int CurrentFrame = 0;
  int ParentRow = 0;
  int ParentFrame = 0;
  int PublishedParentRow = 0;
  TXDS* CurrentQuery = nullptr;  // not owned: a field's list query or a cached query
  int ValidRowIndex = -1;

  // Named expression queries ("Expr_" + name), cached, kept open between calls.
  std::vector<std::unique_ptr<TXDS>> ExprQueries;
  std::unique_ptr<TXDS> UniqueQuery;  // the uniqueness check's slot
  std::unique_ptr<TXDS> QuerySlot2;
  std::unique_ptr<TXDS> QuerySlot3;
  std::unique_ptr<TXDS> QuerySlot4;

 private:
  void LoadField(const std::string& name, int row);
  void SetParentVars();
  bool RowIsEmpty(int frame, int row) const;
  void SyncSubframeParentRows();
  TXDS* FindExprQuery(const std::string& name) const;
  void Trace(const std::string& text) const;
  TDBManager* Manager() const;
  // One field of the walk of Validate on a row (gridRow: a row of a grid frame); check
  // false fills the value without checking it.
  bool WalkField(TFld* field, int row, bool gridRow, bool check = true);
  // RunFieldSQL; open false leaves a closed query closed (a statement that is executed
  // afterwards must not run at an open).
  void RunQuery(TXDS& query, int row, bool open);
  // The template with "{name}" and "(:name)" replaced by the document's values for row.
  std::string ExpandTemplate(const std::string& tmpl, int row);
  // The template kept with a list query of the definition, empty for any other query.
  std::string TemplateOf(const TXDS& query) const;
  // ToFloat, NaN for a text that is no number.
  static double NumberOrNaN(const std::string& text);
  static int RowCount(TXDS& query);

  std::unique_ptr<TQuorexEVAL> OwnedEval;
};

}  // namespace v7
