// The business evaluator: the expression evaluator with the document engine's 96 business
// functions on top of the built-ins. Its dispatch traps every error of a call and traces
// it, so no function call raises to the evaluator. Class, registration, dispatch and the
// general functions are in uQuorexEVAL.cpp; the functions that only call a host's hook in
// uQuorexHooks.cpp; the document-row functions in uDocRowFuncs.cpp; opening balances,
// amount formatting and tree ids in uAccFuncs.cpp.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "UParse.h"
#include "uEvalTypes.h"
#include "uStoreData.h"
#include "uXDS.h"

namespace v7 {

class TValueStock;
class TBOM;

// A host's string grid: Cells[row][column], row 0 the heading. Never attached here.
using TStringGrid = std::vector<std::vector<std::string>>;

class TQuorexEVAL : public TEVAL {
 public:
  // ---- Hook types (argN is argument N of the call; "r" an out text) ----
  using TGetFieldValueEvent = std::function<void(const std::string& field, int row,
                                                 long double& valueId, std::string& value)>;
  using TSetFieldValueEvent =
      std::function<void(const std::string& field, int row, const std::string& value)>;
  // A plain function (no object): arg1 and the amount (in/out, starts at 0).
  using TGetAdjustedAmountEvent = std::function<void(const std::string& arg1, double& amount)>;
  using TOut2Event = std::function<void(const std::string&, const std::string&, std::string& r)>;
  using TOut3Event = std::function<void(const std::string&, const std::string&, const std::string&,
                                        std::string& r)>;
  using TOut4Event = std::function<void(const std::string&, const std::string&, const std::string&,
                                        const std::string&, std::string& r)>;
  using TOut1Event = std::function<void(const std::string&, std::string& r)>;
  // arg1, arg3, date arg2, date arg4, arg5, arg6, number arg7, arg8; out text.
  using TGetLedgerDetailsEvent = std::function<void(
      const std::string& a1, const std::string& a3, double d2, double d4, const std::string& a5,
      const std::string& a6, double n7, const std::string& a8, std::string& r)>;
  using TGetColNoEvent = std::function<int(const std::string& columnName)>;
  using TGetRCellEvent = std::function<void(const std::string&, int, std::string& r)>;
  using TFlagEvent1 = std::function<std::string(const std::string&)>;  // "t" or "f"
  using TFlagEventN = std::function<std::string(double)>;              // "t" or "f"
  using TNoArgEvent = std::function<void()>;
  using TBoolEvent = std::function<void(bool)>;
  using TIntEvent = std::function<void(int)>;
  using TIntTextEvent = std::function<void(int, const std::string&)>;
  using TTextIntEvent = std::function<void(const std::string&, int)>;
  using TTextNumEvent = std::function<void(const std::string&, double)>;
  using TOpenTransFormEvent =
      std::function<void(const std::string&, int, int, int, int, const std::string&)>;
  // setsequence / setextsequence: transaction type, field, prefix.
  using TSetSequenceEvent = TTextEvent3;

  TQuorexEVAL();
  ~TQuorexEVAL() override;

  // Links the document store (not owned).
  void SetStoreData(TStoreData* store);
  // Blanks "~e~" arguments, runs the built-ins, then the business functions; traps and
  // traces every error ("#savelevel#", "# 1#" + message, "#resetlevel#").
  void CallFunction(const std::string& name, const TParamArray& args, int callIndex,
                    std::string& result) override;

  // ---- State ----
  std::unique_ptr<TXDS> SqlQuery;   // the query of sqlregvar, within one call
  TStoreData* StoreData = nullptr;  // not owned
  std::unique_ptr<TBOM> BOM;        // within one call of explodebom / preparebom
  std::unique_ptr<TValueStock> ValueStock;
  TStringGrid* Grid = nullptr;       // never attached in this system
  TStringGrid* TotalGrid = nullptr;  // never attached
  std::vector<TStringGrid*> TotalGrids;
  int UseStoreData = 0;
  std::string FrameNames;
  // The host's file dialog: true and the chosen name, or false when cancelled. Unset here.
  std::function<bool(bool save, std::string& fileName)> FileDialog;
  TTraceProc BOMTrace;
  // The shell's open-a-document call of xrun (file, parameters); the desktop's own by
  // default, an owner may put another in its place. Its failure is not reported.
  std::function<void(const std::string& file, const std::string& params)> ShellOpen;

  // ---- Event hooks; each called only when set. Only OnGetSQLValue and OnSetSequence are
  // set in this system (by the validator and the facade). ----
  TGetFieldValueEvent OnGetFieldValue;
  TSetFieldValueEvent OnSetFieldValue;
  TGetAdjustedAmountEvent OnGetAdjustedAmount;
  TOut2Event OnFormatSQLResult;
  TOut4Event OnGetTrnDet;
  TGetLedgerDetailsEvent OnGetLedgerDetails;
  TOut3Event OnBetween;
  TOut2Event OnContaining;
  TOut3Event OnGetCell;
  TGetColNoEvent OnGetColNo;
  TGetRCellEvent OnGetRCell;
  TOut1Event OnPostString;
  TFlagEvent1 OnLoadTempFile;
  TFlagEventN OnLoadData;
  TTextEvent3 OnSetProperty;
  TTextEvent1 OnAddRow;
  TTextIntEvent OnDeleteRow;
  TOut2Event OnGetSQLValue;
  TSetSequenceEvent OnSetSequence;
  TNoArgEvent OnResetActiveComp;
  TBoolEvent OnRefreshView;
  TTextEvent2 OnLoadPrintSql;
  TTextEvent1 OnConvertMTreeId;
  TTextEvent1 OnDeleteTempFile;
  TTextEvent2 OnSortIView;
  TTextEvent1 OnFilter;
  TTextEvent1 OnGroupBy;
  TTextEvent1 OnHideColumn;
  TTextEvent1 OnUnhideColumn;
  TTextEvent1 OnAddOption;
  TTextEvent1 OnExecuteOption;
  TTextEvent1 OnRefreshField;
  TTextEvent1 OnExternalSave;
  TTextEvent1 OnAddButton;
  TTextEvent1 OnRemoveButton;
  TTextEvent2 OnSetCellFont;
  TTextEvent2 OnSetColumnValue;
  TTextEvent2 OnPrintToWord;
  TTextEvent2 OnAllowFieldChange;
  TTextEvent2 OnEnableButton;
  TTextEvent2 OnPlaceForm;
  TTextEvent3 OnEditColumn;
  TTextEvent3 OnSplitRow;
  TTextEvent3 OnPostToTable;
  TTextNumEvent OnPostRecord;
  TOpenTransFormEvent OnOpenTransForm;
  TTextIntEvent OnActivateField;
  TIntTextEvent OnAllowFrameChange;
  TIntTextEvent OnHideFrame;
  TIntEvent OnRefreshFrame;
  TIntEvent OnInitGrid;

  // ---- Document-row functions (uDocRowFuncs.cpp); arguments as the dispatch converted
  // them, results as texts the dispatch returns ----
  std::string Total(const std::string& field);
  std::string Sum(const std::string& keyField, const std::string& keyValue,
                  const std::string& sumField);
  std::string SumTill(const std::string& keyField, const std::string& keyValue,
                      const std::string& sumField, int lastRow);
  std::string GetMax(const std::string& field);
  std::string GetMin(const std::string& field);
  std::string GetValue(const std::string& field, int row);
  std::string GetId(const std::string& field, int row);
  std::string GetRow(const std::string& field, const std::string& value);
  std::string GetRowCount(const std::string& field);
  std::string Cell(int column, int row);
  std::string GetOld(const std::string& field, int row);
  std::string GetOldId(const std::string& field, int row);
  std::string SetValue(const std::string& field, int row, const std::string& value);
  std::string AddRow(const std::string& frameName);
  std::string DeleteRow(const std::string& frameName, int row);
  std::string FieldChanged(const std::string& field, int row);
  std::string SetGroupid(const std::string& field, const std::string& value);
  std::string GetRoundOff(const std::string& field, const std::string& flagField, int rowLimit,
                          int step);
  std::string GetSubTotal(const std::string& field, int parentRow);
  std::string GetStrFromSub(const std::string& field, const std::string& separator, int parentRow);

  // ---- Opening balances, amounts, tree ids (uAccFuncs.cpp) ----
  std::string ActTreeOpBal(const std::string& field);
  std::string ValidateOpBal(const std::string& field);
  // The amount is the argument's text, read exactly.
  static std::string FormatAmount(const std::string& amount, int decimals,
                                  const std::string& groupFlag, const std::string& millionsFlag,
                                  const std::string& negativeLabel,
                                  const std::string& positiveLabel);
  static std::string FormatAccAmount(const std::string& amount, int decimals,
                                     const std::string& groupFlag, const std::string& millionsFlag,
                                     const std::string& accountClass, const std::string& label);
  // Digit grouping: groups of 3 when millionsFlag is "t" (any case), else 2.
  static std::string GroupDigits(const std::string& text, const std::string& millionsFlag);
  static std::string MakeTreeId(const std::string& treeId, int level);

 private:
  // One business function of the dispatch: reads the converted arguments, fills the result.
  using THandler = void (*)(TQuorexEVAL& eval, const TParamArray& args, std::string& result);
  using THandlerMap = std::unordered_map<std::string, THandler>;
  // Every business function by lower-case name, built once.
  static const THandlerMap& Handlers();
  static void AddGeneralHandlers(THandlerMap& map);  // uQuorexEVAL.cpp
  static void AddHookHandlers(THandlerMap& map);     // uQuorexHooks.cpp
  // A currency amount (four decimals at most) as a number text.
  static std::string CurrencyText(double value);
  // The frame number of a frame name in FrameNames (0 when not found).
  int FrameNumber(const std::string& frameName) const;
  // Value of a variable ("" when there is none).
  std::string VarText(const std::string& name);

  // The business-function chain of the dispatch (uQuorexEVAL.cpp).
  void CallBusinessFunction(const std::string& lowerName, const TParamArray& args,
                            std::string& result);
  void RegisterBusinessFunctions();
  // Before a stock call: the valuer gets the store's definition and this DBManager.
  void PrepareValueStock();
  void StockFunction(const std::string& lowerName, const TParamArray& args, std::string& result);
  void Includes(const TParamArray& args, bool includes, std::string& result);
  // Runs a bill-of-materials job on a TBOM that lives for this call only.
  void RunBOM(const std::function<void(TBOM&)>& run);
  void SqlRegVar(const std::string& sql);
  void SetSystemVar(const std::string& name, const std::string& value);
  void XRun(const std::string& command);
  void FileWrite(const std::string& templateFile, const std::string& outputFile);
  void SetTotalValue(const TParamArray& args, std::string& result);
  void GridGetCell(const TParamArray& args, std::string& result);
  void TraceError(const std::string& message);
};

}  // namespace v7
