// The operator parser: infix to postfix by input and stack priorities, the postfix stack,
// and the binary operators with the type rules of the number, text and date contexts.
#include <cstring>

#include "UParse.h"
#include "uEvalMarks.h"
#include "uValues.h"

namespace v7 {

namespace {

// Comparisons bind tightest and group from the right; "|" binds loosest.
int OperatorInPriority(char c) {
  switch (c) {
    case ')':
      return 0;
    case '(':
      return 13;
    case '|':
      return 1;
    case '&':
      return 3;
    case '+':
    case '-':
      return 5;
    case '*':
    case '/':
      return 7;
    case '>':
    case '=':
    case '<':
    case '#':
    case '$':
      return 10;
    default:
      return 11;
  }
}

int OperatorStackPriority(char c) {
  switch (c) {
    case '(':
      return 0;
    case '|':
      return 2;
    case '&':
      return 4;
    case '+':
    case '-':
      return 6;
    case '*':
    case '/':
      return 8;
    case '>':
    case '=':
    case '<':
    case '#':
    case '$':
      return 9;
    default:
      return 12;
  }
}

// "^" has a priority of its own although it is no operator character: it only reaches the
// parser as a bare word.
bool IsCaretWord(std::string_view token, char type) { return type == 'n' && token == "^"; }

constexpr std::string_view kEmptyDate = "01/01/1900";

void SetTruth(std::string& result, bool value) { result.assign(value ? "1" : "0", 1); }

void SetNumber(std::string& result, double value) {
  char buffer[kNumberTextMax];
  result.assign(buffer, FormatNumberTo(value, buffer));
}

// "&" and "|" read the operand texts alike in every context; other operators leave the
// result as it was.
void ApplyLogic(char op, std::string_view left, std::string_view right, std::string& result) {
  if (op == '&') {
    SetTruth(result, left == "1" && right == "1");
  } else if (op == '|') {
    SetTruth(result, left == "1" || right == "1");
  }
}

}  // namespace

int TEVAL::InPriority(std::string_view token, char type) {
  if (type == kStructuralType && token.size() == 1) return OperatorInPriority(token[0]);
  return IsCaretWord(token, type) ? 10 : 11;
}

int TEVAL::StackPriority(std::string_view token, char type) {
  if (type == kStructuralType && token.size() == 1) return OperatorStackPriority(token[0]);
  return IsCaretWord(token, type) ? 9 : 12;
}

bool TEVAL::IsOperator(std::string_view token, char type) {
  return type == kStructuralType && token.size() == 1 && IsOperatorChar(token[0]);
}

void TEVAL::InfixToPostfix(std::vector<std::string>& tokenList, std::string& typeList) {
  Postfix.clear();
  OperandStack.clear();
  OperandStackTypes.clear();
  PostfixTypes.clear();
  tokenList.emplace_back(")");
  typeList.push_back(kStructuralType);
  OperandStack.emplace_back("(");
  OperandStackTypes.push_back(kStructuralType);
  for (size_t i = 0; i < tokenList.size(); ++i) {
    // A surplus ")" has emptied the stack: what Postfix holds so far is evaluated.
    if (OperandStack.empty()) {
      ShowMessage("Invalid Expression");
      break;
    }
    std::string& t = tokenList[i];
    const char y = typeList[i];
    const int in = InPriority(t, y);
    while (!OperandStack.empty() &&
           in < StackPriority(OperandStack.back(), OperandStackTypes.back())) {
      Postfix.push_back(std::move(OperandStack.back()));
      PostfixTypes.push_back(OperandStackTypes.back());
      OperandStack.pop_back();
      OperandStackTypes.pop_back();
    }
    if (!OperandStack.empty() &&
        in == StackPriority(OperandStack.back(), OperandStackTypes.back())) {
      OperandStack.pop_back();  // a "(" meets its ")"
      OperandStackTypes.pop_back();
    } else {
      OperandStack.push_back(std::move(t));
      OperandStackTypes.push_back(y);
    }
  }
}

void TEVAL::PrepareStack(size_t items) {
  Stack.clear();
  OpResult.clear();
  OpResultPending = false;
  // Sized before the walk: operands view these strings, which must not move.
  if (StackValues.size() < items) StackValues.resize(items);
  if (Stack.capacity() < items) Stack.reserve(items);
}

void TEVAL::PushOperand(std::string_view text, char type) { Stack.push_back({text, type}); }

void TEVAL::WriteOperandText(size_t place) {
  TOperand& operand = Stack[place];
  if (!operand.pending) return;
  std::string& slot = StackValues[place];
  SetNumber(slot, operand.value);
  operand.text = slot;
  operand.pending = false;
}

void TEVAL::WriteOpResultText() {
  if (!OpResultPending) return;
  SetNumber(OpResult, OpResultValue);
  OpResultPending = false;
}

namespace {

// The number an operand stands for in arithmetic, as ApplyOperator reads its text.
double OperandNumber(std::string_view text, bool pending, double number) {
  if (pending) return number;
  if (text == TEVAL::kEmptyMark || IsNullText(text)) return 0;
  return ParseNumber(text);
}

}  // namespace

void TEVAL::ApplyStackOperator(char op, char opType) {
  const size_t size = Stack.size();
  if (size == 0) throw EParserError("Invalid expression");
  // Arithmetic and comparison of numbers, the bulk of field expressions, work on the values
  // the operand texts read back as; a result whose text reads back without being written
  // (NumberTextReadBack) stays a number until its text is needed. Anything else goes
  // through the texts.
  const bool arithmetic = op == '+' || op == '-' || op == '*' || op == '/';
  if ((opType | 32) == 'n' && (arithmetic || op == '>' || op == '<' || op == '=' || op == '#')) {
    TOperand right{std::string_view(), 'v'};
    if (size >= 2) right = Stack[size - 1];
    const TOperand& left = Stack[size >= 2 ? size - 2 : size - 1];
    CurrentType = opType;
    const double l = OperandNumber(left.text, left.pending, left.number);
    const double r = OperandNumber(right.text, right.pending, right.number);
    Stack.resize(size >= 2 ? size - 2 : size - 1);
    std::string& slot = StackValues[Stack.size()];
    if (!arithmetic) {
      SetTruth(OpResult, op == '>' ? l > r : op == '<' ? l < r : op == '=' ? l == r : l != r);
      OpResultPending = false;
      slot = OpResult;
      Stack.push_back({slot, 'v'});
      return;
    }
    double v = 0;
    switch (op) {
      case '+':
        v = l + r;
        break;
      case '-':
        v = l - r;
        break;
      case '*':
        v = l * r;
        break;
      default:
        v = r == 0 ? 0 : l / r;
        break;
    }
    double readBack = 0;
    if (NumberTextReadBack(v, readBack)) {
      OpResultPending = true;
      OpResultValue = v;
      Stack.push_back({std::string_view(), 'v', true, readBack, v});
      return;
    }
    SetNumber(OpResult, v);
    OpResultPending = false;
    slot = OpResult;
    Stack.push_back({slot, 'v'});
    return;
  }
  if (size >= 2) WriteOperandText(size - 2);
  WriteOperandText(size - 1);
  WriteOpResultText();  // an operator without a meaning for its type leaves it as it was
  TOperand right{std::string_view(), 'v'};
  if (Stack.size() >= 2) {
    right = Stack.back();
    Stack.pop_back();
  }
  const TOperand left = Stack.back();
  Stack.pop_back();
  ApplyOperator(left.text, right.text, op, opType, OpResult);
  std::string& slot = StackValues[Stack.size()];
  slot = OpResult;
  Stack.push_back({slot, 'v'});
}

void TEVAL::StackResult(std::string& result) {
  if (Stack.size() == 1) {
    WriteOperandText(0);
    result.assign(Stack[0].text);
  } else {
    result.clear();
  }
}

void TEVAL::EvalPostfix(const std::vector<std::string>& postfixList, const std::string& typeList,
                        std::string& result) {
  // The operation type is that of the last typed operand met so far.
  char opType = 's';
  PrepareStack(postfixList.size());
  for (size_t i = 0; i < postfixList.size(); ++i) {
    const std::string& item = postfixList[i];
    const char type = typeList[i];
    if (IsOperator(item, type)) {
      ApplyStackOperator(item[0], opType);
    } else {
      PushOperand(item, type);
      if (!IsUntyped(type)) opType = type;
    }
  }
  StackResult(result);
}

void TEVAL::ApplyOperator(std::string_view left, std::string_view right, char op, char opType,
                          std::string& result) {
  CurrentType = opType;
  if ((opType | 32) == 's') opType = 'c';
  if (left == kEmptyMark) left = std::string_view();
  if (right == kEmptyMark) right = std::string_view();

  if ((opType | 32) == 'n') {
    if (IsNullText(left)) left = "0";
    if (IsNullText(right)) right = "0";
    const double l = ParseNumber(left);
    const double r = ParseNumber(right);
    switch (op) {
      case '+':
        SetNumber(result, l + r);
        break;
      case '-':
        SetNumber(result, l - r);
        break;
      case '*':
        SetNumber(result, l * r);
        break;
      case '/':
        if (r == 0) {
          result.assign("0", 1);
        } else {
          SetNumber(result, l / r);
        }
        break;
      case '>':
        SetTruth(result, l > r);
        break;
      case '<':
        SetTruth(result, l < r);
        break;
      case '=':
        SetTruth(result, l == r);
        break;
      case '#':
        SetTruth(result, l != r);
        break;
      default:
        ApplyLogic(op, left, right, result);  // "$" has no number meaning: the result stays
    }
    return;
  }

  if (opType == 'c') {
    if (IsNullText(left) && !TrimView(left).empty()) left = std::string_view();
    if (IsNullText(right) && !TrimView(right).empty()) right = std::string_view();
    switch (op) {
      case '+':
        result.assign(left);
        result.append(right);
        break;
      case '=':
        SetTruth(result, left == right);
        break;
      case '#':
        SetTruth(result, left != right);
        break;
      case '>':
        SetTruth(result, left.compare(right) > 0);
        break;
      case '<':
        SetTruth(result, left.compare(right) < 0);
        break;
      case '$':
        SetTruth(result, right.find(left) != std::string_view::npos);
        break;
      default:
        ApplyLogic(op, left, right, result);  // "-", "*", "/" have no text meaning
    }
    return;
  }

  if (opType == 'd') {
    // Empty, "null", or the mask of an empty date edit ("  /  /    ").
    const auto blankDate = [](std::string_view v) {
      return IsNullText(v) || TrimView(v) == "/  /";
    };
    if (blankDate(left)) left = kEmptyDate;
    if (blankDate(right)) right = kEmptyDate;
    switch (op) {
      case '+':
        SetNumber(result, ParseDateTimeSerial(left) + ParseDateTimeSerial(right));
        break;
      case '-':
        SetNumber(result, ParseDateTimeSerial(left) - ParseDateTimeSerial(right));
        break;
      case '>':
        SetTruth(result, ParseDateTimeSerial(left) > ParseDateTimeSerial(right));
        break;
      case '<':
        SetTruth(result, ParseDateTimeSerial(left) < ParseDateTimeSerial(right));
        break;
      case '=':
        SetTruth(result, left == right);
        break;
      case '#':
        SetTruth(result, left != right);
        break;
      default:
        ApplyLogic(op, left, right, result);  // "*", "/", "$" have no date meaning
    }
  }
  // Any other type leaves the result as it was.
}

}  // namespace v7
