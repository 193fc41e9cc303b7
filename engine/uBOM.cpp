#include "uBOM.h"

#include <algorithm>
#include <stdexcept>

#include "uDBManager.h"

namespace v7 {

namespace {

// Sets a parameter the statement has (names compare without case); others are passed over,
// so a stored text needs only the parameters it uses.
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

struct TPosition {
  long long OrderNo = 0;
  long long LevelNo = 0;
};

}  // namespace

TBOM::TBOM() = default;

TBOM::~TBOM() {
  for (auto& level : Levels)
    if (level) level->Close();
  Levels.clear();
  OrderList.clear();
  PathList.clear();
}

void TBOM::Trace(const std::string& text) const {
  if (BOMTrace) BOMTrace(text);
}

std::string TBOM::StoredSQL(const std::string& fieldName) {
  auto q = DBManager->NewQuery();
  q->GetSQL().SetText("Select * from inputSQL where transid=:t and fieldname=:f");
  q->ParamByName("t").SetAsString("xbom");
  q->ParamByName("f").SetAsString(fieldName);
  q->Open();
  std::string text = q->Eof() ? "" : q->FieldByName("sqltext").GetAsString();
  q->Close();
  return text;
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
  if (!DBManager) throw std::runtime_error("Bills of materials need a database manager");
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
    del->GetSQL().SetText("delete from createbom where itemid=:id");
    del->ParamByName("id").SetAsString(itemId);
    del->ExecSQL();
  }
  queue->Close();
}

void TBOM::CreateBOM(const std::string& itemId, std::string& result) {
  result = "f";
  if (!DBManager) throw std::runtime_error("Bills of materials need a database manager");
  const std::string text = StoredSQL("createbom");
  auto cleanup = [this] {
    for (auto& level : Levels)
      if (level) level->Close();
    Levels.clear();
    OrderList.clear();
    PathList.clear();
    if (Exec) Exec->GetSQL().Clear();
  };
  if (text.empty()) {
    // There is no one to click a message box here: the text goes to the trace.
    Trace("# 1#Unable to find the sql required to CreateBOM");
    return;
  }
  if (!Exec) Exec = DBManager->NewQuery();
  try {
    Exec->GetSQL().SetText("delete from bomtree where bomid=:id");
    Exec->ParamByName("id").SetAsString(itemId);
    Exec->ExecSQL();

    std::string parent = itemId;
    long long orderNo = 0;
    size_t n = 0;
    OrderList = {"0", "0"};
    PathList = {itemId};
    auto openLevel = [&](const std::string& parentId) {
      auto q = DBManager->NewQuery();
      q->SetCached(true);
      q->GetSQL().SetText(text);
      SetText(*q, "prmparentid", parentId);
      SetInt(*q, "prmorderno", orderNo);
      SetText(*q, "prmbomid", itemId);
      SetInt(*q, "prmlevelno", static_cast<long long>(Levels.size()) + 1);
      q->Open();
      Levels.push_back(std::move(q));
    };
    openLevel(parent);

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
        SetText(*Exec, "prmparentid", parent);
        SetInt(*Exec, "prmorderno", orderNo);
        SetText(*Exec, "prmbomid", itemId);
        SetInt(*Exec, "prmlevelno", static_cast<long long>(Levels.size()));
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
        openLevel(parent);
        if (std::find(PathList.begin(), PathList.end(), parent) != PathList.end()) {
          Trace("# 1#Cyclic reference encountered in BOMTree. Parent Id " + parent);
          cleanup();
          return;
        }
        PathList.push_back(parent);
        step = Step::Rows;
      }
    }

    // Two passes so that old and new numbers never collide.
    for (size_t i = 1; i + 1 < OrderList.size(); ++i) {
      Exec->GetSQL().SetText(
          "update bomtree set orderno = :newno where orderno = :oldno and bomid=:bomid");
      Exec->ParamByName("newno").SetAsInteger(-static_cast<long long>(i));
      Exec->ParamByName("oldno").SetAsString(OrderList[i]);
      Exec->ParamByName("bomid").SetAsString(itemId);
      Exec->ExecSQL();
    }
    Exec->GetSQL().SetText("update bomtree set orderno = abs(orderno) where orderno < 0");
    Exec->ExecSQL();
  } catch (...) {
    cleanup();
    throw;
  }
  cleanup();
}

void TBOM::ReviseBOM(const std::string& itemId) {
  if (!DBManager) throw std::runtime_error("Bills of materials need a database manager");
  auto q = DBManager->NewQuery();
  auto run = [&](const std::string& sql) {
    q->Close();
    q->GetSQL().SetText(sql);
  };
  auto stored = [&](const std::string& fieldName) {
    auto s = DBManager->NewQuery();
    s->GetSQL().SetText("Select * from inputsql where Transid = 'xbom' and FieldName ='" +
                        fieldName + "'");
    s->Open();
    std::string text = s->Eof() ? "" : s->FieldByName("sqltext").GetAsString();
    s->Close();
    return text;
  };

  run("Insert into bomtree " + stored("revisemod"));
  SetText(*q, "parentid", itemId);
  q->ExecSQL();
  run("update bomtree set orderno=abs(orderno) where orderno<0 and bomid=:itemid");
  q->ParamByName("itemid").SetAsString(itemId);
  q->ExecSQL();

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
    run("delete from bomtemp");
    q->ExecSQL();
    run("insert into bomtemp " + newText);
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

    run("update bomtemp set orderno = orderno + :uorderno");
    q->ParamByName("uorderno").SetAsInteger(shift);
    q->ExecSQL();
    run("insert into bomtemp select * from bomtree where bomid = :prmbomid");
    q->ParamByName("prmbomid").SetAsString(childId);
    q->ExecSQL();
    const int added = RenumberTemp(childId, static_cast<int>(pos));
    run("update bomtemp set levelno = levelno+1 where bomid = :childid");
    q->ParamByName("childid").SetAsString(childId);
    q->ExecSQL();
    run("update bomtemp set bomid = :bomid where bomid = :childid");
    q->ParamByName("bomid").SetAsString(itemId);
    q->ParamByName("childid").SetAsString(childId);
    q->ExecSQL();
    run("update bomtree set orderno = orderno + :uorderno where bomid = :bomid and orderno >= "
        ":porderno");
    q->ParamByName("uorderno").SetAsInteger(added);
    q->ParamByName("bomid").SetAsString(itemId);
    q->ParamByName("porderno").SetAsInteger(pos);
    q->ExecSQL();
    run("insert into bomtree select * from bomtemp");
    q->ExecSQL();
    shift += added;
  }

  auto users = DBManager->NewQuery();
  users->GetSQL().SetText("Select ParentId as ChangeBOM from ApplyRevisions where bomid = :itemid");
  users->ParamByName("itemid").SetAsString(itemId);
  users->Open();
  if (users->Eof()) {
    users->GetSQL().SetText("Select BOMID as ChangeBOM from BOMTree where ChildId = :itemid");
    users->ParamByName("itemid").SetAsString(itemId);
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
  rows->GetSQL().SetText("select * from bomtemp where BOMId = :prmbomid order by orderno");
  rows->ParamByName("prmbomid").SetAsString(bomId);
  rows->Open();
  auto upd = DBManager->NewQuery();
  upd->GetSQL().SetText(
      "update bomtemp set orderno = :prmuord where bomid = :prmbomid and parentid = :prmparentid "
      "and childid = :prmchildid and orderno = :prmord");
  long long p = start + 1;
  int read = 0;
  while (!rows->Eof()) {
    const std::string parentId = rows->FieldByName("parentid").GetAsString();
    const std::string childId = rows->FieldByName("childid").GetAsString();
    upd->ParamByName("prmuord").SetAsInteger(p);
    upd->ParamByName("prmbomid").SetAsString(bomId);
    upd->ParamByName("prmparentid").SetAsString(parentId);
    upd->ParamByName("prmchildid").SetAsString(childId);
    upd->ParamByName("prmord").SetAsString(rows->FieldByName("orderno").GetAsString());
    upd->ExecSQL();
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
  auto run = [&](const std::string& sql) {
    q->Close();
    q->GetSQL().SetText(sql);
  };
  run("delete from bomtemp");
  q->ExecSQL();

  auto found = DBManager->NewQuery();
  found->GetSQL().SetText("Select * from BOMTree where BOMId = :BOMId and ChildId = :ItemId");
  found->ParamByName("BOMId").SetAsString(bomId);
  found->ParamByName("ItemId").SetAsString(itemId);
  found->Open();
  std::vector<TPosition> positions;
  for (; !found->Eof(); found->Next())
    positions.push_back({found->FieldByName("orderno").GetAsInteger(),
                         found->FieldByName("levelno").GetAsInteger()});
  found->Close();
  // From the last position up, so that moving the rows after one sub-tree leaves the
  // numbers of the positions still to do as they were read.
  std::stable_sort(positions.begin(), positions.end(),
                   [](const TPosition& a, const TPosition& b) { return a.OrderNo > b.OrderNo; });

  for (const TPosition& pos : positions) {
    run("Insert into bomtemp select * from bomtree where BOMId = :Itemid");
    q->ParamByName("Itemid").SetAsString(itemId);
    q->ExecSQL();

    const long long startOrder = pos.OrderNo + 1;
    run("Select Min(OrderNo) As MaxOrd from BOMTree where BOMId = :BomId and OrderNo > "
        ":StartOrder and LevelNo <= :LevelNo");
    q->ParamByName("BomId").SetAsString(bomId);
    // Looking past the position itself: a position without a sub-tree yet must not take its
    // next sibling for its sub-tree.
    q->ParamByName("StartOrder").SetAsInteger(pos.OrderNo);
    q->ParamByName("LevelNo").SetAsInteger(pos.LevelNo);
    q->Open();
    long long endOrder = q->Eof() ? -1 : q->FieldByName(q->GetFields()[0].Name).GetAsInteger() - 1;
    q->Close();
    const bool rowsAfter = endOrder >= 0;
    if (!rowsAfter) endOrder = 32000;

    // The rows after the sub-tree move by what the new sub-tree is longer (or shorter) than
    // the old one, on top of the count the caller asks for.
    long long move = rCount;
    if (rowsAfter) {
      run("Select Max(OrderNo) As MaxOrd from BOMTemp");
      q->Open();
      const long long newSpan =
          q->Eof() ? 0 : q->FieldByName(q->GetFields()[0].Name).GetAsInteger();
      q->Close();
      move += newSpan - (endOrder - startOrder + 1);
    }

    run("Delete from BOMTree where BOMId = :Bomid and OrderNo >= :StartOrder and OrderNo <= "
        ":EndOrder");
    q->ParamByName("Bomid").SetAsString(bomId);
    q->ParamByName("StartOrder").SetAsInteger(startOrder);
    q->ParamByName("EndOrder").SetAsInteger(endOrder);
    q->ExecSQL();

    run("Update BOMTree Set OrderNo = OrderNo + :RCount where BOMId = :BOMId and OrderNo > "
        ":EndOrder");
    q->ParamByName("RCount").SetAsInteger(move);
    q->ParamByName("BOMId").SetAsString(bomId);
    q->ParamByName("EndOrder").SetAsInteger(endOrder);
    q->ExecSQL();

    run("Update BOMTemp set OrderNo = :StartOrder + OrderNo, BOMId = :BOMId, LevelNo = LevelNo + "
        ":ParentLevel");
    q->ParamByName("StartOrder").SetAsInteger(pos.OrderNo);
    q->ParamByName("BOMId").SetAsString(bomId);
    q->ParamByName("ParentLevel").SetAsInteger(pos.LevelNo);
    q->ExecSQL();

    run("insert into bomtree select * from bomtemp");
    q->ExecSQL();
    run("delete from bomtemp");
    q->ExecSQL();
  }
}

void TBOM::PrepareBOM(const std::string& table, const std::string& itemOrSelect, double date) {
  if (!DBManager) throw std::runtime_error("Bills of materials need a database manager");
  const std::string t = TrimStr(itemOrSelect);
  if (LowerStr(t.substr(0, 6)) != "select") {
    BuildEffectiveTree(table, itemOrSelect, date);
    return;
  }
  auto items = DBManager->NewQuery();
  items->GetSQL().SetText(itemOrSelect);
  items->Open();
  std::vector<std::string> ids;
  for (; !items->Eof(); items->Next())
    ids.push_back(items->FieldByName(items->GetFields()[0].Name).GetAsString());
  items->Close();
  for (const auto& id : ids) BuildEffectiveTree(table, id, date);
}

void TBOM::BuildEffectiveTree(const std::string& table, const std::string& itemId, double date) {
  if (!DBManager) throw std::runtime_error("Bills of materials need a database manager");
  const std::string work = "btemp" + std::to_string(ConnectNo);
  const int cno = ConnectNo;
  auto q = DBManager->NewQuery();
  auto run = [&](const std::string& sql) {
    q->Close();
    q->GetSQL().SetText(sql);
  };

  // A failed statement spoils an open PostgreSQL transaction, so there the drop of a missing
  // work table must not fail at all.
  run(DbKind == "postgre" ? "drop table if exists " + work : "drop table " + work);
  try {
    q->ExecSQL();
  } catch (const EDatabaseError&) {
  }
  run("create table " + work + " as select * from bomtree where 1=0");
  q->ExecSQL();
  run("insert into " + work +
      " (orderno, parentid, childid, bomid, parentqty, childqty, levelno) values "
      "(0,:itemid,:itemid,:itemid, 1,1,0)");
  q->ParamByName("itemid").SetAsString(itemId);
  q->ExecSQL();
  run("insert into " + work + " select * from bomtree where bomid = :itemid");
  q->ParamByName("itemid").SetAsString(itemId);
  q->ExecSQL();
  run("alter table " + work + " add connectno numeric(5)");
  q->ExecSQL();
  run("update " + work + " set connectno=:c");
  q->ParamByName("c").SetAsInteger(cno);
  q->ExecSQL();
  run("delete from " + table + " where connectno=:cno and bomid=:id");
  q->ParamByName("cno").SetAsInteger(cno);
  q->ParamByName("id").SetAsString(itemId);
  q->ExecSQL();
  run("Insert into " + table + " select * from " + work);
  q->ExecSQL();
  run("drop table " + work);
  q->ExecSQL();

  // Only the revisions in force at the date stay.
  struct TRow {
    long long OrderNo = 0;
    std::string EffText;
    double Eff = 0;
    std::string ParentId, ChildId, RStatus;
    long long LevelNo = 0;
  };
  auto del = DBManager->NewQuery();
  auto remove = [&](const std::string& condition, const TRow& row, bool withDate) {
    del->GetSQL().SetText("delete from " + table + condition);
    del->ParamByName("ono").SetAsInteger(row.OrderNo);
    del->ParamByName("bomid").SetAsString(itemId);
    del->ParamByName("cno").SetAsInteger(cno);
    if (withDate) del->ParamByName("edate").SetAsDateTime(row.Eff);
    del->ExecSQL();
  };
  const std::string future =
      " where orderno = :ono and bomid=:bomid and connectno=:cno and effectivedate=:edate";
  const std::string exact =
      " where orderno = :ono and effectivedate = :edate and bomid=:bomid and connectno=:cno";
  const std::string upTo =
      " where orderno = :ono and effectivedate <= :edate and bomid=:bomid and connectno=:cno";
  const std::string position = " where orderno = :ono and bomid=:bomid and connectno=:cno";

  auto walk = DBManager->NewQuery();
  walk->GetSQL().SetText("Select * from " + table +
                         " where bomid = :bomid and connectno = :cno order by orderno, "
                         "effectivedate");
  walk->ParamByName("bomid").SetAsString(itemId);
  walk->ParamByName("cno").SetAsInteger(cno);
  walk->Open();
  std::vector<TRow> rows;
  for (; !walk->Eof(); walk->Next()) {
    TRow r;
    r.OrderNo = walk->FieldByName("orderno").GetAsInteger();
    r.EffText = walk->FieldByName("effectivedate").GetAsString();
    r.Eff = r.EffText.empty() ? 0 : walk->FieldByName("effectivedate").GetAsDateTime();
    r.ParentId = walk->FieldByName("parentid").GetAsString();
    r.ChildId = walk->FieldByName("childid").GetAsString();
    r.RStatus = walk->FieldByName("rstatus").GetAsString();
    r.LevelNo = walk->FieldByName("levelno").GetAsInteger();
    rows.push_back(std::move(r));
  }
  walk->Close();

  long long skip = -1;
  const TRow* ref = nullptr;
  for (const TRow& r : rows) {
    const bool after = !r.EffText.empty() && r.Eff > date;
    if (ref && r.ParentId == ref->ParentId && r.ChildId == ref->ChildId) {
      if (after) {
        remove(future, r, true);
        continue;
      }
      // The newer revision supersedes the one in hand.
      if (!ref->EffText.empty()) remove(exact, *ref, true);
      if (r.RStatus != "d") skip = -1;
    }
    if (skip > -1) {
      if (r.LevelNo > skip) {
        remove(position, r, false);
        continue;
      }
      skip = -1;
    }
    ref = &r;
    if (after) {
      remove(future, r, true);
      skip = r.LevelNo;
    } else if (r.RStatus == "d") {
      remove(upTo, r, true);
      skip = r.LevelNo;
    }
  }

  run("update " + table +
      " set orderno=orderno+1, levelno=levelno+1 where connectno=:cno and bomid=:id");
  q->ParamByName("cno").SetAsInteger(cno);
  q->ParamByName("id").SetAsString(itemId);
  q->ExecSQL();
}

}  // namespace v7
