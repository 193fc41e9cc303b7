// The definition of one transaction type (see uStructDef.h).
#include "uStructDef.h"

#include <climits>
#include <stdexcept>

#include "uGeneralFunctions.h"
#include "uNumbers.h"

namespace v7 {

namespace {

// A column's text; a column the row does not have reads as empty, so that a metadata table
// of an older layout still loads.
std::string Col(TXDS& q, const std::string& name) {
  TXField* f = q.FindField(name);
  return f ? f->Value : std::string();
}

// Metadata flags are true only for "t" in any case.
bool Flag(TXDS& q, const std::string& name) { return LowerStr(Col(q, name)) == "t"; }

// Metadata integers: the number the value begins with, whatever follows it ("3,0" and "3;"
// are 3, as a width typed with a decimal comma still means 3); an empty value is 0, and so is
// one out of the int range; a number with a fraction is cut.
int Int(TXDS& q, const std::string& name) {
  const double v = LeadingNumber(Col(q, name));
  return v > INT_MIN && v < INT_MAX ? static_cast<int>(v) : 0;
}

// Literal text inside a quoted SQL string.
std::string QuoteInner(const std::string& text) { return ReplaceAll(text, "'", "''"); }

// A list query depends on other values when its SQL holds a template ("{" or "(:"), whose
// text is then kept for filling in, or a plain parameter.
bool DependsOnValues(TXDS& list, std::string& dependentSql) {
  std::string sql = list.GetSQL().Text();
  if (sql.find('{') != std::string::npos || sql.find("(:") != std::string::npos) {
    dependentSql = sql;
    return true;
  }
  return !list.GetParamNames().empty();
}

}  // namespace

TStructDef::TStructDef(TDBManager* dbManager, const std::string& transKey) : DBManager(dbManager) {
  if (!DBManager) throw std::runtime_error("TStruct not found " + transKey);
  LoadTransDef(transKey);
  SubFormDefs = DBManager->NewQuery();
  SubFormDefs->GetSQL().SetText("select * from subformdef where transid=:t");
  SubFormDefs->ParamByName("t").SetAsString(TransId);
  SubFormDefs->Open();
  LoadExprSet();
  LoadFields();
  LoadGridMaps();
  InputSqlQuery.reset();
  ExprQuery.reset();
}

TStructDef::~TStructDef() = default;

void TStructDef::LoadTransDef(const std::string& transKey) {
  TransDefRow = DBManager->NewQuery();
  if (!transKey.empty() && transKey[0] == ':') {
    TransId = transKey.substr(1, 100);
    TransDefRow->GetSQL().SetText("select * from transdefmaster where transid=:t");
    TransDefRow->ParamByName("t").SetAsString(TransId);
    TransDefRow->Open();
    if (TransDefRow->IsEmpty()) throw std::runtime_error("TStruct not found " + TransId);
  } else {
    TransDefRow->GetSQL().SetText("select * from transdefmaster where transdesc=:t");
    TransDefRow->ParamByName("t").SetAsString(transKey);
    TransDefRow->Open();
    if (TransDefRow->IsEmpty()) throw std::runtime_error("TStruct not found " + transKey);
    TransId = Col(*TransDefRow, "transid");
  }
  TXDS& row = *TransDefRow;
  std::string tableName = Col(row, "tablename");
  // Counting stops at the first empty item: "a,b,,c" has two tables.
  TableCount = 0;
  while (!v7::GetField(tableName, TableCount + 1).empty()) ++TableCount;
  FrameNames = Col(row, "framenames");
  std::string asGrids = Col(row, "asgrids");
  AsGrids.clear();
  for (int i = 1; i <= TableCount; ++i) AsGrids += LowerStr(v7::GetField(asGrids, i));
  NoChange = Col(row, "nochange");
  DocDateField = Col(row, "docdatefield");
  PrimaryTable = LowerStr(v7::GetField(tableName, 1));
  TableNames = LowerStr(tableName);
  TransDesc = Col(row, "transdesc");
}

void TStructDef::LoadExprSet() {
  auto q = DBManager->NewQuery();
  q->GetSQL().SetText("Select * from EXPRSET WHERE TRANSID = :t");
  q->ParamByName("t").SetAsString(TransId);
  q->Open();
  ExprSet.clear();
  if (q->IsEmpty()) return;
  for (const std::string& line : SplitTextLines(Col(*q, "expression"))) {
    std::string trimmed = TrimStr(line);
    // Event and map-block headers are matched in lower case; script lines keep their case.
    if (!trimmed.empty() && trimmed[0] == '{') trimmed = LowerStr(trimmed);
    ExprSet.push_back(trimmed);
  }
  q->Close();
}

std::string TStructDef::GetExpression(int exprId) {
  if (!ExprQuery) {
    ExprQuery = DBManager->NewQuery();
    ExprQuery->GetSQL().SetText("select * from repexpr where exprid = :i");
  }
  ExprQuery->Close();
  ExprQuery->ParamByName("i").SetAsInteger(exprId);
  ExprQuery->Open();
  if (ExprQuery->IsEmpty())
    throw EDatabaseError("Unable to find expression" + std::to_string(exprId));
  std::string text = ExprQuery->FieldByName("Expression").Value;
  ExprQuery->Close();
  return text;
}

std::unique_ptr<TXDS> TStructDef::BuildListSQL(const std::string& name,
                                               const std::string& modeOfEntry, TFld* fld) {
  if (!InputSqlQuery) {
    InputSqlQuery = DBManager->NewQuery();
    InputSqlQuery->GetSQL().SetText("select * from inputsql where " + DbLowerFunc +
                                    "(fieldname)=:f and transid=:t");
  }
  TXDS& in = *InputSqlQuery;
  in.Close();
  in.ParamByName("f").SetAsString(name);
  in.ParamByName("t").SetAsString(TransId);
  in.Open();
  std::string sql;
  if (!in.IsEmpty()) {
    sql = Col(in, "sqltext");
    if (fld) {
      fld->autoselect = Flag(in, "autoselect");
      fld->refreshonsave = Flag(in, "refreshonsave");
    }
  } else if (modeOfEntry == "from list") {
    // The type and field names are written into the literal with their quotes doubled: a
    // name with a quote must not break (or change) the statement.
    sql = "Select FromListValueId, FromListValue from FROMLISTVALUES where " + DbLowerFunc +
          "(Transtype) = '" + QuoteInner(LowerStr(TransId)) + "' and " + DbLowerFunc +
          "(name) = '" + QuoteInner(LowerStr(name)) + "'";
  } else {
    in.Close();
    return nullptr;
  }
  in.Close();
  auto q = DBManager->NewQuery();
  q->SetCached(true);
  q->GetSQL().SetText(sql);
  return q;
}

void TStructDef::LoadFields() {
  FieldRows = DBManager->NewQuery();
  TXDS& q = *FieldRows;
  q.GetSQL().SetText("select * from prms where transid = :transtype order by frameno,orders");
  q.ParamByName("transtype").SetAsString(TransId);
  q.Open();
  for (q.First(); !q.Eof(); q.Next()) {
    auto f = std::make_unique<TFld>();
    f->name = LowerStr(Col(q, "name"));
    f->savetablename = LowerStr(Col(q, "savetablename"));
    f->type = LowerStr(Col(q, "type"));
    f->modeofentry = LowerStr(Col(q, "modeofentry"));
    f->caption = Col(q, "caption");
    f->LinkField = LowerStr(Col(q, "LinkField"));
    f->sourcefield = Col(q, "sourcefield");
    f->sourcetable = Col(q, "sourcetable");
    f->compnamefield = Col(q, "compnamefield");
    f->applyrule = LowerStr(Col(q, "applyrule"));
    f->updateparents = LowerStr(Col(q, "updateparents"));
    f->DisplayCaption = f->caption.empty() ? f->name : f->caption;
    f->frameno = Int(q, "frameno");
    f->width = Int(q, "width");
    f->Decimals = Int(q, "Decimals");
    int exprn = Int(q, "exprn");
    int validateExpr = Int(q, "validateexpr");
    f->ExprnId = exprn > 0 ? exprn : -1;
    f->ValidateExprId = -1;
    f->orders = Int(q, "orders");
    f->sgridwidth = Int(q, "sgridwidth");
    f->sgridheight = Int(q, "sgridheight");
    f->sourcekey = Flag(q, "sourcekey");
    f->asgrid = Flag(q, "asgrid");
    f->noduplicate = Flag(q, "noduplicate");
    f->Empty = Flag(q, "Empty");
    f->suggestive = Flag(q, "suggestive");
    f->hidden = Flag(q, "hidden");
    f->readonly = Flag(q, "readonly");
    f->multiline = Flag(q, "multiline");
    f->setcarry = Flag(q, "setcarry");
    if (exprn > 0) f->ExprnText = GetExpression(exprn);
    if (validateExpr > 0) f->ValidateExprText = GetExpression(validateExpr);
    f->ListQuery = BuildListSQL(f->name, f->modeofentry, f.get());
    if (f->ListQuery) f->ListDependent = DependsOnValues(*f->ListQuery, f->DependentSQL);
    Fields.push_back(std::move(f));
  }
  FieldCount = static_cast<int>(Fields.size());
}

void TStructDef::LoadGridMaps() {
  auto q = DBManager->NewQuery();
  q->GetSQL().SetText("select * from fillgrid where " + DbLowerFunc + "(transid) = :transid");
  q->ParamByName("transid").SetAsString(LowerStr(TransId));
  q->Open();
  auto map = DBManager->NewQuery();
  map->GetSQL().SetText("select * from sqlgridmap where transid = :t and optionname=:o");
  for (q->First(); !q->Eof(); q->Next()) {
    auto g = std::make_unique<TFg>();
    g->name = Col(*q, "name");
    g->ListQuery = BuildListSQL(LowerStr(g->name), "", nullptr);
    if (!g->ListQuery) throw std::runtime_error("SQL related to " + g->name + " not found");
    g->Dependent = DependsOnValues(*g->ListQuery, g->DependentSQL);
    g->fromquorexquery = Flag(*q, "fromquorexquery");
    g->multiselect = Flag(*q, "multiselect");
    g->autoshow = Flag(*q, "autoshow");
    g->validaterow = Flag(*q, "validaterow");
    g->targetframeno = Int(*q, "targetframeno");
    g->sourceframeno = Int(*q, "sourceframeno");
    g->groupfield = Col(*q, "groupfield");
    map->Close();
    map->ParamByName("t").SetAsString(TransId);
    map->ParamByName("o").SetAsString(g->name);
    map->Open();
    for (map->First(); !map->Eof(); map->Next()) {
      g->FieldMap.push_back(Col(*map, "targetfieldname") + "=" + Col(*map, "sourcefieldname"));
      if (TXField* w = map->FindField("colwidth")) g->ColWidths += w->Value + ",";
    }
    map->Close();
    GridMaps.push_back(std::move(g));
  }
  q->Close();
}

TFld* TStructDef::GetField(const std::string& fieldName) const {
  int i = IndexOfField(fieldName);
  return i < 0 ? nullptr : Fields[static_cast<size_t>(i)].get();
}

int TStructDef::IndexOfField(const std::string& fieldName) const {
  std::string name = LowerStr(fieldName);
  for (size_t i = 0; i < Fields.size(); ++i)
    if (Fields[i]->name == name) return static_cast<int>(i);
  return -1;
}

}  // namespace v7
