#include "Localizer.h"

#include <QApplication>
#include <QLocale>
#include <QWidget>

#include <algorithm>
#include <cstdio>

#include "FormTranslator.h"

namespace I18n {

namespace {

TLocalizer* TheFirstInstance = nullptr;

QString Latin(const char* Text) { return QString::fromLatin1(Text); }

// Runs the closing half of a bracket on every way out.
template <class F>
class TFinally {
public:
  explicit TFinally(F AFunc) : fFunc(AFunc) {}
  ~TFinally() noexcept(false) { fFunc(); }

private:
  F fFunc;
};

bool IsRightToLeft(Qt::LayoutDirection Direction) { return Direction == Qt::RightToLeft; }

Qt::LayoutDirection ApplicationDirection() {
  return qApp ? QGuiApplication::layoutDirection() : Qt::LeftToRight;
}

// The region number of a culture: 0 for a neutral culture.
int SubLanguageOrder(const TCultureInfo* Culture) { return Culture->LocaleID >> 10; }

}  // namespace

TLocalizer::TLocalizer(QObject* Owner, TLocalizerOptions AOptions)
    : QObject(Owner),
      fCatalog(std::make_unique<TTranslationCatalog>()),
      fPluralForms(std::make_unique<TPluralForms>(DefaultCulture()->PluralRule)),
      fOptions(AOptions),
      fStartDirection(ApplicationDirection()) {
  if (!TheFirstInstance) TheFirstInstance = this;
}

TLocalizer::~TLocalizer() {
  fDestroying = true;
  if (TheFirstInstance == this) TheFirstInstance = nullptr;
}

TLocalizer* TLocalizer::FirstInstance() { return TheFirstInstance; }

const TCultureInfo* TLocalizer::DefaultCulture() {
  static const TCultureInfo* culture = TCultureTable::Find("en-US");
  return culture;
}

void TLocalizer::Notify(TLocalizerNotification Reason) {
  if (fLoading) return;
  // A listener may unregister itself or others while being told.
  const std::vector<ILocalizerLink*> clients = fClients;
  for (auto it = clients.rbegin(); it != clients.rend(); ++it)
    if (std::find(fClients.begin(), fClients.end(), *it) != fClients.end()) (*it)->LocalizerNotify(this, Reason);
  if (OnNotification) OnNotification(this, Reason);
}

void TLocalizer::BeginChange() {
  if (fUpdateCount++ == 0) Notify(lnChanging);
}

void TLocalizer::EndChange() {
  if (--fUpdateCount == 0) Notify(lnChanged);
}

void TLocalizer::RegisterListener(ILocalizerLink* Client) {
  if (Client && std::find(fClients.begin(), fClients.end(), Client) == fClients.end()) fClients.push_back(Client);
}

void TLocalizer::UnregisterListener(ILocalizerLink* Client) {
  if (fDestroying) return;
  fClients.erase(std::remove(fClients.begin(), fClients.end(), Client), fClients.end());
}

void TLocalizer::SetOptions(TLocalizerOptions AOptions) {
  if (AOptions == fOptions) return;
  Notify(lnOptionsChanging);
  fOptions = AOptions;
  Notify(lnOptionsChanged);
}

const TCultureList& TLocalizer::Cultures() const {
  if (fLoading || fDestroying) {
    static const TCultureList all = [] {
      TCultureList list;
      for (const TCultureInfo* c : TCultureTable::All()) list.Add(c);
      return list;
    }();
    return all;
  }
  return fCatalog->Cultures();
}

int TLocalizer::CultureIndex() const { return fCulture ? Cultures().IndexOf(fCulture) : -1; }

void TLocalizer::SetCultureIndex(int Index) {
  if (Index < 0)
    SetCulture(nullptr);
  else if (Index < Cultures().Count())
    SetCulture(Cultures()[Index]);
}

void TLocalizer::SetCultureName(const QString& Locale) {
  const TCultureInfo* culture = TCultureTable::NearestTo(Locale.toStdString());
  if (culture && !fCatalog->Cultures().Contains(culture))
    if (const TCultureInfo* nearest = NearestCatalogCulture(culture)) culture = nearest;
  SetCulture(culture);
}

TBiDiMode TLocalizer::BiDiMode() const {
  if (fCulture) return fCulture->RightToLeft ? bdRightToLeft : bdLeftToRight;
  return IsRightToLeft(fStartDirection) ? bdRightToLeft : bdLeftToRight;
}

void TLocalizer::BeginLoading() { fLoading = true; }

void TLocalizer::EndLoading() {
  if (!fLoading) return;
  fLoading = false;
  const TCultureInfo* stored = fCulture;
  fCulture = nullptr;
  if (fOptions & loAutoSetectLanguage) {
    const QStringList languages = QLocale::system().uiLanguages();
    const QString language = languages.isEmpty() ? QLocale::system().name() : languages.first();
    stored = TCultureTable::NearestTo(language.toStdString());
  }
  fCulture = stored;
  ReloadCatalog();
}

void TLocalizer::SetURI(const QString& AURI) {
  if (fLoading) {
    fURI = AURI;
    return;
  }
  if (AURI == fURI) return;
  fURI = AURI;
  ReloadCatalog();
}

const TCultureInfo* TLocalizer::NearestCatalogCulture(const TCultureInfo* C) const {
  if (!C) return nullptr;
  const TCultureList& cultures = fCatalog->Cultures();
  // The language's usual region first ("fr" -> "fr-FR").
  const QLocale usual(Latin(C->Language2));
  if (usual.language() != QLocale::C) {
    const QString name = usual.name();  // "fr_FR"
    if (const TCultureInfo* u = TCultureTable::Find(name.toStdString()); u && cultures.Contains(u)) return u;
  }
  const TCultureInfo* best = nullptr;
  for (const TCultureInfo* c : cultures) {
    if (qstrcmp(c->Language2, C->Language2) != 0) continue;
    if (!best || SubLanguageOrder(c) < SubLanguageOrder(best)) best = c;
  }
  return best;
}

void TLocalizer::ReloadCatalog() {
  if (fLoading || fDestroying) return;
  BeginChange();
  const TCultureInfo* culture = fCulture;
  bool failed = false;
  {
    TFinally closing([&] {
      Notify(lnCatalogChanged);
      // The culture is set anew, so that every window is translated from
      // the new catalog (also for the same language, and back to the
      // designed texts when no language is left).
      fReapplyCulture = true;
      SetCulture(culture);
      EndChange();
    });
    Notify(lnCatalogChanging);
    if (fURI.isEmpty()) {
      fCatalog->Clear();
    } else {
      try {
        fCatalog->Open(fURI);
      } catch (const EI18nError& e) {
        // The catalog is cleared: every text stays in its designed language.
        std::fprintf(stderr, "Vorelle: the translation catalog \"%s\" cannot be loaded: %s\n",
                     qUtf8Printable(fURI), e.what());
        failed = true;
      }
    }
    if (!failed && !fCatalog->Cultures().Contains(culture)) culture = NearestCatalogCulture(culture);
  }
  (void)failed;
}

void TLocalizer::SetCulture(const TCultureInfo* ACulture) {
  if (fLoading) {
    fCulture = ACulture;
    return;
  }
  if (ACulture == fCulture && !fReapplyCulture) return;
  fReapplyCulture = false;
  BeginChange();
  TFinally closing([&] { EndChange(); });
  Notify(lnCultureChanging);
  const bool startRTL = IsRightToLeft(fStartDirection);
  const bool currentRTL = startRTL != fBiDiToggled;
  const bool newRTL = ACulture ? ACulture->RightToLeft : startRTL;
  const bool directionChanges = currentRTL != newRTL;
  if (directionChanges) {
    Notify(lnBiDiModeChanging);
    fBiDiToggled = !fBiDiToggled;
  }
  fCulture = ACulture;
  AdjustToCulture();
  if (directionChanges) Notify(lnBiDiModeChanged);
  Notify(lnCultureChanged);
}

void TLocalizer::AdjustToCulture() {
  const TCultureInfo* culture = fCulture ? fCulture : DefaultCulture();
  try {
    fPluralForms->SetRule(fCatalog->PluralRuleOf(culture));
  } catch (const EI18nError&) {
    // A catalog's own rule that does not compile: the language's standard rule.
    try {
      fPluralForms->SetRule(culture->PluralRule);
    } catch (const EI18nError&) {
    }
  }
  const bool rtl = IsRightToLeft(fStartDirection) != fBiDiToggled;
  auto adjustDirection = [&] {
    if ((fOptions & loAdjustApplicationBiDiMode) && qApp)
      QGuiApplication::setLayoutDirection(rtl ? Qt::RightToLeft : Qt::LeftToRight);
  };
  auto adjustFormats = [&] {
    if (!(fOptions & loAdjustFormatSettings)) return;
    QLocale::setDefault(fCulture ? QLocale(Latin(fCulture->Locale)) : QLocale::system());
  };
  if (qApp && IsRightToLeft(QGuiApplication::layoutDirection())) {
    adjustDirection();
    adjustFormats();
  } else {
    adjustFormats();
    adjustDirection();
  }
}

namespace {

const TTextTranslation* FindTranslation(const TTranslationCatalog& Catalog, const QString& DomainName,
                                        const QString& ID, const QString& Locale) {
  if (DomainName == QLatin1String("*")) {
    for (const TTextDomain* domain : Catalog.TextDomains())
      if (const TTextTranslation* t = domain->Literals().TranslationOf(ID, Locale)) return t;
    return nullptr;
  }
  const TTextDomain* domain = Catalog.TextDomains().Find(DomainName);
  return domain ? domain->Literals().TranslationOf(ID, Locale) : nullptr;
}

QString DomainOrActiveWindow(const QString& DomainName) {
  if (!DomainName.isEmpty()) return DomainName;
  const QWidget* window = qApp ? QApplication::activeWindow() : nullptr;
  return window ? window->objectName() : QString();
}

}  // namespace

QString TLocalizer::GetText(const QString& Text, const QString& DomainName) const {
  if (!fCulture || Text.isEmpty()) return Text;
  const TTextTranslation* t =
      FindTranslation(*fCatalog, DomainOrActiveWindow(DomainName), LiteralID(Text), Latin(fCulture->Locale));
  if (!t || !t->IsApproved()) return Text;
  return TextPlaceholders(t->Value()) == TextPlaceholders(Text) ? t->Value() : Text;
}

QString TLocalizer::GetNText(const QStringList& Texts, const QString& DomainName, int N) {
  if (Texts.isEmpty()) return QString();
  if (fCulture) {
    const TTextTranslation* t = FindTranslation(*fCatalog, DomainOrActiveWindow(DomainName), PluralLiteralID(Texts),
                                                Latin(fCulture->Locale));
    if (t && t->IsApproved()) {
      try {
        const int index = fPluralForms->IndexOf(N);
        if (index >= 0 && index < t->PluralCount()) {
          const QString form = t->GetPlurals(index);
          if (TextPlaceholders(form) == TextPlaceholders(Texts.last()) ||
              TextPlaceholders(form) == TextPlaceholders(Texts.first()))
            return form;
        }
      } catch (const EI18nError&) {
      }
    }
  }
  return UntranslatedForm(Texts, N);
}

QString TLocalizer::UntranslatedForm(const QStringList& Texts, int N) {
  static TPluralForms forms(DefaultCulture()->PluralRule);
  int index = 0;
  try {
    index = forms.IndexOf(N);
  } catch (const EI18nError&) {
  }
  return Texts[qBound(0, index, int(Texts.size()) - 1)];
}

}  // namespace I18n
