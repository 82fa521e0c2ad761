#include "Cultures.h"

namespace I18n {

namespace {

// The plural rules of the gettext manual and of common practice.
const char OneForm[] = "nplurals=1; plural=0;";
const char NotOne[] = "nplurals=2; plural=(n != 1);";
const char AboveOne[] = "nplurals=2; plural=(n > 1);";
const char Latvian[] = "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n != 0 ? 1 : 2);";
const char Irish[] = "nplurals=3; plural=n==1 ? 0 : n==2 ? 1 : 2;";
const char Romanian[] = "nplurals=3; plural=n==1 ? 0 : (n==0 || (n%100 > 0 && n%100 < 20)) ? 1 : 2;";
const char Lithuanian[] = "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && (n%100<10 || n%100>=20) ? 1 : 2);";
const char Russian[] =
    "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);";
const char Czech[] = "nplurals=3; plural=(n==1) ? 0 : (n>=2 && n<=4) ? 1 : 2;";
const char Polish[] = "nplurals=3; plural=(n==1 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);";
const char Slovenian[] = "nplurals=4; plural=(n%100==1 ? 0 : n%100==2 ? 1 : n%100==3 || n%100==4 ? 2 : 3);";
const char Arabic[] =
    "nplurals=6; plural=n==0 ? 0 : n==1 ? 1 : n==2 ? 2 : n%100>=3 && n%100<=10 ? 3 : n%100>=11 ? 4 : 5;";
const char Icelandic[] = "nplurals=2; plural=(n%10!=1 || n%100==11);";
const char Macedonian[] = "nplurals=2; plural=(n%10==1 && n%100!=11) ? 0 : 1;";
const char Welsh[] = "nplurals=4; plural=(n==1) ? 0 : (n==2) ? 1 : (n != 8 && n != 11) ? 2 : 3;";
const char Maltese[] =
    "nplurals=4; plural=(n==1 ? 0 : n==0 || (n%100>1 && n%100<11) ? 1 : (n%100>10 && n%100<20) ? 2 : 3);";

// Neutral languages first, then the regional cultures in use.
const TCultureInfo Table[] = {
    {"en", "en", NotOne, "English", "English", false},
    {"af", "af", NotOne, "Afrikaans", "Afrikaans", false},
    {"ar", "ar", Arabic, "Arabic", "\xD8\xA7\xD9\x84\xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A\xD8\xA9", true},
    {"be", "be", Russian, "Belarusian", "\xD0\xB1\xD0\xB5\xD0\xBB\xD0\xB0\xD1\x80\xD1\x83\xD1\x81\xD0\xBA\xD0\xB0\xD1\x8F", false},
    {"bg", "bg", NotOne, "Bulgarian", "\xD0\xB1\xD1\x8A\xD0\xBB\xD0\xB3\xD0\xB0\xD1\x80\xD1\x81\xD0\xBA\xD0\xB8", false},
    {"bn", "bn", NotOne, "Bangla", "\xE0\xA6\xAC\xE0\xA6\xBE\xE0\xA6\x82\xE0\xA6\xB2\xE0\xA6\xBE", false},
    {"bs", "bs", Russian, "Bosnian", "bosanski", false},
    {"ca", "ca", NotOne, "Catalan", "catal\xC3\xA0", false},
    {"cs", "cs", Czech, "Czech", "\xC4\x8D" "e\xC5\xA1tina", false},
    {"cy", "cy", Welsh, "Welsh", "Cymraeg", false},
    {"da", "da", NotOne, "Danish", "dansk", false},
    {"de", "de", NotOne, "German", "Deutsch", false},
    {"el", "el", NotOne, "Greek", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC", false},
    {"eo", "eo", NotOne, "Esperanto", "esperanto", false},
    {"es", "es", NotOne, "Spanish", "espa\xC3\xB1ol", false},
    {"et", "et", NotOne, "Estonian", "eesti", false},
    {"eu", "eu", NotOne, "Basque", "euskara", false},
    {"fa", "fa", AboveOne, "Persian", "\xD9\x81\xD8\xA7\xD8\xB1\xD8\xB3\xDB\x8C", true},
    {"fi", "fi", NotOne, "Finnish", "suomi", false},
    {"fo", "fo", NotOne, "Faroese", "f\xC3\xB8royskt", false},
    {"fr", "fr", AboveOne, "French", "fran\xC3\xA7" "ais", false},
    {"ga", "ga", Irish, "Irish", "Gaeilge", false},
    {"gl", "gl", NotOne, "Galician", "galego", false},
    {"he", "he", NotOne, "Hebrew", "\xD7\xA2\xD7\x91\xD7\xA8\xD7\x99\xD7\xAA", true},
    {"hi", "hi", NotOne, "Hindi", "\xE0\xA4\xB9\xE0\xA4\xBF\xE0\xA4\x82\xE0\xA4\xA6\xE0\xA5\x80", false},
    {"hr", "hr", Russian, "Croatian", "hrvatski", false},
    {"hu", "hu", NotOne, "Hungarian", "magyar", false},
    {"id", "id", OneForm, "Indonesian", "Indonesia", false},
    {"is", "is", Icelandic, "Icelandic", "\xC3\xADslenska", false},
    {"it", "it", NotOne, "Italian", "italiano", false},
    {"ja", "ja", OneForm, "Japanese", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", false},
    {"ka", "ka", OneForm, "Georgian", "\xE1\x83\xA5\xE1\x83\x90\xE1\x83\xA0\xE1\x83\x97\xE1\x83\xA3\xE1\x83\x9A\xE1\x83\x98", false},
    {"km", "km", OneForm, "Khmer", "\xE1\x9E\x81\xE1\x9F\x92\xE1\x9E\x98\xE1\x9F\x82\xE1\x9E\x9A", false},
    {"ko", "ko", OneForm, "Korean", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", false},
    {"lo", "lo", OneForm, "Lao", "\xE0\xBA\xA5\xE0\xBA\xB2\xE0\xBA\xA7", false},
    {"lt", "lt", Lithuanian, "Lithuanian", "lietuvi\xC5\xB3", false},
    {"lv", "lv", Latvian, "Latvian", "latvie\xC5\xA1u", false},
    {"mk", "mk", Macedonian, "Macedonian", "\xD0\xBC\xD0\xB0\xD0\xBA\xD0\xB5\xD0\xB4\xD0\xBE\xD0\xBD\xD1\x81\xD0\xBA\xD0\xB8", false},
    {"ms", "ms", OneForm, "Malay", "Melayu", false},
    {"mt", "mt", Maltese, "Maltese", "Malti", false},
    {"my", "my", OneForm, "Burmese", "\xE1\x80\x99\xE1\x80\xBC\xE1\x80\x94\xE1\x80\xBA\xE1\x80\x99\xE1\x80\xAC", false},
    {"nb", "nb", NotOne, "Norwegian Bokm\xC3\xA5l", "norsk bokm\xC3\xA5l", false},
    {"nl", "nl", NotOne, "Dutch", "Nederlands", false},
    {"nn", "nn", NotOne, "Norwegian Nynorsk", "nynorsk", false},
    {"no", "no", NotOne, "Norwegian", "norsk", false},
    {"pl", "pl", Polish, "Polish", "polski", false},
    {"pt", "pt", NotOne, "Portuguese", "portugu\xC3\xAAs", false},
    {"ro", "ro", Romanian, "Romanian", "rom\xC3\xA2n\xC4\x83", false},
    {"ru", "ru", Russian, "Russian", "\xD1\x80\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9", false},
    {"sk", "sk", Czech, "Slovak", "sloven\xC4\x8D" "ina", false},
    {"sl", "sl", Slovenian, "Slovenian", "sloven\xC5\xA1\xC4\x8D" "ina", false},
    {"sq", "sq", NotOne, "Albanian", "shqip", false},
    {"sr", "sr", Russian, "Serbian", "\xD1\x81\xD1\x80\xD0\xBF\xD1\x81\xD0\xBA\xD0\xB8", false},
    {"sv", "sv", NotOne, "Swedish", "svenska", false},
    {"sw", "sw", NotOne, "Swahili", "Kiswahili", false},
    {"th", "th", OneForm, "Thai", "\xE0\xB9\x84\xE0\xB8\x97\xE0\xB8\xA2", false},
    {"tr", "tr", NotOne, "Turkish", "T\xC3\xBCrk\xC3\xA7" "e", false},
    {"uk", "uk", Russian, "Ukrainian", "\xD1\x83\xD0\xBA\xD1\x80\xD0\xB0\xD1\x97\xD0\xBD\xD1\x81\xD1\x8C\xD0\xBA\xD0\xB0", false},
    {"ur", "ur", NotOne, "Urdu", "\xD8\xA7\xD8\xB1\xD8\xAF\xD9\x88", true},
    {"vi", "vi", OneForm, "Vietnamese", "Ti\xE1\xBA\xBFng Vi\xE1\xBB\x87t", false},
    {"zh", "zh", OneForm, "Chinese", "\xE4\xB8\xAD\xE6\x96\x87", false},
    // Regional cultures.
    {"en-US", "en", NotOne, "English (United States)", "English (United States)", false},
    {"en-GB", "en", NotOne, "English (United Kingdom)", "English (United Kingdom)", false},
    {"de-DE", "de", NotOne, "German (Germany)", "Deutsch (Deutschland)", false},
    {"de-AT", "de", NotOne, "German (Austria)", "Deutsch (\xC3\x96sterreich)", false},
    {"de-CH", "de", NotOne, "German (Switzerland)", "Deutsch (Schweiz)", false},
    {"es-ES", "es", NotOne, "Spanish (Spain)", "espa\xC3\xB1ol (Espa\xC3\xB1" "a)", false},
    {"es-MX", "es", NotOne, "Spanish (Mexico)", "espa\xC3\xB1ol (M\xC3\xA9xico)", false},
    {"fr-FR", "fr", AboveOne, "French (France)", "fran\xC3\xA7" "ais (France)", false},
    {"fr-CA", "fr", AboveOne, "French (Canada)", "fran\xC3\xA7" "ais (Canada)", false},
    {"it-IT", "it", NotOne, "Italian (Italy)", "italiano (Italia)", false},
    {"nl-NL", "nl", NotOne, "Dutch (Netherlands)", "Nederlands (Nederland)", false},
    {"pt-PT", "pt", NotOne, "Portuguese (Portugal)", "portugu\xC3\xAAs (Portugal)", false},
    // Brazilian Portuguese counts like French.
    {"pt-BR", "pt", AboveOne, "Portuguese (Brazil)", "portugu\xC3\xAAs (Brasil)", false},
    {"ru-RU", "ru", Russian, "Russian (Russia)", "\xD1\x80\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9 (\xD0\xA0\xD0\xBE\xD1\x81\xD1\x81\xD0\xB8\xD1\x8F)", false},
    {"zh-CN", "zh", OneForm, "Chinese (China)", "\xE4\xB8\xAD\xE6\x96\x87 (\xE4\xB8\xAD\xE5\x9B\xBD)", false},
    {"zh-TW", "zh", OneForm, "Chinese (Taiwan)", "\xE4\xB8\xAD\xE6\x96\x87 (\xE5\x8F\xB0\xE7\x81\xA3)", false},
};

char FoldChar(char C) {
  if (C >= 'A' && C <= 'Z') return char(C - 'A' + 'a');
  if (C == '_') return '-';
  return C;
}

bool SameLocale(const std::string& A, const char* B) {
  size_t i = 0;
  for (; i < A.size(); ++i)
    if (B[i] == '\0' || FoldChar(A[i]) != FoldChar(B[i])) return false;
  return B[i] == '\0';
}

}  // namespace

const std::vector<const TCultureInfo*>& TCultureTable::All() {
  static const std::vector<const TCultureInfo*> all = [] {
    std::vector<const TCultureInfo*> v;
    for (const TCultureInfo& c : Table) v.push_back(&c);
    return v;
  }();
  return all;
}

const TCultureInfo* TCultureTable::Find(const std::string& Locale) {
  if (Locale.empty()) return nullptr;
  for (const TCultureInfo& c : Table)
    if (SameLocale(Locale, c.Locale)) return &c;
  return nullptr;
}

const TCultureInfo* TCultureTable::NearestTo(const std::string& Locale) {
  if (const TCultureInfo* c = Find(Locale)) return c;
  const size_t end = Locale.find_first_of("-_");
  if (end == std::string::npos) return nullptr;
  const std::string language = Locale.substr(0, end);
  if (const TCultureInfo* c = Find(language)) return c;
  // A language known only by its regional cultures.
  for (const TCultureInfo& c : Table)
    if (SameLocale(language, c.Language2)) return &c;
  return nullptr;
}

const TCultureInfo* TCultureTable::Default() { return &Table[0]; }

bool TCultureList::Add(const TCultureInfo* Culture) {
  if (!Culture || Contains(Culture)) return false;
  fItems.push_back(Culture);
  return true;
}

int TCultureList::IndexOf(const TCultureInfo* Culture) const {
  for (size_t i = 0; i < fItems.size(); ++i)
    if (fItems[i] == Culture) return int(i);
  return -1;
}

}  // namespace I18n
