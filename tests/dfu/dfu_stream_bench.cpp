// Streams an image of the given size into a simulated board with zero poll time-out and prints
// the host CPU time it took. With --raw it only writes the same blocks into the same sink, which is
// the simulated device's own share of the work, as the reference for bench/dfu_stream.sh.

#include "dfuwrapper.h"
#include "simusb.h"

#include <QByteArray>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

constexpr qint64 MiB = 1048576;

double cpuSeconds(const rusage &u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool streamThroughDfu(qint64 total, int blockSize, const QByteArray &piece)
{
    simusb::DeviceSpec spec;
    spec.alts = {"rawemmc"};
    spec.transferSize = uint16_t(blockSize);
    simusb::DevicePtr board = simusb::attach(spec);
    board->knobs.sinkPath = "/dev/null";
    DfuWrapper dfu;
    bool ok = dfu.initialize() && dfu.findDevice(0x0451, 0x6165, QStringLiteral("rawemmc"), 1) &&
              dfu.beginStream(total);
    for (qint64 at = 0; ok && at < total; at += piece.size())
        ok = dfu.streamChunk(piece.constData(), qMin<qint64>(piece.size(), total - at));
    ok = ok && dfu.finishStream();
    if (!ok)
        fprintf(stderr, "stream failed: %s\n", qPrintable(dfu.lastError()));
    else if (board->receivedBytes("rawemmc") != uint64_t(total))
        ok = false;
    return ok;
}

bool writeRawBlocks(qint64 total, int blockSize, const QByteArray &piece)
{
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = true;
    for (qint64 at = 0; ok && at < total; at += blockSize) {
        const size_t n = size_t(qMin<qint64>(blockSize, total - at));
        ok = write(fd, piece.constData() + at % piece.size(), n) == ssize_t(n);
    }
    close(fd);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const bool raw = argc > 1 && strcmp(argv[1], "--raw") == 0;
    const int firstArg = raw ? 2 : 1;
    const qint64 total = (argc > firstArg ? atoll(argv[firstArg]) : 256) * MiB;
    const int blockSize = argc > firstArg + 1 ? atoi(argv[firstArg + 1]) : 4096;
    QByteArray piece(int(MiB), '\0');
    for (int i = 0; i < piece.size(); i++)
        piece[i] = char(i * 13);

    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    const bool ok =
        raw ? writeRawBlocks(total, blockSize, piece) : streamThroughDfu(total, blockSize, piece);
    getrusage(RUSAGE_SELF, &after);
    if (!ok)
        return 1;
    const double cpu = cpuSeconds(after) - cpuSeconds(before);
    printf("cpu %.3f s, per MiB %.1f us, peak RSS %.1f MB\n", cpu, cpu * 1e6 / double(total / MiB),
           double(after.ru_maxrss) / 1024.0);
    return 0;
}
