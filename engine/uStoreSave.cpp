// Saving a document: numbering, record ids, control columns, writing the rows of every
// frame and queueing the update maps.
#include <stdexcept>

#include "uMDMap.h"
#include "uStoreData.h"

namespace v7 {

namespace {
[[noreturn]] void NotBuilt(const char* name) {
  throw std::logic_error(std::string(name) + ": not built yet");
}
}  // namespace

void TStoreData::Save() { NotBuilt("TStoreData::Save"); }
void TStoreData::SaveLinked(long double, long double, long double) {
  NotBuilt("TStoreData::SaveLinked");
}
void TStoreData::PrepareRecord(int) { NotBuilt("TStoreData::PrepareRecord"); }
void TStoreData::InitNewRecord() { NotBuilt("TStoreData::InitNewRecord"); }
void TStoreData::GetNextNumber(const std::string&, bool, std::string&) {
  NotBuilt("TStoreData::GetNextNumber");
}
void TStoreData::FindSequence(const std::string&, const std::string&, const std::string&) {
  NotBuilt("TStoreData::FindSequence");
}
void TStoreData::CheckUniqueNumbers() { NotBuilt("TStoreData::CheckUniqueNumbers"); }
void TStoreData::DeleteRemovedRows() { NotBuilt("TStoreData::DeleteRemovedRows"); }
void TStoreData::ResolveParentRecordId(int) { NotBuilt("TStoreData::ResolveParentRecordId"); }
void TStoreData::MDMapGetValue(const std::string&, int, TFieldData&) {
  NotBuilt("TStoreData::MDMapGetValue");
}
void TStoreData::WireMDMap(bool) { NotBuilt("TStoreData::WireMDMap"); }

}  // namespace v7
