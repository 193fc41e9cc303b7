// The voucher store: rows of trans2 take their master id (cmid) from the header, the
// credit master for a credit line (porm "1") and the debit master for any other.
#include "uStoreVoucher.h"

#include "uGeneralFunctions.h"

namespace v7 {

TStoreVoucher::TStoreVoucher(TStructDef* structDef, const std::string& transType)
    : TStoreData(structDef, transType) {}

void TStoreVoucher::PrepareRecord(int index) {
  TStoreData::PrepareRecord(index);
  if (LowerStr(CurrentTable) != "trans2") return;
  const int row = Values[static_cast<size_t>(index)].Row;
  const int porm = IndexOfValue("porm", row);
  if (porm < 0) throw EDatabaseError("Field PORM not found");
  const int debit = IndexOfValue("T1HiDbMid", 1);
  if (debit < 0) throw EDatabaseError("Field T1HiDbMid not found");
  const int credit = IndexOfValue("T1HiCrMid", 1);
  if (credit < 0) throw EDatabaseError("Field T1HiCrMid not found");
  const TFieldRec& master =
      Values[static_cast<size_t>(Values[static_cast<size_t>(porm)].Value == "1" ? credit : debit)];
  // A master chosen from a list carries its record id beside the display text: the id is
  // what the header's own column holds, so it is what the row gets.
  WriteQuery->SetValue("cmid", master.HasId ? IdText(master.ValueId) : master.Value, "n");
}

}  // namespace v7
