#include "FormTranslator.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMetaProperty>
#include <QMenu>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTabWidget>
#include <QWidget>

#include <span>

#include "CultureBox.h"

namespace I18n {

// ---------------------------------------------------------------- TTextItems

TTextItem* TTextItems::Find(const QString& ID) {
  auto it = fIndex.constFind(ID.toUpper());
  return it == fIndex.constEnd() ? nullptr : &fItems[size_t(*it)];
}

const TTextItem* TTextItems::Find(const QString& ID) const { return const_cast<TTextItems*>(this)->Find(ID); }

TTextItem& TTextItems::Add(const QString& ID) {
  if (TTextItem* item = Find(ID)) return *item;
  fIndex.insert(ID.toUpper(), int(fItems.size()));
  fItems.push_back(TTextItem{ID, QString(), QString(), false});
  return fItems.back();
}

void TTextItems::Delete(const QString& ID) {
  auto it = fIndex.constFind(ID.toUpper());
  if (it == fIndex.constEnd()) return;
  fItems.erase(fItems.begin() + *it);
  Reindex();
}

void TTextItems::Clear() {
  fItems.clear();
  fIndex.clear();
}

void TTextItems::Reindex() {
  fIndex.clear();
  for (size_t i = 0; i < fItems.size(); ++i) fIndex.insert(fItems[i].ID.toUpper(), int(i));
}

void TTextItems::DiscardTranslations() {
  for (TTextItem& item : fItems) {
    item.IsTranslated = false;
    item.TranslatedValue.clear();
  }
}

void TTextItems::SetOriginalValue(TTextItem& Item, const QString& Value) {
  if (Item.OriginalValue == Value) return;
  Item.OriginalValue = Value;
  Item.IsTranslated = false;
  Item.TranslatedValue.clear();
}

// ------------------------------------------------------------------- Keys

QString LiteralID(const QString& Text) {
  return QString::fromLatin1(QCryptographicHash::hash(Text.toUtf8(), QCryptographicHash::Md5).toHex().toUpper());
}

QString PluralLiteralID(const QStringList& Texts) {
  QByteArray forms;
  for (const QString& form : Texts) {
    forms += form.toUtf8();
    forms += '\0';
  }
  return QLatin1Char('#') +
         QString::fromLatin1(QCryptographicHash::hash(forms, QCryptographicHash::Md5).toHex().toUpper());
}

namespace {

bool IsPlaceholderModifier(QChar C) {
  return C == u'.' || C == u'-' || C == u'+' || C == u' ' || C == u'#' || (C >= u'0' && C <= u'9');
}

bool IsLengthModifier(QChar C) { return C == u'l' || C == u'h' || C == u'z' || C == u'j' || C == u'L'; }

}  // namespace

QStringList TextPlaceholders(const QString& Pattern) {
  QStringList result;
  for (qsizetype i = 0; i < Pattern.size(); ++i) {
    if (Pattern[i] != u'%') continue;
    qsizetype j = i + 1;
    if (j < Pattern.size() && Pattern[j] == u'%') {
      i = j;
      continue;
    }
    while (j < Pattern.size() && IsPlaceholderModifier(Pattern[j])) ++j;
    while (j < Pattern.size() && IsLengthModifier(Pattern[j])) ++j;
    result.push_back(Pattern.mid(i, j < Pattern.size() ? j - i + 1 : j - i));
    i = j;
  }
  return result;
}

// --------------------------------------------------------- Property mapping

// The catalog's property names and where Qt keeps them. A window's Caption
// is its title only for the translator's own window ("@title"); a tab
// page's Caption is the text of its tab ("@tab"); "@items" are the entries
// of a list, keyed "Items[i]". Other components (the message dialog and its
// caption sets) publish their texts as Qt properties of their own and are
// walked by property name.
const std::vector<TTranslatableProperty>& TranslatableProperties() {
  static const std::vector<TTranslatableProperty> table = {
      {"QWidget", "Caption", "@title"},
      {"QWidget", "Caption", "@tab"},
      {"QAbstractButton", "Caption", "text"},
      {"QLabel", "Caption", "text"},
      {"QGroupBox", "Caption", "title"},
      {"QMenu", "Caption", "title"},
      {"QAction", "Caption", "text"},
      {"QWidget", "Hint", "toolTip"},
      {"QAction", "Hint", "toolTip"},
      {"QComboBox", "Items", "@items"},
      {"QListWidget", "Items", "@items"},
  };
  return table;
}

namespace {

bool IsGUID(const QString& Text) {
  static const QRegularExpression guid(QStringLiteral(
      "^\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}$"));
  return Text.size() == 38 && guid.match(Text).hasMatch();
}

// A text worth translating: something above a blank, and no GUID.
bool IsTranslatableText(const QString& Text) {
  bool visible = false;
  for (QChar c : Text)
    if (c > u' ') {
      visible = true;
      break;
    }
  return visible && !IsGUID(Text);
}

QTabWidget* TabWidgetOfPage(QObject* Object) {
  QWidget* page = qobject_cast<QWidget*>(Object);
  if (!page || !qobject_cast<QStackedWidget*>(page->parent())) return nullptr;
  QTabWidget* tabs = qobject_cast<QTabWidget*>(page->parent()->parent());
  return tabs && tabs->indexOf(page) >= 0 ? tabs : nullptr;
}

// One translatable text of an object: read or write it.
struct TPropertyRef {
  QObject* Object;
  const char* QtProperty;  // a Qt property, or one of the "@" kinds
  int Index;               // the entry of an "@items" list
};

QString ReadProperty(const TPropertyRef& Ref) {
  const QByteArray kind(Ref.QtProperty);
  if (kind == "@title") return static_cast<QWidget*>(Ref.Object)->windowTitle();
  if (kind == "@tab") {
    QTabWidget* tabs = TabWidgetOfPage(Ref.Object);
    return tabs ? tabs->tabText(tabs->indexOf(static_cast<QWidget*>(Ref.Object))) : QString();
  }
  if (kind == "@items") {
    if (auto* box = qobject_cast<QComboBox*>(Ref.Object)) return box->itemText(Ref.Index);
    if (auto* list = qobject_cast<QListWidget*>(Ref.Object))
      return list->item(Ref.Index) ? list->item(Ref.Index)->text() : QString();
    return QString();
  }
  return Ref.Object->property(Ref.QtProperty).toString();
}

void WriteProperty(const TPropertyRef& Ref, const QString& Value) {
  const QByteArray kind(Ref.QtProperty);
  if (kind == "@title") {
    static_cast<QWidget*>(Ref.Object)->setWindowTitle(Value);
  } else if (kind == "@tab") {
    if (QTabWidget* tabs = TabWidgetOfPage(Ref.Object))
      tabs->setTabText(tabs->indexOf(static_cast<QWidget*>(Ref.Object)), Value);
  } else if (kind == "@items") {
    // The selected entry stays selected: only the texts change.
    if (auto* box = qobject_cast<QComboBox*>(Ref.Object)) {
      if (Ref.Index < box->count()) box->setItemText(Ref.Index, Value);
    } else if (auto* list = qobject_cast<QListWidget*>(Ref.Object)) {
      if (QListWidgetItem* item = list->item(Ref.Index)) item->setText(Value);
    }
  } else {
    Ref.Object->setProperty(Ref.QtProperty, Value);
  }
}

using TVisit = std::function<void(const QString& ID, const TPropertyRef& Ref)>;

bool IsNeverWalked(const QObject* Object) {
  return qobject_cast<const TLocalizer*>(Object) || qobject_cast<const TTranslator*>(Object);
}

// The published texts of a component: its own Qt properties of text type,
// and those of the objects its properties hold (followed unless they are
// separate named components).
void WalkComponent(QObject* Object, const QString& Path, const TVisit& Visit, int Depth) {
  const QMetaObject* meta = Object->metaObject();
  for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
    const QMetaProperty property = meta->property(i);
    const QString name = QString::fromLatin1(property.name());
    if (name == QLatin1String("Name")) continue;
    const QString id = Path + QLatin1Char('.') + name;
    if (property.metaType().id() == QMetaType::QString) {
      Visit(id, TPropertyRef{Object, property.name(), 0});
    } else if (property.metaType().flags() & QMetaType::PointerToQObject) {
      QObject* sub = property.read(Object).value<QObject*>();
      if (sub && sub->objectName().isEmpty() && !IsNeverWalked(sub) && Depth < 8)
        WalkComponent(sub, id, Visit, Depth + 1);
    }
  }
}

void WalkObject(QObject* Object, const QString& Path, bool IsOwner, const TVisit& Visit) {
  if (IsNeverWalked(Object)) return;
  const bool isQtClass = Object->metaObject()->className()[0] == 'Q';
  const bool isWidgetLike = Object->isWidgetType() || qobject_cast<QAction*>(Object);
  if (!isWidgetLike) {
    if (!isQtClass) WalkComponent(Object, Path, Visit, 0);
    return;
  }
  for (const TTranslatableProperty& p : TranslatableProperties()) {
    if (!Object->inherits(p.QtClass)) continue;
    const QByteArray kind(p.QtProperty);
    const QString id = Path + QLatin1Char('.') + QLatin1String(p.Name);
    if (kind == "@title") {
      if (IsOwner) Visit(id, TPropertyRef{Object, p.QtProperty, 0});
    } else if (kind == "@tab") {
      if (TabWidgetOfPage(Object)) Visit(id, TPropertyRef{Object, p.QtProperty, 0});
    } else if (kind == "@items") {
      // The language list names languages: those are never translated.
      if (qobject_cast<TCultureBox*>(Object)) continue;
      int count = 0;
      if (auto* box = qobject_cast<QComboBox*>(Object)) count = box->count();
      if (auto* list = qobject_cast<QListWidget*>(Object)) count = list->count();
      for (int i = 0; i < count; ++i)
        Visit(Path + QStringLiteral(".Items[%1]").arg(i), TPropertyRef{Object, p.QtProperty, i});
    } else {
      Visit(id, TPropertyRef{Object, p.QtProperty, 0});
    }
  }
}

// The owner with an empty path, then every named descendant with its name,
// except other windows (they have translators of their own) other than the
// owner's pop-up menus.
void WalkOwner(QObject* Owner, const TVisit& Visit) {
  WalkObject(Owner, QString(), true, Visit);
  std::function<void(QObject*)> walkChildren = [&](QObject* Parent) {
    for (QObject* child : Parent->children()) {
      if (IsNeverWalked(child)) continue;
      // A pop-up menu belongs to its window; other windows have translators
      // of their own.
      if (child->isWidgetType() && static_cast<QWidget*>(child)->isWindow() && !qobject_cast<QMenu*>(child)) continue;
      if (!child->objectName().isEmpty()) WalkObject(child, child->objectName(), false, Visit);
      walkChildren(child);
    }
  };
  walkChildren(Owner);
}

}  // namespace

// ---------------------------------------------------------------- TTranslator

TTranslator::TTranslator(QObject* Owner, TLocalizer* ALocalizer)
    : QObject(Owner), fOwner(Owner), fTranslatables(this) {
  SetLocalizer(ALocalizer ? ALocalizer : TLocalizer::FirstInstance());
}

TTranslator::~TTranslator() {
  if (fLocalizer) fLocalizer->UnregisterListener(this);
}

QString TTranslator::DomainName() const {
  if (!fOwner) return QStringLiteral("-DEFAULT-");
  QString name = QString::fromLatin1(fOwner->metaObject()->className());
  const qsizetype scope = name.lastIndexOf(QLatin1String("::"));
  if (scope >= 0) name = name.mid(scope + 2);
  if (name.startsWith(u'T')) name.remove(0, 1);
  return name;
}

void TTranslator::SetLocalizer(TLocalizer* ALocalizer) {
  if (fLocalizer == ALocalizer) return;
  if (fLocalizer) fLocalizer->UnregisterListener(this);
  fLocalizer = ALocalizer;
  if (fLocalizer) fLocalizer->RegisterListener(this);
  Apply();
}

void TTranslator::Start() {
  RefreshOriginalValues();
  fStarted = true;
  if (auto* window = qobject_cast<QWidget*>(fOwner.data())) {
    // The window keeps its own direction; the translator alone mirrors it.
    window->setLayoutDirection(window->layoutDirection());
  }
  if (OnLoaded) OnLoaded(this);
  Apply();
}

void TTranslator::RefreshOriginalValues() {
  if (!fOwner) return;
  TTextItems& properties = fTranslatables.Properties();
  const bool collectAll = properties.Count() == 0;
  QHash<QString, QString> current;
  WalkOwner(fOwner, [&](const QString& ID, const TPropertyRef& Ref) {
    const QString text = ReadProperty(Ref);
    if (!IsTranslatableText(text)) return;
    if (collectAll)
      TTextItems::SetOriginalValue(properties.Add(ID), text);
    else
      current.insert(ID.toUpper(), text);
  });
  if (collectAll) return;
  QStringList gone;
  for (TTextItem& item : properties) {
    auto it = current.constFind(item.ID.toUpper());
    if (it == current.constEnd())
      gone.push_back(item.ID);
    else
      TTextItems::SetOriginalValue(item, *it);
  }
  for (const QString& id : gone) properties.Delete(id);
}

void TTranslator::Apply() {
  if (!fStarted || !fOwner) return;
  if (fCurrentCulture || (fLocalizer && fLocalizer->IsReady())) {
    if (NeedsFlip()) FlipLayout();
    Translate();
  }
}

void TTranslator::LocalizerNotify(TLocalizer* /*Sender*/, TLocalizerNotification Reason) {
  switch (Reason) {
    case lnChanging:
      BeginUpdate();
      break;
    case lnChanged:
      EndUpdate();
      break;
    case lnCultureChanged:
      if (fStarted) Translate();
      break;
    case lnBiDiModeChanged:
      if (fStarted && NeedsFlip()) FlipLayout();
      break;
    default:
      break;
  }
}

void TTranslator::Translate() {
  if (OnBeforeTranslate) OnBeforeTranslate(this);
  struct TAfter {
    TTranslator* Self;
    ~TAfter() {
      if (Self->OnAfterTranslate) Self->OnAfterTranslate(Self);
    }
  } after{this};
  const TCultureInfo* culture = fLocalizer ? fLocalizer->Culture() : nullptr;
  const TTextDomain* domain = culture ? fLocalizer->Catalog().TextDomains().Find(DomainName()) : nullptr;
  if (domain) {
    const QString locale = QString::fromLatin1(culture->Locale);
    domain->Properties().Translate(std::span<TTextItem>(fTranslatables.Properties().Items()), locale);
    domain->Literals().Translate(std::span<TTextItem>(fTranslatables.Literals().Items()), locale);
    fCurrentCulture = culture;
    WriteValues();
  } else if (fCurrentCulture) {
    fCurrentCulture = nullptr;
    fTranslatables.Properties().DiscardTranslations();
    fTranslatables.Literals().DiscardTranslations();
    WriteValues();
  }
}

void TTranslator::WriteValues() {
  if (!fOwner) return;
  TTextItems& properties = fTranslatables.Properties();
  WalkOwner(fOwner, [&](const QString& ID, const TPropertyRef& Ref) {
    const TTextItem* item = properties.Find(ID);
    if (!item) return;
    // A translation that would take other arguments keeps the designed text.
    const QString& value = TTextItems::Value(*item);
    const bool safe = !item->IsTranslated || TextPlaceholders(value) == TextPlaceholders(item->OriginalValue);
    WriteProperty(Ref, safe ? value : item->OriginalValue);
  });
}

void TTranslator::TranslateLiteral(TTextItem& Item) {
  const TCultureInfo* culture = fLocalizer ? fLocalizer->Culture() : nullptr;
  if (!fCurrentCulture || !culture) return;
  const TTextDomain* domain = fLocalizer->Catalog().TextDomains().Find(DomainName());
  if (domain) domain->Literals().Translate(std::span<TTextItem>(&Item, 1), QString::fromLatin1(culture->Locale));
}

QString TTranslator::GetText(const QString& Text) {
  if (Text.isEmpty()) return Text;
  const QString id = LiteralID(Text);
  TTextItem* item = fTranslatables.Literals().Find(id);
  if (!item) {
    // A literal met for the first time joins the list, translated at once.
    item = &fTranslatables.Literals().Add(id);
    item->OriginalValue = Text;
    TranslateLiteral(*item);
  }
  if (!item->IsTranslated) return Text;
  return TextPlaceholders(item->TranslatedValue) == TextPlaceholders(Text) ? item->TranslatedValue : Text;
}

QString TTranslator::GetNText(const QStringList& Texts, int N) {
  if (Texts.isEmpty()) return QString();
  const QString id = PluralLiteralID(Texts);
  TTextItem* item = fTranslatables.Literals().Find(id);
  if (!item) {
    QString forms;
    for (const QString& form : Texts) forms += form + QChar(0);
    item = &fTranslatables.Literals().Add(id);
    item->OriginalValue = forms;
    TranslateLiteral(*item);
  }
  if (item->IsTranslated && fLocalizer) {
    try {
      const int index = fLocalizer->PluralForms().IndexOf(N);
      if (index >= 0 && index < PluralText::Count(item->TranslatedValue)) {
        const QString form = PluralText::Get(item->TranslatedValue, index);
        const QStringList placeholders = TextPlaceholders(form);
        for (const QString& source : Texts)
          if (TextPlaceholders(source) == placeholders) return form;
      }
    } catch (const EI18nError&) {
    }
  }
  return TLocalizer::UntranslatedForm(Texts, N);
}

QString TTranslator::Format(const QString& Pattern, const QVariantList& Args) {
  const QString text = GetText(Pattern);
  QString result;
  qsizetype next = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] != u'%') {
      result += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == u'%') {
      result += u'%';
      ++i;
      continue;
    }
    qsizetype j = i + 1;
    while (j < text.size() && IsPlaceholderModifier(text[j])) ++j;
    while (j < text.size() && IsLengthModifier(text[j])) ++j;
    if (j >= text.size() || next >= Args.size()) {
      result += text.mid(i, j < text.size() ? j - i + 1 : j - i);
      i = j;
      continue;
    }
    // The flags, width and precision with the conversion, without length
    // modifiers: the argument is passed at its widest type.
    QString conversion = text.mid(i, j - i + 1);
    conversion.remove(QRegularExpression(QStringLiteral("[lhzjL]")));
    const QByteArray format = conversion.toLatin1();
    const QVariant& arg = Args[next++];
    switch (text[j].unicode()) {
      case 'd':
      case 'i':
        result += QString::asprintf(QByteArray(format).insert(format.size() - 1, "ll").constData(), arg.toLongLong());
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        result += QString::asprintf(QByteArray(format).insert(format.size() - 1, "ll").constData(),
                                    arg.toULongLong());
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
        result += QString::asprintf(format.constData(), arg.toDouble());
        break;
      case 'c':
        result += arg.toString().left(1);
        break;
      default:  // 's' and anything else: the argument's text
        result += QString::asprintf(QByteArray(format).replace(format.size() - 1, 1, "s").constData(),
                                    arg.toString().toUtf8().constData());
        break;
    }
    i = j;
  }
  return result;
}

void TTranslator::BeginUpdate() {
  if (fUpdateCount++ != 0) return;
  if (auto* window = qobject_cast<QWidget*>(fOwner.data())) {
    fUpdatesWereEnabled = window->updatesEnabled();
    window->setUpdatesEnabled(false);
    fActiveControl = window->focusWidget();
  }
}

void TTranslator::EndUpdate() {
  if (fUpdateCount == 0 || --fUpdateCount != 0) return;
  if (auto* window = qobject_cast<QWidget*>(fOwner.data())) {
    window->setUpdatesEnabled(fUpdatesWereEnabled);
    if (fActiveControl && window->focusWidget() != fActiveControl) fActiveControl->setFocus();
  }
  fActiveControl = nullptr;
}

// ------------------------------------------------------------ Layout mirroring

namespace {

bool LayoutHolds(const QLayout* Layout, const QWidget* Widget) {
  if (!Layout) return false;
  for (int i = 0; i < Layout->count(); ++i) {
    QLayoutItem* item = Layout->itemAt(i);
    if (item->widget() == Widget) return true;
    if (item->layout() && LayoutHolds(item->layout(), Widget)) return true;
  }
  return false;
}

// Children placed by coordinates move to the mirrored place; children of
// layouts are placed by their layout, which follows the direction itself.
void MirrorChildren(QWidget* Parent) {
  for (QObject* object : Parent->children()) {
    auto* child = qobject_cast<QWidget*>(object);
    if (!child || child->isWindow()) continue;
    // Qt's own parts of compound widgets ("qt_tabwidget_tabbar") and the
    // pages of a stack are placed by their widget.
    const bool placedByQt = child->objectName().startsWith(QLatin1String("qt_")) || qobject_cast<QStackedWidget*>(Parent);
    if (!placedByQt && !LayoutHolds(Parent->layout(), child))
      child->move(Parent->width() - child->width() - child->x(), child->y());
    MirrorChildren(child);
  }
}

}  // namespace

bool TTranslator::NeedsFlip() const {
  auto* window = qobject_cast<QWidget*>(fOwner.data());
  if (!window || !window->isWindow()) return false;
  if (fAutoBiDiLayout && fLocalizer && fLocalizer->IsBiDiToggled()) {
    const bool rtl = fLocalizer->BiDiMode() == bdRightToLeft;
    return rtl != (window->layoutDirection() == Qt::RightToLeft);
  }
  return fLayoutFlipped;
}

void TTranslator::FlipLayout() {
  auto* window = qobject_cast<QWidget*>(fOwner.data());
  if (!window) return;
  if (OnBeforeFlipLayout) OnBeforeFlipLayout(this);
  window->setLayoutDirection(window->layoutDirection() == Qt::RightToLeft ? Qt::LeftToRight : Qt::RightToLeft);
  fLayoutFlipped = !fLayoutFlipped;
  MirrorChildren(window);
  if (OnAfterFlipLayout) OnAfterFlipLayout(this);
}

}  // namespace I18n
