// What the two window hosts share: the answers given in place of the user (--yes, or a test's),
// and the record of every message box and note the dialog asked for.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/dialog_host.h"

namespace app {

struct WindowAnswers {
    bool answerYes = false;  // --yes: OK and Yes without showing the box
    // Answers in place of the user (tests); returns 0 to show the box after all.
    std::function<int(const std::string& text, const std::string& caption, MbButtons, MbIcon)> answer;

    // The button pressed for this box without showing it, or 0 when the box must be shown.
    int Given(const std::string& text, const std::string& caption, MbButtons buttons, MbIcon icon) const {
        int given = answer ? answer(text, caption, buttons, icon) : 0;
        if (given == 0 && answerYes) given = buttons == MbButtons::YesNo ? IDYES : IDOK;
        return given;
    }
    // Nobody is there to read a note.
    bool Unattended() const { return answerYes || static_cast<bool>(answer); }
};

// Every message box (shown or answered for the user) and note, in order; any thread.
class ShownLog {
public:
    struct Box {
        std::string text;
        std::string caption;
        MbButtons buttons;
        MbIcon icon;
        int answer;
    };
    void AddBox(Box box) {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.push_back(std::move(box));
    }
    void AddNote(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        notes_.push_back(text);
    }
    std::vector<Box> Boxes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return boxes_;
    }
    std::vector<std::string> Notes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return notes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Box> boxes_;
    std::vector<std::string> notes_;
};

}  // namespace app
