// Translation catalogs: every translatable text of the program, grouped by
// text domain (one window or module) into property texts and literal texts,
// with the translations of each text into any number of languages.
//
//   TTranslationCatalog catalog;
//   catalog.Open("dirx:%APPDATA%/Vorelle/*.i18n");
//   const TTextTranslation* t = catalog.TextDomains().Find("MainForm")
//                                   ->Literals().TranslationOf(id, "es-MX");
//
// Catalog files are XML documents with the root "i18nCatalog", plain or
// zlib-compressed. Texts are QStrings; a text with plural forms holds every
// form followed by U+0000.
#pragma once

#include <QString>
#include <QStringList>

#include <span>
#include <string>
#include <vector>

#include "Cultures.h"
#include "HashList.h"
#include "I18nError.h"

class QDomDocument;
class QDomElement;
class QIODevice;

namespace I18n {

// Raised for a catalog that cannot be read.
class ETranslationCatalogError : public EI18nError {
public:
  explicit ETranslationCatalogError(const std::string& Message) : EI18nError(Message) {}
};
class EDirectoryNotFoundException : public EI18nError {
public:
  explicit EDirectoryNotFoundException(const std::string& Message) : EI18nError(Message) {}
};
class ENotSupportedException : public EI18nError {
public:
  explicit ENotSupportedException(const std::string& Message) : EI18nError(Message) {}
};
// A text that is not in the expected form (a bad escape sequence).
class EConvertError : public EI18nError {
public:
  explicit EConvertError(const std::string& Message) : EI18nError(Message) {}
};
// A file or resource that cannot be opened, read or written.
class EFileError : public EI18nError {
public:
  explicit EFileError(const std::string& Message) : EI18nError(Message) {}
};
class EResNotFound : public EI18nError {
public:
  explicit EResNotFound(const std::string& Message) : EI18nError(Message) {}
};

// Plural texts: every form is followed by U+0000. A trailing piece without
// its terminator (a plain text) counts as one more form.
namespace PluralText {
// Every form, in order.
std::vector<QString> Split(const QString& Text);
int Count(const QString& Text);
// Form Index (from 0); an index outside the forms gives the empty text.
QString Get(const QString& Text, int Index);
// Replaces form Index, or appends it (after empty forms when Index lies
// beyond the end). A negative index changes nothing.
void Set(QString& Text, int Index, const QString& PluralForm);
}  // namespace PluralText

// The escaping of texts in catalog files: U+0000 as "\0", the characters 8
// to 13 as "\b", "\t", "\n", "\v", "\f", "\r", a backslash doubled, any other
// character below 32 as "\x" and two upper-case hexadecimal digits.
// Characters XML cannot carry (U+FFFE, U+FFFF, unpaired surrogates) are
// written as "\u" and four digits, so that every text survives a save.
QString EscapeText(const QString& Text);
// The reverse; also accepts "\u" with up to four and "\x" with up to two
// hexadecimal digits in either case. A backslash before any other character
// yields a backslash and drops the character. "\u" or "\x" without a digit
// raises EConvertError "Invalid escaped character in the string".
QString UnescapeText(const QString& Text);

// The similarity of two texts, 0 to 1: both lowered, 1 - d / n with n the
// longer length and d the edit distance counting insertions, deletions,
// substitutions and transpositions of adjacent characters.
double TextSimilarity(const QString& A, const QString& B);

enum TTranslationState { tsNone, tsFuzzy, tsGoogle, tsAuto, tsUser };

enum TTextDictionaryKind { dkProperty, dkLiteral };
using TTextDitionaryKind = TTextDictionaryKind;

enum TMergeOption : unsigned {
  moPreferSource = 1u << 0,
  moDeleteDomainsNotInSource = 1u << 1,
  moDeleteDefinitionsNotInSource = 1u << 2,
};
using TMergeOptions = unsigned;

// One text of a translator's list: its id, the designed text, the
// translated text and whether the translation applies.
struct TTextItem {
  QString ID;
  QString OriginalValue;
  QString TranslatedValue;
  bool IsTranslated = false;
};

class TTextTranslations;
class TTextDefinition;
class TTextDictionary;
class TTextDomain;
class TTextDomains;
class TTranslationCatalog;

class TTextTranslation : public THashItem {
public:
  TTextTranslation(const QString& ALocale, TTextTranslations* AOwner) : THashItem(ALocale), fOwner(AOwner) {}

  TTextTranslations* Owner() const { return fOwner; }
  // The key; Assign may change its letter case.
  const QString& Locale() const { return fLocale.isNull() ? Key() : fLocale; }
  const QString& Value() const { return fValue; }
  void SetValue(const QString& AValue) { fValue = AValue; }
  TTranslationState State() const { return fState; }
  void SetState(TTranslationState AState) { fState = AState; }
  const QString& Note() const { return fNote; }
  void SetNote(const QString& ANote) { fNote = ANote; }
  bool IsApproved() const { return fState == tsUser; }

  int PluralCount() const { return PluralText::Count(fValue); }
  QString GetPlurals(int Index) const { return PluralText::Get(fValue, Index); }
  void SetPlurals(int Index, const QString& PluralForm) { PluralText::Set(fValue, Index, PluralForm); }

  // Copies locale, value, state and note.
  void Assign(const TTextTranslation& Source);

private:
  TTextTranslations* fOwner;
  QString fLocale;  // null: the key
  QString fValue;
  TTranslationState fState = tsNone;
  QString fNote;
};

class TTextTranslations : public THashListOf<TTextTranslation> {
public:
  explicit TTextTranslations(TTextDefinition* ADefinition) : THashListOf(32), fDefinition(ADefinition) {}
  TTextDefinition* Definition() const { return fDefinition; }

  // The translation of exactly Locale (case ignored), whatever its state;
  // else, for the culture table's nearest culture to Locale, the
  // translation of its language ("pt" or "pt-..."), the highest state first
  // and the first one on a tie. Null when nothing fits.
  TTextTranslation* NearestTo(const QString& Locale) const;

protected:
  THashItem* CreateItem(const QString& AKey) override { return new TTextTranslation(AKey, this); }

private:
  TTextDefinition* fDefinition;
};

class TTextDefinition : public THashItem {
public:
  TTextDefinition(const QString& AID, TTextDictionary* ADictionary)
      : THashItem(AID), fDictionary(ADictionary), fTranslations(this) {}

  TTextDictionary* Dictionary() const { return fDictionary; }
  const QString& ID() const { return Key(); }
  const QString& Comment() const { return fComment; }
  void SetComment(const QString& AComment) { fComment = AComment; }
  const QString& Value() const { return fValue; }
  void SetValue(const QString& AValue) { fValue = AValue; }
  TTextTranslations& Translations() { return fTranslations; }
  const TTextTranslations& Translations() const { return fTranslations; }
  bool HasPluralForms() const { return Key().startsWith(u'#'); }

  int PluralCount() const { return PluralText::Count(fValue); }
  QString GetPlurals(int Index) const { return PluralText::Get(fValue, Index); }
  void SetPlurals(int Index, const QString& PluralForm) { PluralText::Set(fValue, Index, PluralForm); }

  // Comment, value and a copy of every translation.
  void Assign(const TTextDefinition& Source);

private:
  TTextDictionary* fDictionary;
  QString fComment;
  QString fValue;
  TTextTranslations fTranslations;
};

class TTextDictionary : public THashListOf<TTextDefinition> {
public:
  TTextDictionary(TTextDomain* ATextDomain, TTextDictionaryKind AKind)
      : THashListOf(256), fTextDomain(ATextDomain), fKind(AKind) {}
  TTextDomain* TextDomain() const { return fTextDomain; }
  TTextDictionaryKind Kind() const { return fKind; }

  // NearestTo(Locale) of the translations of the definition ID; null when
  // either is missing.
  TTextTranslation* TranslationOf(const QString& ID, const QString& Locale) const;
  // Gives every item the approved translation for Locale, and drops the
  // translation of every item that has none.
  void Translate(std::span<TTextItem> TextItems, const QString& Locale) const;

protected:
  THashItem* CreateItem(const QString& AKey) override { return new TTextDefinition(AKey, this); }

private:
  TTextDomain* fTextDomain;
  TTextDictionaryKind fKind;
};

class TTextDomain : public THashItem {
public:
  TTextDomain(const QString& AName, TTextDomains* AOwner)
      : THashItem(AName), fOwner(AOwner), fProperties(this, dkProperty), fLiterals(this, dkLiteral) {}
  TTextDomains* Owner() const { return fOwner; }
  const QString& Name() const { return Key(); }
  TTextDictionary& Properties() { return fProperties; }
  const TTextDictionary& Properties() const { return fProperties; }
  TTextDictionary& Literals() { return fLiterals; }
  const TTextDictionary& Literals() const { return fLiterals; }
  TTextDictionary& Dictionary(TTextDictionaryKind Kind) { return Kind == dkProperty ? fProperties : fLiterals; }

private:
  TTextDomains* fOwner;
  TTextDictionary fProperties;
  TTextDictionary fLiterals;
};

class TTextDomains : public THashListOf<TTextDomain> {
public:
  explicit TTextDomains(TTranslationCatalog* ACatalog) : THashListOf(32), fCatalog(ACatalog) {}
  TTranslationCatalog* Catalog() const { return fCatalog; }

protected:
  THashItem* CreateItem(const QString& AKey) override { return new TTextDomain(AKey, this); }

private:
  TTranslationCatalog* fCatalog;
};

// A custom plural rule, keyed by its culture's locale.
class TCustomPluralRule : public THashItem {
public:
  TCustomPluralRule(const QString& ALocale) : THashItem(ALocale) {}
  const TCultureInfo* Culture = nullptr;
  std::string Rule;
};

class TCustomPluralRules : public THashListOf<TCustomPluralRule> {
public:
  TCustomPluralRules() : THashListOf(128) {}
  const std::string* RuleOf(const TCultureInfo* Culture) const;
  void Store(const TCultureInfo* Culture, const std::string& Rule);

protected:
  THashItem* CreateItem(const QString& AKey) override { return new TCustomPluralRule(AKey); }
};

class TTranslationCatalog {
public:
  // Loaded catalogs (plain or decompressed) larger than this are refused.
  static constexpr qint64 MaxDocumentSize = qint64(64) << 20;

  TTranslationCatalog();
  ~TTranslationCatalog();
  TTranslationCatalog(const TTranslationCatalog&) = delete;
  TTranslationCatalog& operator=(const TTranslationCatalog&) = delete;

  TTextDomains& TextDomains() { return fTextDomains; }
  const TTextDomains& TextDomains() const { return fTextDomains; }
  const TCultureList& Cultures() const { return fCultures; }
  const TCultureInfo* NativeCulture() const { return fNativeCulture; }
  void SetNativeCulture(const TCultureInfo* Culture) { fNativeCulture = Culture; }
  TCustomPluralRules& CustomPluralRules() { return fCustomPluralRules; }
  const TCustomPluralRules& CustomPluralRules() const { return fCustomPluralRules; }
  bool Compressed() const { return fCompressed; }
  void SetCompressed(bool ACompressed) { fCompressed = ACompressed; }

  // Forgets the native culture, the cultures, all domains and custom rules.
  void Clear();
  bool Empty() const { return fTextDomains.IsEmpty(); }
  // Nestable; the outermost EndUpdate rebuilds Cultures.
  void BeginUpdate() { ++fUpdateCount; }
  void EndUpdate();

  // Loads from a location: "file:" (or a plain path), "dir:" or "dirx:" with
  // a folder and an optional file mask, "res:" with a resource name and
  // optional type. Any error clears the catalog and passes on.
  void Open(const QString& URI);
  void LoadFromFile(const QString& FileName);
  // Reads from the stream's current position: plain XML text (UTF-8 or
  // UTF-16 with an XML declaration) or zlib-compressed XML.
  void LoadFromStream(QIODevice& Stream);
  // A resource of the program's compiled Qt resources: ":/ResName" for the
  // raw-data type ("10" or "RCDATA", also an empty type), else
  // ":/ResType/ResName".
  void LoadFromResource(const QString& ResName, const QString& ResType = QString());
  // A numbered resource: its number as its name.
  void LoadFromResource(int ResID, const QString& ResType = QString());
  void LoadFromFiles(const QStringList& FileNames, bool IgnoreErrors);
  void LoadFromDirectory(const QString& Path, bool IncludeSubDirs, const QString& FileMask, bool IgnoreErrors);
  void LoadFromXML(const QDomDocument& Document);

  void SaveToXML(QDomDocument& Document) const;
  void SaveToStream(QIODevice& Stream) const;
  void SaveToFile(const QString& FileName) const;

  void Merge(const TTranslationCatalog& Source, TMergeOptions Options);

  // The custom rule of the culture when one is stored, else its standard
  // rule; a null culture means the native culture, or the default culture.
  std::string PluralRuleOf(const TCultureInfo* Culture) const;

  // Environment references ("%NAME%") expanded; a relative path is put below
  // the program's own folder.
  static QString ResolvePath(const QString& Path);
  // The folder of the running program.
  static QString ProgramFolder();

private:
  const TCultureInfo* fNativeCulture = nullptr;
  TCultureList fCultures;
  TTextDomains fTextDomains;
  TCustomPluralRules fCustomPluralRules;
  bool fCompressed = false;
  int fUpdateCount = 0;

  void RebuildCultures();
  // The document in UTF-8.
  QByteArray SaveToBytes() const;
  void ReadDocument(const QDomElement& Root);
  // The merge; without AMatchRenamed the definitions this catalog holds but
  // Source lacks are kept as they are.
  void MergeFrom(const TTranslationCatalog& Source, TMergeOptions Options, bool AMatchRenamed);
};

// BeginUpdate for the life of this object, EndUpdate on every way out.
class TUpdateGuard {
public:
  explicit TUpdateGuard(TTranslationCatalog& ACatalog) : fCatalog(ACatalog) { fCatalog.BeginUpdate(); }
  ~TUpdateGuard() { fCatalog.EndUpdate(); }
  TUpdateGuard(const TUpdateGuard&) = delete;
  TUpdateGuard& operator=(const TUpdateGuard&) = delete;

private:
  TTranslationCatalog& fCatalog;
};

}  // namespace I18n
