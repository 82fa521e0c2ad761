// A small compiler for integer expressions in the C language syntax, as used
// by the formulas of plural rules ("n%10==1 && n%100!=11 ? 0 : 1").
//
// TCExpression parses the text into a tree of nodes; every part that does not
// depend on a variable is evaluated while parsing and replaced by a constant
// node. Values are 32-bit signed integers with wrap-around arithmetic:
//   + - * wrap around; / and % truncate towards zero (INT_MIN / -1 gives
//   INT_MIN and INT_MIN % -1 gives 0); << and >> shift by the right operand
//   modulo 32, >> without sign extension; comparisons, ! && || give 1 or 0;
//   && and || evaluate the right operand only when needed.
// A division or remainder by zero raises ECDivisionByZero when evaluated, and
// ECExpressionError when it sits in a constant part of the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "I18nError.h"

namespace I18n {

// A syntax error: the source text, the number of characters scanned when the
// error was found and the token at hand (empty at the end of the text).
class ECExpressionError : public EI18nError {
public:
  ECExpressionError(const std::string& Message, const std::string& AExpression, int AOffset,
                    const std::string& AToken)
      : EI18nError(Message), fExpression(AExpression), fOffset(AOffset), fToken(AToken) {}
  const std::string& Expression() const { return fExpression; }
  int Offset() const { return fOffset; }
  const std::string& Token() const { return fToken; }

private:
  std::string fExpression;
  int fOffset;
  std::string fToken;
};

// A division or remainder by zero met while evaluating.
class ECDivisionByZero : public EI18nError {
public:
  ECDivisionByZero() : EI18nError("Division by zero") {}
};

// A named variable of an expression; the nodes that read it count as
// references.
class TCExprVar {
public:
  explicit TCExprVar(const std::string& AName) : fName(AName) {}
  const std::string& Name() const { return fName; }
  int32_t Value() const { return fValue; }
  void SetValue(int32_t AValue) { fValue = AValue; }
  int RefCount() const { return fRefCount; }
  void AddRef() { ++fRefCount; }
  void Release() { --fRefCount; }

private:
  std::string fName;
  int32_t fValue = 0;
  int fRefCount = 0;
};

enum class TCUnaryOp { opNone, opNegate, opLogNot, opBitNot };

enum class TCBinaryOp {
  opAdd,
  opSubtract,
  opMultiply,
  opDivide,
  opModulus,
  opBitAnd,
  opBitOr,
  opBitXor,
  opShiftLeft,
  opShiftRight,
  opEqual,
  opNotEqual,
  opGreaterThan,
  opGreaterThanOrEqual,
  opLessThan,
  opLessThanOrEqual,
  opLogAnd,
  opLogOr
};

// The text of an operator ("-", "!", "~"; "+", "<<", "&&", ...).
const char* OperatorText(TCUnaryOp Op);
const char* OperatorText(TCBinaryOp Op);

// The value rules of the operators, usable on their own.
int32_t ApplyUnary(TCUnaryOp Op, int32_t Value);
// Not for && and || (they need the right operand lazily); raises
// ECDivisionByZero for / and % by 0.
int32_t ApplyBinary(TCBinaryOp Op, int32_t Left, int32_t Right);

class TCExprNode {
public:
  virtual ~TCExprNode() = default;
  virtual int32_t Value() const = 0;
  virtual bool IsVariable() const = 0;
  virtual std::string AsString() const = 0;
  // Height of the subtree (1 for a leaf).
  int Depth() const { return fDepth; }

protected:
  explicit TCExprNode(int ADepth) : fDepth(ADepth) {}

private:
  int fDepth;
};

using TCExprNodePtr = std::unique_ptr<TCExprNode>;

class TCExprVarNode : public TCExprNode {
public:
  explicit TCExprVarNode(TCExprVar* AVariable);
  ~TCExprVarNode() override;
  int32_t Value() const override { return fVariable->Value(); }
  bool IsVariable() const override { return true; }
  std::string AsString() const override { return fVariable->Name(); }
  TCExprVar* Variable() const { return fVariable; }

private:
  TCExprVar* fVariable;
};

class TCExprConstNode : public TCExprNode {
public:
  explicit TCExprConstNode(int32_t AValue) : TCExprNode(1), fValue(AValue) {}
  int32_t Value() const override { return fValue; }
  bool IsVariable() const override { return false; }
  std::string AsString() const override;

private:
  int32_t fValue;
};

class TCExprUnaryNode : public TCExprNode {
public:
  TCExprUnaryNode(TCUnaryOp AOp, TCExprNodePtr AOperand);
  int32_t Value() const override;
  bool IsVariable() const override { return fOperand->IsVariable(); }
  std::string AsString() const override;
  TCUnaryOp Op() const { return fOp; }
  const TCExprNode* Operand() const { return fOperand.get(); }

private:
  TCUnaryOp fOp;
  TCExprNodePtr fOperand;
};

class TCExprBinaryNode : public TCExprNode {
public:
  TCExprBinaryNode(TCBinaryOp AOp, TCExprNodePtr ALeft, TCExprNodePtr ARight);
  int32_t Value() const override;
  bool IsVariable() const override { return fOperandLeft->IsVariable() || fOperandRight->IsVariable(); }
  std::string AsString() const override;
  TCBinaryOp Op() const { return fOp; }
  const TCExprNode* OperandLeft() const { return fOperandLeft.get(); }
  const TCExprNode* OperandRight() const { return fOperandRight.get(); }

private:
  TCBinaryOp fOp;
  TCExprNodePtr fOperandLeft;
  TCExprNodePtr fOperandRight;
};

class TCExprTernaryNode : public TCExprNode {
public:
  TCExprTernaryNode(TCExprNodePtr ACondition, TCExprNodePtr ATrue, TCExprNodePtr AFalse);
  int32_t Value() const override;
  bool IsVariable() const override;
  std::string AsString() const override;
  const TCExprNode* Condition() const { return fCondition.get(); }
  const TCExprNode* OperandTrue() const { return fOperandTrue.get(); }
  const TCExprNode* OperandFalse() const { return fOperandFalse.get(); }

private:
  TCExprNodePtr fCondition;
  TCExprNodePtr fOperandTrue;
  TCExprNodePtr fOperandFalse;
};

class TCExpression {
public:
  // Deepest nesting of parentheses, one-operand operators and conditionals,
  // and the greatest height of the tree, that an expression may have; deeper
  // text is refused with a syntax error rather than exhausting the stack.
  static constexpr int MaxDepth = 256;

  // Parses the text; raises ECExpressionError on a syntax error.
  explicit TCExpression(const std::string& Expression);
  ~TCExpression();
  TCExpression(const TCExpression&) = delete;
  TCExpression& operator=(const TCExpression&) = delete;

  const std::string& Source() const { return fSource; }
  // The variables, sorted by name (ignoring letter case).
  int VarCount() const { return int(fVars.size()); }
  TCExprVar* Vars(int Index) const { return fVars.at(size_t(Index)).get(); }
  const std::string& VarNames(int Index) const { return Vars(Index)->Name(); }
  // The variable of that name (any letter case), created when absent.
  TCExprVar* GetVars(const std::string& Name);
  // The variable of that name, or null.
  TCExprVar* FindVar(const std::string& Name) const;

  const TCExprNode* Expr() const { return fExpr.get(); }
  int32_t Evaluate() const { return fExpr->Value(); }
  bool IsVariable() const { return fExpr->IsVariable(); }
  // The text of the tree: every two-operand and conditional node in
  // parentheses, operators surrounded by blanks.
  std::string FormattedSource() const { return fExpr->AsString(); }

private:
  std::string fSource;
  std::vector<std::unique_ptr<TCExprVar>> fVars;
  TCExprNodePtr fExpr;  // destroyed before the variables it refers to
  friend class TCExprParser;
};

}  // namespace I18n
