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
std::string Unpack(const TempDir& dir, const std::string& bytes, std::string* xml = nullptr) {
  WriteFile(dir.file("p.pkt"), bytes);
  std::string error;
  try {
    TCompress().DecompressFile(dir.file("p.pkt"), dir.file("p.xml"));
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

  EXPECT_EQ(OpenFileCount(), before);
  std::filesystem::remove(dir.file("p.pkt"));
  EXPECT_THROW(TCompress().DecompressFile(dir.file("p.pkt"), dir.file("p.xml")), EFOpenError);
}

TEST(ZDecompressionStream, StopsAtStreamEndAndLeavesSourceAfterIt) {
  const std::string xml = BigXml();
  const std::string packet = PacketBytes(xml, std::nullopt, "TAIL");
  TMemoryStream source(packet);
  source.SetPosition(4);
  TZDecompressionStream z(source);
  std::string out(xml.size() + 100, '\0');
  EXPECT_EQ(z.Read(out.data(), static_cast<int64_t>(out.size())), static_cast<int64_t>(xml.size()));
  out.resize(xml.size());
  EXPECT_EQ(out, xml);
  char c;
  EXPECT_EQ(z.Read(&c, 1), 0);
  EXPECT_EQ(source.GetPosition(), static_cast<int64_t>(packet.size() - 4));
  char tail[4];
  EXPECT_EQ(source.Read(tail, 4), 4);
  EXPECT_EQ(std::string(tail, 4), "TAIL");
}

TEST(ZDecompressionStream, SeeksForwardByReadingAndRestartsOnlyAtZero) {
  const std::string xml = BigXml();
  // A zlib stream at the source's first byte, so a restart can be read again.
  std::string packet = PacketBytes(xml).substr(4);
  TMemoryStream source(packet);
  TZDecompressionStream z(source);
  EXPECT_EQ(z.Seek(100, TSeekOrigin::soCurrent), 100);
  EXPECT_EQ(z.Seek(20000, TSeekOrigin::soBeginning), 20000);
  char buf[10];
  z.ReadBuffer(buf, 10);
  EXPECT_EQ(std::string(buf, 10), xml.substr(20000, 10));

  // Backwards, from the end by a distance, and writing are refused.
  for (auto seek : {std::pair<int64_t, TSeekOrigin>{5, TSeekOrigin::soBeginning},
                    {-1, TSeekOrigin::soCurrent},
                    {-5, TSeekOrigin::soEnd}}) {
    try {
      z.Seek(seek.first, seek.second);
      ADD_FAILURE() << "seek accepted";
    } catch (const EZDecompressionError& e) {
      EXPECT_STREQ(e.what(), "Invalid ZStream operation!");
    }
  }
  EXPECT_THROW(z.Write(buf, 1), EZDecompressionError);

  EXPECT_EQ(z.Seek(0, TSeekOrigin::soBeginning), 0);
  // The size is measured by reading to the end and restarting.
  EXPECT_EQ(z.GetSize(), static_cast<int64_t>(xml.size()));
  z.ReadBuffer(buf, 10);
  EXPECT_EQ(std::string(buf, 10), xml.substr(0, 10));
  // Skipping past the end is a short read.
  EXPECT_THROW(z.Seek(static_cast<int64_t>(xml.size()), TSeekOrigin::soCurrent), EReadError);
}
