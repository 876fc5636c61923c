#include "AlbumService.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QRandomGenerator>

namespace albumservice {

namespace {

// A small picture of diagonal bands in two colours picked by the seed.
QByteArray encodedPicture(quint32 seed) {
    QRandomGenerator random(seed);
    const QRgb first = random.generate() | 0xff000000u;
    const QRgb second = random.generate() | 0xff000000u;
    const int shift = int(random.bounded(40));
    QImage image(160, 120, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = ((x + y + shift) / 20) % 2 == 0 ? first : second;
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(85);
    if (!writer.write(image))
        qFatal("album-service: cannot encode a JPEG (%s)", qPrintable(writer.errorString()));
    return bytes;
}

} // namespace

QByteArray AlbumService::makeJpeg(qsizetype approximateSize, quint32 seed) {
    const QByteArray picture = encodedPicture(seed);
    constexpr qsizetype segmentHead = 4;    // FF FE and the two length bytes
    constexpr qsizetype maxPayload = 65533; // the length field counts itself
    qsizetype padding = approximateSize - picture.size();
    if (padding < segmentHead)
        return picture;

    // Comment segments go after the JFIF APP0 segment (right after SOI when there is none),
    // so the file stays a JPEG that every decoder reads.
    qsizetype insertAt = 2;
    if (picture.size() > 6 && uchar(picture[2]) == 0xFF && uchar(picture[3]) == 0xE0)
        insertAt = 4 + ((uchar(picture[4]) << 8) | uchar(picture[5]));

    QByteArray jpeg;
    jpeg.reserve(approximateSize);
    jpeg.append(picture.constData(), insertAt);
    const char filler = char('a' + seed % 26);
    while (padding >= segmentHead) {
        // Never leave less than one segment head over, so the total comes out exact.
        qsizetype payload = std::min(maxPayload, padding - segmentHead);
        const qsizetype left = padding - segmentHead - payload;
        if (left > 0 && left < segmentHead)
            payload -= segmentHead;
        const qsizetype length = payload + 2;
        jpeg.append('\xFF');
        jpeg.append('\xFE');
        jpeg.append(char(length >> 8));
        jpeg.append(char(length & 0xFF));
        jpeg.append(payload, filler);
        padding -= segmentHead + payload;
    }
    jpeg.append(picture.constData() + insertAt, picture.size() - insertAt);
    return jpeg;
}

} // namespace albumservice
