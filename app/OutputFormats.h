// The output formats offered by the application: every registered file
// format handler that can write, in registration order.
#pragma once

#include <string>
#include <vector>

namespace Vorelle {

class TImagingUtils {
public:
  TImagingUtils() = delete;
  // Clears Extensions, then appends the default extension of every output
  // format ("jpg", "tif", ...).
  static void GetOutputFormatsExtensions(std::vector<std::string>& Extensions);
  // Clears Names, then appends "<handler name> (<extension>)" of every output
  // format, entry for entry beside GetOutputFormatsExtensions.
  static void GetOutputFormatsNames(std::vector<std::string>& Names);
};

}  // namespace Vorelle
