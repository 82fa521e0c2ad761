// The localizer: notifications, reload rules, failed catalogs, literal
// lookups, right-to-left mirroring of an open window, the language list.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include <vector>

#include "CultureBox.h"
#include "FormTranslator.h"
#include "Localizer.h"
#include "WidgetTestSupport.h"

using namespace I18n;

namespace {

// A catalog whose one domain is translated into Locales (each approved).
QByteArray CatalogOf(const std::vector<const char*>& Locales, const char* Domain = "MirrorForm") {
  QString translations;
  bool polish = false;
  for (const char* locale : Locales) polish = polish || QByteArray(locale) == "pl-PL";
  for (const char* locale : Locales)
    translations += QStringLiteral("<Translation Locale=\"%1\">%1 OK</Translation>").arg(QLatin1String(locale));
  const QString plural = PluralLiteralID({QStringLiteral("%d file"), QStringLiteral("%d files")});
  return QString::fromUtf8(
             "<?xml version=\"1.0\"?><i18nCatalog><Domain Name=\"%1\">"
             "<Property ID=\"OkButton.Caption\"><Value>OK</Value>%2</Property>"
             "<Literal ID=\"%3\"><Value>Hello</Value>%2</Literal>"
             "<Literal ID=\"%4\"><Value><PluralForm>%d file</PluralForm><PluralForm>%d files</PluralForm></Value>"
             "<Translation Locale=\"%5\"><PluralForm>%d plik</PluralForm><PluralForm>%d pliki</PluralForm>"
             "<PluralForm>%d plik\xC3\xB3w</PluralForm></Translation></Literal>"
             "</Domain></i18nCatalog>")
      .arg(QLatin1String(Domain), translations, LiteralID(QStringLiteral("Hello")), plural,
           polish ? QStringLiteral("pl-PL") : QLatin1String(Locales.front()))
      .toUtf8();
}

struct TRecorder : ILocalizerLink {
  std::vector<TLocalizerNotification> Reasons;
  void LocalizerNotify(TLocalizer*, TLocalizerNotification Reason) override { Reasons.push_back(Reason); }
};

const TCultureInfo* C(const char* Locale) { return TCultureTable::Find(Locale); }

}  // namespace

// A window placed by coordinates.
class TMirrorForm : public QWidget {
  Q_OBJECT

public:
  explicit TMirrorForm(TLocalizer* Localizer) {
    resize(300, 100);
    Ok = new QPushButton(QStringLiteral("OK"), this);
    Ok->setObjectName(QStringLiteral("OkButton"));
    Ok->setGeometry(10, 20, 80, 25);
    Translator = new TTranslator(this, Localizer);
    Translator->Start();
  }
  QPushButton* Ok;
  TTranslator* Translator;
};

TEST(Localizer, NotificationsInOrderAndNoneForTheSameLanguage) {
  TestApp();
  TLocalizer localizer;
  TRecorder first, second;
  localizer.RegisterListener(&first);
  localizer.RegisterListener(&second);
  std::vector<TLocalizerNotification> events;
  std::vector<int> order;  // who heard each reason: 1, 2, or 0 for the callback
  localizer.OnNotification = [&](TLocalizer*, TLocalizerNotification R) {
    events.push_back(R);
    order.push_back(0);
  };
  struct TOrder : ILocalizerLink {
    TOrder(std::vector<int>* ALog, int AId) : Log(ALog), Id(AId) {}
    std::vector<int>* Log;
    int Id;
    void LocalizerNotify(TLocalizer*, TLocalizerNotification) override { Log->push_back(Id); }
  } one(&order, 1), two(&order, 2);
  localizer.RegisterListener(&one);
  localizer.RegisterListener(&two);
  localizer.SetCulture(C("de-DE"));
  EXPECT_EQ(first.Reasons, (std::vector{lnChanging, lnCultureChanging, lnCultureChanged, lnChanged}));
  EXPECT_EQ(second.Reasons, first.Reasons);
  EXPECT_EQ(events, first.Reasons);
  // The last registered hears first, the callback last.
  EXPECT_EQ(order, (std::vector{2, 1, 0, 2, 1, 0, 2, 1, 0, 2, 1, 0}));
  localizer.UnregisterListener(&one);
  localizer.UnregisterListener(&two);
  first.Reasons.clear();
  second.Reasons.clear();
  localizer.SetCulture(C("de-DE"));
  EXPECT_TRUE(first.Reasons.empty());
  localizer.SetCulture(C("ar"));
  EXPECT_EQ(first.Reasons, (std::vector{lnChanging, lnCultureChanging, lnBiDiModeChanging, lnBiDiModeChanged,
                                        lnCultureChanged, lnChanged}));
  EXPECT_TRUE(localizer.IsBiDiToggled());
  EXPECT_EQ(localizer.BiDiMode(), bdRightToLeft);
  EXPECT_EQ(QGuiApplication::layoutDirection(), Qt::RightToLeft);
  localizer.SetCulture(nullptr);
  EXPECT_FALSE(localizer.IsBiDiToggled());
  EXPECT_EQ(QGuiApplication::layoutDirection(), Qt::LeftToRight);
  first.Reasons.clear();
  localizer.SetOptions(localizer.Options());
  EXPECT_TRUE(first.Reasons.empty());
  localizer.SetOptions(localizer.Options() | loAdjustKeyboardLayout);
  EXPECT_EQ(first.Reasons, (std::vector{lnOptionsChanging, lnOptionsChanged}));
  localizer.UnregisterListener(&first);
  localizer.UnregisterListener(&second);
}

TEST(Localizer, ReloadKeepsTheLanguageOrItsNearestRegion) {
  TestApp();
  struct TCase {
    const char* Selected;
    std::vector<const char*> InCatalog;
    const char* Expected;  // null: none
  };
  const TCase cases[] = {
      {"es-MX", {"de-DE", "es-ES"}, "es-ES"},
      {"es-MX", {"es-MX", "es-ES"}, "es-MX"},
      {"fr-BE", {"fr-CA", "fr-FR", "fr-CH"}, "fr-FR"},  // the language's usual region
      {"fr-BE", {"fr-CH", "fr-CA"}, "fr-CA"},           // else the lowest region number
      {"es-AR", {"es", "es-MX"}, "es"},                 // the neutral culture comes first
      {"ja-JP", {"de-DE", "es-ES"}, nullptr},
      {nullptr, {"de-DE"}, nullptr},
  };
  for (const TCase& c : cases) {
    TLocalizer localizer;
    localizer.SetCulture(c.Selected ? C(c.Selected) : nullptr);
    const auto file = CatalogFile(CatalogOf(c.InCatalog));
    localizer.SetURI(file->fileName());
    EXPECT_EQ(localizer.Culture(), c.Expected ? C(c.Expected) : nullptr) << (c.Selected ? c.Selected : "none");
    EXPECT_EQ(localizer.Cultures().Count(), int(c.InCatalog.size()));
  }
}

TEST(Localizer, StoredLanguageNamesPickTheNearestCatalogLanguage) {
  TestApp();
  TLocalizer localizer;
  const auto file = CatalogFile(CatalogOf({"fr-CA", "fr-FR", "de-DE"}));
  localizer.SetURI(file->fileName());
  const std::pair<const char*, const char*> cases[] = {
      {"fr-BE", "fr-FR"}, {"fr-CA", "fr-CA"}, {"FR_be", "fr-FR"}, {"fr-LU", "fr-FR"},
      {"de-AT", "de-DE"}, {"es-ES", "es-ES"},  // no Spanish: the language itself, untranslated
      {"xx-YY", nullptr}, {"", nullptr},
  };
  for (const auto& [stored, expected] : cases) {
    localizer.SetCultureName(QString::fromLatin1(stored));
    EXPECT_EQ(localizer.Culture(), expected ? C(expected) : nullptr) << stored;
  }
}

TEST(Localizer, AFailedCatalogLeavesEnglishAndSaysWhy) {
  TestApp();
  TLocalizer localizer;
  const auto good = CatalogFile(CatalogOf({"de-DE"}));
  localizer.SetURI(good->fileName());
  localizer.SetCulture(C("de-DE"));
  TMirrorForm form(&localizer);
  EXPECT_EQ(form.Ok->text(), "de-DE OK");
  EXPECT_EQ(form.Translator->GetText("Hello"), "de-DE OK");

  const auto bad = CatalogFile("<?xml version=\"1.0\"?><i18nCatalog><Domain Name=\"MirrorForm\">");
  testing::internal::CaptureStderr();
  localizer.SetURI(bad->fileName());
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find(bad->fileName().toStdString()), std::string::npos) << message;
  EXPECT_NE(message.find("cannot be loaded"), std::string::npos) << message;
  EXPECT_TRUE(localizer.Catalog().Empty());
  EXPECT_EQ(form.Ok->text(), "OK");
  EXPECT_EQ(form.Translator->GetText("Hello"), "Hello");
}

TEST(Localizer, LiteralLookupsByDomainAndPluralForms) {
  TestApp();
  TLocalizer localizer;
  const auto file = CatalogFile(CatalogOf({"de-DE", "pl-PL"}));
  localizer.SetURI(file->fileName());
  EXPECT_EQ(localizer.GetText("Hello", "MirrorForm"), "Hello");  // no language yet
  localizer.SetCulture(C("de-DE"));
  EXPECT_EQ(localizer.GetText("Hello", "MirrorForm"), "de-DE OK");
  EXPECT_EQ(localizer.GetText("Hello", "*"), "de-DE OK");
  EXPECT_EQ(localizer.GetText("Hello", "Elsewhere"), "Hello");
  const QStringList forms{QStringLiteral("%d file"), QStringLiteral("%d files")};
  // Untranslated in German: the English rule picks the source form.
  EXPECT_EQ(localizer.GetNText(forms, "MirrorForm", 1), "%d file");
  EXPECT_EQ(localizer.GetNText(forms, "MirrorForm", 0), "%d files");
  EXPECT_EQ(localizer.GetNText({}, "MirrorForm", 1), "");
  localizer.SetCulture(C("pl-PL"));
  EXPECT_EQ(localizer.GetNText(forms, "MirrorForm", 1), "%d plik");
  EXPECT_EQ(localizer.GetNText(forms, "MirrorForm", 22), "%d pliki");
  EXPECT_EQ(localizer.GetNText(forms, "MirrorForm", 25), QString::fromUtf8("%d plik\xC3\xB3w"));
  TMirrorForm form(&localizer);
  EXPECT_EQ(form.Translator->GetNText(forms, 3), "%d pliki");
}

TEST(Localizer, RightToLeftMirrorsAnOpenWindowAndBack) {
  TestApp();
  TLocalizer localizer;
  const auto file = CatalogFile(CatalogOf({"de-DE", "ar", "he-IL"}));
  localizer.SetURI(file->fileName());
  TMirrorForm form(&localizer);
  form.show();
  int flips = 0;
  form.Translator->OnAfterFlipLayout = [&](TTranslator*) { ++flips; };
  localizer.SetCulture(C("de-DE"));
  EXPECT_EQ(form.Ok->x(), 10);
  EXPECT_FALSE(form.Translator->IsLayoutFlipped());
  localizer.SetCulture(C("ar"));
  EXPECT_EQ(form.layoutDirection(), Qt::RightToLeft);
  EXPECT_TRUE(form.Translator->IsLayoutFlipped());
  EXPECT_EQ(form.Ok->geometry(), QRect(300 - 80 - 10, 20, 80, 25));
  EXPECT_EQ(form.Ok->text(), "ar OK");
  // Another right-to-left language keeps the mirrored layout.
  localizer.SetCulture(C("he-IL"));
  EXPECT_EQ(form.Ok->x(), 210);
  EXPECT_EQ(flips, 1);
  localizer.SetCulture(C("de-DE"));
  EXPECT_EQ(form.layoutDirection(), Qt::LeftToRight);
  EXPECT_FALSE(form.Translator->IsLayoutFlipped());
  EXPECT_EQ(form.Ok->geometry(), QRect(10, 20, 80, 25));
  localizer.SetCulture(C("ar"));
  localizer.SetCulture(nullptr);
  EXPECT_EQ(form.Ok->x(), 10);
  EXPECT_EQ(form.Ok->text(), "OK");
  EXPECT_EQ(flips, 4);
}

TEST(CultureBox, ListsTheCatalogLanguagesAndSwitches) {
  TestApp();
  TLocalizer localizer;
  TCultureBox box(nullptr, &localizer);
  EXPECT_EQ(box.count(), 0);
  const auto file = CatalogFile(CatalogOf({"de-DE", "fr-FR", "ar"}));
  localizer.SetURI(file->fileName());
  ASSERT_EQ(box.count(), 3);
  EXPECT_EQ(box.itemData(0).toString(), "de-DE");
  EXPECT_EQ(box.currentIndex(), -1);
  EXPECT_FALSE(box.itemIcon(0).isNull());  // the German flag
  TMirrorForm form(&localizer);
  TRecorder recorder;
  localizer.RegisterListener(&recorder);
  box.show();
  box.setFocus();
  // Choosing an entry with the keyboard switches every window.
  QTest::keyClick(&box, Qt::Key_Down);
  EXPECT_EQ(localizer.Culture(), C("de-DE"));
  EXPECT_EQ(form.Ok->text(), "de-DE OK");
  recorder.Reasons.clear();
  // The same language again sends nothing.
  emit box.activated(0);
  EXPECT_TRUE(recorder.Reasons.empty());
  localizer.SetCulture(C("fr-FR"));
  EXPECT_EQ(box.currentIndex(), 1);
  EXPECT_EQ(box.SelectedCulture(), C("fr-FR"));
  localizer.UnregisterListener(&recorder);
}

#include "LocalizerTest.moc"
