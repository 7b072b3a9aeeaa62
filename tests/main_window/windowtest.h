#pragma once

#include "main_window/form1.h"
#include "platform/desktop/desktop.h"

#include "support/recordingdesktop.h"
#include "support/testdir.h"

#include <QList>
#include <QString>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>

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
