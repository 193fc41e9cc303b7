// An INI document: sections in brackets, key=value entries, section and key names matched
// without regard to case. Kept as the file's own lines so that a rewrite leaves comments,
// order and untouched entries exactly as they were.
#pragma once

#include <string>
#include <vector>

namespace v7 {

class TIniFile {
 public:
  TIniFile() = default;

  // Reads the file as ReadFileText does (UTF-8, or UTF-16 by its byte order mark); a missing
  // file is an empty document. A file that exists but cannot be read, or is no text, raises
  // EInOutError naming it.
  static TIniFile Load(const std::string& fileName);

  bool SectionExists(const std::string& section) const;
  // The value of the first matching key of the first matching section, blanks around it
  // removed and one pair of enclosing quotes dropped; the default when there is none.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue = "") const;

  // Adds the section (at the end) when it is missing.
  void AddSection(const std::string& section);
  // Replaces the first matching entry, or adds one at the end of the section.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);

  // Writes the document through a temporary file of this process renamed over the target,
  // so that no reader, and no other writer, ever sees half a file. The file is written in
  // UTF-8, without a byte order mark, whatever it was read in. Failure (a full disk, a file
  // size limit) raises EInOutError naming the file.
  void Save(const std::string& fileName) const;

 private:
  // Index of the header line of the first matching section, or -1.
  int FindSection(const std::string& section) const;
  // Index of the first matching entry inside the section whose header is at `header`, or -1.
  int FindKey(int header, const std::string& key) const;
  // Index one past the last line that belongs to the section whose header is at `header`.
  int SectionEnd(int header) const;

  std::vector<std::string> lines_;
};

}  // namespace v7
