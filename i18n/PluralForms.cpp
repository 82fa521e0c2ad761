#include "PluralForms.h"

#include <cctype>
#include <climits>
#include <cstring>

namespace I18n {

namespace {

// The shape every rule follows: "#" stands for the number of forms, "*" for
// the formula.
const char Pattern[] = "nplurals=#; plural=*;";

bool IsTabOrSpace(char C) { return C == ' ' || C == '\t'; }
bool IsWhitespace(char C) { return C == ' ' || C == '\t' || C == '\n' || C == '\r' || C == '\f' || C == '\v'; }

std::string LowerAscii(std::string S) {
  for (char& c : S)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return S;
}

// Walks a rule and the pattern side by side.
struct TRuleScanner {
  const std::string& Rule;
  size_t R = 0;  // position in the rule
  size_t P = 0;  // position in the pattern

  char RuleChar() const { return R < Rule.size() ? Rule[R] : '\0'; }
  char PatternChar() const { return Pattern[P]; }
  bool RuleAtEnd() const { return R >= Rule.size(); }

  void SkipTabsAndSpaces() {
    while (!RuleAtEnd() && IsTabOrSpace(Rule[R])) ++R;
  }
  // Both advance while they agree.
  void MatchPattern() {
    while (!RuleAtEnd() && PatternChar() != '\0' && Rule[R] == PatternChar()) {
      ++R;
      ++P;
    }
  }
  // A character present in both is consumed, with the tabs and spaces after
  // it in the rule.
  bool ConsumeBoth(char C) {
    if (RuleAtEnd() || Rule[R] != C || PatternChar() != C) return false;
    ++R;
    ++P;
    SkipTabsAndSpaces();
    return true;
  }
};

struct TStandardRule {
  const char* Languages;  // language codes separated by blanks
  const char* Rule;
};

// The plural rules of the gettext manual for well-known languages.
const TStandardRule StandardRules[] = {
    {"ja ko vi th zh id ms lo km my ka", "nplurals=1; plural=0;"},
    {"en de nl sv da no nb nn fo es pt it el fi et he eo hu tr bg ca eu gl af sq", "nplurals=2; plural=(n != 1);"},
    {"fr", "nplurals=2; plural=(n > 1);"},
    {"lv", "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n != 0 ? 1 : 2);"},
    {"ga", "nplurals=3; plural=n==1 ? 0 : n==2 ? 1 : 2;"},
    {"ro", "nplurals=3; plural=n==1 ? 0 : (n==0 || (n%100 > 0 && n%100 < 20)) ? 1 : 2;"},
    {"lt", "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && (n%100<10 || n%100>=20) ? 1 : 2);"},
    {"ru uk be sr hr bs",
     "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);"},
    {"cs sk", "nplurals=3; plural=(n==1) ? 0 : (n>=2 && n<=4) ? 1 : 2;"},
    {"pl", "nplurals=3; plural=(n==1 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);"},
    {"sl", "nplurals=4; plural=(n%100==1 ? 0 : n%100==2 ? 1 : n%100==3 || n%100==4 ? 2 : 3);"},
    {"ar",
     "nplurals=6; plural=n==0 ? 0 : n==1 ? 1 : n==2 ? 2 : n%100>=3 && n%100<=10 ? 3 : n%100>=11 ? 4 : 5;"},
};

}  // namespace

TPluralForms::TPluralForms(const std::string& ARule) { SetRule(ARule); }

TPluralForms::~TPluralForms() = default;

std::string TPluralForms::Rule() const {
  return "nplurals=" + std::to_string(fNumOfPlurals) + "; plural=" + (fFormula ? fFormula->Source() : "") + ";";
}

void TPluralForms::SetRule(const std::string& ARule) {
  int count;
  std::string formula;
  if (!ParseRule(ARule, count, formula)) throw EPluralFormsError("Invalid plural rule\r\n" + ARule);
  Apply(count, formula);
}

bool TPluralForms::ParseRule(const std::string& ARule, int& ANumOfPlurals, std::string& AFormula) {
  TRuleScanner s{ARule};
  // "nplurals", "=", the number of forms.
  s.SkipTabsAndSpaces();
  s.MatchPattern();
  s.SkipTabsAndSpaces();
  s.ConsumeBoth('=');
  if (s.PatternChar() != '#' || !(s.RuleChar() >= '0' && s.RuleChar() <= '9')) return false;
  int64_t count = 0;
  while (s.RuleChar() >= '0' && s.RuleChar() <= '9') {
    count = count * 10 + (s.RuleChar() - '0');
    // A number of forms that does not fit is no rule.
    if (count > INT32_MAX) return false;
    ++s.R;
  }
  ++s.P;
  // ";" between the two parts; the pattern moves past "; ".
  s.SkipTabsAndSpaces();
  if (s.ConsumeBoth(';') && s.PatternChar() == ' ') ++s.P;
  // "plural", "=", the formula.
  s.MatchPattern();
  s.SkipTabsAndSpaces();
  s.ConsumeBoth('=');
  if (s.PatternChar() != '*') return false;
  const size_t start = s.R;
  const size_t semicolon = ARule.find(';', start);
  std::string formula;
  if (semicolon != std::string::npos) {
    size_t end = semicolon;
    while (end > start && IsTabOrSpace(ARule[end - 1])) --end;
    formula = ARule.substr(start, end - start);
  } else {
    size_t first = start, last = ARule.size();
    while (first < last && IsWhitespace(ARule[first])) ++first;
    while (last > first && IsWhitespace(ARule[last - 1])) --last;
    formula = ARule.substr(first, last - first);
  }
  if (formula.empty()) return false;
  ANumOfPlurals = int(count);
  AFormula = std::move(formula);
  return true;
}

void TPluralForms::Apply(int ANumOfPlurals, const std::string& AFormula) {
  if (fFormula && ANumOfPlurals == fNumOfPlurals && AFormula == fFormula->Source()) return;
  if (ANumOfPlurals < 1)
    throw EPluralFormsError("The number of plurals (" + std::to_string(ANumOfPlurals) +
                            ") must be an integer value greater that or equal to one");
  auto formula = std::make_unique<TCExpression>(AFormula);
  TCExprVar* n = nullptr;
  if (formula->VarCount() > 1 || (formula->VarCount() == 1 && LowerAscii(formula->VarNames(0)) != "n"))
    throw EPluralFormsError("The only allowed variable in a plural formula is 'n'");
  if (formula->VarCount() == 1) n = formula->Vars(0);
  // Nothing below can fail: the new rule goes in whole.
  fFormula = std::move(formula);
  fN = n;
  fNumOfPlurals = ANumOfPlurals;
  ClearCache();
}

int TPluralForms::ExtractNumOfPlurals(const std::string& ARule) {
  int count;
  std::string formula;
  if (!ParseRule(ARule, count, formula)) throw EPluralFormsError("Invalid plural rule\r\n" + ARule);
  return count;
}

void TPluralForms::ClearCache() {
  for (TCacheBucket& bucket : Cache) bucket = TCacheBucket();
}

int TPluralForms::IndexOf(int32_t N) {
  // |INT32_MIN| has no 32-bit signed value; the largest count stands for it.
  const int32_t count = N == INT32_MIN ? INT32_MAX : (N < 0 ? -N : N);
  const uint32_t key = uint32_t(count);
  TCacheBucket& bucket = Cache[key % CacheBuckets];
  for (const TCacheEntry& e : bucket.Entries)
    if (e.Used && e.Count == key) return e.Index;
  if (fN) fN->SetValue(count);
  const int32_t index = fFormula->Evaluate();
  TCacheEntry& slot = bucket.Entries[bucket.Next];
  slot.Count = key;
  slot.Index = index;
  slot.Used = true;
  bucket.Next = (bucket.Next + 1) % CacheWays;
  return index;
}

std::string TPluralForms::RuleOf(const std::string& Locale, const std::string& DefaultRule) {
  size_t end = 0;
  while (end < Locale.size() && Locale[end] != '-' && Locale[end] != '_' && Locale[end] != '.' &&
         Locale[end] != '@')
    ++end;
  const std::string language = LowerAscii(Locale.substr(0, end));
  if (language.empty()) return DefaultRule;
  // Brazilian Portuguese counts like French.
  if (language == "pt" && end + 3 <= Locale.size() && LowerAscii(Locale.substr(end + 1, 2)) == "br" &&
      (end + 3 == Locale.size() || !std::isalpha(static_cast<unsigned char>(Locale[end + 3]))))
    return "nplurals=2; plural=(n > 1);";
  for (const TStandardRule& entry : StandardRules) {
    const char* p = entry.Languages;
    while (*p) {
      const char* q = std::strchr(p, ' ');
      const size_t len = q ? size_t(q - p) : std::strlen(p);
      if (language.size() == len && language.compare(0, len, p, len) == 0) return entry.Rule;
      p += len;
      while (*p == ' ') ++p;
    }
  }
  return DefaultRule;
}

}  // namespace I18n
