// The picture store of one document: pictures of picture fields in the table IMAGE, keyed
// by the document's record id. No screen registers a picture holder in this program, so
// every operation returns at once and IMAGE is never touched.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "uDBManager.h"
#include "uXDS.h"

namespace v7 {

// A picture field of a data-entry screen: its field name, the picture's bytes and file
// extension.
struct TPictureHolder {
  std::string FieldName;
  std::string Extension;
  std::string Bytes;
};

class TImageDB {
 public:
  // Makes the two query objects; runs no SQL.
  TImageDB(TDBManager* manager, const std::string& transId);
  ~TImageDB();
  TImageDB(const TImageDB&) = delete;
  TImageDB& operator=(const TImageDB&) = delete;

  void LoadImages(long double recordId);
  void SaveImages(long double recordId);
  void DeleteImages(long double recordId);
  void ClearImages();

  std::string TransId;
  std::unique_ptr<TXDS> ImageQuery;      // "SELECT * FROM IMAGE WHERE 1=0", set, not opened
  std::unique_ptr<TXDS> WorkQuery;       // reading and deleting
  std::vector<TPictureHolder*> Holders;  // not owned; empty in this program
};

}  // namespace v7
