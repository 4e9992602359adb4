#pragma once
// Who shows the library's message boxes. Libraries call messageBox(); a
// program installs a provider that shows real dialogs, tests install a
// recorder. Without either, boxes go to standard error and take the default
// button, so a process without a display never blocks on a box.

#include "platform/current_instance.h"

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

enum class MessageBoxButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MessageBoxIcon { None, Error, Warning, Information, Question };
enum class MessageBoxDefault { First, Second, Third };
enum class MessageBoxAnswer { Ok, Cancel, Yes, No };

const char* toString(MessageBoxAnswer answer);

// The answer of the default button; a default beyond the last button is the
// first button.
MessageBoxAnswer defaultAnswer(MessageBoxButtons buttons, MessageBoxDefault defaultButton);

// Implementations are called from any thread, also from several at once.
class UiProvider {
public:
    virtual ~UiProvider() = default;

    // Shows a modal box and returns the button taken. Closing the box without
    // a button answers Cancel where the box has one, else the default.
    virtual MessageBoxAnswer messageBox(const std::string& title, const std::string& text,
                                        MessageBoxButtons buttons, MessageBoxIcon icon,
                                        MessageBoxDefault defaultButton) = 0;

    // The sound that goes with a box of the icon.
    virtual void messageBeep(MessageBoxIcon icon) = 0;
};

// The default: writes each box to a stream (standard error) and answers the
// default button.
class ConsoleUiProvider : public UiProvider {
public:
    explicit ConsoleUiProvider(std::FILE* out = stderr) : out_(out) {}

    MessageBoxAnswer messageBox(const std::string& title, const std::string& text,
                                MessageBoxButtons buttons, MessageBoxIcon icon,
                                MessageBoxDefault defaultButton) override;
    void messageBeep(MessageBoxIcon icon) override;

private:
    std::FILE* out_;
    std::mutex mutex_;
};

// For tests: records every box and beep, answers from a script.
class RecordingUiProvider : public UiProvider {
public:
    struct Box {
        std::string title;
        std::string text;
        MessageBoxButtons buttons;
        MessageBoxIcon icon;
        MessageBoxDefault defaultButton;
        MessageBoxAnswer answer; // what the recorder answered
    };

    RecordingUiProvider() = default;
    explicit RecordingUiProvider(std::vector<MessageBoxAnswer> script);

    // Answers for the next boxes, in order; once used up, boxes take their
    // default button.
    void script(std::vector<MessageBoxAnswer> answers);

    MessageBoxAnswer messageBox(const std::string& title, const std::string& text,
                                MessageBoxButtons buttons, MessageBoxIcon icon,
                                MessageBoxDefault defaultButton) override;
    void messageBeep(MessageBoxIcon icon) override;

    std::vector<Box> boxes() const;
    std::vector<MessageBoxIcon> beeps() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::deque<MessageBoxAnswer> script_;
    std::vector<Box> boxes_;
    std::vector<MessageBoxIcon> beeps_;
};

// The process-wide provider. Installing null puts the console provider back.
// Returns the provider installed before.
std::shared_ptr<UiProvider> setUiProvider(std::shared_ptr<UiProvider> provider);
std::shared_ptr<UiProvider> uiProvider();

// Installs a provider for a scope and puts the previous one back.
using ScopedUiProvider = ScopedInstall<UiProvider, &setUiProvider>;

// Shows a box through the current provider (no lock held while it is open).
MessageBoxAnswer messageBox(const std::string& title, const std::string& text,
                            MessageBoxButtons buttons, MessageBoxIcon icon,
                            MessageBoxDefault defaultButton = MessageBoxDefault::First);
void messageBeep(MessageBoxIcon icon);

} // namespace platform
