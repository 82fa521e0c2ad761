// Window translation: keys, literals, switching languages on an open window.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

#include "FormTranslator.h"
#include "Translator.h"
#include "Localizer.h"
#include "WidgetTestSupport.h"

using namespace I18n;

namespace {

// The catalog of the test window "TTestForm" and a second domain.
QByteArray FormCatalog() {
  const QString cancelled = LiteralID(QStringLiteral("Operation cancelled"));
  const QString files = LiteralID(QStringLiteral("%d files in %s"));
  return QString::fromUtf8(
             "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<i18nCatalog Locale=\"en\">"
             "<Domain Name=\"TestForm\">"
             "<Property ID=\".Caption\"><Value>Test</Value>"
             "<Translation Locale=\"de-DE\">Probe</Translation>"
             "<Translation Locale=\"es-ES\">Prueba</Translation></Property>"
             "<Property ID=\"CloseButton.Caption\"><Value>Close</Value>"
             "<Translation Locale=\"de-DE\">Schlie\xC3\x9F" "en</Translation>"
             "<Translation Locale=\"es-ES\" State=\"Fuzzy\">Cerrar</Translation></Property>"
             "<Property ID=\"CloseButton.Hint\"><Value>Closes</Value>"
             "<Translation Locale=\"de-DE\" State=\"Auto\">Schlie\xC3\x9Ft</Translation></Property>"
             "<Property ID=\"Page.Caption\"><Value>Page</Value>"
             "<Translation Locale=\"de-DE\">Seite</Translation></Property>"
             "<Literal ID=\"%1\"><Value>Operation cancelled</Value>"
             "<Translation Locale=\"de-DE\">Vorgang abgebrochen</Translation></Literal>"
             "<Literal ID=\"%2\"><Value>%d files in %s</Value>"
             "<Translation Locale=\"de-DE\">%s enth\xC3\xA4lt %d</Translation>"
             "<Translation Locale=\"es-ES\">%d archivos en %s</Translation></Literal>"
             "</Domain>"
             "<Domain Name=\"Other\"><Property ID=\".Caption\"><Value>x</Value>"
             "<Translation Locale=\"fr-FR\">y</Translation></Property></Domain>"
             "</i18nCatalog>")
      .arg(cancelled, files)
      .toUtf8();
}

}  // namespace

class TTestForm : public QWidget {
  Q_OBJECT

public:
  TTestForm() {
    setWindowTitle(QStringLiteral("Test"));
    resize(300, 200);
    Close = new QPushButton(QStringLiteral("Close"), this);
    Close->setObjectName(QStringLiteral("CloseButton"));
    Close->setToolTip(QStringLiteral("Closes"));
    Close->setGeometry(10, 20, 80, 25);
    Tabs = new QTabWidget(this);
    Tabs->setObjectName(QStringLiteral("Tabs"));
    Tabs->setGeometry(100, 20, 150, 150);
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("Page"));
    Tabs->addTab(page, QStringLiteral("Page"));
    Guid = new QLabel(QStringLiteral("{01234567-89AB-CDEF-0123-456789abcdef}"), this);
    Guid->setObjectName(QStringLiteral("GuidLabel"));
    Translator = new TTranslator(this);
    Translator->Start();
  }
  QPushButton* Close;
  QTabWidget* Tabs;
  QLabel* Guid;
  TTranslator* Translator;
};

TEST(Translator, LiteralIdsAreMd5OfUtf8) {
  EXPECT_EQ(LiteralID(QStringLiteral("")), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(LiteralID(QStringLiteral("abc")), "900150983CD24FB0D6963F7D28E17F72");
  const QString text = QString::fromUtf8("Schlie\xC3\x9F" "en");
  EXPECT_EQ(LiteralID(text),
            QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex().toUpper()));
  // Plural ids: every form followed by U+0000.
  EXPECT_EQ(PluralLiteralID({QStringLiteral("a"), QStringLiteral("b")}),
            "#" + QString::fromLatin1(
                      QCryptographicHash::hash(QByteArray("a\0b\0", 4), QCryptographicHash::Md5).toHex().toUpper()));
}

TEST(Translator, SwitchesLanguagesOnAnOpenWindow) {
  TestApp();
  TLocalizer localizer;
  const auto file = CatalogFile(FormCatalog());
  localizer.SetURI(file->fileName());
  TTestForm form;
  form.Translator->SetLocalizer(&localizer);
  form.show();
  // No language: the designed texts.
  EXPECT_EQ(form.windowTitle(), "Test");
  EXPECT_EQ(form.Translator->GetText("Operation cancelled"), "Operation cancelled");

  localizer.SetCulture(TCultureTable::Find("de-DE"));
  EXPECT_EQ(form.windowTitle(), "Probe");
  EXPECT_EQ(form.Close->text(), QString::fromUtf8("Schlie\xC3\x9F" "en"));
  EXPECT_EQ(form.Tabs->tabText(0), "Seite");
  // Only approved translations are shown: the hint's is "Auto".
  EXPECT_EQ(form.Close->toolTip(), "Closes");
  EXPECT_EQ(form.Translator->GetText("Operation cancelled"), "Vorgang abgebrochen");
  // A translation whose placeholders are in another order is not used.
  EXPECT_EQ(form.Translator->GetText("%d files in %s"), "%d files in %s");
  EXPECT_EQ(form.Translator->Format("%d files in %s", {3, "/tmp"}), "3 files in /tmp");
  EXPECT_EQ(form.Translator->GetText("Not in the catalog"), "Not in the catalog");
  EXPECT_EQ(form.Translator->GetText(""), "");

  localizer.SetCulture(TCultureTable::Find("es-ES"));
  EXPECT_EQ(form.windowTitle(), "Prueba");
  EXPECT_EQ(form.Close->text(), "Close");  // fuzzy
  EXPECT_EQ(form.Translator->GetText("Operation cancelled"), "Operation cancelled");
  EXPECT_EQ(form.Translator->Format("%d files in %s", {3, "/tmp"}), "3 archivos en /tmp");

  // A language without translations for the window: designed texts.
  localizer.SetCulture(TCultureTable::Find("fr-FR"));
  EXPECT_EQ(form.windowTitle(), "Test");
  EXPECT_EQ(form.Tabs->tabText(0), "Page");
  EXPECT_EQ(form.Translator->CurrentCulture(), TCultureTable::Find("fr-FR"));

  localizer.SetCulture(nullptr);
  EXPECT_EQ(form.windowTitle(), "Test");
  EXPECT_EQ(form.Guid->text(), "{01234567-89AB-CDEF-0123-456789abcdef}");
}

TEST(Translator, FormatFillsPlaceholdersInOrder) {
  TestApp();
  TLocalizer localizer;
  TTranslator translator(nullptr, &localizer);
  struct TCase {
    const char* Pattern;
    QVariantList Args;
    const char* Expected;
  };
  const TCase cases[] = {
      {"%d%%", {50}, "50%"},
      {"%5.1f|%-4s|%03d", {3.14159, "ab", 7}, "  3.1|ab  |007"},
      {"%ld and %s", {1234567890123LL}, "1234567890123 and %s"},  // a missing argument stays as written
      {"%x %u", {255, 4000000000u}, "ff 4000000000"},
      {"%s!", {QString::fromUtf8("\xC3\xA4")}, "\xC3\xA4!"},
      {"trailing %", {}, "trailing %"},
      {"%c%c", {"xyz", "q"}, "xq"},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(translator.Format(QString::fromUtf8(c.Pattern), c.Args), QString::fromUtf8(c.Expected)) << c.Pattern;
  EXPECT_EQ(TextPlaceholders("%d of %5.2f%% %ls %"), QStringList({"%d", "%5.2f", "%ls", "%"}));
}

// A window the catalog may not know.
class TOtherForm : public QWidget {
  Q_OBJECT

public:
  explicit TOtherForm(TLocalizer* Localizer) {
    setWindowTitle(QStringLiteral("Other"));
    Label = new QLabel(QStringLiteral("Label"), this);
    Label->setObjectName(QStringLiteral("Label"));
    Translator = new TTranslator(this, Localizer);
    Translator->Start();
  }
  QLabel* Label;
  TTranslator* Translator;
};

TEST(Translator, AMissingDomainKeepsTheDesignedTextsUntilACatalogHasIt) {
  TestApp();
  TLocalizer localizer;
  const auto first = CatalogFile(FormCatalog());
  localizer.SetURI(first->fileName());
  localizer.SetCulture(TCultureTable::Find("de-DE"));
  TOtherForm form(&localizer);
  form.show();
  EXPECT_EQ(form.Translator->DomainName(), "OtherForm");
  EXPECT_EQ(form.windowTitle(), "Other");
  EXPECT_EQ(form.Translator->CurrentCulture(), nullptr);
  const auto second = CatalogFile(
      "<?xml version=\"1.0\"?><i18nCatalog><Domain Name=\"otherform\">"
      "<Property ID=\"label.caption\"><Value>Label</Value><Translation Locale=\"de-DE\">Etikett</Translation>"
      "</Property><Property ID=\".Caption\"><Value>Other</Value><Translation Locale=\"de\">Andere</Translation>"
      "</Property></Domain></i18nCatalog>");
  localizer.SetURI(second->fileName());
  EXPECT_EQ(localizer.Culture(), TCultureTable::Find("de-DE"));
  EXPECT_EQ(form.Label->text(), "Etikett");
  EXPECT_EQ(form.windowTitle(), "Andere");  // the language's neutral translation
  localizer.SetURI(QString());
  EXPECT_EQ(form.Label->text(), "Label");
  EXPECT_EQ(form.Translator->CurrentCulture(), nullptr);
  // A translator without an owner has the default domain.
  TTranslator lone(nullptr, &localizer);
  EXPECT_EQ(lone.DomainName(), "-DEFAULT-");
}

TEST(Translator, TheJobsLiteralsGoThroughTheWindowsTranslator) {
  TestApp();
  TLocalizer localizer;
  const auto file = CatalogFile(QStringLiteral(
      "<?xml version=\"1.0\"?><i18nCatalog><Domain Name=\"TestForm\">"
      "<Literal ID=\"%1\"><Value>Converted Images</Value><Translation Locale=\"es-ES\">Im\u00E1genes</Translation></Literal>"
      "<Literal ID=\"%2\"><Value>Cannot load %s</Value><Translation Locale=\"es-ES\">No se puede %d</Translation></Literal>"
      "</Domain></i18nCatalog>").arg(LiteralID("Converted Images"), LiteralID("Cannot load %s")).toUtf8());
  localizer.SetURI(file->fileName());
  localizer.SetCulture(TCultureTable::Find("es-ES"));
  TTestForm form;
  form.Translator->SetLocalizer(&localizer);
  Vorelle::TWindowTextTranslator texts(*form.Translator);
  EXPECT_EQ(texts.GetText("Converted Images"), "Im\xC3\xA1genes");
  EXPECT_EQ(Vorelle::TranslateFileName(texts, "Converted Images"), "Im\xC3\xA1genes");
  // A pattern whose translation takes other arguments stays English.
  EXPECT_EQ(texts.GetText("Cannot load %s"), "Cannot load %s");
  EXPECT_EQ(Vorelle::TranslatePattern(texts, "Cannot load %s"), "Cannot load %s");
}

#include "TranslatorTest.moc"
