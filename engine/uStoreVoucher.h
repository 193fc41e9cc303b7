// The document store of vouchers: a plain store whose rows of the voucher detail table
// trans2 also get cmid, the header's credit or debit master id by the row's porm.
#pragma once

#include <string>

#include "uStoreData.h"
#include "uStructDef.h"

namespace v7 {

class TStoreVoucher : public TStoreData {
 public:
  TStoreVoucher(TStructDef* structDef, const std::string& transType);
  // Raises EDatabaseError "Field PORM not found", "Field T1HiDbMid not found" or
  // "Field T1HiCrMid not found" for a trans2 row.
  void PrepareRecord(int index) override;
};

}  // namespace v7
