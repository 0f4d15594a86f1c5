#pragma once
#include <QString>

// Text that a page supplies (its title above all) is shown in the client's
// own widgets exactly as written: characters that those widgets would read
// as markup are escaped.
namespace PlainText {

// A lone '&' in a tab's or a menu entry's text would become a keyboard
// mnemonic and vanish.
inline QString forLabel(QString text)
{
    return text.replace(QLatin1Char('&'), QLatin1String("&&"));
}

// The text as written again, from a tab's or a menu entry's.
inline QString fromLabel(QString text)
{
    return text.replace(QLatin1String("&&"), QLatin1String("&"));
}

// "[*]" in a window title is the placeholder of the modified marker.
inline QString forWindowTitle(QString text)
{
    return text.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
}

// A tool tip shows text that looks like markup as rich text: escaped and
// marked as rich text, it shows as written.
inline QString forToolTip(const QString& text)
{
    if (text.isEmpty())
        return text;
    return QLatin1String("<qt>") + text.toHtmlEscaped() + QLatin1String("</qt>");
}

} // namespace PlainText
