#include "sentpictures.h"

#include "jpegdecoder.h"
#include "jpegencoder.h"
#include "referencetransforms.h"
#include "testpicture.h"
#include "yuyvreference.h"

#include <QFile>

namespace {

std::vector<unsigned char> transformedPicture(const JpegBytes &jpeg, int width, int height, bool hflip, bool vflip,
                                              int turns)
{
    std::vector<unsigned char> picture(size_t(width) * height * 3);
    JpegDecoder decoder;
    decoder.init();
    if (!decoder.decode(jpeg.data(), jpeg.size(), picture.data(), width, height))
        return {};
    if (hflip)
        reference::flipHorizontal(picture.data(), width, height);
    if (vflip)
        reference::flipVertical(picture.data(), width, height);
    reference::rotate(picture.data(), width, height, turns);
    return picture;
}

} // namespace

PictureLoop::PictureLoop(int width, int height, int count)
    : width(width), height(height)
{
    for (int i = 0; i < count; ++i) {
        const std::vector<std::uint8_t> bgr = makeTestPicture(width, height, i);
        jpegs.push_back(encodeJpeg(bgr.data(), width, height, 95));
        QFile file(folder.filePath(QStringLiteral("frame-%1.jpg").arg(i)));
        const auto size = qint64(jpegs.back().size());
        if (!file.open(QIODevice::WriteOnly)
            || file.write(reinterpret_cast<const char *>(jpegs.back().data()), size) != size) {
            jpegs.clear();
            return;
        }
    }
}

std::vector<std::vector<unsigned char>> PictureLoop::transformed(bool hflip, bool vflip, int turns) const
{
    std::vector<std::vector<unsigned char>> pictures;
    for (const JpegBytes &jpeg : jpegs)
        pictures.push_back(transformedPicture(jpeg, width, height, hflip, vflip, turns));
    return pictures;
}


int pictureShown(const std::vector<std::vector<unsigned char>> &expected, int width, int height,
                 const unsigned char *yuyv)
{
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (!expected[i].empty() && compareBgrWithYuyv(expected[i].data(), width, height, yuyv).mean < 4.0)
            return int(i);
    }
    return -1;
}
