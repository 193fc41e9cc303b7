// Opening balances of accounts, amount formatting with digit grouping and sign labels, and
// the stepping of one level of a hierarchical tree id.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "uQuorexEVAL.h"
#include "uValues.h"

namespace v7 {

namespace {

// The debit/credit field that goes with an opening-balance field ("" for none).
std::string DebitCreditField(const std::string& field) {
  const std::string lower = AsciiLower(field);
  if (lower == "mb1opbal") return "dbcr";
  if (lower == "mnopbal") return "dbcrnative";
  return "";
}

// A number text, 0 when it is empty or does not convert.
double NumberOr0(const std::string& text) {
  double v = 0;
  return TryParseNumber(text, v) ? v : 0.0;
}

// Steps 1 to 3 shared by both amount formats: the absolute amount with its decimals and,
// when asked, its digits grouped. The amount is read exactly and written in plain decimal
// digits: an exponent form ("1.5E-7", "1E15") would be cut like decimals, and an amount of
// 16 to 18 digits has more than a double's number text shows. Sign: -1, 0 or 1.
std::string AmountText(const std::string& amount, int decimals, const std::string& groupFlag,
                       const std::string& millionsFlag, int& sign) {
  TExactNumber n;
  if (!ParseExactNumber(amount, n))
    throw EConvertError("'" + amount + "' is not a valid floating point value");
  sign = n.Digits.empty() ? 0 : (n.Negative ? -1 : 1);
  n.Negative = false;
  std::string text = PlainNumberText(n);
  const size_t point = text.find('.');
  if (point != std::string::npos) {
    if (decimals > 0) {
      const size_t have = text.size() - point - 1;
      if (have > static_cast<size_t>(decimals)) {
        text.resize(point + 1 + static_cast<size_t>(decimals));
      } else {
        text.append(static_cast<size_t>(decimals) - have, '0');
      }
    }
  } else if (decimals > 0) {
    text += "." + std::string(static_cast<size_t>(decimals), '0');
  }
  if (AsciiLower(groupFlag) == "t") text = TQuorexEVAL::GroupDigits(text, millionsFlag);
  return text;
}

}  // namespace

std::string TQuorexEVAL::CurrencyText(double value) { return FormatCurrency(value); }

std::string TQuorexEVAL::ActTreeOpBal(const std::string& field) {
  if (StoreData == nullptr) throw std::runtime_error("No document is linked to the evaluator");
  TStoreData& store = *StoreData;
  double result = 0;
  const std::string onSave = AsciiLower(VarText("onsave"));
  const std::string dbRep = VarText("dbrep");
  const std::string crRep = VarText("crrep");
  const std::string dcField = DebitCreditField(field);
  const int dcIndex = dcField.empty() ? -1 : store.IndexOfValue(dcField, 1);
  const std::string dcText = dcIndex < 0 ? "" : store.Values[static_cast<size_t>(dcIndex)].Value;

  double amount = 0;
  if (UseStoreData == 1) {
    amount = NumberOr0(store.GetValue(TrimText(field), 1));
  } else if (OnGetFieldValue) {
    std::string text;
    long double id = 0;
    OnGetFieldValue(field, 1, id, text);
    amount = NumberOr0(text);
  }

  const auto hostNumber = [this](const std::string& name) {
    std::string text;
    long double id = 0;
    if (OnGetFieldValue) OnGetFieldValue(name, 1, id, text);
    return NumberOr0(text);
  };

  if (onSave == "i") {
    result = amount;
    if (!dcField.empty()) {
      const TFld* f = store.StructDef ? store.StructDef->GetField(dcField) : nullptr;
      store.AddFieldValue(dcField, "c", f ? f->savetablename : "", amount < 0 ? crRep : dbRep, "",
                          1, 0, 0, 1, 0, false);
    }
  } else if (onSave == "s") {
    result = AsciiLower(dcText) == AsciiLower(dbRep) ? std::fabs(amount) : -amount;
  } else if (onSave == "l") {
    if (dcIndex >= 0 && dcText.empty()) {
      store.Values[static_cast<size_t>(dcIndex)].Value = amount < 0 ? crRep : dbRep;
    }
    result = std::fabs(amount);
  } else {
    result = hostNumber(field);
    if (field == "mb1opbal" && VarText("recordid") == "0" && hostNumber("mnopbal") == 0 &&
        OnSetFieldValue) {
      OnSetFieldValue(field, 1, FormatNumber(result));
    }
  }
  return CurrencyText(result);
}

std::string TQuorexEVAL::ValidateOpBal(const std::string& field) {
  const std::string onSave = VarText("onsave");
  if (onSave == "l" || onSave == "i") return "T";
  const bool group = AsciiLower(VarText("mstatus")) == "g";
  if (onSave == "s") {
    return group && FieldChanged(field, 1) == "T" ? "Cannot modify opening balance for groups"
                                                  : "T";
  }
  if (StoreData == nullptr) throw std::runtime_error("No document is linked to the evaluator");
  const std::string text = VarText(field);
  const double amount = text.empty() ? 0 : ParseNumber(text);
  if (amount < 0) return "Cannot enter negative values";
  if (group && VarText("recordid") == "0" && amount != 0) {
    return "Cannot enter opening balance for groups";
  }
  const int i = StoreData->IndexOfValue(field, 1);
  const double old =
      i < 0 ? 0 : std::fabs(NumberOr0(StoreData->Values[static_cast<size_t>(i)].OldValue));
  if (old != amount && group) return "Cannot modify opening balance for groups";

  std::string accountClass;
  std::string dcText;
  const std::string dcField = DebitCreditField(field);
  long double id = 0;
  if (OnGetFieldValue) {
    OnGetFieldValue("malie", 1, id, accountClass);
    OnGetFieldValue(dcField, 1, id, dcText);
  }
  if (dcText.empty() && OnSetFieldValue) {
    if (accountClass == "a" || accountClass == "e") {
      OnSetFieldValue(dcField, 1, VarText("dbrep"));
    } else if (accountClass == "i" || accountClass == "l") {
      OnSetFieldValue(dcField, 1, VarText("crrep"));
    }
  }
  return "T";
}

std::string TQuorexEVAL::FormatAmount(const std::string& amount, int decimals,
                                      const std::string& groupFlag, const std::string& millionsFlag,
                                      const std::string& negativeLabel,
                                      const std::string& positiveLabel) {
  int sign = 0;
  std::string text = AmountText(amount, decimals, groupFlag, millionsFlag, sign);
  if (negativeLabel == "br" || positiveLabel == "br") {
    return sign < 0 ? "(" + text + ")" : text;
  }
  text += " " + (sign < 0 ? negativeLabel : positiveLabel);
  return TrimText(text);
}

std::string TQuorexEVAL::FormatAccAmount(const std::string& amount, int decimals,
                                         const std::string& groupFlag,
                                         const std::string& millionsFlag,
                                         const std::string& accountClass,
                                         const std::string& label) {
  int sign = 0;
  const std::string text = AmountText(amount, decimals, groupFlag, millionsFlag, sign);
  const std::string cls = AsciiLower(TrimText(accountClass));
  const std::string lbl = AsciiLower(label);
  const bool marked =
      ((cls == "a" || cls == "e") && sign < 0) || ((cls == "l" || cls == "i") && sign > 0);
  if (!marked) return text;
  return lbl == "br" ? "(" + text + ")" : text + " " + lbl;
}

std::string TQuorexEVAL::GroupDigits(const std::string& text, const std::string& millionsFlag) {
  std::string s;
  for (char c : TrimText(text)) {
    if (c != ',') s += c;
  }
  std::string sign;
  if (!s.empty() && s[0] == '-') {
    sign = "-";
    s.erase(0, 1);
  }
  const size_t size = AsciiLower(millionsFlag) == "t" ? 3 : 2;
  const size_t point = std::min(s.find('.'), s.size());
  if (point <= 3) return sign + s;
  std::string result = s.substr(point - 3);
  std::string rest = s.substr(0, point - 3);
  while (rest.size() >= size) {
    result = rest.substr(rest.size() - size) + "," + result;
    rest.resize(rest.size() - size);
  }
  if (!rest.empty()) result = rest + "," + result;
  return sign + result;
}

std::string TQuorexEVAL::MakeTreeId(const std::string& treeId, int level) {
  if (level < 1 || static_cast<size_t>(level) * 2 > treeId.size()) {
    throw std::out_of_range("Tree id " + treeId + " has no level " + std::to_string(level));
  }
  const size_t at = static_cast<size_t>(level) * 2 - 2;
  unsigned value =
      (static_cast<unsigned char>(treeId[at]) << 8u) | static_cast<unsigned char>(treeId[at + 1]);
  value = (value + 1) & 0xFFFFu;
  if ((value & 0xFFu) == 0) value |= 1u;
  std::string result = treeId;
  result[at] = static_cast<char>(value >> 8u);
  result[at + 1] = static_cast<char>(value & 0xFFu);
  return result;
}

}  // namespace v7
