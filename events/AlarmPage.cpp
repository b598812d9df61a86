#include "AlarmPage.h"

#include <QRegularExpression>
#include <QString>

namespace {

// The modules' pages are small and always the same, so the patterns are
// compiled once.
const QRegularExpression &commentPattern()
{
    static const QRegularExpression re(QStringLiteral("<!--.*?-->"),
                                       QRegularExpression::DotMatchesEverythingOption);
    return re;
}

const QRegularExpression &blinkPattern()
{
    static const QRegularExpression re(QStringLiteral("<blink>(.*?)</blink>"));
    return re;
}

const QRegularExpression &selectPattern()
{
    static const QRegularExpression re(QStringLiteral("<select.+?name=\"?(.+?)\"?>(.+?)</select>"),
                                       QRegularExpression::DotMatchesEverythingOption);
    return re;
}

const QRegularExpression &optionPattern()
{
    static const QRegularExpression re(QStringLiteral(
        "<option\\s+?(selected)?\\s*?value=\"?(.+?)\"?\\s*?(selected)?\\s*?>"));
    return re;
}

// Only the first option tag counts: its value when it is marked selected,
// otherwise 1.
int selectedValue(const QString &selectBody)
{
    const QRegularExpressionMatch option = optionPattern().match(selectBody);
    if (!option.hasMatch())
        return 1;
    const bool selected = !option.capturedRef(1).isEmpty() || !option.capturedRef(3).isEmpty();
    return selected ? option.capturedRef(2).toInt() : 1;
}

} // namespace

AlarmPage AlarmPage::parse(const QByteArray &page)
{
    const int nul = page.indexOf('\0');
    QString text = QString::fromUtf8(nul < 0 ? page : page.left(nul));
    text.remove(commentPattern());
    text = text.toLower();

    AlarmPage result;

    int input = 0;
    auto blinks = blinkPattern().globalMatch(text);
    while (blinks.hasNext()) {
        const QRegularExpressionMatch blink = blinks.next();
        result.inputs.insert(++input, blink.capturedRef(1) == QLatin1String("on") ? 1 : 0);
    }

    auto selects = selectPattern().globalMatch(text);
    while (selects.hasNext()) {
        const QRegularExpressionMatch select = selects.next();
        const QString name = select.captured(1);
        const int number = name.midRef(3).toInt();
        if (name.startsWith(QLatin1String("gpo")))
            result.outputs.insert(number, selectedValue(select.captured(2)));
        else if (name.startsWith(QLatin1String("gpi")))
            result.states.insert(number, selectedValue(select.captured(2)));
    }

    return result;
}
