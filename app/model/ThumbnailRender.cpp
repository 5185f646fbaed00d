#include "app/model/ThumbnailRender.hpp"

#include "core/records/FileCategory.hpp"
#include "core/restore/FileRead.hpp"
#include "core/restore/Previews.hpp"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QTransform>
#include <cmath>
#include <libheif/heif.h>
#include <libraw/libraw.h>
#include <memory>
#include <poppler-qt6.h>

namespace vellary {
namespace {

QImage fit(QImage image, int maxPixels) {
    if (image.isNull() || (image.width() <= maxPixels && image.height() <= maxPixels)) return image;
    return image.scaled(maxPixels, maxPixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QImage viaQt(const char* data, std::size_t size, int maxPixels) {
    QByteArray held = QByteArray::fromRawData(data, static_cast<qsizetype>(size));
    QBuffer buffer(&held);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // The decoder scales while it decodes (JPEG by whole DCT factors), far cheaper than after.
    if (const QSize stored = reader.size();
        stored.isValid() && (stored.width() > maxPixels || stored.height() > maxPixels))
        reader.setScaledSize(stored.scaled(maxPixels, maxPixels, Qt::KeepAspectRatio));
    return fit(reader.read(), maxPixels);
}

QImage viaHeif(const Bytes& bytes, int maxPixels) {
    const std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                              heif_context_free);
    if (!context || heif_context_read_from_memory_without_copy(context.get(), bytes.data(),
                                                               bytes.size(), nullptr)
                            .code != heif_error_Ok)
        return {};
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(
        rawHandle, heif_image_handle_release);
    heif_image* rawImage = nullptr;
    // Decoding applies the rotation and mirroring the file records.
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                          heif_chroma_interleaved_RGBA, nullptr)
            .code != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage,
                                                                           heif_image_release);
    int stride = 0;
    const auto* plane =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || width < 1 || height < 1) return {};
    return fit(QImage(plane, width, height, stride, QImage::Format_RGBA8888).copy(), maxPixels);
}

QImage fromLibRaw(const libraw_processed_image_t& made, int maxPixels) {
    if (made.type == LIBRAW_IMAGE_JPEG)
        return viaQt(reinterpret_cast<const char*>(made.data), made.data_size, maxPixels);
    if (made.type != LIBRAW_IMAGE_BITMAP || made.colors != 3 || made.bits != 8) return {};
    return fit(
        QImage(made.data, made.width, made.height, made.width * 3, QImage::Format_RGB888).copy(),
        maxPixels);
}

// The camera's own thumbnail when LibRaw finds one, else the sensor data developed at half size.
QImage viaLibRaw(const Bytes& bytes, int maxPixels) {
    const auto raw = std::make_unique<LibRaw>();
    if (raw->open_buffer(const_cast<std::uint8_t*>(bytes.data()), bytes.size()) != LIBRAW_SUCCESS)
        return {};
    QImage image;
    int error = 0;
    if (raw->unpack_thumb() == LIBRAW_SUCCESS) {
        if (auto* made = raw->dcraw_make_mem_thumb(&error)) {
            image = fromLibRaw(*made, maxPixels);
            LibRaw::dcraw_clear_mem(made);
        }
        // Thumbnails are stored as the sensor sees them; the developed image is turned already.
        const int flip = raw->imgdata.sizes.flip;
        if (!image.isNull() && flip != 0)
            image = image.transformed(QTransform().rotate(flip == 3 ? 180 : flip == 5 ? -90 : 90));
    }
    if (!image.isNull()) return image;
    raw->imgdata.params.half_size = 1;
    if (raw->unpack() != LIBRAW_SUCCESS || raw->dcraw_process() != LIBRAW_SUCCESS) return {};
    if (auto* made = raw->dcraw_make_mem_image(&error)) {
        image = fromLibRaw(*made, maxPixels);
        LibRaw::dcraw_clear_mem(made);
    }
    return image;
}

// Reads big-endian values and PackBits runs from a buffer, failing past its end.
struct Cursor {
    const Bytes& bytes;
    std::size_t at = 0;

    bool has(std::size_t count) const { return count <= bytes.size() - std::min(at, bytes.size()); }
    std::uint32_t number(int width) {
        std::uint32_t value = 0;
        for (int i = 0; i < width; ++i)
            value = value << 8 | bytes[at++];
        return value;
    }
    bool skipBlock() {
        if (!has(4)) return false;
        const std::uint32_t length = number(4);
        if (!has(length)) return false;
        at += length;
        return true;
    }
    // One row of PackBits from the next count bytes into out.
    bool unpack(std::size_t count, std::uint8_t* out, std::size_t width) {
        if (!has(count)) return false;
        const std::size_t end = at + count;
        std::size_t done = 0;
        while (at < end && done < width) {
            const int n = static_cast<std::int8_t>(bytes[at++]);
            if (n >= 0) {
                const std::size_t run =
                    std::min<std::size_t>(n + 1, std::min(width - done, end - at));
                std::copy_n(bytes.data() + at, run, out + done);
                at += static_cast<std::size_t>(n + 1);
                done += run;
            } else if (n != -128 && at < end) {
                const std::size_t run = std::min<std::size_t>(1 - n, width - done);
                std::fill_n(out + done, run, bytes[at++]);
                done += run;
            }
        }
        at = end;
        return done == width;
    }
};

// Photoshop's merged image: 8-bit RGB or greyscale channels, raw or PackBits, after the header
// and three sections we pass over.
QImage viaPSD(const Bytes& bytes, int maxPixels) {
    constexpr std::uint32_t kMaxSide = 30'000;
    constexpr std::uint64_t kMaxPixels = 100'000'000;
    Cursor in{bytes};
    if (!in.has(26) || in.number(4) != 0x38425053 || in.number(2) != 1) return {};
    in.at += 6;
    const auto channels = in.number(2);
    const auto height = in.number(4);
    const auto width = in.number(4);
    const auto depth = in.number(2);
    const auto mode = in.number(2);
    const bool rgb = mode == 3 && channels >= 3;
    if (depth != 8 || !(rgb || (mode == 1 && channels >= 1)) || width < 1 || height < 1 ||
        width > kMaxSide || height > kMaxSide)
        return {};
    if (!in.skipBlock() || !in.skipBlock() || !in.skipBlock() || !in.has(2)) return {};
    const auto compression = in.number(2);
    const std::uint32_t used = rgb ? 3 : 1;
    std::vector<std::uint32_t> rowBytes;
    if (compression == 1) {
        if (!in.has(std::size_t(channels) * height * 2)) return {};
        rowBytes.resize(std::size_t(channels) * height);
        for (auto& count : rowBytes)
            count = in.number(2);
    } else if (compression != 0) {
        return {};
    }
    // The pixel data must be there before room is made for it.
    std::uint64_t stored = std::uint64_t(width) * height * used;
    if (compression == 1) {
        stored = 0;
        for (std::uint32_t i = 0; i < used * height; ++i)
            stored += rowBytes[i];
    }
    if (std::uint64_t(width) * height > kMaxPixels || !in.has(stored)) return {};
    QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGB888);
    if (image.isNull()) return {};
    std::vector<std::uint8_t> row(width);
    for (std::uint32_t channel = 0; channel < used; ++channel) {
        for (std::uint32_t y = 0; y < height; ++y) {
            if (compression == 1) {
                if (!in.unpack(rowBytes[std::size_t(channel) * height + y], row.data(), width))
                    return {};
            } else {
                if (!in.has(width)) return {};
                std::copy_n(bytes.data() + in.at, width, row.data());
                in.at += width;
            }
            std::uint8_t* line = image.scanLine(static_cast<int>(y));
            for (std::uint32_t x = 0; x < width; ++x)
                for (std::uint32_t c = rgb ? channel : 0; c < (rgb ? channel + 1 : 3); ++c)
                    line[x * 3 + c] = row[x];
        }
    }
    return fit(std::move(image), maxPixels);
}

} // namespace

QImage ThumbnailRender::decode(const Bytes& bytes, FileKind kind, int maxPixels) {
    if (bytes.empty()) return {};
    if (kind == FileKind::heic || kind == FileKind::avif) return viaHeif(bytes, maxPixels);
    if (kind == FileKind::psd) return viaPSD(bytes, maxPixels);
    const bool raw = fileKind::category(kind) == FileCategory::raw;
    // A raw file that came whole has no preview Qt could show; skip straight to LibRaw.
    if (raw && bytes[0] != 0xFF) return viaLibRaw(bytes, maxPixels);
    auto image = viaQt(reinterpret_cast<const char*>(bytes.data()), bytes.size(), maxPixels);
    if (image.isNull() && raw) image = viaLibRaw(bytes, maxPixels);
    return image;
}

QImage ThumbnailRender::pdfPage(const Bytes& bytes, int maxPixels) {
    const auto document = Poppler::Document::loadFromData(QByteArray(
        reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    if (!document || document->isLocked() || document->numPages() < 1) return {};
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    document->setPaperColor(Qt::white);
    const auto page = document->page(0);
    if (!page) return {};
    // The crop box, in points.
    const QSizeF box = page->pageSizeF();
    if (!(box.width() > 0) || !(box.height() > 0)) return {};
    const double scale = maxPixels / std::max(box.width(), box.height());
    const int width = std::max(1, static_cast<int>(std::lround(box.width() * scale)));
    const int height = std::max(1, static_cast<int>(std::lround(box.height() * scale)));
    const QImage drawn = page->renderToImage(72.0 * scale, 72.0 * scale, 0, 0, width, height);
    if (drawn.isNull()) return {};
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.drawImage(0, 0, drawn);
    return image;
}

QImage ThumbnailRender::render(const RecoverableFile& file, const SharedReader& reader,
                               int maxPixels, const Cancelled& cancelled, std::int64_t maxBytes) {
    if (fileKind::category(file.kind) == FileCategory::video)
        return videoFrame(file, reader, maxPixels, 1.0, 20.0, cancelled);
    if (file.kind == FileKind::pdf) {
        if (file.size > static_cast<std::uint64_t>(maxBytes)) return {};
        try {
            return pdfPage(FileRead::read(*reader, file, 0, static_cast<std::int64_t>(file.size)),
                           maxPixels);
        } catch (const std::exception&) {
            return {};
        }
    }
    const auto bytes = Previews::imageData(file, *reader, maxBytes);
    return bytes ? decode(*bytes, file.kind, maxPixels) : QImage();
}

} // namespace vellary
