#pragma once

#include "platform/desktop/desktop.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

// What a message box or a question would have shown.
struct Message
{
    QString text;
    QString caption;
    bool operator==(const Message &) const = default;
};

// Stands in for the message box, the folder browser and opening files while
// it lives: records what the program asked for.
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
    bool question(QWidget *, const QString &text, const QString &caption) override
    {
        questions.append({text, caption});
        return yes;
    }
    QString browseForFolder(QWidget *, const QString &prompt, const QString &startFolder) override
    {
        prompts.append(prompt);
        startFolders.append(startFolder);
        return answer;
    }
    void openFile(const std::string &path, const std::function<void()> &failed) override
    {
        opened.push_back(path);
        if (openFails && failed)
            failed();
    }

    QList<Message> messages;
    std::function<void()> onMessage;             // runs while the message would be up
    QList<Message> questions;
    bool yes = false;                             // the answer to every question
    QStringList prompts;
    QStringList startFolders; // where each browser opened
    QString answer; // what the browser hands back; empty is a cancel
    std::vector<std::string> opened;
    bool openFails = false; // nothing can open the files
};
