// The C expression compiler: tokens, precedence and associativity, the value
// rules of every operator, constant folding, variables, syntax errors and
// the limits on nesting.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "CExpression.h"

using namespace I18n;

namespace {

// Evaluates Text with the variable n (when it has one) set to N.
int32_t Eval(const std::string& Text, int32_t N = 0) {
  TCExpression e(Text);
  if (TCExprVar* v = e.FindVar("n")) v->SetValue(N);
  return e.Evaluate();
}

std::string Formatted(const std::string& Text) { return TCExpression(Text).FormattedSource(); }

// The literal text of a value, also for INT32_MIN.
std::string Literal(int32_t V) { return V == INT32_MIN ? "(-2147483647 - 1)" : "(" + std::to_string(V) + ")"; }

std::string ReplaceN(const std::string& Text, int32_t N) {
  std::string out;
  for (char c : Text) out += c == 'n' ? Literal(N) : std::string(1, c);
  return out;
}

struct TErrorCase {
  const char* Text;
  const char* Message;
  int Offset;
  const char* Token;
};

}  // namespace

TEST(CExpression, PrecedenceOfEveryLevel) {
  // Each pair of neighbouring levels, in both orders.
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"n || n && n", "(n || (n && n))"},  {"n && n || n", "((n && n) || n)"},
      {"n && n | n", "(n && (n | n))"},    {"n | n && n", "((n | n) && n)"},
      {"n | n ^ n", "(n | (n ^ n))"},      {"n ^ n | n", "((n ^ n) | n)"},
      {"n ^ n & n", "(n ^ (n & n))"},      {"n & n ^ n", "((n & n) ^ n)"},
      {"n & n == n", "(n & (n == n))"},    {"n != n & n", "((n != n) & n)"},
      {"n == n < n", "(n == (n < n))"},    {"n >= n != n", "((n >= n) != n)"},
      {"n > n << n", "(n > (n << n))"},    {"n >> n <= n", "((n >> n) <= n)"},
      {"n << n + n", "(n << (n + n))"},    {"n - n >> n", "((n - n) >> n)"},
      {"n + n * n", "(n + (n * n))"},      {"n / n - n", "((n / n) - n)"},
      {"-n * n", "(-n * n)"},              {"n % ~n", "(n % ~n)"},
      {"!n == n", "(!n == n)"},            {"n || n ? n : n", "((n || n) ? n : n)"},
      {"n ? n : n || n", "(n ? n : (n || n))"}, {"n ? n || n : n", "(n ? (n || n) : n)"},
      {"(n + n) * n", "((n + n) * n)"},    {"-+-n", "--n"},
  };
  for (const auto& [text, formatted] : cases) EXPECT_EQ(Formatted(text), formatted) << text;
  EXPECT_EQ(Eval("2 + 3 * n", 4), 14);
  EXPECT_EQ(Formatted("2 + 3 * n"), "(2 + (3 * n))");
}

TEST(CExpression, LeftAssociativeLevelsAndRightAssociativeConditional) {
  const char* ops[] = {"||", "&&", "|", "^", "&", "==", "!=", ">", ">=", "<", "<=",
                       "<<", ">>", "+", "-", "*", "/", "%"};
  for (const char* op : ops) {
    const std::string o = op;
    EXPECT_EQ(Formatted("n " + o + " n " + o + " n"), "((n " + o + " n) " + o + " n)") << op;
  }
  EXPECT_EQ(Eval("8 - 3 - 2"), 3);
  EXPECT_EQ(Eval("100 / 10 / 5"), 2);
  EXPECT_EQ(Eval("100 % 7 % 3"), 2);
  EXPECT_EQ(Eval("1 << 2 << 3"), 32);
  EXPECT_EQ(Eval("3 > 2 > 1"), 0);
  EXPECT_EQ(Eval("1 ? 2 : 3 ? 4 : 5"), 2);
  EXPECT_EQ(Eval("0 ? 2 : 0 ? 4 : 5"), 5);
  EXPECT_EQ(Formatted("n ? 1 : n ? 2 : 3"), "(n ? 1 : (n ? 2 : 3))");
  EXPECT_EQ(Formatted("n ? n ? 1 : 2 : 3"), "(n ? (n ? 1 : 2) : 3)");
}

TEST(CExpression, ValueRulesWithVariableAndFolded) {
  struct TCase {
    const char* Text;
    int32_t N;
    int32_t Expected;
  };
  const TCase cases[] = {
      // wrap-around
      {"n + 1", INT32_MAX, INT32_MIN},
      {"n - 1", INT32_MIN, INT32_MAX},
      {"n * 65536", 65536, 0},
      {"n * n", 65537, 131073},
      {"n * -1", INT32_MIN, INT32_MIN},
      {"-n", INT32_MIN, INT32_MIN},
      {"-n", 5, -5},
      // truncating division; the quotient that does not fit wraps around
      {"n / 2", -7, -3},
      {"7 / n", -2, -3},
      {"n % 2", -7, -1},
      {"7 % n", -2, 1},
      {"n / -1", INT32_MIN, INT32_MIN},
      {"n % -1", INT32_MIN, 0},
      {"n % -1", 7, 0},
      {"n / 3", INT32_MIN, -715827882},
      // shifts by the right operand modulo 32; >> without sign extension
      {"1 << n", 31, INT32_MIN},
      {"1 << n", 32, 1},
      {"1 << n", 33, 2},
      {"1 << n", -1, INT32_MIN},
      {"n << 4", 0x10000001, 0x10},
      {"n >> 28", -1, 15},
      {"n >> 0", -1, -1},
      {"n >> 33", -8, 0x7FFFFFFC},
      {"n >> 31", INT32_MIN, 1},
      // bitwise
      {"n & 3", 5, 1},
      {"n | 3", 5, 7},
      {"n ^ 3", 5, 6},
      {"~n", 0, -1},
      {"~n", INT32_MIN, INT32_MAX},
      // comparisons and logical operators give 1 or 0, signed
      {"n < 0", -1, 1},
      {"n > 0", INT32_MIN, 0},
      {"n >= 5", 5, 1},
      {"n <= 4", 5, 0},
      {"n == 5", 5, 1},
      {"n != 5", 5, 0},
      {"!n", 0, 1},
      {"!n", -7, 0},
      {"n && 3", 2, 1},
      {"n && 3", 0, 0},
      {"n || 0", -5, 1},
      {"n || 0", 0, 0},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Eval(c.Text, c.N), c.Expected) << c.Text << " with n = " << c.N;
    // The same with n written as a constant: the parser folds it.
    TCExpression folded(ReplaceN(c.Text, c.N));
    EXPECT_FALSE(folded.IsVariable()) << folded.Source();
    EXPECT_EQ(folded.Evaluate(), c.Expected) << folded.Source();
  }
}

TEST(CExpression, LogicalOperatorsAndConditionalEvaluateLazily) {
  EXPECT_EQ(Eval("n && 1 / n", 0), 0);
  EXPECT_EQ(Eval("n || 1 / (n - 1)", 1), 1);
  EXPECT_EQ(Eval("n == 0 ? 7 : 1 / n", 0), 7);
  EXPECT_EQ(Eval("n != 0 ? 1 / n : 9", 0), 9);
  EXPECT_EQ(Eval("n && 1 / n", 2), 0);
  EXPECT_EQ(Eval("n && 4 / n", 2), 1);
}

TEST(CExpression, DivisionByZeroWhenEvaluatingRaises) {
  TCExpression e("10 / n + 10 % (n - 1)");
  TCExprVar* n = e.FindVar("n");
  ASSERT_NE(n, nullptr);
  n->SetValue(0);
  EXPECT_THROW(e.Evaluate(), ECDivisionByZero);
  n->SetValue(1);
  try {
    e.Evaluate();
    FAIL() << "no exception";
  } catch (const EI18nError& error) {
    EXPECT_STREQ(error.what(), "Division by zero");
  }
  n->SetValue(2);
  EXPECT_EQ(e.Evaluate(), 5);
}

TEST(CExpression, ConstantPartsAreFolded) {
  TCExpression c("2 + 3 * 4");
  EXPECT_NE(dynamic_cast<const TCExprConstNode*>(c.Expr()), nullptr);
  EXPECT_FALSE(c.IsVariable());
  EXPECT_EQ(c.Evaluate(), 14);
  EXPECT_EQ(c.FormattedSource(), "14");
  EXPECT_EQ(c.VarCount(), 0);

  EXPECT_EQ(Formatted("n + 2 * 3"), "(n + 6)");
  EXPECT_EQ(Formatted("(1 + 1) * n - -(3)"), "((2 * n) - -3)");
  EXPECT_EQ(Formatted("-(3)"), "-3");
  EXPECT_EQ(Formatted("!(2 > 1) || n"), "(0 || n)");
  // A constant condition leaves the branch it selects.
  TCExpression t("1 ? n : 2");
  EXPECT_NE(dynamic_cast<const TCExprVarNode*>(t.Expr()), nullptr);
  EXPECT_TRUE(t.IsVariable());
  TCExpression f("0 ? n : 2 * 4");
  EXPECT_NE(dynamic_cast<const TCExprConstNode*>(f.Expr()), nullptr);
  EXPECT_FALSE(f.IsVariable());
  EXPECT_EQ(f.Evaluate(), 8);
  // The variable still counts as used although the branch is dropped.
  EXPECT_EQ(f.VarCount(), 1);
  EXPECT_EQ(f.Vars(0)->RefCount(), 0);
  // Parts with a variable stay, even where their value is known.
  EXPECT_EQ(Formatted("0 * n"), "(0 * n)");
  EXPECT_EQ(Formatted("0 && n"), "(0 && n)");
  TCExpression v("n ? 1 : 2");
  EXPECT_NE(dynamic_cast<const TCExprTernaryNode*>(v.Expr()), nullptr);
  EXPECT_TRUE(v.IsVariable());
  // A leading "+" builds no node.
  TCExpression plus("+n");
  EXPECT_NE(dynamic_cast<const TCExprVarNode*>(plus.Expr()), nullptr);
  TCExpression bitNot("~n");
  auto* u = dynamic_cast<const TCExprUnaryNode*>(bitNot.Expr());
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->Op(), TCUnaryOp::opBitNot);
  TCExpression shift("n >> 1");
  auto* b = dynamic_cast<const TCExprBinaryNode*>(shift.Expr());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Op(), TCBinaryOp::opShiftRight);
  // The smallest value prints as text that reads back.
  EXPECT_EQ(Formatted("-2147483647 - 1"), "(-2147483647 - 1)");
  EXPECT_EQ(Eval(Formatted("-2147483647 - 1")), INT32_MIN);
}

TEST(CExpression, VariablesAreSortedAndCountedIgnoringCase) {
  TCExpression e("b + A + a * B + c + B");
  ASSERT_EQ(e.VarCount(), 3);
  EXPECT_EQ(e.VarNames(0), "A");
  EXPECT_EQ(e.VarNames(1), "b");
  EXPECT_EQ(e.VarNames(2), "c");
  EXPECT_EQ(e.Vars(0)->RefCount(), 2);
  EXPECT_EQ(e.Vars(1)->RefCount(), 3);
  EXPECT_EQ(e.Vars(2)->RefCount(), 1);
  EXPECT_EQ(e.GetVars("C"), e.Vars(2));
  e.GetVars("a")->SetValue(2);
  e.GetVars("B")->SetValue(10);
  e.GetVars("c")->SetValue(100);
  EXPECT_EQ(e.Evaluate(), 10 + 2 + 2 * 10 + 100 + 10);
  TCExprVar* z = e.GetVars("_z9");
  EXPECT_EQ(z->RefCount(), 0);
  EXPECT_EQ(e.VarCount(), 4);
  // "_" sorts before the letters.
  EXPECT_EQ(e.VarNames(0), "_z9");
  EXPECT_EQ(e.VarNames(1), "A");
  EXPECT_EQ(e.FindVar("missing"), nullptr);
  EXPECT_EQ(e.Source(), "b + A + a * B + c + B");
}

TEST(CExpression, TokensAndWhitespace) {
  EXPECT_EQ(Eval("\tn\r\n==\n 7 ", 7), 1);
  EXPECT_EQ(Eval("n<<1", 3), 6);
  EXPECT_EQ(Eval("n<=1", 1), 1);
  EXPECT_EQ(Eval("n>=1", 0), 0);
  EXPECT_EQ(Eval("007 + n", 1), 8);
  EXPECT_EQ(Eval("2147483647"), INT32_MAX);
  // "! =" is not "!=": the blank separates the symbols.
  EXPECT_THROW(TCExpression("n ! = 1"), ECExpressionError);
  // A name runs over letters, digits and "_".
  TCExpression e("n_1 + n");
  EXPECT_EQ(e.VarCount(), 2);
}

TEST(CExpression, SyntaxErrorsCarryMessageOffsetAndToken) {
  const TErrorCase cases[] = {
      {"n == 1 ? 0 :", "Unexpected end of expression", 12, ""},
      {"", "Unexpected end of expression", 0, ""},
      {"n +   ", "Unexpected end of expression", 6, ""},
      {"(n == 1", "Missing symbol ')'", 7, ""},
      {"(n == 1 2", "Missing symbol ')'", 9, "2"},
      {"n ? 1", "Missing symbol ':'", 5, ""},
      {"n ? 1 ; 2", "Missing symbol ':'", 7, ";"},
      {"n = 1", "Unexpected symbol '='", 3, "="},
      {"* n", "Unexpected symbol '*'", 1, "*"},
      {"n )", "Unexpected symbol ')'", 3, ")"},
      {"n 1", "Unexpected symbol '1'", 3, "1"},
      {"n m", "Unexpected symbol 'm'", 3, "m"},
      {"n == 1 ? 0 : 1 : 2", "Unexpected symbol ':'", 16, ":"},
      {"n < > 1", "Unexpected symbol '>'", 5, ">"},
      {"n <> 1", "Unexpected symbol '>'", 4, ">"},
      {"n + \xE2\x82\xAC", "Unexpected symbol '\xE2\x82\xAC'", 5, "\xE2\x82\xAC"},
      {"\xC3\xA9 + n $", "Unexpected symbol '\xC3\xA9'", 1, "\xC3\xA9"},
      {"n + 2147483648", "The number '2147483648' is too large for a 32-bit integer", 14, "2147483648"},
      {"99999999999999999999999 * n", "The number '99999999999999999999999' is too large for a 32-bit integer", 23,
       "99999999999999999999999"},
      {"n + 1 / 0", "Division by zero", 9, ""},
      {"1 % (3 - 3) + n", "Division by zero", 13, "+"},
      {"0 && 1 / 0", "Division by zero", 10, ""},
  };
  for (const TErrorCase& c : cases) {
    try {
      TCExpression e(c.Text);
      ADD_FAILURE() << "no error for " << c.Text;
    } catch (const ECExpressionError& error) {
      EXPECT_STREQ(error.what(), c.Message) << c.Text;
      EXPECT_EQ(error.Offset(), c.Offset) << c.Text;
      EXPECT_EQ(error.Token(), c.Token) << c.Text;
      EXPECT_EQ(error.Expression(), c.Text);
    }
  }
}

TEST(CExpression, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  const std::string tooDeep = "The expression is nested too deeply";
  auto expectTooDeep = [&](const std::string& text) {
    try {
      TCExpression e(text);
      ADD_FAILURE() << "accepted " << text.size() << " characters";
    } catch (const ECExpressionError& error) {
      EXPECT_EQ(error.what(), tooDeep);
    }
  };
  expectTooDeep(std::string(100000, '(') + "n" + std::string(100000, ')'));
  expectTooDeep(std::string(100000, '(') );
  expectTooDeep(std::string(100000, '-') + "n");
  expectTooDeep(std::string(100000, '!') + "1");
  std::string chain;
  for (int i = 0; i < 100000; ++i) chain += "n ? 0 : ";
  expectTooDeep(chain + "1");
  // A long flat sum over the variable builds a tree as high as it is long.
  std::string sum = "n";
  for (int i = 0; i < 100000; ++i) sum += "+n";
  expectTooDeep(sum);
  // Nesting within the limit is fine, and constant chains fold as they go.
  const int depth = TCExpression::MaxDepth - 6;
  EXPECT_EQ(Eval(std::string(depth, '(') + "n" + std::string(depth, ')'), 5), 5);
  EXPECT_EQ(Eval(std::string(depth, '-') + "n", 5), depth % 2 ? -5 : 5);
  std::string ones = "1";
  for (int i = 0; i < 100000; ++i) ones += "+1";
  EXPECT_EQ(Eval(ones), 100001);
}

TEST(CExpression, FormattedSourceReadsBackToTheSameValues) {
  const char* formulas[] = {
      "n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2",
      "n==0 ? 0 : n==1 ? 1 : n==2 ? 2 : n%100>=3 && n%100<=10 ? 3 : n%100>=11 ? 4 : 5",
      "~n & 7 | n >> 2 ^ -n << 3",
      "!n + -(n - 2147483647 - 1) * 3 / 7 % 5",
      "n ? n ? 1 : 2 : 3",
  };
  for (const char* formula : formulas) {
    TCExpression original(formula);
    TCExpression again(original.FormattedSource());
    EXPECT_EQ(again.FormattedSource(), original.FormattedSource());
    for (int32_t n : {0, 1, 2, 3, 5, 11, 12, 22, 101, 111, 1000, 123457, INT32_MAX, INT32_MIN, -1, -12}) {
      original.GetVars("n")->SetValue(n);
      again.GetVars("n")->SetValue(n);
      EXPECT_EQ(again.Evaluate(), original.Evaluate()) << formula << " n = " << n;
    }
  }
}
