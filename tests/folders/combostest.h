#pragma once

#include "folders/foldercombos.h"
#include "platform/desktop/desktop.h"
#include "platform/settings.h"

#include "support/recordingdesktop.h"
#include "support/testdir.h"

#include <QComboBox>
#include <QStringList>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <utility>

// Two real combos in a window, a real settings file and a real folder tree.
// The store is prepared first, then start() runs what the main window runs at
// start-up.
class CombosTest : public ::testing::Test
{
protected:
    CombosTest()
    {
        left->setObjectName(QStringLiteral("Combo1"));
        right->setObjectName(QStringLiteral("Combo2"));
    }

    FolderCombos &start()
    {
        combos = std::make_unique<FolderCombos>(left, right);
        combos->setText(Side::Left, QString());
        combos->setText(Side::Right, QString());
        combos->LoadFolderHistories();
        combos->RestoreFolderSelections();
        return *combos;
    }

    // A folder of the tree as the combos hold it.
    QString folder(const std::string &relative) { return QString::fromStdString(dir.folder(relative)); }
    QString path(const std::string &relative) const { return QString::fromStdString(dir.path(relative)); }

    static QString stored(const char *key) { return platform::ReadSetting(QString::fromLatin1(key)); }
    static bool has(const char *key) { return platform::HasSetting(QString::fromLatin1(key)); }
    static void store(const char *key, const QString &value)
    {
        ASSERT_TRUE(platform::WriteSetting(QString::fromLatin1(key), value));
    }
    static QStringList items(const QComboBox *box)
    {
        QStringList texts;
        for (int i = 0; i < box->count(); ++i)
            texts.append(box->itemText(i));
        return texts;
    }

    TestSettings settings;
    TestDir dir;
    RecordingDesktop desktop;
    QWidget window;
    QComboBox *left = new QComboBox(&window); // owned by the window
    QComboBox *right = new QComboBox(&window);
    std::unique_ptr<FolderCombos> combos;
};
