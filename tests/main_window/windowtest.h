#pragma once

#include "main_window/form1.h"
#include "platform/desktop.h"

#include "support/testdir.h"

#include <QList>
#include <QString>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>

// Stands in for the message box and the folder browser while it lives.
class RecordingDesktop : public platform::Desktop
{
public:
    RecordingDesktop() { platform::setDesktop(this); }
    ~RecordingDesktop() override { platform::setDesktop(nullptr); }

    void message(QWidget *, const QString &text, const QString &caption) override
    {
        messages.append({text, caption});
        if (onMessage)
            onMessage();
    }
    QString browseForFolder(QWidget *, const QString &prompt) override
    {
        prompts.append(prompt);
        return answer;
    }
    void openFile(const std::string &) override {}

    QList<std::pair<QString, QString>> messages;
    std::function<void()> onMessage; // runs while the message would be up
    QStringList prompts;
    QString answer;
};

// A main window over a fresh settings file, with an empty folder standing in
// for the program's folder (tests put pointer files there when they need them).
class WindowTest : public ::testing::Test
{
protected:
    ~WindowTest() override { window.reset(); }

    // Builds the window (its start-up runs here) without showing it.
    Form1 &create()
    {
        window = std::make_unique<Form1>(programFolder.root());
        return *window;
    }
    Form1 &createShown()
    {
        create();
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        return *window;
    }

    template<typename T>
    T *child(const char *name) const
    {
        T *found = window->findChild<T *>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    TestSettings settings;
    RecordingDesktop desktop;
    TestDir programFolder;
    std::unique_ptr<Form1> window;
};
