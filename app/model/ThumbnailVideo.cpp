// Video frames for thumbnails: FFmpeg demuxes and decodes the found file's own bytes through a
// custom reader, so nothing is written anywhere first.
#include "app/model/ThumbnailRender.hpp"

#include "core/restore/FileContents.hpp"

#include <QTransform>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace vellary {
namespace {

constexpr int kIOBufferSize = 65'536;

struct Source {
    FileContents contents;
    std::uint64_t position = 0;
    std::chrono::steady_clock::time_point deadline;
    const ThumbnailRender::Cancelled* cancelled = nullptr;

    bool givenUp() const {
        return std::chrono::steady_clock::now() > deadline || (*cancelled && (*cancelled)());
    }
};

int readPacket(void* opaque, std::uint8_t* buffer, int size) {
    auto& source = *static_cast<Source*>(opaque);
    if (source.position >= source.contents.size()) return AVERROR_EOF;
    try {
        const auto got = source.contents.readInto(
            source.position, std::span<std::uint8_t>(buffer, static_cast<std::size_t>(size)));
        if (got == 0) return AVERROR_EOF;
        source.position += got;
        return static_cast<int>(got);
    } catch (const std::exception&) {
        return AVERROR(EIO);
    }
}

std::int64_t seekTo(void* opaque, std::int64_t offset, int whence) {
    auto& source = *static_cast<Source*>(opaque);
    const auto size = static_cast<std::int64_t>(source.contents.size());
    if (whence & AVSEEK_SIZE) return size;
    std::int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        base = static_cast<std::int64_t>(source.position);
        break;
    case SEEK_END:
        base = size;
        break;
    default:
        return -1;
    }
    if (offset < -base) return -1;
    source.position = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

int interrupted(void* opaque) {
    return static_cast<Source*>(opaque)->givenUp() ? 1 : 0;
}

struct FormatClose {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct IOClose {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct CodecClose {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

QImage toImage(const AVFrame& frame, AVRational aspect, int maxPixels) {
    double width = frame.width;
    if (aspect.num > 0 && aspect.den > 0) width *= av_q2d(aspect);
    const double scale = std::min(1.0, maxPixels / std::max(width, double(frame.height)));
    const int outWidth = std::max(1, static_cast<int>(std::lround(width * scale)));
    const int outHeight = std::max(1, static_cast<int>(std::lround(frame.height * scale)));
    const std::unique_ptr<SwsContext, decltype(&sws_freeContext)> scaler(
        sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                       outWidth, outHeight, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr,
                       nullptr),
        sws_freeContext);
    if (!scaler) return {};
    // swscale's vector code writes whole blocks past a row's end: give it aligned, padded rows
    // of its own and copy the picture out.
    const int stride = (outWidth * 3 + 63) / 64 * 64;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(stride) * (outHeight + 1) + 64);
    std::uint8_t* planes[4] = {pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {stride, 0, 0, 0};
    if (sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, strides) <= 0)
        return {};
    return QImage(pixels.data(), outWidth, outHeight, stride, QImage::Format_RGB888).copy();
}

} // namespace

QImage ThumbnailRender::videoFrame(const RecoverableFile& file, const SharedReader& reader,
                                   int maxPixels, double seconds, double timeoutSeconds,
                                   const Cancelled& cancelled) {
    Source source{FileContents(file, reader), 0,
                  std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(timeoutSeconds)),
                  &cancelled};
    if (source.contents.size() == 0) return {};
    // Damaged found files are common; FFmpeg's complaints about them are no one's business.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });

    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIOBufferSize));
    if (!buffer) return {};
    std::unique_ptr<AVIOContext, IOClose> io(
        avio_alloc_context(buffer, kIOBufferSize, 0, &source, readPacket, nullptr, seekTo));
    if (!io) {
        av_free(buffer);
        return {};
    }
    AVFormatContext* opened = avformat_alloc_context();
    if (!opened) return {};
    opened->pb = io.get();
    opened->flags |= AVFMT_FLAG_CUSTOM_IO;
    opened->interrupt_callback = {interrupted, &source};
    // On failure the context is freed by the call.
    if (avformat_open_input(&opened, nullptr, nullptr, nullptr) < 0) return {};
    const std::unique_ptr<AVFormatContext, FormatClose> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return {};
    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0 || !decoder) return {};
    AVStream* stream = format->streams[index];

    const std::unique_ptr<AVCodecContext, CodecClose> codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0) return {};
    codec->thread_count = 1;
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return {};

    std::int64_t target = av_rescale_q(static_cast<std::int64_t>(seconds * AV_TIME_BASE),
                                       AV_TIME_BASE_Q, stream->time_base);
    if (stream->start_time != AV_NOPTS_VALUE) target += stream->start_time;
    // Without a usable seek the decoder simply walks from the start.
    if (av_seek_frame(format.get(), index, target, AVSEEK_FLAG_BACKWARD) >= 0)
        avcodec_flush_buffers(codec.get());

    const std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    const std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    const std::unique_ptr<AVFrame, FrameFree> kept(av_frame_alloc());
    if (!packet || !frame || !kept) return {};
    bool have = false;
    bool reached = false;
    const auto drain = [&] {
        while (!reached && avcodec_receive_frame(codec.get(), frame.get()) == 0) {
            av_frame_unref(kept.get());
            av_frame_move_ref(kept.get(), frame.get());
            have = true;
            const auto at = kept->best_effort_timestamp;
            reached = at != AV_NOPTS_VALUE && at >= target;
        }
    };
    bool ended = false;
    while (!reached && !source.givenUp()) {
        if (!ended) {
            const int read = av_read_frame(format.get(), packet.get());
            if (read < 0) {
                ended = true;
                avcodec_send_packet(codec.get(), nullptr);
            } else {
                if (packet->stream_index == index) avcodec_send_packet(codec.get(), packet.get());
                av_packet_unref(packet.get());
            }
        }
        drain();
        if (ended) break;
    }
    if (!have || source.givenUp()) return {};

    QImage image = toImage(*kept,
                           kept->sample_aspect_ratio.num > 0 ? kept->sample_aspect_ratio
                                                             : stream->sample_aspect_ratio,
                           maxPixels);
    // The track's display matrix: counter-clockwise degrees, so turn the other way.
    if (const auto* matrix = reinterpret_cast<const std::int32_t*>(
            av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr))) {
        const double turn = -av_display_rotation_get(matrix);
        if (!image.isNull() && std::isfinite(turn) && std::lround(turn) % 360 != 0)
            image = image.transformed(QTransform().rotate(std::round(turn)));
    }
    return image;
}

} // namespace vellary
