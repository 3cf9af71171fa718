// Dialogs for tests: records everything shown and answers from queues. With
// an empty queue a message box takes its default button, an input box or
// browser is cancelled and ShellOpen succeeds.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/Dialogs.h"

namespace pv {

struct TDialogRecord {
    enum Kind { Message, Input, Browse, Open } Kind = Message;
    TMessageRequest Request; // Message
    std::string Caption;     // Input, Browse
    std::string Prompt;      // Input prompt, Browse title
    std::string Value;       // Input: the prefilled value; Browse: initial dir; Open: target
    int Result = 0;          // Message: the ID returned; others: 1 OK/true, 0 cancel/false
};

class TScriptedDialogs : public TDialogService {
  public:
    int ShowMessage(const TMessageRequest &request) override;
    bool InputQuery(const std::string &caption, const std::string &prompt,
                    std::string &value) override;
    bool BrowseForFolder(const TBrowseRequest &request, std::string &folder) override;
    bool ShellOpen(const std::string &documentOrUrl) override;

    void QueueMessageResult(int id) { messages_.push_back(id); }
    void QueueInput(bool ok, const std::string &value = "") { inputs_.push_back({ok, value}); }
    void QueueBrowse(bool ok, const std::string &folder = "") { browses_.push_back({ok, folder}); }
    void QueueShellOpenResult(bool ok) { opens_.push_back(ok); }

    // Consulted before the queue when set: lets a test act while a box is up.
    std::function<int(const TMessageRequest &)> OnMessage;

    const std::vector<TDialogRecord> &Records() const { return records_; }
    // The texts of the message boxes shown, in order.
    std::vector<std::string> MessageTexts() const;
    void Clear();

  private:
    struct Answer {
        bool Ok;
        std::string Value;
    };
    std::vector<TDialogRecord> records_;
    std::deque<int> messages_;
    std::deque<Answer> inputs_;
    std::deque<Answer> browses_;
    std::deque<bool> opens_;
};

} // namespace pv
