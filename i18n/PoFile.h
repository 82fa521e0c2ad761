// Gettext PO files for translators: one language of a catalog written as a
// PO document and read back into the catalog.
//
//   QByteArray po = ExportPO(catalog, TCultureTable::Find("de-DE"));
//   TPOImportResult r = ImportPO(catalog, TCultureTable::Find("de-DE"), po);
//
// Every definition with a source text becomes one entry whose context is
// "<Domain>|P|<ID>" for a property and "<Domain>|L|<ID>" for a literal; a
// plural text has its first source form as msgid, its last as msgid_plural
// and one msgstr per form of the language's plural rule. An approved
// translation is an entry without the fuzzy flag; any other state is fuzzy,
// the exact state kept in a "# state: " comment so that it survives a round
// trip. The definition's comment is the entry's extracted comment ("#."),
// the translation's note its translator comment ("#").
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

#include "TranslationCatalog.h"

namespace I18n {

class EPOFileError : public EI18nError {
public:
  explicit EPOFileError(const std::string& Message) : EI18nError(Message) {}
};

// One entry of a PO document.
struct TPOEntry {
  int Line = 0;  // of its first keyword
  QString Context;
  QString MsgId;
  QString MsgIdPlural;
  bool HasPlural = false;
  QStringList MsgStr;  // one per form; one for a singular entry
  bool Fuzzy = false;
  bool Obsolete = false;
  QStringList Flags;
  QStringList TranslatorComments;  // "# " lines, without the mark
  QStringList ExtractedComments;   // "#." lines
  QStringList References;          // "#:" lines
};

// PO documents and decompressed catalogs larger than this are refused.
constexpr qsizetype MaxPODocumentSize = qsizetype(64) << 20;

// Parses a UTF-8 PO document. Raises EPOFileError with "line N: ..." for
// text that is not PO syntax.
std::vector<TPOEntry> ParsePO(const QByteArray& Data);

QByteArray ExportPO(const TTranslationCatalog& Catalog, const TCultureInfo* Culture);

struct TPOImportResult {
  int Approved = 0;  // translations stored as approved
  int Fuzzy = 0;     // stored as not approved
  int Cleared = 0;   // removed by an empty translation
  int Unknown = 0;   // entries the catalog has no definition for (skipped)
};
// Stores the document's translations in Culture's language. Entries that
// match no definition are counted and skipped; the catalog is changed only
// when the whole document parses.
TPOImportResult ImportPO(TTranslationCatalog& Catalog, const TCultureInfo* Culture, const QByteArray& Data);

}  // namespace I18n
