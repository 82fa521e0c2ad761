// The translator of one window: it knows which texts of its window can be
// translated, applies the catalog's translations to them whenever the
// localizer's language changes, and answers the window's code for every
// literal text it shows.
//
// A window (its class must carry Q_OBJECT: the class name without its
// leading "T" is the catalog domain, "TMainForm" -> "MainForm") builds its
// children, names every child whose texts are translatable (setObjectName),
// then creates and starts its translator:
//
//   Translator = new I18n::TTranslator(this);   // listens to TLocalizer::FirstInstance()
//   Translator->Start();                        // collects the designed texts, translates
//
// Literals (the English text is the key; keep it exactly as written):
//
//   label->setText(Translator->GetText("Operation cancelled"));
//   QString s = Translator->Format("Cannot open %s (%d)", {path, 42});
//   // or: QString::asprintf(qUtf8Printable(Translator->GetText("%d files")), n)
//
// A translation whose %s/%d placeholders differ from the English text's is
// never used, so formatting a translated pattern is always safe.
//
// The current language is the localizer's (see Localizer.h):
//
//   I18n::TLocalizer::FirstInstance()->SetCulture(I18n::TCultureTable::Find("fr-FR"));
//
// Messages go through the program's message dialog (MessageDialog.h):
//
//   I18n::TLocalizationModule::Instance()->MsgDialog()->Inform(Translator->GetText("Done"));
//   if (module->MsgDialog()->Confirm(Translator->GetText("Close?"))) ...   // Yes is the default
//   module->MsgDialog()->ShowWarning(Translator->GetText("Help file not found"));
//
// Property keys follow the catalog's: ".Caption" for the window title,
// "CloseButton.Caption", "CloseButton.Hint", "MsgDialog.ButtonCaptions.OK",
// "Box.Items[2]"; the mapping onto Qt properties is TranslatableProperties().
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <vector>

#include "Localizer.h"
#include "TranslationCatalog.h"

class QWidget;

namespace I18n {

class TTranslator;

// An ordered list of text items found by id (case ignored).
class TTextItems {
public:
  int Count() const { return int(fItems.size()); }
  TTextItem& operator[](int Index) { return fItems[size_t(Index)]; }
  const TTextItem& operator[](int Index) const { return fItems[size_t(Index)]; }
  TTextItem* Find(const QString& ID);
  const TTextItem* Find(const QString& ID) const;
  // The item of ID, appended when new.
  TTextItem& Add(const QString& ID);
  void Delete(const QString& ID);
  void Clear();
  // Every item untranslated, its translated value cleared.
  void DiscardTranslations();
  std::vector<TTextItem>& Items() { return fItems; }
  std::vector<TTextItem>::iterator begin() { return fItems.begin(); }
  std::vector<TTextItem>::iterator end() { return fItems.end(); }

  // Sets the designed text; a different one clears the translation.
  static void SetOriginalValue(TTextItem& Item, const QString& Value);
  // The translated value when translated, else the designed text.
  static const QString& Value(const TTextItem& Item) {
    return Item.IsTranslated ? Item.TranslatedValue : Item.OriginalValue;
  }

private:
  std::vector<TTextItem> fItems;
  QHash<QString, int> fIndex;  // upper-cased id -> position
  void Reindex();
};

class TTranslatables {
public:
  explicit TTranslatables(TTranslator* ATranslator) : fTranslator(ATranslator) {}
  TTranslator* Translator() const { return fTranslator; }
  TTextItems& Properties() { return fProperties; }
  TTextItems& Literals() { return fLiterals; }

private:
  TTranslator* fTranslator;
  TTextItems fProperties;
  TTextItems fLiterals;
};

// One entry of the mapping between catalog property names and Qt: objects
// of class QtClass (or derived) have the catalog property Name stored in the
// Qt property QtProperty (a "@" name is handled by the translator itself).
struct TTranslatableProperty {
  const char* QtClass;
  const char* Name;
  const char* QtProperty;
};
const std::vector<TTranslatableProperty>& TranslatableProperties();

// The catalog id of a literal: the MD5 digest of its UTF-8 bytes in 32
// upper-case hexadecimal digits; plural forms: "#" and the digest of every
// form followed by U+0000.
QString LiteralID(const QString& Text);
QString PluralLiteralID(const QStringList& Texts);
// The printf placeholders of a pattern, in order ("%%" is none).
QStringList TextPlaceholders(const QString& Pattern);

class TTranslator : public QObject, public ILocalizerLink {
  Q_OBJECT

public:
  // Owner: the window (or module) whose texts are translated; null gives
  // the domain "-DEFAULT-". Localizer null: TLocalizer::FirstInstance().
  explicit TTranslator(QObject* Owner, TLocalizer* ALocalizer = nullptr);
  ~TTranslator() override;

  // Collects the owner's designed texts and applies the current language.
  // Call once the owner's children exist and are named.
  void Start();

  QString DomainName() const;
  TLocalizer* Localizer() const { return fLocalizer.data(); }
  void SetLocalizer(TLocalizer* ALocalizer);
  TTranslatables& Translatables() { return fTranslatables; }
  const TCultureInfo* CurrentCulture() const { return fCurrentCulture; }
  bool AutoBiDiLayout() const { return fAutoBiDiLayout; }
  void SetAutoBiDiLayout(bool Value) { fAutoBiDiLayout = Value; }
  bool IsLayoutFlipped() const { return fLayoutFlipped; }

  // The translation of a literal, or the literal itself.
  QString GetText(const QString& Text);
  QString GetNText(const QStringList& Texts, int N);
  // GetText(Pattern) with its %s and %d (also %ld, %u, %5.2f ...) filled
  // from Args in order and "%%" giving "%"; missing arguments leave their
  // placeholder as written.
  QString Format(const QString& Pattern, const QVariantList& Args);

  void BeginUpdate();
  void EndUpdate();

  std::function<void(TTranslator*)> OnLoaded, OnBeforeTranslate, OnAfterTranslate, OnBeforeFlipLayout,
      OnAfterFlipLayout;

  void LocalizerNotify(TLocalizer* Sender, TLocalizerNotification Reason) override;

  // Re-reads the designed texts of the owner (after the code changed them).
  void RefreshOriginalValues();
  // Applies the localizer's language now: mirrors when needed, translates.
  void Apply();
  void Translate();
  void FlipLayout();

private:
  QPointer<QObject> fOwner;
  QPointer<TLocalizer> fLocalizer;
  TTranslatables fTranslatables;
  const TCultureInfo* fCurrentCulture = nullptr;
  bool fAutoBiDiLayout = true;
  bool fLayoutFlipped = false;
  bool fStarted = false;
  int fUpdateCount = 0;
  QPointer<QWidget> fActiveControl;
  bool fUpdatesWereEnabled = true;

  void WriteValues();
  bool NeedsFlip() const;
  void TranslateLiteral(TTextItem& Item);
};

}  // namespace I18n
