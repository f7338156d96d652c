#include "ZLBRangeCrc.h"

#include "ZLBFormat.h"

#include "platform/Exceptions.h"

#include <limits>
#include <zlib.h>

namespace klv::zlb {

namespace {

quint32 combine(quint32 first, quint32 second, qint64 secondLength)
{
    return static_cast<quint32>(crc32_combine(first, second, static_cast<z_off_t>(secondLength)));
}

} // namespace

RangeCrc::RangeCrc(const QString &fileName, qsizetype blockSize, const QList<Range> &ranges) : FBlockSize(blockSize)
{
    for (Reader *reader : {&FCaller, &FWorker}) {
        reader->file.setFileName(fileName);
        if (!reader->file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            throw Exception(QStringLiteral("Cannot open %1: %2").arg(fileName, reader->file.errorString()));
        reader->buffer = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(blockSize));
    }
    FWork.reserve(static_cast<size_t>(ranges.size()));
    for (const Range &range : ranges) {
        Q_ASSERT(range.offset >= 0 && range.length >= 0 && range.length <= maxLength());
        Work work;
        work.range = range;
        work.back = (range.length + blockSize - 1) / blockSize;
        FWork.push_back(work);
    }
    FThread = std::thread([this] { run(); });
}

RangeCrc::~RangeCrc()
{
    {
        const std::lock_guard lock(FMutex);
        FStop = true;
    }
    FThread.join();
}

qint64 RangeCrc::maxLength()
{
    return std::numeric_limits<z_off_t>::max();
}

quint32 RangeCrc::finish(qsizetype index)
{
    Work &work = FWork.at(static_cast<size_t>(index));
    quint32 back = 0;
    qint64 backLength = 0;
    std::unique_lock lock(FMutex);
    while (!work.failed && work.front < work.back) {
        const qint64 block = --work.back;
        lock.unlock();
        quint32 crc = 0;
        const bool read = sumBlock(FCaller, work, block, crc);
        const qint64 length = blockLength(work, block);
        back = combine(crc, back, backLength);
        backLength += length;
        lock.lock();
        work.failed = work.failed || !read;
    }
    FSignal.wait(lock, [&] { return !work.inFlight; });
    if (work.failed)
        throw Exception(QStringLiteral("Range cut short"));
    return combine(work.frontCrc, back, backLength);
}

qint64 RangeCrc::blockLength(const Work &work, qint64 index) const
{
    return std::min<qint64>(FBlockSize, work.range.length - index * FBlockSize);
}

bool RangeCrc::sumBlock(Reader &reader, const Work &work, qint64 index, quint32 &crc) const
{
    const qint64 length = blockLength(work, index);
    if (!reader.file.seek(work.range.offset + index * FBlockSize))
        return false;
    qint64 got = 0;
    while (got < length) {
        const qint64 piece = reader.file.read(reader.buffer.get() + got, length - got);
        if (piece <= 0)
            return false;
        got += piece;
    }
    crc = crc32(crc, reader.buffer.get(), length);
    return true;
}

void RangeCrc::run()
{
    std::unique_lock lock(FMutex);
    for (Work &work : FWork) {
        while (!FStop && !work.failed && work.front < work.back) {
            const qint64 block = work.front++;
            work.inFlight = true;
            quint32 crc = work.frontCrc;
            lock.unlock();
            const bool read = sumBlock(FWorker, work, block, crc);
            lock.lock();
            work.frontCrc = crc;
            work.inFlight = false;
            work.failed = work.failed || !read;
            FSignal.notify_all();
        }
        if (FStop)
            return;
    }
}

} // namespace klv::zlb
