#include "PluralForms.h"

#include "Cultures.h"

#include <climits>

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
  // A POSIX locale's code set and modifier say nothing about counting.
  std::string name = Locale.substr(0, Locale.find_first_of(".@"));
  // The most specific culture the table holds: "pt-BR-x" gives "pt-BR",
  // then "pt".
  while (!name.empty()) {
    if (const TCultureInfo* culture = TCultureTable::Find(name)) return culture->PluralRule;
    const size_t cut = name.find_last_of("-_");
    if (cut == std::string::npos) break;
    name.erase(cut);
  }
  return DefaultRule;
}

}  // namespace I18n
