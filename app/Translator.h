// Translation of the application's literal texts. Every text the conversion
// job shows or writes is passed through a translator as its literal; the
// literal is the identity of the text, so it is kept exactly as written,
// placeholders included. In the program the job's literals go through the
// main window's translator (TWindowTextTranslator, library
// vorelle_app_i18n); the literal translator answers every text with itself.
#pragma once

#include <string>
#include <vector>

namespace I18n {
class TTranslator;
}

namespace Vorelle {

class ITextTranslator {
public:
  virtual ~ITextTranslator() = default;
  // The translation of Text in the current language, or Text itself.
  virtual std::string GetText(const std::string& Text) const = 0;
};

class TLiteralTranslator : public ITextTranslator {
public:
  std::string GetText(const std::string& Text) const override { return Text; }
};

// The literals of a window's translator (I18n::TTranslator, FormTranslator.h):
//
//   TWindowTextTranslator texts(*Translator);
//   TConversionJob job(host, texts);
class TWindowTextTranslator : public ITextTranslator {
public:
  explicit TWindowTextTranslator(I18n::TTranslator& ATranslator) : fTranslator(ATranslator) {}
  std::string GetText(const std::string& Text) const override;

private:
  I18n::TTranslator& fTranslator;
};

// The placeholders of a pattern in order ("%s", "%d", ...; "%%" is not one).
std::vector<std::string> PatternPlaceholders(const std::string& Pattern);

// The translation of a message pattern, or the literal when the translation
// would take other arguments than the literal (a different set or order of
// placeholders would mis-format or read arguments that are not there).
std::string TranslatePattern(const ITextTranslator& Translator, const std::string& Literal);

// The translation of a file or folder name, or the literal when the
// translation is empty, is "." or "..", holds a path separator, a ".."
// sequence or a control character: a name must stay one entry of its folder.
std::string TranslateFileName(const ITextTranslator& Translator, const std::string& Literal);

// The number of UTF-16 code units of a UTF-8 text (invalid bytes count one
// each).
size_t Utf16Length(const std::string& Text);

}  // namespace Vorelle
