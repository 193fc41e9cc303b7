// The business functions that only hand their arguments to a host through event hooks. Each
// hook is called only when set; the arguments named integer, number or date are converted
// only then, so an unset hook never fails a call.
#include <cmath>

#include "uQuorexEVAL.h"
#include "uValues.h"

namespace v7 {

namespace {

int Int(const std::string& s) { return ParseInteger(s); }
double Num(const std::string& s) { return ParseNumber(s); }
double Date(const std::string& s) { return ParseDateTimeSerial(s); }

}  // namespace

void TQuorexEVAL::AddHookHandlers(THandlerMap& m) {
  using E = TQuorexEVAL;
  using A = TParamArray;
  using R = std::string;

  // Hooks that answer through an out text (the result, empty when unset).
  m["getadjustedamount"] = [](E& e, const A& a, R& r) {
    double amount = 0;
    if (e.OnGetAdjustedAmount) e.OnGetAdjustedAmount(a[0], amount);
    r = CurrencyText(amount);
  };
  m["formatsqlresult"] = [](E& e, const A& a, R& r) {
    if (e.OnFormatSQLResult) e.OnFormatSQLResult(a[0], a[1], r);
  };
  m["gettrndet"] = [](E& e, const A& a, R& r) {
    if (e.OnGetTrnDet) e.OnGetTrnDet(a[0], a[1], a[2], a[3], r);
  };
  m["getledgerdetails"] = [](E& e, const A& a, R& r) {
    if (!e.OnGetLedgerDetails) return;
    const std::string from = a[1].empty() ? "30/12/1899" : a[1];
    const std::string to = a[3].empty() ? "30/12/1899" : a[3];
    const std::string n7 = a[6].empty() ? "0" : a[6];
    e.OnGetLedgerDetails(a[0], a[2], Date(from), Date(to), a[4], a[5], Num(n7), a[7], r);
  };
  m["between"] = [](E& e, const A& a, R& r) {
    if (e.OnBetween) e.OnBetween(a[0], a[1], a[2], r);
  };
  m["containing"] = [](E& e, const A& a, R& r) {
    if (e.OnContaining) e.OnContaining(a[0], a[1], r);
  };
  m["getcell"] = [](E& e, const A& a, R& r) {
    if (e.OnGetCell) {
      e.OnGetCell(a[0], a[1], a[2], r);
    } else {
      e.GridGetCell(a, r);
    }
  };
  m["getcolno"] = [](E& e, const A& a, R& r) {
    if (e.OnGetColNo) r = std::to_string(e.OnGetColNo(a[0]));
  };
  m["getrcell"] = [](E& e, const A& a, R& r) {
    if (e.OnGetRCell) e.OnGetRCell(a[0], Int(a[1]), r);
  };
  m["poststring"] = [](E& e, const A& a, R& r) {
    if (e.OnPostString) e.OnPostString(a[0], r);
  };
  m["loadtempfile"] = [](E& e, const A& a, R& r) {
    if (e.OnLoadTempFile) r = e.OnLoadTempFile(a[0]);
  };
  m["loaddata"] = [](E& e, const A& a, R& r) {
    if (e.OnLoadData) r = e.OnLoadData(Num(a[0]));
  };
  m["getsqlvalue"] = [](E& e, const A& a, R& r) {
    if (e.OnGetSQLValue) e.OnGetSQLValue(a[0], a[1], r);
  };

  // Hooks after which the function answers "T".
  m["setproperty"] = [](E& e, const A& a, R& r) {
    if (e.UseStoreData == 0 && e.OnSetProperty) e.OnSetProperty(a[0], a[1], a[2]);
    r = "T";
  };
  m["setsequence"] = [](E& e, const A& a, R& r) {
    if (e.OnSetSequence) e.OnSetSequence("", a[0], a[1]);
    r = "T";
  };
  m["setextsequence"] = [](E& e, const A& a, R& r) {
    if (e.OnSetSequence) e.OnSetSequence(a[0], a[1], a[2]);
    r = "T";
  };
  m["resetactivecomp"] = [](E& e, const A&, R& r) {
    if (e.OnResetActiveComp) e.OnResetActiveComp();
    r = "T";
  };

  // Hooks of a host's screens; the result stays empty.
  m["refreshview"] = [](E& e, const A& a, R&) {
    if (e.OnRefreshView) e.OnRefreshView(AsciiLower(TrimText(a[0])) == "t");
  };
  m["loadprintsql"] = [](E& e, const A& a, R&) {
    if (e.OnLoadPrintSql) e.OnLoadPrintSql(a[0], a[1]);
  };
  m["sortiview"] = [](E& e, const A& a, R&) {
    if (e.OnSortIView) e.OnSortIView(a[0], a[1]);
  };
#define V7_HOOK1(name, hook)           \
  m[name] = [](E& e, const A& a, R&) { \
    if (e.hook) e.hook(a[0]);          \
  }
#define V7_HOOK2(name, hook)           \
  m[name] = [](E& e, const A& a, R&) { \
    if (e.hook) e.hook(a[0], a[1]);    \
  }
#define V7_HOOK3(name, hook)              \
  m[name] = [](E& e, const A& a, R&) {    \
    if (e.hook) e.hook(a[0], a[1], a[2]); \
  }
  V7_HOOK1("convertmtreeid", OnConvertMTreeId);
  V7_HOOK1("deletetempfile", OnDeleteTempFile);
  V7_HOOK1("filter", OnFilter);
  V7_HOOK1("groupby", OnGroupBy);
  V7_HOOK1("hidecolumn", OnHideColumn);
  V7_HOOK1("unhidecolumn", OnUnhideColumn);
  V7_HOOK1("addoption", OnAddOption);
  V7_HOOK1("executeoption", OnExecuteOption);
  V7_HOOK1("refreshfield", OnRefreshField);
  V7_HOOK1("externalsave", OnExternalSave);
  // Dispatched although not registered: an expression cannot reach these two.
  V7_HOOK1("addbutton", OnAddButton);
  V7_HOOK1("removebutton", OnRemoveButton);
  V7_HOOK2("setcellfont", OnSetCellFont);
  V7_HOOK2("setcolumnvalue", OnSetColumnValue);
  V7_HOOK2("printtoword", OnPrintToWord);
  V7_HOOK2("allowfieldchange", OnAllowFieldChange);
  V7_HOOK2("enablebutton", OnEnableButton);
  V7_HOOK2("placeform", OnPlaceForm);
  V7_HOOK3("editcolumn", OnEditColumn);
  V7_HOOK3("splitrow", OnSplitRow);
  V7_HOOK3("posttotable", OnPostToTable);
#undef V7_HOOK1
#undef V7_HOOK2
#undef V7_HOOK3
  m["postrecord"] = [](E& e, const A& a, R&) {
    if (e.OnPostRecord) e.OnPostRecord(a[0], Num(a[1]));
  };
  m["opentransform"] = [](E& e, const A& a, R&) {
    if (e.OnOpenTransForm) {
      e.OnOpenTransForm(a[0], Int(a[1]), Int(a[2]), Int(a[3]), Int(a[4]), a[5]);
    }
  };
  m["activatefield"] = [](E& e, const A& a, R&) {
    if (e.OnActivateField) e.OnActivateField(a[0], Int(a[1]));
  };
  m["allowframechange"] = [](E& e, const A& a, R&) {
    if (e.OnAllowFrameChange) e.OnAllowFrameChange(Int(a[0]), a[1]);
  };
  m["hideframe"] = [](E& e, const A& a, R&) {
    if (e.OnHideFrame) e.OnHideFrame(Int(a[0]), a[1]);
  };
  m["refreshframe"] = [](E& e, const A& a, R&) {
    if (e.OnRefreshFrame) e.OnRefreshFrame(Int(a[0]));
  };
  m["initgrid"] = [](E& e, const A& a, R&) {
    if (e.OnInitGrid) e.OnInitGrid(Int(a[0]));
  };
}

}  // namespace v7
