// Reading and writing catalog files, and locating them.
#include <QCoreApplication>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QXmlStreamWriter>

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include "PluralForms.h"
#include "TranslationCatalog.h"

namespace I18n {

namespace {

std::string Utf8(const QString& S) { return S.toStdString(); }
QString Latin(const char* S) { return QString::fromLatin1(S); }

const char UnableToLoad[] = "Unable to load the translation catalog: ";

bool SameName(const QString& A, const char* B) { return A.compare(Latin(B), Qt::CaseInsensitive) == 0; }

// --- Detection of plain XML text ---------------------------------------

char LowerAscii(char C) { return (C >= 'A' && C <= 'Z') ? char(C - 'A' + 'a') : C; }

// "<?xml" at P, each character Stride bytes apart (the other byte of a
// UTF-16LE unit being zero).
bool IsXmlDeclAt(const unsigned char* P, size_t Available, int Stride) {
  static const char Decl[] = "<?xml";
  if (Available < size_t(5 * Stride)) return false;
  for (int i = 0; i < 5; ++i) {
    if (LowerAscii(char(P[i * Stride])) != Decl[i]) return false;
    if (Stride == 2 && P[i * 2 + 1] != 0) return false;
  }
  return true;
}

bool LooksLikeXml(const unsigned char* B, size_t N) {
  if (N >= 2 && B[0] == 0xFF && B[1] == 0xFE && IsXmlDeclAt(B + 2, N - 2, 2)) return true;
  if (N >= 3 && B[0] == 0xEF && B[1] == 0xBB && B[2] == 0xBF && IsXmlDeclAt(B + 3, N - 3, 1)) return true;
  if (B[0] == '<' && IsXmlDeclAt(B, N, 1)) return true;
  if (B[0] == '<' && B[1] == 0 && IsXmlDeclAt(B, N, 2)) return true;
  return false;
}

bool IsXmlText(const QByteArray& Head) {
  if (Head.size() != 14) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(Head.constData());
  if (LooksLikeXml(b, 14)) return true;
  // A big-endian byte order mark or a big-endian "<": the same tests on the
  // units with their bytes swapped.
  if ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0 && b[1] == '<')) {
    unsigned char swapped[14];
    for (int i = 0; i < 14; i += 2) {
      swapped[i] = b[i + 1];
      swapped[i + 1] = b[i];
    }
    return LooksLikeXml(swapped, 14);
  }
  return false;
}

// The parser takes only a lower-case "xml" as the declaration: lower the
// letters of a declaration written in another case (UTF-8 or UTF-16).
void LowerDeclaration(QByteArray& Data) {
  const qsizetype limit = std::min<qsizetype>(Data.size(), 8);
  for (int stride = 1; stride <= 2; ++stride)
    for (qsizetype i = 0; i < limit; ++i) {
      if (Data[i] != '?' || i + 3 * stride >= Data.size()) continue;
      const char* letters = "xml";
      bool match = true;
      for (int k = 0; k < 3; ++k)
        if (LowerAscii(Data[i + (k + 1) * stride]) != letters[k]) match = false;
      if (!match) continue;
      for (int k = 0; k < 3; ++k) Data[i + (k + 1) * stride] = letters[k];
      return;
    }
}

// --- Stream reading -------------------------------------------------------

QByteArray ReadAllLimited(QIODevice& Stream) {
  QByteArray data;
  char buffer[65536];
  for (;;) {
    const qint64 got = Stream.read(buffer, sizeof buffer);
    if (got < 0) throw EFileError("Stream read error: " + Utf8(Stream.errorString()));
    if (got == 0) break;
    if (data.size() + got > TTranslationCatalog::MaxDocumentSize)
      throw EFileError("the catalog is larger than " + std::to_string(TTranslationCatalog::MaxDocumentSize) +
                       " bytes");
    data.append(buffer, qsizetype(got));
  }
  return data;
}

std::string ZlibMessage(const z_stream& Z, int Code) {
  return std::string("zlib: ") + (Z.msg ? Z.msg : zError(Code));
}

// The zlib stream from the current position, decompressed; what follows the
// stream's end is ignored.
QByteArray Inflate(QIODevice& Stream) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw EFileError("zlib: " + std::string(z.msg ? z.msg : "initialisation failed"));
  struct TEnd {
    z_stream& Z;
    ~TEnd() { inflateEnd(&Z); }
  } end{z};
  QByteArray out;
  unsigned char input[65536];
  unsigned char output[65536];
  bool finished = false;
  while (!finished) {
    const qint64 got = Stream.read(reinterpret_cast<char*>(input), sizeof input);
    if (got < 0) throw EFileError("Stream read error: " + Utf8(Stream.errorString()));
    if (got == 0) throw EFileError("zlib: unexpected end of the compressed data");
    z.next_in = input;
    z.avail_in = uInt(got);
    while (z.avail_in > 0 || !finished) {
      z.next_out = output;
      z.avail_out = sizeof output;
      const int rc = inflate(&z, Z_NO_FLUSH);
      if (rc == Z_NEED_DICT) throw EFileError("zlib: a preset dictionary is needed");
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) throw EFileError(ZlibMessage(z, rc));
      const size_t produced = sizeof output - z.avail_out;
      if (out.size() + qint64(produced) > TTranslationCatalog::MaxDocumentSize)
        throw EFileError("the decompressed catalog is larger than " +
                         std::to_string(TTranslationCatalog::MaxDocumentSize) + " bytes");
      out.append(reinterpret_cast<const char*>(output), qsizetype(produced));
      if (rc == Z_STREAM_END) {
        finished = true;
        break;
      }
      // More output needs more input.
      if (z.avail_in == 0 && produced < sizeof output) break;
      if (rc == Z_BUF_ERROR && produced == 0) break;
    }
  }
  return out;
}

QByteArray Deflate(const QByteArray& Data) {
  z_stream z{};
  if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) throw EFileError("zlib: initialisation failed");
  QByteArray out;
  unsigned char output[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.constData()));
  z.avail_in = uInt(Data.size());
  int rc;
  do {
    z.next_out = output;
    z.avail_out = sizeof output;
    rc = deflate(&z, Z_FINISH);
    if (rc == Z_STREAM_ERROR) {
      deflateEnd(&z);
      throw EFileError("zlib: " + std::string(zError(rc)));
    }
    out.append(reinterpret_cast<const char*>(output), qsizetype(sizeof output - z.avail_out));
  } while (rc != Z_STREAM_END);
  deflateEnd(&z);
  return out;
}

// --- Document reading -----------------------------------------------------

TTranslationState StateOf(const QDomElement& E) {
  if (!E.hasAttribute(Latin("State"))) return tsUser;
  const QString s = E.attribute(Latin("State"));
  if (SameName(s, "Fuzzy")) return tsFuzzy;
  if (SameName(s, "Google")) return tsGoogle;
  if (SameName(s, "Auto")) return tsAuto;
  if (SameName(s, "User")) return tsUser;
  return tsNone;
}

// Value content: the forms of "PluralForm" children, or else the element's
// own text.
QString ValueContent(const QDomElement& E) {
  QString forms;
  bool plural = false;
  for (QDomElement c = E.firstChildElement(); !c.isNull(); c = c.nextSiblingElement())
    if (SameName(c.tagName(), "PluralForm")) {
      forms += UnescapeText(c.text());
      forms += QChar(u'\0');
      plural = true;
    }
  return plural ? forms : UnescapeText(E.text());
}

void ReadDefinition(TTextDefinition& D, const QDomElement& E) {
  for (QDomElement c = E.firstChildElement(); !c.isNull(); c = c.nextSiblingElement()) {
    const QString name = c.tagName();
    if (SameName(name, "Comment")) {
      D.SetComment(UnescapeText(c.text()));
    } else if (SameName(name, "Value")) {
      D.SetValue(ValueContent(c));
    } else if (SameName(name, "Translation")) {
      TTextTranslation* t = D.Translations().Add(c.attribute(Latin("Locale")));
      t->SetState(StateOf(c));
      t->SetNote(UnescapeText(c.attribute(Latin("Note"))));
      t->SetValue(ValueContent(c));
    }
  }
}

void ReadDomain(TTextDomain& Domain, const QDomElement& E) {
  for (QDomElement c = E.firstChildElement(); !c.isNull(); c = c.nextSiblingElement()) {
    TTextDictionary* dictionary = SameName(c.tagName(), "Property") ? &Domain.Properties()
                                  : SameName(c.tagName(), "Literal") ? &Domain.Literals()
                                                                     : nullptr;
    if (dictionary) ReadDefinition(*dictionary->Add(c.attribute(Latin("ID"))), c);
  }
}

// --- Document writing -----------------------------------------------------

void WriteValue(QXmlStreamWriter& W, const QString& Value, bool Plural) {
  if (!Plural) {
    W.writeCharacters(EscapeText(Value));
    return;
  }
  // Split once: a text may hold very many forms.
  for (const QString& form : PluralText::Split(Value)) W.writeTextElement(Latin("PluralForm"), EscapeText(form));
}

const char* StateName(TTranslationState S) {
  switch (S) {
    case tsNone: return "None";
    case tsFuzzy: return "Fuzzy";
    case tsGoogle: return "Google";
    case tsAuto: return "Auto";
    case tsUser: return "User";
  }
  return "None";
}

// --- Paths ----------------------------------------------------------------

// "%NAME%" replaced by the variable's value; an unknown name, an empty name
// and a lone "%" stay as written.
QString ExpandEnvironment(const QString& Path) {
  QString out;
  qsizetype i = 0;
  while (i < Path.size()) {
    if (Path[i] == u'%') {
      const qsizetype close = Path.indexOf(u'%', i + 1);
      if (close > i + 1) {
        const QString name = Path.mid(i + 1, close - i - 1);
        const QByteArray key = name.toLocal8Bit();
        if (const char* value = std::getenv(key.constData())) {
          out += QString::fromLocal8Bit(value);
          i = close + 1;
          continue;
        }
        out += Path.mid(i, close - i);
        i = close;
        continue;
      }
    }
    out += Path[i++];
  }
  return out;
}

bool HasRoot(const QString& Path) {
  if (Path.startsWith(u'/') || Path.startsWith(u'\\')) return true;
  // A drive: "C:" or "C:\...".
  return Path.size() >= 2 && Path[1] == u':' && Path[0].isLetter() && Path[0].unicode() < 128;
}

}  // namespace

QString TTranslationCatalog::ProgramFolder() {
  if (QCoreApplication::instance()) return QCoreApplication::applicationDirPath();
  // Without an application object: the folder of the running executable.
  return QFileInfo(QFile::symLinkTarget(Latin("/proc/self/exe"))).absolutePath();
}

QString TTranslationCatalog::ResolvePath(const QString& Path) {
  const QString expanded = ExpandEnvironment(Path);
  if (HasRoot(expanded)) return expanded;
  return ProgramFolder() + u'/' + expanded;
}

// ---------------------------------------------------------------------------

void TTranslationCatalog::LoadFromStream(QIODevice& Stream) {
  if (!Stream.isOpen() || !Stream.isReadable()) {
    Clear();
    throw ETranslationCatalogError(UnableToLoad + std::string("the stream is not open for reading"));
  }
  const bool xml = IsXmlText(Stream.peek(14));
  QDomDocument document;
  try {
    QByteArray data = xml ? ReadAllLimited(Stream) : Inflate(Stream);
    if (xml) LowerDeclaration(data);
    QString message;
    int line = 0, column = 0;
    if (!document.setContent(data, false, &message, &line, &column))
      throw ETranslationCatalogError(Utf8(message) + " (line " + std::to_string(line) + ", column " +
                                     std::to_string(column) + ")");
  } catch (const std::exception& e) {
    Clear();
    throw ETranslationCatalogError(UnableToLoad + std::string(e.what()));
  }
  LoadFromXML(document);
  fCompressed = !xml;
}

void TTranslationCatalog::LoadFromXML(const QDomDocument& Document) {
  Clear();
  const QDomElement root = Document.documentElement();
  if (root.isNull() || !SameName(root.tagName(), "i18nCatalog"))
    throw ETranslationCatalogError("The translation catalog cannot be loaded because its format is not supported");
  TUpdateGuard update(*this);
  try {
    ReadDocument(root);
  } catch (const ETranslationCatalogError&) {
    throw;
  } catch (const std::exception& e) {
    Clear();
    throw ETranslationCatalogError(UnableToLoad + std::string(e.what()));
  }
}

void TTranslationCatalog::ReadDocument(const QDomElement& Root) {
  if (Root.hasAttribute(Latin("Locale"))) fNativeCulture = TCultureTable::Find(Utf8(Root.attribute(Latin("Locale"))));
  for (QDomElement c = Root.firstChildElement(); !c.isNull(); c = c.nextSiblingElement()) {
    if (SameName(c.tagName(), "Domain")) {
      ReadDomain(*fTextDomains.Add(c.attribute(Latin("Name"))), c);
    } else if (SameName(c.tagName(), "PluralForm")) {
      const TPluralForms forms(Utf8(c.attribute(Latin("Rule"))));
      const std::string rule = forms.Rule();
      const TCultureInfo* culture = TCultureTable::Find(Utf8(c.attribute(Latin("Locale"))));
      if (culture && rule != TPluralForms(culture->PluralRule).Rule() && !fCustomPluralRules.RuleOf(culture))
        fCustomPluralRules.Store(culture, rule);
    }
  }
}

QByteArray TTranslationCatalog::SaveToBytes() const {
  QByteArray body;
  QXmlStreamWriter w(&body);
  w.setAutoFormatting(true);
  w.setAutoFormattingIndent(2);
  w.writeStartElement(Latin("i18nCatalog"));
  w.writeAttribute(Latin("Version"), Latin("1.0"));
  if (fNativeCulture) w.writeAttribute(Latin("Locale"), Latin(fNativeCulture->Locale));
  for (const TCustomPluralRule* r : fCustomPluralRules) {
    if (!fCultures.Contains(r->Culture)) continue;
    if (r->Rule == TPluralForms(r->Culture->PluralRule).Rule() || r->Rule == r->Culture->PluralRule) continue;
    w.writeEmptyElement(Latin("PluralForm"));
    w.writeAttribute(Latin("Locale"), Latin(r->Culture->Locale));
    w.writeAttribute(Latin("Rule"), QString::fromStdString(r->Rule));
  }
  for (const TTextDomain* domain : fTextDomains) {
    w.writeStartElement(Latin("Domain"));
    w.writeAttribute(Latin("Name"), domain->Name());
    for (const TTextDictionary* dictionary : {&domain->Properties(), &domain->Literals()}) {
      const QString kind = Latin(dictionary->Kind() == dkProperty ? "Property" : "Literal");
      for (const TTextDefinition* definition : *dictionary) {
        w.writeStartElement(kind);
        w.writeAttribute(Latin("ID"), definition->ID());
        const bool plural = definition->HasPluralForms();
        if (!definition->Comment().isEmpty()) w.writeTextElement(Latin("Comment"), EscapeText(definition->Comment()));
        if (!definition->Value().isEmpty()) {
          w.writeStartElement(Latin("Value"));
          WriteValue(w, definition->Value(), plural);
          w.writeEndElement();
        }
        for (const TTextTranslation* t : definition->Translations()) {
          if (t->Value().isEmpty() && t->Note().isEmpty()) continue;
          w.writeStartElement(Latin("Translation"));
          w.writeAttribute(Latin("Locale"), t->Locale());
          if (t->State() != tsUser) w.writeAttribute(Latin("State"), Latin(StateName(t->State())));
          if (!t->Note().isEmpty()) w.writeAttribute(Latin("Note"), EscapeText(t->Note()));
          WriteValue(w, t->Value(), plural);
          w.writeEndElement();
        }
        w.writeEndElement();
      }
    }
    w.writeEndElement();
  }
  w.writeEndElement();
  w.writeEndDocument();
  // The declaration as written here (the writer's own would say "UTF-8");
  // the body starts with a line break.
  return QByteArray("<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>") + body;
}

void TTranslationCatalog::SaveToXML(QDomDocument& Document) const {
  Document.clear();
  Document.setContent(SaveToBytes());
}

void TTranslationCatalog::SaveToStream(QIODevice& Stream) const {
  QByteArray data = SaveToBytes();
  if (fCompressed) data = Deflate(data);
  if (!Stream.isOpen() || !Stream.isWritable() || Stream.write(data) != data.size())
    throw EFileError("Stream write error: " + Utf8(Stream.errorString()));
}

void TTranslationCatalog::SaveToFile(const QString& FileName) const {
  const QString path = ResolvePath(FileName);
  // Written beside and put in place at the end: a failed save leaves the
  // previous file as it was.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    throw EFileError("Cannot create file \"" + Utf8(path) + "\". " + Utf8(file.errorString()));
  SaveToStream(file);
  if (!file.commit()) throw EFileError("Cannot write file \"" + Utf8(path) + "\". " + Utf8(file.errorString()));
}

void TTranslationCatalog::LoadFromFile(const QString& FileName) {
  const QString path = ResolvePath(FileName);
  QFile file(path);
  if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly))
    throw EFileError("Cannot open file \"" + Utf8(path) + "\". " +
                     Utf8(QFileInfo(path).isDir() ? Latin("It is a folder") : file.errorString()));
  LoadFromStream(file);
}

void TTranslationCatalog::LoadFromResource(const QString& ResName, const QString& ResType) {
  // Resource type 10 is raw data: the resource is found by its name alone.
  const bool raw = ResType.isEmpty() || ResType == Latin("10") || ResType == Latin("#10") ||
                   SameName(ResType, "RCDATA");
  const QString path = raw ? Latin(":/") + ResName : Latin(":/") + ResType + u'/' + ResName;
  QFile file(path);
  if (!file.exists() || !file.open(QIODevice::ReadOnly)) throw EResNotFound("Resource " + Utf8(ResName) + " not found");
  LoadFromStream(file);
}

void TTranslationCatalog::LoadFromResource(int ResID, const QString& ResType) {
  LoadFromResource(QString::number(ResID), ResType);
}

void TTranslationCatalog::Open(const QString& URI) {
  try {
    const qsizetype colon = URI.indexOf(u':');
    QString scheme = Latin("file"), location = URI;
    if (colon >= 2) {
      scheme = URI.left(colon).toLower();
      location = URI.mid(colon + 1);
    }
    if (scheme == Latin("file")) {
      LoadFromFile(location);
    } else if (scheme == Latin("dir") || scheme == Latin("dirx")) {
      const qsizetype slash = std::max(location.lastIndexOf(u'/'), location.lastIndexOf(u'\\'));
      LoadFromDirectory(location.left(slash + 1), scheme == Latin("dirx"), location.mid(slash + 1), true);
    } else if (scheme == Latin("res")) {
      const qsizetype dot = location.indexOf(u'.');
      if (dot >= 0)
        LoadFromResource(location.left(dot), location.mid(dot + 1));
      else
        LoadFromResource(location, Latin("10"));
    } else {
      throw ENotSupportedException("'" + Utf8(scheme) + ":' is not supported");
    }
  } catch (...) {
    Clear();
    throw;
  }
}

void TTranslationCatalog::LoadFromDirectory(const QString& Path, bool IncludeSubDirs, const QString& FileMask,
                                            bool IgnoreErrors) {
  QString folder = ResolvePath(Path);
  if (!folder.endsWith(u'/') && !folder.endsWith(u'\\')) folder += u'/';
  if (!QFileInfo(folder).isDir()) throw EDirectoryNotFoundException("Directory not found: " + Utf8(folder));
  const QString mask = FileMask.isEmpty() ? Latin("*.i18n") : FileMask;
  QStringList files;
  // Files of a folder, then each subfolder in turn. Linked folders are not
  // followed, so that a link loop cannot make the walk endless.
  std::function<void(const QString&)> walk = [&](const QString& dirPath) {
    QDir dir(dirPath);
    dir.setSorting(QDir::Name);
    const QFileInfoList matches =
        dir.entryInfoList(QStringList{mask}, QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& f : matches) files << f.filePath();
    if (!IncludeSubDirs) return;
    const QFileInfoList subdirs =
        dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo& d : subdirs) walk(d.filePath());
  };
  walk(folder);
  LoadFromFiles(files, IgnoreErrors);
}

void TTranslationCatalog::LoadFromFiles(const QStringList& FileNames, bool IgnoreErrors) {
  Clear();
  if (FileNames.isEmpty()) return;
  TUpdateGuard update(*this);
  for (const QString& name : FileNames) {
    TTranslationCatalog loaded;
    try {
      loaded.LoadFromFile(name);
    } catch (const ETranslationCatalogError&) {
      if (IgnoreErrors) continue;
      Clear();
      throw;
    } catch (...) {
      Clear();
      throw;
    }
    if (!fNativeCulture) fNativeCulture = loaded.fNativeCulture;
    // The files are parts of one catalog: a text of one file that another
    // file lacks is kept, not taken for a renamed text.
    MergeFrom(loaded, 0, false);
  }
}

}  // namespace I18n
