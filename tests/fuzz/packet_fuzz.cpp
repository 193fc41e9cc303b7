// Packets from the network, fuzzed: unpacking a packet file and applying the XML it holds (or
// the input itself as XML) as a table packet to an in-memory SQLite site. Neither may crash;
// Postdata may never raise; no packet unpacks to more than a packet may. The seeds are real
// packets, packed at fuzz time by packet_corpus.py.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "uGeneralFunctions.h"
#include "uPacket.h"
#include "uSqliteBackend.h"
#include "uXDS.h"
#include "uZStream.h"

namespace {

struct Site {
  std::shared_ptr<v7::TSqliteBackend> db = std::make_shared<v7::TSqliteBackend>();
  std::string folder;
  v7::TPacketTarget target;
  int runs = 0;

  Site() {
    char tmpl[] = "/tmp/v7packetfuzz-XXXXXX";
    folder = mkdtemp(tmpl);
    db->Open(":memory:");
    db->Execute(
        "create table item (itemid numeric primary key, itemname varchar(60), "
        "price double precision, added date)");
    v7::DbDateTemplate = "format(':value', 'dd/mm/yyyy hh:nn:ss')";
    target.NewQuery = [this] { return std::make_unique<v7::TXDS>("ado", db, nullptr, "access"); };
  }
  ~Site() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
};

void Write(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

// What one packet may unpack to here: lower than the client's default, so that inputs of a
// few kilobytes (which inflate to some megabytes) reach it.
constexpr uint64_t kMaxBytes = uint64_t{1} << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Site site;
  if (size == 0) return 0;
  if (++site.runs % 1000 == 0) site.db->Execute("delete from item");
  const std::string packet = site.folder + "/p.pkt";
  const std::string xml = site.folder + "/p.xml";
  std::error_code ec;
  std::filesystem::remove(xml, ec);
  // An input that starts like XML is applied as it is; anything else is a packet file.
  if (data[0] == '<') {
    Write(xml, data, size);
  } else {
    Write(packet, data, size);
    try {
      v7::TCompress(kMaxBytes).DecompressFile(packet, xml);
    } catch (const std::exception&) {
      // A broken packet file is an ordinary outcome here.
    }
    if (std::filesystem::exists(xml, ec) && std::filesystem::file_size(xml, ec) > kMaxBytes)
      abort();
  }
  if (std::filesystem::exists(xml, ec)) {
    std::string err;
    v7::Postdata(xml, site.target, err);
  }
  return 0;
}
