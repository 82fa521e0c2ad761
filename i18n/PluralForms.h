// Plural rules: "nplurals=#; plural=*;" gives the number of forms of a
// countable phrase and a formula over the count n that picks the form.
//
//   TPluralForms forms("nplurals=3; plural=n==1 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2;");
//   forms.IndexOf(22);   // 1
//
// A rule is installed completely or not at all: when any step of setting a
// rule fails, the previous one stays.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CExpression.h"
#include "I18nError.h"

namespace I18n {

class EPluralFormsError : public EI18nError {
public:
  explicit EPluralFormsError(const std::string& Message) : EI18nError(Message) {}
};

class TPluralForms {
public:
  // Sets the rule; raises as setting Rule does.
  explicit TPluralForms(const std::string& ARule);
  ~TPluralForms();
  TPluralForms(const TPluralForms&) = delete;
  TPluralForms& operator=(const TPluralForms&) = delete;

  // "nplurals=%d; plural=%s;" with the number of forms and the formula's text.
  std::string Rule() const;
  // Parses the rule and installs it. Raises EPluralFormsError for a rule that
  // does not have the structure of a plural rule, a number of forms below 1
  // or a variable other than n, and ECExpressionError for a formula with a
  // syntax error.
  void SetRule(const std::string& ARule);

  int NumOfPlurals() const { return fNumOfPlurals; }
  const TCExpression& Formula() const { return *fFormula; }

  // The structural parse of a rule: the number of forms and the formula's
  // text. False when the text is no plural rule (also when the number of
  // forms does not fit in 32 bits).
  static bool ParseRule(const std::string& ARule, int& ANumOfPlurals, std::string& AFormula);
  // Installs a number of forms and a formula.
  void Apply(int ANumOfPlurals, const std::string& AFormula);
  // The number of forms of a rule; raises the invalid-rule error when the
  // rule does not parse.
  static int ExtractNumOfPlurals(const std::string& ARule);

  // The form index for the count N (its absolute value is used; the
  // absolute value of INT32_MIN is taken as INT32_MAX). The index is not
  // limited to the number of forms. Raises ECDivisionByZero when the formula
  // divides by zero for this count.
  int IndexOf(int32_t N);

  // The standard gettext rule of the language of a locale ("pl", "pt-BR",
  // "sr_RS"), taken from the culture table; DefaultRule for a language the
  // table does not hold.
  static std::string RuleOf(const std::string& Locale, const std::string& DefaultRule);

private:
  // A small cache of answers: 32 buckets by count, each holding the latest
  // few counts that fell into it, so that it never grows without bound.
  static constexpr size_t CacheBuckets = 32;
  static constexpr size_t CacheWays = 4;
  struct TCacheEntry {
    uint32_t Count = 0;
    int32_t Index = 0;
    bool Used = false;
  };
  struct TCacheBucket {
    std::array<TCacheEntry, CacheWays> Entries;
    size_t Next = 0;  // the entry replaced next
  };

  int fNumOfPlurals = 0;
  std::unique_ptr<TCExpression> fFormula;
  TCExprVar* fN = nullptr;  // the formula's variable, or null for a constant formula
  std::array<TCacheBucket, CacheBuckets> Cache;

  void ClearCache();
};

}  // namespace I18n
