// The text of an XML element as its writer meant it, for every reader of packets and mail
// requests.
#pragma once

#include <pugixml.hpp>
#include <string>

namespace v7 {

// Every text and CDATA child of the element joined in order; comments and processing
// instructions between them are passed over. pugixml's own text() stops at the first such
// node and would cut "a<![CDATA[<b>]]>c" to "a".
inline std::string XmlElementText(const pugi::xml_node& element) {
  std::string text;
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
      text += child.value();
  return text;
}

}  // namespace v7
