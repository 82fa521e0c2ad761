#include "OutputFormats.h"

#include "Imaging.h"

namespace Vorelle {

namespace {

template <typename TAppend>
void ForEachOutputFormat(TAppend Append) {
  int32_t index = 0;
  std::string name, ext, masks;
  bool canSave = false, multi = false;
  while (Imaging::NextFileFormatInfo(index, name, ext, masks, canSave, multi))
    if (canSave) Append(name, ext);
}

}  // namespace

void TImagingUtils::GetOutputFormatsExtensions(std::vector<std::string>& Extensions) {
  Extensions.clear();
  ForEachOutputFormat([&](const std::string&, const std::string& Ext) { Extensions.push_back(Ext); });
}

void TImagingUtils::GetOutputFormatsNames(std::vector<std::string>& Names) {
  Names.clear();
  ForEachOutputFormat([&](const std::string& Name, const std::string& Ext) {
    Names.push_back(Imaging::FormatText("%s (%s)", {Name, Ext}));
  });
}

}  // namespace Vorelle
