// A window of the model: caption, visibility, closing with its query and
// events, modal display (not blocking), and the focus manager of its controls.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/ui/Control.h"

namespace pv {

enum TCloseAction { caNone, caHide, caFree, caMinimize };
enum TWindowState { wsNormal, wsMinimized, wsMaximized };

// System commands with Windows' values.
constexpr std::uint32_t SC_MINIMIZE = 0xF020;
constexpr std::uint32_t SC_MAXIMIZE = 0xF030;
constexpr std::uint32_t SC_CLOSE = 0xF060;
constexpr std::uint32_t SC_RESTORE = 0xF120;

constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;

// A form starts hidden.
class TForm : public TControl {
  public:
    explicit TForm(const std::string &name = "");
    ~TForm() override;

    // Visible (shown on screen) is TControl's; Show/Hide raise OnShow/OnHide
    // when the state changes.
    void Show();
    void Hide();
    // Shows the form as modal and returns at once: the modal phase lasts until
    // the form is closed or hidden. OnShow runs inside.
    void ShowModal();
    bool Modal() const { return modal_; }
    int ModalResult() const { return modalResult_; }
    // Closes the form (with the close query) when not mrNone.
    void SetModalResult(int result);

    // OnCloseQuery may refuse; OnClose picks the action (caHide by default).
    // Returns true when the form was closed (hidden or released).
    bool Close();
    // The action of the last successful Close.
    TCloseAction LastCloseAction() const { return lastAction_; }
    // caFree: the form asks its owner to free it. Called after OnClose; the
    // owner deletes the form (later, not inside this call stack if it can).
    TNotifyEvent OnRelease;
    // Runs OnDestroy once; the owner calls it before deleting the form.
    void Destroy();
    bool Destroyed() const { return destroyed_; }

    TWindowState WindowState() const { return windowState_; }
    void SetWindowState(TWindowState state);
    void BringToFront();

    int ClientWidth() const { return clientWidth_; }
    int ClientHeight() const { return clientHeight_; }
    void SetClientSize(int width, int height);

    // The window's system command (from the front end, or WM_SYSCOMMAND).
    // OnSysCommand may handle it; otherwise SC_MINIMIZE minimises, SC_RESTORE
    // restores, SC_CLOSE closes.
    void SysCommand(std::uint32_t command);
    std::function<void(TObject *Sender, std::uint32_t command, bool &handled)> OnSysCommand;

    // ---- focus manager ----
    TControl *ActiveControl() const { return active_; }
    // Moves the focus: the old control's OnExit runs first and may refuse by
    // throwing EAbort (the silent cancel) or by focusing itself again; the
    // focus then stays where it was and false is returned. Otherwise the new
    // control's OnEnter runs. A focus request from inside an OnExit redirects
    // the pending move. Other exceptions from the handlers propagate (from
    // OnExit with the focus kept). Controls that cannot take the focus now,
    // or that are not on this form, are refused.
    bool FocusControl(TControl *control);
    // Drops the focus without running OnExit (window hidden, control gone).
    void ClearFocus();

    TNotifyEvent OnShow;
    TNotifyEvent OnHide;
    std::function<void(TObject *Sender, bool &CanClose)> OnCloseQuery;
    std::function<void(TObject *Sender, TCloseAction &Action)> OnClose;
    TNotifyEvent OnDestroy;

  private:
    friend class TControl;
    void ControlGone(TControl *control);

    bool modal_ = false;
    int modalResult_ = mrNone;
    TCloseAction lastAction_ = caNone;
    bool destroyed_ = false;
    bool closing_ = false;
    TWindowState windowState_ = wsNormal;
    int clientWidth_ = 0, clientHeight_ = 0;

    TControl *active_ = nullptr;
    bool inExit_ = false;
    TControl *redirect_ = nullptr;
    bool redirected_ = false;
};

} // namespace pv
