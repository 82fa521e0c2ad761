// The culture table: the languages the localization layer knows, each with
// its locale name, two-letter language code, standard gettext plural rule,
// names, reading direction and locale number.
//
//   const TCultureInfo* c = TCultureTable::NearestTo("es-AR");  // "es"
//   c->PluralRule;                                              // "nplurals=2; plural=(n != 1);"
//
// Entries are static and live for the whole process; they are referred to by
// pointer (two pointers are the same culture exactly when they are equal).
#pragma once

#include <string>
#include <vector>

namespace I18n {

struct TCultureInfo {
  const char* Locale;       // "en", "pt-BR"
  const char* Language2;    // the two- or three-letter language code, lower case
  const char* PluralRule;   // the standard plural rule of the language
  const char* EnglishName;
  const char* NativeName;   // UTF-8
  bool RightToLeft;
  // The platform's number of the locale: the primary language in the low
  // ten bits, the region (sub-language, 0 for a neutral culture) above.
  unsigned short LocaleID = 0;
};

class TCultureTable {
public:
  // Every culture, in table order.
  static const std::vector<const TCultureInfo*>& All();
  // The culture of a locale ("pt-BR", "pt_br", case ignored), or null.
  static const TCultureInfo* Find(const std::string& Locale);
  // The culture of a locale, or else the culture of its language code (the
  // part before "-" or "_"), or null.
  static const TCultureInfo* NearestTo(const std::string& Locale);
  // The culture of the designed texts: "en".
  static const TCultureInfo* Default();
};

// An ordered list of cultures, each at most once.
class TCultureList {
public:
  // Adds a culture not yet in the list; null and duplicates are ignored.
  // True when it was added.
  bool Add(const TCultureInfo* Culture);
  void Clear() { fItems.clear(); }
  int Count() const { return int(fItems.size()); }
  const TCultureInfo* operator[](int Index) const { return fItems[size_t(Index)]; }
  int IndexOf(const TCultureInfo* Culture) const;
  bool Contains(const TCultureInfo* Culture) const { return IndexOf(Culture) >= 0; }
  std::vector<const TCultureInfo*>::const_iterator begin() const { return fItems.begin(); }
  std::vector<const TCultureInfo*>::const_iterator end() const { return fItems.end(); }

private:
  std::vector<const TCultureInfo*> fItems;
};

}  // namespace I18n
