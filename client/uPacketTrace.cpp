// The trace of one packet's run (see uPacketTrace.h).
#include "uPacketTrace.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "uLineRecord.h"

namespace v7 {

namespace {

// One packet runs at a time; the trace file is the process's one.
struct RunStart {
  std::string traceFile;
  std::string xmlFile;
  std::uintmax_t offset = 0;
};
RunStart gRun;

}  // namespace

void NotePacketRunStart(const std::string& traceFile, const std::string& xmlFile) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(traceFile, ec);
  gRun = {traceFile, xmlFile, ec ? 0 : size};
}

bool CopyPacketRunTrace(const std::string& xmlFile, const std::string& target) {
  if (gRun.xmlFile.empty() || gRun.xmlFile != xmlFile) return false;
  std::ifstream in(gRun.traceFile, std::ios::binary);
  if (!in) return false;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(gRun.traceFile, ec);
  // A file shorter than at the start was rotated during the run: all it holds is of it.
  if (!ec && size >= gRun.offset) in.seekg(static_cast<std::streamoff>(gRun.offset));
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return false;
  // A trace that stands there already is an earlier run's of the same packet: it stays.
  if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) return false;
  try {
    WriteBytes(target, bytes.str());  // whole or not at all: a cut trace would pass for the run
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace v7
