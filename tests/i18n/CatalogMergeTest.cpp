// Merging catalogs, the similarity of texts, locating and loading catalog
// files: Open with its schemes, files and folder trees.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QResource>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "CatalogTestSupport.h"
#include "TestSupport.h"
#include "TranslationCatalog.h"

using namespace I18n;

namespace {

TTextDefinition* Def(TTranslationCatalog& C, const char* Domain, const char* ID, const char* Value) {
  TTextDefinition* d = C.TextDomains().Add(Domain)->Literals().Add(ID);
  d->SetValue(Value);
  return d;
}

TTextTranslation* Tr(TTextDefinition* D, const char* Locale, const char* Value, TTranslationState State) {
  TTextTranslation* t = D->Translations().Add(Locale);
  t->SetValue(Value);
  t->SetState(State);
  return t;
}

void WriteText(const std::string& Path, const std::string& Text) {
  std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
  TestSupport::WriteFileBytes(Path, std::vector<uint8_t>(Text.begin(), Text.end()));
}

std::string CatalogText(const char* Locale, const char* Domain, const char* ID, const char* TranslationLocale,
                        const char* Value) {
  return std::string("<?xml version=\"1.0\"?>\n<i18nCatalog Locale=\"") + Locale + "\"><Domain Name=\"" + Domain +
         "\"><Literal ID=\"" + ID + "\"><Value>v" + ID + "</Value><Translation Locale=\"" + TranslationLocale +
         "\">" + Value + "</Translation></Literal></Domain></i18nCatalog>";
}

}  // namespace

TEST(CatalogMerge, Similarity) {
  EXPECT_DOUBLE_EQ(TextSimilarity("", ""), 1.0);
  EXPECT_DOUBLE_EQ(TextSimilarity("abc", ""), 0.0);
  EXPECT_DOUBLE_EQ(TextSimilarity("Open File", "open file"), 1.0);
  // One transposition in ten characters.
  EXPECT_DOUBLE_EQ(TextSimilarity("abcdefghij", "abcdefhgij"), 0.9);
  EXPECT_DOUBLE_EQ(TextSimilarity("kitten", "sitting"), 1.0 - 3.0 / 7.0);
  EXPECT_DOUBLE_EQ(TextSimilarity("ca", "abc"), 1.0 - 3.0 / 3.0);
  EXPECT_DOUBLE_EQ(TextSimilarity("Save image", "Save images"), 1.0 - 1.0 / 11.0);
}

TEST(CatalogMerge, TranslationsAndComments) {
  TTranslationCatalog own, source;
  own.SetNativeCulture(TCultureTable::Find("en"));
  source.SetNativeCulture(TCultureTable::Find("en"));
  TTextDefinition* o = Def(own, "D", "a", "Open");
  o->SetComment("menu");
  Tr(o, "de", "Offnen", tsFuzzy);
  Tr(o, "fr", "Ouvrir", tsUser);
  TTextDefinition* s = Def(source, "d", "A", "Open");
  s->SetComment("toolbar");
  Tr(s, "DE", "Öffnen", tsAuto);
  Tr(s, "fr", "Ouvre", tsAuto);
  Tr(s, "it", "Apri", tsUser);
  source.CustomPluralRules().Store(TCultureTable::Find("pl"), "nplurals=2; plural=n>1;");
  own.CustomPluralRules().Store(TCultureTable::Find("pl"), "nplurals=1; plural=0;");
  own.Merge(source, 0);
  EXPECT_EQ(own.TextDomains().Count(), 1);
  EXPECT_EQ(o->Comment(), "menu\r\ntoolbar");
  EXPECT_EQ(o->Translations().Find("de")->Value(), Q("Öffnen"));  // higher state
  EXPECT_EQ(o->Translations().Find("de")->Locale(), "DE");
  EXPECT_EQ(o->Translations().Find("fr")->Value(), "Ouvrir");  // own state higher
  EXPECT_EQ(o->Translations().Find("it")->State(), tsUser);
  EXPECT_EQ(own.PluralRuleOf(TCultureTable::Find("pl")), "nplurals=1; plural=0;");
  EXPECT_EQ(own.Cultures().Count(), 4);
  // Merging again appends no comment twice.
  own.Merge(source, 0);
  EXPECT_EQ(o->Comment(), "menu\r\ntoolbar");
  // Preferring the source: a changed value makes approved texts fuzzy.
  s->SetValue("Open...");
  own.Merge(source, moPreferSource);
  EXPECT_EQ(o->Value(), "Open...");
  EXPECT_EQ(o->Comment(), "toolbar");
  EXPECT_EQ(o->Translations().Find("fr")->Value(), "Ouvre");
  EXPECT_EQ(o->Translations().Find("fr")->State(), tsAuto);
  EXPECT_EQ(own.PluralRuleOf(TCultureTable::Find("pl")), "nplurals=2; plural=n>1;");
}

TEST(CatalogMerge, OtherNativeLanguageBecomesATranslation) {
  TTranslationCatalog own, source, unknown;
  own.SetNativeCulture(TCultureTable::Find("en"));
  source.SetNativeCulture(TCultureTable::Find("de"));
  TTextDefinition* o = Def(own, "D", "a", "Open");
  o->SetComment("menu");
  Def(source, "D", "a", "Öffnen");
  own.Merge(source, 0);
  const TTextTranslation* t = o->Translations().Find("de");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->Value(), Q("Öffnen"));
  EXPECT_EQ(t->State(), tsUser);
  EXPECT_EQ(t->Note(), "menu");
  EXPECT_EQ(o->Value(), "Open");
  // A source without a native language adds no translation.
  Def(unknown, "D", "a", "?");
  own.Merge(unknown, 0);
  EXPECT_EQ(o->Translations().Count(), 1);
}

TEST(CatalogMerge, RenamedTextsAndDeletion) {
  TTranslationCatalog own, source;
  TTextDefinition* old = Def(own, "D", "old", "Save the image");
  Tr(old, "de", "Bild speichern", tsUser);
  Tr(old, "fr", "Enregistrer", tsAuto);
  Def(own, "D", "gone", "Something else entirely");
  Def(own, "D", "#plural", "Save the images");
  Def(own, "E", "x", "x");
  Def(source, "D", "new", "Save the images");
  Def(source, "D", "new2", "Save the images");
  TTextDefinition* exact = Def(source, "D", "same", "Quit");
  Tr(exact, "fr", "Quitter", tsGoogle);
  Def(own, "D", "quit", "Quit");
  Tr(own.TextDomains().Find("D")->Literals().Find("quit"), "fr", "Fermer", tsUser);
  own.Merge(source, 0);
  const TTextDictionary& d = own.TextDomains().Find("D")->Literals();
  // "old" goes into the first most similar new text, its approved
  // translations fuzzy because the texts differ.
  EXPECT_EQ(d.Find("old"), nullptr);
  ASSERT_NE(d.Find("new"), nullptr);
  EXPECT_EQ(d.Find("new")->Translations().Find("de")->State(), tsFuzzy);
  EXPECT_EQ(d.Find("new")->Translations().Find("fr")->State(), tsAuto);
  EXPECT_EQ(d.Find("new2")->Translations().Count(), 0);
  // Equal texts keep their states.
  EXPECT_EQ(d.Find("quit"), nullptr);
  EXPECT_EQ(d.Find("same")->Translations().Find("fr")->Value(), "Fermer");
  EXPECT_EQ(d.Find("same")->Translations().Find("fr")->State(), tsUser);
  // A plural id is no candidate for a plain one and the reverse; without the
  // option unmatched texts stay.
  EXPECT_NE(d.Find("#plural"), nullptr);
  EXPECT_NE(d.Find("gone"), nullptr);
  EXPECT_NE(own.TextDomains().Find("E"), nullptr);
  own.Merge(source, moDeleteDefinitionsNotInSource | moDeleteDomainsNotInSource);
  EXPECT_EQ(d.Find("gone"), nullptr);
  EXPECT_EQ(d.Find("#plural"), nullptr);
  EXPECT_EQ(own.TextDomains().Find("E"), nullptr);
  EXPECT_EQ(d.Count(), 3);
}

TEST(CatalogMerge, OpenSchemesAndFiles) {
  TestSupport::TempDir dir;
  const std::string file = dir.File("a.i18n");
  WriteText(file, CatalogText("en", "Main", "x", "de", "Hallo"));
  TTranslationCatalog c;
  c.Open(QString::fromStdString(file));
  EXPECT_EQ(c.TextDomains().Count(), 1);
  c.Open(QString::fromStdString("FILE:" + file));
  EXPECT_EQ(c.TextDomains().Count(), 1);
  // Environment references and a path below the program's folder.
  setenv("VORELLE_CATALOG_TEST_DIR", dir.Path().c_str(), 1);
  c.Open("file:%VORELLE_CATALOG_TEST_DIR%/a.i18n");
  EXPECT_EQ(c.TextDomains().Count(), 1);
  EXPECT_EQ(TTranslationCatalog::ResolvePath("%NO_SUCH_VARIABLE_X%/a"),
            TTranslationCatalog::ProgramFolder() + "/%NO_SUCH_VARIABLE_X%/a");
  EXPECT_EQ(TTranslationCatalog::ResolvePath("C:\\x"), "C:\\x");
  EXPECT_EQ(TTranslationCatalog::ResolvePath("\\x"), "\\x");
  EXPECT_EQ(TTranslationCatalog::ResolvePath("x"), TTranslationCatalog::ProgramFolder() + "/x");
  // "C:\..." is a file path: it does not exist here, and the catalog is
  // cleared.
  EXPECT_THROW(c.Open("C:\\Program Files\\Vorelle\\I18n\\Vorelle.i18n"), EFileError);
  EXPECT_TRUE(c.Empty());
  c.Open(QString::fromStdString(file));
  try {
    c.Open("http://example.org/a.i18n");
    ADD_FAILURE();
  } catch (const ENotSupportedException& e) {
    EXPECT_STREQ(e.what(), "'http:' is not supported");
  }
  EXPECT_TRUE(c.Empty());
  try {
    c.Open(QString::fromStdString("dir:" + dir.File("missing") + "/"));
    ADD_FAILURE();
  } catch (const EDirectoryNotFoundException& e) {
    EXPECT_EQ(std::string(e.what()), "Directory not found: " + dir.File("missing") + "/");
  }
  EXPECT_THROW(c.Open("res:NoSuchCatalog"), EResNotFound);
  // A broken file through Open: the load error, the catalog empty.
  WriteText(dir.File("bad.i18n"), "<?xml version=\"1.0\"?><i18nCatalog><Domain>");
  c.Open(QString::fromStdString(file));
  EXPECT_THROW(c.Open(QString::fromStdString(dir.File("bad.i18n"))), ETranslationCatalogError);
  EXPECT_TRUE(c.Empty());
  // Saved to a file and read back, compressed.
  c.Open(QString::fromStdString(file));
  c.SetCompressed(true);
  c.SaveToFile(QString::fromStdString(dir.File("packed.i18n")));
  TTranslationCatalog d;
  d.LoadFromFile(QString::fromStdString(dir.File("packed.i18n")));
  EXPECT_TRUE(d.Compressed());
  EXPECT_EQ(d.TextDomains().Find("main")->Literals().TranslationOf("x", "de-AT")->Value(), "Hallo");
}

TEST(CatalogMerge, FolderTrees) {
  TestSupport::TempDir dir;
  const std::string root = dir.Path().string();
  WriteText(root + "/a.i18n", CatalogText("en", "Main", "a", "de", "A"));
  WriteText(root + "/b.I18N.txt", CatalogText("en", "Main", "b", "de", "B"));
  WriteText(root + "/broken.i18n", "not a catalog at all, not even compressed");
  WriteText(root + "/sub/c.i18n", CatalogText("de", "Main", "a", "fr", "C"));
  WriteText(root + "/sub/deeper/d.i18n", CatalogText("en", "Other", "d", "it", "D"));
  TTranslationCatalog c;
  c.Open(QString::fromStdString("dir:" + root + "/"));
  const TTextDictionary* main = &c.TextDomains().Find("Main")->Literals();
  EXPECT_EQ(main->Count(), 1);
  EXPECT_EQ(c.TextDomains().Count(), 1);
  EXPECT_EQ(c.NativeCulture(), TCultureTable::Find("en"));
  // With subfolders: every file, merged; a similar text of another file is
  // kept, not taken for a renamed one.
  c.Open(QString::fromStdString("dirx:" + root + "/*.i18n"));
  ASSERT_EQ(c.TextDomains().Count(), 2);
  main = &c.TextDomains().Find("Main")->Literals();
  ASSERT_EQ(main->Count(), 1);
  const TTextDefinition* a = main->Find("a");
  EXPECT_EQ(a->Translations().Find("fr")->Value(), "C");
  // The German file's source text is its German translation.
  EXPECT_EQ(a->Translations().Find("de")->Value(), "va");
  EXPECT_EQ(a->Translations().Find("de")->State(), tsUser);
  EXPECT_NE(c.TextDomains().Find("Other")->Literals().Find("d"), nullptr);
  std::vector<std::string> cultures;
  for (const TCultureInfo* ci : c.Cultures()) cultures.push_back(ci->Locale);
  EXPECT_EQ(cultures, (std::vector<std::string>{"de", "fr", "it", "en"}));
  // Errors are not ignored through LoadFromDirectory with IgnoreErrors off.
  EXPECT_THROW(c.LoadFromDirectory(QString::fromStdString(root), false, "", false), ETranslationCatalogError);
  EXPECT_TRUE(c.Empty());
  // A mask of the caller's own, case ignored.
  c.LoadFromDirectory(QString::fromStdString(root), false, "*.i18n.TXT", false);
  EXPECT_NE(c.TextDomains().Find("Main")->Literals().Find("b"), nullptr);
  // No files: an empty catalog.
  c.LoadFromFiles({}, false);
  EXPECT_TRUE(c.Empty());
  // Two files with similar texts in one domain both stay.
  WriteText(root + "/two/x.i18n", CatalogText("en", "M", "one", "de", "Bild speichern"));
  WriteText(root + "/two/y.i18n", CatalogText("en", "M", "onf", "de", "Bild speichern"));
  c.Open(QString::fromStdString("dir:" + root + "/two/"));
  EXPECT_EQ(c.TextDomains().Find("M")->Literals().Count(), 2);
}

TEST(CatalogMerge, FolderLinkLoopsAreNotFollowed) {
  TestSupport::TempDir dir;
  const std::string root = dir.Path().string();
  WriteText(root + "/sub/a.i18n", CatalogText("en", "Main", "a", "de", "A"));
  std::filesystem::create_directory_symlink(root, root + "/sub/loop");
  TTranslationCatalog c;
  c.Open(QString::fromStdString("dirx:" + root + "/"));
  EXPECT_EQ(c.TextDomains().Find("Main")->Literals().Count(), 1);
}

TEST(CatalogMerge, ProgramResources) {
  const std::string rcc = "/usr/lib/qt6/libexec/rcc";
  if (!std::filesystem::exists(rcc)) GTEST_SKIP() << "Qt's resource compiler is missing";
  TestSupport::TempDir dir;
  WriteText(dir.File("Vorelle"), CatalogText("en", "Main", "raw", "de", "R"));
  WriteText(dir.File("CATALOG/Vorelle"), CatalogText("en", "Main", "typed", "de", "T"));
  WriteText(dir.File("res.qrc"),
            "<RCC><qresource prefix=\"/\"><file>Vorelle</file><file>CATALOG/Vorelle</file></qresource></RCC>");
  ASSERT_EQ(TestSupport::RunCommand("cd '" + dir.Path().string() + "' && " + rcc + " --binary -o res.rcc res.qrc"), 0);
  ASSERT_TRUE(QResource::registerResource(QString::fromStdString(dir.File("res.rcc"))));
  TTranslationCatalog c;
  // Without a type: the raw-data resource of that name.
  c.Open("res:Vorelle");
  EXPECT_NE(c.TextDomains().Find("Main")->Literals().Find("raw"), nullptr);
  c.Open("RES:Vorelle.CATALOG");
  EXPECT_NE(c.TextDomains().Find("Main")->Literals().Find("typed"), nullptr);
  c.LoadFromResource("Vorelle", "10");
  EXPECT_NE(c.TextDomains().Find("Main")->Literals().Find("raw"), nullptr);
  try {
    c.Open("res:Missing.CATALOG");
    ADD_FAILURE();
  } catch (const EResNotFound& e) {
    EXPECT_STREQ(e.what(), "Resource Missing not found");
  }
  EXPECT_TRUE(c.Empty());
  EXPECT_TRUE(QResource::unregisterResource(QString::fromStdString(dir.File("res.rcc"))));
}
