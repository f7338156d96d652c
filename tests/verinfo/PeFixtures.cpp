#include "PeFixtures.h"

#include "TestSupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

namespace pefixtures {

namespace {

// A wide string literal: ASCII as it is, everything else as a four-digit \x escape.
QByteArray wideLiteral(const QString &text)
{
    QByteArray out = "L\"";
    for (QChar c : text) {
        if (c == u'"')
            out += "\"\"";
        else if (c == u'\\')
            out += "\\\\";
        else if (c.unicode() >= 0x20 && c.unicode() < 0x7F)
            out += char(c.unicode());
        else
            out += "\\x" + QByteArray::number(c.unicode(), 16).rightJustified(4, '0');
    }
    return out + '"';
}

QByteArray hex(quint32 value)
{
    return "0x" + QByteArray::number(value, 16);
}

} // namespace

QByteArray VersionRc::toRc() const
{
    if (!versionResource)
        return "1 RCDATA\nBEGIN\n  \"no version here\"\nEND\n";
    QByteArray rc = "1 VERSIONINFO\n"
                    "FILEVERSION 1,2,3,4\n"
                    "PRODUCTVERSION 5,6,7,8\n";
    rc += "FILEFLAGSMASK " + hex(flagsMask) + "\nFILEFLAGS " + hex(flags) + "\n";
    rc += "FILEOS 0x40004\nFILETYPE 0x1\nFILESUBTYPE 0x0\nBEGIN\n";
    if (!tables.isEmpty()) {
        rc += "  BLOCK \"StringFileInfo\"\n  BEGIN\n";
        for (const StringTable &table : tables) {
            rc += "    BLOCK \"" + table.block.toLatin1() + "\"\n    BEGIN\n";
            for (const auto &[key, value] : table.values)
                rc += "      VALUE \"" + key.toLatin1() + "\", " + wideLiteral(value) + "\n";
            rc += "    END\n";
        }
        rc += "  END\n";
    }
    if (!translations.isEmpty()) {
        rc += "  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\"";
        for (const auto &[language, codePage] : translations)
            rc += ", " + hex(language) + ", " + QByteArray::number(codePage);
        rc += "\n  END\n";
    }
    return rc + "END\n";
}

VersionRc fullRecipe()
{
    VersionRc rc;
    rc.flagsMask = 0x3F;
    rc.flags = 0x2B;
    rc.tables = {{"041304E4",
                  {{"CompanyName", "Kelvora B.V."},
                   {"FileDescription", "Automatisch updaten"},
                   {"FileVersion", "136.46.0.12"},
                   {"InternalName", "AutoUpdate"},
                   {"LegalCopyright", QString::fromUtf16(u"\u00A9 2024 Kelvora \u2013 be\u00EBindigd \u20AC")},
                   {"LegalTrademarks", QString::fromUtf16(u"Kelvora\u2122")},
                   {"OriginalFilename", "AutoUpdate.exe"},
                   {"ProductName", "Kelvora \"Pro\" C:\\Klv"},
                   {"ProductVersion", "136.46 build 7"},
                   {"Comments", QString::fromUtf16(u"Ohm \u03A9")},
                   {"IntegerVersion", "1010"}}},
                 {"040904B0", {{"CompanyName", "Kelvora Ltd"}, {"FileVersion", "9.9.9.9"}}}};
    rc.translations = {{0x413, 1252}, {0x409, 1200}};
    return rc;
}

QStringList architectures()
{
    return {QStringLiteral("pe32"), QStringLiteral("pe32+")};
}

QString build(const QString &arch, const VersionRc &rc, const QString &out)
{
    QTemporaryDir work;
    const QString rcFile = work.filePath(QStringLiteral("fixture.rc"));
    testsupport::writeFile(rcFile, rc.toRc());
    QByteArray output;
    const QString script = QDir(testsupport::toolsDir()).filePath(QStringLiteral("make-pe.sh"));
    if (testsupport::run(QStringLiteral("bash"), {script, arch, rcFile, out}, &output) != 0)
        return QString::fromLocal8Bit(output) + QStringLiteral("\n") + QString::fromLatin1(rc.toRc());
    return {};
}

qsizetype nodeOffset(const QByteArray &file, const QString &key, qsizetype from)
{
    QByteArray needle(reinterpret_cast<const char *>(key.utf16()), key.size() * 2);
    needle.append("\0\0", 2);
    const qsizetype at = file.indexOf(needle, from);
    return at < 6 ? -1 : at - 6;
}

qsizetype versionTreeOffset(const QByteArray &file)
{
    return nodeOffset(file, QStringLiteral("VS_VERSION_INFO"));
}

quint16 readU16(const QByteArray &bytes, qsizetype at)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

void writeU16(QByteArray &bytes, qsizetype at, quint16 value)
{
    qToLittleEndian<quint16>(value, bytes.data() + at);
}

bool sectionInfo(const QString &arch, const QString &file, const QString &section, SectionInfo &info)
{
    const QString objdump =
        arch == u"pe32" ? QStringLiteral("i686-w64-mingw32-objdump") : QStringLiteral("x86_64-w64-mingw32-objdump");
    QByteArray output;
    if (testsupport::run(objdump, {QStringLiteral("-h"), file}, &output) != 0)
        return false;
    // "  2 .rsrc  000001b0  00403000  00403000  00000800  2**2": size, VMA, LMA, file offset.
    const QRegularExpression line(
        QStringLiteral("^\\s*\\d+\\s+(\\S+)\\s+([0-9a-f]+)\\s+([0-9a-f]+)\\s+[0-9a-f]+\\s+([0-9a-f]+)"),
        QRegularExpression::MultilineOption);
    auto it = line.globalMatch(QString::fromLatin1(output));
    while (it.hasNext()) {
        const auto m = it.next();
        if (m.captured(1) == section) {
            info.size = m.captured(2).toLongLong(nullptr, 16);
            info.address = quint32(m.captured(3).toULongLong(nullptr, 16));
            info.fileOffset = m.captured(4).toLongLong(nullptr, 16);
            return true;
        }
    }
    return false;
}

QJsonObject exiftool(const QString &file)
{
    QByteArray output;
    if (testsupport::run(QStringLiteral("exiftool"), {QStringLiteral("-j"), file}, &output) != 0)
        return {};
    const QJsonDocument doc = QJsonDocument::fromJson(output);
    return doc.isArray() && !doc.array().isEmpty() ? doc.array().first().toObject() : QJsonObject();
}

} // namespace pefixtures
