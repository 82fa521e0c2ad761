#include <QString>

#include "FormTranslator.h"
#include "Translator.h"

namespace Vorelle {

std::string TWindowTextTranslator::GetText(const std::string& Text) const {
  return fTranslator.GetText(QString::fromStdString(Text)).toStdString();
}

}  // namespace Vorelle
