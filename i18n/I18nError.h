// The common base of the localization layer's exception classes.
#pragma once

#include <stdexcept>
#include <string>

namespace I18n {

class EI18nError : public std::runtime_error {
public:
  explicit EI18nError(const std::string& Message) : std::runtime_error(Message) {}
};

}  // namespace I18n
