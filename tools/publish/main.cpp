// klvpublish: publishes a release on the update server's tree and signs and checks its package
// lists, so that updaters with the maker's key accept what the server sends.

#include "CommandLine.h"
#include "Commands.h"

#include <QCoreApplication>
#include <cstdio>

using namespace klv;
using namespace klv::publish;

namespace {

const char *const kUsage =
    "Usage:\n"
    "  klvpublish keygen BASE\n"
    "      Makes a signing key pair: BASE.pub (public, for the updater's build) and BASE.key (secret,\n"
    "      readable by its owner only). Never replaces a file; prints the public key.\n"
    "  klvpublish release --release N --programs DIR --tree TREE [options]\n"
    "      Packs each file of DIR as TREE/supports/klvN/<name up to its last '.'>zlb and writes the sections\n"
    "      [KLVN], [SQLN] and [CMDN] of the package list, replacing those sections whole and keeping every\n"
    "      other one. The list loses its signature: sign the tree afterwards.\n"
    "      A file with a FileVersion is fetched when the installed one is older; a file without one is\n"
    "      numbered (fetched when the installation's number for it is below N). A file in a subfolder of\n"
    "      DIR (one level) needs the same file at the top: the updater fetches both from one package.\n"
    "      --scripts DIR        <k>.sql to supports/<k>.zlb, u<k>.sql to supports/u<k>.zlb; [SQLN] gets\n"
    "                           VERSIE= and UPDATE= the highest k of each kind (left out when there is none)\n"
    "      --list NAME          the list to write, whatsnew<customer key>.klv (default whatsnew.klv; repeatable)\n"
    "      --numbered FILE[=K]  FILE is numbered, with K (default N)\n"
    "      --forced FILE[=K]    FILE is always fetched (t, or tK)\n"
    "      --command LINE       a line of [CMDN], e.g. premielijst$premies.csv (repeatable, kept in order)\n"
    "      --previous DIR       the programs folder of an earlier release (repeatable): for each file that\n"
    "                           changed since, a patch from that copy as supports/klvN/<file>.<digest>.klvpatch,\n"
    "                           listed in [PATCHN]; an updater that has that copy fetches the patch instead\n"
    "                           of the package. A patch no smaller than its package is left out.\n"
    "      --patch-level L      zstd's level for the patches, 1 to 22 (default 19)\n"
    "  klvpublish sign --key BASE.key --tree TREE [--serial S] [--expires yyyy-MM-dd | --valid-days D]\n"
    "      Gives every TREE/supports/whatsnew*.klv its [SHA256] section (length and SHA-256 of every file\n"
    "      the list can make an updater fetch; a file it names that the tree lacks is an error), its\n"
    "      [SIGNED] section (with its own name: an updater refuses it under another) and its .sig. One\n"
    "      serial for all lists: by default one above the highest this tree was signed with (kept in\n"
    "      TREE/klvpublish-serial.txt); a given one must be above it.\n"
    "      Valid for 28 days unless --expires or --valid-days says otherwise; at most 42 days, since\n"
    "      updaters refuse a list valid further ahead. Sign again on a schedule (weekly).\n"
    "  klvpublish verify --key BASE.pub --tree TREE [--list NAME] [--today yyyy-MM-dd] [--serial-file FILE]\n"
    "                    [--previous DIR]...\n"
    "      Checks each list (or NAME) as the updater does: signature, expiry (on --today), serial (not below\n"
    "      the one in FILE, an installation's AutoUpdate.serial, which is only read), then every file of\n"
    "      [SHA256], and that every file the list can fetch has its line; each patch must make its\n"
    "      package's file from the earlier file it names, found in a --previous folder. Prints OK or FAIL with the\n"
    "      updater's message per list and file. --key may be repeated.\n"
    "  klvpublish --help\n"
    "Exit status: 0 done (verify: everything holds), 1 failed, 2 wrong usage.\n";

int run(QStringList args)
{
    if (args.isEmpty())
        throw UsageError(QStringLiteral("no command given"));
    const QString command = args.takeFirst();
    if (command == u"--help" || command == u"-h" || command == u"help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == u"keygen")
        return keygen(args);
    if (command == u"release")
        return release(args);
    if (command == u"sign")
        return sign(args);
    if (command == u"verify")
        return verify(args);
    throw UsageError(QStringLiteral("unknown command: %1").arg(command));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    try {
        return run(app.arguments().mid(1));
    } catch (const UsageError &e) {
        err(e.message());
        std::fputs("Try 'klvpublish --help'.\n", stderr);
        return kExitUsage;
    } catch (const std::exception &e) {
        err(exceptionMessage(e));
        return kExitFailure;
    }
}
