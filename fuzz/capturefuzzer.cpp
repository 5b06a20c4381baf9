// The capture path under fuzzing: one input is what a phone sends over one connection.
//
//   byte 0      how the first frame is mirrored and turned (bit 0 left-right, bit 1 top-bottom,
//               bits 2-4 the turns, where 4 to 7 mean none); each later frame takes the next value
//   the rest    the phone's bytes: version reply, resolution reply, then frames
//
// The connection runs as the capture thread runs it: version and resolution queries, the size caps
// of the controller, then each frame received, decoded, transformed and converted to YUYV. Beyond
// what the sanitizers see, it aborts when a frame that failed to decode is not black, or when a
// decode that succeeded left any byte of its buffer unwritten.

#include "cameraprotocol.h"
#include "jpegdecoder.h"
#include "memorystream.h"
#include "videoframe.h"
#include "webcamcontroller.h"
#include "yuyv.h"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace {

// Frames per input: every frame after the first few takes the same paths again.
constexpr int maxFrames = 4;

// Frames larger than this take the same paths as smaller ones, only slower; the fuzzer spends its
// time better on more inputs.
constexpr long long maxFuzzPixels = 1LL << 20;

// libjpeg comes from the system, without the fuzzer's coverage hooks. One counter per libjpeg message
// (trace, warning, error) shows libFuzzer which messages an input leads to, and so which of libjpeg's
// paths it takes; libFuzzer keeps the inputs that reach new ones. Without libFuzzer they are unread.
__attribute__((section("__libfuzzer_extra_counters"))) std::uint8_t libjpegMessages[JMSG_LASTMSGCODE];

struct MessageCounter : jpeg_error_mgr
{
    std::jmp_buf escape;
};

void countMessage(j_common_ptr info)
{
    const int code = info->err->msg_code;
    if (code >= 0 && code < int(JMSG_LASTMSGCODE) && libjpegMessages[code] < 255)
        ++libjpegMessages[code];
}

// Decodes the JPEG as the capture path does, only to count libjpeg's messages on the way.
void countLibjpegMessages(const std::uint8_t *jpeg, std::size_t length, int width, int height)
{
    if (length == 0)
        return;
    std::vector<std::uint8_t> row(std::size_t(width) * 3);
    jpeg_decompress_struct info{};
    MessageCounter counter{};
    info.err = jpeg_std_error(&counter);
    counter.emit_message = [](j_common_ptr common, int) { countMessage(common); };
    counter.error_exit = [](j_common_ptr common) {
        countMessage(common);
        std::longjmp(static_cast<MessageCounter *>(common->err)->escape, 1);
    };
    if (setjmp(counter.escape) == 0) {
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, jpeg, length);
        jpeg_read_header(&info, TRUE);
        if (info.image_width == JDIMENSION(width) && info.image_height == JDIMENSION(height)) {
            info.out_color_space = JCS_EXT_BGR;
            info.dct_method = JDCT_IFAST;
            jpeg_start_decompress(&info);
            JSAMPROW rows[1] = {row.data()};
            while (info.output_scanline < info.output_height && jpeg_read_scanlines(&info, rows, 1) == 1) {
            }
        }
    }
    jpeg_destroy_decompress(&info);
}

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "capture fuzzer: %s\n", what);
        std::abort();
    }
}

// Decodes the JPEG into buffers that start out all 0x00 and all 0xff: a decode that succeeds must
// write every byte, so both must then hold the same picture.
void checkDecodeWritesEverything(const std::uint8_t *jpeg, std::size_t length, int width, int height)
{
    const std::size_t bytes = std::size_t(width) * std::size_t(height) * 3;
    std::vector<std::uint8_t> zeros(bytes, 0x00);
    std::vector<std::uint8_t> ones(bytes, 0xff);
    JpegDecoder first;
    if (!first.decode(jpeg, length, zeros.data(), width, height))
        return;
    JpegDecoder second;
    require(second.decode(jpeg, length, ones.data(), width, height) != 0, "a decode that succeeded failed again");
    require(zeros == ones, "a decode that succeeded left pixels unwritten");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 0x7fffffff)
        return 0;
    const int transformChoice = data[0];
    const std::uint8_t *wire = data + 1;
    const int wireLength = int(size - 1);
    MemoryStream stream(QByteArray(reinterpret_cast<const char *>(wire), wireLength));
    CameraProtocol protocol(&stream);

    // The controller also ends the connection for a server version above its own; the fuzzer goes on,
    // which only reaches more.
    unsigned char major = 0, minor = 0, third = 0;
    int width = 0, height = 0;
    if (!protocol.queryVersion(major, minor, third) || !protocol.queryResolution(width, height)
        || !WebcamController::acceptsFrameSize(width, height) || (long long)width * height > maxFuzzPixels)
        return 0;

    std::vector<std::uint8_t> yuyv(std::size_t(width & ~1) * std::size_t(height) * 2);
    std::vector<std::uint8_t> bandedYuyv(yuyv.size());
    for (int i = 0; i < maxFrames; ++i) {
        const int frameStart = wireLength - stream.unreadBytes();
        const auto frame = protocol.receiveFrame(width, height);
        if (!frame)
            break;
        const std::uint8_t *jpeg = wire + frameStart + 4;
        const std::size_t jpegLength = std::size_t(wireLength - stream.unreadBytes() - frameStart - 4);
        countLibjpegMessages(jpeg, jpegLength, width, height);
        checkDecodeWritesEverything(jpeg, jpegLength, width, height);

        const std::uint8_t *pixels = frame->data();
        require(pixels != nullptr && frame->byteCount() == std::size_t(width) * std::size_t(height) * 3,
                "a frame within the caps got no pixel buffer");
        require(frame->isDecoded() || std::all_of(pixels, pixels + frame->byteCount(), [](std::uint8_t b) { return b == 0; }),
                "a frame that failed to decode is not black");

        const int choice = transformChoice + i;
        frame->transform((choice & 1) != 0, (choice & 2) != 0, (choice >> 2) & 7);
        bgrToYuyv(frame->data(), width, height, yuyv.data());

        // The same frame banded, decoded and transformed straight into the camera's frame.
        VideoFrame banded(jpeg, int(jpegLength), width, height);
        banded.transform((choice & 1) != 0, (choice & 2) != 0, (choice >> 2) & 7);
        banded.toYuyv(bandedYuyv.data(), (width & ~1) * 2);
        require(bandedYuyv == yuyv, "the banded route gave the camera other bytes than the whole-frame route");
    }
    return 0;
}
