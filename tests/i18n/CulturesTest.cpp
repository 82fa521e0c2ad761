// The culture table: lookups by locale, the nearest culture, every standard
// rule valid.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Cultures.h"
#include "PluralForms.h"

using namespace I18n;

TEST(Cultures, FindIgnoresCaseAndSeparator) {
  const TCultureInfo* c = TCultureTable::Find("PT_br");
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(c->Locale, "pt-BR");
  EXPECT_STREQ(c->Language2, "pt");
  EXPECT_EQ(TCultureTable::Find("es"), TCultureTable::Find("ES"));
  EXPECT_EQ(TCultureTable::Find(""), nullptr);
  EXPECT_EQ(TCultureTable::Find("pt-B"), nullptr);
  EXPECT_EQ(TCultureTable::Find("ptx"), nullptr);
  EXPECT_EQ(TCultureTable::Find("pt-BRX"), nullptr);
}

TEST(Cultures, NearestFallsBackToTheLanguage) {
  EXPECT_STREQ(TCultureTable::NearestTo("es-MX")->Locale, "es-MX");
  EXPECT_STREQ(TCultureTable::NearestTo("es-CO")->Locale, "es");
  EXPECT_STREQ(TCultureTable::NearestTo("sr_RS")->Locale, "sr");
  EXPECT_EQ(TCultureTable::NearestTo("ptx"), nullptr);
  EXPECT_EQ(TCultureTable::NearestTo("xx-YY"), nullptr);
  EXPECT_EQ(TCultureTable::NearestTo("-MX"), nullptr);
  EXPECT_STREQ(TCultureTable::Default()->Locale, "en");
}

TEST(Cultures, TableIsConsistent) {
  const auto& all = TCultureTable::All();
  EXPECT_GE(all.size(), 40u);
  std::set<std::string> locales;
  for (const TCultureInfo* c : all) {
    EXPECT_TRUE(locales.insert(c->Locale).second) << c->Locale;
    const std::string locale = c->Locale;
    EXPECT_EQ(locale.substr(0, locale.find('-')), c->Language2);
    // Every rule parses, and form indexes stay below the number of forms.
    TPluralForms forms(c->PluralRule);
    for (int n = 0; n < 300; ++n) {
      const int index = forms.IndexOf(n);
      EXPECT_GE(index, 0) << c->Locale << " " << n;
      EXPECT_LT(index, forms.NumOfPlurals()) << c->Locale << " " << n;
    }
    // Regional cultures count as their language, except Brazilian Portuguese.
    const TCultureInfo* language = TCultureTable::Find(c->Language2);
    ASSERT_NE(language, nullptr) << c->Locale;
    if (locale != "pt-BR") {
      EXPECT_STREQ(c->PluralRule, language->PluralRule) << c->Locale;
    }
  }
  EXPECT_TRUE(TCultureTable::Find("ar")->RightToLeft);
  EXPECT_FALSE(TCultureTable::Find("de")->RightToLeft);
}

TEST(Cultures, ListKeepsEachCultureOnceInOrder) {
  TCultureList list;
  EXPECT_TRUE(list.Add(TCultureTable::Find("de")));
  EXPECT_TRUE(list.Add(TCultureTable::Find("fr")));
  EXPECT_FALSE(list.Add(TCultureTable::Find("DE")));
  EXPECT_FALSE(list.Add(nullptr));
  ASSERT_EQ(list.Count(), 2);
  EXPECT_STREQ(list[1]->Locale, "fr");
  EXPECT_EQ(list.IndexOf(TCultureTable::Find("it")), -1);
}
