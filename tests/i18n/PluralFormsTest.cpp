// Plural rules: the structure of a rule, its errors, the all-or-nothing
// installation, IndexOf, the standard rules of several languages against
// references written out here and against GNU gettext (msgfmt and Python's
// gettext module) when they are installed.
#include <gtest/gtest.h>
#include <libintl.h>
#include <locale.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "PluralForms.h"
#include "TestSupport.h"

using namespace I18n;

namespace {

template <typename F>
std::string MessageOf(F&& Action) {
  try {
    Action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

// Counts checked for every language: 0 to 200 and some large ones.
std::vector<int64_t> Counts() {
  std::vector<int64_t> counts;
  for (int64_t n = 0; n <= 200; ++n) counts.push_back(n);
  for (int64_t n : {1000, 1001, 1002, 1005, 1011, 1012, 1021, 1022, 1025, 1100, 1101, 1102, 1103, 1111, 10000,
                    10001, 10011, 10022, 12345, 99999, 100000, 1000000, 1000001, 1000002, 2147483646, 2147483647})
    counts.push_back(n);
  return counts;
}

struct TLanguage {
  const char* Name;
  const char* Rule;
  std::function<int(int64_t)> Reference;
};

// References written from the languages' grammar, independent of the
// formulas: the last digits decide.
std::vector<TLanguage> Languages() {
  return {
      {"English", "nplurals=2; plural=(n != 1);", [](int64_t n) { return n == 1 ? 0 : 1; }},
      {"French", "nplurals=2; plural=(n > 1);", [](int64_t n) { return n <= 1 ? 0 : 1; }},
      {"Japanese", "nplurals=1; plural=0;", [](int64_t) { return 0; }},
      {"Polish", "nplurals=3; plural=(n==1 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);",
       [](int64_t n) {
         const int64_t last = n % 10, tens = n / 10 % 10;
         if (n == 1) return 0;
         if (last >= 2 && last <= 4 && tens != 1) return 1;
         return 2;
       }},
      {"Russian",
       "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);",
       [](int64_t n) {
         const int64_t last = n % 10, tens = n / 10 % 10;
         if (tens == 1) return 2;
         if (last == 1) return 0;
         if (last >= 2 && last <= 4) return 1;
         return 2;
       }},
      {"Czech", "nplurals=3; plural=(n==1) ? 0 : (n>=2 && n<=4) ? 1 : 2;",
       [](int64_t n) { return n == 1 ? 0 : (n == 2 || n == 3 || n == 4) ? 1 : 2; }},
      {"Slovenian", "nplurals=4; plural=(n%100==1 ? 0 : n%100==2 ? 1 : n%100==3 || n%100==4 ? 2 : 3);",
       [](int64_t n) {
         const int64_t last2 = n - n / 100 * 100;
         return last2 == 1 ? 0 : last2 == 2 ? 1 : (last2 == 3 || last2 == 4) ? 2 : 3;
       }},
      {"Arabic", "nplurals=6; plural=n==0 ? 0 : n==1 ? 1 : n==2 ? 2 : n%100>=3 && n%100<=10 ? 3 : n%100>=11 ? 4 : 5;",
       [](int64_t n) {
         if (n < 3) return int(n);
         const int64_t last2 = n - n / 100 * 100;
         if (last2 >= 3 && last2 <= 10) return 3;
         if (last2 >= 11) return 4;
         return 5;
       }},
      {"Irish", "nplurals=3; plural=n==1 ? 0 : n==2 ? 1 : 2;", [](int64_t n) { return n == 1 ? 0 : n == 2 ? 1 : 2; }},
      {"Irish (five forms)", "nplurals=5; plural=n==1 ? 0 : n==2 ? 1 : (n>2 && n<7) ? 2 :(n>6 && n<11) ? 3 : 4;",
       [](int64_t n) {
         if (n == 1) return 0;
         if (n == 2) return 1;
         if (n >= 3 && n <= 6) return 2;
         if (n >= 7 && n <= 10) return 3;
         return 4;
       }},
      {"Latvian", "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n != 0 ? 1 : 2);",
       [](int64_t n) {
         if (n == 0) return 2;
         return (n % 10 == 1 && n / 10 % 10 != 1) ? 0 : 1;
       }},
      {"Lithuanian", "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && (n%100<10 || n%100>=20) ? 1 : 2);",
       [](int64_t n) {
         const int64_t last = n % 10, tens = n / 10 % 10;
         if (tens == 1 || last == 0) return 2;
         return last == 1 ? 0 : 1;
       }},
      {"Romanian", "nplurals=3; plural=n==1 ? 0 : (n==0 || (n%100 > 0 && n%100 < 20)) ? 1 : 2;",
       [](int64_t n) {
         if (n == 1) return 0;
         const int64_t last2 = n % 100;
         return (n == 0 || (last2 >= 1 && last2 <= 19)) ? 1 : 2;
       }},
  };
}

// The rules checked against GNU gettext: the languages' and formulas that mix
// the levels the gettext syntax shares with ours.
std::vector<std::string> OracleRules() {
  std::vector<std::string> rules;
  for (const TLanguage& language : Languages()) rules.push_back(language.Rule);
  rules.push_back("nplurals=4; plural=n % 7 + 1 > 3 == n % 2 ? n % 1000 * 3 / 2 % 4 : n - 3 * (n / 3);");
  rules.push_back("nplurals=3; plural=!(n % 3) || n % 5 == 2 && n > 10 ? 0 : n < 50 ? 1 : 2;");
  rules.push_back("nplurals=6; plural=n % 10 % 4 + (n % 100 >= 50) + (n == 0);");
  return rules;
}

// A catalog with the rule in its header and one plural message whose forms
// are their indexes.
void WritePo(const std::string& FileName, const std::string& Rule, int NumOfPlurals) {
  std::ofstream out(FileName);
  out << "msgid \"\"\nmsgstr \"\"\n\"Content-Type: text/plain; charset=UTF-8\\n\"\n\"Plural-Forms: " << Rule
      << "\\n\"\n\nmsgid \"one\"\nmsgid_plural \"many\"\n";
  for (int i = 0; i < NumOfPlurals; ++i) out << "msgstr[" << i << "] \"" << i << "\"\n";
}

bool HavePythonGettext() {
  return TestSupport::HaveProgram("msgfmt") &&
         TestSupport::RunCommand("python3 -c 'import gettext; gettext.c2py' >/dev/null 2>&1") == 0;
}

// Compiles a catalog with the rule in its header with msgfmt (which checks
// the formula) and asks Python's gettext for the form of every count; each
// form's text is its index.
bool GettextIndexes(const TestSupport::TempDir& Dir, const std::string& Rule, int NumOfPlurals,
                    const std::vector<int64_t>& Counts, std::vector<int>& Indexes, std::string& Log) {
  const std::string po = Dir.File("rule.po"), mo = Dir.File("rule.mo"), script = Dir.File("forms.py");
  WritePo(po, Rule, NumOfPlurals);
  if (TestSupport::RunCommand("msgfmt -c -o '" + mo + "' '" + po + "' 2>&1", &Log) != 0) return false;
  {
    std::ofstream out(script);
    out << "import gettext, sys\n"
           "t = gettext.GNUTranslations(open(sys.argv[1], 'rb'))\n"
           "for line in sys.stdin:\n"
           "    print(t.ngettext('one', 'many', int(line)))\n";
  }
  std::ostringstream input;
  for (int64_t n : Counts) input << n << "\n";
  const std::string in = Dir.File("counts.txt");
  std::ofstream(in) << input.str();
  std::string output;
  if (TestSupport::RunCommand("python3 '" + script + "' '" + mo + "' < '" + in + "' 2>&1", &output) != 0) {
    Log += output;
    return false;
  }
  std::istringstream lines(output);
  Indexes.clear();
  for (int v; lines >> v;) Indexes.push_back(v);
  return Indexes.size() == Counts.size();
}

}  // namespace

TEST(PluralForms, RulesOfTheEdgeCaseTable) {
  TPluralForms english("nplurals=2; plural=(n != 1);");
  EXPECT_EQ(english.IndexOf(1), 0);
  EXPECT_EQ(english.IndexOf(0), 1);
  EXPECT_EQ(english.IndexOf(2), 1);
  EXPECT_EQ(english.IndexOf(5), 1);
  EXPECT_EQ(english.Rule(), "nplurals=2; plural=(n != 1);");
  EXPECT_EQ(english.NumOfPlurals(), 2);

  TPluralForms spaced("nplurals = 3 ;plural = n%10==1 ? 0 : 2 ;");
  EXPECT_EQ(spaced.NumOfPlurals(), 3);
  EXPECT_EQ(spaced.Formula().Source(), "n%10==1 ? 0 : 2");
  EXPECT_EQ(spaced.Rule(), "nplurals=3; plural=n%10==1 ? 0 : 2;");
  EXPECT_EQ(spaced.IndexOf(21), 0);
  EXPECT_EQ(spaced.IndexOf(22), 2);

  TPluralForms constant("nplurals=1; plural=0;");
  EXPECT_FALSE(constant.Formula().IsVariable());
  for (int32_t n : {0, 1, 2, 1000, INT32_MAX, INT32_MIN}) EXPECT_EQ(constant.IndexOf(n), 0);

  EXPECT_EQ(MessageOf([] { TPluralForms p("Nplurals=2; plural=n!=1;"); }),
            "Invalid plural rule\r\nNplurals=2; plural=n!=1;");
  EXPECT_EQ(MessageOf([] { TPluralForms p("nplurals=0; plural=0;"); }),
            "The number of plurals (0) must be an integer value greater that or equal to one");
  EXPECT_EQ(MessageOf([] { TPluralForms p("nplurals=2; plural=m!=1;"); }),
            "The only allowed variable in a plural formula is 'n'");
  EXPECT_THROW(TPluralForms("Nplurals=2; plural=n!=1;"), EPluralFormsError);
  EXPECT_THROW(TPluralForms("nplurals=0; plural=0;"), EPluralFormsError);
  EXPECT_THROW(TPluralForms("nplurals=2; plural=m!=1;"), EPluralFormsError);

  EXPECT_EQ(MessageOf([] { TPluralForms p("nplurals=2; plural=n == 1 ? 0 :;"); }), "Unexpected end of expression");
  EXPECT_EQ(MessageOf([] { TPluralForms p("nplurals=2; plural=(n == 1;"); }), "Missing symbol ')'");
  EXPECT_EQ(MessageOf([] { TPluralForms p("nplurals=2; plural=n = 1;"); }), "Unexpected symbol '='");
  EXPECT_THROW(TPluralForms("nplurals=2; plural=n = 1;"), ECExpressionError);

  TPluralForms arithmetic("nplurals=99; plural=2 + 3 * n;");
  EXPECT_EQ(arithmetic.IndexOf(4), 14);
  TPluralForms fixed("nplurals=9; plural=8 - 3 - 2;");
  EXPECT_EQ(fixed.IndexOf(0), 3);
  TPluralForms chained("nplurals=9; plural=1 ? 2 : 3 ? 4 : 5;");
  EXPECT_EQ(chained.IndexOf(7), 2);
}

TEST(PluralForms, StructureOfARule) {
  struct TCase {
    const char* Rule;
    bool Valid;
    int Count;
    const char* Formula;
  };
  const TCase cases[] = {
      {"nplurals=2; plural=n != 1;", true, 2, "n != 1"},
      {" \t nplurals\t=\t2\t;\tplural\t=\t n != 1 \t;", true, 2, "n != 1"},
      {"nplurals=2;plural=n", true, 2, "n"},
      {"nplurals=2; plural=  n != 1  \r\n", true, 2, "n != 1"},
      {"nplurals=2; plural=n!=1; anything after", true, 2, "n!=1"},
      {"nplurals=12; plural=n%12;", true, 12, "n%12"},
      {"nplurals=007; plural=n;", true, 7, "n"},
      {"nplurals=2 plural=n;", false, 0, ""},
      {"nplurals=; plural=n;", false, 0, ""},
      {"nplurals=x; plural=n;", false, 0, ""},
      {"nplurals=2; plural=;", false, 0, ""},
      {"nplurals=2; plural= \t;", false, 0, ""},
      {"nplurals=2; plural=", false, 0, ""},
      {"nplurals=2; Plural=n;", false, 0, ""},
      {"nplurals=2; plural n;", false, 0, ""},
      {"nplural=2; plural=n;", false, 0, ""},
      {"plural=n; nplurals=2;", false, 0, ""},
      {"nplurals=#; plural=*;", false, 0, ""},
      {"", false, 0, ""},
      {"nplurals=2147483647; plural=0;", true, INT32_MAX, "0"},
      {"nplurals=2147483648; plural=0;", false, 0, ""},
      {"nplurals=99999999999999999999; plural=0;", false, 0, ""},
  };
  for (const TCase& c : cases) {
    int count = -1;
    std::string formula = "(unchanged)";
    ASSERT_EQ(TPluralForms::ParseRule(c.Rule, count, formula), c.Valid) << c.Rule;
    if (c.Valid) {
      EXPECT_EQ(count, c.Count) << c.Rule;
      EXPECT_EQ(formula, c.Formula) << c.Rule;
      EXPECT_EQ(TPluralForms::ExtractNumOfPlurals(c.Rule), c.Count);
    } else {
      EXPECT_EQ(count, -1);
      EXPECT_EQ(formula, "(unchanged)");
      EXPECT_EQ(MessageOf([&] { TPluralForms::ExtractNumOfPlurals(c.Rule); }),
                std::string("Invalid plural rule\r\n") + c.Rule);
    }
  }
}

TEST(PluralForms, ARuleIsInstalledWholeOrNotAtAll) {
  TPluralForms forms("nplurals=3; plural=n%3;");
  EXPECT_EQ(forms.IndexOf(5), 2);
  const char* bad[] = {
      "nplurals=2; plural=n %% 2;",   "nplurals=0; plural=n;",  "nplurals=2; plural=k;",
      "nplurals=2; plural=n + m;",    "nplurals 2; plural=n;",  "nplurals=2; plural=1 / 0;",
      "nplurals=2; plural=2147483648;",
  };
  for (const char* rule : bad) {
    EXPECT_THROW(forms.SetRule(rule), EI18nError) << rule;
    EXPECT_EQ(forms.Rule(), "nplurals=3; plural=n%3;") << rule;
    EXPECT_EQ(forms.NumOfPlurals(), 3);
    EXPECT_EQ(forms.IndexOf(5), 2) << rule;
    EXPECT_EQ(forms.IndexOf(7), 1) << rule;
  }
  EXPECT_THROW(forms.Apply(-4, "n"), EPluralFormsError);
  EXPECT_EQ(MessageOf([&] { forms.Apply(-4, "n"); }),
            "The number of plurals (-4) must be an integer value greater that or equal to one");
  EXPECT_EQ(forms.IndexOf(5), 2);

  // A new rule empties the cache.
  forms.SetRule("nplurals=4; plural=n%4;");
  EXPECT_EQ(forms.IndexOf(5), 1);
  forms.Apply(4, "n%4");
  EXPECT_EQ(forms.IndexOf(5), 1);
  forms.Apply(5, "n%4");
  EXPECT_EQ(forms.Rule(), "nplurals=5; plural=n%4;");
  // The variable may be written in either letter case.
  forms.SetRule("nplurals=2; plural=N != 1;");
  EXPECT_EQ(forms.IndexOf(1), 0);
  EXPECT_EQ(forms.IndexOf(3), 1);
  EXPECT_EQ(forms.Rule(), "nplurals=2; plural=N != 1;");
}

TEST(PluralForms, IndexOfUsesTheAbsoluteValueAndIsNotLimited) {
  TPluralForms forms("nplurals=2; plural=n;");
  EXPECT_EQ(forms.IndexOf(-3), forms.IndexOf(3));
  EXPECT_EQ(forms.IndexOf(-3), 3);
  EXPECT_EQ(forms.IndexOf(5), 5);
  EXPECT_EQ(forms.IndexOf(INT32_MAX), INT32_MAX);
  // |INT32_MIN| does not fit: the largest count stands for it.
  EXPECT_EQ(forms.IndexOf(INT32_MIN), INT32_MAX);
  TPluralForms french("nplurals=2; plural=(n > 1);");
  EXPECT_EQ(french.IndexOf(INT32_MIN), 1);
  EXPECT_EQ(french.IndexOf(-1), 0);

  // Many counts that share buckets: cached and fresh answers agree.
  TPluralForms russian(
      "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);");
  std::vector<int> first;
  for (int32_t n = 0; n < 5000; ++n) first.push_back(russian.IndexOf(n % 97 * 32 + n % 5));
  for (int32_t n = 0; n < 5000; ++n) ASSERT_EQ(russian.IndexOf(-(n % 97 * 32 + n % 5)), first[size_t(n)]);
}

TEST(PluralForms, DivisionByZeroForACountRaisesAndLeavesTheRule) {
  TPluralForms forms("nplurals=2; plural=1 / (n - 1) + n % (n - 2);");
  EXPECT_THROW(forms.IndexOf(1), ECDivisionByZero);
  EXPECT_THROW(forms.IndexOf(-2), ECDivisionByZero);
  EXPECT_EQ(MessageOf([&] { forms.IndexOf(1); }), "Division by zero");
  EXPECT_EQ(forms.IndexOf(3), 0 + 0);
  EXPECT_EQ(forms.IndexOf(0), -1 + 0);
  TPluralForms modulo("nplurals=2; plural=n % 0;");
  EXPECT_THROW(modulo.IndexOf(7), EI18nError);
  TPluralForms minimum("nplurals=2; plural=(-2147483647 - 1) / (n - 4) + (-2147483647 - 1) % (n - 4);");
  EXPECT_EQ(minimum.IndexOf(3), INT32_MIN);
}

TEST(PluralForms, StandardRulesMatchTheReferences) {
  const std::vector<int64_t> counts = Counts();
  for (const TLanguage& language : Languages()) {
    TPluralForms forms(language.Rule);
    for (int64_t n : counts) {
      ASSERT_EQ(forms.IndexOf(int32_t(n)), language.Reference(n)) << language.Name << " n = " << n;
      ASSERT_EQ(forms.IndexOf(int32_t(-n)), language.Reference(n)) << language.Name << " n = -" << n;
      ASSERT_LT(forms.IndexOf(int32_t(n)), forms.NumOfPlurals());
    }
  }
}

TEST(PluralForms, StandardRulesMatchGnuGettext) {
  if (!HavePythonGettext()) GTEST_SKIP() << "msgfmt or Python's gettext module is not installed";
  TestSupport::TempDir dir;
  const std::vector<int64_t> counts = Counts();
  for (const std::string& rule : OracleRules()) {
    TPluralForms forms(rule);
    std::vector<int> expected;
    std::string log;
    ASSERT_TRUE(GettextIndexes(dir, rule, forms.NumOfPlurals(), counts, expected, log)) << rule << "\n" << log;
    for (size_t i = 0; i < counts.size(); ++i)
      ASSERT_EQ(forms.IndexOf(int32_t(counts[i])), expected[i]) << rule << " n = " << counts[i];
  }
}

// The C library's ngettext evaluates the rule of a catalog that msgfmt
// compiled, with GNU gettext's own formula evaluator.
TEST(PluralForms, StandardRulesMatchTheCLibrarysNgettext) {
  if (!TestSupport::HaveProgram("msgfmt")) GTEST_SKIP() << "msgfmt is not installed";
  if (!setlocale(LC_ALL, "C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
  setenv("LANGUAGE", "xx", 1);
  TestSupport::TempDir dir;
  const std::filesystem::path messages = dir.Path() / "xx" / "LC_MESSAGES";
  std::filesystem::create_directories(messages);
  const std::vector<int64_t> counts = Counts();
  int number = 0;
  for (const std::string& rule : OracleRules()) {
    TPluralForms forms(rule);
    // A domain of its own per rule: the library keeps loaded catalogs.
    const std::string domain = "rule" + std::to_string(number++);
    const std::string po = dir.File(domain + ".po"), mo = (messages / (domain + ".mo")).string();
    WritePo(po, rule, forms.NumOfPlurals());
    std::string log;
    ASSERT_EQ(TestSupport::RunCommand("msgfmt -c -o '" + mo + "' '" + po + "' 2>&1", &log), 0) << log;
    bindtextdomain(domain.c_str(), dir.Path().c_str());
    if (number == 1 && std::string(dngettext(domain.c_str(), "one", "many", 1)) == "one")
      GTEST_SKIP() << "the C library does not read the catalog";
    for (int64_t n : counts) {
      const std::string form = dngettext(domain.c_str(), "one", "many", static_cast<unsigned long>(n));
      ASSERT_EQ(std::to_string(forms.IndexOf(int32_t(n))), form) << rule << " n = " << n;
    }
  }
}

TEST(PluralForms, RuleOfALanguage) {
  const std::string fallback = "nplurals=2; plural=(n != 1);";
  struct TCase {
    const char* Locale;
    int Count;
    int IndexOf2;
    int IndexOf5;
    int IndexOf22;
  };
  const TCase cases[] = {
      {"pl", 3, 1, 2, 1},   {"pl-PL", 3, 1, 2, 1},  {"ru_RU.UTF-8", 3, 1, 2, 1}, {"uk", 3, 1, 2, 1},
      {"cs-CZ", 3, 1, 2, 2}, {"sk", 3, 1, 2, 2},    {"ar-EG", 6, 2, 3, 4},       {"sl", 4, 1, 3, 3},
      {"ga-IE", 3, 1, 2, 2}, {"fr-FR", 2, 1, 1, 1}, {"pt-BR", 2, 1, 1, 1},       {"ja-JP", 1, 0, 0, 0},
      {"DE-de", 2, 1, 1, 1}, {"lv", 3, 1, 1, 1},    {"lt", 3, 1, 1, 1},          {"ro", 3, 1, 1, 2},
      {"pt_BR.UTF-8", 2, 1, 1, 1}, {"pt-BR-x", 2, 1, 1, 1}, {"sr_RS@latin", 3, 1, 2, 1},
  };
  for (const TCase& c : cases) {
    const std::string rule = TPluralForms::RuleOf(c.Locale, fallback);
    TPluralForms forms(rule);
    EXPECT_EQ(forms.NumOfPlurals(), c.Count) << c.Locale;
    EXPECT_EQ(forms.IndexOf(2), c.IndexOf2) << c.Locale;
    EXPECT_EQ(forms.IndexOf(5), c.IndexOf5) << c.Locale;
    EXPECT_EQ(forms.IndexOf(22), c.IndexOf22) << c.Locale;
  }
  EXPECT_EQ(TPluralForms("nplurals=2; plural=(n > 1);").IndexOf(1), 0);
  EXPECT_EQ(TPluralForms::RuleOf("pt-BR", fallback), "nplurals=2; plural=(n > 1);");
  EXPECT_EQ(TPluralForms::RuleOf("pt-PT", fallback), "nplurals=2; plural=(n != 1);");
  EXPECT_EQ(TPluralForms::RuleOf("pt-BRX", "x"), "nplurals=2; plural=(n != 1);");
  EXPECT_EQ(TPluralForms::RuleOf("xx-YY", "fallback"), "fallback");
  EXPECT_EQ(TPluralForms::RuleOf("", "fallback"), "fallback");
  EXPECT_EQ(TPluralForms::RuleOf("p", "fallback"), "fallback");
  EXPECT_EQ(TPluralForms::RuleOf("pll", "fallback"), "fallback");
}
