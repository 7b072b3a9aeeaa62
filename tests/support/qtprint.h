#pragma once

#include <QString>
#include <QStringList>

#include <ostream>

// Readable failures: Qt's strings as text in GoogleTest's messages.
void PrintTo(const QString &s, std::ostream *os);
void PrintTo(const QStringList &list, std::ostream *os);
