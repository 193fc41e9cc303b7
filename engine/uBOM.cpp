#include "uBOM.h"

#include <algorithm>
#include <stdexcept>

#include "uDBManager.h"

namespace v7 {

namespace {

// A statement of this unit on a query object: its text, its parameters, then run.
class TStatement {
 public:
  TStatement(TXDS& q, const std::string& sql) : q_(q) {
    q_.Close();
    q_.GetSQL().SetText(sql);
  }
  TStatement& Str(const char* name, const std::string& value) {
    q_.ParamByName(name).SetAsString(value);
    return *this;
  }
  TStatement& Int(const char* name, long long value) {
    q_.ParamByName(name).SetAsInteger(value);
    return *this;
  }
  TStatement& Date(const char* name, double value) {
    q_.ParamByName(name).SetAsDateTime(value);
    return *this;
  }
  void Exec() { q_.ExecSQL(); }
  // The first column of the first row as a whole number; 0 for no row or a null.
  long long Integer() {
    q_.Open();
    const long long v = q_.Eof() ? 0 : q_.FieldByName(q_.GetFields()[0].Name).GetAsInteger();
    q_.Close();
    return v;
  }

 private:
  TXDS& q_;
};

// Sets a parameter the stored text has (names compare without case); others are passed
// over, so a stored text needs only the parameters it uses.
TXParam* Param(TXDS& q, const std::string& name) {
  for (const auto& p : q.GetParamNames())
    if (SameStrNoCase(p, name)) return &q.ParamByName(p);
  return nullptr;
}
void SetText(TXDS& q, const std::string& name, const std::string& value) {
  if (auto* p = Param(q, name)) p->SetAsString(value);
}
void SetInt(TXDS& q, const std::string& name, long long value) {
  if (auto* p = Param(q, name)) p->SetAsInteger(value);
}

// HasBOM as the stored text gives it: a flag text or a number.
bool IsTrue(const std::string& text) {
  const std::string t = LowerStr(TrimStr(text));
  if (t == "t" || t == "true" || t == "y" || t == "yes") return true;
  try {
    return !t.empty() && ToFloat(t) != 0;
  } catch (const EConvertError&) {
    return false;
  }
}

// The SQLText of the first row of a query on INPUTSQL; empty when there is none.
std::string StoredText(TXDS& q) {
  q.Open();
  std::string text = q.Eof() ? "" : q.FieldByName("sqltext").GetAsString();
  q.Close();
  return text;
}

}  // namespace

TBOM::TBOM() = default;

TBOM::~TBOM() { ClearWalk(); }

void TBOM::ClearWalk() {
  for (auto& level : Levels)
    if (level) level->Close();
  Levels.clear();
  OrderList.clear();
  PathList.clear();
}

void TBOM::Message(const std::string& text) const {
  // The owner's view shows the message box; the trace keeps the text as well.
  if (DBManager && DBManager->OnMessageBox) DBManager->OnMessageBox(text);
  if (BOMTrace) BOMTrace("# 1#" + text);
}

void TBOM::CheckManager() const {
  if (!DBManager) throw std::runtime_error("Bills of materials need a database manager");
}

int TBOM::CountRows(TXDS& query) {
  if (query.Eof()) return 0;
  if (query.Cached && query.ClientDataSet) {
    const TClientDataSet& ds = *query.ClientDataSet;
    return ds.RecordCount() - ds.RecNo();
  }
  // Without a row number: count what is left, count the whole, then go back.
  int left = 0;
  for (; !query.Eof(); query.Next()) ++left;
  int total = 0;
  for (query.First(); !query.Eof(); query.Next()) ++total;
  query.First();
  for (int i = 0; i < total - left; ++i) query.Next();
  return left;
}

void TBOM::ExplodeBOM() {
  CheckManager();
  auto queue = DBManager->NewQuery();
  queue->GetSQL().SetText("Select * from CreateBOM");
  queue->Open();
  auto del = DBManager->NewQuery();
  for (; !queue->Eof(); queue->Next()) {
    const std::string itemId = queue->FieldByName("itemid").GetAsString();
    if (queue->FieldByName("bomaction").GetAsString() == "new") {
      std::string result;
      CreateBOM(itemId, result);
    } else {
      ReviseBOM(itemId);
    }
    TStatement(*del, "delete from createbom where itemid=:id").Str("id", itemId).Exec();
  }
  queue->Close();
}

void TBOM::CreateBOM(const std::string& itemId, std::string& result) {
  result = "f";
  CheckManager();
  const std::string text = [&] {
    auto q = DBManager->NewQuery();
    TStatement(*q, "Select * from inputSQL where transid=:t and fieldname=:f")
        .Str("t", "xbom")
        .Str("f", "createbom");
    return StoredText(*q);
  }();
  if (text.empty()) {
    Message("Unable to find the sql required to CreateBOM");
    return;
  }
  auto cleanup = [this] {
    ClearWalk();
    if (Exec) Exec->GetSQL().Clear();
  };
  if (!Exec) Exec = DBManager->NewQuery();
  try {
    TStatement(*Exec, "delete from bomtree where bomid=:id").Str("id", itemId).Exec();

    std::string parent = itemId;
    long long orderNo = 0;
    size_t n = 0;
    OrderList = {"0", "0"};
    PathList = {itemId};
    auto bind = [&](TXDS& q, long long levelNo) {
      SetText(q, "prmparentid", parent);
      SetInt(q, "prmorderno", orderNo);
      SetText(q, "prmbomid", itemId);
      SetInt(q, "prmlevelno", levelNo);
    };
    auto openLevel = [&] {
      auto q = DBManager->NewQuery();
      q->SetCached(true);
      q->GetSQL().SetText(text);
      bind(*q, static_cast<long long>(Levels.size()) + 1);
      q->Open();
      Levels.push_back(std::move(q));
    };
    openLevel();

    enum class Step { Rows, Pop, Descend } step = Step::Rows;
    for (;;) {
      if (step == Step::Rows) {
        TXDS& cur = *Levels.back();
        if (cur.Eof()) {
          cur.Close();
          step = Step::Pop;
          continue;
        }
        Exec->GetSQL().SetText("Insert into bomtree " + text);
        bind(*Exec, static_cast<long long>(Levels.size()));
        Exec->ExecSQL();
        orderNo += CountRows(cur);
        ++n;
        // The components' old numbers go right after their parent's entry.
        std::vector<std::string> numbers;
        for (; !cur.Eof(); cur.Next()) numbers.push_back(cur.FieldByName("orderno").GetAsString());
        OrderList.insert(OrderList.begin() + static_cast<long>(std::min(n, OrderList.size())),
                         numbers.begin(), numbers.end());
        cur.First();
        parent = cur.FieldByName("childid").GetAsString();
        step = Step::Descend;
      } else if (step == Step::Pop) {
        Levels.pop_back();
        if (!PathList.empty()) PathList.pop_back();
        if (Levels.empty()) break;
        // Every row of a level keeps its place in the depth-first numbering, also the rows
        // without components of their own, which are not descended into.
        TXDS& cur = *Levels.back();
        bool descend = false;
        for (cur.Next(); !cur.Eof(); cur.Next()) {
          ++n;
          if (IsTrue(cur.FieldByName("hasbom").GetAsString())) {
            descend = true;
            break;
          }
        }
        if (!descend) continue;  // past the end: pop this level too
        parent = cur.FieldByName("childid").GetAsString();
        step = Step::Descend;
      } else {
        openLevel();
        if (std::find(PathList.begin(), PathList.end(), parent) != PathList.end()) {
          Message("Cyclic reference encountered in BOMTree. Parent Id " + parent);
          cleanup();
          return;
        }
        PathList.push_back(parent);
        step = Step::Rows;
      }
    }

    // Two passes so that old and new numbers never collide.
    for (size_t i = 1; i + 1 < OrderList.size(); ++i)
      TStatement(*Exec,
                 "update bomtree set orderno = :newno where orderno = :oldno and bomid=:bomid")
          .Int("newno", -static_cast<long long>(i))
          .Str("oldno", OrderList[i])
          .Str("bomid", itemId)
          .Exec();
    TStatement(*Exec, "update bomtree set orderno = abs(orderno) where orderno < 0").Exec();
  } catch (...) {
    cleanup();
    throw;
  }
  cleanup();
}

void TBOM::ReviseBOM(const std::string& itemId) {
  CheckManager();
  auto q = DBManager->NewQuery();
  auto stored = [&](const std::string& fieldName) {
    auto s = DBManager->NewQuery();
    s->GetSQL().SetText("Select * from inputsql where Transid = 'xbom' and FieldName ='" +
                        fieldName + "'");
    return StoredText(*s);
  };

  TStatement(*q, "Insert into bomtree " + stored("revisemod"));
  SetText(*q, "parentid", itemId);
  q->ExecSQL();
  TStatement(*q, "update bomtree set orderno=abs(orderno) where orderno<0 and bomid=:itemid")
      .Str("itemid", itemId)
      .Exec();

  auto counter = DBManager->NewQuery();
  counter->SetCached(true);
  counter->GetSQL().SetText(stored("revisecount"));
  SetText(*counter, "parentid", itemId);
  counter->Open();
  const int count = counter->ClientDataSet->RecordCount();
  counter->Close();
  const std::string newText = stored("revisenew");

  long long shift = 0;
  auto temp = DBManager->NewQuery();
  for (int rno = 1; rno <= count; ++rno) {
    TStatement(*q, "delete from bomtemp").Exec();
    TStatement(*q, "insert into bomtemp " + newText);
    SetText(*q, "parentid", itemId);
    SetInt(*q, "rno", rno);
    q->ExecSQL();

    temp->GetSQL().SetText("select * from bomtemp");
    temp->Open();
    if (temp->Eof()) {
      temp->Close();
      continue;
    }
    const long long pos = temp->FieldByName("orderno").GetAsInteger() + shift;
    const std::string childId = temp->FieldByName("childid").GetAsString();
    temp->Close();

    TStatement(*q, "update bomtemp set orderno = orderno + :uorderno")
        .Int("uorderno", shift)
        .Exec();
    TStatement(*q, "insert into bomtemp select * from bomtree where bomid = :prmbomid")
        .Str("prmbomid", childId)
        .Exec();
    const int added = RenumberTemp(childId, static_cast<int>(pos));
    TStatement(*q, "update bomtemp set levelno = levelno+1 where bomid = :childid")
        .Str("childid", childId)
        .Exec();
    TStatement(*q, "update bomtemp set bomid = :bomid where bomid = :childid")
        .Str("bomid", itemId)
        .Str("childid", childId)
        .Exec();
    TStatement(*q,
               "update bomtree set orderno = orderno + :uorderno where bomid = :bomid and "
               "orderno >= :porderno")
        .Int("uorderno", added)
        .Str("bomid", itemId)
        .Int("porderno", pos)
        .Exec();
    TStatement(*q, "insert into bomtree select * from bomtemp").Exec();
    shift += added;
  }

  auto users = DBManager->NewQuery();
  TStatement(*users, "Select ParentId as ChangeBOM from ApplyRevisions where bomid = :itemid")
      .Str("itemid", itemId);
  users->Open();
  if (users->Eof()) {
    TStatement(*users, "Select BOMID as ChangeBOM from BOMTree where ChildId = :itemid")
        .Str("itemid", itemId);
    users->Open();
  }
  std::vector<std::string> bills;
  for (; !users->Eof(); users->Next())
    bills.push_back(users->FieldByName("changebom").GetAsString());
  users->Close();
  for (const auto& bill : bills) InsertSubTree(bill, itemId, 0);
}

int TBOM::RenumberTemp(const std::string& bomId, int start) {
  auto rows = DBManager->NewQuery();
  rows->SetCached(true);
  TStatement(*rows, "select * from bomtemp where BOMId = :prmbomid order by orderno")
      .Str("prmbomid", bomId);
  rows->Open();
  auto upd = DBManager->NewQuery();
  long long p = start + 1;
  int read = 0;
  while (!rows->Eof()) {
    const std::string parentId = rows->FieldByName("parentid").GetAsString();
    const std::string childId = rows->FieldByName("childid").GetAsString();
    TStatement(*upd,
               "update bomtemp set orderno = :prmuord where bomid = :prmbomid and parentid = "
               ":prmparentid and childid = :prmchildid and orderno = :prmord")
        .Int("prmuord", p)
        .Str("prmbomid", bomId)
        .Str("prmparentid", parentId)
        .Str("prmchildid", childId)
        .Str("prmord", rows->FieldByName("orderno").GetAsString())
        .Exec();
    ++read;
    rows->Next();
    // Revisions of one position keep one number.
    if (rows->Eof() || rows->FieldByName("parentid").GetAsString() != parentId ||
        rows->FieldByName("childid").GetAsString() != childId)
      ++p;
  }
  rows->Close();
  return read + 1;
}

void TBOM::InsertSubTree(const std::string& bomId, const std::string& itemId, int rCount) {
  auto q = DBManager->NewQuery();
  TStatement(*q, "delete from bomtemp").Exec();

  struct TPosition {
    long long OrderNo = 0;
    long long LevelNo = 0;
  };
  std::vector<TPosition> positions;
  TStatement(*q, "Select * from BOMTree where BOMId = :BOMId and ChildId = :ItemId")
      .Str("BOMId", bomId)
      .Str("ItemId", itemId);
  for (q->Open(); !q->Eof(); q->Next())
    positions.push_back(
        {q->FieldByName("orderno").GetAsInteger(), q->FieldByName("levelno").GetAsInteger()});
  q->Close();
  // From the last position up, so that moving the rows after one sub-tree leaves the
  // numbers of the positions still to do as they were read.
  std::stable_sort(positions.begin(), positions.end(),
                   [](const TPosition& a, const TPosition& b) { return a.OrderNo > b.OrderNo; });

  for (const TPosition& pos : positions) {
    TStatement(*q, "Insert into bomtemp select * from bomtree where BOMId = :Itemid")
        .Str("Itemid", itemId)
        .Exec();

    // Looking from the position itself: a position without a sub-tree yet must not take
    // its next sibling for its sub-tree.
    const long long startOrder = pos.OrderNo + 1;
    long long endOrder = TStatement(*q,
                                    "Select Min(OrderNo) As MaxOrd from BOMTree where BOMId = "
                                    ":BomId and OrderNo > :StartOrder and LevelNo <= :LevelNo")
                             .Str("BomId", bomId)
                             .Int("StartOrder", pos.OrderNo)
                             .Int("LevelNo", pos.LevelNo)
                             .Integer() -
                         1;
    // The rows after the sub-tree move by what the new sub-tree is longer (or shorter) than
    // the old one, on top of the count the caller asks for.
    long long move = rCount;
    if (endOrder < 0) {
      endOrder = 32000;
    } else {
      const long long newSpan =
          TStatement(*q, "Select Max(OrderNo) As MaxOrd from BOMTemp").Integer();
      move += newSpan - (endOrder - startOrder + 1);
    }

    TStatement(*q,
               "Delete from BOMTree where BOMId = :Bomid and OrderNo >= :StartOrder and "
               "OrderNo <= :EndOrder")
        .Str("Bomid", bomId)
        .Int("StartOrder", startOrder)
        .Int("EndOrder", endOrder)
        .Exec();
    TStatement(*q,
               "Update BOMTree Set OrderNo = OrderNo + :RCount where BOMId = :BOMId and "
               "OrderNo > :EndOrder")
        .Int("RCount", move)
        .Str("BOMId", bomId)
        .Int("EndOrder", endOrder)
        .Exec();
    TStatement(*q,
               "Update BOMTemp set OrderNo = :StartOrder + OrderNo, BOMId = :BOMId, LevelNo = "
               "LevelNo + :ParentLevel")
        .Int("StartOrder", pos.OrderNo)
        .Str("BOMId", bomId)
        .Int("ParentLevel", pos.LevelNo)
        .Exec();
    TStatement(*q, "insert into bomtree select * from bomtemp").Exec();
    TStatement(*q, "delete from bomtemp").Exec();
  }
}

void TBOM::PrepareBOM(const std::string& table, const std::string& itemOrSelect, double date) {
  CheckManager();
  if (LowerStr(TrimStr(itemOrSelect).substr(0, 6)) != "select") {
    BuildEffectiveTree(table, itemOrSelect, date);
    return;
  }
  auto items = DBManager->NewQuery();
  items->GetSQL().SetText(itemOrSelect);
  std::vector<std::string> ids;
  for (items->Open(); !items->Eof(); items->Next())
    ids.push_back(items->FieldByName(items->GetFields()[0].Name).GetAsString());
  items->Close();
  for (const auto& id : ids) BuildEffectiveTree(table, id, date);
}

void TBOM::BuildEffectiveTree(const std::string& table, const std::string& itemId, double date) {
  CheckManager();
  const std::string work = "btemp" + std::to_string(ConnectNo);
  const int cno = ConnectNo;
  auto q = DBManager->NewQuery();

  // A failed statement spoils an open PostgreSQL transaction, so there the drop of a missing
  // work table must not fail at all.
  try {
    TStatement(*q, (DbKind == "postgre" ? "drop table if exists " : "drop table ") + work).Exec();
  } catch (const EDatabaseError&) {
  }
  TStatement(*q, "create table " + work + " as select * from bomtree where 1=0").Exec();
  TStatement(*q, "insert into " + work +
                     " (orderno, parentid, childid, bomid, parentqty, childqty, levelno) values "
                     "(0,:itemid,:itemid,:itemid, 1,1,0)")
      .Str("itemid", itemId)
      .Exec();
  TStatement(*q, "insert into " + work + " select * from bomtree where bomid = :itemid")
      .Str("itemid", itemId)
      .Exec();
  TStatement(*q, "alter table " + work + " add connectno numeric(5)").Exec();
  TStatement(*q, "update " + work + " set connectno=:c").Int("c", cno).Exec();
  TStatement(*q, "delete from " + table + " where connectno=:cno and bomid=:id")
      .Int("cno", cno)
      .Str("id", itemId)
      .Exec();
  TStatement(*q, "Insert into " + table + " select * from " + work).Exec();
  TStatement(*q, "drop table " + work).Exec();

  // Only the revisions in force at the date stay.
  struct TRow {
    long long OrderNo = 0;
    bool Dated = false;  // a null effective date is in force at any date
    double Eff = 0;
    std::string ParentId, ChildId, RStatus;
    long long LevelNo = 0;
  };
  std::vector<TRow> rows;
  TStatement(*q, "Select * from " + table +
                     " where bomid = :bomid and connectno = :cno order by orderno, effectivedate")
      .Str("bomid", itemId)
      .Int("cno", cno);
  for (q->Open(); !q->Eof(); q->Next()) {
    TRow r;
    r.OrderNo = q->FieldByName("orderno").GetAsInteger();
    r.Dated = !q->FieldByName("effectivedate").GetAsString().empty();
    r.Eff = r.Dated ? q->FieldByName("effectivedate").GetAsDateTime() : 0;
    r.ParentId = q->FieldByName("parentid").GetAsString();
    r.ChildId = q->FieldByName("childid").GetAsString();
    r.RStatus = q->FieldByName("rstatus").GetAsString();
    r.LevelNo = q->FieldByName("levelno").GetAsInteger();
    rows.push_back(std::move(r));
  }
  q->Close();

  auto remove = [&](const std::string& condition, const TRow& row) {
    TStatement del(*q, "delete from " + table + condition);
    del.Int("ono", row.OrderNo).Str("bomid", itemId).Int("cno", cno);
    if (condition.find(":edate") != std::string::npos) del.Date("edate", row.Eff);
    del.Exec();
  };
  const std::string future =
      " where orderno = :ono and bomid=:bomid and connectno=:cno and effectivedate=:edate";
  const std::string exact =
      " where orderno = :ono and effectivedate = :edate and bomid=:bomid and connectno=:cno";
  const std::string upTo =
      " where orderno = :ono and effectivedate <= :edate and bomid=:bomid and connectno=:cno";
  const std::string position = " where orderno = :ono and bomid=:bomid and connectno=:cno";

  long long skip = -1;
  const TRow* ref = nullptr;
  for (const TRow& r : rows) {
    const bool after = r.Dated && r.Eff > date;
    // Revisions of one position share its orderno: one component twice under one parent
    // is two positions, not a revision of one.
    if (ref && r.OrderNo == ref->OrderNo && r.ParentId == ref->ParentId &&
        r.ChildId == ref->ChildId) {
      if (after) {
        remove(future, r);
        continue;
      }
      // The newer revision supersedes the one in hand.
      if (ref->Dated) remove(exact, *ref);
      if (r.RStatus != "d") skip = -1;
    }
    if (skip > -1) {
      if (r.LevelNo > skip) {
        remove(position, r);
        continue;
      }
      skip = -1;
    }
    ref = &r;
    if (after) {
      remove(future, r);
      skip = r.LevelNo;
    } else if (r.RStatus == "d") {
      remove(upTo, r);
      skip = r.LevelNo;
    }
  }

  TStatement(*q, "update " + table +
                     " set orderno=orderno+1, levelno=levelno+1 where connectno=:cno and bomid=:id")
      .Int("cno", cno)
      .Str("id", itemId)
      .Exec();
}

}  // namespace v7
