// Packet files: the byte streams the unpacker works on (file and memory streams), the
// read-only inflating stream over zlib, and TCompress, which turns a packet file into its
// XML file.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace v7 {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The stream errors of the class library the system was written against. SystemErrno: the
// errno of a call the system refused (a full disk, a file size limit, an I/O error), 0 when
// the bytes themselves were at fault (a stream that ends too soon).
class EStreamError : public std::runtime_error {
 public:
  explicit EStreamError(const std::string& message, int systemErrno = 0)
      : std::runtime_error(message), systemErrno_(systemErrno) {}
  int SystemErrno() const { return systemErrno_; }

 private:
  int systemErrno_;
};
class EReadError : public EStreamError {
 public:
  EReadError() : EStreamError("Stream read error") {}
  explicit EReadError(const std::string& message, int systemErrno = 0)
      : EStreamError(message, systemErrno) {}
};
class EWriteError : public EStreamError {
 public:
  EWriteError() : EStreamError("Stream write error") {}
  explicit EWriteError(const std::string& message, int systemErrno = 0)
      : EStreamError(message, systemErrno) {}
};
// A packet whose header declares more bytes than this site can hold in one file.
class EPacketTooLarge : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// A seekable byte stream. Position and size are derived from Seek, so a stream that can
// only move forward (the inflating stream) still answers them the same way.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  int64_t GetPosition() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
  virtual int64_t GetSize();

  // Reads or writes exactly count bytes or raises EReadError / EWriteError.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);

  // Copies count bytes from source in pieces of at most 61440 bytes. A count of 0 means
  // "all of it": the source is rewound to 0 and its size measured first.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A file opened for reading, or created for writing (what stands there, a file or a link, is
// replaced, never written through: OpenNewFile).
class TFileStream : public TStream {
 public:
  enum TMode { fmOpenRead, fmCreate };
  TFileStream(const std::string& fileName, TMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

 private:
  int fd_ = -1;
};

// Bytes held in memory; read-only use (a packet blob already in memory).
class TMemoryStream : public TStream {
 public:
  explicit TMemoryStream(std::string data) : data_(std::move(data)) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  const std::string& Data() const { return data_; }

 private:
  std::string data_;
  int64_t position_ = 0;
};

// A zlib failure; the message is chosen by zlib's result code.
class EZLibError : public std::runtime_error {
 public:
  explicit EZLibError(int code);
  EZLibError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int Code() const { return code_; }

  static std::string MessageOf(int code);

 private:
  int code_;
};

class EZDecompressionError : public EZLibError {
 public:
  using EZLibError::EZLibError;
};

// The source stream and zlib's record shared by the inflating stream.
class TCustomZStream : public TStream {
 public:
  static constexpr int kBufferSize = 65536;

  explicit TCustomZStream(TStream& source);
  TCustomZStream(const TCustomZStream&) = delete;
  TCustomZStream& operator=(const TCustomZStream&) = delete;

 protected:
  TStream& source_;         // not owned: the creator frees it
  int64_t sourcePosition_;  // where the next compressed bytes are read
  z_stream zrec_{};
  std::unique_ptr<unsigned char[]> buffer_;
};

// Read-only stream of the bytes inflated from a zlib stream that starts at the source's
// position. Seeking backwards is possible only to 0 (a restart); Write always fails.
class TZDecompressionStream : public TCustomZStream {
 public:
  explicit TZDecompressionStream(TStream& source);
  ~TZDecompressionStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
};

// The most bytes of XML text that one packet may unpack to, unless the setting `maxpacketmb`
// says otherwise: far above real packets (60,000 rows are some 11 MB), far below what would
// exhaust a site's memory or disk.
inline constexpr uint64_t kDefaultMaxPacketBytes = uint64_t{64} << 20;

// Unpacks packet files: a 4-byte little-endian length followed by a zlib stream.
class TCompress {
 public:
  // maxBytes: the most bytes of XML text a packet may unpack to.
  explicit TCompress(uint64_t maxBytes = kDefaultMaxPacketBytes) : maxBytes_(maxBytes) {}

  // Writes the XML text of packet file source into dest (replaced when it exists). Every
  // file is closed again before this returns or raises, so the caller may copy or delete
  // both afterwards. A packet that declares more bytes than maxBytes, than the file size
  // limit allows or than dest's file system holds raises EPacketTooLarge before dest is made.
  // No more bytes than the length field declares are ever inflated: a stream that holds more
  // is cut there.
  void DecompressFile(const std::string& source, const std::string& dest);

 private:
  uint64_t maxBytes_;
};

}  // namespace v7
