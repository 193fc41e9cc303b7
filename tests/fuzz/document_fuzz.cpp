// Document packets from the network, fuzzed: any XML goes through Postdata into the document
// engine on a copy of the sample product (its transaction types, masters and stored
// documents). The copy is made afresh every few hundred inputs so that what earlier inputs
// wrote does not pile up. Neither Postdata nor the engine may crash or raise.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uPacket.h"
#include "uPostDocument.h"
#include "uRegistry.h"
#include "uSqliteBackend.h"

namespace fs = std::filesystem;

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fixture script: one statement per ";" at a line end, "--" lines are comments.
void RunScript(v7::TDbBackend& db, const std::string& fileName) {
  std::string statement;
  for (const std::string& line : v7::SplitTextLines(ReadText(std::string(V7_FIXTURES_DIR) + "/" +
                                                             fileName))) {
    const std::string trimmed = v7::TrimStr(line);
    if (trimmed.rfind("--", 0) == 0) continue;
    statement += line + "\n";
    if (!trimmed.empty() && trimmed.back() == ';') {
      db.Execute(statement);
      statement.clear();
    }
  }
  if (!v7::TrimStr(statement).empty()) db.Execute(statement);
}

struct DocumentSite {
  std::string folder;
  std::string pristine;
  std::string dbFile;
  std::unique_ptr<v7::TDBManager> manager;
  std::vector<std::string> fieldNames;
  v7::TPacketTarget target;
  int runs = 0;

  DocumentSite() {
    char tmpl[] = "/tmp/v7documentfuzz-XXXXXX";
    folder = mkdtemp(tmpl);
    fs::create_directories(folder + "/data");
    pristine = folder + "/pristine.mdb";
    dbFile = folder + "/data/site.mdb";
    {
      v7::TSqliteBackend db;
      db.Open(pristine);
      RunScript(db, "site_schema.sql");
      RunScript(db, "sample_product.sql");
      RunScript(db, "sample_documents.sql");
    }
    v7::TRegistry registry(folder + "/registry.ini");
    registry.OpenKey("SOFTWARE\\STELLOCK\\QUOREX", true);
    registry.WriteString("SERVERPATH", folder + "/data/");
    registry.OpenKey("SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV", true);
    registry.WriteString("DBQ", dbFile);
    registry.CloseKey();
    std::ofstream(folder + "/Dbconnections.ini")
        << "[site]\nProject=site\nDbType=access\nDriver=ado\n";
    v7::SetConfigFolder(folder);
    // No "v7rm.ini" here: tracing stays off.
    if (chdir(folder.c_str()) != 0) abort();
    target.NewQuery = [this] { return manager->NewQuery(); };
    target.PostDocument = [this](const pugi::xml_document& doc, std::string& err) {
      v7::TDocumentPacketTarget document;
      document.dbManager = manager.get();
      document.projectName = "site";
      document.fieldNames = &fieldNames;
      v7::PostDocumentPacket(doc, document, err);
    };
    Reset();
  }
  ~DocumentSite() {
    manager.reset();
    std::error_code ec;
    fs::remove_all(folder, ec);
  }

  void Reset() {
    manager.reset();
    fs::copy_file(pristine, dbFile, fs::copy_options::overwrite_existing);
    manager = std::make_unique<v7::TDBManager>();
    if (!manager->Connect("site") || !manager->ErrorText.empty()) abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static DocumentSite site;
  if (++site.runs % 500 == 0) site.Reset();
  const std::string xml = site.folder + "/p.xml";
  {
    std::ofstream out(xml, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::string err;
  v7::Postdata(xml, site.target, err);
  return 0;
}
