// The registry file (see uRegistry.h).
#include "uRegistry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// Holds the lock that makes one process at a time read, change and save the file. The lock
// is taken on a file of its own beside it: the registry file itself is replaced by every save.
class TWriteLock {
 public:
  explicit TWriteLock(const std::string& fileName) {
    const std::string lockName = fileName + ".lock";
    fd_ = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0)
      throw EInOutError("Cannot lock the file " + fileName + ": " + std::strerror(errno));
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd_);
      throw EInOutError("Cannot lock the file " + fileName + ": " + std::strerror(err));
    }
  }
  ~TWriteLock() { ::close(fd_); }  // closing gives the lock back
  TWriteLock(const TWriteLock&) = delete;
  TWriteLock& operator=(const TWriteLock&) = delete;

 private:
  int fd_ = -1;
};

bool StartsNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && SameStrNoCase(text.substr(0, prefix.size()), prefix);
}

// A registry export (.reg) looks like this file, but its keys begin with the hive's name and
// its values are quoted: read as it stands, none of its keys would be found, and the client
// would only say that a key is missing. It is refused, saying what to write instead.
TIniFile Load(const std::string& fileName) {
  std::string text;
  if (ReadFileText(fileName, text)) {
    for (const std::string& line : SplitTextLines(text)) {
      const std::string trimmed = TrimStr(line);
      if (StartsNoCase(trimmed, "Windows Registry Editor") || StartsNoCase(trimmed, "REGEDIT4") ||
          StartsNoCase(trimmed, "[HKEY_"))
        throw EInOutError("The file " + fileName +
                          " is a registry export (.reg), which the client does not read: write "
                          "each key without its hive, as [SOFTWARE\\STELLOCK\\QUOREX], and each "
                          "value as NAME=value without quotes");
    }
  }
  return TIniFile::Load(fileName);
}

}  // namespace

TRegistry::TRegistry() : FileName_(AppFolder() + "registry.ini") {}

TRegistry::TRegistry(std::string fileName) : FileName_(std::move(fileName)) {}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  CurrentPath_.clear();
  std::string path = KeyPath(key);
  if (path.empty()) return false;
  if (!Load(FileName_).SectionExists(path)) {
    if (!canCreate) return false;
    TWriteLock lock(FileName_);
    TIniFile ini = Load(FileName_);
    ini.AddSection(path);
    ini.Save(FileName_);
  }
  CurrentPath_ = path;
  return true;
}

void TRegistry::CloseKey() { CurrentPath_.clear(); }

std::string TRegistry::ReadString(const std::string& name) const {
  if (CurrentPath_.empty()) return "";
  return Load(FileName_).ReadString(CurrentPath_, name, "");
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  if (CurrentPath_.empty()) {
    throw std::logic_error("Registry value " + name + " written with no key open in " + FileName_);
  }
  // Read, change and save under the lock, so that values other processes wrote are kept.
  TWriteLock lock(FileName_);
  TIniFile ini = Load(FileName_);
  ini.WriteString(CurrentPath_, name, value);
  ini.Save(FileName_);
}

}  // namespace v7
