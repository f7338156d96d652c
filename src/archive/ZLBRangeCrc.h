#pragma once

#include <QFile>
#include <QList>
#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace klv::zlb {

// Takes the CRC-32 of byte ranges of a file on two threads. A worker sums the ranges one after
// the other, each block by block from its front, while the caller does other work, typically
// copying the same bytes. When the caller asks for a range's CRC it sums that range's remaining
// blocks from the back until it meets the worker, and the parts are joined with zlib's
// crc32_combine. Each thread reads with a handle and a buffer of its own, so they share nothing
// but the page cache.
class RangeCrc
{
public:
    struct Range
    {
        qint64 offset = 0;
        qint64 length = 0;
    };

    // The worker starts on the first range at once. Throws klv::Exception when the file cannot
    // be opened. Each length must be at most maxLength().
    RangeCrc(const QString &fileName, qsizetype blockSize, const QList<Range> &ranges);
    // Stops the worker, also within a range.
    ~RangeCrc();
    RangeCrc(const RangeCrc &) = delete;
    RangeCrc &operator=(const RangeCrc &) = delete;

    // The longest range that crc32_combine can join on this platform.
    static qint64 maxLength();

    // Helps with range `index` and returns its CRC. Throws klv::Exception when the range could
    // not be read whole.
    quint32 finish(qsizetype index);

private:
    struct Reader
    {
        QFile file;
        std::unique_ptr<char[]> buffer;
    };
    struct Work
    {
        Range range;
        qint64 front = 0;      // blocks [front, back) are not yet claimed; the worker claims
        qint64 back = 0;       // at the front, the caller at the back
        quint32 frontCrc = 0;  // CRC of blocks [0, front) while none is in flight
        bool inFlight = false; // the worker sums block front - 1
        bool failed = false;
    };

    qint64 blockLength(const Work &work, qint64 index) const;
    bool sumBlock(Reader &reader, const Work &work, qint64 index, quint32 &crc) const;
    void run();

    const qsizetype FBlockSize;
    Reader FCaller;
    Reader FWorker;
    std::vector<Work> FWork; // fixed in size once the worker runs
    std::mutex FMutex;
    std::condition_variable FSignal;
    bool FStop = false;
    std::thread FThread; // last: started once everything above exists
};

} // namespace klv::zlb
