// Opening balances, amount formatting and tree ids of the business evaluator.
#include <tuple>

#include "QuorexDoc.h"

namespace {

using v7::TQuorexEVAL;

struct Account : v7test::QuorexDoc {
  Account() {
    eval.SetVar("dbrep", 'c', "Dr");
    eval.SetVar("crrep", 'c', "Cr");
  }
  // An opening balance and its debit/credit text as loaded (record id 5) or new (0).
  void Balance(const std::string& amount, const std::string& old, const std::string& dbcr,
               long double recordId) {
    store.AddFieldValue("mb1opbal", "n", "", amount, old, 1, 0, 0, 1, recordId, false);
    store.AddFieldValue("dbcr", "c", "", dbcr, dbcr, 1, 0, 0, 1, recordId, false);
  }
};

TEST(AccFuncs, FormatAmountCutsDecimalsGroupsDigitsAndMarksTheSide) {
  Account a;
  ExpectRuns(a, {"formatamount(0-1234.5, 2, {t}, {t}, {Cr}, {Dr}) => 1,234.50 Cr",
                 "formatamount(1234.5, 2, {T}, {t}, {Cr}, {Dr}) => 1,234.50 Dr",
                 "formatamount(0, 2, {t}, {t}, {Cr}, {Dr}) => 0.00 Dr",
                 "formatamount(0-1234.5, 2, {t}, {f}, {br}, {}) => (1,234.50)",
                 "formatamount(1234.5, 2, {t}, {f}, {br}, {}) => 1,234.50",
                 "formatamount(0-1234.5, 2, {t}, {f}, {}, {br}) => (1,234.50)",
                 "formatamount(2.999, 2, {f}, {f}, {}, {}) => 2.99",
                 "formatamount(5, 0, {f}, {f}, {}, {}) => 5",
                 "formatamount(2.5, 0, {f}, {f}, {}, {}) => 2.5",
                 "formatamount({ten}, 1, {t}, {f}, {}, {}) => ",  // traced, not raised
                 // formataccamount marks the unusual side of each account class.
                 "formataccamount(0-50, 2, {f}, {f}, {A}, {Cr}) => 50.00 cr",
                 "formataccamount(0, 2, {f}, {f}, {a}, {Cr}) => 0.00",
                 "formataccamount(50, 2, {f}, {f}, { L }, {br}) => (50.00)",
                 "formataccamount(0, 2, {f}, {f}, {l}, {Dr}) => 0.00",
                 "formataccamount(0-50, 2, {f}, {f}, {e}, {Dr}) => 50.00 dr",
                 "formataccamount(50, 2, {f}, {f}, {I}, {Cr}) => 50.00 cr",
                 "formataccamount(50, 2, {f}, {f}, {x}, {Dr}) => 50.00",
                 // Residues of decimal arithmetic, exponent forms and 15 to 18 digits are
                 // written in plain digits before the decimals are cut.
                 "formatamount(100.10 - 100 - 0.10, 2, {t}, {t}, {Cr}, {Dr}) => 0.00 Cr",
                 "formatamount(100.10 - 100 - 0.10, 0, {f}, {f}, {br}, {}) => "
                 "(0.00000000000000570377078901174)",
                 "formatamount({1234567890123456}, 2, {t}, {t}, {Cr}, {Dr}) => "
                 "1,234,567,890,123,456.00 Dr",
                 "formatamount({1E15}, 2, {t}, {t}, {Cr}, {Dr}) => 1,000,000,000,000,000.00 Dr",
                 "formatamount({2.5E-7}, 2, {f}, {f}, {br}, {}) => 0.00",
                 "formatamount({-2.5E-7}, 0, {f}, {f}, {br}, {}) => (0.00000025)",
                 "formatamount({123456789012345.67}, 2, {t}, {f}, {Cr}, {Dr}) => "
                 "12,34,56,78,90,12,345.67 Dr",
                 "formatamount({-12345678901234.56}, 2, {t}, {t}, {}, {br}) => "
                 "(12,345,678,901,234.56)",
                 "formatamount({99999999999999999.99}, 1, {f}, {f}, {Cr}, {Dr}) => "
                 "99999999999999999.9 Dr",
                 "formataccamount({-1234567890123456}, 2, {t}, {t}, {A}, {Cr}) => "
                 "1,234,567,890,123,456.00 cr",
                 "formataccamount({-123456789012345678}, 2, {t}, {t}, {e}, {br}) => "
                 "(123,456,789,012,345,678.00)",
                 "formataccamount({98765432109876.54}, 2, {t}, {t}, {L}, {Cr}) => "
                 "98,765,432,109,876.54 cr",
                 "formataccamount(100.10 - 100 - 0.10, 2, {f}, {f}, {a}, {Cr}) => 0.00 cr",
                 "formataccamount({1E-20}, 2, {f}, {f}, {i}, {br}) => (0.00)",
                 "formataccamount({-1E-20}, 2, {f}, {f}, {i}, {br}) => 0.00"});
  // Grouping in thousands ("t") or lakhs.
  for (auto [text, thousands, grouped] : {std::tuple{"100000", "f", "1,00,000"},
                                          {"100000", "T", "100,000"},
                                          {"999", "t", "999"},
                                          {"1000", "f", "1,000"},
                                          {" -1,234,567.5 ", "t", "-1,234,567.5"},
                                          {"-1234567.5", "f", "-12,34,567.5"}})
    EXPECT_EQ(TQuorexEVAL::GroupDigits(text, thousands), grouped) << text << thousands;
}

TEST(AccFuncs, MakeTreeIdStepsOneLevelCarryingIntoItsFirstCharacter) {
  Account a;
  EXPECT_EQ(TQuorexEVAL::MakeTreeId(std::string("\x00\xff", 2), 1), std::string("\x01\x01", 2));
  EXPECT_EQ(TQuorexEVAL::MakeTreeId("ABAB", 2), "ABAC");
  EXPECT_EQ(TQuorexEVAL::MakeTreeId(std::string("A\xff\xff", 3), 1).substr(0, 2), "B\x01");
  EXPECT_EQ(a.Run("Maketreeid({AB}, 1)"), "AC");
  // A level past the id is refused instead of writing beyond it.
  EXPECT_EQ(a.Run("Maketreeid({AB}, 2)"), "");
  EXPECT_TRUE(a.TracedError("Tree id AB has no level 2"));
}

TEST(AccFuncs, OpeningBalanceTakesItsSignFromTheDebitCreditField) {
  Account a;
  a.Balance("500", "500", "dr", 5);
  a.eval.SetVar("onsave", 'c', "S");
  EXPECT_EQ(a.Run("actreeopbal({mb1opbal})"), "500");
  a.SetText("dbcr", 1, "Cr");
  EXPECT_EQ(a.Run("actreeopbal({mb1opbal})"), "-500");
  // Loading fills an empty debit/credit text from the sign.
  a.SetText("dbcr", 1, "");
  a.SetText("mb1opbal", 1, "-1.23456");
  a.eval.SetVar("onsave", 'c', "l");
  EXPECT_EQ(a.Run("actreeopbal({mb1opbal})"), "1.2346");
  EXPECT_EQ(a.store.GetValue("dbcr", 1), "Cr");

  // Entering sets it from the sign, adding the value when it is missing.
  Account b;
  b.store.AddFieldValue("mnopbal", "n", "", "-250", "", 1, 0, 0, 1, 0, false);
  b.eval.SetVar("onsave", 'c', "i");
  EXPECT_EQ(b.Run("actreeopbal({mnopbal})"), "-250");
  EXPECT_EQ(b.store.GetValue("dbcrnative", 1), "Cr");

  // Any other mode asks the host (none here); a new account's balance is handed back to it.
  b.eval.SetVar("onsave", 'c', "f");
  EXPECT_EQ(b.Run("actreeopbal({mnopbal})"), "0");
  std::string told;
  b.eval.OnGetFieldValue = [](const std::string& f, int, long double&, std::string& v) {
    v = f == "mb1opbal" ? "250" : "";
  };
  b.eval.OnSetFieldValue = [&](const std::string& f, int, const std::string& v) {
    told += f + "=" + v + " ";
  };
  b.eval.SetVar("recordid", 'n', "0");
  EXPECT_EQ(b.Run("actreeopbal({mb1opbal})") + " " + b.Run("actreeopbal({mnopbal})"), "250 0");
  EXPECT_EQ(told, "mb1opbal=250 ");
}

TEST(AccFuncs, ValidateOpBalRefusesNegativeAndGroupBalances) {
  Account a;
  a.Balance("100", "100", "", 5);
  const char* const modify = "Cannot modify opening balance for groups";
  // Loading and entering pass anything; saving compares the loaded value with the variable.
  for (auto [onsave, status, record, value, answer] :
       {std::tuple{"l", "", "5", "-5", "T"},
        {"i", "G", "5", "-5", "T"},
        {"f", "", "5", "-5", "Cannot enter negative values"},
        {"f", "G", "0", "10", "Cannot enter opening balance for groups"},
        {"f", "G", "5", "10", modify},
        {"f", "G", "5", "100", "T"},
        {"s", "G", "5", "100", "T"},
        {"s", "G", "5", "100.5", modify},
        {"s", "", "5", "100.5", "T"}}) {
    a.eval.SetVar("onsave", 'c', onsave);
    a.eval.SetVar("mstatus", 'c', status);
    a.eval.SetVar("recordid", 'n', record);
    a.eval.SetVar("mb1opbal", 'n', value);
    EXPECT_EQ(a.Run("validateopbal({mb1opbal})"), answer) << onsave << status << record << value;
  }
  // A group's large balance is as fixed as a small one, beyond 9.2E14 too.
  Account big;
  big.Balance("950000000000000", "950000000000000", "", 5);
  big.eval.SetVar("onsave", 'c', "s");
  big.eval.SetVar("mstatus", 'c', "g");
  for (auto [value, answer] : {std::pair{"950000000000000.00", "T"},
                               {"960000000000000", modify},
                               {"1950000000000000", modify},
                               {"-950000000000000", modify}}) {
    big.eval.SetVar("mb1opbal", 'n', value);
    EXPECT_EQ(big.Run("validateopbal({mb1opbal})"), answer) << value;
  }
  // An accepted balance without its debit/credit text gets the usual side of the account's
  // class from the host.
  std::string cls, told;
  a.eval.OnGetFieldValue = [&](const std::string& f, int, long double&, std::string& v) {
    v = f == "malie" ? cls : "";
  };
  a.eval.OnSetFieldValue = [&](const std::string& f, int, const std::string& v) {
    told += cls + ":" + f + "=" + v + " ";
  };
  a.eval.SetVar("onsave", 'c', "f");
  a.eval.SetVar("mstatus", 'c', "");
  for (const char* c : {"a", "e", "i", "l", "x"}) {
    cls = c;
    EXPECT_EQ(a.Run("validateopbal({mb1opbal})"), "T");
  }
  EXPECT_EQ(told, "a:dbcr=Dr e:dbcr=Dr i:dbcr=Cr l:dbcr=Cr ");
}

}  // namespace
