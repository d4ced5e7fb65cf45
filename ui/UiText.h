#pragma once
// Text between the core (UTF-8 std::string) and Qt (QString).

#include <QString>
#include <string>
#include <string_view>

namespace uitext {

inline QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string S(const QString& text) { return text.toStdString(); }

// A message box's text: the core's texts break lines with "\r", "\r\n" and
// "\n" alike, and some end in empty lines.
inline QString BoxText(std::string_view text) {
    QString s = Q(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    while (s.endsWith(QLatin1Char('\n'))) s.chop(1);
    return s;
}

}  // namespace uitext
