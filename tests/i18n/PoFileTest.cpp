// PO files: exact export, parse errors, import rules, round trips through
// our import and through GNU gettext (msgfmt -c, msgunfmt).
#include <gtest/gtest.h>

#include <QFile>

#include "CatalogTestSupport.h"
#include "PoFile.h"
#include "TestSupport.h"

using namespace I18n;

namespace {

// A catalog with every kind of text: comments, notes, states, escapes,
// plural forms, a custom plural rule and an untranslatable empty text.
const char RichCatalog[] =
    "<?xml version=\"1.0\"?><i18nCatalog Locale=\"en\">"
    "<PluralForm Locale=\"de-DE\" Rule=\"nplurals=3; plural=n==1 ? 0 : n==2 ? 1 : 2;\"/>"
    "<Domain Name=\"MainForm\">"
    "<Property ID=\".Caption\"><Comment>Window title\\r\\nsecond line</Comment><Value>Vorelle</Value>"
    "<Translation Locale=\"de-DE\" Note=\"checked\">Vorelle DE</Translation>"
    "<Translation Locale=\"pl-PL\" State=\"Auto\" Note=\"machine\">Vorelle PL</Translation></Property>"
    "<Property ID=\"Note.Caption\"><Value>Line one\\nLine \"two\"\\tend\\\\ \\x01</Value>"
    "<Translation Locale=\"de-DE\">Zeile eins\\nZeile \"zwei\"\\tEnde\\\\ \xC3\xA4</Translation>"
    "<Translation Locale=\"pl-PL\" State=\"Google\"></Translation></Property>"
    "<Property ID=\"Empty.Caption\"><Value></Value><Translation Locale=\"de-DE\">x</Translation></Property>"
    "<Literal ID=\"ABC\"><Value>%d files in %s</Value>"
    "<Translation Locale=\"de-DE\" State=\"Fuzzy\">%d Dateien in %s</Translation>"
    "<Translation Locale=\"pl-PL\" State=\"None\" Note=\"todo\"></Translation></Literal>"
    "<Literal ID=\"#XYZ\"><Value><PluralForm>%d file</PluralForm><PluralForm>%d files</PluralForm></Value>"
    "<Translation Locale=\"pl-PL\"><PluralForm>%d plik</PluralForm><PluralForm>%d pliki</PluralForm>"
    "<PluralForm>%d plik\xC3\xB3w</PluralForm></Translation>"
    "<Translation Locale=\"de-DE\"><PluralForm>eine</PluralForm><PluralForm>zwei</PluralForm>"
    "<PluralForm>%d</PluralForm></Translation></Literal>"
    "</Domain><Domain Name=\"Other|P|Odd\"><Literal ID=\"1\"><Value>100%</Value>"
    "<Translation Locale=\"ar\">\xD9\xAA" "100</Translation></Literal></Domain></i18nCatalog>";

QString WriteTemp(const TestSupport::TempDir& Dir, const char* Name, const QByteArray& Data) {
  const QString path = QString::fromStdString(Dir.File(Name));
  QFile file(path);
  file.open(QIODevice::WriteOnly);
  file.write(Data);
  return path;
}

}  // namespace

TEST(PoFile, ExportIsExact) {
  TTranslationCatalog catalog;
  LoadBytes(catalog,
            "<?xml version=\"1.0\"?><i18nCatalog><Domain Name=\"D\">"
            "<Property ID=\"B.Caption\"><Comment>c</Comment><Value>Say \"hi\"</Value>"
            "<Translation Locale=\"fr-FR\" State=\"Auto\">Dis \"salut\"</Translation></Property>"
            "<Literal ID=\"#P\"><Value><PluralForm>one</PluralForm><PluralForm>many</PluralForm></Value></Literal>"
            "</Domain></i18nCatalog>");
  EXPECT_EQ(ExportPO(catalog, TCultureTable::Find("fr-FR")).toStdString(),
            "# Translations of Vorelle into French (France).\n"
            "msgid \"\"\nmsgstr \"\"\n"
            "\"Project-Id-Version: Vorelle\\n\"\n"
            "\"PO-Revision-Date: 2000-01-01 00:00+0000\\n\"\n"
            "\"Last-Translator: Vorelle translators\\n\"\n"
            "\"Language-Team: French (France)\\n\"\n"
            "\"Language: fr_FR\\n\"\n"
            "\"MIME-Version: 1.0\\n\"\n"
            "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
            "\"Content-Transfer-Encoding: 8bit\\n\"\n"
            "\"Plural-Forms: nplurals=2; plural=(n > 1);\\n\"\n"
            "\n#. c\n# state: Auto\n#: D\n#, fuzzy\n"
            "msgctxt \"D|P|B.Caption\"\nmsgid \"Say \\\"hi\\\"\"\nmsgstr \"Dis \\\"salut\\\"\"\n"
            "\n#: D\nmsgctxt \"D|L|#P\"\nmsgid \"one\"\nmsgid_plural \"many\"\nmsgstr[0] \"\"\nmsgstr[1] \"\"\n");
  EXPECT_THROW(ExportPO(catalog, nullptr), EPOFileError);
}

TEST(PoFile, ExportThenImportGivesTheSameCatalog) {
  TTranslationCatalog original;
  LoadBytes(original, RichCatalog);
  const QByteArray saved = SaveBytes(original);
  for (const char* locale : {"de-DE", "pl-PL", "ar", "ja-JP"}) {
    const TCultureInfo* culture = TCultureTable::Find(locale);
    const QByteArray po = ExportPO(original, culture);
    // Into the catalog itself: nothing changes.
    TTranslationCatalog same;
    LoadBytes(same, RichCatalog);
    ImportPO(same, culture, po);
    EXPECT_EQ(SaveBytes(same), saved) << locale;
    // Into a catalog without this language: the language comes back (texts
    // without a source text are not exported and keep their translations).
    TTranslationCatalog stripped;
    LoadBytes(stripped, RichCatalog);
    for (TTextDomain* domain : stripped.TextDomains())
      for (TTextDictionary* dictionary : {&domain->Properties(), &domain->Literals()})
        for (TTextDefinition* d : *dictionary)
          if (TTextTranslation* t = d->Translations().Find(locale); t && !d->Value().isEmpty())
            d->Translations().Delete(t);
    const TPOImportResult r = ImportPO(stripped, culture, po);
    EXPECT_EQ(r.Unknown, 0);
    EXPECT_EQ(SaveBytes(stripped).size(), saved.size()) << locale;  // translations come back at the end
    EXPECT_EQ(ExportPO(stripped, culture), po) << locale;
  }
}

TEST(PoFile, ImportRules) {
  TTranslationCatalog catalog;
  LoadBytes(catalog, RichCatalog);
  const QByteArray po =
      "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
      "msgctxt \"MainForm|P|.Caption\"\nmsgid \"Vorelle\"\nmsgstr \"\"\n\n"                 // removes
      "#, fuzzy\nmsgctxt \"MainForm|L|ABC\"\nmsgid \"%d files in %s\"\nmsgstr \"%d Dateien\"\n\n"
      "# state: Google\nmsgctxt \"MainForm|P|Note.Caption\"\nmsgid \"x\"\nmsgstr \"Zeile\"\n\n"  // approved now
      "msgctxt \"MainForm|P|Gone.Caption\"\nmsgid \"x\"\nmsgstr \"y\"\n\n"                       // unknown
      "msgctxt \"MainForm|L|ABC\"\nmsgid \"x\"\nmsgid_plural \"y\"\nmsgstr[0] \"z\"\n\n"         // not plural
      "#~ msgctxt \"MainForm|L|#XYZ\"\n#~ msgid \"x\"\n#~ msgstr \"old\"\n\n"                 // obsolete
      "msgctxt \"Other|P|Odd|L|1\"\nmsgid \"100%\"\nmsgstr \"cent\"\n";
  const TPOImportResult r = ImportPO(catalog, TCultureTable::Find("de-DE"), po);
  EXPECT_EQ(r.Approved, 2);
  EXPECT_EQ(r.Fuzzy, 1);
  EXPECT_EQ(r.Cleared, 1);
  EXPECT_EQ(r.Unknown, 2);
  TTextDomain* main = catalog.TextDomains().Find("MainForm");
  EXPECT_EQ(main->Properties().Find(".Caption")->Translations().Find("de-DE"), nullptr);
  const TTextTranslation* abc = main->Literals().Find("ABC")->Translations().Find("de-DE");
  EXPECT_EQ(abc->Value(), "%d Dateien");
  EXPECT_EQ(abc->State(), tsFuzzy);
  EXPECT_EQ(main->Properties().Find("Note.Caption")->Translations().Find("de-DE")->State(), tsUser);
  EXPECT_EQ(catalog.TextDomains().Find("Other|P|Odd")->Literals().Find("1")->Translations().Find("de-DE")->Value(),
            "cent");
}

TEST(PoFile, BadDocumentsGiveClearErrorsAndChangeNothing) {
  struct TCase {
    const char* Text;
    const char* Message;
  };
  const TCase cases[] = {
      {"msgid \"a\"\nmsgstr \"b", "line 2: a quoted string is expected"},
      {"msgid \"a\\\"\nmsgstr \"b\"", "line 1: backslash at the end of a string"},
      {"msgid \"a\"\nmsgstr \"b\"c\"", "line 2: unescaped quote"},
      {"msgid \"a\\q\"\nmsgstr \"\"", "line 1: unknown escape \\q"},
      {"msgid \"a\\x\"\nmsgstr \"\"", "line 1: \\x without digits"},
      {"msgid \"a\"\nmsgid_plural \"b\"\nmsgstr[1] \"x\"", "line 3: msgstr index out of order"},
      {"msgid \"a\"\nmsgid_plural \"b\"\nmsgstr[0] \"x\"\nmsgstr[99999999999] \"y\"", "line 4: msgstr index out of order"},
      {"msgid \"a\"\nmsgid_plural \"b\"\nmsgstr \"x\"", "line 3: msgstr out of place"},
      {"msgid_plural \"b\"\nmsgstr \"x\"", "line 1: msgid_plural without msgid"},
      {"msgid \"a\"\n\n", "line 1: msgstr missing"},
      {"msgctxt \"c\"\nmsgstr \"x\"", "line 2: msgstr out of place"},
      {"\"floating\"", "line 1: string outside an entry"},
      {"msgid \"a\"\nmsgstr \"b\"\nmsgfoo \"c\"", "line 3: unknown keyword \"msgfoo\""},
      {"msgid \"a\"\nmsgid \"b\"", "line 2: msgid inside an entry"},
      {"msgid \"\xC3\x28\"\nmsgstr \"\"", "the PO file is not UTF-8 text"},
      {"msgid \"a\"\nmsgid_plural \"b\"\nmsgstr[0] \"x\\0y\"", "line 3: a string holds a null character"},
      {"msgid \"a\"\nmsgstr \"\"\n\"x\\x00\"", "line 3: a string holds a null character"},
  };
  for (const TCase& c : cases) {
    TTranslationCatalog catalog;
    LoadBytes(catalog, RichCatalog);
    const QByteArray before = SaveBytes(catalog);
    std::string message;
    try {
      ImportPO(catalog, TCultureTable::Find("de-DE"), QByteArray(c.Text));
    } catch (const EPOFileError& e) {
      message = e.what();
    }
    EXPECT_EQ(message, c.Message) << c.Text;
    EXPECT_EQ(SaveBytes(catalog), before) << c.Text;
  }
}

TEST(PoFile, GettextAcceptsOurExportAndWeReadItsOutput) {
  REQUIRE_PROGRAM("msgfmt");
  REQUIRE_PROGRAM("msgunfmt");
  TestSupport::TempDir dir;
  TTranslationCatalog original;
  LoadBytes(original, RichCatalog);
  for (const char* locale : {"de-DE", "pl-PL", "ar"}) {
    const TCultureInfo* culture = TCultureTable::Find(locale);
    const QString po = WriteTemp(dir, "out.po", ExportPO(original, culture));
    const std::string mo = dir.File("out.mo");
    std::string log;
    ASSERT_EQ(TestSupport::RunCommand("msgfmt -c -o '" + mo + "' '" + po.toStdString() + "' 2>&1", &log), 0)
        << locale << "\n" << log;
    // GNU gettext writes the approved translations back as PO text.
    std::string text;
    ASSERT_EQ(TestSupport::RunCommand("msgunfmt '" + mo + "'", &text), 0);
    TTranslationCatalog copy;
    LoadBytes(copy, RichCatalog);
    for (TTextDomain* domain : copy.TextDomains())
      for (TTextDictionary* dictionary : {&domain->Properties(), &domain->Literals()})
        for (TTextDefinition* d : *dictionary)
          if (TTextTranslation* t = d->Translations().Find(locale); t && t->IsApproved() && !t->Value().isEmpty())
            d->Translations().Delete(t);
    ImportPO(copy, culture, QByteArray::fromStdString(text));
    for (const TTextDomain* domain : original.TextDomains())
      for (const TTextDictionary* dictionary : {&domain->Properties(), &domain->Literals()})
        for (const TTextDefinition* d : *dictionary) {
          const TTextTranslation* t = d->Translations().Find(locale);
          if (!t || !t->IsApproved() || t->Value().isEmpty() || d->Value().isEmpty()) continue;
          const TTextDefinition* back = copy.TextDomains().Find(domain->Name())->Dictionary(dictionary->Kind()).Find(d->ID());
          const TTextTranslation* b = back->Translations().Find(locale);
          ASSERT_NE(b, nullptr) << locale << " " << d->ID().toStdString();
          EXPECT_EQ(b->Value(), t->Value()) << locale << " " << d->ID().toStdString();
          EXPECT_TRUE(b->IsApproved());
        }
  }
}

TEST(PoFile, CommandLineRoundTripAndErrors) {
  REQUIRE_PROGRAM("msgfmt");
  TestSupport::TempDir dir;
  const std::string tool = VORELLE_I18N_TOOL;
  const QString catalog = WriteTemp(dir, "app.i18n", RichCatalog);
  const std::string c = catalog.toStdString(), po = dir.File("pl.po");
  ASSERT_EQ(TestSupport::RunCommand("'" + tool + "' export '" + c + "' pl-PL '" + po + "'"), 0);
  EXPECT_EQ(TestSupport::RunCommand("msgfmt -c -o /dev/null '" + po + "'"), 0);
  std::string out;
  EXPECT_EQ(TestSupport::RunCommand("'" + tool + "' import '" + c + "' pl-PL '" + po + "' 2>&1", &out), 0);
  EXPECT_EQ(out, "vorelle-i18n: 1 approved, 3 not approved, 0 removed, 0 unknown entries skipped\n");
  TTranslationCatalog reference, imported;
  LoadBytes(reference, RichCatalog);
  imported.LoadFromFile(catalog);
  EXPECT_EQ(SaveBytes(imported), SaveBytes(reference));
  // Merge of a fresh collection: new texts arrive, translations stay.
  const QString fresh = WriteTemp(dir, "fresh.i18n",
                                  "<?xml version=\"1.0\"?><i18nCatalog Locale=\"en\"><Domain Name=\"MainForm\">"
                                  "<Property ID=\"New.Caption\"><Value>New</Value></Property></Domain></i18nCatalog>");
  EXPECT_EQ(TestSupport::RunCommand("'" + tool + "' merge '" + c + "' '" + fresh.toStdString() + "'"), 0);
  TTranslationCatalog merged;
  merged.LoadFromFile(catalog);
  EXPECT_NE(merged.TextDomains().Find("MainForm")->Properties().Find("New.Caption"), nullptr);
  EXPECT_NE(merged.TextDomains().Find("MainForm")->Properties().Find(".Caption")->Translations().Find("de-DE"), nullptr);
  // Errors: a clear message and a failure status.
  WriteTemp(dir, "bad.po", "msgid \"a\"\nmsgstr \"b");
  out.clear();
  EXPECT_EQ(TestSupport::RunCommand("'" + tool + "' import '" + c + "' pl-PL '" + dir.File("bad.po") + "' 2>&1", &out), 1);
  EXPECT_EQ(out, "vorelle-i18n: " + dir.File("bad.po") + ": line 2: a quoted string is expected\n");
  out.clear();
  EXPECT_EQ(TestSupport::RunCommand("'" + tool + "' export '" + c + "' xx-YY '" + po + "' 2>&1", &out), 1);
  EXPECT_EQ(out, "vorelle-i18n: unknown language \"xx-YY\"\n");
  EXPECT_EQ(TestSupport::RunCommand("'" + tool + "' frobnicate a b 2>/dev/null"), 2);
}
