// Streams, the inflating stream over zlib, and the packet-file unpacker.
#include "uZStream.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "uLineRecord.h"

namespace v7 {

namespace {

const char kInvalidZStreamOperation[] = "Invalid ZStream operation!";

// zlib's allocation hooks: the process heap, items times size.
voidpf ZAlloc(voidpf, uInt items, uInt size) { return calloc(items, size); }
void ZFree(voidpf, voidpf address) { free(address); }

int CheckDecompression(int code) {
  if (code < 0) throw EZDecompressionError(code);
  return code;
}

}  // namespace

// ---- TStream ----

int64_t TStream::GetSize() {
  int64_t position = Seek(0, TSeekOrigin::soCurrent);
  int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(position, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError();
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  constexpr int64_t kMaxPiece = 61440;
  if (count == 0) {
    source.SetPosition(0);
    count = source.GetSize();
  }
  const int64_t result = count;
  const int64_t pieceSize = std::min(count, kMaxPiece);
  auto piece = std::make_unique_for_overwrite<char[]>(std::max<int64_t>(pieceSize, 1));
  while (count != 0) {
    const int64_t n = std::min(count, pieceSize);
    source.ReadBuffer(piece.get(), n);
    WriteBuffer(piece.get(), n);
    count -= n;
  }
  return result;
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& fileName, TMode mode) {
  if (mode == fmCreate) {
    fd_ = OpenNewFile(fileName);  // what stands there is replaced, never written through
  } else {
    fd_ = open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
      throw EFOpenError("Cannot open file \"" + fileName + "\". " + strerror(errno), errno);
  }
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    ssize_t n = read(fd_, out + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EReadError(std::string("Stream read error: ") + strerror(errno), errno);
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < count) {
    ssize_t n = write(fd_, in + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    // A full disk or a file size limit (EFBIG): the message says which.
    if (n < 0) throw EWriteError(std::string("Stream write error: ") + strerror(errno), errno);
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
               : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                  : SEEK_END;
  off_t result = lseek(fd_, static_cast<off_t>(offset), whence);
  if (result < 0) throw EStreamError(std::string("Stream seek error: ") + strerror(errno), errno);
  return result;
}

// ---- TMemoryStream ----

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t size = static_cast<int64_t>(data_.size());
  if (count <= 0 || position_ >= size) return 0;
  const int64_t n = std::min(count, size - position_);
  memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void*, int64_t) { return 0; }

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case TSeekOrigin::soBeginning:
      position_ = offset;
      break;
    case TSeekOrigin::soCurrent:
      position_ += offset;
      break;
    case TSeekOrigin::soEnd:
      position_ = static_cast<int64_t>(data_.size()) + offset;
      break;
  }
  if (position_ < 0) position_ = 0;
  return position_;
}

// ---- EZLibError ----

EZLibError::EZLibError(int code) : std::runtime_error(MessageOf(code)), code_(code) {}

std::string EZLibError::MessageOf(int code) {
  switch (code) {
    case 2:
      return "need dictionary";
    case 1:
      return "stream end";
    case 0:
      return "ok";
    case -1:
      return "file error";
    case -2:
      return "stream error";
    case -3:
      return "data error";
    case -4:
      return "insufficient memory";
    case -5:
      return "buffer error";
    case -6:
      return "incompatible version";
    default:
      return "";
  }
}

// ---- TCustomZStream / TZDecompressionStream ----

TCustomZStream::TCustomZStream(TStream& source)
    : source_(source),
      sourcePosition_(source.GetPosition()),
      buffer_(std::make_unique<unsigned char[]>(kBufferSize)) {
  zrec_.zalloc = ZAlloc;
  zrec_.zfree = ZFree;
  zrec_.opaque = nullptr;
  zrec_.next_in = buffer_.get();
  zrec_.avail_in = 0;
}

TZDecompressionStream::TZDecompressionStream(TStream& source) : TCustomZStream(source) {
  // The version text the packets were first written for; zlib only checks its major digit.
  CheckDecompression(inflateInit_(&zrec_, "1.2.3", static_cast<int>(sizeof(z_stream))));
}

TZDecompressionStream::~TZDecompressionStream() { inflateEnd(&zrec_); }

int64_t TZDecompressionStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  // zlib counts in 32 bits; a larger request is served in several passes.
  auto* out = static_cast<unsigned char*>(buffer);
  int64_t produced = 0;
  if (source_.GetPosition() != sourcePosition_) source_.SetPosition(sourcePosition_);
  int result = Z_OK;
  while (produced < count && result != Z_STREAM_END) {
    if (zrec_.avail_in == 0) {
      const int64_t got = source_.Read(buffer_.get(), kBufferSize);
      if (got == 0) return produced;
      zrec_.next_in = buffer_.get();
      zrec_.avail_in = static_cast<uInt>(got);
      sourcePosition_ = source_.GetPosition();
    }
    const uInt space = static_cast<uInt>(std::min<int64_t>(count - produced, 0x40000000));
    zrec_.next_out = out + produced;
    zrec_.avail_out = space;
    result = CheckDecompression(inflate(&zrec_, Z_NO_FLUSH));
    // Packets never carry a preset dictionary; asking for one makes no progress, so it is a
    // broken packet, not a reason to call inflate again.
    if (result == Z_NEED_DICT) throw EZDecompressionError(Z_NEED_DICT);
    produced += space - zrec_.avail_out;
  }
  if (result == Z_STREAM_END && zrec_.avail_in > 0) {
    // Leave the source right after the zlib stream: trailing bytes belong to nobody here.
    source_.SetPosition(source_.GetPosition() - zrec_.avail_in);
    sourcePosition_ = source_.GetPosition();
    zrec_.avail_in = 0;
  }
  return produced;
}

int64_t TZDecompressionStream::Write(const void*, int64_t) {
  throw EZDecompressionError(Z_STREAM_ERROR, kInvalidZStreamOperation);
}

int64_t TZDecompressionStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t position = static_cast<int64_t>(zrec_.total_out);
  if (offset == 0 && origin == TSeekOrigin::soBeginning) {
    // A restart rewinds the source to its very first byte, not to where the stream began.
    CheckDecompression(inflateReset(&zrec_));
    zrec_.next_in = buffer_.get();
    zrec_.avail_in = 0;
    source_.SetPosition(0);
    sourcePosition_ = 0;
  } else if ((offset >= 0 && origin == TSeekOrigin::soCurrent) ||
             (offset > position && origin == TSeekOrigin::soBeginning)) {
    int64_t skip = origin == TSeekOrigin::soBeginning ? offset - position : offset;
    unsigned char discard[8192];
    while (skip > 0) {
      const int64_t n = std::min<int64_t>(skip, sizeof discard);
      ReadBuffer(discard, n);
      skip -= n;
    }
  } else if (offset == 0 && origin == TSeekOrigin::soEnd) {
    unsigned char discard[8192];
    while (Read(discard, sizeof discard) > 0) {
    }
  } else {
    throw EZDecompressionError(Z_STREAM_ERROR, kInvalidZStreamOperation);
  }
  return static_cast<int64_t>(zrec_.total_out);
}

// ---- TCompress ----

namespace {

// A packet larger than one packet may be, or than any file this site may write, is the
// packet's fault, and no later try would do better; a disk that is merely full now, or a
// limit the packet stays below, is the site's (the write then fails with its errno).
void CheckRoomFor(uint32_t length, uint64_t maxBytes, const std::string& dest) {
  const std::string declared = "The packet unpacks to " + std::to_string(length) + " bytes, ";
  if (length > maxBytes)
    throw EPacketTooLarge(declared + "more than the limit of " + std::to_string(maxBytes) +
                          " bytes for one packet (setting maxpacketmb)");
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      length > limit.rlim_cur)
    throw EPacketTooLarge(declared + "more than the file size limit of " +
                          std::to_string(limit.rlim_cur) + " bytes");
  const std::string folder = std::filesystem::path(dest).parent_path().string();
  struct statvfs fs {};
  if (statvfs(folder.empty() ? "." : folder.c_str(), &fs) == 0 &&
      static_cast<unsigned long long>(length) >
          static_cast<unsigned long long>(fs.f_blocks) * fs.f_frsize)
    throw EPacketTooLarge(declared + "more than the whole file system of \"" +
                          (folder.empty() ? "." : folder) + "\" holds");
}

}  // namespace

void TCompress::DecompressFile(const std::string& source, const std::string& dest) {
  // Declaration order makes the inflater go first, then dest, then source, on every path.
  TFileStream input(source, TFileStream::fmOpenRead);
  unsigned char lengthField[4];
  if (input.Read(lengthField, 4) != 4)
    throw EReadError("Invalid packet file: shorter than its 4-byte length");
  const uint32_t length =
      static_cast<uint32_t>(lengthField[0]) | static_cast<uint32_t>(lengthField[1]) << 8 |
      static_cast<uint32_t>(lengthField[2]) << 16 | static_cast<uint32_t>(lengthField[3]) << 24;
  CheckRoomFor(length, maxBytes_, dest);
  TFileStream output(dest, TFileStream::fmCreate);
  TZDecompressionStream inflater(input);
  output.CopyFrom(inflater, length);
}

}  // namespace v7
