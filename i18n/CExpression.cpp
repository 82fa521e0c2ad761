#include "CExpression.h"

#include <algorithm>
#include <climits>

namespace I18n {

namespace {

char LowerAscii(char C) { return (C >= 'A' && C <= 'Z') ? char(C - 'A' + 'a') : C; }

// Orders names ignoring the letter case of ASCII letters.
int CompareNoCase(const std::string& A, const std::string& B) {
  const size_t n = std::min(A.size(), B.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char a = static_cast<unsigned char>(LowerAscii(A[i]));
    const unsigned char b = static_cast<unsigned char>(LowerAscii(B[i]));
    if (a != b) return a < b ? -1 : 1;
  }
  return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\n' || C == '\r'; }
bool IsDigit(char C) { return C >= '0' && C <= '9'; }
bool IsLetter(char C) { return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z'); }
bool IsNameStart(char C) { return IsLetter(C) || C == '_'; }
bool IsNameChar(char C) { return IsNameStart(C) || IsDigit(C); }

}  // namespace

const char* OperatorText(TCUnaryOp Op) {
  switch (Op) {
    case TCUnaryOp::opNone: return "+";
    case TCUnaryOp::opNegate: return "-";
    case TCUnaryOp::opLogNot: return "!";
    case TCUnaryOp::opBitNot: return "~";
  }
  return "?";
}

const char* OperatorText(TCBinaryOp Op) {
  switch (Op) {
    case TCBinaryOp::opAdd: return "+";
    case TCBinaryOp::opSubtract: return "-";
    case TCBinaryOp::opMultiply: return "*";
    case TCBinaryOp::opDivide: return "/";
    case TCBinaryOp::opModulus: return "%";
    case TCBinaryOp::opBitAnd: return "&";
    case TCBinaryOp::opBitOr: return "|";
    case TCBinaryOp::opBitXor: return "^";
    case TCBinaryOp::opShiftLeft: return "<<";
    case TCBinaryOp::opShiftRight: return ">>";
    case TCBinaryOp::opEqual: return "==";
    case TCBinaryOp::opNotEqual: return "!=";
    case TCBinaryOp::opGreaterThan: return ">";
    case TCBinaryOp::opGreaterThanOrEqual: return ">=";
    case TCBinaryOp::opLessThan: return "<";
    case TCBinaryOp::opLessThanOrEqual: return "<=";
    case TCBinaryOp::opLogAnd: return "&&";
    case TCBinaryOp::opLogOr: return "||";
  }
  return "?";
}

// The arithmetic is done on uint32_t, where it wraps around by definition;
// the conversion back to int32_t is modulo 2^32 as well.
int32_t ApplyUnary(TCUnaryOp Op, int32_t Value) {
  switch (Op) {
    case TCUnaryOp::opNone: return Value;
    case TCUnaryOp::opNegate: return int32_t(0u - uint32_t(Value));
    case TCUnaryOp::opLogNot: return Value == 0 ? 1 : 0;
    case TCUnaryOp::opBitNot: return int32_t(~uint32_t(Value));
  }
  return Value;
}

int32_t ApplyBinary(TCBinaryOp Op, int32_t Left, int32_t Right) {
  const uint32_t a = uint32_t(Left), b = uint32_t(Right);
  switch (Op) {
    case TCBinaryOp::opAdd: return int32_t(a + b);
    case TCBinaryOp::opSubtract: return int32_t(a - b);
    case TCBinaryOp::opMultiply: return int32_t(a * b);
    case TCBinaryOp::opDivide:
      if (Right == 0) throw ECDivisionByZero();
      // The one quotient that does not fit wraps around to itself.
      if (Left == INT32_MIN && Right == -1) return INT32_MIN;
      return Left / Right;
    case TCBinaryOp::opModulus:
      if (Right == 0) throw ECDivisionByZero();
      if (Right == -1) return 0;
      return Left % Right;
    case TCBinaryOp::opBitAnd: return int32_t(a & b);
    case TCBinaryOp::opBitOr: return int32_t(a | b);
    case TCBinaryOp::opBitXor: return int32_t(a ^ b);
    case TCBinaryOp::opShiftLeft: return int32_t(a << (b & 31u));
    case TCBinaryOp::opShiftRight: return int32_t(a >> (b & 31u));
    case TCBinaryOp::opEqual: return Left == Right;
    case TCBinaryOp::opNotEqual: return Left != Right;
    case TCBinaryOp::opGreaterThan: return Left > Right;
    case TCBinaryOp::opGreaterThanOrEqual: return Left >= Right;
    case TCBinaryOp::opLessThan: return Left < Right;
    case TCBinaryOp::opLessThanOrEqual: return Left <= Right;
    case TCBinaryOp::opLogAnd: return Left != 0 && Right != 0;
    case TCBinaryOp::opLogOr: return Left != 0 || Right != 0;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Nodes

TCExprVarNode::TCExprVarNode(TCExprVar* AVariable) : TCExprNode(1), fVariable(AVariable) { fVariable->AddRef(); }

TCExprVarNode::~TCExprVarNode() { fVariable->Release(); }

std::string TCExprConstNode::AsString() const {
  // The smallest value has no literal of its own.
  if (fValue == INT32_MIN) return "(-2147483647 - 1)";
  return std::to_string(fValue);
}

TCExprUnaryNode::TCExprUnaryNode(TCUnaryOp AOp, TCExprNodePtr AOperand)
    : TCExprNode(AOperand->Depth() + 1), fOp(AOp), fOperand(std::move(AOperand)) {}

int32_t TCExprUnaryNode::Value() const { return ApplyUnary(fOp, fOperand->Value()); }

std::string TCExprUnaryNode::AsString() const { return OperatorText(fOp) + fOperand->AsString(); }

TCExprBinaryNode::TCExprBinaryNode(TCBinaryOp AOp, TCExprNodePtr ALeft, TCExprNodePtr ARight)
    : TCExprNode(std::max(ALeft->Depth(), ARight->Depth()) + 1),
      fOp(AOp),
      fOperandLeft(std::move(ALeft)),
      fOperandRight(std::move(ARight)) {}

int32_t TCExprBinaryNode::Value() const {
  const int32_t left = fOperandLeft->Value();
  if (fOp == TCBinaryOp::opLogAnd) return left != 0 && fOperandRight->Value() != 0;
  if (fOp == TCBinaryOp::opLogOr) return left != 0 || fOperandRight->Value() != 0;
  return ApplyBinary(fOp, left, fOperandRight->Value());
}

std::string TCExprBinaryNode::AsString() const {
  return "(" + fOperandLeft->AsString() + " " + OperatorText(fOp) + " " + fOperandRight->AsString() + ")";
}

TCExprTernaryNode::TCExprTernaryNode(TCExprNodePtr ACondition, TCExprNodePtr ATrue, TCExprNodePtr AFalse)
    : TCExprNode(std::max({ACondition->Depth(), ATrue->Depth(), AFalse->Depth()}) + 1),
      fCondition(std::move(ACondition)),
      fOperandTrue(std::move(ATrue)),
      fOperandFalse(std::move(AFalse)) {}

int32_t TCExprTernaryNode::Value() const {
  return fCondition->Value() != 0 ? fOperandTrue->Value() : fOperandFalse->Value();
}

bool TCExprTernaryNode::IsVariable() const {
  if (fCondition->IsVariable()) return true;
  return (fCondition->Value() != 0 ? fOperandTrue : fOperandFalse)->IsVariable();
}

std::string TCExprTernaryNode::AsString() const {
  return "(" + fCondition->AsString() + " ? " + fOperandTrue->AsString() + " : " + fOperandFalse->AsString() + ")";
}

// ---------------------------------------------------------------------------
// Parser

class TCExprParser {
public:
  explicit TCExprParser(TCExpression& AOwner) : fOwner(AOwner), fText(AOwner.fSource) {}

  TCExprNodePtr Parse() {
    Next();
    TCExprNodePtr result = ParseExpression();
    if (fKind != tkEnd) Fail("Unexpected symbol '" + fToken + "'");
    return result;
  }

private:
  enum TTokenKind { tkEnd, tkNumber, tkName, tkSymbol };

  TCExpression& fOwner;
  const std::string& fText;
  size_t fPos = 0;  // just past the current token
  TTokenKind fKind = tkEnd;
  std::string fToken;
  int fNesting = 0;

  // Counts one level of recursion; the guard gives it back.
  struct TNestingGuard {
    TCExprParser& Parser;
    explicit TNestingGuard(TCExprParser& AParser) : Parser(AParser) {
      if (++Parser.fNesting > TCExpression::MaxDepth) Parser.Fail("The expression is nested too deeply");
    }
    ~TNestingGuard() { --Parser.fNesting; }
  };

  [[noreturn]] void Fail(const std::string& Message) const {
    // The offset counts characters of the UTF-8 text, not its bytes.
    int offset = 0;
    for (size_t i = 0; i < fPos && i < fText.size(); ++i)
      if ((static_cast<unsigned char>(fText[i]) & 0xC0) != 0x80) ++offset;
    throw ECExpressionError(Message, fText, offset, fToken);
  }

  void Next() {
    while (fPos < fText.size() && IsBlank(fText[fPos])) ++fPos;
    const size_t start = fPos;
    if (fPos >= fText.size()) {
      fKind = tkEnd;
      fToken.clear();
      return;
    }
    const char c = fText[fPos];
    if (IsDigit(c)) {
      while (fPos < fText.size() && IsDigit(fText[fPos])) ++fPos;
      fKind = tkNumber;
    } else if (IsNameStart(c)) {
      while (fPos < fText.size() && IsNameChar(fText[fPos])) ++fPos;
      fKind = tkName;
    } else {
      fKind = tkSymbol;
      ++fPos;
      if (fPos < fText.size()) {
        static const char* const Pairs[] = {"!=", "&&", "<<", "<=", "==", ">=", ">>", "||"};
        for (const char* pair : Pairs)
          if (c == pair[0] && fText[fPos] == pair[1]) {
            ++fPos;
            break;
          }
      }
      // A character outside ASCII is one symbol with all its UTF-8 bytes,
      // so that messages quote it whole.
      if (static_cast<unsigned char>(c) >= 0xC0)
        while (fPos < fText.size() && (static_cast<unsigned char>(fText[fPos]) & 0xC0) == 0x80 &&
               fPos - start < 4)
          ++fPos;
    }
    fToken.assign(fText, start, fPos - start);
  }

  bool IsSymbol(const char* Text) const { return fKind == tkSymbol && fToken == Text; }

  // Refuses trees higher than the evaluation may recurse.
  TCExprNodePtr Checked(TCExprNodePtr Node) {
    if (Node->Depth() > TCExpression::MaxDepth) Fail("The expression is nested too deeply");
    return Node;
  }

  // Folds a node that depends on no variable into a constant.
  TCExprNodePtr Folded(TCExprNodePtr Node) {
    if (Node->IsVariable()) return Checked(std::move(Node));
    int32_t value;
    try {
      value = Node->Value();
    } catch (const ECDivisionByZero& e) {
      Fail(e.what());
    }
    return std::make_unique<TCExprConstNode>(value);
  }

  TCExprNodePtr ParseExpression() {
    TCExprNodePtr condition = ParseBinary(1);
    if (!IsSymbol("?")) return condition;
    TNestingGuard guard(*this);
    Next();
    TCExprNodePtr whenTrue = ParseExpression();
    if (!IsSymbol(":")) Fail("Missing symbol ':'");
    Next();
    TCExprNodePtr whenFalse = ParseExpression();
    // A constant condition leaves only the branch it selects.
    if (!condition->IsVariable()) return condition->Value() != 0 ? std::move(whenTrue) : std::move(whenFalse);
    return Folded(
        std::make_unique<TCExprTernaryNode>(std::move(condition), std::move(whenTrue), std::move(whenFalse)));
  }

  // The two-operand operator of the current token and its precedence (1 for
  // "||" up to 10 for "*"), or 0 when the token is none.
  int BinaryOperator(TCBinaryOp& Op) const {
    if (fKind != tkSymbol) return 0;
    struct TEntry {
      const char* Text;
      TCBinaryOp Op;
      int Precedence;
    };
    static const TEntry Table[] = {
        {"||", TCBinaryOp::opLogOr, 1},
        {"&&", TCBinaryOp::opLogAnd, 2},
        {"|", TCBinaryOp::opBitOr, 3},
        {"^", TCBinaryOp::opBitXor, 4},
        {"&", TCBinaryOp::opBitAnd, 5},
        {"==", TCBinaryOp::opEqual, 6},
        {"!=", TCBinaryOp::opNotEqual, 6},
        {">", TCBinaryOp::opGreaterThan, 7},
        {">=", TCBinaryOp::opGreaterThanOrEqual, 7},
        {"<", TCBinaryOp::opLessThan, 7},
        {"<=", TCBinaryOp::opLessThanOrEqual, 7},
        {"<<", TCBinaryOp::opShiftLeft, 8},
        {">>", TCBinaryOp::opShiftRight, 8},
        {"+", TCBinaryOp::opAdd, 9},
        {"-", TCBinaryOp::opSubtract, 9},
        {"*", TCBinaryOp::opMultiply, 10},
        {"/", TCBinaryOp::opDivide, 10},
        {"%", TCBinaryOp::opModulus, 10},
    };
    for (const TEntry& e : Table)
      if (fToken == e.Text) {
        Op = e.Op;
        return e.Precedence;
      }
    return 0;
  }

  // Precedence climbing: every level is left-associative.
  TCExprNodePtr ParseBinary(int MinPrecedence) {
    TCExprNodePtr left = ParsePrimary();
    for (;;) {
      TCBinaryOp op;
      const int precedence = BinaryOperator(op);
      if (precedence == 0 || precedence < MinPrecedence) return left;
      Next();
      TCExprNodePtr right = ParseBinary(precedence + 1);
      left = Folded(std::make_unique<TCExprBinaryNode>(op, std::move(left), std::move(right)));
    }
  }

  TCExprNodePtr ParsePrimary() {
    switch (fKind) {
      case tkEnd: Fail("Unexpected end of expression");
      case tkName: {
        auto node = std::make_unique<TCExprVarNode>(fOwner.GetVars(fToken));
        Next();
        return node;
      }
      case tkNumber: {
        uint64_t value = 0;
        for (char c : fToken) {
          value = value * 10 + uint64_t(c - '0');
          if (value > uint64_t(INT32_MAX)) Fail("The number '" + fToken + "' is too large for a 32-bit integer");
        }
        Next();
        return std::make_unique<TCExprConstNode>(int32_t(value));
      }
      case tkSymbol: break;
    }
    TCUnaryOp op = TCUnaryOp::opNone;
    if (fToken == "+" || fToken == "-" || fToken == "!" || fToken == "~") {
      op = fToken == "+" ? TCUnaryOp::opNone
           : fToken == "-" ? TCUnaryOp::opNegate
           : fToken == "!" ? TCUnaryOp::opLogNot
                           : TCUnaryOp::opBitNot;
      TNestingGuard guard(*this);
      Next();
      TCExprNodePtr operand = ParsePrimary();
      // A leading "+" builds no node.
      if (op == TCUnaryOp::opNone) return operand;
      return Folded(std::make_unique<TCExprUnaryNode>(op, std::move(operand)));
    }
    if (fToken == "(") {
      TNestingGuard guard(*this);
      Next();
      TCExprNodePtr inner = ParseExpression();
      if (!IsSymbol(")")) Fail("Missing symbol ')'");
      Next();
      return inner;
    }
    Fail("Unexpected symbol '" + fToken + "'");
  }
};

// ---------------------------------------------------------------------------
// Expression

TCExpression::TCExpression(const std::string& Expression) : fSource(Expression) {
  TCExprParser parser(*this);
  fExpr = parser.Parse();
}

TCExpression::~TCExpression() { fExpr.reset(); }

TCExprVar* TCExpression::FindVar(const std::string& Name) const {
  auto it = std::lower_bound(fVars.begin(), fVars.end(), Name, [](const std::unique_ptr<TCExprVar>& V,
                                                                  const std::string& N) {
    return CompareNoCase(V->Name(), N) < 0;
  });
  if (it != fVars.end() && CompareNoCase((*it)->Name(), Name) == 0) return it->get();
  return nullptr;
}

TCExprVar* TCExpression::GetVars(const std::string& Name) {
  auto it = std::lower_bound(fVars.begin(), fVars.end(), Name, [](const std::unique_ptr<TCExprVar>& V,
                                                                  const std::string& N) {
    return CompareNoCase(V->Name(), N) < 0;
  });
  if (it != fVars.end() && CompareNoCase((*it)->Name(), Name) == 0) return it->get();
  return fVars.insert(it, std::make_unique<TCExprVar>(Name))->get();
}

}  // namespace I18n
