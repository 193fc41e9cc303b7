// Deleting and cancelling a loaded document, and the amendment history of every change.
#include <stdexcept>

#include "uStoreData.h"

namespace v7 {

namespace {
[[noreturn]] void NotBuilt(const char* name) {
  throw std::logic_error(std::string(name) + ": not built yet");
}
}  // namespace

void TStoreData::CheckDeleteAllowed(std::string&) { NotBuilt("TStoreData::CheckDeleteAllowed"); }
void TStoreData::DeleteTransaction() { NotBuilt("TStoreData::DeleteTransaction"); }
void TStoreData::CancelTransaction() { NotBuilt("TStoreData::CancelTransaction"); }
void TStoreData::SaveHistory(bool) { NotBuilt("TStoreData::SaveHistory"); }
void TStoreData::WriteHistoryRow(int, int, bool) { NotBuilt("TStoreData::WriteHistoryRow"); }
int TStoreData::GetNextModNo(long double) { NotBuilt("TStoreData::GetNextModNo"); }

}  // namespace v7
