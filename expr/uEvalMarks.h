// Token marks and kinds shared by the evaluator's units (scan, parser, compiled replay).
// Not for use outside this folder.
#pragma once

#include <string>
#include <string_view>

#include "UParse.h"

namespace v7 {

// Type letter of the tokens the scan makes itself: operators, brackets, commas and call
// marks. Only such tokens act as operators or separators: a value (a variable, a literal,
// a call result) that happens to read "+", "(" or "," stays an operand.
inline constexpr char kStructuralType = 'o';

// Compile-mode marks on tokens; they begin with a control character, so an ordinary word
// never looks like one.
inline constexpr std::string_view kLiteralMark = "\003c";
inline constexpr std::string_view kVarMark = "\003v";
inline constexpr std::string_view kPlaceholderMark = "\003x";
// How a call placeholder reads in a compiled record.
inline constexpr const char* kPlaceholderText = "_xcall";

inline bool IsOperatorChar(char c) {
  switch (c) {
    case '#':
    case '$':
    case '&':
    case '*':
    case '+':
    case '-':
    case '/':
    case '<':
    case '=':
    case '>':
    case '|':
      return true;
    default:
      return false;
  }
}

// 'v' and the scan's own tokens never set the type of an operation.
inline bool IsUntyped(char type) { return type == 'v' || type == kStructuralType; }

inline bool IsCallMark(std::string_view token, char type) {
  return type == kStructuralType && token.size() == 1 && token[0] == TEVAL::kCallMark;
}
inline bool IsEndCallMark(std::string_view token, char type) {
  return type == kStructuralType && token.size() == 1 && token[0] == TEVAL::kEndCallMark;
}
inline bool IsArgSeparator(std::string_view token, char type) {
  return type == kStructuralType && token == ",";
}

}  // namespace v7
