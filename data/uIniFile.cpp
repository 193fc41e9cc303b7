// The INI reader and writer behind the project file and the registry file.
#include "uIniFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "uGeneralFunctions.h"

namespace v7 {

namespace {

// A section header "[name]": true with the name, blanks around it removed.
bool ParseHeader(const std::string& line, std::string& name) {
  std::string t = TrimStr(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = TrimStr(t.substr(1, close - 1));
  return true;
}

// An entry "key=value" that is not a comment: true with the trimmed key.
bool ParseKey(const std::string& line, std::string& key, std::string* value = nullptr) {
  std::string t = TrimStr(line);
  if (t.empty() || t.front() == ';') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = TrimStr(t.substr(0, eq));
  if (value) *value = TrimStr(t.substr(eq + 1));
  return true;
}

}  // namespace

TIniFile TIniFile::Load(const std::string& fileName) {
  TIniFile ini;
  std::string text;
  if (ReadFileText(fileName, text)) ini.lines_ = SplitTextLines(text);
  return ini;
}

int TIniFile::FindSection(const std::string& section) const {
  std::string name;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (ParseHeader(lines_[i], name) && SameStrNoCase(name, TrimStr(section))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int TIniFile::SectionEnd(int header) const {
  std::string name;
  size_t i = static_cast<size_t>(header) + 1;
  while (i < lines_.size() && !ParseHeader(lines_[i], name)) ++i;
  return static_cast<int>(i);
}

int TIniFile::FindKey(int header, const std::string& key) const {
  std::string name;
  int end = SectionEnd(header);
  for (int i = header + 1; i < end; ++i) {
    if (ParseKey(lines_[i], name) && SameStrNoCase(name, TrimStr(key))) return i;
  }
  return -1;
}

bool TIniFile::SectionExists(const std::string& section) const { return FindSection(section) >= 0; }

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  int header = FindSection(section);
  if (header < 0) return defaultValue;
  int at = FindKey(header, key);
  if (at < 0) return defaultValue;
  std::string name, value;
  ParseKey(lines_[at], name, &value);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

void TIniFile::AddSection(const std::string& section) {
  if (FindSection(section) >= 0) return;
  if (!lines_.empty() && !TrimStr(lines_.back()).empty()) lines_.push_back("");
  lines_.push_back("[" + TrimStr(section) + "]");
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  AddSection(section);
  int header = FindSection(section);
  int at = FindKey(header, key);
  if (at >= 0) {
    // Keep the key's spelling as the file has it.
    std::string name;
    ParseKey(lines_[at], name);
    lines_[at] = name + "=" + value;
    return;
  }
  // After the section's last entry, before the blank lines that part it from the next one.
  int end = SectionEnd(header);
  while (end > header + 1 && TrimStr(lines_[end - 1]).empty()) --end;
  lines_.insert(lines_.begin() + end, TrimStr(key) + "=" + value);
}

void TIniFile::Save(const std::string& fileName) const {
  std::string temp = fileName + "." + std::to_string(::getpid()) + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    for (const auto& line : lines_) out << line << '\n';
    out.flush();
    if (!out) {
      int err = errno;
      std::error_code ec;
      std::filesystem::remove(temp, ec);
      throw EInOutError("Cannot write the file " + fileName + ": " + std::strerror(err));
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, fileName, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    throw EInOutError("Cannot write the file " + fileName + ": " + ec.message());
  }
}

}  // namespace v7
