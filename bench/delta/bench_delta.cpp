// The maker's and the updater's work on one file, each as a process of its own so that run.sh can
// time it and read its peak RSS beside bsdiff and bspatch:
//
//   bench_delta make BASE TARGET PATCH [--level L] [--no-long] [--plain]
//   bench_delta apply BASE PATCH OUT LENGTH      (prints the length and SHA-256 of OUT)
//   bench_delta zlb FILE OUT.zlb                 (the whole package, as the updater fetches it today)

#include "archive/ZLBWriter.h"
#include "delta/FilePatch.h"
#include "platform/Exceptions.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace {

const char *const kUsage = "usage: bench_delta make BASE TARGET PATCH [--level L] [--no-long] [--plain]\n"
                           "       bench_delta apply BASE PATCH OUT LENGTH\n"
                           "       bench_delta zlb FILE OUT.zlb\n";

void open(QFile &file, QIODevice::OpenMode mode)
{
    if (!file.open(mode))
        throw klv::EInOutError(QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
}

int make(const QStringList &args)
{
    klv::delta::MakeOptions options;
    for (qsizetype i = 3; i < args.size(); ++i) {
        bool ok = true;
        if (args[i] == u"--level" && i + 1 < args.size())
            options.level = args[++i].toInt(&ok);
        else if (args[i] == u"--no-long")
            options.longDistance = false;
        else if (args[i] == u"--plain") // the references left as they are
            options.references = false;
        else
            ok = false;
        if (!ok) {
            std::fputs(kUsage, stderr);
            return 1;
        }
    }
    QFile base(args[0]);
    QFile target(args[1]);
    QFile patch(args[2]);
    open(base, QIODevice::ReadOnly);
    open(target, QIODevice::ReadOnly);
    open(patch, QIODevice::WriteOnly | QIODevice::Truncate);
    klv::delta::makePatch(base, target, patch, options);
    return 0;
}

int apply(const QStringList &args)
{
    bool ok = false;
    const qint64 length = args[3].toLongLong(&ok);
    if (!ok || length < 0) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    QFile base(args[0]);
    QFile patch(args[1]);
    QFile out(args[2]);
    open(base, QIODevice::ReadOnly);
    open(patch, QIODevice::ReadOnly);
    open(out, QIODevice::WriteOnly | QIODevice::Truncate);
    const klv::delta::Applied applied = klv::delta::applyPatch(base, patch, out, length);
    out.close();
    if (out.error() != QFileDevice::NoError)
        throw klv::EInOutError(QStringLiteral("%1: %2").arg(out.fileName(), out.errorString()));
    std::printf("%lld %s\n", static_cast<long long>(applied.length), applied.sha256.toHex().constData());
    return 0;
}

int zlb(const QStringList &args)
{
    klv::ZLBWriter writer(args[1]);
    writer.addFile(args[0], QFileInfo(args[0]).fileName());
    writer.finish();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString command = args.isEmpty() ? QString() : args.takeFirst();
    try {
        if (command == u"make" && args.size() >= 3)
            return make(args);
        if (command == u"apply" && args.size() == 4)
            return apply(args);
        if (command == u"zlb" && args.size() == 2)
            return zlb(args);
    } catch (const klv::Exception &e) {
        std::fprintf(stderr, "bench_delta: %s\n", e.what());
        return 1;
    }
    std::fputs(kUsage, stderr);
    return 1;
}
