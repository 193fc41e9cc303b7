// Packet files and the inflating stream, on real files.
#include <gtest/gtest.h>

#include <filesystem>

#include "PacketFixtures.h"
#include "uZStream.h"

using namespace v7;
using v7test::PacketBytes;
using v7test::ReadFile;
using v7test::TempDir;
using v7test::WriteFile;

namespace {

int OpenFileCount() {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

std::string BigXml() {
  std::string xml = "<rows table=\"item\">";
  for (int i = 0; i < 20000; ++i)
    xml += "<r recordid=\"" + std::to_string(i) + "\"><name type=\"c\">Item " +
           std::to_string(i * 7919 % 1000) + "</name></r>";
  return xml + "</rows>";
}

// Unpacks bytes as a packet file; returns the error text, empty on success.
std::string Unpack(const TempDir& dir, const std::string& bytes, std::string* xml = nullptr,
                   uint64_t maxBytes = kDefaultMaxPacketBytes) {
  WriteFile(dir.file("p.pkt"), bytes);
  std::string error;
  try {
    TCompress(maxBytes).DecompressFile(dir.file("p.pkt"), dir.file("p.xml"));
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (xml && std::filesystem::exists(dir.file("p.xml"))) *xml = ReadFile(dir.file("p.xml"));
  return error;
}

}  // namespace

TEST(PacketFile, UnpacksLargeXmlAcrossBufferRefillsAndIgnoresTrailingBytes) {
  TempDir dir;
  const std::string xml = BigXml();
  ASSERT_GT(xml.size(), 200000u);
  std::string out;
  EXPECT_EQ(Unpack(dir, PacketBytes(xml, std::nullopt, "TRAILING GARBAGE"), &out), "");
  EXPECT_EQ(out, xml);
  // An existing XML file is replaced, not appended to.
  EXPECT_EQ(Unpack(dir, PacketBytes("<a/>"), &out), "");
  EXPECT_EQ(out, "<a/>");
}

TEST(PacketFile, BrokenPacketsFailWithTheirMessageAndReleaseEveryFile) {
  TempDir dir;
  const std::string xml = "<rows table=\"item\"><r recordid=\"1\"/></rows>";
  const std::string good = PacketBytes(xml);
  const int before = OpenFileCount();
  std::string out;

  // Length 0 means "everything": the restart rewinds to the length field itself.
  EXPECT_EQ(Unpack(dir, PacketBytes(xml, 0u)), "data error");
  EXPECT_EQ(Unpack(dir, good.substr(0, good.size() - 6), &out), "Stream read error");
  std::string corrupt = good;
  corrupt[8] ^= 0x5a;
  corrupt[9] ^= 0xa5;
  EXPECT_EQ(Unpack(dir, corrupt), "data error");
  std::filesystem::remove(dir.file("p.xml"));
  EXPECT_EQ(Unpack(dir, std::string("\x01\x02\x03", 3)),
            "Invalid packet file: shorter than its 4-byte length");
  EXPECT_FALSE(std::filesystem::exists(dir.file("p.xml")));
  EXPECT_EQ(Unpack(dir, ""), "Invalid packet file: shorter than its 4-byte length");
  // A length field beyond the text fails; a smaller one cuts the text.
  EXPECT_EQ(Unpack(dir, PacketBytes(xml, xml.size() + 1)), "Stream read error");
  EXPECT_EQ(Unpack(dir, PacketBytes(xml, 5u), &out), "");
  EXPECT_EQ(out, "<rows");
  EXPECT_EQ(Unpack(dir, std::string("\x05\0\0\0not zlib at all", 20)), "data error");
  // A packet may unpack to no more than the limit: one that declares more is refused before
  // anything is made, and one whose stream holds more than it declares is cut where it says.
  std::filesystem::remove(dir.file("p.xml"));
  EXPECT_EQ(Unpack(dir, PacketBytes(xml, (64u << 20) + 1)),
            "The packet unpacks to 67108865 bytes, more than the limit of 67108864 bytes for one "
            "packet (setting maxpacketmb)");
  EXPECT_FALSE(std::filesystem::exists(dir.file("p.xml")));
  EXPECT_EQ(Unpack(dir, PacketBytes(xml), nullptr, xml.size() - 1).substr(0, 40),
            "The packet unpacks to " + std::to_string(xml.size()) + " bytes, more tha");
  EXPECT_FALSE(std::filesystem::exists(dir.file("p.xml")));
  EXPECT_EQ(Unpack(dir, PacketBytes(xml), &out, xml.size()), "");
  EXPECT_EQ(out, xml);
  EXPECT_EQ(Unpack(dir, PacketBytes(std::string(8 << 20, ' '), 1000), &out, 4096), "");
  EXPECT_EQ(out, std::string(1000, ' '));
  // A stream that asks for a preset dictionary fails instead of spinning without progress.
  EXPECT_EQ(Unpack(dir, std::string("\x05\0\0\0\x78\xbb\0\0\0\x01xyz", 13)), "need dictionary");

  // A full disk (as a file size limit) is named as the cause of the write error.
  WriteFile(dir.file("p.pkt"), good);
  try {
    TCompress().DecompressFile(dir.file("p.pkt"), "/dev/full");
    ADD_FAILURE() << "no write error";
  } catch (const EWriteError& e) {
    EXPECT_STREQ(e.what(), "Stream write error: No space left on device");
  }

  EXPECT_EQ(OpenFileCount(), before);
  std::filesystem::remove(dir.file("p.pkt"));
  EXPECT_THROW(TCompress().DecompressFile(dir.file("p.pkt"), dir.file("p.xml")), EFOpenError);
}

TEST(ZDecompressionStream, StopsAtStreamEndSeeksOnlyForwardAndRestartsAtZero) {
  const std::string xml = BigXml();
  const std::string packet = PacketBytes(xml, std::nullopt, "TAIL").substr(4);
  TMemoryStream source(packet);
  TZDecompressionStream z(source);
  // The size is measured by reading to the end and restarting.
  EXPECT_EQ(z.GetSize(), static_cast<int64_t>(xml.size()));
  EXPECT_EQ(z.Seek(20000, TSeekOrigin::soBeginning), 20000);
  std::string out(xml.size(), '\0');
  EXPECT_EQ(z.Read(out.data(), static_cast<int64_t>(out.size())),
            static_cast<int64_t>(xml.size() - 20000));
  EXPECT_EQ(out.substr(0, xml.size() - 20000), xml.substr(20000));
  // Past the end nothing more comes, and the source stands right after the zlib stream.
  EXPECT_EQ(z.Read(out.data(), 1), 0);
  char tail[5] = {};
  EXPECT_EQ(source.Read(tail, 5), 4);
  EXPECT_STREQ(tail, "TAIL");

  for (auto [offset, origin] : {std::pair{int64_t{5}, TSeekOrigin::soBeginning},
                                {int64_t{-1}, TSeekOrigin::soCurrent},
                                {int64_t{-5}, TSeekOrigin::soEnd}}) {
    try {
      z.Seek(offset, origin);
      ADD_FAILURE() << "seek accepted";
    } catch (const EZDecompressionError& e) {
      EXPECT_STREQ(e.what(), "Invalid ZStream operation!");
    }
  }
  EXPECT_THROW(z.Write(tail, 1), EZDecompressionError);
  EXPECT_EQ(z.Seek(0, TSeekOrigin::soBeginning), 0);
  z.ReadBuffer(out.data(), 10);
  EXPECT_EQ(out.substr(0, 10), xml.substr(0, 10));
  // Skipping past the end is a short read.
  EXPECT_THROW(z.Seek(static_cast<int64_t>(xml.size()), TSeekOrigin::soCurrent), EReadError);
}
