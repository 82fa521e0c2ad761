// Plural rules and C expressions from arbitrary text: the text is set as a
// rule and parsed as a formula, the form index of a few counts is asked, and
// the formatted text of a parsed formula must read back to the same values.
// Only the localization layer's own exceptions may leave the code under test.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CExpression.h"
#include "PluralForms.h"

using namespace I18n;

namespace {

const int32_t Counts[] = {0, 1, 2, 3, 5, 11, 12, 22, 101, 111, 1000001, INT32_MAX, INT32_MIN, -7};

void Check(bool Condition, const char* What) {
  if (!Condition) {
    std::fprintf(stderr, "check failed: %s\n", What);
    std::abort();
  }
}

// The value of an expression for n, or the fact that it divides by zero.
struct TOutcome {
  bool DivByZero = false;
  int32_t Value = 0;
  bool operator==(const TOutcome& O) const { return DivByZero == O.DivByZero && (DivByZero || Value == O.Value); }
};

TOutcome Evaluate(TCExpression& E, int32_t N) {
  TOutcome r;
  for (int i = 0; i < E.VarCount(); ++i) E.Vars(i)->SetValue(int32_t(uint32_t(N) + uint32_t(i)));
  try {
    r.Value = E.Evaluate();
  } catch (const ECDivisionByZero&) {
    r.DivByZero = true;
  }
  return r;
}

void FuzzRule(const std::string& Text) {
  try {
    TPluralForms forms(Text);
    const std::string rule = forms.Rule();
    for (int32_t n : Counts) {
      try {
        forms.IndexOf(n);
        forms.IndexOf(n);
      } catch (const ECDivisionByZero&) {
      }
    }
    // The rule read back installs the same formula.
    TPluralForms again(rule);
    Check(again.Rule() == rule, "rule reads back");
  } catch (const EI18nError&) {
  }
  int count;
  std::string formula;
  if (TPluralForms::ParseRule(Text, count, formula)) Check(!formula.empty() && count >= 0, "parsed rule");
}

void FuzzFormula(const std::string& Text) {
  std::unique_ptr<TCExpression> e;
  try {
    e = std::make_unique<TCExpression>(Text);
  } catch (const ECExpressionError& error) {
    Check(error.Expression() == Text, "error names its text");
    Check(error.Offset() >= 0 && size_t(error.Offset()) <= Text.size(), "error offset");
    return;
  }
  const std::string formatted = e->FormattedSource();
  std::unique_ptr<TCExpression> back;
  try {
    back = std::make_unique<TCExpression>(formatted);
  } catch (const ECExpressionError& error) {
    // Parentheses the formatted text adds may pass the nesting limit.
    Check(std::strcmp(error.what(), "The expression is nested too deeply") == 0, "formatted text reads back");
    return;
  }
  Check(back->IsVariable() == e->IsVariable(), "folding stays");
  if (back->VarCount() != e->VarCount()) return;  // variables in dropped branches are not printed
  for (int32_t n : Counts) Check(Evaluate(*e, n) == Evaluate(*back, n), "formatted text has the same values");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(Data), Size);
  FuzzRule(text);
  FuzzFormula(text);
  return 0;
}
