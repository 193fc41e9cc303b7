// The query object: handles, datasets, statement and cursor operations and the parameter
// rules of each access layer. The row buffer is in uXDSRowBuffer.cpp.
#include "uXDS.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "uDbDates.h"
#include "uGeneralFunctions.h"
#include "uNumbers.h"

namespace v7 {

namespace {

// The platform's text-to-float conversion, the one ToFloat uses too.
bool TextToFloat(const std::string& text, double& value) { return TryStrToFloat(text, value); }

double FloatOrFail(const std::string& text) {
  double v = 0;
  if (!TextToFloat(text, v))
    throw EConvertError("'" + text + "' is not a valid floating point value");
  return v;
}

const double kDate1900 = 2.0;  // 01/01/1900 as a date-time

// A number as a bound value: whole numbers bind as integers so that a text column compares
// them as "5", not "5.0".
TDbValue NumberValue(double f) {
  if (std::floor(f) == f && std::fabs(f) < 9.0e15)
    return TDbValue::FromInt(static_cast<long long>(f));
  return TDbValue::FromFloat(f);
}

// A double tells every whole number apart only up to 2^53.
constexpr double kExactDoubleLimit = 9007199254740992.0;

// The value a number text binds as, f being the text read as a float. A whole number beyond
// what a double holds exactly (a record id of 16 digits, as the sites from 901 up make them)
// binds as that integer, so that "9010001000000003" is not its neighbour 9010001000000004;
// every other number binds as its float, as before. text receives the number's text.
TDbValue NumberParamValue(const std::string& value, double f, std::string& text) {
  TExactNumber exact;
  if (std::fabs(f) >= kExactDoubleLimit && ParseExactNumber(value, exact) &&
      exact.Point >= static_cast<long>(exact.Digits.size())) {
    long long whole = 0;
    const std::string digits = PlainNumberText(exact);
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), whole);
    if (r.ec == std::errc() && r.ptr == digits.data() + digits.size()) {
      text = digits;
      return TDbValue::FromInt(whole);
    }
  }
  text = FloatToStr(f);
  return NumberValue(f);
}

// The value of a parameter as a float (0 when it has none or is no number).
double SlotFloat(const TXParamSlot& p) {
  switch (p.Value.Kind) {
    case TDbKind::Integer:
      return static_cast<double>(p.Value.Int);
    case TDbKind::Float:
    case TDbKind::DateTime:
      return p.Value.Float;
    case TDbKind::Text: {
      double v = 0;
      return TextToFloat(p.Value.Text, v) ? v : 0;
    }
    default:
      return 0;
  }
}

// The value of a parameter as a date-time (0 when it has none).
double SlotDateTime(const TXParamSlot& p) {
  if (p.Value.Kind == TDbKind::Text) {
    double d = 0;
    return ParseDateTimeText(p.Value.Text, TDateOrder::DMY, d) ? d : 0;
  }
  return SlotFloat(p);
}

// Whether a parameter already holds the number next: as floats, unless either is an
// integer a double cannot hold, which only the same integer equals.
bool SameNumber(const TXParamSlot& p, const TDbValue& next, double f) {
  auto beyond = [](const TDbValue& v) {
    return v.Kind == TDbKind::Integer && std::fabs(static_cast<double>(v.Int)) >= kExactDoubleLimit;
  };
  if (beyond(p.Value) || beyond(next))
    return p.Value.Kind == TDbKind::Integer && next.Kind == TDbKind::Integer &&
           p.Value.Int == next.Int;
  return SlotFloat(p) == f;
}

double DateOrDefault(const std::string& value) {
  double d = 0;
  return ParseDateTimeText(value, TDateOrder::DMY, d) ? d : kDate1900;
}

}  // namespace

// ---------------------------------------------------------------- handles

std::string TXValueHandle::GetAsString() const { return Value; }

long long TXValueHandle::GetAsInteger() const {
  if (Value.empty()) return 0;
  const char* b = Value.data();
  const char* e = b + Value.size();
  if (*b == '+') ++b;
  long long v = 0;
  auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc() || r.ptr != e)
    throw EConvertError("'" + Value + "' is not a valid integer value");
  return v;
}

double TXValueHandle::GetAsFloat() const {
  if (Value.empty()) return 0;
  return FloatOrFail(Value);
}

double TXValueHandle::GetAsDateTime() const {
  if (Value.empty()) return kDate1900;
  double d = 0;
  if (ParseDateTimeText(Value, TDateOrder::DMY, d)) return d;
  double j = 0;
  if (TextToFloat(Value, j) && j >= kFirstJulianDate && j <= kLastJulianDate)
    return DateTimeFromJulian(j);
  throw EConvertError("'" + Value + "' is not a valid date and time");
}

bool TXValueHandle::GetAsBoolean() const { return LowerStr(Value) == "t"; }

void TXValueHandle::Put(const std::string& text) {
  Value = text;
  if (WriteThrough) WriteThrough(Name, Value);
}

void TXValueHandle::SetAsString(const std::string& text) { Put(text); }
void TXValueHandle::SetAsInteger(long long value) { Put(std::to_string(value)); }
void TXValueHandle::SetAsFloat(double value) { Put(FloatToStr(value)); }
void TXValueHandle::SetAsDateTime(double dateTime) {
  Put(FormatDateTimeMask(DbDateFormat.empty() ? "dd/mm/yyyy" : DbDateFormat, dateTime));
}

void TXParam::SetAsInteger(long long value) {
  TXValueHandle::SetAsInteger(value);
  if (WriteTyped) WriteTyped(Name, TDbValue::FromInt(value));
}

void TXParam::SetAsFloat(double value) {
  TXValueHandle::SetAsFloat(value);
  if (WriteTyped) WriteTyped(Name, NumberValue(value));
}

void TXParam::SetAsDateTime(double dateTime) {
  TXValueHandle::SetAsDateTime(dateTime);
  if (WriteTyped) WriteTyped(Name, TDbValue::FromDateTime(RoundDateTimeToSecond(dateTime)));
}

unsigned char FieldTypeOf(TDbKind kind) {
  switch (kind) {
    case TDbKind::Integer:
      return ftInteger;
    case TDbKind::Float:
      return ftFloat;
    case TDbKind::Text:
      return ftString;
    case TDbKind::Blob:
      return ftBlob;
    case TDbKind::DateTime:
      return ftDateTime;
    default:
      return ftUnknown;
  }
}

// ---------------------------------------------------------------- statement lines

void TXSQL::Changed() {
  if (OnChange) OnChange();
}

void TXSQL::Clear() {
  lines_.clear();
  Changed();
}

void TXSQL::Add(const std::string& line) {
  lines_.push_back(line);
  Changed();
}

void TXSQL::SetText(const std::string& text) {
  lines_.clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // A "\r" stays: it may sit inside a literal, whose text must not change.
    if (end == std::string::npos) {
      if (!line.empty()) lines_.push_back(line);
      break;
    }
    lines_.push_back(line);
    start = end + 1;
  }
  Changed();
}

std::string TXSQL::Text() const {
  std::string t;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (i) t += '\n';
    t += lines_[i];
  }
  return t;
}

// ---------------------------------------------------------------- dataset

TXDataSet::TXDataSet(std::string name) : Name(std::move(name)) {
  // A new statement closes the dataset and asks for its parameters again.
  sql_.OnChange = [this] {
    Close();
    paramsParsed_ = false;
  };
}

void TXDataSet::SetConnection(std::shared_ptr<TDbBackend> connection) {
  connection_ = std::move(connection);
}

void TXDataSet::SyncParams() {
  if (paramsParsed_) return;
  std::string text = sql_.Text();
  paramsParsed_ = true;
  if (text == parsedText_ && !params_.empty()) return;
  parsedText_ = text;
  std::vector<TXParamSlot> next;
  for (const auto& name : ParseParamNames(text)) {
    TXParamSlot slot;
    slot.Name = name;
    for (const auto& old : params_)
      if (SameStrNoCase(old.Name, name)) {
        slot = old;
        slot.Name = name;
      }
    next.push_back(std::move(slot));
  }
  params_ = std::move(next);
}

std::vector<TXParamSlot>& TXDataSet::Params() {
  SyncParams();
  return params_;
}

TXParamSlot* TXDataSet::FindParam(const std::string& name) {
  for (auto& p : Params())
    if (SameStrNoCase(p.Name, name)) return &p;
  return nullptr;
}

TDbParams TXDataSet::BindList() {
  TDbParams list;
  for (const auto& p : Params()) list.emplace_back(p.Name, p.Value);
  return list;
}

void TXDataSet::Open() {
  Close();
  if (!connection_) throw EDatabaseError("No database connection", sql_.Text());
  rows_ = connection_->Query(sql_.Text(), BindList());
  active_ = true;
  First();
}

void TXDataSet::Close() {
  active_ = false;
  rows_ = TDbRowSet{};
  row_ = 0;
  eof_ = true;
}

long long TXDataSet::Execute() {
  Close();
  if (!connection_) throw EDatabaseError("No database connection", sql_.Text());
  return connection_->Execute(sql_.Text(), BindList());
}

// As in the class library, the cursor never leaves the rows: Next on the last row only
// sets the end flag, so the last row stays readable at the end.
bool TXDataSet::Eof() const { return !active_ || eof_; }
bool TXDataSet::Bof() const { return !active_ || row_ == 0; }
bool TXDataSet::IsEmpty() const { return !active_ || rows_.Rows.empty(); }
void TXDataSet::First() {
  row_ = 0;
  eof_ = rows_.Rows.empty();
}
void TXDataSet::Next() {
  if (row_ + 1 < static_cast<int>(rows_.Rows.size()))
    ++row_;
  else
    eof_ = true;
}
void TXDataSet::Prior() {
  if (row_ > 0) --row_;
  eof_ = rows_.Rows.empty();
}
void TXDataSet::Last() {
  row_ = rows_.Rows.empty() ? 0 : static_cast<int>(rows_.Rows.size()) - 1;
  eof_ = rows_.Rows.empty();
}
int TXDataSet::RecordCount() const { return active_ ? static_cast<int>(rows_.Rows.size()) : 0; }

const std::vector<TDbColumn>& TXDataSet::Fields() const { return rows_.Columns; }

int TXDataSet::FieldIndex(const std::string& name) const {
  for (size_t i = 0; i < rows_.Columns.size(); ++i)
    if (SameStrNoCase(rows_.Columns[i].Name, name)) return static_cast<int>(i);
  return -1;
}

const TDbValue& TXDataSet::FieldValue(int index) const {
  static const TDbValue kNull;
  if (!active_ || rows_.Rows.empty() || index < 0 ||
      index >= static_cast<int>(rows_.Columns.size()))
    return kNull;
  return rows_.Rows[static_cast<size_t>(row_)][static_cast<size_t>(index)];
}

std::string TXDataSet::FieldText(int index) const {
  const TDbValue& v = FieldValue(index);
  switch (v.Kind) {
    case TDbKind::Integer:
      return std::to_string(v.Int);
    case TDbKind::Float:
      // Every digit a stored amount has: a master sum read, changed and written back must
      // not lose its last cent. A numeric of more digits than a double holds brings its text.
      return v.Text.empty() ? FormatNumberExact(v.Float) : v.Text;
    case TDbKind::Text:
    case TDbKind::Blob:
      return v.Text;
    case TDbKind::DateTime:
      return DateTimeToText(v.Float);
    default:
      return "";
  }
}

bool TXDataSet::Locate(const std::string& field, const std::string& value, bool ignoreCase) {
  int idx = FieldIndex(field);
  if (idx < 0) throw EDatabaseError("Field '" + field + "' not found");
  const int row = row_;
  const bool eof = eof_;
  for (First(); !Eof(); Next()) {
    std::string t = FieldText(idx);
    if (ignoreCase ? SameStrNoCase(t, value) : t == value) return true;
  }
  // A failed search leaves the cursor where it was.
  row_ = row;
  eof_ = eof;
  return false;
}

bool TXDataSet::LocateFloat(const std::string& field, long double number) {
  int idx = FieldIndex(field);
  if (idx < 0) throw EDatabaseError("Field '" + field + "' not found");
  for (First(); !Eof(); Next()) {
    const TDbValue& v = FieldValue(idx);
    long double f = 0;
    if (v.Kind == TDbKind::Integer) {
      f = static_cast<long double>(v.Int);
    } else if (v.Kind == TDbKind::Float || v.Kind == TDbKind::DateTime) {
      f = v.Float;
    } else if (v.Kind == TDbKind::Text) {
      double d = 0;
      if (!TextToFloat(v.Text, d)) continue;
      f = d;
    }
    if (f == number) return true;
  }
  return false;
}

// ---------------------------------------------------------------- query object

TXDS::TXDS(std::string driver, std::shared_ptr<TDbBackend> connection, TTraceProc trace,
           std::string dbType)
    : Trace(std::move(trace)),
      driver_(LowerStr(TrimStr(driver))),
      dbType_(LowerStr(TrimStr(dbType))),
      connection_(std::move(connection)),
      query_(std::make_unique<TXDataSet>()) {
  if (dbType_.empty() && connection_) dbType_ = connection_->DbKind();
  if (driver_ == "ado")
    kind_ = DriverKind::Ado;
  else if (driver_ == "dbx")
    kind_ = DriverKind::Dbx;
  else if (driver_ == "bde")
    kind_ = DriverKind::Bde;
  query_->SetConnection(connection_);
  // Rows of a query are read-only: a field write has no row to go to.
  Field.WriteThrough = [](const std::string&, const std::string&) {
    throw EDatabaseError("Dataset not in edit or insert mode");
  };
  Param.WriteThrough = [this](const std::string& name, const std::string& text) {
    WriteParam(name, text);
  };
  Param.WriteTyped = [this](const std::string& name, const TDbValue& value) {
    TXParamSlot* slot = Current().FindParam(name);
    if (!slot) throw EDatabaseError("Parameter '" + name + "' not found");
    slot->Value = value;
    slot->DataType = FieldTypeOf(value.Kind);
  };
}

TXDS::~TXDS() { Close(); }

void TXDS::CheckDriver() const {
  if (kind_ == DriverKind::None) throw EDatabaseError("Improper Driver");
}

TXDataSet& TXDS::Current() { return Cached && ClientDataSet ? *ClientDataSet : *query_; }

TXSQL& TXDS::GetSQL() { return Current().SQL(); }

void TXDS::Open() {
  CheckDriver();
  Close();
  Current().Open();
}

void TXDS::Close() {
  if (Cached && ClientDataSet) {
    ClientDataSet->Close();
    ClientDataSet->SetConnection(connection_);
  }
  query_->Close();
}

void TXDS::TraceStatement(const std::string& statement) {
  if (!Trace) return;
  Trace("#savelevel#");
  Trace("# 1#" + statement);
  Trace("#resetlevel#");
}

long long TXDS::ExecSQL() {
  CheckDriver();
  TXDataSet& ds = Current();
  TraceStatement(ds.CommandText());
  rowsAffected_ = 0;
  rowsAffected_ = ds.Execute();
  return rowsAffected_;
}

bool TXDS::Eof() { return Current().Eof(); }
bool TXDS::IsEmpty() { return Current().IsEmpty(); }
void TXDS::First() { Current().First(); }
void TXDS::Next() { Current().Next(); }
bool TXDS::GetActive() { return Current().Active(); }
const std::vector<TDbColumn>& TXDS::GetFields() { return Current().Fields(); }

void TXDS::FillField(TXDataSet& ds, int index) {
  const TDbColumn& col = ds.Fields()[static_cast<size_t>(index)];
  Field.Value = ds.FieldText(index);
  Field.DataType = FieldTypeOf(col.Kind);
  switch (col.Kind) {
    case TDbKind::Integer:
      Field.DataSize = 4;
      break;
    case TDbKind::Float:
    case TDbKind::DateTime:
      Field.DataSize = 8;
      break;
    case TDbKind::Text:
      Field.DataSize = col.Size > 0 ? col.Size + 1 : static_cast<int>(Field.Value.size()) + 1;
      break;
    default:
      Field.DataSize = static_cast<int>(Field.Value.size());
  }
}

TXField& TXDS::FieldByName(const std::string& name) {
  CheckDriver();
  Field.Name = name;
  TXDataSet& ds = Current();
  int idx = ds.FieldIndex(name);
  if (idx < 0) throw EDatabaseError("Field '" + name + "' not found");
  FillField(ds, idx);
  return Field;
}

TXField* TXDS::FindField(const std::string& name) {
  CheckDriver();
  TXDataSet& ds = Current();
  int idx = ds.FieldIndex(name);
  if (idx < 0) return nullptr;
  Field.Name = name;
  FillField(ds, idx);
  return &Field;
}

const TDbValue& TXDS::FieldValue(const std::string& name) {
  CheckDriver();
  TXDataSet& ds = Current();
  int idx = ds.FieldIndex(name);
  if (idx < 0) throw EDatabaseError("Field '" + name + "' not found");
  return ds.FieldValue(idx);
}

TXParam& TXDS::ParamByName(const std::string& name) {
  CheckDriver();
  Param.Name = name;
  TXParamSlot* slot = Current().FindParam(name);
  if (!slot) throw EDatabaseError("Parameter '" + name + "' not found");
  Param.Value = slot->Text;
  Param.DataType = slot->DataType;
  return Param;
}

void TXDS::WriteParam(const std::string& name, const std::string& text) {
  TXParamSlot* slot = Current().FindParam(name);
  if (!slot) throw EDatabaseError("Parameter '" + name + "' not found");
  slot->Text = text;
  slot->Value = TDbValue::FromText(text);
  slot->DataType = ftString;
  slot->Bound = true;
}

std::vector<std::string>& TXDS::GetParamNames() {
  ParamNames.clear();
  for (const auto& p : Current().Params()) ParamNames.push_back(p.Name);
  return ParamNames;
}

void TXDS::SetParamValue(int index, const std::string& value, const std::string& type) {
  CheckDriver();
  TXDataSet& ds = Current();
  auto& params = ds.Params();
  if (index < 0 || index >= static_cast<int>(params.size()))
    throw EDatabaseError("Parameter index " + std::to_string(index) + " out of range",
                         ds.CommandText());
  TXParamSlot& p = params[static_cast<size_t>(index)];
  bool changed = false;

  const bool cached = Cached && ClientDataSet;
  const DriverKind rule = cached ? DriverKind::Dbx : kind_;
  const std::string t = cached || kind_ == DriverKind::Bde ? LowerStr(type) : type;

  if (rule == DriverKind::Ado) {
    // Only a different text (or no value yet) changes the parameter. The provider turned a
    // text into the column's number or date; here the engine does not, so a number or a
    // date text of those types is bound as a number or a date.
    if (p.Value.IsNull() || p.Text != value) {
      p.Text = value;
      p.Value = TDbValue::FromText(value);
      p.DataType = ftString;
      double f = 0;
      std::string ignored;
      if (type == "n" && TextToFloat(value, f)) {
        p.Value = NumberParamValue(value, f, ignored);
        p.DataType = ftFloat;
      } else if (type == "d" && ParseDateTimeText(value, TDateOrder::DMY, f)) {
        p.Value = TDbValue::FromDateTime(f);
        p.DataType = ftDateTime;
      }
      changed = true;
    }
  } else if (rule == DriverKind::Dbx) {
    if (t == "n") {
      const std::string number = value.empty() ? "0" : value;
      const double f = FloatOrFail(number);
      std::string text;
      TDbValue next = NumberParamValue(number, f, text);
      if (!(p.Bound && SameNumber(p, next, f))) {
        p.Text = text;
        p.Value = std::move(next);
        p.DataType = ftFloat;
        changed = true;
      }
    } else if (t == "d") {
      double d = DateOrDefault(value);
      p.DataType = ftDateTime;
      if (!(p.Bound && SlotDateTime(p) == d)) {
        // The text keeps the date only, and so does the value bound from it.
        p.Text = FormatDateTimeMask("dd-mmm-yyyy", d);
        p.Value = TDbValue::FromDateTime(std::floor(d));
        changed = true;
      }
    } else if (!(p.Bound && p.Text == value)) {
      p.Text = value;
      p.Value = TDbValue::FromText(value);
      p.DataType = ftString;
      changed = true;
    }
  } else {  // bde: the bound state is not consulted
    if (t == "n") {
      const std::string number = value.empty() ? "0" : value;
      const double f = FloatOrFail(number);
      std::string text;
      TDbValue next = NumberParamValue(number, f, text);
      if (p.Value.IsNull() || !SameNumber(p, next, f)) {
        p.Text = text;
        p.Value = std::move(next);
        p.DataType = ftFloat;
      }
      changed = true;
    } else if (t == "d") {
      double d = DateOrDefault(value);
      if (p.Value.IsNull() || SlotDateTime(p) != d) {
        p.Text = FormatDateTimeMask(DbDateFormat.empty() ? "dd/mm/yyyy" : DbDateFormat, d);
        p.Value = TDbValue::FromDateTime(std::floor(d));
        p.DataType = ftDateTime;
        changed = true;
      }
    } else if (p.Value.IsNull() || p.Text != value) {
      p.Text = value;
      p.Value = TDbValue::FromText(value);
      p.DataType = ftString;
      changed = true;
    }
  }
  if (!changed) return;
  p.Bound = true;
  if (cached) {
    ClientDataSet->Close();
    ClientDataSet->SetConnection(connection_);
  } else {
    query_->Close();
  }
}

std::string TXDS::QuotedValue(const std::string& value) const {
  CheckDriver();
  if (kind_ != DriverKind::Ado) return value;
  return "'" + ReplaceAll(value, "'", "''") + "'";
}

void TXDS::SetCached(bool flag) {
  Cached = flag;
  if (!flag) return;
  if (!ClientDataSet) {
    ClientDataSet = std::make_unique<TClientDataSet>("CDS__" + Name);
    // A statement set before caching was switched on stays the statement.
    if (query_->SQL().Count() > 0) ClientDataSet->SQL().SetText(query_->SQL().Text());
  }
  ClientDataSet->SetConnection(connection_);
}

void TXDS::UnbindParams() {
  if (!Cached || !ClientDataSet) return;
  for (auto& p : ClientDataSet->Params()) p.Bound = false;
}

bool TXDS::Locate(const std::string& field, const std::string& value, bool ignoreCase) {
  return Current().Locate(field, value, ignoreCase);
}

bool TXDS::LocateFloat(const std::string& field, long double number) {
  return Current().LocateFloat(field, number);
}

}  // namespace v7
