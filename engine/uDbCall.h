// The one entry into the document engine: for one transaction type it builds and owns the
// evaluator, definition, store, validator, update maps, linker and picture store, and loads,
// saves, deletes or cancels one document with them, running the type's event scripts and
// reporting a failed validation. The caller owns the database transaction.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uImageDB.h"
#include "uMDMap.h"
#include "uProvideLink.h"
#include "uQuorexEVAL.h"
#include "uStoreData.h"
#include "uStructDef.h"
#include "uValidate.h"
#include "uXDS.h"

namespace v7 {

class TDbCall {
 public:
  TDbCall();
  ~TDbCall();
  TDbCall(const TDbCall&) = delete;
  TDbCall& operator=(const TDbCall&) = delete;

  // Nothing for an empty name or the type already prepared; otherwise keeps it and runs
  // Prepare. DBManager must be set before.
  void SetTransType(const std::string& name);
  // Validates and saves the document in the store. result: empty, the validation report
  // (lines ended by CR LF) when ValidationMessage is set, "_" status text of the aftersave
  // script, or the displayfieldname value. The store is empty afterwards in either outcome.
  void Save(std::string& result);
  void LoadRecord(long double recordId);
  void Delete(long double recordId);
  void Cancel(long double recordId);
  bool RecordExists(long double recordId);
  // Runs the block "{name}" or "{name arg}" of the type's event text, when there is one.
  void RunEvent(const std::string& arg, const std::string& name);
  // Mode "s" save, "l" load; checks on or off.
  void Validate(const std::string& mode, bool checks);
  void Reset();
  // Makes a facade that served an earlier document ready for the next document of its type
  // on the same connection, as one prepared now would be: the evaluators' variables as they
  // were after Prepare (those created since read empty), the process-wide user and site
  // number of the new packet, no values, no pending updates, and nothing that the last
  // document read from the database (list queries, named and look-up queries, stock walks
  // are run again when the next document asks for them). False when the process-wide
  // values the evaluators took in have changed otherwise: a new facade must be made.
  bool Renew();
  // A script of the documents since Renew (or since the facade was made) ran a statement
  // other than a select: it may have changed the definitions that facades read when they
  // were prepared (a list query, an event text), so no facade of the step can be kept.
  bool ScriptsWrote() const;
  // The lines of ErrorReport, each ended by CR LF.
  std::string ErrorReportText() const;

  // ---- State ----
  std::unique_ptr<TXDS> LookupQuery;
  std::string TransType;
  std::vector<std::string> RowsBefore;
  std::vector<std::string> RowsAfter;
  TDBManager* DBManager = nullptr;  // not owned
  std::string ValidationMessage;
  // The record id of the document that the last Save wrote (its header row), 0 when it
  // wrote none: the store forgets it as it empties.
  long double SavedRecordId = 0;
  TTraceProc OnTrace;
  std::vector<std::string> ErrorReport;

  // Owned objects, each declared after what it points at, so it is freed first.
  std::unique_ptr<TQuorexEVAL> Eval;
  std::unique_ptr<TStructDef> StructDef;
  std::unique_ptr<TMDMap> MDMap;
  std::unique_ptr<TStoreData> StoreData;
  std::unique_ptr<TValidate> Validator;
  std::unique_ptr<TProvideLink> ProvideLink;
  std::unique_ptr<TImageDB> ImageDB;

 private:
  void Prepare();
  // Frees the per-type objects, each before what it points at.
  void FreeObjects();
  // Forgets the number series chosen for the last document (by the validator or the
  // setsequence function), here and in the linked documents' stores: the next document
  // numbers from the series the stored flags make active.
  void ClearSeriesChoice();
  // Drops what the validators and evaluators read from the database for the document that
  // ends (list queries, named queries, stock walks): the next document reads it again, as
  // a facade prepared for it would. The definitions, compiled expressions, links and maps
  // stay.
  void ForgetReadings();
  void DoSave(std::string& result);
  void TraceFrameRows();
  // Reads an after-event status variable: empty or "t" success, "_text" a message (when
  // keepMessage), anything else raised as EDatabaseError.
  void CheckStatus(const std::string& variable, bool keepMessage, std::string& result);
  void Trace(const std::string& text) const;
  // The variables of each evaluator right after Prepare, for Renew.
  struct TPreparedVars {
    TEVAL* Eval;
    std::vector<std::string> Values;
    std::string Types;
    std::string Flags;
  };
  void KeepPreparedVars();
  std::vector<TPreparedVars> preparedVars_;
  std::string preparedSettings_;
};

}  // namespace v7
