#include "Translator.h"

namespace Vorelle {

std::vector<std::string> PatternPlaceholders(const std::string& Pattern) {
  std::vector<std::string> result;
  for (size_t i = 0; i < Pattern.size(); ++i) {
    if (Pattern[i] != '%') continue;
    size_t j = i + 1;
    if (j < Pattern.size() && Pattern[j] == '%') {
      i = j;
      continue;
    }
    // Flags, width and precision up to the conversion letter.
    while (j < Pattern.size() && (Pattern[j] == '.' || Pattern[j] == '-' || (Pattern[j] >= '0' && Pattern[j] <= '9')))
      ++j;
    if (j < Pattern.size()) {
      result.push_back(Pattern.substr(i, j - i + 1));
      i = j;
    } else {
      result.push_back(Pattern.substr(i));
      break;
    }
  }
  return result;
}

std::string TranslatePattern(const ITextTranslator& Translator, const std::string& Literal) {
  std::string text = Translator.GetText(Literal);
  if (text == Literal) return text;
  return PatternPlaceholders(text) == PatternPlaceholders(Literal) ? text : Literal;
}

std::string TranslateFileName(const ITextTranslator& Translator, const std::string& Literal) {
  std::string text = Translator.GetText(Literal);
  if (text == Literal) return text;
  if (text.empty() || text == "." || text.find("..") != std::string::npos) return Literal;
  for (char c : text)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return Literal;
  return text;
}

size_t Utf16Length(const std::string& Text) {
  size_t units = 0;
  for (size_t i = 0; i < Text.size();) {
    unsigned char c = static_cast<unsigned char>(Text[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool valid = len != 0 && i + len <= Text.size();
    for (size_t k = 1; valid && k < len; ++k)
      valid = (static_cast<unsigned char>(Text[i + k]) & 0xC0) == 0x80;
    if (!valid) {
      ++units;
      ++i;
      continue;
    }
    units += len == 4 ? 2 : 1;
    i += len;
  }
  return units;
}

}  // namespace Vorelle
