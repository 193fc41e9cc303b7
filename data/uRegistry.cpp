// The registry file (see uRegistry.h).
#include "uRegistry.h"

#include <stdexcept>

#include "uGeneralFunctions.h"
#include "uIniFile.h"

namespace v7 {

namespace {

// "\SOFTWARE\X\" and "SOFTWARE\X" name the same key.
std::string KeyPath(const std::string& key) {
  std::string k = TrimStr(key);
  size_t b = 0, e = k.size();
  while (b < e && k[b] == '\\') ++b;
  while (e > b && k[e - 1] == '\\') --e;
  return k.substr(b, e - b);
}

}  // namespace

TRegistry::TRegistry() : FileName_(AppFolder() + "registry.ini") {}

TRegistry::TRegistry(std::string fileName) : FileName_(std::move(fileName)) {}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  CurrentPath_.clear();
  std::string path = KeyPath(key);
  if (path.empty()) return false;
  TIniFile ini = TIniFile::Load(FileName_);
  if (!ini.SectionExists(path)) {
    if (!canCreate) return false;
    ini.AddSection(path);
    ini.Save(FileName_);
  }
  CurrentPath_ = path;
  return true;
}

void TRegistry::CloseKey() { CurrentPath_.clear(); }

std::string TRegistry::ReadString(const std::string& name) const {
  if (CurrentPath_.empty()) return "";
  return TIniFile::Load(FileName_).ReadString(CurrentPath_, name, "");
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  if (CurrentPath_.empty()) {
    throw std::logic_error("Registry value " + name + " written with no key open in " + FileName_);
  }
  // Read, change and save in one step, so that values other processes wrote are kept.
  TIniFile ini = TIniFile::Load(FileName_);
  ini.WriteString(CurrentPath_, name, value);
  ini.Save(FileName_);
}

}  // namespace v7
