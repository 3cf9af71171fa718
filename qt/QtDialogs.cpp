#include "qt/QtDialogs.h"

#include <map>

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "platform/Application.h"
#include "qt/ControlViews.h"

namespace pv {

namespace {

QString Lines(const std::string &text) {
    QString s = Qs(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QStringLiteral("\n\r"), QStringLiteral("\n")); // the help text's own line ends
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

QMessageBox::StandardButton ButtonOf(int id) {
    switch (id) {
    case IDOK:
        return QMessageBox::Ok;
    case IDCANCEL:
        return QMessageBox::Cancel;
    case IDABORT:
        return QMessageBox::Abort;
    case IDRETRY:
        return QMessageBox::Retry;
    case IDIGNORE:
        return QMessageBox::Ignore;
    case IDYES:
        return QMessageBox::Yes;
    case IDNO:
        return QMessageBox::No;
    default:
        return QMessageBox::NoButton;
    }
}

// A box without a caption is titled after its kind, as message dialogs are.
QString CaptionOf(const TMessageRequest &r) {
    if (!r.Caption.empty())
        return Qs(r.Caption);
    switch (r.Icon) {
    case TMsgIcon::Error:
        return QStringLiteral("Error");
    case TMsgIcon::Warning:
        return QStringLiteral("Warning");
    case TMsgIcon::Information:
        return QStringLiteral("Information");
    case TMsgIcon::Question:
        return QStringLiteral("Confirm");
    default:
        return Qs(Application().Title);
    }
}

} // namespace

int TQtDialogs::ShowMessage(const TMessageRequest &request) {
    QMessageBox box;
    box.setWindowTitle(CaptionOf(request));
    box.setTextFormat(Qt::PlainText);
    box.setText(Lines(request.Text));
    switch (request.Icon) {
    case TMsgIcon::Error:
        box.setIcon(QMessageBox::Critical);
        break;
    case TMsgIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case TMsgIcon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case TMsgIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    std::map<QAbstractButton *, int> ids;
    QAbstractButton *cancel = nullptr;
    for (int id : request.Buttons) {
        QPushButton *b = box.addButton(ButtonOf(id));
        if (!b)
            continue;
        ids[b] = id;
        if (id == request.DefaultButton)
            box.setDefaultButton(b);
        if (id == IDCANCEL)
            cancel = b;
    }
    if (!cancel && ids.size() == 1)
        cancel = ids.begin()->first; // a lone OK also answers Escape
    if (cancel)
        box.setEscapeButton(cancel);
    box.exec();
    auto it = ids.find(box.clickedButton());
    if (it != ids.end())
        return it->second;
    // Ended from outside (the program terminating): as if cancelled.
    return cancel ? ids[cancel] : request.DefaultButton;
}

bool TQtDialogs::InputQuery(const std::string &caption, const std::string &prompt,
                            std::string &value) {
    QInputDialog dialog;
    dialog.setWindowTitle(Qs(caption));
    dialog.setLabelText(Lines(prompt));
    dialog.setTextValue(Qs(value));
    if (dialog.exec() != QDialog::Accepted)
        return false;
    value = dialog.textValue().toStdString();
    return true;
}

bool TQtDialogs::BrowseForFolder(const TBrowseRequest &request, std::string &folder) {
    QFileDialog dialog(nullptr, Qs(request.Caption));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, request.DirectoriesOnly);
    if (!request.Title.empty())
        dialog.setLabelText(QFileDialog::LookIn, Qs(request.Title));
    QString start = Qs(request.InitialDir);
    if (start.isEmpty() || !QDir(start).exists())
        start = Qs(request.Root);
    dialog.setDirectory(start);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    QString chosen = QDir::cleanPath(dialog.selectedFiles().first());
    folder = chosen.toStdString();
    return true;
}

bool TQtDialogs::ShellOpen(const std::string &documentOrUrl) {
    if (documentOrUrl.empty())
        return false;
    const QUrl url =
        QUrl::fromUserInput(Qs(documentOrUrl), QDir::currentPath(), QUrl::AssumeLocalFile);
    return url.isValid() && QDesktopServices::openUrl(url);
}

} // namespace pv
