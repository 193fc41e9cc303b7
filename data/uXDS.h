// The query object through which every unit reads and writes the database: statement lines,
// parameters, a cursor over the result with one field handle, a cached (in-memory) mode, and
// a row buffer from which it writes one row as a generated insert, update or delete in the
// dialect of the open project. The access layer ("ado", "dbx", "bde") fixes quoting, retries,
// parameter rules and tracing; the engine underneath is a TDbBackend.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "uDbBackend.h"
#include "uGeneralFunctions.h"

namespace v7 {

class TXDS;

// Field type codes of the class library, as TXField::DataType and TXParam::DataType carry
// them (one byte each).
enum TFieldType : unsigned char {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBlob = 15,
  ftMemo = 16,
  ftLargeint = 25,
};

// What the field and parameter handles share: a name, a value text, the typed getters and
// the setters that write the text through to the owning query object.
class TXValueHandle {
 public:
  std::string Name;
  std::string Value;
  // Called by every setter with (Name, Value); bound by the owning query object.
  std::function<void(const std::string&, const std::string&)> WriteThrough;

  std::string GetAsString() const;
  // 0 for the empty text; EConvertError for a text that is no decimal integer.
  long long GetAsInteger() const;
  // 0 for the empty text; EConvertError for a text that is no number.
  double GetAsFloat() const;
  // 01/01/1900 for the empty text; else the text read as a date (day first) with an optional
  // time. A number from kFirstJulianDate to kLastJulianDate (uDbDates.h) is a Julian day: the
  // form in which an SQLite expression column that is not typed as a date (julianday(...))
  // carries one.
  // EConvertError for anything else.
  double GetAsDateTime() const;
  // True exactly when the text lower-cased is "t".
  bool GetAsBoolean() const;

  void SetAsString(const std::string& text);
  void SetAsInteger(long long value);
  void SetAsFloat(double value);
  // The date formatted with DbDateFormat (the date only, as the dialect writes it).
  void SetAsDateTime(double dateTime);

 protected:
  void Put(const std::string& text);
};

// The one field handle of a query object, refilled by every FieldByName / FindField.
// Writing through raises: the rows of a query are read-only here.
class TXField : public TXValueHandle {
 public:
  unsigned char DataType = ftUnknown;
  int DataSize = 0;
};

// The one parameter handle of a query object, refilled by every ParamByName. Writing through
// sets the parameter's value as text; the number and date setters also bind the parameter as
// a number or a date (the engine does not turn text into numbers or dates by itself).
class TXParam : public TXValueHandle {
 public:
  unsigned char DataType = ftUnknown;
  // Called after the write-through by the typed setters with (Name, typed value).
  std::function<void(const std::string&, const TDbValue&)> WriteTyped;

  void SetAsInteger(long long value);
  void SetAsFloat(double value);
  void SetAsDateTime(double dateTime);
};

// Statement lines of a dataset; any change closes the dataset that owns them.
class TXSQL {
 public:
  void Clear();
  void Add(const std::string& line);
  // Replaces all lines by the text split at line ends.
  void SetText(const std::string& text);
  // The lines joined by "\n": the text given to SetText, less a final line end.
  std::string Text() const;
  int Count() const { return static_cast<int>(lines_.size()); }
  const std::string& operator[](int index) const { return lines_.at(index); }
  const std::vector<std::string>& Lines() const { return lines_; }

  // Set by the dataset that owns the lines.
  std::function<void()> OnChange;

 private:
  void Changed();
  std::vector<std::string> lines_;
};

// One parameter of a dataset's statement.
struct TXParamSlot {
  std::string Name;
  std::string Text;  // the value as the handles show it
  TDbValue Value;    // the value bound to the statement
  unsigned char DataType = ftUnknown;
  bool Bound = false;
};

// A statement, its parameters and an in-memory result with a cursor. It is the driver query
// of a query object and, in cached mode, its client dataset: opening copies every row of
// the result into memory, so the rows stay readable whatever the connection does next.
class TXDataSet {
 public:
  explicit TXDataSet(std::string name = "");
  TXDataSet(const TXDataSet&) = delete;
  TXDataSet& operator=(const TXDataSet&) = delete;

  std::string Name;

  // The provider binding: the connection the statement runs on.
  void SetConnection(std::shared_ptr<TDbBackend> connection);
  const std::shared_ptr<TDbBackend>& Connection() const { return connection_; }

  // The statement (for a client dataset: its command text).
  TXSQL& SQL() { return sql_; }
  std::string CommandText() const { return sql_.Text(); }
  void SetCommandText(const std::string& text) { sql_.SetText(text); }

  // Parameters of the statement, parsed from its text; a parameter keeps its value and bound
  // state while the statement keeps a parameter of its name.
  std::vector<TXParamSlot>& Params();
  TXParamSlot* FindParam(const std::string& name);

  // Close, then run the statement and hold its rows. Raises EDatabaseError.
  void Open();
  // Drops the rows.
  void Close();
  // Runs the statement without a result; the dataset is left closed.
  long long Execute();
  bool Active() const { return active_; }

  bool Eof() const;
  bool Bof() const;
  bool IsEmpty() const;
  void First();
  void Next();
  void Prior();
  void Last();
  int RecordCount() const;
  int RecNo() const { return row_; }  // 0-based current row

  const std::vector<TDbColumn>& Fields() const;
  int FieldIndex(const std::string& name) const;  // -1 when missing (case-insensitive)
  // The current row's value of a column; a null value when closed or without rows. At the
  // end (Eof after Next) the last row stays the current one.
  const TDbValue& FieldValue(int index) const;
  // The value as text: null "", numbers in the general float text, dates as DateTimeToText,
  // blobs as their bytes.
  std::string FieldText(int index) const;

  // Moves to the first row whose column equals the value as text (exactly, or ignoring
  // case); false with the cursor left where it was when none.
  bool Locate(const std::string& field, const std::string& value, bool ignoreCase = false);
  // Moves to the first row whose column, as a number, equals the number exactly; false with
  // the cursor at the end when none. Extended precision, so that record ids of 16 digits
  // (whole numbers of an integer column) are told from their neighbours.
  bool LocateFloat(const std::string& field, long double number);

 private:
  void SyncParams();
  TDbParams BindList();

  std::shared_ptr<TDbBackend> connection_;
  TXSQL sql_;
  std::string parsedText_;
  bool paramsParsed_ = false;
  std::vector<TXParamSlot> params_;
  TDbRowSet rows_;
  bool active_ = false;
  int row_ = 0;
  bool eof_ = true;
};

using TClientDataSet = TXDataSet;

// Type code of a column kind.
unsigned char FieldTypeOf(TDbKind kind);

class TXDS {
 public:
  // A query object of an access layer ("ado", "dbx" or "bde") on an open connection.
  // dbType is the project's database kind; empty takes the connection's own. With any other
  // driver every operation raises "Improper Driver".
  TXDS(std::string driver, std::shared_ptr<TDbBackend> connection, TTraceProc trace = {},
       std::string dbType = "");
  // For the project record of an open project (anything with Driver, DbType and Connection).
  template <class TRecord>
  requires requires(const TRecord& r) {
    r.Driver;
    r.DbType;
    r.Connection;
  }
  explicit TXDS(const TRecord& record, TTraceProc trace = {})
      : TXDS(record.Driver, record.Connection, std::move(trace), record.DbType) {}
  ~TXDS();
  TXDS(const TXDS&) = delete;
  TXDS& operator=(const TXDS&) = delete;

  std::string Name;  // the component name ("xds" + a local id from the connection manager)
  bool Cached = false;
  TXField Field;
  TXParam Param;
  // Made by SetCached. In cached mode the statement, parameters, cursor and fields of this
  // object are those of ClientDataSet; the row buffer still writes through the driver query.
  std::unique_ptr<TClientDataSet> ClientDataSet;
  // Called at the start of every "ado" insert or update attempt; may change buffered values.
  std::function<void(TXDS&)> OnBeforePost;
  std::vector<std::string> ParamNames;
  TTraceProc Trace;

  const std::string& Driver() const { return driver_; }
  const std::string& DbType() const { return dbType_; }
  const std::shared_ptr<TDbBackend>& Connection() const { return connection_; }

  // ---- Statement and cursor ----
  TXSQL& GetSQL();
  void Open();
  void Close();
  // Traces "#savelevel#", "# 1#" + statement, "#resetlevel#", then runs it without a result;
  // answers the number of rows it changed.
  long long ExecSQL();
  // The rows that the last ExecSQL inserted, changed or deleted.
  long long RowsAffected() const { return rowsAffected_; }
  bool Eof();
  bool IsEmpty();
  void First();
  void Next();
  bool GetActive();
  const std::vector<TDbColumn>& GetFields();

  // ---- Fields and parameters ----
  // Raises EDatabaseError "Field '<name>' not found" for an unknown name.
  TXField& FieldByName(const std::string& name);
  TXField* FindField(const std::string& name);
  // The current row's value of a field as the engine gave it, every digit it holds (the
  // field handle's text keeps at most 16 significant digits); raises as FieldByName.
  const TDbValue& FieldValue(const std::string& name);
  // Raises EDatabaseError "Parameter '<name>' not found" for an unknown name.
  TXParam& ParamByName(const std::string& name);
  std::vector<std::string>& GetParamNames();
  // Sets parameter number index (0-based) from text by type, closing the query on a change.
  void SetParamValue(int index, const std::string& value, const std::string& type);
  // "ado": the value as an SQL string literal; "dbx", "bde": unchanged.
  std::string QuotedValue(const std::string& value) const;
  void SetCached(bool flag);
  void UnbindParams();
  // Cursor moves by value on the current dataset (see TXDataSet).
  bool Locate(const std::string& field, const std::string& value, bool ignoreCase = false);
  bool LocateFloat(const std::string& field, long double number);

  // ---- Row buffer ----
  std::vector<std::string> Names;   // lower case, in the order first set
  std::vector<std::string> Values;  // same order
  std::string TypeCodes;            // one letter per column
  std::string ColumnList, ValueList, SetList;
  std::string PendingTable, PendingWhere;
  bool PendingUpdate = false;
  bool PendingInsert = false;

  // Puts one column into the buffer; the type letter is the first character of the type,
  // lower-cased. A value of letter "d" becomes DbDateTemplate with ":value" replaced (its
  // quotes doubled so it stays one literal). Raises EDatabaseError for a value that holds a
  // NUL character.
  void SetValue(const std::string& name, const std::string& value, const std::string& type);
  void ClearValues();
  // On "postgre" an empty number is null in the update's list too.
  void BuildValueLists();
  void PostInsert(const std::string& table);
  void PostUpdate(const std::string& table, const std::string& condition);
  bool RecordExists(const std::string& table, const std::string& condition);
  void InsertOrUpdate(const std::string& table, const std::string& condition);
  void DeleteRecords(const std::string& table, const std::string& condition);
  void EditRecord(const std::string& table, const std::string& condition);
  void AppendRecord(const std::string& table);
  void PostRecord();

 private:
  enum class DriverKind { None, Ado, Dbx, Bde };
  long long rowsAffected_ = 0;
  TXDataSet& Current();
  void CheckDriver() const;
  void FillField(TXDataSet& ds, int index);
  void WriteParam(const std::string& name, const std::string& text);
  void RunGenerated(const std::string& statement);
  // Builds and runs a statement until it succeeds, at most 99 times (3 when the database
  // stays locked, so that the waits stay bounded); false
  // when a build finds nothing to write.
  bool RunAttempts(const std::function<bool(std::string&)>& buildStatement);
  // Runs the insert or update built from the buffer as the access layer runs it and clears
  // the buffer after it succeeded.
  void PostBuffered(const std::function<bool(std::string&)>& buildStatement);
  void TraceStatement(const std::string& statement);

  std::string driver_;
  std::string dbType_;
  DriverKind kind_ = DriverKind::None;
  std::shared_ptr<TDbBackend> connection_;
  std::unique_ptr<TXDataSet> query_;
};

}  // namespace v7
