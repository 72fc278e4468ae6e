#include "qt_user_prompt.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <future>

using namespace ostrel::vessolt;

namespace {

QMessageBox* openBox() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            return box;
    return nullptr;
}

} // namespace

TEST(QtUserPrompt, AWorkerQuestionIsShownByTheGuiThreadAndAnswered) {
    QtUserPrompt prompt;
    std::string seenText;
    std::string seenCaption;
    // Answers the box as soon as the GUI thread shows it.
    QTimer answerer;
    answerer.setInterval(10);
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        if (QMessageBox* box = openBox()) {
            seenText = box->text().toStdString();
            seenCaption = box->windowTitle().toStdString();
            box->button(QMessageBox::Cancel)->click();
        }
    });
    answerer.start();
    auto answer = std::async(std::launch::async, [&] {
        return prompt.ask(PromptIcon::Question, "Go on?", kProductName, PromptButtons::OkCancel);
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < end)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(answer.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
    EXPECT_EQ(answer.get(), PromptAnswer::Cancel);
    EXPECT_EQ(seenText, "Go on?");
    EXPECT_EQ(seenCaption, kProductName);
}

TEST(QtUserPrompt, AfterShutdownBeginsWorkerQuestionsGetTheirDefaultAndNoBoxAppears) {
    QtUserPrompt prompt;
    // Asked while the GUI thread is busy (as when it waits for the worker during shut-down).
    auto waiting = std::async(std::launch::async, [&] {
        return prompt.ask(PromptIcon::Warning, "Retry the node?", kProductName, PromptButtons::RetryCancel);
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    prompt.BeginShutdown();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), PromptAnswer::Retry);

    auto later = std::async(std::launch::async, [&] {
        return prompt.ask(PromptIcon::Question, "Save?", kProductName, PromptButtons::YesNo);
    });
    ASSERT_EQ(later.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    EXPECT_EQ(later.get(), PromptAnswer::Yes);

    // The abandoned question is not shown afterwards.
    QApplication::processEvents();
    EXPECT_EQ(openBox(), nullptr);
}
