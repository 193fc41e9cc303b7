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

// Compile-mode marks on tokens; they begin with a control character, so a word of the
// expression never looks like one.
inline constexpr const char* kLiteralMark =
    "\x03"
    "c";
inline constexpr const char* kVarMark =
    "\x03"
    "v";
inline constexpr const char* kPlaceholderMark =
    "\x03"
    "x";
inline constexpr std::string_view kMarkPrefixLiteral =
    "\x03"
    "c";
inline constexpr std::string_view kMarkPrefixVar =
    "\x03"
    "v";
inline constexpr std::string_view kMarkPrefixPlaceholder =
    "\x03"
    "x";
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
