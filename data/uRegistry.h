// The machine registry the connection manager reads and writes (the Access data path, the
// ODBC data source): "registry.ini" in the configuration folder. Each section is a key
// path, such as [SOFTWARE\STELLOCK\QUOREX]; each entry is a value of that key. Key paths and
// value names are matched without regard to case, as the registry does.
#pragma once

#include <string>

namespace v7 {

class TRegistry {
 public:
  // "registry.ini" in AppFolder().
  TRegistry();
  explicit TRegistry(std::string fileName);

  // Every call reads the file afresh and every write saves it at once: several processes
  // share it, as they share the registry. A write reads, changes and saves the file under
  // a lock on "<file>.lock", so that no write loses the values of another.

  // Makes the key current; a missing key is created (and saved) when canCreate is true,
  // else the answer is false and no key is current.
  bool OpenKey(const std::string& key, bool canCreate);
  void CloseKey();

  // Values of the current key. ReadString of a missing value is the empty text. Without a
  // current key ReadString answers the empty text and WriteString raises std::logic_error.
  std::string ReadString(const std::string& name) const;
  void WriteString(const std::string& name, const std::string& value);

  const std::string& FileName() const { return FileName_; }

 private:
  std::string FileName_;
  std::string CurrentPath_;
};

}  // namespace v7
