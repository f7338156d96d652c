// Writes seed inputs for fuzz_patch into the folder given: small related files and the real patch
// between them, as u16 base length, base, patch. With a second folder, the patches that convert
// references also go there for fuzz_conversion, as u16 base length, base, u16 table length, the
// table's content, the rest of the patch.
#include "delta/FilePatch.h"

#include <QBuffer>
#include <QFile>
#include <QtEndian>
#include <zstd.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::fputs("usage: make_patch_seeds OUT_DIR [CONVERSION_DIR]\n", stderr);
        return 2;
    }
    const QByteArray text = QByteArrayLiteral("MZ program text with some code in it; ").repeated(40);
    // Calls, jumps and loads relative to the instruction, whose references the patch converts.
    const QByteArray code =
        QByteArrayLiteral("MZ") + QByteArray("\xE8\x10\x00\x00\x00\x48\x8D\x05\x20\xFF\xFF\xFF\x0F\x84\x08\x00\x00\x00"
                                             "\xFF\x15\x30\x00\x00\x00\x90\xC3",
                                             26)
                                      .repeated(30);
    // Blocks that call each other; inserting 16 bytes in the middle changes every call across it,
    // which only the converted patch follows.
    const auto calls = [](qsizetype inserted) {
        QByteArray out("MZ");
        const auto start = [inserted](int block) { return 2 + 16 * block + (block >= 200 ? inserted : 0); };
        for (int block = 0; block < 400; ++block) {
            if (block == 200)
                out += QByteArray(inserted, '\x90');
            const qint32 distance = qint32(start((block * 7919) % 400) - (out.size() + 5));
            out += '\xE8';
            out.append(reinterpret_cast<const char *>(&distance), 4);
            out += QByteArray("\x48\x89\xC7\x31\xC0\x5D\x41\x5C\x90\xC3\xCC", 11);
        }
        return out;
    };
    const QList<std::pair<QByteArray, QByteArray>> pairs = {
        {calls(0), calls(16)},
        {code, QByteArray(code).insert(390, QByteArray(16, '\x90'))}, // the length fuzz_conversion asks
        {text, QByteArray(text).replace(100, 8, "CHANGED!")},
        {text, text + QByteArrayLiteral("appended")},
        {QByteArray(), QByteArrayLiteral("from nothing")},
        {text.left(300), QByteArray()},
    };
    int n = 0;
    for (auto [base, target] : pairs) {
        QBuffer baseDevice(&base), targetDevice(&target);
        QByteArray patch;
        QBuffer patchDevice(&patch);
        baseDevice.open(QIODevice::ReadOnly);
        targetDevice.open(QIODevice::ReadOnly);
        patchDevice.open(QIODevice::WriteOnly);
        klv::delta::makePatch(baseDevice, targetDevice, patchDevice);
        QByteArray seed(2, '\0');
        qToLittleEndian<quint16>(quint16(base.size()), seed.data());
        QFile out(QString::fromLocal8Bit(argv[1]) + QStringLiteral("/seed%1").arg(++n));
        if (!out.open(QIODevice::WriteOnly) || out.write(seed + base + patch) < 0)
            return 1;
        constexpr qsizetype kTableAt = 40;
        if (argc < 3 || patch.size() < kTableAt || patch[32] != 1)
            continue;
        const quint32 tableLength = qFromLittleEndian<quint32>(patch.constData() + 36);
        QByteArray content(qsizetype(ZSTD_getFrameContentSize(patch.constData() + kTableAt, tableLength)), '\0');
        ZSTD_decompress(content.data(), size_t(content.size()), patch.constData() + kTableAt, tableLength);
        QByteArray tableSize(2, '\0');
        qToLittleEndian<quint16>(quint16(content.size()), tableSize.data());
        QFile conversion(QString::fromLocal8Bit(argv[2]) + QStringLiteral("/seed%1").arg(n));
        if (!conversion.open(QIODevice::WriteOnly) ||
            conversion.write(seed + base + tableSize + content + patch.mid(kTableAt + tableLength)) < 0)
            return 1;
    }
    return 0;
}
