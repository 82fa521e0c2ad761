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
    {"en", "en", NotOne, "English", "English", false, 0x0009},
    {"af", "af", NotOne, "Afrikaans", "Afrikaans", false, 0x0036},
    {"ar", "ar", Arabic, "Arabic", "\xD8\xA7\xD9\x84\xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A\xD8\xA9", true, 0x0001},
    {"be", "be", Russian, "Belarusian", "\xD0\xB1\xD0\xB5\xD0\xBB\xD0\xB0\xD1\x80\xD1\x83\xD1\x81\xD0\xBA\xD0\xB0\xD1\x8F", false, 0x0023},
    {"bg", "bg", NotOne, "Bulgarian", "\xD0\xB1\xD1\x8A\xD0\xBB\xD0\xB3\xD0\xB0\xD1\x80\xD1\x81\xD0\xBA\xD0\xB8", false, 0x0002},
    {"bn", "bn", NotOne, "Bangla", "\xE0\xA6\xAC\xE0\xA6\xBE\xE0\xA6\x82\xE0\xA6\xB2\xE0\xA6\xBE", false, 0x0045},
    {"bs", "bs", Russian, "Bosnian", "bosanski", false, 0x001A},
    {"ca", "ca", NotOne, "Catalan", "catal\xC3\xA0", false, 0x0003},
    {"cs", "cs", Czech, "Czech", "\xC4\x8D" "e\xC5\xA1tina", false, 0x0005},
    {"cy", "cy", Welsh, "Welsh", "Cymraeg", false, 0x0052},
    {"da", "da", NotOne, "Danish", "dansk", false, 0x0006},
    {"de", "de", NotOne, "German", "Deutsch", false, 0x0007},
    {"el", "el", NotOne, "Greek", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC", false, 0x0008},
    {"eo", "eo", NotOne, "Esperanto", "esperanto", false, 0x0000},
    {"es", "es", NotOne, "Spanish", "espa\xC3\xB1ol", false, 0x000A},
    {"et", "et", NotOne, "Estonian", "eesti", false, 0x0025},
    {"eu", "eu", NotOne, "Basque", "euskara", false, 0x002D},
    {"fa", "fa", AboveOne, "Persian", "\xD9\x81\xD8\xA7\xD8\xB1\xD8\xB3\xDB\x8C", true, 0x0029},
    {"fi", "fi", NotOne, "Finnish", "suomi", false, 0x000B},
    {"fo", "fo", NotOne, "Faroese", "f\xC3\xB8royskt", false, 0x0038},
    {"fr", "fr", AboveOne, "French", "fran\xC3\xA7" "ais", false, 0x000C},
    {"ga", "ga", Irish, "Irish", "Gaeilge", false, 0x003C},
    {"gl", "gl", NotOne, "Galician", "galego", false, 0x0056},
    {"he", "he", NotOne, "Hebrew", "\xD7\xA2\xD7\x91\xD7\xA8\xD7\x99\xD7\xAA", true, 0x000D},
    {"hi", "hi", NotOne, "Hindi", "\xE0\xA4\xB9\xE0\xA4\xBF\xE0\xA4\x82\xE0\xA4\xA6\xE0\xA5\x80", false, 0x0039},
    {"hr", "hr", Russian, "Croatian", "hrvatski", false, 0x001A},
    {"hu", "hu", NotOne, "Hungarian", "magyar", false, 0x000E},
    {"id", "id", OneForm, "Indonesian", "Indonesia", false, 0x0021},
    {"is", "is", Icelandic, "Icelandic", "\xC3\xADslenska", false, 0x000F},
    {"it", "it", NotOne, "Italian", "italiano", false, 0x0010},
    {"ja", "ja", OneForm, "Japanese", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", false, 0x0011},
    {"ka", "ka", OneForm, "Georgian", "\xE1\x83\xA5\xE1\x83\x90\xE1\x83\xA0\xE1\x83\x97\xE1\x83\xA3\xE1\x83\x9A\xE1\x83\x98", false, 0x0037},
    {"km", "km", OneForm, "Khmer", "\xE1\x9E\x81\xE1\x9F\x92\xE1\x9E\x98\xE1\x9F\x82\xE1\x9E\x9A", false, 0x0053},
    {"ko", "ko", OneForm, "Korean", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", false, 0x0012},
    {"lo", "lo", OneForm, "Lao", "\xE0\xBA\xA5\xE0\xBA\xB2\xE0\xBA\xA7", false, 0x0054},
    {"lt", "lt", Lithuanian, "Lithuanian", "lietuvi\xC5\xB3", false, 0x0027},
    {"lv", "lv", Latvian, "Latvian", "latvie\xC5\xA1u", false, 0x0026},
    {"mk", "mk", Macedonian, "Macedonian", "\xD0\xBC\xD0\xB0\xD0\xBA\xD0\xB5\xD0\xB4\xD0\xBE\xD0\xBD\xD1\x81\xD0\xBA\xD0\xB8", false, 0x002F},
    {"ms", "ms", OneForm, "Malay", "Melayu", false, 0x003E},
    {"mt", "mt", Maltese, "Maltese", "Malti", false, 0x003A},
    {"my", "my", OneForm, "Burmese", "\xE1\x80\x99\xE1\x80\xBC\xE1\x80\x94\xE1\x80\xBA\xE1\x80\x99\xE1\x80\xAC", false, 0x0055},
    {"nb", "nb", NotOne, "Norwegian Bokm\xC3\xA5l", "norsk bokm\xC3\xA5l", false, 0x0014},
    {"nl", "nl", NotOne, "Dutch", "Nederlands", false, 0x0013},
    {"nn", "nn", NotOne, "Norwegian Nynorsk", "nynorsk", false, 0x0014},
    {"no", "no", NotOne, "Norwegian", "norsk", false, 0x0014},
    {"pl", "pl", Polish, "Polish", "polski", false, 0x0015},
    {"pt", "pt", NotOne, "Portuguese", "portugu\xC3\xAAs", false, 0x0016},
    {"ro", "ro", Romanian, "Romanian", "rom\xC3\xA2n\xC4\x83", false, 0x0018},
    {"ru", "ru", Russian, "Russian", "\xD1\x80\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9", false, 0x0019},
    {"sk", "sk", Czech, "Slovak", "sloven\xC4\x8D" "ina", false, 0x001B},
    {"sl", "sl", Slovenian, "Slovenian", "sloven\xC5\xA1\xC4\x8D" "ina", false, 0x0024},
    {"sq", "sq", NotOne, "Albanian", "shqip", false, 0x001C},
    {"sr", "sr", Russian, "Serbian", "\xD1\x81\xD1\x80\xD0\xBF\xD1\x81\xD0\xBA\xD0\xB8", false, 0x001A},
    {"sv", "sv", NotOne, "Swedish", "svenska", false, 0x001D},
    {"sw", "sw", NotOne, "Swahili", "Kiswahili", false, 0x0041},
    {"th", "th", OneForm, "Thai", "\xE0\xB9\x84\xE0\xB8\x97\xE0\xB8\xA2", false, 0x001E},
    {"tr", "tr", NotOne, "Turkish", "T\xC3\xBCrk\xC3\xA7" "e", false, 0x001F},
    {"uk", "uk", Russian, "Ukrainian", "\xD1\x83\xD0\xBA\xD1\x80\xD0\xB0\xD1\x97\xD0\xBD\xD1\x81\xD1\x8C\xD0\xBA\xD0\xB0", false, 0x0022},
    {"ur", "ur", NotOne, "Urdu", "\xD8\xA7\xD8\xB1\xD8\xAF\xD9\x88", true, 0x0020},
    {"vi", "vi", OneForm, "Vietnamese", "Ti\xE1\xBA\xBFng Vi\xE1\xBB\x87t", false, 0x002A},
    {"zh", "zh", OneForm, "Chinese", "\xE4\xB8\xAD\xE6\x96\x87", false, 0x0004},
    // Regional cultures.
    {"en-US", "en", NotOne, "English (United States)", "English (United States)", false, 0x0409},
    {"en-GB", "en", NotOne, "English (United Kingdom)", "English (United Kingdom)", false, 0x0809},
    {"de-DE", "de", NotOne, "German (Germany)", "Deutsch (Deutschland)", false, 0x0407},
    {"de-AT", "de", NotOne, "German (Austria)", "Deutsch (\xC3\x96sterreich)", false, 0x0C07},
    {"de-CH", "de", NotOne, "German (Switzerland)", "Deutsch (Schweiz)", false, 0x0807},
    {"es-ES", "es", NotOne, "Spanish (Spain)", "espa\xC3\xB1ol (Espa\xC3\xB1" "a)", false, 0x0C0A},
    {"es-MX", "es", NotOne, "Spanish (Mexico)", "espa\xC3\xB1ol (M\xC3\xA9xico)", false, 0x080A},
    {"fr-FR", "fr", AboveOne, "French (France)", "fran\xC3\xA7" "ais (France)", false, 0x040C},
    {"fr-CA", "fr", AboveOne, "French (Canada)", "fran\xC3\xA7" "ais (Canada)", false, 0x0C0C},
    {"it-IT", "it", NotOne, "Italian (Italy)", "italiano (Italia)", false, 0x0410},
    {"nl-NL", "nl", NotOne, "Dutch (Netherlands)", "Nederlands (Nederland)", false, 0x0413},
    {"pt-PT", "pt", NotOne, "Portuguese (Portugal)", "portugu\xC3\xAAs (Portugal)", false, 0x0816},
    // Brazilian Portuguese counts like French.
    {"pt-BR", "pt", AboveOne, "Portuguese (Brazil)", "portugu\xC3\xAAs (Brasil)", false, 0x0416},
    {"ru-RU", "ru", Russian, "Russian (Russia)", "\xD1\x80\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9 (\xD0\xA0\xD0\xBE\xD1\x81\xD1\x81\xD0\xB8\xD1\x8F)", false, 0x0419},
    {"zh-CN", "zh", OneForm, "Chinese (China)", "\xE4\xB8\xAD\xE6\x96\x87 (\xE4\xB8\xAD\xE5\x9B\xBD)", false, 0x0804},
    {"zh-TW", "zh", OneForm, "Chinese (Taiwan)", "\xE4\xB8\xAD\xE6\x96\x87 (\xE5\x8F\xB0\xE7\x81\xA3)", false, 0x0404},
    // Further regions, for users whose stored language is one of them.
    {"en-AU", "en", NotOne, "English (Australia)", "English (Australia)", false, 0x0C09},
    {"en-CA", "en", NotOne, "English (Canada)", "English (Canada)", false, 0x1009},
    {"es-AR", "es", NotOne, "Spanish (Argentina)", "espa\xC3\xB1ol (Argentina)", false, 0x2C0A},
    {"fr-BE", "fr", AboveOne, "French (Belgium)", "fran\xC3\xA7" "ais (Belgique)", false, 0x080C},
    {"fr-CH", "fr", AboveOne, "French (Switzerland)", "fran\xC3\xA7" "ais (Suisse)", false, 0x100C},
    {"it-CH", "it", NotOne, "Italian (Switzerland)", "italiano (Svizzera)", false, 0x0810},
    {"nl-BE", "nl", NotOne, "Dutch (Belgium)", "Nederlands (Belgi\xC3\xAB)", false, 0x0813},
    {"ar-SA", "ar", Arabic, "Arabic (Saudi Arabia)", "\xD8\xA7\xD9\x84\xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A\xD8\xA9 (\xD8\xA7\xD9\x84\xD8\xB3\xD8\xB9\xD9\x88\xD8\xAF\xD9\x8A\xD8\xA9)", true, 0x0401},
    {"ar-EG", "ar", Arabic, "Arabic (Egypt)", "\xD8\xA7\xD9\x84\xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A\xD8\xA9 (\xD9\x85\xD8\xB5\xD8\xB1)", true, 0x0C01},
    {"he-IL", "he", NotOne, "Hebrew (Israel)", "\xD7\xA2\xD7\x91\xD7\xA8\xD7\x99\xD7\xAA (\xD7\x99\xD7\xA9\xD7\xA8\xD7\x90\xD7\x9C)", true, 0x040D},
    {"fa-IR", "fa", AboveOne, "Persian (Iran)", "\xD9\x81\xD8\xA7\xD8\xB1\xD8\xB3\xDB\x8C (\xD8\xA7\xDB\x8C\xD8\xB1\xD8\xA7\xD9\x86)", true, 0x0429},
    {"pl-PL", "pl", Polish, "Polish (Poland)", "polski (Polska)", false, 0x0415},
    {"cs-CZ", "cs", Czech, "Czech (Czechia)", "\xC4\x8D" "e\xC5\xA1tina (\xC4\x8C" "esko)", false, 0x0405},
    {"ja-JP", "ja", OneForm, "Japanese (Japan)", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E (\xE6\x97\xA5\xE6\x9C\xAC)", false, 0x0411},
    {"ko-KR", "ko", OneForm, "Korean (Korea)", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 (\xEB\x8C\x80\xED\x95\x9C\xEB\xAF\xBC\xEA\xB5\xAD)", false, 0x0412},
    {"sv-SE", "sv", NotOne, "Swedish (Sweden)", "svenska (Sverige)", false, 0x041D},
    {"tr-TR", "tr", NotOne, "Turkish (Turkey)", "T\xC3\xBCrk\xC3\xA7" "e (T\xC3\xBCrkiye)", false, 0x041F},
    {"uk-UA", "uk", Russian, "Ukrainian (Ukraine)", "\xD1\x83\xD0\xBA\xD1\x80\xD0\xB0\xD1\x97\xD0\xBD\xD1\x81\xD1\x8C\xD0\xBA\xD0\xB0 (\xD0\xA3\xD0\xBA\xD1\x80\xD0\xB0\xD1\x97\xD0\xBD\xD0\xB0)", false, 0x0422},
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
