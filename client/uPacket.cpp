// Packets arrive from the network: names that go into SQL are checked before use, and a
// failure of any kind ends as an error text, never as an exception out of Postdata.
#include "uPacket.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <pugixml.hpp>

#include "uDBManager.h"
#include "uTextEncoding.h"
#include "uXDS.h"
#include "uXmlText.h"

namespace v7 {

namespace {

void TraceTo(const TPacketTarget& target, const std::string& text) {
  if (target.Trace) target.Trace(text);
}

// The element children of a node, in document order (comments and text are no rows).
template <class F>
void ForEachElement(const pugi::xml_node& parent, F&& visit) {
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element) visit(child);
}

// The reason a table packet may not be applied, empty when it may.
std::string CheckTablePacket(const pugi::xml_node& root, const std::string& table) {
  if (!IsPacketIdentifier(table)) return "Invalid table name in packet: \"" + table + "\"";
  std::string problem;
  ForEachElement(root, [&](const pugi::xml_node& row) {
    if (!problem.empty()) return;
    const std::string id = row.attribute("recordid").value();
    if (!IsPacketNumber(id)) {
      problem = "Invalid record id in packet: \"" + id + "\"";
      return;
    }
    ForEachElement(row, [&](const pugi::xml_node& column) {
      if (problem.empty() && !IsPacketIdentifier(column.name()))
        problem = "Invalid column name in packet: \"" + std::string(column.name()) + "\"";
    });
  });
  return problem;
}

// A character reference (&#N; or &#xH;) names a character, and only one that XML text may
// hold: the parser would store a surrogate or a number beyond U+10FFFF as bytes that are no
// UTF-8, cut the text at &#0; and wrap an overlong number. The first reference that names
// no such character is the packet's failure; references stand only in text and attribute
// values, so comments, CDATA sections and processing instructions are passed over.
std::string CheckCharacterReferences(const std::string& text) {
  const auto skipPast = [&](size_t& at, const char* end) {
    const size_t found = text.find(end, at);
    at = found == std::string::npos ? text.size() : found + std::strlen(end);
  };
  for (size_t at = 0; at < text.size();) {
    if (text.compare(at, 4, "<!--") == 0) {
      skipPast(at, "-->");
    } else if (text.compare(at, 9, "<![CDATA[") == 0) {
      skipPast(at, "]]>");
    } else if (text.compare(at, 2, "<?") == 0) {
      skipPast(at, "?>");
    } else if (text.compare(at, 2, "&#") == 0) {
      const bool hex = at + 2 < text.size() && text[at + 2] == 'x';
      size_t i = at + (hex ? 3 : 2);
      const size_t digits = i;
      uint32_t code = 0;  // held at 0x110000 once beyond every character: no overflow
      for (; i < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[i]))
                                     : std::isdigit(static_cast<unsigned char>(text[i])));
           ++i) {
        const uint32_t d = static_cast<uint32_t>(
            std::isdigit(static_cast<unsigned char>(text[i]))
                ? text[i] - '0'
                : std::tolower(static_cast<unsigned char>(text[i])) - 'a' + 10);
        code = std::min<uint32_t>(code * (hex ? 16 : 10) + d, 0x110000);
      }
      const bool closed = i > digits && i < text.size() && text[i] == ';';
      const bool isChar = code == 0x9 || code == 0xA || code == 0xD ||
                          (code >= 0x20 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) ||
                          (code >= 0x10000 && code <= 0x10FFFF);
      if (!closed || !isChar) {
        const size_t end = std::min(text.find(';', at), std::min(text.size(), at + 24));
        return "Invalid character reference \"" + text.substr(at, end - at + (closed ? 1 : 0)) +
               "\" at offset " + std::to_string(at);
      }
      at = i + 1;
    } else {
      ++at;
    }
  }
  return "";
}

// The bytes of a file, read into a string of its size.
std::string FileBytes(const std::string& fileName) {
  std::ifstream file(fileName, std::ios::binary | std::ios::ate);
  if (!file.is_open()) throw std::runtime_error("Cannot read file \"" + fileName + "\"");
  const std::streamoff size = file.tellg();
  if (size < 0 || !file.seekg(0)) throw std::runtime_error("Cannot read file \"" + fileName + "\"");
  std::string bytes(static_cast<size_t>(size), '\0');
  if (!file.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
    throw std::runtime_error("Cannot read file \"" + fileName + "\"");
  return bytes;
}

}  // namespace

bool IsPacketIdentifier(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (!(std::isalnum(c) && c < 0x80) && c != '_') return false;
  return true;
}

bool IsPacketNumber(const std::string& text) {
  size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  const size_t digitsStart = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digitsStart) return false;
  if (i < text.size() && text[i] == '.') {
    const size_t fractionStart = ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == fractionStart) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t exponentStart = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == exponentStart) return false;
  }
  return i == text.size();
}

void PostTableData(const pugi::xml_document& doc, const TPacketTarget& target, std::string& err) {
  err.clear();
  const pugi::xml_node root = doc.document_element();
  const std::string table = root.attribute("table").value();
  err = CheckTablePacket(root, table);
  if (!err.empty()) return;
  try {
    // One query object serves every row; no transaction: each row takes effect on its own.
    std::unique_ptr<TXDS> query = target.NewQuery();
    ForEachElement(root, [&](const pugi::xml_node& row) {
      // A whole id goes into the statement with every digit and without an exponent, which
      // an engine would read as a rounded floating-point number.
      const std::string written = row.attribute("recordid").value();
      const long double id = StrToRecordId(written);
      const std::string condition =
          table + "id=" + (id == std::floor(id) ? TDBManager::RecordIdToStr(id) : written);
      if (std::strcmp(row.attribute("deltrans").value(), "true") == 0) {
        query->DeleteRecords(table, condition);
        return;
      }
      ForEachElement(row, [&](const pugi::xml_node& column) {
        query->SetValue(column.name(), XmlElementText(column), column.attribute("type").value());
      });
      query->InsertOrUpdate(table, condition);
    });
    query->Close();
  } catch (const std::exception& e) {
    err = e.what();
  }
}

void Postdata(const std::string& fileName, const TPacketTarget& target, std::string& err) {
  err.clear();
  const int savedSiteNo = SiteNo;
  TakeSiteFailure();  // one of earlier work is no failure of this packet
  try {
    TraceTo(target, "# 1#Executing Postdata");
    TraceTo(target, "# 1#Reading file " + fileName);
    // Every text reaches the database as UTF-8, whatever code page the packet was written in.
    // The file's bytes go as soon as they are converted, and the parser works in the text
    // itself: a packet costs a small multiple of its text, not one copy for each stage.
    std::string text;
    try {
      text = XmlToUtf8(FileBytes(fileName));
    } catch (const ETextEncodingError& e) {
      throw ETextEncodingError(std::string(e.what()) + " of \"" + fileName + "\"");
    }
    if (const std::string bad = CheckCharacterReferences(text); !bad.empty())
      throw std::runtime_error(bad + " of \"" + fileName + "\"");
    pugi::xml_document doc;
    // As a fragment, so that text or a second element beside the root is seen and refused
    // instead of being dropped silently.
    const pugi::xml_parse_result parsed = doc.load_buffer_inplace(
        text.data(), text.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
    if (!parsed)
      throw std::runtime_error(std::string(parsed.description()) + " at offset " +
                               std::to_string(parsed.offset) + " of \"" + fileName + "\"");
    int elements = 0;
    for (pugi::xml_node node = doc.first_child(); node; node = node.next_sibling()) {
      if (node.type() == pugi::node_element) ++elements;
      if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata || elements > 1)
        throw std::runtime_error("Invalid XML: more than one root element or text beside it in \"" +
                                 fileName + "\"");
    }
    if (elements == 0) {
      TraceTo(target, "# 1#File is empty.");
      SiteNo = savedSiteNo;
      return;
    }
    if (*doc.document_element().attribute("table").value() != '\0') {
      PostTableData(doc, target, err);
    } else if (target.PostDocument) {
      target.PostDocument(doc, err);
    } else {
      err = kNoDocumentEngine;
    }
  } catch (const std::exception& e) {
    err = e.what();
  }
  if (!err.empty()) TraceTo(target, "# 1#Error " + err);
  SiteNo = savedSiteNo;
  // Asked of the database layer, not of err: a failure of the site may have been trapped or
  // worded anew on its way up (an expression's function, a validation message).
  const std::string siteFailure = TakeSiteFailure();
  if (!err.empty() && !siteFailure.empty()) throw ESiteFailure(siteFailure);
}

}  // namespace v7
