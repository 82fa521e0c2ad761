// The localizer: the program's translation catalog and current language.
// Windows do not talk to it directly except to switch the language; their
// TTranslator (FormTranslator.h) listens to it and retranslates them.
//
//   I18n::TLocalizer* localizer = I18n::TLocalizer::FirstInstance();
//   localizer->SetCulture(I18n::TCultureTable::Find("de-DE"));  // every window follows
//   localizer->SetCulture(nullptr);                            // back to the designed English
//
// Every change is bracketed by notifications to the registered listeners
// (last registered first), then to the OnNotification callback.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

#include "Cultures.h"
#include "PluralForms.h"
#include "TranslationCatalog.h"

namespace I18n {

class TLocalizer;

enum TLocalizerOption : unsigned {
  loAutoSetectLanguage = 1u << 0,
  loAdjustApplicationBiDiMode = 1u << 1,
  loAdjustFormatSettings = 1u << 2,
  loAdjustKeyboardLayout = 1u << 3,
  loUseNativeDigits = 1u << 4,
  loUseNativeCalendar = 1u << 5,
};
using TLocalizerOptions = unsigned;
constexpr TLocalizerOptions DefaultLocalizerOptions =
    loAdjustApplicationBiDiMode | loAdjustFormatSettings | loUseNativeDigits | loUseNativeCalendar;

enum TLocalizerNotification {
  lnChanging,
  lnChanged,
  lnCatalogChanging,
  lnCatalogChanged,
  lnCultureChanging,
  lnCultureChanged,
  lnBiDiModeChanging,
  lnBiDiModeChanged,
  lnOptionsChanging,
  lnOptionsChanged,
};

// A listener of a localizer's changes.
class ILocalizerLink {
public:
  virtual ~ILocalizerLink() = default;
  virtual void LocalizerNotify(TLocalizer* Sender, TLocalizerNotification Reason) = 0;
};

using TLocalizerNotifyEvent = std::function<void(TLocalizer* Sender, TLocalizerNotification Reason)>;

enum TBiDiMode { bdLeftToRight, bdRightToLeft };

class TLocalizer : public QObject {
  Q_OBJECT

public:
  explicit TLocalizer(QObject* Owner = nullptr, TLocalizerOptions AOptions = DefaultLocalizerOptions);
  ~TLocalizer() override;

  // The first localizer created and still alive: the program-wide one.
  static TLocalizer* FirstInstance();

  // The catalog's location (file path or "file:", "dir:", "dirx:", "res:").
  // Setting a different one reloads the catalog; an empty one clears it.
  const QString& URI() const { return fURI; }
  void SetURI(const QString& AURI);

  const TCultureInfo* Culture() const { return fCulture; }
  // Switches the language (null: none, the designed texts).
  void SetCulture(const TCultureInfo* ACulture);
  // The language of a stored locale name ("fr-BE"), as a user expects it:
  // when the catalog lacks it but has another region of the same language,
  // that region (the language's usual one first: "fr-FR"); a name the
  // culture table lacks gives none. This is how the stored option is applied.
  void SetCultureName(const QString& Locale);

  TLocalizerOptions Options() const { return fOptions; }
  void SetOptions(TLocalizerOptions AOptions);

  // The catalog's languages; the whole culture table while loading.
  const TCultureList& Cultures() const;
  int CultureIndex() const;
  // A negative index clears the culture; one beyond the list does nothing.
  void SetCultureIndex(int Index);

  TBiDiMode BiDiMode() const;
  bool IsBiDiToggled() const { return fBiDiToggled; }
  bool IsReady() const { return !fLoading && fCulture; }
  bool IsLoading() const { return fLoading; }

  TTranslationCatalog& Catalog() { return *fCatalog; }
  const TTranslationCatalog& Catalog() const { return *fCatalog; }
  TPluralForms& PluralForms() { return *fPluralForms; }

  void RegisterListener(ILocalizerLink* Client);
  void UnregisterListener(ILocalizerLink* Client);
  TLocalizerNotifyEvent OnNotification;

  // The approved translation of Text in DomainName (empty: the active
  // window's object name; "*": the first domain with any translation).
  QString GetText(const QString& Text, const QString& DomainName) const;
  QString GetNText(const QStringList& Texts, const QString& DomainName, int N);

  // Loading brackets: while loading nothing is sent and a new URI or
  // culture is only stored; EndLoading applies them.
  void BeginLoading();
  void EndLoading();

  // The default culture: the one of the designed texts ("en-US").
  static const TCultureInfo* DefaultCulture();
  // The form of untranslated plural texts for the count N: the default
  // culture's rule, held to the forms there are.
  static QString UntranslatedForm(const QStringList& Texts, int N);

private:
  QString fURI;
  std::unique_ptr<TTranslationCatalog> fCatalog;
  std::unique_ptr<TPluralForms> fPluralForms;
  TLocalizerOptions fOptions;
  const TCultureInfo* fCulture = nullptr;
  std::vector<ILocalizerLink*> fClients;
  bool fBiDiToggled = false;
  bool fLoading = false;
  bool fDestroying = false;
  bool fReapplyCulture = false;  // the next SetCulture runs even for the same culture
  int fUpdateCount = 0;
  Qt::LayoutDirection fStartDirection;

  void Notify(TLocalizerNotification Reason);
  void BeginChange();
  void EndChange();
  void ReloadCatalog();
  void AdjustToCulture();
  // The catalog language nearest to C (same primary language).
  const TCultureInfo* NearestCatalogCulture(const TCultureInfo* C) const;
};

}  // namespace I18n
