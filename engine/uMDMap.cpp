// Update maps: the definitions, read from the table updatedetails and from the "{mdmap"
// blocks of a type's event text. The passes and the flush are in uMDMapPost.cpp.
#include "uMDMap.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "uDbDates.h"

namespace v7 {

namespace {

// The operator character of an updatedetails updatetype; empty for an unknown type, whose
// entry then stays in the lists without any pass applying it.
std::string OperatorOf(const std::string& updateType) {
  static const char* const kOps[] = {"+", "-", ">", "<", "^", "!", "*"};
  const std::string t = TrimStr(updateType);
  if (t.size() == 1 && t[0] >= '0' && t[0] <= '6') return kOps[t[0] - '0'];
  return "";
}

bool IsFlag(const std::string& text) { return LowerStr(TrimStr(text)) == "t"; }

// A whole decimal number; anything else is a conversion failure that passes on.
int TextToInt(const std::string& text) {
  const std::string t = TrimStr(text);
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(t.c_str(), &end, 10);
  if (t.empty() || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
    throw EConvertError("'" + t + "' is not a valid integer value");
  return static_cast<int>(v);
}

// "^" and "!" count rows: they are kept as "+" of a pseudo field that the store answers
// with 1 or -1 (old value 0 for a new document, so a row counts once).
void RewriteCountEntry(TDef& def) {
  std::string& expr = def.MasterExprs.back();
  if (expr.empty()) return;
  if (expr[0] == '^') {
    expr[0] = '+';
    def.DetailFields.back() = "__autoinc";
  } else if (expr[0] == '!') {
    expr[0] = '+';
    def.DetailFields.back() = "__autodec";
  }
}

std::string TypeLetterOf(TDbKind kind) {
  switch (kind) {
    case TDbKind::Integer:
    case TDbKind::Float:
      return "n";
    case TDbKind::DateTime:
      return "d";
    default:
      return "c";
  }
}

}  // namespace

TMDMap::TMDMap() = default;
TMDMap::~TMDMap() = default;

TDBManager* TMDMap::Manager() const {
  if (!StructDef || !StructDef->DBManager)
    throw EDatabaseError("Update maps need a transaction-type definition with a database");
  return StructDef->DBManager;
}

void TMDMap::Trace(const std::string& text) const {
  if (OnTrace) OnTrace(text);
}

TXDS& TMDMap::Query(std::unique_ptr<TXDS>& slot) {
  if (!slot) slot = Manager()->NewQuery();
  return *slot;
}

void TMDMap::Clear() { Pending.clear(); }

void TMDMap::CloseQueries() {
  for (auto* slot : {&DetailsQuery, &TypeQuery, &DecimalsQuery, &BlockQuery, &TreeQuery, &LockQuery,
                     &ReadQuery, &ExtremeQuery, &WriteQuery})
    if (*slot) (*slot)->Close();
}

// ---------------------------------------------------------------- updatedetails

void TMDMap::LoadUpdateDetails(const std::string& transId, TStructDef* structDef) {
  StructDef = structDef;
  const std::string trans = LowerStr(transId);
  TXDS& q = Query(DetailsQuery);
  q.GetSQL().SetText("Select * from updatedetails where " + DbLowerFunc +
                     "(transid) = :t order by mastertable, mastersearchfield, masterlinkfield");
  q.ParamByName("t").SetAsString(trans);
  q.Open();
  struct Row {
    std::string table, key, link, control, masterField, masterId, detailField, updateType;
    bool treeupdate, initondel;
  };
  // The rows are read first: the look-ups below run other statements.
  std::vector<Row> rows;
  for (; !q.Eof(); q.Next()) {
    auto col = [&](const char* name) { return q.FieldByName(name).GetAsString(); };
    Row r;
    r.table = LowerStr(TrimStr(col("mastertable")));
    r.key = LowerStr(TrimStr(col("mastersearchfield")));
    if (r.key == "default") r.key = r.table + "id";
    r.link = LowerStr(TrimStr(col("masterlinkfield")));
    r.control = LowerStr(TrimStr(col("controlfield")));
    r.masterField = LowerStr(TrimStr(col("masterfieldname")));
    r.masterId = col("masterid");
    r.detailField = LowerStr(TrimStr(col("detailfieldname")));
    r.updateType = col("updatetype");
    r.treeupdate = IsFlag(col("treeupdate"));
    r.initondel = IsFlag(col("initondel"));
    rows.push_back(std::move(r));
  }
  q.Close();

  for (const Row& r : rows) {
    const int frame = SourceFrameOf(r.detailField, r.link, r.control, r.updateType);
    const std::string decimals = std::to_string(FieldDecimals(r.masterId, r.masterField));
    TDef* def = nullptr;
    for (auto& d : Maps) {
      if (d->transid != trans || d->tablename != r.table || d->controlfield != r.control) continue;
      for (size_t i = 0; i < d->MasterExprs.size(); ++i)
        if (d->MasterExprs[i] == "@" + r.key && d->DetailFields[i] == r.link) def = d.get();
      if (def) break;
    }
    if (!def) {
      auto d = std::make_unique<TDef>();
      d->transid = trans;
      d->tablename = r.table;
      d->controlfield = r.control;
      d->treeupdate = r.treeupdate;
      d->initondel = r.initondel;
      d->sourceframe = frame;
      def = d.get();
      Maps.push_back(std::move(d));
    }
    size_t first = 0;
    while (first < def->DetailFields.size() && def->DetailFields[first] != r.link) ++first;
    if (first == def->DetailFields.size() || def->MasterExprs[first] != "@" + r.key) {
      def->MasterExprs.push_back("@" + r.key);
      def->DetailFields.push_back(r.link);
      def->DecimalPlaces.push_back(decimals);
      def->FieldTypes += ColumnTypeLetter(def->tablename, r.key);
    }
    def->MasterExprs.push_back(OperatorOf(r.updateType) + r.masterField);
    def->DetailFields.push_back(r.detailField);
    def->DecimalPlaces.push_back(decimals);
    def->FieldTypes += ColumnTypeLetter(def->tablename, r.masterField);
    RewriteCountEntry(*def);
  }
}

// The first grid field among detail, link and control field gives the frame; without one,
// the detail field's frame. Counts (types 4 and 5) have no detail field of their own.
// A field the type does not have counts as a header field.
int TMDMap::SourceFrameOf(const std::string& detailField, const std::string& linkField,
                          const std::string& controlField, const std::string& updateType) const {
  int frame = 1;
  bool grid = false;
  const std::string t = TrimStr(updateType);
  if (t != "4" && t != "5") {
    if (TFld* f = StructDef ? StructDef->GetField(detailField) : nullptr) {
      frame = f->frameno;
      grid = f->asgrid;
    }
  }
  for (const std::string* name : {&linkField, &controlField}) {
    if (grid || name->empty() || !StructDef) continue;
    if (TFld* f = StructDef->GetField(*name); f && f->asgrid) {
      frame = f->frameno;
      grid = true;
    }
  }
  return frame;
}

std::string TMDMap::ColumnTypeLetter(const std::string& table, const std::string& column) {
  TXDS& q = Query(TypeQuery);
  q.GetSQL().SetText("select " + column + " from " + table + " where " + table + "id=0");
  q.Open();
  std::string letter = q.GetFields().empty() ? "c" : TypeLetterOf(q.GetFields()[0].Kind);
  q.Close();
  return letter;
}

int TMDMap::FieldDecimals(const std::string& transId, const std::string& fieldName) {
  TXDS& q = Query(DecimalsQuery);
  if (DbKind == "access")
    q.GetSQL().SetText("select decimals from prms where lcase(transid)=:t and lcase(name)=:f");
  else
    q.GetSQL().SetText("select decimals from prms where lower(transid)=:t and lower(name)=:f");
  q.ParamByName("t").SetAsString(LowerStr(transId));
  q.ParamByName("f").SetAsString(LowerStr(fieldName));
  q.Open();
  int decimals = 0;
  if (!q.Eof()) {
    const std::string text = TrimStr(q.FieldByName("decimals").GetAsString());
    decimals = text.empty() ? 0 : static_cast<int>(ToFloat(text));
  }
  q.Close();
  return decimals;
}

// ---------------------------------------------------------------- map blocks

void TMDMap::LoadScriptMaps(const std::vector<std::string>& lines) {
  MasterTransId.clear();
  TDef* block = nullptr;
  for (const std::string& raw : lines) {
    const std::string line = TrimStr(raw);
    if (line.empty() || line.rfind("//", 0) == 0) continue;
    if (block) {
      if (line[0] == '{') {
        TDef* closing = block;
        block = nullptr;
        CloseBlock(*closing);
      } else {
        AddDefinitionLine(*block, line);
      }
    }
    if (line.compare(0, 6, "{mdmap") == 0) {
      Maps.push_back(std::make_unique<TDef>());
      block = Maps.back().get();
    }
  }
  if (block) CloseBlock(*block);
}

void TMDMap::AddDefinitionLine(TDef& def, const std::string& line) {
  const size_t eq = line.find('=');
  if (eq == std::string::npos) throw EDatabaseError("Improper Map definition" + line);
  const std::string name = TrimStr(line.substr(0, eq));
  const std::string value = TrimStr(line.substr(eq + 1, 100));
  const std::string lower = LowerStr(value);
  if (name == "transid") {
    def.transid = lower;
  } else if (name == "sourceframe") {
    def.sourceframe = TextToInt(value);
  } else if (name == "tablename") {
    def.tablename = value;
  } else if (name == "mastertransid") {
    MasterTransId = value;
  } else if (name == "controlfield") {
    def.controlfield = value;
  } else if (name == "append") {
    def.append = lower == "true";
  } else if (name == "treeupdate") {
    def.treeupdate = lower == "true";
  } else if (name == "treetable") {
    def.treetable = value;
  } else if (name == "treelink") {
    def.treelink = value;
  } else if (name == "initondel") {
    def.initondel = lower == "true";
  } else {
    const size_t comma = value.find(',');
    const std::string detail = TrimStr(value.substr(0, comma));
    std::string item;
    if (comma != std::string::npos) {
      item = value.substr(comma + 1);
      item = TrimStr(item.substr(0, item.find(',')));
    }
    int decimals = 0;
    if (!item.empty())
      decimals = LowerStr(item) == "_currdecimal" ? CurrDecimal : TextToInt(item);
    else if (!MasterTransId.empty())
      decimals = FieldDecimals(MasterTransId, name.empty() ? name : name.substr(1));
    def.MasterExprs.push_back(name);
    def.DetailFields.push_back(detail);
    def.DecimalPlaces.push_back(std::to_string(decimals));
    RewriteCountEntry(def);
  }
}

// The block's master table is probed through its first entry's column with an empty text,
// then 0, then 01/01/1900 (whichever the column's type accepts); the result's columns give
// the type letters of the entries.
void TMDMap::CloseBlock(TDef& def) {
  def.FieldTypes.clear();
  if (def.MasterExprs.empty()) return;
  const std::string& first = def.MasterExprs[0];
  const std::string key = first.empty() ? first : first.substr(1);
  TXDS& q = Query(BlockQuery);
  q.GetSQL().SetText("select * from " + def.tablename + " where " + key + "=:v");
  try {
    q.ParamByName("v").SetAsString("");
    q.Open();
  } catch (const std::exception&) {
    try {
      q.ParamByName("v").SetAsFloat(0);
      q.Open();
    } catch (const std::exception&) {
      double firstDate = 0;
      DateTimeFromParts(1900, 1, 1, 0, 0, 0, firstDate);
      q.ParamByName("v").SetAsDateTime(firstDate);
      q.Open();
    }
  }
  const std::vector<TDbColumn>& cols = q.GetFields();
  for (const std::string& expr : def.MasterExprs) {
    const std::string column = LowerStr(expr.substr(expr.empty() ? 0 : 1));
    std::string letter = "c";
    for (const TDbColumn& c : cols)
      if (LowerStr(c.Name) == column) letter = TypeLetterOf(c.Kind);
    def.FieldTypes += letter;
  }
  q.Close();
}

}  // namespace v7
