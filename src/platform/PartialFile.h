#pragma once

#include "Exceptions.h"
#include "PartialDownload.h"

#include <QFile>
#include <QString>
#include <cstdint>
#include <optional>

namespace klv {

class BackgroundSha256;

// The partial file beside a destination that one transfer attempt writes the answer's body into,
// with the info file that lets a later attempt (also of a later process) continue it. It decides
// what an earlier attempt left is worth keeping, and at the end either puts the finished file in
// place or leaves only what can be continued.
class PartialFile
{
public:
    // Opens the partial file beside `destinationPath`. What an earlier attempt left is kept to be
    // continued when that is allowed (`continuable`) and its info says it is shorter than the file
    // it is part of; otherwise it goes. Throws EInOutError when the file cannot be created.
    PartialFile(const QString &destinationPath, bool continuable);
    PartialFile(const PartialFile &) = delete;
    PartialFile &operator=(const PartialFile &) = delete;

    // The bytes an earlier attempt left, and what its info says of the file they are part of.
    int64_t offset() const { return FOffset; }
    bool resuming() const { return FOffset > 0; }
    const partial::Info &stored() const { return FStored; }
    int64_t size() const { return FFile.size(); }

    // The answer continues what is there: those bytes go to `hasher` (when given) and writing goes
    // on after them. Throws the write error.
    void continueStored(BackgroundSha256 *hasher);
    // The answer is the whole file that `info` describes: what was there goes, its info first.
    // With `keepLater` the new info is due, to be written by keepInfo(). Throws the write error.
    void startWhole(const partial::Info &info, bool keepLater);
    // Writes the info that is due, if any; from then on the partial file may stay.
    void keepInfo();
    // Appends `size` bytes; throws the write error (and the file goes).
    void write(const char *data, qint64 size);
    // Whatever happens, the partial file and its info go (the file is not the one wanted, or they
    // could not be written).
    void discard() { FDiscard = true; }

    // Flushes and closes the file; false when its last bytes did not reach the disk.
    bool close();
    // Puts the closed file in place of the destination; throws EInOutError naming it when that
    // failed (and the file goes).
    void install();
    // After an attempt that did not put the file in place: what can be continued stays, with its
    // info written now if it was still due; everything else goes.
    void settle();

    // The error of a failed write, naming the destination ("Schijf vol" for a full disk).
    EInOutError writeError() const;

private:
    QString FDestination;
    QString FInfoPath;
    QFile FFile;
    partial::Info FStored;
    int64_t FOffset = 0;
    bool FResumable;                           // the partial file and its info may stay when this attempt fails
    bool FDiscard = false;                     // they must go whatever happens
    std::optional<partial::Info> FPendingInfo; // what the info file is to say, until it is written
};

} // namespace klv
