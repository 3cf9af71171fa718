#include "platform/ScriptedDialogs.h"

namespace pv {

int TScriptedDialogs::ShowMessage(const TMessageRequest &request) {
    int result = request.DefaultButton;
    if (OnMessage) {
        result = OnMessage(request);
    } else if (!messages_.empty()) {
        result = messages_.front();
        messages_.pop_front();
    }
    TDialogRecord r;
    r.Kind = TDialogRecord::Message;
    r.Request = request;
    r.Caption = request.Caption;
    r.Prompt = request.Text;
    r.Result = result;
    records_.push_back(r);
    return result;
}

bool TScriptedDialogs::InputQuery(const std::string &caption, const std::string &prompt,
                                  std::string &value) {
    TDialogRecord r;
    r.Kind = TDialogRecord::Input;
    r.Caption = caption;
    r.Prompt = prompt;
    r.Value = value;
    bool ok = false;
    if (!inputs_.empty()) {
        ok = inputs_.front().Ok;
        if (ok)
            value = inputs_.front().Value;
        inputs_.pop_front();
    }
    r.Result = ok ? 1 : 0;
    records_.push_back(r);
    return ok;
}

bool TScriptedDialogs::BrowseForFolder(const TBrowseRequest &request, std::string &folder) {
    TDialogRecord r;
    r.Kind = TDialogRecord::Browse;
    r.Caption = request.Caption;
    r.Prompt = request.Title;
    r.Value = request.InitialDir;
    bool ok = false;
    if (!browses_.empty()) {
        ok = browses_.front().Ok;
        if (ok)
            folder = browses_.front().Value;
        browses_.pop_front();
    }
    r.Result = ok ? 1 : 0;
    records_.push_back(r);
    return ok;
}

bool TScriptedDialogs::ShellOpen(const std::string &documentOrUrl) {
    TDialogRecord r;
    r.Kind = TDialogRecord::Open;
    r.Value = documentOrUrl;
    bool ok = true;
    if (!opens_.empty()) {
        ok = opens_.front();
        opens_.pop_front();
    }
    r.Result = ok ? 1 : 0;
    records_.push_back(r);
    return ok;
}

std::vector<std::string> TScriptedDialogs::MessageTexts() const {
    std::vector<std::string> texts;
    for (const TDialogRecord &r : records_)
        if (r.Kind == TDialogRecord::Message)
            texts.push_back(r.Request.Text);
    return texts;
}

void TScriptedDialogs::Clear() {
    records_.clear();
    messages_.clear();
    inputs_.clear();
    browses_.clear();
    opens_.clear();
}

} // namespace pv
