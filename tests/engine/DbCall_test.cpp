// The document facade end to end on a sample site: a sales invoice saved from the values of
// a packet (numbered, validated, written, master updates and links posted, aftersave run),
// changed, cancelled and deleted; failed validations and the after-event status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SampleProduct.h"
#include "uDbCall.h"

namespace {

using v7::TDbCall;

struct Facade {
  explicit Facade(const std::string& type, const std::string& setupSql = "") {
    if (!setupSql.empty()) s.site.Exec(setupSql);
    c.DBManager = s.mgr.get();
    c.OnTrace = [this](const std::string& line) { log.push_back(line); };
    c.SetTransType(type);
  }
  void Set(const std::string& name, int row, const std::string& value) {
    c.StoreData->AddValueByName(name, row, value);
  }
  std::string Scalar(const std::string& sql) { return s.site.Scalar(sql); }
  double Num(const std::string& sql) {
    std::string text = s.site.Scalar(sql);
    return text.empty() ? 0 : std::stod(text);
  }
  // Customer 101's balance and the stock of items 201 and 203.
  std::string Masters() {
    return Scalar(
        "select printf('%g/%g/%g', (select balance from customer where customerid = "
        "101), (select stockqty from item where itemid = 201), (select stockqty from "
        "item where itemid = 203))");
  }
  // Runs one operation in a transaction, as the client does.
  template <class F>
  void InTransaction(F f) {
    s.mgr->StartTransaction(s.site.ProjectName());
    try {
      f();
    } catch (...) {
      s.mgr->Rollback(s.site.ProjectName());
      throw;
    }
    s.mgr->Commit(s.site.ProjectName());
  }
  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  v7test::SampleSite s;
  TDbCall c;
  std::vector<std::string> log;
};

// A new invoice as the sending site's packet carries it: texts, its computed amounts.
void NewInvoice(Facade& f, const std::string& qty1) {
  f.Set("invno", 1, "");
  f.Set("invdate", 1, "20/06/2026");
  f.Set("customer", 1, "Acme Stores");
  f.Set("paymode", 1, "Cash");
  f.Set("totalamt", 1, qty1 == "2" ? "65" : "90");
  f.Set("item", 1, "Blue Pen");
  f.Set("qty", 1, qty1);
  f.Set("amount", 1, qty1 == "2" ? "25" : "50");
  f.Set("item", 2, "Notebook");
  f.Set("qty", 2, "1");
  f.Set("amount", 2, "40");
}

TEST(DbCall, RefusesAnInvalidInvoiceThenSavesChangesCancelsAndDeletesIt) {
  Facade f("salesinv");
  std::string result;
  // A failed validation returns the report and writes nothing.
  f.InTransaction([&] {
    NewInvoice(f, "2");
    f.Set("customer", 1, "Nobody");
    f.c.Save(result);
  });
  EXPECT_EQ(f.c.ValidationMessage, "Invalid selection \"Nobody\" in field Customer [customer]");
  EXPECT_EQ(result,
            "invno = INV000042\r\ninvdate = 20/06/2026\r\ncustomer = Nobody\r\n"
            "paymode = Cash\r\nremarks = \r\n"
            "Invalid selection \"Nobody\" in field Customer [customer]\r\n");
  EXPECT_TRUE(f.c.StoreData->Values.empty());
  EXPECT_EQ(f.Scalar("select count(*) from salesinv"), "1");
  EXPECT_EQ(f.Scalar("select lastno from sequence where sequenceid = 1"), "42");

  result = "unset";
  f.InTransaction([&] {
    NewInvoice(f, "2");
    f.c.Save(result);
  });
  ASSERT_EQ(f.c.ValidationMessage, "");
  EXPECT_EQ(result, "");
  EXPECT_TRUE(f.c.StoreData->Values.empty());
  EXPECT_TRUE(f.Logged("# 1#Executing {aftersave}"));

  const std::string id = f.Scalar("select salesinvid from salesinv where invno = 'INV000042'");
  ASSERT_NE(id, "");
  const long double recordId = v7::TStoreData::TextToId(id);
  EXPECT_TRUE(f.c.RecordExists(recordId));
  EXPECT_EQ(f.Scalar("select lastno from sequence where sequenceid = 1"), "43");
  EXPECT_EQ(f.Scalar("select customer || '/' || paymode from salesinv where salesinvid = " + id),
            "101/Cash");
  EXPECT_EQ(f.Num("select totalamt from salesinv where salesinvid = " + id), 65);
  EXPECT_EQ(f.Scalar("select group_concat(item || ':' || (price * 10) || ':' || (amount * 10), "
                     "' ') from (select * from salesinvdet where salesinvid = " +
                     id + " order by salesinvdetrow)"),
            "201:125.0:250.0 203:400.0:400.0");
  // Master updates of the invoice and of the documents made from it, written once.
  EXPECT_EQ(f.Masters(), "65/98/49");
  EXPECT_EQ(f.Scalar("select count(*) from salesinvap where t1sourceid = " + id), "1");

  // Change: the packet of a stored document is applied to the loaded document. Its row
  // amount and the header total follow the changed quantity.
  f.InTransaction([&] {
    f.c.LoadRecord(recordId);
    EXPECT_EQ(f.c.RowsBefore, (std::vector<std::string>{"*", "2"}));
    f.Set("qty", 2, "3");
    f.c.Save(result);
  });
  ASSERT_EQ(f.c.ValidationMessage, "");
  EXPECT_TRUE(f.Logged("# 1#Frame 2 No of Rows Before =2 After = 2"));
  EXPECT_EQ(f.Num("select totalamt from salesinv where salesinvid = " + id), 145);
  EXPECT_EQ(f.Masters(), "145/98/47");
  EXPECT_EQ(f.Scalar("select count(*) from salesinvap where t1sourceid = " + id), "1");
  EXPECT_NE(f.Scalar("select count(*) from salesinvhistory where recordid = " + id), "0");

  // Cancel: the document stays, marked; its master updates are taken back. Twice changes
  // nothing more.
  f.InTransaction([&] { f.c.Cancel(recordId); });
  EXPECT_EQ(f.Scalar("select cancel from salesinv where salesinvid = " + id), "T");
  EXPECT_EQ(f.Masters(), "0/100/50");
  EXPECT_EQ(f.Scalar("select cancel from salesinvap where t1sourceid = " + id), "T");
  f.InTransaction([&] { f.c.Cancel(recordId); });
  EXPECT_EQ(f.Masters(), "0/100/50");

  // Delete a second invoice: rows, master updates and generated documents go.
  f.c.Reset();  // the cancelled document is still loaded
  f.InTransaction([&] {
    NewInvoice(f, "4");
    f.c.Save(result);
  });
  ASSERT_EQ(f.c.ValidationMessage, "");
  const std::string id2 = f.Scalar("select salesinvid from salesinv where invno = 'INV000043'");
  ASSERT_NE(id2, "");
  EXPECT_EQ(f.Masters(), "90/96/49");
  EXPECT_EQ(f.Scalar("select count(*) from salesinvap where t1sourceid = " + id2), "1");
  f.InTransaction([&] { f.c.Delete(v7::TStoreData::TextToId(id2)); });
  EXPECT_EQ(f.Scalar("select (select count(*) from salesinv where salesinvid = " + id2 +
                     ") || (select count(*) from salesinvdet where salesinvid = " + id2 +
                     ") || (select count(*) from salesinvap where t1sourceid = " + id2 + ")"),
            "000");
  EXPECT_EQ(f.Masters(), "0/100/50");
  EXPECT_TRUE(f.Logged("# 1#Completed Deletion"));
  EXPECT_FALSE(f.c.RecordExists(v7::TStoreData::TextToId(id2)));
}

TEST(DbCall, EmptiedRowOfAStoredDocumentGoesWithItsMasterUpdates) {
  Facade f("salesinv");
  const double stock202 = f.Num("select stockqty from item where itemid = 202");
  const double stock203 = f.Num("select stockqty from item where itemid = 203");
  const double balance = f.Num("select balance from customer where customerid = 102");
  std::string result;
  f.InTransaction([&] {
    f.c.LoadRecord(v7test::kSalesInvId);  // rows: 201 x4, 202 x2, 203 x5
    for (const char* field :
         {"salesinvdetrow", "item", "price", "qty", "amount", "discount", "oldprice"})
      f.Set(field, 2, "");
    f.Set("totalamt", 1, "250");
    f.c.Save(result);
  });
  ASSERT_EQ(f.c.ValidationMessage, "");
  const std::string id = v7::TStoreData::IdText(v7test::kSalesInvId);
  EXPECT_EQ(f.Scalar("select group_concat(item || ':' || salesinvdetrow, ' ') from (select * "
                     "from salesinvdet where salesinvid = " +
                     id + " order by salesinvdetrow)"),
            "201:1 203:2");
  EXPECT_EQ(f.Num("select stockqty from item where itemid = 202"), stock202 + 2);
  EXPECT_EQ(f.Num("select stockqty from item where itemid = 203"), stock203);
  EXPECT_EQ(f.Num("select balance from customer where customerid = 102"), balance - 900);
}

// One facade switched to another type and reused for several documents: nothing of the
// first type or of an earlier document is used again (run under the sanitizers too).
TEST(DbCall, ReusedAcrossTypesAndDocumentsStartsEachAfresh) {
  Facade f("receipt");
  f.c.SetTransType("salesinv");
  std::string result;
  // The first invoice is numbered from the series it names, the next from the active one;
  // the total is the rows' sum however the packet gave it.
  const char* numbers[] = {"CSH", "", "CSH", ""};
  for (const char* number : numbers) {
    f.InTransaction([&] {
      NewInvoice(f, "2");
      f.Set("invno", 1, number);
      f.Set("totalamt", 1, "");
      f.c.Save(result);
    });
    ASSERT_EQ(f.c.ValidationMessage, "");
  }
  EXPECT_EQ(f.Scalar("select group_concat(invno || ':' || totalamt, ',') from (select * from "
                     "salesinv where invno <> 'INV000041' order by invno)"),
            "CSH000007:65.0,CSH000008:65.0,INV000042:65.0,INV000043:65.0");
  EXPECT_EQ(f.Scalar("select group_concat(prefix || activesequence || lastno, ',') from "
                     "(select * from sequence where transtype = 'salesinv' order by prefix)"),
            "CSHF9,INVT44");

  // Back to the first type.
  f.c.SetTransType("receipt");
  f.InTransaction([&] {
    f.Set("rcptdate", 1, "21/06/2026");
    f.Set("customer", 1, "Zenith Mart");
    f.Set("saveok", 1, "T");
    f.c.Save(result);
  });
  ASSERT_EQ(f.c.ValidationMessage, "");
  EXPECT_EQ(f.Scalar("select group_concat(rcptno || ':' || date(rcptdate), ',') from receipt where "
                     "customer = 103"),
            "RC000005:2026-06-21");
}

// A receipt (no links) saved with a given aftersave script; answers Save's result.
std::string SaveReceipt(const std::string& script, bool* logged = nullptr) {
  Facade f("receipt", script.empty()
                          ? ""
                          : "insert into exprset (exprsetid, transid, expression) values (90, "
                            "'receipt', '{aftersave}\n" +
                                script + "')");
  f.Set("rcptdate", 1, "21/06/2026");
  f.Set("customer", 1, "Zenith Mart");
  f.Set("saveok", 1, "T");
  std::string result = "unset";
  f.InTransaction([&] { f.c.Save(result); });
  EXPECT_EQ(f.c.ValidationMessage, "");
  if (logged) *logged = f.Logged("# 1#Executing {aftersave}");
  return result;
}

TEST(DbCall, AfterSaveStatusGivesTheResultOrRaises) {
  bool ran = true;
  EXPECT_EQ(SaveReceipt("", &ran), "");  // no event text: no script, no trace line
  EXPECT_FALSE(ran);
  EXPECT_EQ(SaveReceipt("aftersavestatus := {_Saved}"), "Saved");
  EXPECT_EQ(SaveReceipt("aftersavestatus := {_Saved}\ndisplayfieldname := {rcptno}"), "RC000001");
  EXPECT_THAT([] { SaveReceipt("aftersavestatus := {no stock}"); },
              testing::ThrowsMessage<v7::EDatabaseError>(testing::StrEq("no stock")));
}

}  // namespace
