#include "platform/ui_provider.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace platform;

namespace {

constexpr const char* kTitle = "Driver Application Error :";

std::string readAll(std::FILE* f) {
    std::rewind(f);
    std::string out;
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        out.append(buffer, n);
    }
    return out;
}

} // namespace

TEST(UiProvider, DefaultAnswerIsTheDefaultButtonOrTheFirst) {
    using B = MessageBoxButtons;
    using D = MessageBoxDefault;
    using A = MessageBoxAnswer;
    EXPECT_EQ(defaultAnswer(B::YesNoCancel, D::First), A::Yes);
    EXPECT_EQ(defaultAnswer(B::YesNoCancel, D::Second), A::No);
    EXPECT_EQ(defaultAnswer(B::YesNoCancel, D::Third), A::Cancel);
    EXPECT_EQ(defaultAnswer(B::YesNo, D::Third), A::Yes);
    EXPECT_EQ(defaultAnswer(B::OkCancel, D::Second), A::Cancel);
    EXPECT_EQ(defaultAnswer(B::Ok, D::Second), A::Ok);
}

TEST(UiProvider, ConsoleWritesTheBoxAndTakesTheDefault) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ConsoleUiProvider console(out);
    const std::string text =
        "\tFunction Name: \tKORAL_GetErrorCode\n\tDisplay error codes continuous ?";
    EXPECT_EQ(console.messageBox(kTitle, text, MessageBoxButtons::YesNoCancel,
                                 MessageBoxIcon::Error, MessageBoxDefault::Second),
              MessageBoxAnswer::No);
    const std::string written = readAll(out);
    std::fclose(out);
    EXPECT_NE(written.find(kTitle), std::string::npos);
    EXPECT_NE(written.find(text), std::string::npos);
    EXPECT_NE(written.find("Yes/No/Cancel"), std::string::npos);
    EXPECT_NE(written.find("-> No"), std::string::npos);
}

TEST(UiProvider, WithoutAnInstalledProviderBoxesTakeTheirDefault) {
    setUiProvider(nullptr);
    EXPECT_NE(dynamic_cast<ConsoleUiProvider*>(uiProvider().get()), nullptr);
    EXPECT_EQ(messageBox(kTitle, "text", MessageBoxButtons::YesNoCancel, MessageBoxIcon::Error),
              MessageBoxAnswer::Yes);
}

TEST(UiProvider, RecorderAnswersFromItsScriptThenWithTheDefault) {
    auto recorder = std::make_shared<RecordingUiProvider>(std::vector{MessageBoxAnswer::No});
    ScopedUiProvider installed(recorder);
    EXPECT_EQ(messageBox(kTitle, "first", MessageBoxButtons::YesNoCancel, MessageBoxIcon::Error),
              MessageBoxAnswer::No);
    EXPECT_EQ(messageBox(kTitle, "second", MessageBoxButtons::YesNoCancel, MessageBoxIcon::Error),
              MessageBoxAnswer::Yes);
    messageBeep(MessageBoxIcon::Error);

    const auto boxes = recorder->boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].title, kTitle);
    EXPECT_EQ(boxes[0].text, "first");
    EXPECT_EQ(boxes[0].buttons, MessageBoxButtons::YesNoCancel);
    EXPECT_EQ(boxes[0].icon, MessageBoxIcon::Error);
    EXPECT_EQ(boxes[0].answer, MessageBoxAnswer::No);
    EXPECT_EQ(boxes[1].answer, MessageBoxAnswer::Yes);
    EXPECT_EQ(recorder->beeps(), std::vector{MessageBoxIcon::Error});

    recorder->clear();
    EXPECT_TRUE(recorder->boxes().empty());
    EXPECT_TRUE(recorder->beeps().empty());
}

TEST(UiProvider, ScopedProvidersNestAndRestore) {
    const auto outer = std::make_shared<RecordingUiProvider>();
    const auto inner = std::make_shared<RecordingUiProvider>();
    const auto before = uiProvider();
    {
        ScopedUiProvider a(outer);
        EXPECT_EQ(uiProvider(), outer);
        {
            ScopedUiProvider b(inner);
            messageBox("t", "x", MessageBoxButtons::Ok, MessageBoxIcon::None);
        }
        EXPECT_EQ(uiProvider(), outer);
    }
    EXPECT_EQ(uiProvider(), before);
    EXPECT_EQ(inner->boxes().size(), 1u);
    EXPECT_TRUE(outer->boxes().empty());
}

TEST(UiProvider, ProviderRunsWithoutTheProviderLock) {
    // A provider that looks up and replaces the current provider while its box
    // is open, as a presenter that hands over to another one might.
    class Reentrant : public RecordingUiProvider {
    public:
        MessageBoxAnswer messageBox(const std::string& title, const std::string& text,
                                    MessageBoxButtons buttons, MessageBoxIcon icon,
                                    MessageBoxDefault defaultButton) override {
            ScopedUiProvider nested(std::make_shared<RecordingUiProvider>());
            EXPECT_NE(uiProvider().get(), this);
            return RecordingUiProvider::messageBox(title, text, buttons, icon, defaultButton);
        }
    };
    auto provider = std::make_shared<Reentrant>();
    ScopedUiProvider installed(provider);
    EXPECT_EQ(messageBox("t", "x", MessageBoxButtons::OkCancel, MessageBoxIcon::Warning),
              MessageBoxAnswer::Ok);
    EXPECT_EQ(uiProvider(), provider);
}

TEST(UiProvider, BoxesFromManyThreadsEachTakeOneScriptedAnswer) {
    constexpr int kThreads = 8;
    constexpr int kEach = 50;
    constexpr int kScripted = 100;
    auto recorder = std::make_shared<RecordingUiProvider>(
        std::vector<MessageBoxAnswer>(kScripted, MessageBoxAnswer::No));
    ScopedUiProvider installed(recorder);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kEach; ++i) {
                messageBox(kTitle, "x", MessageBoxButtons::YesNoCancel, MessageBoxIcon::Error);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const auto boxes = recorder->boxes();
    ASSERT_EQ(boxes.size(), size_t{kThreads * kEach});
    int no = 0;
    for (const auto& b : boxes) {
        no += b.answer == MessageBoxAnswer::No ? 1 : 0;
    }
    EXPECT_EQ(no, kScripted);
}
