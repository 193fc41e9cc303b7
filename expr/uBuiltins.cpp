// The built-in function library: argument conversion, the routine each name reaches and the
// text of each answer.
#include "uBuiltins.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "uExprRoutines.h"
#include "uGeneralFunctions.h"
#include "uValues.h"

namespace v7 {

namespace {

using Args = TParamArray;

double Num(const std::string& s) { return ParseNumber(s); }
int Int(const std::string& s) { return ParseInteger(s); }
double Date(const std::string& s) { return ParseDateSerial(s); }
double DateTime(const std::string& s) { return ParseDateTimeSerial(s); }

// The largest magnitude a currency amount (a 64-bit count of ten-thousandths) holds.
constexpr double kMaxCurrency = 922337203685477.5807;

double CurrencyArg(const std::string& s) {
  const double v = Num(s);
  if (std::fabs(v) > kMaxCurrency) throw EConvertError("'" + s + "' is not a valid currency value");
  return RoundCurrency(v);
}

void Power(TEVAL&, const Args& a, std::string& r) {
  const double base = CurrencyArg(a[0]);
  const double exponent = CurrencyArg(a[1]);
  // A power that cannot be computed answers "0": that is what the function promises.
  const double p = std::pow(base, exponent);
  if (!std::isfinite(p) || std::fabs(p) > kMaxCurrency) {
    r = "0";
    return;
  }
  r = FormatCurrency(p);
}

// Val: a number text cleaned of commas, brackets for negatives and a trailing "Dr"/"Cr".
void Val(TEVAL&, const Args& a, std::string& r) {
  r = a[0].empty() ? "0" : a[0];
  r = StripCommas(r);
  if (!r.empty() && r[0] == '(') {
    const std::string inner = r.size() >= 2 ? r.substr(1, r.size() - 2) : "";
    r = FormatNumber(-Num(inner));
  }
  const size_t blank = r.find(' ');
  if (blank != std::string::npos) r = r.substr(0, blank);
}

void DatePart(const Args& a, std::string& r, int which) {
  int y, m, d;
  DecodeDateSerial(DateTime(a[0]), y, m, d);
  r = std::to_string(which == 0 ? d : which == 1 ? m : y);
}

// Bodies by name, in registration order.
struct Builtin {
  const char* name;
  char type;
  TFunctionBody body;
};

std::vector<Builtin> Library() {
  return {
      {"Power", 'n', Power},
      {"abs", 'n',
       [](TEVAL&, const Args& a, std::string& r) {
         r = FormatNumber(std::fabs(Num(TrimText(a[0]))));
       }},
      {"IsEmpty", 'c', [](TEVAL&, const Args& a, std::string& r) { r = TEVAL::IsEmpty(a[0]); }},
      {"IsEmptyValue", 'c',
       [](TEVAL&, const Args& a, std::string& r) { r = TEVAL::IsEmptyValue(a[0], a[1]); }},
      {"Upper", 'c', [](TEVAL&, const Args& a, std::string& r) { r = UpperText(a[0]); }},
      {"Lower", 'c', [](TEVAL&, const Args& a, std::string& r) { r = LowerText(a[0]); }},
      {"DTOC", 'c', [](TEVAL&, const Args& a, std::string& r) { r = DateText(DateTime(a[0])); }},
      {"CMonthYear", 'c',
       [](TEVAL& e, const Args& a, std::string& r) {
         const std::optional<std::string> text = MonthYearLong(DateTime(a[0]));
         if (text) {
           r = *text;
         } else {
           e.ShowMessage("Invalid Date ");
         }
       }},
      {"CTOD", 'd',
       [](TEVAL&, const Args& a, std::string& r) { r = FormatDateSerial(TextToDate(a[0])); }},
      {"MakeDate", 'd',
       [](TEVAL&, const Args& a, std::string& r) {
         const int d = Int(a[0]), m = Int(a[1]), y = Int(a[2]);
         double serial;
         r = TryEncodeDateSerial(y, m, d, serial) ? FormatDateSerial(serial) : "";
       }},
      {"Rnd", 'n',
       [](TEVAL&, const Args& a, std::string& r) {
         const double v = Num(a[0]);
         r = FormatNumber(RndValue(v, Int(a[1])));
       }},
      {"Stuff", 'n',
       [](TEVAL&, const Args& a, std::string& r) { r = Stuff(a[0], a[1], Int(a[2])); }},
      {"Round", 'n',
       [](TEVAL&, const Args& a, std::string& r) {
         const double v = Num(a[0]);
         r = FormatNumber(RoundValue(v, Int(a[1])));
       }},
      {"IIF", 'v',
       [](TEVAL&, const Args& a, std::string& r) { r = IIfValue(a[0] != "0", a[1], a[2]); }},
      {"AmtWord", 'c',
       [](TEVAL&, const Args& a, std::string& r) { r = AmountInWords(Num(a[0]), Millions); }},
      {"CurrAmtWord", 'c',
       [](TEVAL&, const Args& a, std::string& r) {
         const double amount = Num(a[0]);
         const bool flag = !a[3].empty() && (a[3][0] == 't' || a[3][0] == 'T');
         r = CurrAmountInWords(a[1], a[2], amount, flag, Int(a[4]), Millions);
       }},
      {"Val", 'n', Val},
      {"Str", 'c', [](TEVAL&, const Args& a, std::string& r) { r = NumberText(Num(a[0])); }},
      {"SubStr", 'c',
       [](TEVAL&, const Args& a, std::string& r) {
         const int start = Int(a[1]);
         r = SubStr(a[0], start, Int(a[2]));
       }},
      {"AddToDate", 'd',
       [](TEVAL&, const Args& a, std::string& r) {
         // Guarded as a whole: a date that cannot be read or added answers the fixed date.
         try {
           const double d = Date(a[0]);
           r = FormatDateSerial(AddDays(d, Int(a[1])));
         } catch (const std::exception&) {
           r = "01/01/1990";
         }
       }},
      {"Date", 'd', [](TEVAL&, const Args&, std::string& r) { r = FormatDateSerial(ExprNow()); }},
      {"Time", 's', [](TEVAL&, const Args&, std::string& r) { r = FormatTimeSerial(ExprNow()); }},
      {"Encode", 'c',
       [](TEVAL&, const Args& a, std::string&) {
         Int(a[0]);
         Int(a[1]);
         Int(a[2]);
       }},
      {"dayofdate", 'n', [](TEVAL&, const Args& a, std::string& r) { DatePart(a, r, 0); }},
      {"monthofdate", 'n', [](TEVAL&, const Args& a, std::string& r) { DatePart(a, r, 1); }},
      {"yearofdate", 'n', [](TEVAL&, const Args& a, std::string& r) { DatePart(a, r, 2); }},
      {"Convert", 'n',
       [](TEVAL&, const Args& a, std::string& r) {
         const double q = Num(a[0]);
         r = FormatNumber(ConvertUnits(q, Int(a[1])));
       }},
      {"RevConvert", 'n',
       [](TEVAL&, const Args& a, std::string& r) {
         const double v = Num(a[0]);
         r = FormatNumber(RevConvertUnits(v, Int(a[1])));
       }},
      {"MandY", 'c',
       [](TEVAL&, const Args& a, std::string& r) { r = MonthYearShort(DateTime(a[0])); }},
      {"Gen_id", 'n',
       [](TEVAL&, const Args& a, std::string& r) {
         Int(a[1]);  // converted, as ever, though the id does not use it
         r = FormatNumber(NewLocalId());
       }},
      {"HashChar", 'n',
       [](TEVAL&, const Args& a, std::string& r) { r = std::to_string(HashChar(a[0])); }},
      {"DaysElapsed", 'n',
       [](TEVAL&, const Args& a, std::string& r) { r = FormatNumber(DaysElapsed(a[0], a[1])); }},
      {"TimeElapsed", 'n',
       [](TEVAL&, const Args& a, std::string& r) { r = FormatNumber(TimeElapsed(a[0], a[1])); }},
      {"GetLength", 'n',
       [](TEVAL&, const Args& a, std::string& r) { r = std::to_string(GetLength(a[0])); }},
      {"AddToTime", 'c',
       [](TEVAL&, const Args& a, std::string& r) {
         Num(a[1]);
         r = AddToTime();
       }},
      {"FormatDateTime", 'c',
       [](TEVAL&, const Args& a, std::string& r) { r = FormatDateTimeText(a[0], DateTime(a[1])); }},
      {"AddToMonth", 'd',
       [](TEVAL&, const Args& a, std::string& r) {
         const double d = DateTime(a[0]);
         r = FormatDateTimeSerial(AddToMonth(d, Int(a[1])));
       }},
      {"LastDayOfMonth", 'd',
       [](TEVAL&, const Args& a, std::string& r) {
         r = FormatDateTimeSerial(LastDayOfMonth(DateTime(a[0])));
       }},
      {"ValidEncodeDate", 'd',
       [](TEVAL&, const Args& a, std::string& r) {
         const int y = Int(a[0]), m = Int(a[1]), d = Int(a[2]);
         r = FormatDateTimeSerial(ValidEncodeDate(y, m, d));
       }},
      {"Eval", 's', [](TEVAL& e, const Args& a, std::string& r) { e.EvalAgain(a[0], r); }},
      {"Trim", 's', [](TEVAL&, const Args& a, std::string& r) { r = TrimText(a[0]); }},
      {"RegVar", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         // A missing type letter registers a text variable.
         e.SetVar(a[0], a[1].empty() ? 'c' : a[1][0], a[2]);
       }},
      {"IsVarEmpty", 's', [](TEVAL& e, const Args& a, std::string& r) { r = e.IsVarEmpty(a[0]); }},
      {"sqlget", 's',
       [](TEVAL& e, const Args& a, std::string& r) {
         r.clear();
         if (e.OnSqlGet) {
           e.OnSqlGet(a[0], a[1], r);
         } else {
           e.SqlGet(a[0], a[1], r);
         }
       }},
      {"findrecord", 's',
       [](TEVAL& e, const Args& a, std::string& r) {
         std::string answer;
         if (e.OnFindRecord) {
           e.OnFindRecord(a[0], a[1], a[2], answer);
         } else {
           e.FindRecord(a[0], a[1], a[2], answer);
         }
         r = answer;
       }},
      {"firesql", 's',
       [](TEVAL& e, const Args& a, std::string& r) {
         if (e.OnFireSql) {
           e.OnFireSql(a[0], a[1]);
         } else {
           e.FireSql(a[0], a[1]);
         }
         r.clear();
       }},
      {"dpimport", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnDpImport) e.OnDpImport(a[0]);
       }},
      {"dpexport", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnDpExport) e.OnDpExport(a[0], a[1], a[2], a[3]);
       }},
      {"fixtree", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnFixTree) e.OnFixTree(a[0]);
       }},
      {"postmdmap", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnPostMDMap) e.OnPostMDMap(a[0]);
       }},
      {"repost", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnRepost) e.OnRepost(a[0], a[1]);
       }},
      {"regenerate", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnRegenerate) e.OnRegenerate(a[0]);
       }},
      {"postgenmap", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnPostGenMap) e.OnPostGenMap(a[0], a[1], a[2]);
       }},
      {"gettransid", 's',
       [](TEVAL& e, const Args& a, std::string& r) {
         if (e.OnGetTransId) {
           std::string out;
           e.OnGetTransId(a[0], out);
           r = out;
         }
       }},
      {"getdelimitedstr", 's',
       [](TEVAL& e, const Args& a, std::string& r) { e.GetDelimitedStr(a[0], a[1], a[2], r); }},
      {"csvimport", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnCsvImport) e.OnCsvImport(a[0]);
       }},
      {"xmlimport", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnXmlImport) e.OnXmlImport(a[0]);
       }},
      {"extractnum", 's', [](TEVAL&, const Args& a, std::string& r) { r = ExtractNum(a[0]); }},
      {"trimspace", 's', [](TEVAL&, const Args& a, std::string& r) { r = TrimSpace(a[0]); }},
      {"findandreplace", 's',
       [](TEVAL&, const Args& a, std::string& r) { r = FindAndReplace(a[0], a[1], a[2]); }},
      {"domrp", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnDomrp) e.OnDomrp(a[0], a[1]);
       }},
      {"sendmail", 's', [](TEVAL&, const Args& a, std::string& r) { r = SendMail(a[0]); }},
      {"datasplit", 's',
       [](TEVAL& e, const Args& a, std::string&) {
         if (e.OnDataSplit) e.OnDataSplit(Date(a[0]), a[1], a[2]);
       }},
      {"convertmd5", 's', [](TEVAL&, const Args& a, std::string& r) { r = ConvertMD5(a[0]); }},
  };
}

}  // namespace

void RegisterBuiltinFunctions(TEVAL& eval) {
  for (Builtin& b : Library()) eval.RegisterFunction(b.name, b.type, std::move(b.body));
}

}  // namespace v7
