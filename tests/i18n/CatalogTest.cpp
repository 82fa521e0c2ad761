// Translation catalogs: the object model, escaping, the file format and the
// lookups.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QDomDocument>

#include <zlib.h>

#include "CatalogTestSupport.h"
#include "PluralForms.h"
#include "TranslationCatalog.h"

using namespace I18n;

namespace {

QByteArray Compress(const QByteArray& Data) {
  uLongf size = compressBound(uLong(Data.size()));
  QByteArray out(qsizetype(size), '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(Data.constData()),
           uLong(Data.size()));
  out.resize(qsizetype(size));
  return out;
}

const char SmallDoc[] =
    "<?xml version=\"1.0\"?>\n"
    "<i18nCatalog Locale=\"en\"><Domain Name=\"Main\"><Literal ID=\"x\"><Value>Hello</Value>"
    "<Translation Locale=\"de\">Hallo</Translation></Literal></Domain></i18nCatalog>";

// UTF-16 units taken as they are (fromUtf16 would read a leading U+FFFE as
// a byte order mark).
QString U16(const char16_t* Units, qsizetype N) { return QString(reinterpret_cast<const QChar*>(Units), N); }

}  // namespace

TEST(Catalog, PluralTexts) {
  QString v;
  EXPECT_EQ(PluralText::Count(v), 0);
  PluralText::Set(v, 2, "c");
  EXPECT_EQ(v, U16(u"\0\0c\0", 4));
  EXPECT_EQ(PluralText::Count(v), 3);
  PluralText::Set(v, 0, "a");
  EXPECT_EQ(PluralText::Get(v, 0), "a");
  EXPECT_EQ(PluralText::Get(v, 1), "");
  EXPECT_EQ(PluralText::Get(v, 2), "c");
  EXPECT_EQ(PluralText::Get(v, 3), "");
  EXPECT_EQ(PluralText::Get(v, -1), "");
  // A plain text is one form.
  EXPECT_EQ(PluralText::Count("file"), 1);
  EXPECT_EQ(PluralText::Get("file", 0), "file");
  QString plain = "file";
  PluralText::Set(plain, 1, "files");
  EXPECT_EQ(plain, U16(u"file\0files\0", 11));
}

TEST(Catalog, EscapingRoundTrips) {
  const char16_t all[] = u"\0\x01\x07\b\t\n\v\f\r\x0E\x1F \\a\xE9";
  const QString text = U16(all, 15);
  const QString escaped = EscapeText(text);
  EXPECT_EQ(escaped, Q("\\0\\x01\\x07\\b\\t\\n\\v\\f\\r\\x0E\\x1F \\\\a\xC3\xA9"));
  EXPECT_EQ(UnescapeText(escaped), text);
  EXPECT_EQ(EscapeText("tab\there \\ end"), "tab\\there \\\\ end");
  // Unwritable characters go as \u and come back.
  const char16_t oddUnits[] = {0xFFFE, 0xD800, u'x', 0xDC00};
  const QString odd = U16(oddUnits, 4);
  EXPECT_EQ(EscapeText(odd), "\\uFFFE\\uD800x\\uDC00");
  EXPECT_EQ(UnescapeText(EscapeText(odd)), odd);
  const char16_t pairUnits[] = {0xD83D, 0xDE00};
  const QString pair = U16(pairUnits, 2);
  EXPECT_EQ(EscapeText(pair), pair);
  // Reading: \u up to four and \x up to two digits, either case.
  EXPECT_EQ(UnescapeText("\\u41\\x4a\\u00e9Z\\x414"), Q("AJ\xC3\xA9ZA4"));
  EXPECT_EQ(UnescapeText("\\u00410"), "A0");
  // Any other escaped character gives a backslash and is dropped.
  EXPECT_EQ(UnescapeText("a\\qb\\"), "a\\b\\");
  for (const char* bad : {"\\u", "\\x", "\\xg", "a\\u-"}) {
    try {
      UnescapeText(bad);
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_STREQ(e.what(), "Invalid escaped character in the string");
    }
  }
}

TEST(Catalog, XmlDetection) {
  TTranslationCatalog c;
  const QByteArray doc(SmallDoc);
  // "<?xml" in any letter case.
  QByteArray upper = doc;
  upper.replace("<?xml", "<?XmL");
  EXPECT_EQ(LoadError(c, upper), "");
  EXPECT_FALSE(c.Compressed());
  EXPECT_EQ(c.TextDomains().Count(), 1);
  // UTF-8 byte order mark.
  EXPECT_EQ(LoadError(c, "\xEF\xBB\xBF" + doc), "");
  EXPECT_EQ(c.TextDomains().Count(), 1);
  // UTF-16, both byte orders, with and without a byte order mark.
  const QString text = QString::fromUtf8(doc);
  QByteArray le(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
  QByteArray be = le;
  for (qsizetype i = 0; i < be.size(); i += 2) std::swap(be[i], be[i + 1]);
  for (const QByteArray& bytes : {QByteArray("\xFF\xFE", 2) + le, QByteArray("\xFE\xFF", 2) + be, le, be}) {
    EXPECT_EQ(LoadError(c, bytes), "");
    ASSERT_EQ(c.TextDomains().Count(), 1);
    EXPECT_EQ(c.TextDomains().First()->Literals().Find("X")->Translations().Find("DE")->Value(), "Hallo");
    EXPECT_FALSE(c.Compressed());
  }
  // Without a declaration the data is taken as compressed.
  QByteArray bare(SmallDoc + 22);
  EXPECT_EQ(LoadError(c, bare), "Unable to load the translation catalog: zlib: incorrect header check");
  EXPECT_TRUE(c.Empty());
  // Fewer than 14 bytes are never text.
  EXPECT_NE(LoadError(c, "<?xml?><a/>"), "");
}

TEST(Catalog, CompressedRoundTripAndBrokenStreams) {
  TTranslationCatalog c;
  const QByteArray packed = Compress(SmallDoc);
  EXPECT_EQ(LoadError(c, packed), "");
  EXPECT_TRUE(c.Compressed());
  EXPECT_EQ(c.NativeCulture(), TCultureTable::Find("en"));
  const QByteArray saved = SaveBytes(c);
  EXPECT_EQ(uint8_t(saved[0]), 0x78);
  TTranslationCatalog d;
  EXPECT_EQ(LoadError(d, saved), "");
  EXPECT_TRUE(d.Compressed());
  EXPECT_EQ(d.TextDomains().Find("main")->Literals().TranslationOf("x", "de")->Value(), "Hallo");
  // A truncated stream, a corrupted one, an empty one.
  EXPECT_EQ(LoadError(d, packed.left(packed.size() / 2)),
            "Unable to load the translation catalog: zlib: unexpected end of the compressed data");
  EXPECT_TRUE(d.Empty());
  QByteArray corrupt = packed;
  corrupt[10] = char(corrupt[10] ^ 0x55);
  corrupt[11] = char(corrupt[11] ^ 0xAA);
  EXPECT_NE(LoadError(d, corrupt).find("Unable to load the translation catalog: "), std::string::npos);
  EXPECT_EQ(LoadError(d, QByteArray()), "Unable to load the translation catalog: zlib: unexpected end of the compressed data");
  // Compressed bytes that are no XML.
  EXPECT_NE(LoadError(d, Compress("just text, not a document")).find("Unable to load the translation catalog: "),
            std::string::npos);
}

TEST(Catalog, DecompressionBombIsRefused) {
  // 80 MiB of zeros packs into some 80 KiB.
  std::vector<char> zeros(size_t(80) << 20, ' ');
  const QByteArray packed = Compress(QByteArray::fromRawData(zeros.data(), qsizetype(zeros.size())));
  zeros.clear();
  zeros.shrink_to_fit();
  TTranslationCatalog c;
  EXPECT_EQ(LoadError(c, packed),
            "Unable to load the translation catalog: the decompressed catalog is larger than 67108864 bytes");
}

TEST(Catalog, EntityExpansionStaysBounded) {
  // A nest of internal entities expanding to a few gigabytes.
  QByteArray doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE i18nCatalog [\n<!ENTITY a0 \"aaaaaaaaaa\">\n";
  for (int i = 1; i < 10; ++i)
    doc += QByteArray("<!ENTITY a") + QByteArray::number(i) + " \"" +
           QByteArray("&a") .append(QByteArray::number(i - 1)).append(";").repeated(10) + "\">\n";
  doc += "]>\n<i18nCatalog><Domain Name=\"D\"><Literal ID=\"x\"><Comment>&a9;</Comment></Literal></Domain>"
         "</i18nCatalog>";
  TTranslationCatalog c;
  EXPECT_EQ(LoadError(c, doc), "Unable to load the translation catalog: Entity expands to more characters than "
                               "the entity expansion limit. (line 14, column 59)");
  EXPECT_TRUE(c.Empty());
  // An external entity is not fetched.
  TTranslationCatalog e;
  const QByteArray external =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE i18nCatalog [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
      "<i18nCatalog><Domain Name=\"D\"><Literal ID=\"x\"><Comment>&x;</Comment></Literal></Domain></i18nCatalog>";
  ASSERT_EQ(LoadError(e, external), "");
  EXPECT_EQ(e.TextDomains().First()->Literals().First()->Comment(), "");
}

TEST(Catalog, ReadsOddLetterCaseAndSkipsUnknownElements) {
  const char doc[] =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<I18NCATALOG Version=\"9\" Locale=\"EN-us\">\n"
      "  <Unknown><Domain Name=\"Hidden\"/></Unknown>\n"
      "  <pluralform Locale=\"pl\" Rule=\"nplurals=2; plural=n!=1;\"/>\n"
      "  <PLURALFORM Locale=\"pl\" Rule=\"nplurals=3; plural=n%3;\"/>\n"
      "  <PluralForm Locale=\"de\" Rule=\"nplurals=2; plural=(n != 1);\"/>\n"
      "  <PluralForm Locale=\"zz\" Rule=\"nplurals=5; plural=n%5;\"/>\n"
      "  <dOMAIN Name=\"MainForm\">\n"
      "    <PROPERTY ID=\".Caption\"><comment>a\\tb\\\\c</comment><VALUE>Title</VALUE><Extra>x</Extra>\n"
      "      <translation Locale=\"de\">Titel</translation>\n"
      "      <Translation Locale=\"fr\" State=\"fUzZy\" Note=\"n\\x41\">Titre</Translation>\n"
      "      <Translation Locale=\"it\" State=\"google\">T</Translation>\n"
      "      <Translation Locale=\"es\" State=\"AUTO\">T</Translation>\n"
      "      <Translation Locale=\"nl\" State=\"none\">T</Translation>\n"
      "      <Translation Locale=\"pt\" State=\"approved\">T</Translation>\n"
      "      <Translation Locale=\"sv\" State=\"user\">T</Translation>\n"
      "      <Translation Locale=\"xx-YY\">T</Translation>\n"
      "    </PROPERTY>\n"
      "    <literal ID=\"#P\"><Value><PluralForm>one</PluralForm><pluralform>many\\n</pluralform></Value>"
      "<Translation Locale=\"de\">eins</Translation></literal>\n"
      "    <Literal ID=\"#Q\"><Value>plain</Value></Literal>\n"
      "    <Literal State=\"x\"/>\n"
      "  </dOMAIN>\n"
      "</I18NCATALOG>\n";
  TTranslationCatalog c;
  ASSERT_EQ(LoadError(c, doc), "");
  EXPECT_EQ(c.NativeCulture(), TCultureTable::Find("en-US"));
  ASSERT_EQ(c.TextDomains().Count(), 1);
  const TTextDomain* d = c.TextDomains().Find("mainform");
  ASSERT_NE(d, nullptr);
  const TTextDefinition* p = d->Properties().Find(".CAPTION");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Comment(), "a\tb\\c");
  EXPECT_EQ(p->Value(), "Title");
  const auto state = [&](const char* locale) { return p->Translations().Find(locale)->State(); };
  EXPECT_EQ(state("de"), tsUser);
  EXPECT_EQ(state("fr"), tsFuzzy);
  EXPECT_EQ(state("it"), tsGoogle);
  EXPECT_EQ(state("es"), tsAuto);
  EXPECT_EQ(state("nl"), tsNone);
  EXPECT_EQ(state("pt"), tsNone);
  EXPECT_EQ(state("sv"), tsUser);
  EXPECT_EQ(p->Translations().Find("fr")->Note(), "nA");
  EXPECT_TRUE(p->Translations().Find("de")->IsApproved());
  const TTextDefinition* plural = d->Literals().Find("#p");
  ASSERT_TRUE(plural->HasPluralForms());
  EXPECT_EQ(plural->PluralCount(), 2);
  EXPECT_EQ(plural->GetPlurals(1), "many\n");
  EXPECT_EQ(plural->Translations().Find("de")->PluralCount(), 1);
  EXPECT_EQ(d->Literals().Find("#q")->PluralCount(), 1);
  EXPECT_EQ(d->Literals().Find("#q")->GetPlurals(0), "plain");
  EXPECT_NE(d->Literals().Find(""), nullptr);
  // Cultures in the order met; the unknown locale skipped; native last.
  std::vector<std::string> cultures;
  for (const TCultureInfo* ci : c.Cultures()) cultures.push_back(ci->Locale);
  EXPECT_EQ(cultures, (std::vector<std::string>{"de", "fr", "it", "es", "nl", "pt", "sv", "en-US"}));
  // The first custom rule of a language wins; a standard one is not stored.
  EXPECT_EQ(c.CustomPluralRules().Count(), 1);
  EXPECT_EQ(c.PluralRuleOf(TCultureTable::Find("pl")), "nplurals=2; plural=n!=1;");
  EXPECT_EQ(c.PluralRuleOf(TCultureTable::Find("de")), "nplurals=2; plural=(n != 1);");
  EXPECT_EQ(c.PluralRuleOf(nullptr), TCultureTable::Find("en-US")->PluralRule);
  TTranslationCatalog empty;
  EXPECT_EQ(empty.PluralRuleOf(nullptr), TCultureTable::Default()->PluralRule);
}

TEST(Catalog, LoadErrors) {
  TTranslationCatalog c;
  LoadBytes(c, SmallDoc);
  EXPECT_EQ(LoadError(c, "<?xml version=\"1.0\"?><catalog/>"),
            "The translation catalog cannot be loaded because its format is not supported");
  EXPECT_TRUE(c.Empty());
  EXPECT_EQ(LoadError(c, "<?xml version=\"1.0\"?>"), "Unable to load the translation catalog: "
                                                      "Premature end of document. (line 1, column 21)");
  LoadBytes(c, SmallDoc);
  EXPECT_EQ(LoadError(c, "<?xml version=\"1.0\"?><i18nCatalog><PluralForm Locale=\"de\" Rule=\"nplurals=x\"/>"
                         "</i18nCatalog>"),
            "Unable to load the translation catalog: Invalid plural rule\r\nnplurals=x");
  EXPECT_TRUE(c.Empty());
  EXPECT_EQ(c.NativeCulture(), nullptr);
  EXPECT_EQ(LoadError(c, "<?xml version=\"1.0\"?><i18nCatalog><Domain Name=\"a\"><Literal ID=\"b\">"
                         "<Comment>\\u</Comment></Literal></Domain></i18nCatalog>"),
            "Unable to load the translation catalog: Invalid escaped character in the string");
  EXPECT_TRUE(c.Empty());
  EXPECT_EQ(c.Cultures().Count(), 0);
}

TEST(Catalog, SavesTheExpectedDocument) {
  TTranslationCatalog c;
  c.BeginUpdate();
  c.SetNativeCulture(TCultureTable::Find("en"));
  TTextDomain* d = c.TextDomains().Add("MainForm");
  TTextDefinition* caption = d->Properties().Add(".Caption");
  caption->SetValue("Vorelle");
  caption->SetComment("tab\there \\");
  caption->Translations().Add("de")->SetValue("Vorelle <&>");
  caption->Translations().Find("de")->SetState(tsUser);
  TTextTranslation* fr = caption->Translations().Add("fr");
  fr->SetValue("Vorelle");
  fr->SetState(tsFuzzy);
  fr->SetNote("check\nthis");
  caption->Translations().Add("it");  // empty: not written
  TTextDefinition* files = d->Literals().Add("#ABC");
  files->SetPlurals(0, "%d file");
  files->SetPlurals(1, "%d files");
  files->SetPlurals(2, "%d files\"");
  TTextTranslation* pl = files->Translations().Add("pl");
  pl->SetPlurals(0, "plik");
  pl->SetState(tsAuto);
  d->Literals().Add("EMPTY");
  c.EndUpdate();
  c.CustomPluralRules().Store(TCultureTable::Find("pl"), "nplurals=2; plural=n>1;");
  c.CustomPluralRules().Store(TCultureTable::Find("fr"), "nplurals=2; plural=(n > 1);");  // standard
  c.CustomPluralRules().Store(TCultureTable::Find("ja"), "nplurals=2; plural=n>1;");      // no such culture
  const QByteArray expected =
      "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n"
      "<i18nCatalog Version=\"1.0\" Locale=\"en\">\n"
      "  <PluralForm Locale=\"pl\" Rule=\"nplurals=2; plural=n&gt;1;\"/>\n"
      "  <Domain Name=\"MainForm\">\n"
      "    <Property ID=\".Caption\">\n"
      "      <Comment>tab\\there \\\\</Comment>\n"
      "      <Value>Vorelle</Value>\n"
      "      <Translation Locale=\"de\">Vorelle &lt;&amp;&gt;</Translation>\n"
      "      <Translation Locale=\"fr\" State=\"Fuzzy\" Note=\"check\\nthis\">Vorelle</Translation>\n"
      "    </Property>\n"
      "    <Literal ID=\"#ABC\">\n"
      "      <Value>\n"
      "        <PluralForm>%d file</PluralForm>\n"
      "        <PluralForm>%d files</PluralForm>\n"
      "        <PluralForm>%d files&quot;</PluralForm>\n"
      "      </Value>\n"
      "      <Translation Locale=\"pl\" State=\"Auto\">\n"
      "        <PluralForm>plik</PluralForm>\n"
      "      </Translation>\n"
      "    </Literal>\n"
      "    <Literal ID=\"EMPTY\"/>\n"
      "  </Domain>\n"
      "</i18nCatalog>\n";
  const QByteArray saved = SaveBytes(c);
  EXPECT_EQ(saved.toStdString(), expected.toStdString());
  // And it reads back to the same catalog.
  TTranslationCatalog back;
  LoadBytes(back, saved);
  EXPECT_FALSE(back.Compressed());
  EXPECT_EQ(SaveBytes(back).toStdString(), expected.toStdString());
  const TTextDefinition* read = back.TextDomains().Find("MainForm")->Literals().Find("#abc");
  EXPECT_EQ(read->PluralCount(), 3);
  EXPECT_EQ(read->GetPlurals(2), "%d files\"");
  EXPECT_EQ(back.TextDomains().Find("MainForm")->Properties().Find(".caption")->Comment(), "tab\there \\");
}

TEST(Catalog, NearestTranslation) {
  TTextDefinition* def;
  TTranslationCatalog c;
  def = c.TextDomains().Add("D")->Literals().Add("id");
  const auto add = [&](const char* locale, TTranslationState state) {
    TTextTranslation* t = def->Translations().Add(locale);
    t->SetValue(locale);
    t->SetState(state);
  };
  add("es", tsFuzzy);
  add("es-ES", tsAuto);
  TTextTranslations& ts = def->Translations();
  EXPECT_EQ(ts.NearestTo("es-MX")->Locale(), "es-ES");
  ts.Find("es")->SetState(tsAuto);  // a tie: the first one
  EXPECT_EQ(ts.NearestTo("es-MX")->Locale(), "es");
  EXPECT_EQ(ts.NearestTo("es-AR")->Locale(), "es");
  // An exact locale wins whatever its state.
  add("es-MX", tsFuzzy);
  ts.Find("es")->SetState(tsUser);
  EXPECT_EQ(ts.NearestTo("ES-mx")->Locale(), "es-MX");
  // "pt" and "pt-BR" are of the language, "ptx" is not.
  add("ptx", tsUser);
  EXPECT_EQ(ts.NearestTo("pt"), nullptr);
  add("pt-BR", tsFuzzy);
  EXPECT_EQ(ts.NearestTo("pt")->Locale(), "pt-BR");
  add("pt", tsNone);
  EXPECT_EQ(ts.NearestTo("pt-PT")->Locale(), "pt-BR");
  EXPECT_EQ(ts.NearestTo("ptx")->Locale(), "ptx");
  EXPECT_EQ(ts.NearestTo("qq"), nullptr);
  // Dictionary lookups and translating text items: only approved texts.
  const TTextDictionary& lits = c.TextDomains().Find("d")->Literals();
  EXPECT_EQ(lits.TranslationOf("ID", "es-MX")->Locale(), "es-MX");
  EXPECT_EQ(lits.TranslationOf("other", "es"), nullptr);
  std::vector<TTextItem> items{{"id", "src", "old", true}, {"ID", "src", "", false}, {"none", "x", "y", true}};
  lits.Translate(items, "es-MX");
  EXPECT_FALSE(items[0].IsTranslated);  // es-MX is only fuzzy
  EXPECT_EQ(items[0].TranslatedValue, "");
  lits.Translate(items, "es-AR");
  EXPECT_TRUE(items[0].IsTranslated);
  EXPECT_EQ(items[0].TranslatedValue, "es");
  EXPECT_TRUE(items[1].IsTranslated);
  EXPECT_FALSE(items[2].IsTranslated);
  EXPECT_EQ(items[2].TranslatedValue, "");
}

TEST(Catalog, ClearAndUpdateBrackets) {
  TTranslationCatalog c;
  LoadBytes(c, Compress(SmallDoc));
  EXPECT_EQ(c.Cultures().Count(), 2);
  c.BeginUpdate();
  c.BeginUpdate();
  c.TextDomains().First()->Literals().First()->Translations().Add("fr")->SetValue("Salut");
  c.EndUpdate();
  EXPECT_EQ(c.Cultures().Count(), 2);
  c.EndUpdate();
  EXPECT_EQ(c.Cultures().Count(), 3);
  EXPECT_STREQ(c.Cultures()[1]->Locale, "fr");
  c.EndUpdate();  // unbalanced: nothing
  c.Clear();
  EXPECT_TRUE(c.Empty());
  EXPECT_FALSE(c.Compressed());
  EXPECT_EQ(c.Cultures().Count(), 0);
  EXPECT_EQ(c.NativeCulture(), nullptr);
}
