// The definition of one transaction type, read once from the metadata tables (transdefmaster,
// subformdef, prms, repexpr, inputsql, FROMLISTVALUES, EXPRSET, fillgrid, sqlgridmap) and
// then only read by the rest of the document engine. It never writes the metadata.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "uDBManager.h"
#include "uXDS.h"

namespace v7 {

// One field of a transaction type: one prms row with its expressions and list query.
struct TFld {
  std::string name;           // lower case; also the variable and column name
  std::string savetablename;  // lower case; empty = not stored
  std::string type;           // "c", "n" or "d"
  std::string modeofentry;    // lower case
  std::string caption;
  std::string LinkField;  // lower case
  std::string sourcefield;
  std::string sourcetable;
  std::string compnamefield;
  std::string DependentSQL;    // the list SQL when it depends on other values, else empty
  std::string applyrule;       // lower case
  std::string updateparents;   // lower case
  std::string DisplayCaption;  // caption, or name when caption is empty
  int frameno = 0;
  int width = 0;
  int Decimals = 0;
  int ExprnId = -1;         // repexpr id at load; the compiled id once compiled
  int ValidateExprId = -1;  // the compiled id of the validation expression once compiled
  int orders = 0;
  int sgridwidth = 0;
  int sgridheight = 0;
  bool sourcekey = false;
  bool asgrid = false;
  bool noduplicate = false;
  bool Empty = false;
  bool suggestive = false;
  bool hidden = false;
  bool autoselect = false;
  bool readonly = false;
  bool multiline = false;
  bool ListDependent = false;
  bool setcarry = false;
  bool refreshonsave = false;
  std::string ExprnText;
  std::string ValidateExprText;
  // The field's list query (a cached query object, not opened here), or none.
  std::unique_ptr<TXDS> ListQuery;
};

// One fill-grid option: one fillgrid row with its list query and field mapping.
struct TFg {
  std::string name;
  std::string DependentSQL;
  std::string ColWidths;  // each mapping row's colwidth followed by ","
  std::string groupfield;
  std::vector<std::string> FieldMap;  // targetfieldname=sourcefieldname
  bool fromquorexquery = false;
  bool multiselect = false;
  bool autoshow = false;
  bool validaterow = false;
  bool Dependent = false;
  int targetframeno = 0;
  int sourceframeno = 0;
  std::unique_ptr<TXDS> ListQuery;
};

class TStructDef {
 public:
  // TransKey is ":" followed by a transid, or else a transdesc. Raises std::runtime_error
  // "TStruct not found " + key, EDatabaseError "Unable to find expression" + id,
  // std::runtime_error "SQL related to " + name + " not found", or a database error.
  TStructDef(TDBManager* dbManager, const std::string& transKey);
  virtual ~TStructDef();
  TStructDef(const TStructDef&) = delete;
  TStructDef& operator=(const TStructDef&) = delete;

  // The field whose name equals the name lower-cased, or nullptr / -1.
  TFld* GetField(const std::string& fieldName) const;
  int IndexOfField(const std::string& fieldName) const;

  std::string TransId;
  // One record per prms row in load order (frameno, orders). The records never move, so a
  // pointer to one stays valid for the life of the definition.
  std::vector<std::unique_ptr<TFld>> Fields;
  std::vector<std::unique_ptr<TFg>> GridMaps;
  std::unique_ptr<TXDS> TransDefRow;  // stays open on the type's transdefmaster row
  std::unique_ptr<TXDS> SubFormDefs;  // stays open over the type's subformdef rows
  std::unique_ptr<TXDS> FieldRows;    // the prms rows
  std::vector<std::string> ExprSet;
  std::string FrameNames;
  std::string AsGrids;
  std::string NoChange;
  std::string DocDateField;
  std::string PrimaryTable;
  std::string TransDesc;
  std::string TableNames;
  int FieldCount = 0;
  int TableCount = 0;
  TDBManager* DBManager = nullptr;  // not owned

 private:
  void LoadTransDef(const std::string& transKey);
  void LoadExprSet();
  void LoadFields();
  void LoadGridMaps();
  std::string GetExpression(int exprId);
  // The list query of a field or fill-grid option; nullptr when it has none. Sets
  // autoselect / refreshonsave of fld when given.
  std::unique_ptr<TXDS> BuildListSQL(const std::string& name, const std::string& modeOfEntry,
                                     TFld* fld);

  std::unique_ptr<TXDS> ExprQuery;
  std::unique_ptr<TXDS> InputSqlQuery;
};

}  // namespace v7
