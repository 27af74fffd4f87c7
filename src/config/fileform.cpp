#include "config/fileform.h"

const QString formsFolder = QStringLiteral("/.forms");

QString formPath(const QString& path, const FileForm& form)
{
    if (form.kind == FileForm::Kind::Compressed)
        return formsFolder + path + QStringLiteral(".zst");
    return formsFolder + path + QLatin1Char('.') + sha256Hex(form.base) + QStringLiteral(".patch");
}

bool parseSha256Hex(QStringView text, Sha256Digest* digest)
{
    if (text.size() != 64)
        return false;
    auto nibble = [](char16_t c) -> int {
        if (c >= u'0' && c <= u'9')
            return c - u'0';
        if (c >= u'a' && c <= u'f')
            return c - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c - u'A' + 10;
        return -1;
    };
    Sha256Digest parsed;
    for (int i = 0; i < 32; ++i) {
        const int high = nibble(text[2 * i].unicode());
        const int low = nibble(text[2 * i + 1].unicode());
        if (high < 0 || low < 0)
            return false;
        parsed[size_t(i)] = quint8(high << 4 | low);
    }
    *digest = parsed;
    return true;
}

QString sha256Hex(const Sha256Digest& digest)
{
    static const char digits[] = "0123456789abcdef";
    QString text(64, Qt::Uninitialized);
    QChar* out = text.data();
    for (const quint8 byte : digest) {
        *out++ = QLatin1Char(digits[byte >> 4]);
        *out++ = QLatin1Char(digits[byte & 15]);
    }
    return text;
}
