// The business evaluator: construction, the registration of the business functions, the
// dispatch with its trap, and the functions that are not about document rows or hooks
// (stock, bills of materials, variable lists, padding, system values, shell, file output).
#include "uQuorexEVAL.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "uBOM.h"
#include "uExprRoutines.h"
#include "uGeneralFunctions.h"
#include "uValueStock.h"
#include "uValues.h"

namespace v7 {

namespace {

int Int(const std::string& s) { return ParseInteger(s); }
double Num(const std::string& s) { return ParseNumber(s); }
double DateTime(const std::string& s) { return ParseDateTimeSerial(s); }

// The business functions in registration order with their result types.
struct TRegistration {
  const char* Name;
  char Type;
};
constexpr TRegistration kBusinessFunctions[] = {
    {"GetCost", 'n'},
    {"Total", 'n'},
    {"Sum", 'n'},
    {"SumTill", 'n'},
    {"GetMax", 'n'},
    {"GetMin", 'n'},
    {"GetValue", 'c'},
    {"GetId", 'n'},
    {"GetRow", 'n'},
    {"GetRowCount", 'n'},
    {"GetAdjustedAmount", 'n'},
    {"GetCostRate", 'n'},
    {"GetStockValue", 'n'},
    {"GetClosingStock", 'n'},
    {"CheckStock", 'c'},
    {"GetStockAge", 'c'},
    {"GetCell", 'c'},
    {"GetColNo", 'n'},
    {"TrimVal", 's'},
    {"GetRCell", 's'},
    {"Getinteger", 'n'},
    {"GetLength", 'n'},
    {"GetMod", 'n'},
    {"Maketreeid", 's'},
    {"FieldChanged", 's'},
    {"ComputePost", 's'},
    {"SetGroupid", 'n'},
    {"FormatSQLResult", 's'},
    {"gettrndet", 's'},
    {"actreeopbal", 'n'},
    {"cell", 'n'},
    {"validateopbal", 's'},
    {"includes", 's'},
    {"excludes", 's'},
    {"childof", 's'},
    {"setproperty", 's'},
    {"setvalue", 's'},
    {"addrow", 's'},
    {"deleterow", 's'},
    {"getsqlvalue", 's'},
    {"setsequence", 's'},
    {"setextsequence", 's'},
    {"formatamount", 's'},
    {"formataccamount", 's'},
    {"leftpad", 's'},
    {"pad", 's'},
    {"resetactivecomp", 's'},
    {"SetTotalValue", 's'},
    {"loadprintsql", 's'},
    {"getledgerdetails", 's'},
    {"convertmtreeid", 's'},
    {"activatefield", 's'},
    {"deletetempfile", 's'},
    {"setcellfont", 's'},
    {"between", 's'},
    {"containing", 's'},
    {"sortiview", 's'},
    {"filter", 's'},
    {"groupby", 's'},
    {"hidecolumn", 's'},
    {"unhidecolumn", 's'},
    {"loadtempfile", 's'},
    {"addoption", 's'},
    {"editcolumn", 's'},
    {"splitrow", 's'},
    {"postrecord", 's'},
    {"setcolumnvalue", 's'},
    {"opentransform", 's'},
    {"refreshview", 's'},
    {"printtoword", 's'},
    {"allowframechange", 's'},
    {"allowfieldchange", 's'},
    {"posttotable", 's'},
    {"executeoption", 's'},
    {"refreshfield", 's'},
    {"refreshframe", 's'},
    {"enablebutton", 's'},
    {"loaddata", 's'},
    {"initgrid", 's'},
    {"getold", 's'},
    {"getoldid", 'n'},
    {"sqlregvar", 's'},
    {"getroundoff", 'n'},
    {"getsubtotal", 'n'},
    {"getstrfromsub", 's'},
    {"setsystemvar", 's'},
    {"externalsave", 's'},
    {"xrun", 's'},
    {"opendialog", 's'},
    {"savedialog", 's'},
    {"placeform", 's'},
    {"hideframe", 's'},
    {"explodebom", 's'},
    {"preparebom", 's'},
    {"poststring", 's'},
    {"filewrite", 's'},
};
static_assert(std::size(kBusinessFunctions) == 96);

// Byte length of the UTF-8 character that starts with lead.
size_t CharBytes(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

std::vector<std::string> ReadLines(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw EInOutError("Cannot open file \"" + fileName + "\"");
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// pad / leftpad: the text filled to the width with the first character of the pad text.
std::string Pad(const TParamArray& a, bool left) {
  std::string r = a[0];
  const int width = Int(a[1]);
  if (a[2].empty()) return r;  // nothing to fill with: the text as it is
  const std::string fill = a[2].substr(0, CharBytes(static_cast<unsigned char>(a[2][0])));
  int length = GetLength(r);
  if (width <= length) return r;
  std::string padding;
  for (; length < width; ++length) padding += fill;
  return left ? padding + r : r + padding;
}

// Parameters as a command line splits them: blanks separate, double quotes group.
std::vector<std::string> SplitParams(const std::string& params) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool any = false;
  for (char c : params) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

bool IsProgram(const std::string& file) {
  struct stat st {};
  return stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0;
}

// The desktop's open-a-document call: a program runs with the parameters, any other file
// opens with the program the desktop holds for it. Nobody waits for it, and its failure is
// not reported.
void OpenDocument(const std::string& file, const std::string& params) {
  std::vector<std::string> words = SplitParams(params);
  if (!words.empty() || IsProgram(file)) {
    words.insert(words.begin(), file);
  } else {
    words = {"xdg-open", file};
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  // Its own session: a stop signal of the client's terminal does not reach it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int failed = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (failed != 0) return;
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
}

}  // namespace

TQuorexEVAL::TQuorexEVAL() {
  for (const char* name : {"Op_StockQty", "Op_StockValue", "Rec_stockqty", "Rec_StockValue",
                           "Iss_StockQty", "Iss_StockValue", "ActiveRow", "ActiveCol"}) {
    SetVar(name, 'n', "0");
  }
  RegisterBusinessFunctions();
  UseStoreData = 0;
  ValueStock = std::make_unique<TValueStock>();
  ShellOpen = OpenDocument;
}

TQuorexEVAL::~TQuorexEVAL() = default;

void TQuorexEVAL::SetStoreData(TStoreData* store) { StoreData = store; }

void TQuorexEVAL::RegisterBusinessFunctions() {
  // No bodies: the inherited dispatch passes these names by, and the business chain of
  // CallFunction answers them. A name the built-ins already hold (GetLength) keeps the
  // built-in row, which gives the same answer.
  for (const TRegistration& r : kBusinessFunctions) RegisterFunction(r.Name, r.Type);
}

std::string TQuorexEVAL::VarText(const std::string& name) {
  std::string value;
  GetVar(name, value);
  return value;
}

void TQuorexEVAL::TraceError(const std::string& message) {
  Trace("#savelevel#");
  Trace("# 1#" + message);
  Trace("#resetlevel#");
}

void TQuorexEVAL::CallFunction(const std::string& name, const TParamArray& args, int callIndex,
                               std::string& result) {
  result.clear();
  TParamArray blanked;
  const TParamArray* use = &args;
  for (int i = 0; i < kMaxCallArgs; ++i) {
    if (args[i] != kEmptyMark) continue;
    if (use == &args) {
      blanked = args;
      use = &blanked;
    }
    blanked[i].clear();
  }
  try {
    const std::string lower = AsciiLower(name);
    TEVAL::CallFunction(lower, *use, callIndex, result);
    CallBusinessFunction(lower, *use, result);
  } catch (const std::exception& e) {
    TraceError(e.what());
  } catch (...) {
    TraceError("Unknown error");
  }
}

const TQuorexEVAL::THandlerMap& TQuorexEVAL::Handlers() {
  static const THandlerMap map = [] {
    THandlerMap m;
    AddGeneralHandlers(m);
    AddHookHandlers(m);
    return m;
  }();
  return map;
}

void TQuorexEVAL::CallBusinessFunction(const std::string& lowerName, const TParamArray& args,
                                       std::string& result) {
  const THandlerMap& map = Handlers();
  const auto it = map.find(lowerName);
  if (it != map.end()) it->second(*this, args, result);
}

void TQuorexEVAL::AddGeneralHandlers(THandlerMap& m) {
  using E = TQuorexEVAL;
  using A = TParamArray;
  using R = std::string;
  m["getcost"] = [](E&, const A&, R& r) { r = "1"; };
  m["total"] = [](E& e, const A& a, R& r) { r = e.Total(a[0]); };
  m["sum"] = [](E& e, const A& a, R& r) { r = e.Sum(a[0], a[1], a[2]); };
  m["sumtill"] = [](E& e, const A& a, R& r) { r = e.SumTill(a[0], a[1], a[2], Int(a[3])); };
  m["getmax"] = [](E& e, const A& a, R& r) { r = e.GetMax(a[0]); };
  m["getmin"] = [](E& e, const A& a, R& r) { r = e.GetMin(a[0]); };
  m["getvalue"] = [](E& e, const A& a, R& r) { r = e.GetValue(a[0], Int(a[1])); };
  m["getid"] = [](E& e, const A& a, R& r) { r = e.GetId(a[0], Int(a[1])); };
  m["getrow"] = [](E& e, const A& a, R& r) { r = e.GetRow(a[0], a[1]); };
  m["getrowcount"] = [](E& e, const A& a, R& r) { r = e.GetRowCount(a[0]); };
  m["getcostrate"] = [](E& e, const A& a, R& r) { e.StockFunction("getcostrate", a, r); };
  m["getstockvalue"] = [](E& e, const A& a, R& r) { e.StockFunction("getstockvalue", a, r); };
  m["getclosingstock"] = [](E& e, const A& a, R& r) { e.StockFunction("getclosingstock", a, r); };
  m["checkstock"] = [](E& e, const A& a, R& r) { e.StockFunction("checkstock", a, r); };
  m["getstockage"] = [](E& e, const A& a, R& r) { e.StockFunction("getstockage", a, r); };
  m["trimval"] = [](E&, const A& a, R& r) { r = TrimText(a[0]); };
  m["getinteger"] = [](E&, const A& a, R& r) { r = FormatNumber(std::trunc(Num(a[0]))); };
  m["getmod"] = [](E&, const A& a, R& r) {
    const int x = Int(a[0]);
    const int y = Int(a[1]);
    if (y == 0) throw std::domain_error("Division by zero");
    r = std::to_string(y == -1 ? 0 : x % y);  // INT_MIN mod -1 would overflow
  };
  m["maketreeid"] = [](E&, const A& a, R& r) { r = MakeTreeId(a[0], Int(a[1])); };
  m["fieldchanged"] = [](E& e, const A& a, R& r) { r = e.FieldChanged(a[0], Int(a[1])); };
  m["computepost"] = [](E& e, const A& a, R& r) {
    Int(a[1]);  // must be an integer
    e.EvalAgain(a[2], r);
  };
  m["setgroupid"] = [](E& e, const A& a, R& r) { r = e.SetGroupid(a[0], a[1]); };
  m["actreeopbal"] = [](E& e, const A& a, R& r) { r = e.ActTreeOpBal(a[0]); };
  m["cell"] = [](E& e, const A& a, R& r) { r = e.Cell(Int(a[0]), Int(a[1])); };
  m["validateopbal"] = [](E& e, const A& a, R& r) { r = e.ValidateOpBal(a[0]); };
  m["includes"] = [](E& e, const A& a, R& r) { e.Includes(a, true, r); };
  m["excludes"] = [](E& e, const A& a, R& r) { e.Includes(a, false, r); };
  m["childof"] = [](E&, const A&, R&) {};
  m["setvalue"] = [](E& e, const A& a, R& r) { r = e.SetValue(a[0], Int(a[1]), a[2]); };
  m["addrow"] = [](E& e, const A& a, R& r) { r = e.AddRow(a[0]); };
  m["deleterow"] = [](E& e, const A& a, R& r) { r = e.DeleteRow(a[0], Int(a[1])); };
  m["formatamount"] = [](E&, const A& a, R& r) {
    r = FormatAmount(a[0], Int(a[1]), a[2], a[3], a[4], a[5]);
  };
  m["formataccamount"] = [](E&, const A& a, R& r) {
    r = FormatAccAmount(a[0], Int(a[1]), a[2], a[3], a[4], a[5]);
  };
  m["leftpad"] = [](E&, const A& a, R& r) { r = Pad(a, true); };
  m["pad"] = [](E&, const A& a, R& r) { r = Pad(a, false); };
  m["settotalvalue"] = [](E& e, const A& a, R& r) { e.SetTotalValue(a, r); };
  m["getold"] = [](E& e, const A& a, R& r) { r = e.GetOld(a[0], Int(a[1])); };
  m["getoldid"] = [](E& e, const A& a, R& r) { r = e.GetOldId(a[0], Int(a[1])); };
  m["sqlregvar"] = [](E& e, const A& a, R&) { e.SqlRegVar(a[0]); };
  m["getroundoff"] = [](E& e, const A& a, R& r) {
    r = e.GetRoundOff(a[0], a[1], Int(a[2]), Int(a[3]));
  };
  m["getsubtotal"] = [](E& e, const A& a, R& r) { r = e.GetSubTotal(a[0], Int(a[1])); };
  m["getstrfromsub"] = [](E& e, const A& a, R& r) { r = e.GetStrFromSub(a[0], a[1], Int(a[2])); };
  m["setsystemvar"] = [](E& e, const A& a, R&) { e.SetSystemVar(a[0], a[1]); };
  m["xrun"] = [](E& e, const A& a, R&) { e.XRun(a[0]); };
  m["opendialog"] = [](E& e, const A&, R& r) {
    std::string name;
    if (e.FileDialog && e.FileDialog(false, name)) r = name;
  };
  m["savedialog"] = [](E& e, const A&, R& r) {
    std::string name;
    if (e.FileDialog && e.FileDialog(true, name)) r = name;
  };
  m["explodebom"] = [](E& e, const A&, R&) { e.RunBOM([](TBOM& bom) { bom.ExplodeBOM(); }); };
  m["preparebom"] = [](E& e, const A& a, R&) {
    const double date = DateTime(a[2]);
    e.RunBOM([&](TBOM& bom) { bom.PrepareBOM(a[0], a[1], date); });
  };
  m["filewrite"] = [](E& e, const A& a, R&) { e.FileWrite(a[0], a[1]); };
}

// ---- Stock ----

void TQuorexEVAL::PrepareValueStock() {
  if (StoreData == nullptr || StoreData->StructDef == nullptr) {
    throw std::runtime_error("No document is linked to the evaluator");
  }
  ValueStock->StructDef = StoreData->StructDef;
  // An evaluator without a database keeps the definition's own rather than taking it away.
  if (DBManager != nullptr) StoreData->StructDef->DBManager = DBManager;
}

void TQuorexEVAL::StockFunction(const std::string& lowerName, const TParamArray& a,
                                std::string& r) {
  const auto num = [](long double v) { return FormatNumber(static_cast<double>(v)); };
  if (lowerName == "checkstock") {
    if (VarText("onsave") == "l") {
      r = "T";
      return;
    }
    PrepareValueStock();
    ValueStock->CheckStock(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], r);
    return;
  }
  if (lowerName == "getstockage") {
    const long double item = ParseRecordIdText(a[0]);
    const double date = DateTime(a[1]);
    PrepareValueStock();
    std::string text;
    ValueStock->GetStockAge(a[2], a[3], item, date, text);
    for (size_t i = 0; i < ValueStock->AgeQty.size(); ++i) {
      SetVar("Age_Qty" + std::to_string(i + 1), 'n', ValueStock->AgeQty[i]);
    }
    return;
  }
  if (lowerName == "getclosingstock") {
    const long double item = ParseRecordIdText(a[0]);
    const double date = DateTime(a[1]);
    PrepareValueStock();
    ValueStock->SourceId = 0;
    r = num(ValueStock->GetClosingStock(a[2], a[3], item, date));
    SetVar("Op_StockQty", 'n', num(ValueStock->OpQty));
    SetVar("Op_StockValue", 'n', num(ValueStock->OpValue));
    SetVar("Rec_StockQty", 'n', num(ValueStock->RecQty));
    SetVar("Rec_StockValue", 'n', num(ValueStock->RecValue));
    SetVar("Iss_StockQty", 'n', num(ValueStock->IssQty));
    SetVar("Iss_StockValue", 'n', num(ValueStock->IssValue));
    return;
  }
  // getstockvalue, getcostrate: item id, date, quantity, method, location id.
  // Ids of 16 digits (sites from 901 up) are beyond a double: read exactly.
  const long double item = ParseRecordIdText(a[0]);
  const double date = DateTime(a[1]);
  const long double qty = Num(a[2]);
  PrepareValueStock();
  if (lowerName == "getstockvalue") {
    ValueStock->SourceId = 0;
    r = num(ValueStock->GetStockValue(a[3], a[4], item, date, qty));
    SetVar("Op_StockQty", 'n', num(ValueStock->OpQty));
    SetVar("Op_StockValue", 'n', num(ValueStock->OpValue));
    return;
  }
  long double sourceId = 0;
  if (VarText("recordid") != "0") {
    const auto intVar = [this](const char* name) {
      if (IndexOfVar(name) < 0) return 1;
      return Int(VarText(name));
    };
    sourceId = StoreData->FindRowRecordId(intVar("ActiveFrame"), intVar("ActiveRow"));
  }
  ValueStock->SourceId = sourceId;
  r = num(ValueStock->GetCostRate(a[3], a[4], item, date, qty));
}

// ---- Lists, grids, variables ----

void TQuorexEVAL::Includes(const TParamArray& a, bool includes, std::string& result) {
  const std::string value = AsciiLower(TrimText(VarText(a[0])));
  std::string list = a[1] + "~";
  const size_t n = static_cast<size_t>(std::count(list.begin(), list.end(), '~'));
  std::replace(list.begin(), list.end(), '~', ',');
  size_t start = 0;
  for (size_t k = 0; k < n; ++k) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma - start);
    start = comma + 1;
    if (AsciiLower(TrimText(item)) == value) {
      result = includes ? "T" : "F";
      return;
    }
  }
  result = includes ? "F" : "T";
}

void TQuorexEVAL::SetTotalValue(const TParamArray& a, std::string& result) {
  result = "F";
  if (Grid == nullptr) return;
  const int index = Int(a[0]);
  const int column = (OnGetColNo ? OnGetColNo(a[1]) : 0) - 1;
  if (column >= 0) {
    TStringGrid* grid = nullptr;
    if (index == 0) {
      grid = TotalGrid;
    } else if (index > 0 && static_cast<size_t>(index) <= TotalGrids.size()) {
      grid = TotalGrids[static_cast<size_t>(index) - 1];
    }
    if (grid != nullptr) {
      if (grid->empty()) grid->emplace_back();
      auto& row = grid->front();
      if (row.size() <= static_cast<size_t>(column)) row.resize(static_cast<size_t>(column) + 1);
      row[static_cast<size_t>(column)] = a[2];
    }
  }
  SetVar(a[1], 'c', a[2]);
  result = "T";
}

void TQuorexEVAL::GridGetCell(const TParamArray& a, std::string& result) {
  if (Grid == nullptr) throw std::runtime_error("Not Applicable or StringGrid is not Assigned ");
  const int keyColumn = OnGetColNo ? OnGetColNo(a[1]) : 0;
  const int column = OnGetColNo ? OnGetColNo(a[0]) : 0;
  const std::string key = TrimText(a[2]);
  const auto cell = [](const std::vector<std::string>& row, int c) -> std::string {
    return c >= 0 && static_cast<size_t>(c) < row.size() ? row[static_cast<size_t>(c)] : "";
  };
  const std::vector<std::string>* found = nullptr;
  for (size_t i = 1; i < Grid->size(); ++i) {
    if (TrimText(cell((*Grid)[i], keyColumn)) == key) found = &(*Grid)[i];
  }
  if (found == nullptr) return;
  result = cell(*found, column);
  result.erase(std::remove(result.begin(), result.end(), ','), result.end());
}

void TQuorexEVAL::RunBOM(const std::function<void(TBOM&)>& run) {
  BOM = std::make_unique<TBOM>();
  BOM->DBManager = DBManager;
  BOM->BOMTrace = BOMTrace;
  try {
    run(*BOM);
  } catch (...) {
    BOM.reset();
    throw;
  }
  BOM.reset();
}

void TQuorexEVAL::SqlRegVar(const std::string& sql) {
  if (DBManager == nullptr) return;
  NoteScriptStatement(sql);
  SqlQuery = DBManager->NewQuery();
  try {
    SqlQuery->GetSQL().SetText(sql);
    SqlQuery->Open();
    // One field object serves every lookup, so each column is read by name in turn.
    if (SqlQuery->FindField("varname") != nullptr && SqlQuery->FindField("varvalue") != nullptr &&
        SqlQuery->FindField("vartype") != nullptr) {
      for (SqlQuery->First(); !SqlQuery->Eof(); SqlQuery->Next()) {
        // A row without a type is taken as text.
        const std::string t = SqlQuery->FieldByName("vartype").GetAsString();
        SetVar(SqlQuery->FieldByName("varname").GetAsString(), t.empty() ? 'c' : t[0],
               SqlQuery->FieldByName("varvalue").GetAsString());
      }
    }
    SqlQuery->Close();
  } catch (...) {
    SqlQuery.reset();
    throw;
  }
  SqlQuery.reset();
}

void TQuorexEVAL::SetSystemVar(const std::string& rawName, const std::string& value) {
  const std::string name = AsciiLower(rawName);
  struct TText {
    const char* Name;
    std::string* Global;
    const char* Var;
  };
  const TText texts[] = {
      {"companyname", &CompanyName, "CompanyName"},
      {"username", &UserName, "UserName"},
      {"usercategory", &UserCategory, "UserCategory"},
      {"userdepartment", &UserDepartment, "UserDepartment"},
      {"dbrep", &DbRep, "DbRep"},
      {"crrep", &CrRep, "CrRep"},
      {"quorexpath", &QuorexPath, "QuorexPath"},
      {"_maincurr", &MainCurr, "_MainCurr"},
      {"_subcurr", &SubCurr, "_subCurr"},
  };
  for (const TText& t : texts) {
    if (name == t.Name) {
      *t.Global = value;
      SetVar(t.Var, 'c', value);
      return;
    }
  }
  if (name == "_currdecimal") {
    CurrDecimal = Int(value);
    SetVar("_CurrDecimal", 'n', std::to_string(CurrDecimal));
  } else if (name == "finyrst" || name == "finyred" || name == "afinyrst" || name == "afinyred") {
    const double date = DateTime(value);
    double& global = name == "finyrst"    ? FinYrSt
                     : name == "finyred"  ? FinYrEd
                     : name == "afinyrst" ? AFinYrSt
                                          : AFinYrEd;
    global = date;
    SetVar(name, 'd', value);
  } else if (name == "basecurrencyid") {
    BaseCurrencyId = ParseRecordIdText(value);
    SetVar("basecurrencyid", 'n', value);
  } else if (name == "_millions") {
    Millions = value == "t";
    std::string upper = value;
    for (char& c : upper) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    SetVar("_millions", 'c', upper);
  }
}

void TQuorexEVAL::XRun(const std::string& command) {
  if (command.empty()) return;
  std::string file = command;
  std::string params;
  const size_t mark = command.find('%');
  if (mark != std::string::npos) {
    file = TrimText(command.substr(0, mark));
    params = TrimText(command.substr(mark + 1)).substr(0, 750);
  }
  if (ShellOpen) ShellOpen(file, params);
}

void TQuorexEVAL::FileWrite(const std::string& templateFile, const std::string& outputFile) {
  if (StoreData == nullptr || StoreData->StructDef == nullptr) {
    throw std::runtime_error("No document is linked to the evaluator");
  }
  std::vector<std::string> lines = ReadLines(templateFile);
  std::vector<std::string> output;
  std::vector<int> expandedFrames;
  std::vector<std::string> used;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    for (;;) {
      const size_t open = line.find('{');
      if (open == std::string::npos) break;
      // The first "}" after the "{": a "}" before it would leave nothing to take out and
      // the line would never finish.
      const size_t close = line.find('}', open);
      if (close == std::string::npos) break;
      const std::string name = AsciiLower(line.substr(open + 1, close - open - 1));
      TFld* field = StoreData->StructDef->GetField(name);
      if (field == nullptr) {
        line.erase(open, close - open + 1);
        continue;
      }
      if (field->asgrid && std::find(expandedFrames.begin(), expandedFrames.end(),
                                     field->frameno) == expandedFrames.end()) {
        const int rows = StoreData->GetMaxRow(field->frameno);
        if (rows > 1) lines.insert(lines.begin() + static_cast<long>(i), rows - 1, line);
        expandedFrames.push_back(field->frameno);
      }
      used.push_back(name);
      const int row = static_cast<int>(std::count(used.begin(), used.end(), name));
      line.replace(open, close - open + 1, StoreData->GetValue(name, row));
    }
    output.push_back(std::move(line));
  }
  std::ofstream out(outputFile, std::ios::binary | std::ios::trunc);
  if (!out) throw EInOutError("Cannot create file \"" + outputFile + "\"");
  for (const std::string& l : output) out << l << '\n';
  out.close();
  if (!out) throw EInOutError("Cannot write file \"" + outputFile + "\"");
}

}  // namespace v7
