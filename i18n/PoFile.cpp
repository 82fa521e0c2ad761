#include "PoFile.h"

#include <QStringDecoder>

#include <map>

#include "PluralForms.h"

namespace I18n {

namespace {

const char StateMark[] = "state: ";

[[noreturn]] void Fail(int Line, const QString& Message) {
  throw EPOFileError(QStringLiteral("line %1: %2").arg(Line).arg(Message).toStdString());
}

// ------------------------------------------------------------- Writing

// A PO string: backslash, quote and the control characters escaped, a
// line break ending one physical line of a multi-line string.
QString Quote(const QString& Text) {
  QString out;
  out.reserve(Text.size() + 2);
  for (QChar c : Text) {
    switch (c.unicode()) {
      case '\\': out += QStringLiteral("\\\\"); break;
      case '"': out += QStringLiteral("\\\""); break;
      case '\n': out += QStringLiteral("\\n"); break;
      case '\t': out += QStringLiteral("\\t"); break;
      case '\r': out += QStringLiteral("\\r"); break;
      case '\a': out += QStringLiteral("\\a"); break;
      case '\b': out += QStringLiteral("\\b"); break;
      case '\f': out += QStringLiteral("\\f"); break;
      case '\v': out += QStringLiteral("\\v"); break;
      default:
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
          out += QStringLiteral("\\%1").arg(c.unicode(), 3, 8, QLatin1Char('0'));
        else
          out += c;
    }
  }
  return out;
}

void WriteString(QString& Out, const QString& Keyword, const QString& Text) {
  const qsizetype breakAt = Text.indexOf(u'\n');
  if (breakAt < 0 || breakAt == Text.size() - 1) {
    Out += Keyword + QStringLiteral(" \"") + Quote(Text) + QStringLiteral("\"\n");
    return;
  }
  // Several lines: an empty first string, then one string per line.
  Out += Keyword + QStringLiteral(" \"\"\n");
  qsizetype start = 0;
  while (start < Text.size()) {
    qsizetype end = Text.indexOf(u'\n', start);
    end = end < 0 ? Text.size() : end + 1;
    Out += QStringLiteral("\"") + Quote(Text.mid(start, end - start)) + QStringLiteral("\"\n");
    start = end;
  }
}

void WriteComments(QString& Out, const QString& Mark, const QString& Text) {
  if (Text.isEmpty()) return;
  QString text = Text;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  for (const QString& line : text.split(u'\n')) Out += Mark + line + u'\n';
}

bool IsCFormat(const QString& Text) {
  bool any = false;
  qsizetype i = 0;
  while ((i = Text.indexOf(u'%', i)) >= 0 && i + 1 < Text.size()) {
    if (Text[i + 1] == u'%') {
      i += 2;
      continue;
    }
    qsizetype j = i + 1;
    while (j < Text.size() && (Text[j].isDigit() || Text[j] == u'.' || Text[j] == u'-')) ++j;
    while (j < Text.size() && (Text[j] == u'l' || Text[j] == u'h')) ++j;
    if (j >= Text.size() || !QStringLiteral("sdiuxXfFeEgGc").contains(Text[j])) return false;
    any = true;
    i = j + 1;
  }
  return any && !Text.endsWith(u'%');
}

const char* StateName(TTranslationState State) {
  switch (State) {
    case tsNone: return "None";
    case tsFuzzy: return "Fuzzy";
    case tsGoogle: return "Google";
    case tsAuto: return "Auto";
    case tsUser: return "User";
  }
  return "None";
}

bool StateOf(const QString& Name, TTranslationState& State) {
  for (TTranslationState s : {tsNone, tsFuzzy, tsGoogle, tsAuto, tsUser})
    if (Name.compare(QLatin1String(StateName(s)), Qt::CaseInsensitive) == 0) {
      State = s;
      return true;
    }
  return false;
}

QString LocaleOf(const TCultureInfo* Culture) { return QString::fromLatin1(Culture->Locale); }

void CheckCulture(const TCultureInfo* Culture) {
  if (!Culture) throw EPOFileError("unknown language");
}

// --------------------------------------------------------------- Reading

class TPOReader {
public:
  explicit TPOReader(const QString& AText) : fText(AText) {}

  std::vector<TPOEntry> Read() {
    std::vector<TPOEntry> entries;
    TPOEntry entry;
    bool inEntry = false;   // a keyword was read for the current entry
    QString* target = nullptr;  // the string continuation lines extend
    enum { kNone, kContext, kId, kPlural, kStr } last = kNone;
    auto finish = [&] {
      if (inEntry) {
        if (last == kContext || last == kNone) Fail(entry.Line, QStringLiteral("msgid missing"));
        if (entry.MsgStr.isEmpty()) Fail(entry.Line, QStringLiteral("msgstr missing"));
        if (entry.HasPlural && last != kStr) Fail(entry.Line, QStringLiteral("msgstr missing"));
        entries.push_back(std::move(entry));
        entry = TPOEntry();
      }
      // Comments read so far belong to the entry that starts next.
      inEntry = false;
      target = nullptr;
      last = kNone;
    };
    while (NextLine()) {
      QStringView line = QStringView(fLine).trimmed();
      if (line.isEmpty()) continue;
      bool obsolete = false;
      if (line.startsWith(u"#~")) {
        obsolete = true;
        line = line.mid(2).trimmed();
        if (line.isEmpty()) continue;
      }
      if (line.startsWith(u'#')) {
        // Comments open a new entry when they follow a finished one.
        if (inEntry && last == kStr) finish();
        if (line.startsWith(u"#.")) entry.ExtractedComments << line.mid(2).trimmed().toString();
        else if (line.startsWith(u"#:")) entry.References << line.mid(2).trimmed().toString();
        else if (line.startsWith(u"#,")) {
          for (QStringView flag : line.mid(2).split(u',')) {
            const QString f = flag.trimmed().toString();
            if (f.isEmpty()) continue;
            if (f == QLatin1String("fuzzy")) entry.Fuzzy = true;
            entry.Flags << f;
          }
        } else if (line.startsWith(u"#|")) {
          // A previous msgid: informative only.
        } else {
          QStringView text = line.mid(1);
          if (text.startsWith(u' ')) text = text.mid(1);
          entry.TranslatorComments << text.toString();
        }
        continue;
      }
      if (line.startsWith(u'"')) {
        if (!target) Fail(fLineNumber, QStringLiteral("string outside an entry"));
        *target += ParseString(line);
        continue;
      }
      const qsizetype space = line.indexOf(u' ');
      const QStringView keyword = space < 0 ? line : line.left(space);
      const QStringView rest = space < 0 ? QStringView() : line.mid(space + 1).trimmed();
      if (keyword == u"msgctxt") {
        if (inEntry && last != kStr) Fail(fLineNumber, QStringLiteral("msgctxt inside an entry"));
        finish();
        Start(entry, inEntry, obsolete);
        entry.Context = ParseString(rest);
        target = &entry.Context;
        last = kContext;
      } else if (keyword == u"msgid") {
        if (inEntry && last == kContext) {
        } else {
          if (inEntry && last != kStr) Fail(fLineNumber, QStringLiteral("msgid inside an entry"));
          finish();
          Start(entry, inEntry, obsolete);
        }
        entry.MsgId = ParseString(rest);
        target = &entry.MsgId;
        last = kId;
      } else if (keyword == u"msgid_plural") {
        if (last != kId) Fail(fLineNumber, QStringLiteral("msgid_plural without msgid"));
        entry.HasPlural = true;
        entry.MsgIdPlural = ParseString(rest);
        target = &entry.MsgIdPlural;
        last = kPlural;
      } else if (keyword == u"msgstr") {
        if (last != kId || entry.HasPlural) Fail(fLineNumber, QStringLiteral("msgstr out of place"));
        entry.MsgStr << ParseString(rest);
        target = &entry.MsgStr.last();
        last = kStr;
      } else if (keyword.startsWith(u"msgstr[")) {
        if (!entry.HasPlural || (last != kPlural && last != kStr))
          Fail(fLineNumber, QStringLiteral("msgstr[] out of place"));
        // Forms come in order, so an index never sizes anything.
        bool ok = false;
        const int index = keyword.mid(7, keyword.size() - 8).toInt(&ok);
        if (!keyword.endsWith(u']') || !ok || index != entry.MsgStr.size())
          Fail(fLineNumber, QStringLiteral("msgstr index out of order"));
        entry.MsgStr << ParseString(rest);
        target = &entry.MsgStr.last();
        last = kStr;
      } else {
        Fail(fLineNumber, QStringLiteral("unknown keyword \"%1\"").arg(keyword.left(40).toString()));
      }
    }
    finish();
    return entries;
  }

private:
  QString fText;
  qsizetype fPos = 0;
  QString fLine;
  int fLineNumber = 0;

  void Start(TPOEntry& Entry, bool& InEntry, bool Obsolete) {
    Entry.Line = fLineNumber;
    Entry.Obsolete = Obsolete;
    InEntry = true;
  }

  bool NextLine() {
    if (fPos >= fText.size()) return false;
    qsizetype end = fText.indexOf(u'\n', fPos);
    if (end < 0) end = fText.size();
    fLine = fText.mid(fPos, end - fPos);
    if (fLine.endsWith(u'\r')) fLine.chop(1);
    fPos = end + 1;
    ++fLineNumber;
    return true;
  }

  QString ParseString(QStringView Text) {
    if (Text.size() < 2 || Text.front() != u'"' || Text.back() != u'"')
      Fail(fLineNumber, QStringLiteral("a quoted string is expected"));
    QString out;
    const QStringView body = Text.mid(1, Text.size() - 2);
    for (qsizetype i = 0; i < body.size(); ++i) {
      const QChar c = body[i];
      if (c == u'"') Fail(fLineNumber, QStringLiteral("unescaped quote"));
      if (c != u'\\') {
        out += c;
        continue;
      }
      if (++i >= body.size()) Fail(fLineNumber, QStringLiteral("backslash at the end of a string"));
      const QChar e = body[i];
      switch (e.unicode()) {
        case 'n': out += u'\n'; break;
        case 't': out += u'\t'; break;
        case 'r': out += u'\r'; break;
        case 'a': out += u'\a'; break;
        case 'b': out += u'\b'; break;
        case 'f': out += u'\f'; break;
        case 'v': out += u'\v'; break;
        case '\\': out += u'\\'; break;
        case '"': out += u'"'; break;
        case '\'': out += u'\''; break;
        case '?': out += u'?'; break;
        case 'x': {
          int value = 0, digits = 0;
          while (i + 1 < body.size() && digits < 2 && isxdigit(body[i + 1].toLatin1())) {
            value = value * 16 + QString(body[++i]).toInt(nullptr, 16);
            ++digits;
          }
          if (!digits) Fail(fLineNumber, QStringLiteral("\\x without digits"));
          out += QChar(value);
          break;
        }
        default:
          if (e >= u'0' && e <= u'7') {
            int value = e.unicode() - '0', digits = 1;
            while (i + 1 < body.size() && digits < 3 && body[i + 1] >= u'0' && body[i + 1] <= u'7') {
              value = value * 8 + (body[++i].unicode() - '0');
              ++digits;
            }
            out += QChar(value & 0xFF);
          } else {
            Fail(fLineNumber, QStringLiteral("unknown escape \\%1").arg(e));
          }
      }
    }
    // A null character would split a text into plural forms (gettext
    // refuses it as well).
    if (out.contains(QChar(0))) Fail(fLineNumber, QStringLiteral("a string holds a null character"));
    return out;
  }
};

// The definition an entry's context names, or null.
TTextDefinition* DefinitionOf(TTranslationCatalog& Catalog, const QString& Context) {
  // "<Domain>|P|<ID>" or "<Domain>|L|<ID>"; the domain is everything
  // before the last "|P|" or "|L|" that precedes the id's start.
  for (qsizetype at = Context.indexOf(u'|'); at >= 0; at = Context.indexOf(u'|', at + 1)) {
    if (at + 3 > Context.size() || Context[at + 2] != u'|') continue;
    const QChar kind = Context[at + 1];
    if (kind != u'P' && kind != u'L') continue;
    TTextDomain* domain = Catalog.TextDomains().Find(Context.left(at));
    if (!domain) continue;
    TTextDictionary& dictionary = kind == u'P' ? domain->Properties() : domain->Literals();
    if (TTextDefinition* d = dictionary.Find(Context.mid(at + 3))) return d;
  }
  return nullptr;
}

}  // namespace

std::vector<TPOEntry> ParsePO(const QByteArray& Data) {
  if (Data.size() > MaxPODocumentSize) throw EPOFileError("the PO file is too large");
  QByteArray bytes = Data;
  if (bytes.startsWith("\xEF\xBB\xBF")) bytes.remove(0, 3);
  QStringDecoder decoder(QStringDecoder::Utf8);
  const QString text = decoder.decode(bytes);
  if (decoder.hasError()) throw EPOFileError("the PO file is not UTF-8 text");
  TPOReader reader(text);
  return reader.Read();
}

QByteArray ExportPO(const TTranslationCatalog& Catalog, const TCultureInfo* Culture) {
  CheckCulture(Culture);
  const QString locale = LocaleOf(Culture);
  const std::string rule = Catalog.PluralRuleOf(Culture);
  const int forms = TPluralForms::ExtractNumOfPlurals(rule);
  QString out;
  out += QStringLiteral("# Translations of Vorelle into %1.\n").arg(QString::fromUtf8(Culture->EnglishName));
  out += QStringLiteral("msgid \"\"\nmsgstr \"\"\n");
  out += QStringLiteral("\"Project-Id-Version: Vorelle\\n\"\n");
  out += QStringLiteral("\"PO-Revision-Date: 2000-01-01 00:00+0000\\n\"\n");
  out += QStringLiteral("\"Last-Translator: Vorelle translators\\n\"\n");
  out += QStringLiteral("\"Language-Team: %1\\n\"\n").arg(QString::fromUtf8(Culture->EnglishName));
  out += QStringLiteral("\"Language: %1\\n\"\n").arg(QString(locale).replace(u'-', u'_'));
  out += QStringLiteral("\"MIME-Version: 1.0\\n\"\n");
  out += QStringLiteral("\"Content-Type: text/plain; charset=UTF-8\\n\"\n");
  out += QStringLiteral("\"Content-Transfer-Encoding: 8bit\\n\"\n");
  out += QStringLiteral("\"Plural-Forms: %1\\n\"\n").arg(Quote(QString::fromStdString(rule)));

  for (const TTextDomain* domain : Catalog.TextDomains()) {
    for (const TTextDictionary* dictionary : {&domain->Properties(), &domain->Literals()}) {
      const QString kind = dictionary->Kind() == dkProperty ? QStringLiteral("P") : QStringLiteral("L");
      for (const TTextDefinition* d : *dictionary) {
        const std::vector<QString> sources = PluralText::Split(d->Value());
        if (sources.empty() || sources.front().isEmpty()) continue;  // nothing to translate
        const TTextTranslation* t = d->Translations().Find(locale);
        out += u'\n';
        WriteComments(out, QStringLiteral("#. "), d->Comment());
        if (t) WriteComments(out, QStringLiteral("# "), t->Note());
        if (t && !t->IsApproved()) out += QStringLiteral("# ") + QLatin1String(StateMark) + QLatin1String(StateName(t->State())) + u'\n';
        out += QStringLiteral("#: ") + domain->Name() + u'\n';
        QStringList flags;
        if (t && !t->IsApproved() && !t->Value().isEmpty()) flags << QStringLiteral("fuzzy");
        if (IsCFormat(sources.front())) flags << QStringLiteral("c-format");
        if (!flags.isEmpty()) out += QStringLiteral("#, ") + flags.join(QStringLiteral(", ")) + u'\n';
        WriteString(out, QStringLiteral("msgctxt"), domain->Name() + u'|' + kind + u'|' + d->ID());
        WriteString(out, QStringLiteral("msgid"), sources.front());
        if (d->HasPluralForms()) {
          WriteString(out, QStringLiteral("msgid_plural"), sources.back());
          for (int i = 0; i < forms; ++i)
            WriteString(out, QStringLiteral("msgstr[%1]").arg(i), t ? t->GetPlurals(i) : QString());
        } else {
          WriteString(out, QStringLiteral("msgstr"), t ? t->Value() : QString());
        }
      }
    }
  }
  return out.toUtf8();
}

TPOImportResult ImportPO(TTranslationCatalog& Catalog, const TCultureInfo* Culture, const QByteArray& Data) {
  CheckCulture(Culture);
  const QString locale = LocaleOf(Culture);
  const std::vector<TPOEntry> entries = ParsePO(Data);
  TPOImportResult result;
  TUpdateGuard guard(Catalog);
  for (const TPOEntry& entry : entries) {
    if (entry.Obsolete || (entry.MsgId.isEmpty() && entry.Context.isEmpty())) continue;  // the header
    TTextDefinition* d = DefinitionOf(Catalog, entry.Context);
    if (!d || d->HasPluralForms() != entry.HasPlural) {
      ++result.Unknown;
      continue;
    }
    QString value;
    bool empty = true;
    if (entry.HasPlural) {
      for (const QString& form : entry.MsgStr) {
        value += form + QChar(0);
        empty = empty && form.isEmpty();
      }
    } else {
      value = entry.MsgStr.front();
      empty = value.isEmpty();
    }
    QString note;
    TTranslationState state = entry.Fuzzy ? tsFuzzy : tsUser;
    QStringList noteLines;
    for (const QString& line : entry.TranslatorComments) {
      TTranslationState kept;
      if (line.startsWith(QLatin1String(StateMark)) && StateOf(line.mid(int(sizeof StateMark) - 1), kept)) {
        // The exact state of a translation still marked fuzzy.
        if (entry.Fuzzy || empty) state = kept;
        continue;
      }
      noteLines << line;
    }
    note = noteLines.join(QStringLiteral("\r\n"));
    if (empty && note.isEmpty() && state == tsUser) {
      if (TTextTranslation* t = d->Translations().Find(locale)) {
        d->Translations().Delete(t);
        ++result.Cleared;
      }
      continue;
    }
    TTextTranslation* t = d->Translations().Add(locale);
    t->SetValue(empty ? QString() : value);
    t->SetState(state);
    t->SetNote(note);
    if (state == tsUser)
      ++result.Approved;
    else
      ++result.Fuzzy;
  }
  return result;
}

}  // namespace I18n
