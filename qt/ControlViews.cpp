#include "qt/ControlViews.h"

#include <climits>

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

#include "platform/ui/Ui.h"

namespace pv {

namespace {

const char *const kToolTip = "pvToolTip";
const char *const kItems = "pvItems";

QString Lines(const std::string &text) {
    QString s = Qs(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

// The model's colours are 0x00BBGGRR; the window colour is the palette's own.
void ApplyColor(QWidget *w, int color) {
    QPalette p = QApplication::palette(w);
    if (color == clBtnFace)
        p.setColor(QPalette::Base, p.color(QPalette::Button));
    else if (color != clWindow)
        p.setColor(QPalette::Base, QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF));
    w->setPalette(p);
}

void ApplyHint(QWidget *w, const TControl *c) {
    const std::string hint = c->ShowHint() ? c->Hint().substr(0, c->Hint().find('|')) : "";
    const QString plain = Lines(hint);
    w->setProperty(kToolTip, plain);
    w->setToolTip(Qt::mightBeRichText(plain) ? QStringLiteral("<p style='white-space:pre'>") +
                                                   plain.toHtmlEscaped() + QStringLiteral("</p>")
                                             : plain);
}

// The memo's lines as the editor holds them.
QString MemoText(const TMemo *memo) {
    QString text;
    for (std::size_t i = 0; i < memo->Lines().size(); ++i)
        text += (i ? QStringLiteral("\n") : QString()) + Qs(memo->Lines()[i]);
    return text;
}

class RadioGroupBox : public QGroupBox {
  public:
    explicit RadioGroupBox(QWidget *parent) : QGroupBox(parent), group_(this) {
        new QVBoxLayout(this);
    }
    QButtonGroup group_;
};

class StatusBarFrame : public QFrame {
  public:
    explicit StatusBarFrame(QWidget *parent) : QFrame(parent) {
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(2, 1, 2, 1);
        layout->setSpacing(2);
    }
};

void SetItems(QWidget *w, const std::vector<std::string> &items,
              const std::function<void()> &rebuild) {
    QStringList list;
    for (const std::string &i : items)
        list << Qs(i);
    if (w->property(kItems).toStringList() == list)
        return;
    w->setProperty(kItems, list);
    rebuild();
}

void SyncRadioGroup(TRadioGroup *c, RadioGroupBox *box) {
    box->setTitle(Qs(c->Caption()));
    SetItems(box, c->Items(), [&] {
        for (QAbstractButton *b : box->group_.buttons()) {
            box->group_.removeButton(b);
            delete b;
        }
        int i = 0;
        for (const std::string &item : c->Items()) {
            auto *b = new QRadioButton(Qs(item), box);
            box->layout()->addWidget(b);
            box->group_.addButton(b, i++);
        }
    });
    const int index = c->ItemIndex();
    if (index >= 0) {
        if (QAbstractButton *b = box->group_.button(index))
            b->setChecked(true);
    } else if (QAbstractButton *b = box->group_.checkedButton()) {
        box->group_.setExclusive(false);
        b->setChecked(false);
        box->group_.setExclusive(true);
    }
}

void SyncStatusBar(TStatusBar *c, StatusBarFrame *frame) {
    auto *layout = static_cast<QHBoxLayout *>(frame->layout());
    const auto &panels = c->Panels();
    while (layout->count() > static_cast<int>(panels.size())) {
        QLayoutItem *item = layout->takeAt(layout->count() - 1);
        delete item->widget();
        delete item;
    }
    while (layout->count() < static_cast<int>(panels.size())) {
        auto *label = new QLabel(frame);
        label->setTextFormat(Qt::PlainText);
        label->setFrameShape(QFrame::Panel);
        label->setFrameShadow(QFrame::Sunken);
        layout->addWidget(label);
    }
    for (int i = 0; i < layout->count(); ++i) {
        auto *label = static_cast<QLabel *>(layout->itemAt(i)->widget());
        label->setText(Qs(panels[static_cast<std::size_t>(i)].Text));
        // The last panel takes what is left, as status bars do.
        const bool last = i + 1 == layout->count();
        if (last) {
            label->setMinimumWidth(panels[static_cast<std::size_t>(i)].Width);
            label->setMaximumWidth(QWIDGETSIZE_MAX);
        } else {
            label->setFixedWidth(panels[static_cast<std::size_t>(i)].Width);
        }
        layout->setStretch(i, last ? 1 : 0);
    }
}

} // namespace

QString Qs(const std::string &text) {
    return QString::fromStdString(text);
}

QString WithoutAccessKeys(const std::string &caption) {
    QString out;
    const QString in = Qs(caption);
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] == QLatin1Char('&') && i + 1 < in.size())
            ++i; // "&&" is one "&", "&x" is "x"
        out += in[i];
    }
    return out;
}

bool ClickableByMouse(const TControl *c) {
    return dynamic_cast<const TLabel *>(c) || dynamic_cast<const TImage *>(c);
}

QWidget *CreateControlWidget(TControl *c, QWidget *parent, const TUserAction &act) {
    if (auto *x = dynamic_cast<TRadioGroup *>(c)) {
        auto *box = new RadioGroupBox(parent);
        QObject::connect(&box->group_, &QButtonGroup::idClicked,
                         [x, act](int id) { act(x, [x, id] { x->UserSelect(id); }); });
        return box;
    }
    if (dynamic_cast<TGroupBox *>(c))
        return new QGroupBox(parent);
    if (auto *x = dynamic_cast<TCheckBox *>(c)) {
        auto *box = new QCheckBox(parent);
        box->setFocusPolicy(Qt::TabFocus); // a click moves the focus through the model
        QObject::connect(box, &QCheckBox::clicked, [x, act] { act(x, [x] { x->UserClick(); }); });
        return box;
    }
    if (auto *x = dynamic_cast<TButton *>(c)) {
        auto *button = new QPushButton(parent);
        button->setAutoDefault(false);
        button->setFocusPolicy(x->CanHaveFocus() ? Qt::TabFocus : Qt::NoFocus);
        QObject::connect(button, &QPushButton::clicked,
                         [x, act] { act(x, [x] { x->UserClick(); }); });
        return button;
    }
    if (auto *x = dynamic_cast<TEdit *>(c)) {
        auto *edit = new QLineEdit(parent);
        QObject::connect(edit, &QLineEdit::textEdited, [x, act](const QString &text) {
            act(x, [x, text] { x->UserSetText(text.toStdString()); });
        });
        return edit;
    }
    if (auto *x = dynamic_cast<TMemo *>(c)) {
        auto *memo = new QPlainTextEdit(parent);
        QObject::connect(memo, &QPlainTextEdit::textChanged, [x, memo, act] {
            const QString text = memo->toPlainText();
            if (text != MemoText(x))
                act(x, [x, text] { x->UserSetText(text.toStdString()); });
        });
        return memo;
    }
    if (auto *x = dynamic_cast<TSpinEdit *>(c)) {
        auto *spin = new QSpinBox(parent);
        QObject::connect(spin, &QSpinBox::valueChanged, [x, act](int value) {
            if (value != x->Value())
                act(x, [x, value] { x->UserSetText(std::to_string(value)); });
        });
        return spin;
    }
    if (auto *x = dynamic_cast<TComboBox *>(c)) {
        auto *combo = new QComboBox(parent);
        QObject::connect(combo, &QComboBox::activated,
                         [x, act](int index) { act(x, [x, index] { x->UserSelect(index); }); });
        QObject::connect(combo, &QComboBox::editTextChanged, [x, combo, act](const QString &text) {
            if (combo->isEditable() && text != Qs(x->Text()))
                act(x, [x, text] { x->UserSetText(text.toStdString()); });
        });
        return combo;
    }
    if (dynamic_cast<TStatusBar *>(c))
        return new StatusBarFrame(parent);
    auto *label = new QLabel(parent); // labels, images and anything else
    label->setTextFormat(Qt::PlainText);
    return label;
}

void SyncControlWidget(TControl *c, QWidget *w) {
    ApplyHint(w, c);
    if (!dynamic_cast<TForm *>(c)) {
        w->setVisible(c->Visible());
        w->setEnabled(c->Enabled());
    } else {
        w->setEnabled(c->Enabled());
    }
    if (auto *x = dynamic_cast<TForm *>(c)) {
        w->setWindowTitle(Qs(x->Caption()));
        return;
    }
    if (auto *x = dynamic_cast<TRadioGroup *>(c)) {
        SyncRadioGroup(x, static_cast<RadioGroupBox *>(w));
        return;
    }
    if (dynamic_cast<TGroupBox *>(c)) {
        static_cast<QGroupBox *>(w)->setTitle(Qs(c->Caption()));
        return;
    }
    if (auto *x = dynamic_cast<TCheckBox *>(c)) {
        auto *box = static_cast<QCheckBox *>(w);
        box->setText(Qs(x->Caption()));
        box->setChecked(x->Checked());
        return;
    }
    if (dynamic_cast<TButton *>(c)) {
        static_cast<QPushButton *>(w)->setText(Qs(c->Caption()));
        return;
    }
    if (auto *x = dynamic_cast<TEdit *>(c)) {
        auto *edit = static_cast<QLineEdit *>(w);
        if (edit->text() != Qs(x->Text()))
            edit->setText(Qs(x->Text()));
        edit->setEchoMode(x->PasswordChar() ? QLineEdit::Password : QLineEdit::Normal);
        edit->setMaxLength(x->MaxLength() > 0 ? x->MaxLength() : 32767);
        ApplyColor(w, c->Color());
        return;
    }
    if (auto *x = dynamic_cast<TMemo *>(c)) {
        auto *memo = static_cast<QPlainTextEdit *>(w);
        const QString text = MemoText(x);
        if (memo->toPlainText() != text)
            memo->setPlainText(text);
        const TScrollStyle bars = x->ScrollBars();
        memo->setVerticalScrollBarPolicy(
            bars == ssVertical || bars == ssBoth ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        memo->setHorizontalScrollBarPolicy(bars == ssHorizontal || bars == ssBoth
                                               ? Qt::ScrollBarAlwaysOn
                                               : Qt::ScrollBarAlwaysOff);
        memo->setLineWrapMode(x->WordWrap() ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
        ApplyColor(w, c->Color());
        return;
    }
    if (auto *x = dynamic_cast<TSpinEdit *>(c)) {
        auto *spin = static_cast<QSpinBox *>(w);
        if (x->MinValue() == x->MaxValue())
            spin->setRange(INT_MIN, INT_MAX);
        else
            spin->setRange(x->MinValue(), x->MaxValue());
        spin->setSingleStep(x->Increment());
        if (spin->value() != x->Value())
            spin->setValue(x->Value());
        ApplyColor(w, c->Color());
        return;
    }
    if (auto *x = dynamic_cast<TComboBox *>(c)) {
        auto *combo = static_cast<QComboBox *>(w);
        combo->setEditable(x->Style() == csDropDown);
        SetItems(combo, x->Items(), [&] {
            combo->clear();
            for (const std::string &item : x->Items())
                combo->addItem(Qs(item));
        });
        if (combo->currentIndex() != x->ItemIndex())
            combo->setCurrentIndex(x->ItemIndex());
        if (combo->isEditable() && combo->currentText() != Qs(x->Text()))
            combo->setEditText(Qs(x->Text()));
        ApplyColor(w, c->Color());
        return;
    }
    if (auto *x = dynamic_cast<TStatusBar *>(c)) {
        SyncStatusBar(x, static_cast<StatusBarFrame *>(w));
        return;
    }
    auto *label = static_cast<QLabel *>(w);
    if (auto *x = dynamic_cast<TImage *>(c)) {
        QPixmap picture(Qs(x->Picture()));
        label->setPixmap(picture);
        // Centred in its bounds; scaled down only when it is larger.
        label->setAlignment(Qt::AlignCenter);
        label->setScaledContents(c->Width() > 0 && c->Height() > 0 &&
                                 (picture.width() > c->Width() || picture.height() > c->Height()));
        return;
    }
    label->setText(WithoutAccessKeys(c->Caption()));
}

std::string ShownText(const TControl *c, const QWidget *w) {
    QString s;
    if (dynamic_cast<const TForm *>(c))
        s = w->windowTitle();
    else if (auto *x = qobject_cast<const QGroupBox *>(w))
        s = x->title();
    else if (auto *x = qobject_cast<const QAbstractButton *>(w))
        s = x->text();
    else if (auto *x = qobject_cast<const QLineEdit *>(w))
        s = x->text();
    else if (auto *x = qobject_cast<const QPlainTextEdit *>(w))
        s = x->toPlainText();
    else if (auto *x = qobject_cast<const QSpinBox *>(w))
        s = x->text();
    else if (auto *x = qobject_cast<const QComboBox *>(w))
        s = x->currentText();
    else if (dynamic_cast<const TStatusBar *>(c)) {
        QStringList texts;
        for (const QLabel *l : w->findChildren<QLabel *>(Qt::FindDirectChildrenOnly))
            texts << l->text();
        s = texts.join(QLatin1Char('|'));
    } else if (auto *x = qobject_cast<const QLabel *>(w))
        s = x->text();
    return s.toStdString();
}

bool ShownChecked(const TControl *, const QWidget *w) {
    auto *b = qobject_cast<const QAbstractButton *>(w);
    return b && b->isChecked();
}

int ShownItemIndex(const TControl *c, const QWidget *w) {
    if (auto *x = qobject_cast<const QComboBox *>(w))
        return x->currentIndex();
    if (dynamic_cast<const TRadioGroup *>(c))
        return static_cast<const RadioGroupBox *>(w)->group_.checkedId();
    return -1;
}

std::string ShownToolTip(const QWidget *w) {
    return w->property(kToolTip).toString().toStdString();
}

QSize ShownPreferredSize(const QWidget *w) {
    const QSize hint = w->sizeHint();
    auto *button = qobject_cast<const QPushButton *>(w);
    if (!button)
        return hint;
    const QStyle *style = button->style();
    const int width = button->fontMetrics().horizontalAdvance(button->text().remove('&')) +
                      style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                      2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    return QSize(width, hint.height());
}

} // namespace pv
