// The picture store of one document (see uImageDB.h). With no picture holder registered
// the operations return before any statement runs, so a site without an IMAGE table works.
#include "uImageDB.h"

namespace v7 {

TImageDB::TImageDB(TDBManager* manager, const std::string& transId) : TransId(transId) {
  ImageQuery = manager->NewQuery();
  ImageQuery->GetSQL().SetText("SELECT * FROM IMAGE WHERE 1=0");
  WorkQuery = manager->NewQuery();
}

TImageDB::~TImageDB() = default;

// Holders are picture controls of a data-entry screen; this program has no such screen, so
// the list stays empty and every operation below ends at its first line.
void TImageDB::LoadImages(long double /*recordId*/) {
  if (Holders.empty()) return;
}

void TImageDB::SaveImages(long double /*recordId*/) {
  if (Holders.empty()) return;
}

void TImageDB::DeleteImages(long double /*recordId*/) {
  if (Holders.empty()) return;
}

void TImageDB::ClearImages() {
  for (TPictureHolder* holder : Holders) {
    holder->Bytes.clear();
    holder->Extension.clear();
  }
}

}  // namespace v7
