// Writes seed inputs for fuzz_patch into the folder given: small related files and the real patch
// between them, as u16 base length, base, patch.
#include "delta/FilePatch.h"

#include <QBuffer>
#include <QFile>
#include <QtEndian>
#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: make_patch_seeds OUT_DIR\n", stderr);
        return 2;
    }
    const QByteArray text = QByteArrayLiteral("MZ program text with some code in it; ").repeated(40);
    // Calls, jumps and loads relative to the instruction, whose references the patch converts.
    const QByteArray code =
        QByteArrayLiteral("MZ") + QByteArray("\xE8\x10\x00\x00\x00\x48\x8D\x05\x20\xFF\xFF\xFF\x0F\x84\x08\x00\x00\x00"
                                             "\xFF\x15\x30\x00\x00\x00\x90\xC3",
                                             26)
                                      .repeated(30);
    const QList<std::pair<QByteArray, QByteArray>> pairs = {
        {code, QByteArray(code).insert(200, QByteArray(40, '\x90'))},
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
    }
    return 0;
}
