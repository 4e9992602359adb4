#include "platform/ui_provider.h"

namespace platform {
namespace {

std::vector<MessageBoxAnswer> buttonsOf(MessageBoxButtons buttons) {
    switch (buttons) {
    case MessageBoxButtons::Ok:
        return {MessageBoxAnswer::Ok};
    case MessageBoxButtons::OkCancel:
        return {MessageBoxAnswer::Ok, MessageBoxAnswer::Cancel};
    case MessageBoxButtons::YesNo:
        return {MessageBoxAnswer::Yes, MessageBoxAnswer::No};
    case MessageBoxButtons::YesNoCancel:
        return {MessageBoxAnswer::Yes, MessageBoxAnswer::No, MessageBoxAnswer::Cancel};
    }
    return {MessageBoxAnswer::Ok};
}

const char* iconName(MessageBoxIcon icon) {
    switch (icon) {
    case MessageBoxIcon::None:
        return "";
    case MessageBoxIcon::Error:
        return " [error]";
    case MessageBoxIcon::Warning:
        return " [warning]";
    case MessageBoxIcon::Information:
        return " [information]";
    case MessageBoxIcon::Question:
        return " [question]";
    }
    return "";
}

CurrentInstance<UiProvider, ConsoleUiProvider>& current() {
    // Never destroyed: boxes may still be shown while statics are torn down.
    static auto* const instance = new CurrentInstance<UiProvider, ConsoleUiProvider>;
    return *instance;
}

} // namespace

const char* toString(MessageBoxAnswer answer) {
    switch (answer) {
    case MessageBoxAnswer::Ok:
        return "OK";
    case MessageBoxAnswer::Cancel:
        return "Cancel";
    case MessageBoxAnswer::Yes:
        return "Yes";
    case MessageBoxAnswer::No:
        return "No";
    }
    return "?";
}

MessageBoxAnswer defaultAnswer(MessageBoxButtons buttons, MessageBoxDefault defaultButton) {
    const auto all = buttonsOf(buttons);
    const auto index = static_cast<size_t>(defaultButton);
    return index < all.size() ? all[index] : all.front();
}

MessageBoxAnswer ConsoleUiProvider::messageBox(const std::string& title, const std::string& text,
                                               MessageBoxButtons buttons, MessageBoxIcon icon,
                                               MessageBoxDefault defaultButton) {
    const MessageBoxAnswer answer = defaultAnswer(buttons, defaultButton);
    std::string choices;
    for (MessageBoxAnswer b : buttonsOf(buttons)) {
        choices += choices.empty() ? "" : "/";
        choices += toString(b);
    }
    std::lock_guard lock(mutex_);
    std::fprintf(out_, "%s%s\n%s\n[%s] -> %s\n", title.c_str(), iconName(icon), text.c_str(),
                 choices.c_str(), toString(answer));
    std::fflush(out_);
    return answer;
}

// A console has no sound worth making.
void ConsoleUiProvider::messageBeep(MessageBoxIcon) {}

RecordingUiProvider::RecordingUiProvider(std::vector<MessageBoxAnswer> answers) {
    script(std::move(answers));
}

void RecordingUiProvider::script(std::vector<MessageBoxAnswer> answers) {
    std::lock_guard lock(mutex_);
    script_.insert(script_.end(), answers.begin(), answers.end());
}

MessageBoxAnswer RecordingUiProvider::messageBox(const std::string& title, const std::string& text,
                                                 MessageBoxButtons buttons, MessageBoxIcon icon,
                                                 MessageBoxDefault defaultButton) {
    std::lock_guard lock(mutex_);
    MessageBoxAnswer answer = defaultAnswer(buttons, defaultButton);
    if (!script_.empty()) {
        answer = script_.front();
        script_.pop_front();
    }
    boxes_.push_back(Box{title, text, buttons, icon, defaultButton, answer});
    return answer;
}

void RecordingUiProvider::messageBeep(MessageBoxIcon icon) {
    std::lock_guard lock(mutex_);
    beeps_.push_back(icon);
}

std::vector<RecordingUiProvider::Box> RecordingUiProvider::boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

std::vector<MessageBoxIcon> RecordingUiProvider::beeps() const {
    std::lock_guard lock(mutex_);
    return beeps_;
}

void RecordingUiProvider::clear() {
    std::lock_guard lock(mutex_);
    script_.clear();
    boxes_.clear();
    beeps_.clear();
}

std::shared_ptr<UiProvider> setUiProvider(std::shared_ptr<UiProvider> provider) {
    return current().set(std::move(provider));
}

std::shared_ptr<UiProvider> uiProvider() {
    return current().get();
}

MessageBoxAnswer messageBox(const std::string& title, const std::string& text,
                            MessageBoxButtons buttons, MessageBoxIcon icon,
                            MessageBoxDefault defaultButton) {
    return uiProvider()->messageBox(title, text, buttons, icon, defaultButton);
}

void messageBeep(MessageBoxIcon icon) {
    uiProvider()->messageBeep(icon);
}

} // namespace platform
