// Renders the model's forms as Qt widgets. A form's window is built when the
// form is first shown; from then on every change of the model is carried to
// its widget, and the user's actions on the widgets go back to the model
// through its User* calls, which may refuse them (a focus move refused by an
// OnExit handler puts the focus back where the model keeps it).
#pragma once

#include <functional>
#include <unordered_map>

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "host/FrontEnd.h"
#include "platform/ui/View.h"

namespace pv {

class TForm;

class TFormRenderer : public TViewObserver {
  public:
    TFormRenderer();
    ~TFormRenderer() override;
    TFormRenderer(const TFormRenderer &) = delete;
    TFormRenderer &operator=(const TFormRenderer &) = delete;

    void ControlChanged(TControl *control, TChange what) override;
    void ControlDestroyed(TControl *control) override;
    TViewState Inspect(const TControl *control) const;

    // The user's actions on a form's window.
    void UserClose(TForm *form);
    void UserWindowState(TForm *form);
    // Events of the widgets (focus, clicks on labels, double clicks).
    bool Filter(QObject *watched, QEvent *event);

  private:
    class Syncing;

    QWidget *WidgetOf(const TControl *control) const;
    TControl *ControlOf(QObject *object) const;
    void Register(TControl *control, QWidget *widget);
    void Watch(QObject *object);
    void Forget(TControl *control);
    QWidget *BuildForm(TForm *form);
    void BuildTree(TControl *control, QWidget *parent);
    void Place(TControl *control, QWidget *widget);
    void SizeForm(TForm *form, QWidget *window);
    void ShowForm(TForm *form);
    void HideForm(TForm *form);
    void ApplyWindowState(TForm *form, QWidget *window);
    void FocusToModel(TForm *form);
    void MoveFocus(TControl *control);
    void Act(TControl *control, const std::function<void()> &call);

    std::unordered_map<const TControl *, QPointer<QWidget>> views_;
    std::unordered_map<const QObject *, TControl *> controls_;
    std::unique_ptr<QObject> filter_;
    TViewObserver *previous_ = nullptr;
    int syncing_ = 0;
    bool moving_ = false;
};

} // namespace pv
