// The files of the working folder that the transfer steps keep: whole-file writes and reads,
// and the line records of what a step has done with a file on the server.
#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace v7 {

// Opens a new file for writing at fileName, in place of what stands there: a file or a
// symbolic link there is removed, never followed or written through, and the new file is
// made exclusively without following links, so that one planted in between fails the open.
// A folder there fails (EISDIR); a device or a pipe there is opened as it stands. Returns
// the descriptor, to be closed by the caller; raises EFCreateError naming the file and the
// cause, with its errno.
int OpenNewFile(const std::string& fileName, unsigned mode = 0644);
// Writes a whole file, or none, in place of what stands there (OpenNewFile): a file cut by a full
// disk or the file size limit is removed, and the error (EFCreateError) names the cause.
void WriteBytes(const std::string& fileName, const std::string& bytes);
// A file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::string& fileName);
// The lines of a text file, as UTF-8 (ETextEncodingError, naming the file, when it is not text
// the client can read without guessing).
std::vector<std::string> ReadLines(const std::string& fileName);
void RemoveQuietly(const std::string& fileName);
// The MD5 digest of bytes, and of a file's bytes, as 32 hexadecimal digits.
std::string BytesDigest(const std::string& bytes);
std::string Digest(const std::string& fileName);
// Copies source to a new file target, never over what stands there; a cut copy is removed.
bool CopyNew(const std::filesystem::path& source, const std::filesystem::path& target);

// A record of lines kept in a file of the working folder, read when made. Each change
// replaces the file whole, so that a stop half-way leaves the old record or the new one.
class TLineRecord {
 public:
  explicit TLineRecord(std::string fileName);
  bool Contains(const std::string& line) const;
  // Adds a line that is not there yet; raises when the file cannot be written, and then
  // holds the line no more than the file does.
  void Add(const std::string& line);
  void Remove(const std::string& line);
  // Removes every line that gone says is gone, in one change of the file.
  void RemoveIf(const std::function<bool(const std::string&)>& gone);
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  void Save();
  std::string file_;
  std::vector<std::string> lines_;
};

// What a record line holds after its first `fields` blank-separated fields (a name may hold
// blanks).
std::string FieldsAfter(const std::string& line, int fields);
// A UTC time as the records write it ("2026-06-20T10:00:00Z"), and back (-1 for a text that
// is no such stamp).
std::string UtcStamp(std::time_t when);
std::time_t ParseUtcStamp(const std::string& text);
// Seconds since `what` was first seen, by this site's clock, in a record of "<time> <what>"
// lines; what is new is noted now.
std::time_t SecondsSinceFirstSeen(TLineRecord& record, const std::string& what);

}  // namespace v7
