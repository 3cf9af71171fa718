// The library's callback: its reports become events, progress window
// updates and, for the questions of extraction, message boxes.
#include <cmath>
#include <cstring>

#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "zip/Zip.h"

namespace pv {

namespace {

std::string TextOf(const TZipCallbackInfo &info) {
    return std::string(info.Text, strnlen(info.Text, sizeof info.Text));
}

void SetText(TZipCallbackInfo &info, const std::string &text) {
    std::size_t n = std::min(text.size(), sizeof info.Text - 1);
    std::memcpy(info.Text, text.data(), n);
    info.Text[n] = '\0';
}

std::string Quote(const char *format, const std::string &value) {
    std::string s = format;
    auto at = s.find("%s");
    return at == std::string::npos ? s : s.replace(at, 2, value);
}

} // namespace

std::int32_t TZip::LibraryCallback(TZipCallbackInfo *info) {
    if (!info || !info->Caller)
        return -1;
    return static_cast<TZip *>(info->Caller)->Callback(*info);
}

std::int32_t TZip::Callback(TZipCallbackInfo &info) {
    if (!Cancel) {
        // Nothing may unwind through the library: a handler's exception stops
        // the operation and is raised again when the library has returned.
        try {
            HandleAction(info);
        } catch (...) {
            if (!callbackException_)
                callbackException_ = std::current_exception();
            Cancel = true;
        }
    }
    Application().ProcessMessages();
    return Cancel ? -1 : 0;
}

void TZip::HandleAction(TZipCallbackInfo &info) {
    TProgressForm *form = ShowProgressDialog ? progressForm_.get() : nullptr;
    switch (info.ActionCode) {
    case zacBeginFile:
        currentFile_ = TextOf(info);
        if (OnZEDBeginFileEvent)
            OnZEDBeginFileEvent(this, currentFile_, info.Number, batchCount_, totalBytesInBatch_);
        if (form) {
            form->Label.SetCaption(currentFile_);
            form->Center(form->Label);
        }
        break;
    case zacProgress:
        bytesDone_ += info.Number;
        if (OnZEDProgressEvent)
            OnZEDProgressEvent(this, currentFile_, info.Number, totalBytesInBatch_);
        if (form)
            form->Bar.SetPosition(static_cast<int>(std::lround(
                std::min<double>(static_cast<double>(bytesDone_) * progressScale_, 65535.0))));
        break;
    case zacEndBatch:
        if (OnZEDEndBatchEvent)
            OnZEDEndBatchEvent(this, skippedCount_, batchCount_, totalBytesInBatch_);
        if (form)
            form->Hide();
        break;
    case zacMessage:
        lastMessage_ = TextOf(info);
        if (traceStream_ && !lastMessage_.empty())
            traceStream_->Write(lastMessage_ + "\r\n");
        break;
    case zacBatchCount:
        batchCount_ = info.Number;
        break;
    case zacBatchBytes:
        totalBytesInBatch_ = info.Number;
        bytesDone_ = 0;
        skippedCount_ = 0;
        progressScale_ = info.Number > 0 ? 65535.0f / static_cast<float>(info.Number) : 1.0f;
        if (form)
            form->Bar.SetMax(65535);
        break;
    case zacPassword:
        AskPassword(info);
        break;
    case zacCrcError:
        AskCrcError(info);
        break;
    case zacOverwrite:
        AskOverwrite(info);
        break;
    case zacSkipped:
        if (skippedCount_++ == 0)
            skipReason_ = lastMessage_;
        break;
    default: // 0, 7 and anything unknown
        break;
    }
}

void TZip::HideProgress() {
    if (ShowProgressDialog && progressForm_)
        progressForm_->Hide();
}

void TZip::ShowProgressAgain() {
    if (ShowProgressDialog && progressForm_ && !Cancel)
        progressForm_->Show();
}

void TZip::AskPassword(TZipCallbackInfo &info) {
    HideProgress();
    std::string prompt = info.Number == 3 ? Quote("A new password is required for \"%s\"",
                                                  ExtractFileName(TextOf(info)))
                                          : std::string("Password is invalid, please retry ...");
    std::string answer;
    InputQuery(Application().Title, prompt, answer);
    if (!answer.empty()) {
        SetText(info, answer);
        info.AnswerFlag = 1;
        if (info.Number > 0)
            --info.Number;
    } else {
        if (MessageBox("No password was entered so the file will not be extracted...\nDo you "
                       "wish to continue extracting other files?",
                       Application().Title, MB_YESNO | MB_ICONQUESTION) != IDYES)
            Cancel = true;
        info.AnswerFlag = 0;
        info.Number = 0;
    }
    ShowProgressAgain();
}

void TZip::AskCrcError(TZipCallbackInfo &info) {
    HideProgress();
    int answer = MessageBox(
        Quote("\"%s\" may be corrupted (CRC error).\nExtract this file anyway? ...", TextOf(info)),
        Application().Title, MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2);
    if (answer == IDCANCEL || answer == 0)
        Cancel = true;
    else
        info.AnswerFlag = answer == IDYES ? 1 : 0;
    ShowProgressAgain();
}

void TZip::AskOverwrite(TZipCallbackInfo &info) {
    const bool older = info.AnswerFlag & 1;
    if (!(ExtractOptions & (ZipBit(0) | ZipBit(1) | ZipBit(3)))) {
        info.Number = 1;
        return;
    }
    if (ExtractOptions & (ZipBit(0) | ZipBit(1))) {
        info.Number = older ? 1 : 0;
        return;
    }
    HideProgress();
    int answer =
        older ? MessageBox(Quote("\"%s\" is older than the zipped file.\nOverwrite this file? ...",
                                 TextOf(info)),
                           Application().Title, MB_YESNOCANCEL | MB_ICONINFORMATION)
              : MessageBox(Quote("\"%s\" is the same age or newer than the zipped file.\nDo you "
                                 "really want to overwrite this file? ...",
                                 TextOf(info)),
                           Application().Title, MB_YESNOCANCEL | MB_ICONSTOP | MB_DEFBUTTON2);
    if (answer == IDCANCEL || answer == 0) {
        Cancel = true;
        info.Number = 0;
    } else {
        info.Number = answer == IDYES ? 1 : 0;
    }
    ShowProgressAgain();
}

} // namespace pv
