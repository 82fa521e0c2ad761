#include "CultureBox.h"

#include <QFile>
#include <QLocale>

namespace I18n {

QString TFlagImageList::TerritoryOf(const TCultureInfo* Culture) {
  if (!Culture) return QString();
  const QString locale = QString::fromLatin1(Culture->Locale);
  const qsizetype dash = locale.indexOf(u'-');
  if (dash >= 0) return locale.mid(dash + 1).toLower();
  // A neutral culture shows the flag of its language's usual territory.
  const QLocale usual(locale);
  if (usual.language() == QLocale::C || usual.territory() == QLocale::AnyTerritory) return QString();
  return QLocale::territoryToCode(usual.territory()).toLower();
}

QIcon TFlagImageList::FlagOf(const TCultureInfo* Culture) {
  const QString territory = TerritoryOf(Culture);
  if (territory.isEmpty()) return QIcon();
  const QString path = QStringLiteral(":/flags/%1.png").arg(territory);
  return QFile::exists(path) ? QIcon(path) : QIcon();
}

QString CultureDisplayName(const TCultureInfo* Culture) {
  if (!Culture) return QString();
  const QLocale user = QLocale::system();
  const QString language = QLocale::languageToCode(user.language());
  // Qt names other languages only in English or in themselves.
  if (user.language() == QLocale::C || language == QLatin1String("en")) return QString::fromUtf8(Culture->EnglishName);
  return QString::fromUtf8(Culture->NativeName);
}

TCultureBox::TCultureBox(QWidget* Parent, TLocalizer* ALocalizer) : QComboBox(Parent) {
  setEditable(false);
  setInsertPolicy(QComboBox::NoInsert);
  connect(this, &QComboBox::activated, this, &TCultureBox::EntryActivated);
  SetLocalizer(ALocalizer ? ALocalizer : TLocalizer::FirstInstance());
}

TCultureBox::~TCultureBox() {
  if (fLocalizer) fLocalizer->UnregisterListener(this);
}

void TCultureBox::SetLocalizer(TLocalizer* ALocalizer) {
  if (fLocalizer == ALocalizer) return;
  if (fLocalizer) fLocalizer->UnregisterListener(this);
  fLocalizer = ALocalizer;
  if (fLocalizer) fLocalizer->RegisterListener(this);
  Reload();
}

const TCultureInfo* TCultureBox::SelectedCulture() const {
  const int index = currentIndex();
  if (!fLocalizer || index < 0 || index >= fLocalizer->Cultures().Count()) return nullptr;
  return fLocalizer->Cultures()[index];
}

void TCultureBox::Reload() {
  fUpdating = true;
  clear();
  if (fLocalizer)
    for (const TCultureInfo* culture : fLocalizer->Cultures())
      addItem(TFlagImageList::FlagOf(culture), CultureDisplayName(culture), QString::fromLatin1(culture->Locale));
  fUpdating = false;
  SelectCurrent();
}

void TCultureBox::SelectCurrent() {
  fUpdating = true;
  setCurrentIndex(fLocalizer ? fLocalizer->CultureIndex() : -1);
  fUpdating = false;
}

void TCultureBox::EntryActivated(int Index) {
  if (fUpdating || !fLocalizer || Index < 0 || Index >= fLocalizer->Cultures().Count()) return;
  // Setting the current language again changes nothing and sends nothing.
  fLocalizer->SetCulture(fLocalizer->Cultures()[Index]);
}

void TCultureBox::LocalizerNotify(TLocalizer* /*Sender*/, TLocalizerNotification Reason) {
  if (Reason == lnCatalogChanged)
    Reload();
  else if (Reason == lnCultureChanged)
    SelectCurrent();
}

}  // namespace I18n
