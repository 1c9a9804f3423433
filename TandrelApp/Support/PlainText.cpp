#include "TandrelApp/Support/PlainText.h"

#include <QTextDocument>

namespace PlainText {

QString toolTip(const QString& text) {
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpacePre) : text;
}

QString toolTip(const std::string& text) {
    return toolTip(QString::fromStdString(text));
}

} // namespace PlainText
