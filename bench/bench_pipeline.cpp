// The whole capture path under load: the phone simulator streams a recorded set of camera-like JPEGs over
// loopback, WebcamController receives, decodes, transforms and converts them, and the virtual camera
// writes them into a FIFO that this program drains. Printed next to each run: the decode-only floor of
// the same JPEGs, measured here in the same run with the same decoder, and the same frames through the
// whole-frame route (decode the picture, transform it, convert it) as the comparison. At the end, the
// targets of the capture path, each with PASS or FAIL.
//
//   bench_pipeline [--quick]
//   bench_pipeline --profile 720p-sent|720p-turned|1080p30[-whole]|soak [--frames N]
//
// --profile streams one run alone (banded route, or the whole-frame route with -whole), longer, with
// its decode floor and without the targets: what `perf record` is pointed at.
//
// Costs are CPU time of the capture thread per frame (receive, decode, transforms, conversion, write);
// latency is the controller's own measure, last byte received to write done. The preview runs add the
// window's preview feed, with this thread's event loop taking and scaling its copies as the window
// does, and once with this thread blocked for two seconds in the middle of the connection.

#include "connectionlistener.h"
#include "jpegdecoder.h"
#include "previewfeed.h"
#include "videoframe.h"
#include "webcamcontroller.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Of this process, or of the process pid.
long residentKiB(qint64 pid = 0)
{
    QFile statm(pid ? QStringLiteral("/proc/%1/statm").arg(pid) : QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Measures the capture thread's CPU time between the connection's start and end, on that thread.
class TimingListener : public ConnectionListener
{
public:
    void onConnected() override { m_start = threadCpuSeconds(); }
    void onConnectError(int code, int, int) override
    {
        std::fprintf(stderr, "connect error %d\n", code);
        m_done = true;
    }
    void onAborted() override { finish(); }
    void onDisconnected() override { finish(); }

    bool done() const { return m_done; }
    double cpuSeconds() const { return m_cpu; }

private:
    void finish()
    {
        m_cpu = threadCpuSeconds() - m_start;
        m_done = true;
    }
    double m_start = 0;
    std::atomic<double> m_cpu{0};
    std::atomic<bool> m_done{false};
};

// Reads and drops whatever the virtual camera writes into the FIFO.
class FifoDrain
{
public:
    // Opened here, before the connection starts: the camera only takes a FIFO that has a reader.
    explicit FifoDrain(const QString &path)
        : m_fd(::open(path.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK))
        , m_thread([this] {
            // Blocking while a writer is there; without one the FIFO reports its end at once. The
            // pages go to /dev/null by splice, uncopied, so the drain costs the measured thread no
            // cache and next to no CPU.
            ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
            const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            while (!m_stop) {
                const ssize_t moved = ::splice(m_fd, nullptr, sink, nullptr, 1 << 20, SPLICE_F_MOVE);
                if (moved > 0)
                    m_bytes += moved;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ::close(sink);
        })
    {
    }
    ~FifoDrain()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }

    long long bytes() const { return m_bytes; }

private:
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_bytes{0};
    std::thread m_thread;
};

enum class Preview { Off, On, OnBlocked };

struct Recording
{
    QString folder;
    int width;
    int height;
    std::vector<QByteArray> jpegs;
};

Recording record(const QString &simulator, const QString &folder, int width, int height, int count)
{
    const QString size = QStringLiteral("%1x%2").arg(width).arg(height);
    QProcess::execute(simulator, {QStringLiteral("--write-frames"), folder, QStringLiteral("--count"),
                                  QString::number(count), QStringLiteral("--size"), size});
    Recording r{folder, width, height, {}};
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name)) {
        QFile f(QDir(folder).filePath(name));
        f.open(QIODevice::ReadOnly);
        r.jpegs.push_back(f.readAll());
    }
    return r;
}

// The decode floor under the whole path, measured on the capture thread between the frames of the run
// it is set against: after every third frame it decodes the recording's next JPEG whole, with the same
// decoder and flags, and keeps that CPU time apart. This machine's speed drifts by up to a third within
// a minute, so a floor measured before or after a run measured the drift as much as the path; frame
// by frame, both see the same machine.
class InterleavedFloor
{
public:
    explicit InterleavedFloor(const Recording &r)
        : m_recording(r)
        , m_pixels(std::size_t(r.width) * std::size_t(r.height) * 3)
    {
    }

    void afterFrame()
    {
        if (++m_frames % 3 != 0)
            return;
        const QByteArray &jpeg = m_recording.jpegs[std::size_t(m_decodes) % m_recording.jpegs.size()];
        const double start = threadCpuSeconds();
        JpegDecoder decoder;
        decoder.init();
        decoder.decode(reinterpret_cast<const unsigned char *>(jpeg.constData()), jpeg.size(), m_pixels.data(),
                       m_recording.width, m_recording.height);
        m_seconds += threadCpuSeconds() - start;
        ++m_decodes;
    }

    // Read once the run's thread is done.
    double seconds() const { return m_seconds; }
    double perDecode() const { return m_decodes ? m_seconds / double(m_decodes) : 0; }

private:
    const Recording &m_recording;
    std::vector<unsigned char> m_pixels;
    long long m_frames = 0;
    long long m_decodes = 0;
    double m_seconds = 0;
};

// The frame counter and, when there is one, the preview feed, as the window has them.
class CountingPreview : public FrameObserver
{
public:
    CountingPreview(FrameCounter &counter, PreviewFeed *feed, InterleavedFloor &floor)
        : m_counter(counter)
        , m_feed(feed)
        , m_floor(floor)
    {
    }
    void onConnectionStarted() override
    {
        m_counter.onConnectionStarted();
        if (m_feed)
            m_feed->onConnectionStarted();
    }
    void onFrameReceived(VideoFrame &frame) override
    {
        if (m_feed)
            m_feed->onFrameReceived(frame);
    }
    bool onFrameWritten(const VideoFrame &frame, std::chrono::nanoseconds latency) override
    {
        if (m_feed)
            m_feed->onFrameWritten(frame, latency);
        const bool more = m_counter.onFrameWritten(frame, latency);
        m_floor.afterFrame();
        return more;
    }

private:
    FrameCounter &m_counter;
    PreviewFeed *m_feed;
    InterleavedFloor &m_floor;
};

struct Result
{
    long long frames = 0;
    double seconds = 0;
    double cpuPerFrame = 0; // the floor's decodes left out
    double floor = 0;       // CPU seconds per decode of the interleaved floor
    double meanLatency = 0;
    double maxLatency = 0;
    long rssAt1000 = -1;
    long rssAtEnd = -1;
};

// Starts the simulator streaming the recording, for one connection; returns its port.
int startSimulator(QProcess &server, const QString &simulator, const Recording &r, double fps)
{
    server.start(simulator, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--once"), QStringLiteral("--folder"),
                             r.folder, QStringLiteral("--size"), QStringLiteral("%1x%2").arg(r.width).arg(r.height),
                             QStringLiteral("--fps"), QString::number(fps)});
    QByteArray line;
    while (!line.contains('\n') && server.waitForReadyRead(10000))
        line += server.readAllStandardOutput();
    return line.trimmed().split(':').last().toInt();
}

// Streams frames of the recording through a controller into the FIFO, or with fifo empty into no
// camera at all (the camera fails to open and writes go nowhere): what the rest of the path costs. The
// banded route makes a frame's pixels only for a camera that takes them, so there it decodes nothing.
Result stream(const QString &simulator, const Recording &r, const QString &fifo, double fps, long long frames,
              bool transforms, bool wholeFrame, Preview preview = Preview::Off)
{
    qputenv("LUMO_VIRTUAL_CAMERA", fifo.isEmpty() ? QByteArray("/nonexistent/camera") : fifo.toLocal8Bit());
    QProcess server;
    const int port = startSimulator(server, simulator, r, fps);

    std::optional<FifoDrain> drain;
    if (!fifo.isEmpty())
        drain.emplace(fifo);
    TimingListener listener;
    Result result;
    {
        FrameCounter counter;
        counter.setLimit(frames);
        PreviewFeed feed;
        QImage shown;
        QObject::connect(&feed, &PreviewFeed::newFrame, &feed, [&] {
            const QImage copy = feed.takeNewest();
            if (!copy.isNull())
                shown = copy.scaled(640, 360, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }, Qt::QueuedConnection);
        InterleavedFloor floor(r);
        CountingPreview observer(counter, preview == Preview::Off ? nullptr : &feed, floor);
        WebcamController controller(&listener, &observer);
        controller.setFlipHorizontal(transforms);
        controller.setFlipVertical(transforms);
        controller.setRotation(transforms ? 1 : 0);
        controller.setWholeFrameRoute(wholeFrame);
        QElapsedTimer wall;
        wall.start();
        controller.startWifi(QStringLiteral("127.0.0.1"), port);
        bool blocked = false;
        while (!listener.done()) {
            QCoreApplication::processEvents();
            QThread::msleep(5);
            if (result.rssAt1000 < 0 && counter.stats().frames >= 1000)
                result.rssAt1000 = residentKiB();
            if (preview == Preview::OnBlocked && !blocked && counter.stats().frames >= frames / 4) {
                blocked = true;
                QThread::msleep(2000);
            }
        }
        controller.wait();
        result.seconds = wall.elapsed() / 1000.0;
        result.rssAtEnd = residentKiB();
        const FrameCounter::Stats stats = counter.stats();
        result.frames = stats.frames;
        result.cpuPerFrame = (listener.cpuSeconds() - floor.seconds()) / double(std::max(1LL, stats.frames));
        result.floor = floor.perDecode();
        result.meanLatency = std::chrono::duration<double>(stats.totalLatency).count() / double(std::max(1LL, stats.frames));
        result.maxLatency = std::chrono::duration<double>(stats.maxLatency).count();
    }
    server.waitForFinished(5000);
    return result;
}

// Resident KiB of each mapping of process pid, by its start address and name, from /proc/pid/smaps.
std::map<QByteArray, long> residentByMapping(qint64 pid)
{
    std::map<QByteArray, long> sizes;
    QFile smaps(QStringLiteral("/proc/%1/smaps").arg(pid));
    if (!smaps.open(QIODevice::ReadOnly))
        return sizes;
    QByteArray mapping;
    for (const QByteArray &line : smaps.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 5 && fields[0].contains('-') && !fields[0].endsWith(':'))
            mapping = fields[0].split('-')[0] + ' ' + (fields.size() > 5 ? fields[5] : QByteArray("[anon]"));
        else if (fields.size() >= 2 && fields[0] == "Rss:")
            sizes[mapping] += fields[1].toLong();
    }
    return sizes;
}

// The mappings whose resident size changed between two readings, to stderr.
void printGrowth(const std::map<QByteArray, long> &before, const std::map<QByteArray, long> &after, long long frame)
{
    for (const auto &[mapping, kib] : after) {
        const auto was = before.find(mapping);
        const long old = was == before.end() ? 0 : was->second;
        if (kib != old)
            std::fprintf(stderr, "soak, frame %lld: %+ld KiB in %s\n", frame, kib - old, mapping.constData());
    }
}

// The soak runs the headless front end itself, with both mirrors and the quarter turn, into the FIFO:
// its resident memory is the product's, free of this program's widgets (the preview's runs link
// them). Frames are counted as the FIFO takes them.
Result soakHeadless(const QString &simulator, const Recording &r, const QString &fifo, long long frames)
{
    QProcess server;
    const int port = startSimulator(server, simulator, r, 0);
    FifoDrain drain(fifo);
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LUMO_VIRTUAL_CAMERA"), fifo);
    cli.setProcessEnvironment(env);
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.start(QStringLiteral(LUMO_WEBCAM_CLI),
              {QStringLiteral("--wifi"), QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--hflip"),
               QStringLiteral("--vflip"), QStringLiteral("--rotate"), QStringLiteral("90"), QStringLiteral("--frames"),
               QString::number(frames)});
    cli.waitForStarted();
    const long long frameBytes = (r.width & ~1) * 2LL * r.height;
    Result result;
    std::map<QByteArray, long> mappings;
    QElapsedTimer wall;
    wall.start();
    while (cli.state() == QProcess::Running) {
        const long rss = residentKiB(cli.processId());
        const long long written = drain.bytes() / frameBytes;
        // Only readings taken while frames are still to come count: the front end exits after its
        // last frame, and a reading during its exit is not the stream's. It runs ahead of the drain by
        // what the FIFO holds (the size of a frame, rounded up to a power of two) and the frame it is
        // writing: less than four frames.
        if (written + 4 < frames) {
            if (result.rssAt1000 < 0 && written >= 1000) {
                result.rssAt1000 = rss;
                mappings = residentByMapping(cli.processId());
            } else if (result.rssAt1000 >= 0 && rss > result.rssAtEnd && rss > 0) {
                // Growth after frame 1000 fails the target: say where it went.
                const std::map<QByteArray, long> now = residentByMapping(cli.processId());
                printGrowth(mappings, now, written);
                mappings = now;
            }
            // The last reading while it still streams.
            if (written >= 1000 && rss > 0)
                result.rssAtEnd = rss;
        }
        cli.waitForFinished(5);
    }
    result.seconds = wall.elapsed() / 1000.0;
    result.frames = drain.bytes() / frameBytes;
    server.waitForFinished(5000);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    // The machine is shared: each run is repeated, with its own floor, and the repetition with the
    // median ratio kept.
    const int repetitions = quick ? 1 : 3;
    const QString simulator = QStringLiteral(LUMO_PHONE_SIM);
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("camera.fifo"));
    ::mkfifo(fifo.toLocal8Bit().constData(), 0600);

    const int profileAt = int(app.arguments().indexOf(QStringLiteral("--profile")));
    if (profileAt >= 0) {
        const QString what = app.arguments().value(profileAt + 1);
        if (what == QStringLiteral("soak")) {
            const Recording vga = record(simulator, dir.filePath(QStringLiteral("480p")), 640, 480, 60);
            const Result soak = soakHeadless(simulator, vga, fifo, 10000);
            std::printf("soak: %lld frames in %.1f s, resident %ld KiB at frame 1000, %ld KiB at the end\n", soak.frames,
                        soak.seconds, soak.rssAt1000, soak.rssAtEnd);
            return 0;
        }
        const bool fullHd = what.startsWith(QStringLiteral("1080p30"));
        const Recording r = fullHd ? record(simulator, dir.filePath(QStringLiteral("1080p")), 1920, 1080, 60)
                                   : record(simulator, dir.filePath(QStringLiteral("720p")), 1280, 720, 60);
        const int framesAt = int(app.arguments().indexOf(QStringLiteral("--frames")));
        const long long frames = framesAt >= 0 ? app.arguments().value(framesAt + 1).toLongLong() : fullHd ? 600 : 3000;
        const Result b = stream(simulator, r, fifo, fullHd ? 30 : 0, frames,
                                !what.startsWith(QStringLiteral("720p-sent")), what.endsWith(QStringLiteral("-whole")));
        std::printf("%s: %lld frames, cpu/frame %.3f ms, latency %.2f ms, decode floor %.3f ms\n", qPrintable(what),
                    b.frames, b.cpuPerFrame * 1e3, b.meanLatency * 1e3, b.floor * 1e3);
        return 0;
    }

    std::printf("%-34s %7s %8s %10s %10s %6s %-18s %s\n", "run", "frames", "fps", "cpu/frame", "decode", "ratio",
                "latency mean (max)", "whole-frame route: ratio, latency");
    struct Run
    {
        Result banded;
        Result whole;
        double ratio() const { return banded.cpuPerFrame / banded.floor; }
    };
    const auto run = [&](const char *name, const Recording &r, double fps, long long frames, bool transforms,
                         bool camera = true, Preview preview = Preview::Off) {
        std::vector<Run> runs;
        for (int i = 0; i < repetitions; ++i) {
            const QString target = camera ? fifo : QString();
            runs.push_back(Run{stream(simulator, r, target, fps, frames, transforms, false, preview),
                               stream(simulator, r, target, fps, frames, transforms, true, preview)});
        }
        // The repetition whose banded route has the median ratio; all of them are printed, for the spread.
        std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.ratio() < b.ratio(); });
        const Run &median = runs[runs.size() / 2];
        const Result &b = median.banded;
        std::printf("%-34s %7lld %8.1f %8.3fms %8.3fms %6.2f %6.2fms (%6.2f)    %.2f, %.2fms   ratios", name, b.frames,
                    double(b.frames) / b.seconds, b.cpuPerFrame * 1e3, b.floor * 1e3, median.ratio(),
                    b.meanLatency * 1e3, b.maxLatency * 1e3, median.whole.cpuPerFrame / median.whole.floor,
                    median.whole.meanLatency * 1e3);
        for (const Run &each : runs)
            std::printf(" %.2f", each.ratio());
        std::printf("\n");
        std::fflush(stdout);
        return median;
    };

    const Recording hd = record(simulator, dir.filePath(QStringLiteral("720p")), 1280, 720, 60);
    const long long hdFrames = quick ? 300 : 1500;
    const Run hdSent = run("1280x720 as sent, max rate", hd, 0, hdFrames, false);
    const Run hdTurned = run("1280x720 h+v mirror, 90, max rate", hd, 0, hdFrames, true);
    run("1280x720 h+v mirror, 90, no camera", hd, 0, hdFrames, true, false);
    const Run hdOn = run("1280x720 h+v mirror, 90, preview", hd, 0, hdFrames, true, true, Preview::On);
    run("1280x720 h+v mirror, 90, preview, GUI 2 s blocked", hd, 0, hdFrames, true, true, Preview::OnBlocked);
    // The preview's whole cost on the capture thread is its copy, made at most kMaxUpdatesPerSecond
    // times a second; timed alone it is free of the noise of two runs: a 1280x720 frame with both
    // mirrors and the turn into the camera's frame, without a copy, with the copy taken from its bands,
    // and with the copy taken from its pixels afterwards (on this route a second decode).
    const auto frameCost = [&hd](int copy) {
        std::vector<unsigned char> yuyv(size_t(1280) * 720 * 2);
        QImage sample(426, 240, QImage::Format_BGR888);
        double best = 1e9;
        for (int round = 0; round < 5; ++round) {
            const double start = threadCpuSeconds();
            for (const QByteArray &jpeg : hd.jpegs) {
                VideoFrame frame(reinterpret_cast<const unsigned char *>(jpeg.constData()), int(jpeg.size()), 1280, 720);
                if (copy == 1)
                    frame.keepSample(sample.bits(), sample.bytesPerLine(), 3);
                frame.transform(true, true, 1);
                frame.toYuyv(yuyv.data(), 1280 * 2);
                if (copy == 2)
                    PreviewFeed::downscaled(frame.data(), 1280, 720);
            }
            best = std::min(best, (threadCpuSeconds() - start) / double(hd.jpegs.size()));
        }
        return best;
    };
    const double plain = frameCost(0);
    const double fromBands = frameCost(1) - plain;
    const double fromPixels = frameCost(2) - plain;
    const double copiedShare = double(PreviewFeed::kMaxUpdatesPerSecond) / 30.0;
    std::printf("    preview: %+.1f%% capture-thread CPU per frame measured; a copied frame costs %+.3f ms "
                "from its bands (at 30 fps %.2f%% of a frame's CPU), %+.3f ms from its pixels (%.1f%%)\n",
                100.0 * (hdOn.banded.cpuPerFrame / hdTurned.banded.cpuPerFrame - 1.0), fromBands * 1e3,
                100.0 * fromBands * copiedShare / plain, fromPixels * 1e3, 100.0 * fromPixels * copiedShare / plain);

    const Recording fhd = record(simulator, dir.filePath(QStringLiteral("1080p")), 1920, 1080, 60);
    const Run at30 = run("1920x1080 h+v mirror, 90, 30 fps", fhd, 30, quick ? 150 : 600, true);
    std::printf("    capture thread at 30 fps: %.1f%% of one core (whole-frame route %.1f%%)\n",
                100.0 * at30.banded.cpuPerFrame * double(at30.banded.frames) / at30.banded.seconds,
                100.0 * at30.whole.cpuPerFrame * double(at30.whole.frames) / at30.whole.seconds);

    const Recording vga = record(simulator, dir.filePath(QStringLiteral("480p")), 640, 480, 60);
    const long long soakFrames = quick ? 2000 : 10000;
    const Result soak = soakHeadless(simulator, vga, fifo, soakFrames);
    std::printf("640x480 h+v mirror, 90, soak of lumo-webcam-cli: %lld frames, resident memory %ld KiB at frame 1000, "
                "%ld KiB at the end\n",
                soak.frames, soak.rssAt1000, soak.rssAtEnd);

    // The targets. Ratios are to the decode floor of the same run; memory is the resident size of the
    // headless front end in the soak.
    int failures = 0;
    const auto check = [&failures](const char *what, double measured, double limit, const char *unit) {
        const bool pass = measured <= limit;
        failures += pass ? 0 : 1;
        std::printf("%-60s %10.2f %-4s at most %8.2f  %s\n", what, measured, unit, limit, pass ? "PASS" : "FAIL");
    };
    std::printf("\ntargets\n");
    check("1280x720 h+v mirror, 90, max rate: cpu/frame over decode", hdTurned.ratio(), 1.25, "x");
    check("1280x720 as sent, max rate: cpu/frame over decode", hdSent.ratio(), 1.15, "x");
    check("1920x1080 h+v mirror, 90, 30 fps: cpu/frame over decode", at30.ratio(), 1.45, "x");
    check("1280x720 h+v mirror, 90, max rate: latency over decode", hdTurned.banded.meanLatency / hdTurned.banded.floor,
          1.3, "x");
    check("1920x1080 h+v mirror, 90, 30 fps: latency over decode", at30.banded.meanLatency / at30.banded.floor, 1.3,
          "x");
    check("640x480 soak: resident growth from frame 1000 to the end", double(soak.rssAtEnd - soak.rssAt1000), 0, "KiB");
    check("640x480 soak: resident memory (before banding: 45,640 KiB)", double(soak.rssAtEnd), 45639, "KiB");
    return failures == 0 ? 0 : 1;
}
