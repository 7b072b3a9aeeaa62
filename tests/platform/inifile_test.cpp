// The settings file's text format: what QSettings writes is read exactly,
// what is written here QSettings reads exactly, and nothing in the file is
// ever turned into anything but text.

#include "platform/inifile.h"

#include "support/qtprint.h"
#include "support/testdir.h"

#include <QElapsedTimer>
#include <QSettings>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using platform::IniValue;
using platform::IniWithValue;

const QString kSection = QStringLiteral("Corvanel");

QStringList awkwardTexts()
{
    return {
        QString(),
        QStringLiteral("/plain/folder"),
        QStringLiteral("C:\\data,D:\\more,"),
        QStringLiteral(" leading and trailing "),
        QStringLiteral("\"quoted\" ; #hash = eq"),
        QStringLiteral("@Variant(not a variant)"),
        QStringLiteral("@@"),
        QStringLiteral("new\nline\ttab\rreturn"),
        QStringLiteral("ends with a backslash\\"),
        QString::fromUtf8("Ünïcødé ✓ 🙂"),
        QString(QChar(0)) + QStringLiteral("7 after a NUL, ") + QChar(1) + QStringLiteral("f after a control"),
        QString(QChar(0xd800)) + QStringLiteral("a lone surrogate"),
        QString(QChar(0x7f)) + QStringLiteral(";,=\\x41"),
    };
}

TEST(IniFile, TextsComeBackExactly)
{
    QByteArray content;
    const QStringList texts = awkwardTexts();
    for (int i = 0; i < texts.size(); ++i) {
        const std::optional<QByteArray> changed = IniWithValue(content, kSection, QStringLiteral("Key%1").arg(i), texts[i]);
        ASSERT_TRUE(changed) << i;
        content = *changed;
    }
    for (int i = 0; i < texts.size(); ++i)
        EXPECT_EQ(IniValue(content, kSection, QStringLiteral("Key%1").arg(i)), texts[i]) << i;
    EXPECT_FALSE(IniValue(content, kSection, QStringLiteral("Absent")).has_value());
    EXPECT_FALSE(IniValue(content, QStringLiteral("Other"), QStringLiteral("Key1")).has_value());
}

TEST(IniFile, ReadsWhatQSettingsWritesAndTheOtherWayRound)
{
    TestDir dir;
    const QStringList texts = awkwardTexts();
    const QString byQt = QString::fromStdString(dir.path("qt.conf"));
    {
        QSettings settings(byQt, QSettings::IniFormat);
        settings.beginGroup(kSection);
        for (int i = 0; i < texts.size(); ++i)
            settings.setValue(QStringLiteral("Key%1").arg(i), texts[i]);
        settings.endGroup();
        settings.setValue(QStringLiteral("Elsewhere/Key0"), QStringLiteral("another program's"));
    }
    const QByteArray written = QByteArray::fromStdString(readFile(byQt.toStdString()));
    for (int i = 0; i < texts.size(); ++i) {
        // QSettings itself cannot write a lone surrogate.
        if (texts[i].contains(QChar(0xd800)))
            continue;
        EXPECT_EQ(IniValue(written, kSection, QStringLiteral("Key%1").arg(i)), texts[i]) << i;
    }

    QByteArray ours = written;
    for (int i = 0; i < texts.size(); ++i)
        ours = *IniWithValue(ours, kSection, QStringLiteral("Key%1").arg(i), texts[i] + QStringLiteral("+"));
    const QString byUs = QString::fromStdString(dir.file("ours.conf", ours.toStdString()));
    QSettings settings(byUs, QSettings::IniFormat);
    for (int i = 0; i < texts.size(); ++i) {
        if (texts[i].contains(QChar(0xd800)))
            continue;
        EXPECT_EQ(settings.value(kSection + QStringLiteral("/Key%1").arg(i)).toString(), texts[i] + "+") << i;
    }
    EXPECT_EQ(settings.value(QStringLiteral("Elsewhere/Key0")).toString(), "another program's");
}

TEST(IniFile, HandEditedFilesAreReadAsTyped)
{
    const QByteArray content = "; a comment\n"
                               "  [Corvanel]  \r\n"
                               "LeftCombo = /a,/b, /c ,\r\n"
                               "RightCombo=\"/x, quoted\" ; a comment after the value\n"
                               "Continued=one\\\n two\n"
                               "Escaped=\\x263a\\101\\q\n"
                               "no equals sign here\n"
                               "[General]\n"
                               "Corvanel\\FromGeneral=yes\n"
                               "[Corvanel]\n"
                               "LeftComboIndex=1\n"
                               "LeftComboIndex=2\n";
    EXPECT_EQ(IniValue(content, kSection, "LeftCombo"), "/a,/b,/c,");
    EXPECT_EQ(IniValue(content, kSection, "RightCombo"), "/x, quoted");
    EXPECT_EQ(IniValue(content, kSection, "Continued"), "one two");
    EXPECT_EQ(IniValue(content, kSection, "Escaped"), QString(QChar(0x263a)) + "A");
    EXPECT_EQ(IniValue(content, kSection, "FromGeneral"), "yes");
    EXPECT_EQ(IniValue(content, kSection, "LeftComboIndex"), "2") << "the last one counts";
}

TEST(IniFile, TypedValuesAreNeverDeserialized)
{
    // Before, QSettings decoded these from the file: the list claims 2^31
    // entries, which had Qt try to allocate gigabytes.
    const QByteArray content = "[Corvanel]\n"
                               "LeftCombo=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\vQList<int>\\0\\x7f\\xff\\xff\\xf0)\n"
                               "RightCombo=\"@Variant(\\0\\0\\0\\v\\xff\\xff\\xff\\xff)\", /b\n"
                               "WindowState=@Rect(0 0 10 10)\n"
                               "FormHeight=@@7845\n"
                               "LeftComboIndex=@String(3)\n"
                               "RightComboIndex=@ByteArray(-1)\n";
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(IniValue(content, kSection, "LeftCombo"), "");
    EXPECT_EQ(IniValue(content, kSection, "RightCombo"), "");
    EXPECT_EQ(IniValue(content, kSection, "WindowState"), "");
    EXPECT_EQ(IniValue(content, kSection, "FormHeight"), "@7845");
    EXPECT_EQ(IniValue(content, kSection, "LeftComboIndex"), "3");
    EXPECT_EQ(IniValue(content, kSection, "RightComboIndex"), "-1");
    EXPECT_TRUE(IniValue(content, kSection, "LeftCombo").has_value()) << "the key is there all the same";
}

TEST(IniFile, WritingKeepsEveryOtherByte)
{
    const QByteArray content = "# written by another program\r\n"
                               "[Other]\r\n"
                               "Thing=@Variant(\\0\\0\\0\\x1)\r\n"
                               "\r\n"
                               "[Corvanel]\r\n"
                               "FormHeight=1 ; old\r\n"
                               "WindowState=0\r\n"
                               "\r\n"
                               "[Later]\r\n"
                               "X=\xff\xfe\r\n";
    const QByteArray replaced = *IniWithValue(content, kSection, "FormHeight", "7845");
    EXPECT_EQ(replaced, QByteArray(content).replace("FormHeight=1 ;", "FormHeight=7845;"));
    const QByteArray added = *IniWithValue(content, kSection, "LeftCombo", "/a,/b,");
    EXPECT_EQ(added, QByteArray(content).replace("WindowState=0\r\n", "WindowState=0\r\nLeftCombo=\"/a,/b,\"\n"));
    const QByteArray fresh = *IniWithValue("[Other]\nA=1", kSection, "WindowState", "2");
    EXPECT_EQ(fresh, "[Other]\nA=1\n\n[Corvanel]\nWindowState=2\n");
}

TEST(IniFile, ValueCutShortAtTheEndDoesNotSwallowTheNextOne)
{
    // The last, continued by a backslash at the end of its line, was found
    // by the fuzzer: the line written after it became part of it.
    for (const QByteArray &content : {QByteArray("[Corvanel]\nLeftCombo=\"/a,/b"), QByteArray("[Corvanel]\nA=x\\"),
                                      QByteArray("[Corvanel]\nA=\"x\\"), QByteArray("A=\""),
                                      QByteArray("[Corvanel]\nA=x\\\n")}) {
        SCOPED_TRACE(content.toStdString());
        const std::optional<QByteArray> changed = IniWithValue(content, kSection, "WindowState", "2");
        ASSERT_TRUE(changed);
        EXPECT_EQ(IniValue(*changed, kSection, "WindowState"), "2");
        EXPECT_TRUE(changed->startsWith(content)) << "the damaged value is closed, not dropped";
    }
}

} // namespace
