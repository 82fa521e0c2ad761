#include "TranslationCatalog.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace I18n {

namespace {

std::string Utf8(const QString& S) { return S.toStdString(); }
QString Latin(const char* S) { return QString::fromLatin1(S); }

int HexValue(char16_t C) {
  if (C >= u'0' && C <= u'9') return C - u'0';
  if (C >= u'a' && C <= u'f') return C - u'a' + 10;
  if (C >= u'A' && C <= u'F') return C - u'A' + 10;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Plural texts

namespace PluralText {

// Each terminated piece, then a non-empty tail.
std::vector<QString> Split(const QString& Text) {
  std::vector<QString> pieces;
  qsizetype start = 0;
  for (qsizetype i = 0; i < Text.size(); ++i)
    if (Text[i].unicode() == 0) {
      pieces.push_back(Text.mid(start, i - start));
      start = i + 1;
    }
  if (start < Text.size()) pieces.push_back(Text.mid(start));
  return pieces;
}

int Count(const QString& Text) { return int(Split(Text).size()); }

QString Get(const QString& Text, int Index) {
  if (Index < 0) return QString();
  const std::vector<QString> pieces = Split(Text);
  return size_t(Index) < pieces.size() ? pieces[size_t(Index)] : QString();
}

void Set(QString& Text, int Index, const QString& PluralForm) {
  if (Index < 0) return;
  std::vector<QString> pieces = Split(Text);
  if (size_t(Index) >= pieces.size()) pieces.resize(size_t(Index) + 1);
  pieces[size_t(Index)] = PluralForm;
  QString result;
  for (const QString& piece : pieces) {
    result += piece;
    result += QChar(u'\0');
  }
  Text = result;
}

}  // namespace PluralText

// ---------------------------------------------------------------------------
// Escaping

QString EscapeText(const QString& Text) {
  static const char Hex[] = "0123456789ABCDEF";
  QString out;
  out.reserve(Text.size());
  for (qsizetype i = 0; i < Text.size(); ++i) {
    const char16_t c = Text[i].unicode();
    switch (c) {
      case 0: out += u"\\0"; continue;
      case 8: out += u"\\b"; continue;
      case 9: out += u"\\t"; continue;
      case 10: out += u"\\n"; continue;
      case 11: out += u"\\v"; continue;
      case 12: out += u"\\f"; continue;
      case 13: out += u"\\r"; continue;
      case u'\\': out += u"\\\\"; continue;
      default: break;
    }
    if (c < 32) {
      out += u"\\x";
      out += QChar(Hex[c >> 4]);
      out += QChar(Hex[c & 15]);
      continue;
    }
    // Characters an XML document cannot hold.
    bool unwritable = c == 0xFFFE || c == 0xFFFF;
    if (QChar::isHighSurrogate(c)) {
      if (i + 1 < Text.size() && QChar::isLowSurrogate(Text[i + 1].unicode())) {
        out += Text[i];
        out += Text[++i];
        continue;
      }
      unwritable = true;
    } else if (QChar::isLowSurrogate(c)) {
      unwritable = true;
    }
    if (unwritable) {
      out += u"\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += QChar(Hex[(c >> shift) & 15]);
      continue;
    }
    out += QChar(c);
  }
  return out;
}

QString UnescapeText(const QString& Text) {
  QString out;
  out.reserve(Text.size());
  for (qsizetype i = 0; i < Text.size(); ++i) {
    const char16_t c = Text[i].unicode();
    if (c != u'\\') {
      out += QChar(c);
      continue;
    }
    if (i + 1 >= Text.size()) {
      out += QChar(u'\\');
      break;
    }
    const char16_t e = Text[++i].unicode();
    switch (e) {
      case u'0': out += QChar(u'\0'); break;
      case u'b': out += QChar(u'\b'); break;
      case u't': out += QChar(u'\t'); break;
      case u'n': out += QChar(u'\n'); break;
      case u'v': out += QChar(u'\v'); break;
      case u'f': out += QChar(u'\f'); break;
      case u'r': out += QChar(u'\r'); break;
      case u'\\': out += QChar(u'\\'); break;
      case u'u':
      case u'x': {
        const int maxDigits = e == u'u' ? 4 : 2;
        int value = 0, digits = 0;
        while (digits < maxDigits && i + 1 < Text.size()) {
          const int d = HexValue(Text[i + 1].unicode());
          if (d < 0) break;
          value = value * 16 + d;
          ++digits;
          ++i;
        }
        if (digits == 0) throw EConvertError("Invalid escaped character in the string");
        out += QChar(char16_t(value));
        break;
      }
      default:
        out += QChar(u'\\');
        break;
    }
  }
  return out;
}

double TextSimilarity(const QString& A, const QString& B) {
  const QString a = A.toLower(), b = B.toLower();
  const qsizetype n = std::max(a.size(), b.size());
  if (n == 0) return 1.0;
  qsizetype first = 0;
  while (first < a.size() && first < b.size() && a[first] == b[first]) ++first;
  qsizetype lastA = a.size(), lastB = b.size();
  while (lastA > first && lastB > first && a[lastA - 1] == b[lastB - 1]) {
    --lastA;
    --lastB;
  }
  const std::u16string_view x(reinterpret_cast<const char16_t*>(a.constData()) + first, size_t(lastA - first));
  const std::u16string_view y(reinterpret_cast<const char16_t*>(b.constData()) + first, size_t(lastB - first));
  // Restricted edit distance over three rows.
  const size_t lx = x.size(), ly = y.size();
  std::vector<size_t> before(ly + 1), previous(ly + 1), current(ly + 1);
  for (size_t j = 0; j <= ly; ++j) previous[j] = j;
  for (size_t i = 1; i <= lx; ++i) {
    current[0] = i;
    for (size_t j = 1; j <= ly; ++j) {
      const size_t cost = x[i - 1] == y[j - 1] ? 0 : 1;
      size_t d = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1]) d = std::min(d, before[j - 2] + 1);
      current[j] = d;
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return 1.0 - double(previous[ly]) / double(n);
}

// ---------------------------------------------------------------------------
// Object model

void TTextTranslation::Assign(const TTextTranslation& Source) {
  fLocale = Source.Locale();
  fValue = Source.fValue;
  fState = Source.fState;
  fNote = Source.fNote;
}

TTextTranslation* TTextTranslations::NearestTo(const QString& Locale) const {
  if (TTextTranslation* exact = Find(Locale)) return exact;
  const TCultureInfo* culture = TCultureTable::NearestTo(Utf8(Locale));
  if (!culture) return nullptr;
  const QString language = Latin(culture->Language2);
  TTextTranslation* best = nullptr;
  for (TTextTranslation* t : *this) {
    const QString locale = t->Locale().toLower();
    if (!locale.startsWith(language)) continue;
    if (locale.size() != language.size() && locale[language.size()] != u'-') continue;
    if (!best || t->State() > best->State()) best = t;
    if (best->State() == tsUser) break;
  }
  return best;
}

void TTextDefinition::Assign(const TTextDefinition& Source) {
  fComment = Source.fComment;
  fValue = Source.fValue;
  fTranslations.Clear();
  for (const TTextTranslation* t : Source.fTranslations) fTranslations.Add(t->Key())->Assign(*t);
}

TTextTranslation* TTextDictionary::TranslationOf(const QString& ID, const QString& Locale) const {
  const TTextDefinition* definition = Find(ID);
  return definition ? definition->Translations().NearestTo(Locale) : nullptr;
}

void TTextDictionary::Translate(std::span<TTextItem> TextItems, const QString& Locale) const {
  for (TTextItem& item : TextItems) {
    const TTextTranslation* t = TranslationOf(item.ID, Locale);
    if (t && t->State() == tsUser) {
      item.TranslatedValue = t->Value();
      item.IsTranslated = true;
    } else {
      item.TranslatedValue.clear();
      item.IsTranslated = false;
    }
  }
}

const std::string* TCustomPluralRules::RuleOf(const TCultureInfo* Culture) const {
  if (!Culture) return nullptr;
  const TCustomPluralRule* r = Find(Latin(Culture->Locale));
  return r ? &r->Rule : nullptr;
}

void TCustomPluralRules::Store(const TCultureInfo* Culture, const std::string& Rule) {
  if (!Culture) return;
  TCustomPluralRule* r = Add(Latin(Culture->Locale));
  r->Culture = Culture;
  r->Rule = Rule;
}

TTranslationCatalog::TTranslationCatalog() : fTextDomains(this) {}

TTranslationCatalog::~TTranslationCatalog() = default;

void TTranslationCatalog::Clear() {
  fNativeCulture = nullptr;
  fCultures.Clear();
  fTextDomains.Clear();
  fCustomPluralRules.Clear();
  fCompressed = false;
}

void TTranslationCatalog::EndUpdate() {
  if (fUpdateCount <= 0) return;
  if (--fUpdateCount == 0) RebuildCultures();
}

void TTranslationCatalog::RebuildCultures() {
  fCultures.Clear();
  for (const TTextDomain* domain : fTextDomains)
    for (const TTextDictionary* dictionary : {&domain->Properties(), &domain->Literals()})
      for (const TTextDefinition* definition : *dictionary)
        for (const TTextTranslation* t : definition->Translations())
          fCultures.Add(TCultureTable::Find(Utf8(t->Locale())));
  fCultures.Add(fNativeCulture);
}

std::string TTranslationCatalog::PluralRuleOf(const TCultureInfo* Culture) const {
  if (!Culture) Culture = fNativeCulture ? fNativeCulture : TCultureTable::Default();
  if (const std::string* custom = fCustomPluralRules.RuleOf(Culture)) return *custom;
  return Culture->PluralRule;
}

}  // namespace I18n
