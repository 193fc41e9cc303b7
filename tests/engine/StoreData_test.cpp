// The document store's values and rows on the sample product's types.
#include <gtest/gtest.h>

#include "SampleProduct.h"
#include "uStoreData.h"

namespace {

using v7::TStoreData;
using v7::TStructDef;

struct Store {
  explicit Store(const std::string& type) : def(s.mgr.get(), ":" + type), store(&def, type) {
    store.SetPrimaryTable(def.PrimaryTable);
  }
  v7test::SampleSite s{false};
  TStructDef def;
  TStoreData store;
};

TEST(StoreData, ReadsTheTypeSettings) {
  Store inv("salesinv");
  TStoreData& st = inv.store;
  EXPECT_EQ(st.AutoFields, std::vector<std::string>{"invno"});
  EXPECT_EQ(st.AutoPrefixes, std::vector<std::string>{"INV"});
  EXPECT_EQ(st.TableList, ",salesinv,salesinvdet,");
  EXPECT_FALSE(st.HasApprovalDef);
  EXPECT_TRUE(st.HasCancelColumn);

  Store sf("salesinvsf");
  EXPECT_EQ(sf.store.SubFrames, std::vector<int>{3});
  EXPECT_EQ(sf.store.BaseFrames, std::vector<int>{2});
  EXPECT_EQ(sf.store.SubFrameKeys, std::vector<std::string>{"item"});
  EXPECT_EQ(sf.store.ParentRowFlags, "f");

  // Only an automatic field is marked as numbered, once.
  st.AddAutoField("invno");
  st.AddAutoField("invno");
  st.AddAutoField("remarks");
  EXPECT_EQ(st.NumberedFields, ";invno;");

  Store ap("salesinvap");
  EXPECT_TRUE(ap.store.HasApprovalDef);
  EXPECT_EQ(ap.store.ApprovalLevel, 2);
}

TEST(StoreData, FillsValuesByNameAndRowAsAPacketDoes) {
  Store inv("salesinv");
  TStoreData& st = inv.store;
  st.AddValueByName("InvNo", 1, "INV000042");
  st.AddValueByName("invdate", 1, " / /    ");
  st.AddValueByName("customer", 1, "O'Brien Traders", "", 102);
  st.AddValueByName("totalamt", 1, "1,234.50");
  st.AddValueByName("item", 1, "Blue Pen", "", 201);
  st.AddValueByName("qty", 1, "");
  st.AddValueByName("item", 2, "Notebook", "", 203);
  st.AddValueByName("salesinvid", 1, "9007199254740993");
  st.AddValueByName("nosuchfield", 1, "x");

  EXPECT_EQ(st.GetValue("invno", 1), "INV000042");
  EXPECT_EQ(st.GetValue("invdate", 1), "");
  EXPECT_EQ(st.GetValue("totalamt", 1), "1234.50");
  EXPECT_EQ(st.GetValue("SALESINVID", 1), "9007199254740993");
  EXPECT_EQ(st.IndexOfField("nosuchfield"), -1);

  const v7::TFieldRec& cust = st.Values[static_cast<size_t>(st.IndexOfValue("customer", 1))];
  EXPECT_EQ(cust.Table, "SALESINV");
  EXPECT_EQ(cust.TableKind, 'a');
  EXPECT_TRUE(cust.HasId);
  EXPECT_EQ(cust.ValueId, 102);
  const v7::TFieldRec& qty = st.Values[static_cast<size_t>(st.IndexOfValue("qty", 1))];
  EXPECT_EQ(qty.Value, "0");
  EXPECT_FALSE(qty.HasValue);
  EXPECT_EQ(qty.OldValue, "0");
  EXPECT_EQ(qty.TableKind, 'b');
  const v7::TFieldRec& id = st.Values[static_cast<size_t>(st.IndexOfValue("salesinvid", 1))];
  EXPECT_EQ(id.Table, "");
  EXPECT_EQ(id.FieldType, "n");
  // Record ids of 16 digits read back exactly; a frame that shares another frame's table
  // shares its row id.
  const long double big = TStoreData::TextToId(id.Value);
  EXPECT_EQ(big, 9007199254740993.0L);
  st.RowIds.push_back({1, 1, big, "salesinv"});
  st.RegisterRowRecordId(" SALESINV ", 3);
  EXPECT_EQ(st.FindRowRecordId(3, 1), big);

  // A second value for the same field, table and row changes that record only.
  size_t count = st.Values.size();
  st.AddFieldValue("Customer", "C", "salesinv", "Acme Stores", "ignored", 1, 101, 0, 1, 0, true);
  EXPECT_EQ(st.Values.size(), count);
  EXPECT_EQ(cust.Value, "Acme Stores");
  EXPECT_EQ(cust.ValueId, 101);
  EXPECT_EQ(cust.OldValue, "");

  EXPECT_EQ(st.GetMaxRow(2), 2);
  EXPECT_EQ(st.GetMaxRow(5), 0);
}

TEST(StoreData, RemovingAGridRowRenumbersRowsAndSubFrameParents) {
  Store sf("salesinvsf");
  TStoreData& st = sf.store;
  for (int r = 1; r <= 3; ++r) EXPECT_EQ(st.AddRow(2), r);
  // Batches as a packet may bring them, not grouped by item: rows 1 and 3 under item 2,
  // row 2 under item 1, row 4 under item 3.
  const int parents[] = {2, 1, 2, 3};
  for (int r = 1; r <= 4; ++r) {
    EXPECT_EQ(st.AddRow(3), r);
    st.AddValueByName("batchno", r, "B" + std::to_string(r));
    for (auto& v : st.Values)
      if (v.Frame == 3 && v.Row == r) v.ParentRow = parents[r - 1];
  }
  st.AddValueByName("item", 2, "Men's Shirt", "", 202);
  st.AddValueByName("item", 3, "Notebook", "", 203);

  st.DeleteRow(2, 2);

  EXPECT_EQ(st.GetMaxRow(2), 2);
  EXPECT_EQ(st.GetValue("item", 2), "Notebook");
  const v7::TFieldRec& gone =
      st.Values[static_cast<size_t>(st.FindValue("item", "salesinvsfdet", -1))];
  EXPECT_EQ(gone.Value, "Men's Shirt");
  EXPECT_EQ(gone.OldRow, 2);

  const v7::TFieldRec& child =
      st.Values[static_cast<size_t>(st.FindValue("batchno", "salesinvsfbatch", -1))];
  EXPECT_EQ(child.Value, "B1");
  EXPECT_EQ(child.OldRow, 1);
  EXPECT_EQ(child.ParentRow, -1);
  EXPECT_EQ(child.OldParentRow, 2);
  // Each later batch closes the gap of the removed batches before it, no more.
  EXPECT_EQ(st.GetValue("batchno", 1), "B2");
  EXPECT_EQ(st.GetParentRow(3, 1), 1);
  EXPECT_EQ(st.GetValue("batchno", 2), "B4");
  EXPECT_EQ(st.GetParentRow(3, 2), 2);
  EXPECT_EQ(st.GetMaxRow(3), 2);
  EXPECT_EQ(st.CountChildRows(3, 2), 1);

  // A save then drops the removed rows and takes the values as loaded.
  st.MarkLoaded();
  EXPECT_EQ(st.IndexOfValue("item", -1), -1);
  EXPECT_EQ(st.Values[static_cast<size_t>(st.IndexOfValue("item", 2))].OldValue, "Notebook");
}

}  // namespace
