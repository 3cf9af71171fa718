// Where the main window's controls sit: a fixed client area of 385 x 444.
// The server group spans the top; below it the message, polling and options
// groups on the left and the logo with the buttons on the right; the status
// bar is docked at the bottom. Rows are 24 pixels apart, edits 21 high, and
// the labels of a row sit 3 pixels lower than its edit.
#include "app/FrmMain.h"

namespace pv {

namespace {

constexpr int kLabelLeft = 8;    // labels of a group
constexpr int kFieldLeft = 64;   // the fields beside them
constexpr int kFieldWidth = 209; // as the message editor's normal width
constexpr int kEditHeight = 21;
constexpr int kLabelHeight = 14;
constexpr int kCheckHeight = 17;
constexpr int kButtonHeight = 24;

void Row(TLabel &label, TControl &field, int top, int width = kFieldWidth) {
    label.SetBounds(kLabelLeft, top + 3, kFieldLeft - kLabelLeft - 2, kLabelHeight);
    field.SetBounds(kFieldLeft, top, width, kEditHeight);
}

} // namespace

void TfrmMain::PlaceControls() {
    // server, the whole width
    GroupBox1.SetBounds(4, 2, 377, 62);
    Row(Label1, edHost, 8);
    Label2.SetBounds(285, 11, 28, kLabelHeight);
    spinPort.SetBounds(316, 8, 57, kEditHeight);
    cboxAuth.SetBounds(kFieldLeft, 36, 120, kCheckHeight);
    btnAuth.SetBounds(285, 33, 88, kButtonHeight);

    // message: the editor's normal place is row six, its zoomed place the
    // whole group
    GroupBox2.SetBounds(4, 67, 281, 183);
    Row(Label3, edFrom, 12);
    Row(Label4, edTo, 36);
    Row(Label5, edCC, 60);
    Row(Label6, edBcc, 84);
    Row(Label7, edSubject, 108);
    Row(Label8, Memo1, 132);
    Row(Label9, ComboCharset, 156, 120);

    // polling
    GroupBox4.SetBounds(4, 253, 281, 105);
    Row(Label10, spinPollMin, 8, 52);
    ComboTime.SetBounds(120, 8, 44, kEditHeight);
    cboxPollOnStart.SetBounds(kLabelLeft, 34, 128, kCheckHeight);
    cboxRunOnce.SetBounds(140, 34, 133, kCheckHeight);
    Row(Label12, edPollDir, 56, kFieldWidth - 24);
    SpeedButton1.SetBounds(kFieldLeft + kFieldWidth - 22, 56, 22, kEditHeight);
    Row(Label13, edExtensions, 80);

    // options, three columns
    GroupBox3.SetBounds(4, 361, 281, 59);
    cboxLogging.SetBounds(8, 5, 70, kCheckHeight);
    cboxVerbose.SetBounds(8, 22, 70, kCheckHeight);
    cboxBackup.SetBounds(80, 5, 70, kCheckHeight);
    cboxArchive.SetBounds(80, 22, 70, kCheckHeight);
    cboxDelete.SetBounds(80, 39, 70, kCheckHeight);
    cboxZip.SetBounds(152, 5, 125, kCheckHeight);
    cboxSingleFilePerMail.SetBounds(152, 22, 125, kCheckHeight);
    cboxFilenames.SetBounds(152, 39, 125, kCheckHeight);

    // right column; its labels reach to the window's edge, where the time
    // of the next poll needs the room
    constexpr int left = 289, width = 88;
    Image1.SetBounds(left + (width - 64) / 2, 70, 64, 64);
    btnAbout.SetBounds(left, 140, width, kButtonHeight);
    btnReadme.SetBounds(left, 167, width, kButtonHeight);
    btnLog.SetBounds(left, 194, width, kButtonHeight);
    Label14.SetBounds(left, 228, 385 - left, kLabelHeight);
    lbNextPoll.SetBounds(left, 243, 385 - left, kLabelHeight);
    btnPoll.SetBounds(left, 263, width, kButtonHeight);
    btnStart.SetBounds(left, 290, width, kButtonHeight);
    btnStop.SetBounds(left, 317, width, kButtonHeight);
    btnExit.SetBounds(left, 396, width, kButtonHeight);
    // StatusBar1 has no bounds: it is docked at the bottom.
}

} // namespace pv
