#include "qt/FormRenderer.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLayout>
#include <QMouseEvent>
#include <QScreen>

#include "host/SurviverInstance.h"
#include "platform/Application.h"
#include "platform/ui/Ui.h"
#include "qt/ControlViews.h"

namespace pv {

// Changes the renderer makes itself: the widgets' signals and focus events
// they cause are not the user's.
class TFormRenderer::Syncing {
  public:
    explicit Syncing(TFormRenderer &r) : r_(r) { ++r_.syncing_; }
    ~Syncing() { --r_.syncing_; }

  private:
    TFormRenderer &r_;
};

namespace {

constexpr int kMargin = 8;

class EventFilter : public QObject {
  public:
    explicit EventFilter(TFormRenderer &r) : r_(r) {}
    bool eventFilter(QObject *watched, QEvent *event) override { return r_.Filter(watched, event); }

  private:
    TFormRenderer &r_;
};

// A form's window: its close box and its minimise button belong to the model.
class FormWindow : public QWidget {
  public:
    FormWindow(TFormRenderer &r, TForm *form) : r_(r), form_(form) {}
    ~FormWindow() override {
        if (form_)
            TsvSurviverInstance::Of(*form_).WindowCreated(0);
    }
    void Detach() { form_ = nullptr; }

  protected:
    void closeEvent(QCloseEvent *e) override {
        e->ignore();
        if (form_)
            r_.UserClose(form_);
    }
    void changeEvent(QEvent *e) override {
        QWidget::changeEvent(e);
        if (e->type() == QEvent::WindowStateChange && form_)
            r_.UserWindowState(form_);
    }
    // Every native window the form gets is attached to it, through its
    // surviver instance (the process's own association, never the server's).
    bool event(QEvent *e) override {
        if (e->type() == QEvent::WinIdChange && form_)
            TsvSurviverInstance::Of(*form_).WindowCreated(internalWinId());
        return QWidget::event(e);
    }

  private:
    TFormRenderer &r_;
    TForm *form_;
};

void ReportError(const std::exception &e) {
    if (auto *x = dynamic_cast<const Exception *>(&e))
        Application().HandleException(&Application(), *x);
    else
        Application().HandleException(&Application(), Exception(e.what()));
}

// Children placed without bounds go below the ones already there.
QPoint NextFreeSpot(QWidget *parent, QWidget *self) {
    int y = qobject_cast<QGroupBox *>(parent) ? 2 * kMargin + 4 : kMargin;
    for (QObject *o : parent->children()) {
        auto *w = qobject_cast<QWidget *>(o);
        if (w && w != self && !w->isWindow() && w->property("pvPlaced").toBool())
            y = std::max(y, w->geometry().bottom() + 1 + kMargin / 2);
    }
    return QPoint(kMargin, y);
}

} // namespace

TFormRenderer::TFormRenderer() : filter_(std::make_unique<EventFilter>(*this)) {
    previous_ = SetViewObserver(this);
}

TFormRenderer::~TFormRenderer() {
    SetViewObserver(previous_);
    std::vector<QPointer<QWidget>> windows;
    for (auto &entry : views_)
        if (entry.second && entry.second->isWindow())
            windows.push_back(entry.second);
    controls_.clear();
    views_.clear();
    for (auto &w : windows)
        delete w.data();
}

QWidget *TFormRenderer::WidgetOf(const TControl *control) const {
    auto it = views_.find(control);
    return it == views_.end() ? nullptr : it->second.data();
}

// The control a widget (or a part of it, such as a spin box's editor)
// stands for.
TControl *TFormRenderer::ControlOf(QObject *object) const {
    for (QObject *o = object; o; o = o->parent()) {
        auto it = controls_.find(o);
        if (it != controls_.end())
            return it->second;
        if (auto *w = qobject_cast<QWidget *>(o); w && w->isWindow())
            break;
    }
    return nullptr;
}

void TFormRenderer::Register(TControl *control, QWidget *widget) {
    views_[control] = widget;
    controls_[widget] = control;
    // Through the filter: the connection goes when the renderer goes.
    QObject::connect(widget, &QObject::destroyed, filter_.get(),
                     [this, widget](QObject *) { controls_.erase(widget); });
    Watch(widget);
}

void TFormRenderer::Watch(QObject *object) {
    object->installEventFilter(filter_.get());
    for (QObject *child : object->children())
        Watch(child);
}

void TFormRenderer::Forget(TControl *control) {
    auto it = views_.find(control);
    if (it == views_.end())
        return;
    QPointer<QWidget> w = it->second;
    views_.erase(it);
    if (!w)
        return;
    controls_.erase(w.data());
    if (auto *window = dynamic_cast<FormWindow *>(w.data())) {
        TsvSurviverInstance::Release(control);
        window->Detach();
        window->hide();
    }
    w->deleteLater();
}

void TFormRenderer::Act(TControl *control, const std::function<void()> &call) {
    if (syncing_)
        return;
    TForm *form = control->ParentForm();
    try {
        call();
    } catch (const std::exception &e) {
        ReportError(e);
    }
    // The call may have freed the control, its form or both.
    if (QWidget *w = WidgetOf(control)) {
        Syncing s(*this);
        SyncControlWidget(control, w);
    }
    if (form && WidgetOf(form))
        FocusToModel(form);
}

// ---- the model's changes ----

void TFormRenderer::ControlChanged(TControl *control, TChange what) {
    if (auto *form = dynamic_cast<TForm *>(control)) {
        if (what == TChange::Visible) {
            if (form->Visible())
                ShowForm(form);
            else
                HideForm(form);
            return;
        }
        QWidget *window = WidgetOf(form);
        if (!window)
            return;
        Syncing s(*this);
        switch (what) {
        case TChange::BringToFront:
            if (window->isVisible()) {
                ApplyWindowState(form, window);
                window->raise();
                window->activateWindow();
            }
            break;
        case TChange::WindowState:
            if (window->isVisible())
                ApplyWindowState(form, window);
            break;
        case TChange::Bounds:
            SizeForm(form, window);
            break;
        case TChange::Parent:
            break;
        default:
            SyncControlWidget(form, window);
            break;
        }
        return;
    }

    QWidget *w = WidgetOf(control);
    if (what == TChange::Parent) {
        Forget(control);
        if (QWidget *parent = control->Parent() ? WidgetOf(control->Parent()) : nullptr) {
            Syncing s(*this);
            BuildTree(control, parent);
        }
        return;
    }
    if (!w)
        return;
    Syncing s(*this);
    switch (what) {
    case TChange::Focus:
        if (TForm *form = control->ParentForm())
            FocusToModel(form);
        break;
    case TChange::Bounds:
        Place(control, w);
        break;
    case TChange::BringToFront:
        w->raise();
        break;
    case TChange::Repaint:
        SyncControlWidget(control, w);
        w->repaint();
        break;
    default:
        SyncControlWidget(control, w);
        break;
    }
}

void TFormRenderer::ControlDestroyed(TControl *control) {
    Forget(control);
}

// ---- building ----

QWidget *TFormRenderer::BuildForm(TForm *form) {
    auto *window = new FormWindow(*this, form);
    // In pixels, as the windows' fixed geometry is: text keeps fitting its
    // controls whatever the desktop's font resolution.
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(11);
    window->setFont(font);
    Register(form, window);
    for (TControl *child : form->Controls())
        BuildTree(child, window);
    SyncControlWidget(form, window);
    SizeForm(form, window);
    // Centred on the screen, as the program's windows are.
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
    }
    return window;
}

void TFormRenderer::BuildTree(TControl *control, QWidget *parent) {
    const TUserAction act = [this](TControl *c, const std::function<void()> &call) {
        Act(c, call);
    };
    QWidget *w = CreateControlWidget(control, parent, act);
    Register(control, w);
    for (TControl *child : control->Controls())
        BuildTree(child, w);
    SyncControlWidget(control, w);
    Place(control, w);
}

void TFormRenderer::Place(TControl *control, QWidget *w) {
    w->setProperty("pvPlaced", true);
    if (dynamic_cast<TStatusBar *>(control) && (control->Width() <= 0 || control->Height() <= 0)) {
        // Docked at the bottom of its parent.
        QWidget *parent = w->parentWidget();
        const int h = w->sizeHint().height();
        w->setGeometry(0, parent->height() - h, parent->width(), h);
        return;
    }
    if (control->Width() > 0 && control->Height() > 0) {
        w->setGeometry(control->Left(), control->Top(), control->Width(), control->Height());
        return;
    }
    // No bounds given: its natural size (or around its children) where there is room.
    QSize size = w->sizeHint();
    if (!w->layout() && !w->childrenRect().isEmpty() && qobject_cast<QGroupBox *>(w))
        size = QSize(w->childrenRect().right() + kMargin, w->childrenRect().bottom() + kMargin);
    if (control->Width() > 0)
        size.setWidth(control->Width());
    if (control->Height() > 0)
        size.setHeight(control->Height());
    QPoint at(control->Left(), control->Top());
    if (at.isNull())
        at = NextFreeSpot(w->parentWidget(), w);
    w->setGeometry(QRect(at, size));
}

void TFormRenderer::SizeForm(TForm *form, QWidget *window) {
    QSize size(form->ClientWidth(), form->ClientHeight());
    if (size.width() <= 0 || size.height() <= 0) {
        QRect around;
        for (QObject *o : window->children())
            if (auto *w = qobject_cast<QWidget *>(o); w && !w->isWindow() && w->isVisibleTo(window))
                around |= w->geometry();
        size =
            QSize(std::max(around.right() + kMargin, 120), std::max(around.bottom() + kMargin, 40));
    }
    window->setFixedSize(size);
    for (TControl *child : form->Controls())
        if (dynamic_cast<TStatusBar *>(child))
            if (QWidget *w = WidgetOf(child))
                Place(child, w);
}

// ---- forms on screen ----

void TFormRenderer::ShowForm(TForm *form) {
    Syncing s(*this);
    QWidget *window = WidgetOf(form);
    if (!window)
        window = BuildForm(form);
    const Qt::WindowModality modality = form->Modal() ? Qt::ApplicationModal : Qt::NonModal;
    if (window->windowModality() != modality) {
        window->hide(); // Qt takes a new modality only while hidden
        window->setWindowModality(modality);
    }
    ApplyWindowState(form, window);
    window->show();
    window->raise();
    window->activateWindow();
    FocusToModel(form);
}

void TFormRenderer::HideForm(TForm *form) {
    QWidget *window = WidgetOf(form);
    if (!window)
        return;
    Syncing s(*this);
    window->hide();
    window->setWindowModality(Qt::NonModal);
}

void TFormRenderer::ApplyWindowState(TForm *form, QWidget *window) {
    Qt::WindowStates state = window->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
    if (form->WindowState() == wsMinimized)
        state |= Qt::WindowMinimized;
    else if (form->WindowState() == wsMaximized)
        state |= Qt::WindowMaximized;
    if (state != window->windowState())
        window->setWindowState(state);
}

// Qt's focus goes where the model has it.
void TFormRenderer::FocusToModel(TForm *form) {
    TControl *active = form->ActiveControl();
    QWidget *w = active ? WidgetOf(active) : nullptr;
    if (!w || w->hasFocus() || w->isAncestorOf(QApplication::focusWidget()))
        return;
    Syncing s(*this);
    w->setFocus(Qt::OtherFocusReason);
}

void TFormRenderer::MoveFocus(TControl *control) {
    TForm *form = control->ParentForm();
    if (!form || form == control || form->ActiveControl() == control)
        return;
    moving_ = true;
    try {
        form->FocusControl(control); // may be refused: the focus then stays
    } catch (const std::exception &e) {
        moving_ = false;
        ReportError(e);
    }
    moving_ = false;
    if (WidgetOf(form))
        FocusToModel(form);
}

// ---- the user's actions ----

void TFormRenderer::UserClose(TForm *form) {
    Act(form, [form] { form->SysCommand(SC_CLOSE); });
}

void TFormRenderer::UserWindowState(TForm *form) {
    QWidget *window = WidgetOf(form);
    if (syncing_ || !window)
        return;
    const bool minimized = window->isMinimized();
    if (minimized && form->WindowState() != wsMinimized)
        Act(form, [form] { form->SysCommand(SC_MINIMIZE); });
    else if (!minimized && form->WindowState() == wsMinimized)
        Act(form, [form] { form->SysCommand(SC_RESTORE); });
    if ((window = WidgetOf(form)) && window->isVisible()) {
        Syncing s(*this);
        ApplyWindowState(form, window);
    }
}

bool TFormRenderer::Filter(QObject *watched, QEvent *event) {
    switch (event->type()) {
    case QEvent::ChildAdded:
        // Parts made later (radio buttons, a combo box's editor).
        if (auto *child = static_cast<QChildEvent *>(event)->child())
            Watch(child);
        return false;
    case QEvent::FocusIn:
        if (!syncing_ && !moving_)
            if (TControl *c = ControlOf(watched))
                MoveFocus(c);
        return false;
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            if (TControl *c = ControlOf(watched); c && !dynamic_cast<TForm *>(c))
                Act(c, [c] { c->UserDblClick(); });
        return false;
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            if (TControl *c = ControlOf(watched);
                c && ClickableByMouse(c) && controls_.count(watched))
                Act(c, [c] { c->UserClick(); });
        return false;
    default:
        return false;
    }
}

// ---- what is shown ----

TViewState TFormRenderer::Inspect(const TControl *control) const {
    TViewState v;
    QWidget *w = WidgetOf(control);
    if (!w)
        return v;
    v.Rendered = true;
    v.Visible = w->isVisible();
    v.Enabled = w->isEnabled();
    v.Focused = w->hasFocus() || w->isAncestorOf(QApplication::focusWidget());
    v.Checked = ShownChecked(control, w);
    v.ItemIndex = ShownItemIndex(control, w);
    v.Text = ShownText(control, w);
    v.ToolTip = ShownToolTip(w);
    const QSize preferred = ShownPreferredSize(w);
    v.PreferredWidth = preferred.width();
    v.PreferredHeight = preferred.height();
    const QRect g = w->geometry();
    v.Left = g.x();
    v.Top = g.y();
    v.Width = g.width();
    v.Height = g.height();
    const QPoint screen = w->mapToGlobal(QPoint(0, 0));
    v.ScreenX = screen.x();
    v.ScreenY = screen.y();
    return v;
}

} // namespace pv
