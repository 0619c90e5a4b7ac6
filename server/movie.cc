#include "server/movie.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cmath>
#include <mutex>

#include "server/frame_pacer.h"
#include "server/task_queue.h"

namespace sonacap {
namespace {

constexpr int FRAME_RATE = 10;
constexpr int KEY_FRAME_EVERY = 2 * FRAME_RATE;
constexpr int64_t MAX_BITS_PER_SECOND = 8'000'000;
constexpr int SOUND_RATE = 48000;
constexpr std::size_t QUEUE_DEPTH = 5;

ScreenError avError(const std::string& call, int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(status, text, sizeof text);
  return {call + ": " + text, status};
}

struct FreeFrame {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct FreePacket {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FreeCodec {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct FreeScaler {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
struct FreeResampler {
  void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};

class Movie : public RecordingOutput {
 public:
  Movie(std::string path, CaptureSize size, Events events)
      : path_(std::move(path)), size_(size), events_(std::move(events)), pacer_(QUEUE_DEPTH) {
    queue_.startThread("quorvel.movie");
  }
  ~Movie() override {
    if (format_) {
      if (format_->pb) avio_closep(&format_->pb);
      avformat_free_context(format_);
    }
  }

  void video(const VideoFrame& frame) override {
    {
      std::lock_guard lock(mutex_);
      pacer_.offer(frame);
    }
    queue_.async([this, time = frame.time] {
      if (start_ || failed_) return;
      start_ = time;
      if (auto error = open()) return failWith(*error);
      events_.started();
      tick();
    });
  }

  void sound(std::span<const float> frames, std::uint32_t channels, double rate,
             double time) override {
    queue_.async(
        [this, samples = std::vector<float>(frames.begin(), frames.end()), channels, rate, time] {
          if (!start_ || failed_ || closed_) return;
          if (auto error = writeSound(samples, channels, rate, time)) failWith(*error);
        });
  }

  void finish() override {
    queue_.async([this] {
      if (failed_ || closed_) return;
      closed_ = true;
      if (!start_) return failWith({"no picture came from the stream", 0});
      if (auto error = close()) return failWith(*error);
      events_.finished(static_cast<double>(slots_) / FRAME_RATE);
    });
  }

 private:
  std::optional<ScreenError> open() {
    if (int status = avformat_alloc_output_context2(&format_, nullptr, "mp4", path_.c_str());
        status < 0) {
      return avError("avformat_alloc_output_context2", status);
    }
    if (auto error = openVideo()) return error;
    if (auto error = openSound()) return error;
    if (int status = avio_open(&format_->pb, path_.c_str(), AVIO_FLAG_WRITE); status < 0) {
      return avError("avio_open", status);
    }
    // Each fragment reaches the file as soon as the muxer lets it go, not when a buffer fills.
    format_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    AVDictionary* options = nullptr;
    // Fragments that start at each key frame: whatever was written up to the last one plays.
    av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
    const int status = avformat_write_header(format_, &options);
    av_dict_free(&options);
    if (status < 0) return avError("avformat_write_header", status);
    packet_.reset(av_packet_alloc());
    return std::nullopt;
  }

  std::optional<ScreenError> openVideo() {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return ScreenError{"avcodec_find_encoder_by_name: no libx264", 0};
    video_.reset(avcodec_alloc_context3(codec));
    video_->width = size_.width;
    video_->height = size_.height;
    video_->pix_fmt = AV_PIX_FMT_YUV420P;
    video_->time_base = {1, FRAME_RATE};
    video_->framerate = {FRAME_RATE, 1};
    video_->gop_size = KEY_FRAME_EVERY;
    // No B-frames: the pictures start at time 0 with the sound, and a fragment is whole
    // as soon as it is written.
    video_->max_b_frames = 0;
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(video_->priv_data, "preset", "veryfast", 0);
    av_opt_set(video_->priv_data, "crf", "23", 0);
    // A ceiling on the quality target: a screen full of video or noise would otherwise take
    // hundreds of megabytes a minute, and the encoder's time grows with the bits it writes.
    video_->rc_max_rate = MAX_BITS_PER_SECOND;
    video_->rc_buffer_size = 2 * MAX_BITS_PER_SECOND;
    if (int status = avcodec_open2(video_.get(), codec, nullptr); status < 0) {
      return avError("avcodec_open2 libx264", status);
    }
    videoStream_ = avformat_new_stream(format_, nullptr);
    videoStream_->time_base = video_->time_base;
    videoStream_->avg_frame_rate = video_->framerate;
    avcodec_parameters_from_context(videoStream_->codecpar, video_.get());
    picture_.reset(av_frame_alloc());
    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = size_.width;
    picture_->height = size_.height;
    if (int status = av_frame_get_buffer(picture_.get(), 0); status < 0) {
      return avError("av_frame_get_buffer", status);
    }
    return std::nullopt;
  }

  std::optional<ScreenError> openSound() {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) return ScreenError{"avcodec_find_encoder: no AAC", 0};
    sound_.reset(avcodec_alloc_context3(codec));
    sound_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    sound_->sample_rate = SOUND_RATE;
    sound_->bit_rate = 128000;
    av_channel_layout_default(&sound_->ch_layout, 2);
    sound_->time_base = {1, SOUND_RATE};
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) sound_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (int status = avcodec_open2(sound_.get(), codec, nullptr); status < 0) {
      return avError("avcodec_open2 aac", status);
    }
    soundStream_ = avformat_new_stream(format_, nullptr);
    soundStream_->time_base = sound_->time_base;
    avcodec_parameters_from_context(soundStream_->codecpar, sound_.get());
    return std::nullopt;
  }

  // Encodes every slot that is due, then comes back for the next one.
  void tick() {
    if (failed_ || closed_) return;
    if (auto error = writeDueSlots(steadySeconds())) return failWith(*error);
    const double next = *start_ + static_cast<double>(slots_) / FRAME_RATE;
    queue_.after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(std::max(0.0, next - steadySeconds()))),
                 [this] { tick(); });
  }

  std::optional<ScreenError> writeDueSlots(double until) {
    while (*start_ + static_cast<double>(slots_) / FRAME_RATE <= until) {
      std::optional<VideoFrame> frame;
      {
        std::lock_guard lock(mutex_);
        frame = pacer_.take(*start_ + static_cast<double>(slots_) / FRAME_RATE);
      }
      if (!frame) break;
      if (auto error = writePicture(*frame)) return error;
    }
    return std::nullopt;
  }

  std::optional<ScreenError> writePicture(const VideoFrame& frame) {
    scaler_.reset(sws_getCachedContext(
        scaler_.release(), frame.width, frame.height, AV_PIX_FMT_BGR0, size_.width, size_.height,
        AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_) return ScreenError{"sws_getCachedContext: unsupported size", 0};
    if (int status = av_frame_make_writable(picture_.get()); status < 0) {
      return avError("av_frame_make_writable", status);
    }
    const std::uint8_t* source[] = {frame.pixels->data()};
    const int strides[] = {frame.stride};
    sws_scale(scaler_.get(), source, strides, 0, frame.height, picture_->data, picture_->linesize);
    picture_->pts = slots_++;
    return encode(video_.get(), videoStream_, picture_.get());
  }

  // Sound goes into the movie where its time says, against the first picture: silence where
  // it is late, the overlap dropped where it is early.
  std::optional<ScreenError> writeSound(const std::vector<float>& samples, std::uint32_t channels,
                                        double rate, double time) {
    if (channels == 0 || !(rate > 0)) return std::nullopt;
    if (!resampler_ || resamplerRate_ != rate || resamplerChannels_ != channels) {
      if (auto error = makeResampler(channels, rate)) return error;
    }
    const auto frames = static_cast<int>(samples.size() / channels);
    std::vector<float> left, right;
    const int capacity = swr_get_out_samples(resampler_.get(), frames);
    left.resize(static_cast<std::size_t>(std::max(capacity, 0)));
    right.resize(left.size());
    std::uint8_t* out[] = {reinterpret_cast<std::uint8_t*>(left.data()),
                           reinterpret_cast<std::uint8_t*>(right.data())};
    const std::uint8_t* in[] = {reinterpret_cast<const std::uint8_t*>(samples.data())};
    const int converted = swr_convert(resampler_.get(), out, capacity, in, frames);
    if (converted < 0) return avError("swr_convert", converted);
    std::size_t skip = 0;
    if (std::isfinite(time)) {
      const auto due = static_cast<std::int64_t>(std::llround((time - *start_) * SOUND_RATE));
      const std::int64_t written = soundWritten_ + static_cast<std::int64_t>(pendingLeft_.size());
      if (due > written) {
        pendingLeft_.insert(pendingLeft_.end(), static_cast<std::size_t>(due - written), 0.0f);
        pendingRight_.insert(pendingRight_.end(), static_cast<std::size_t>(due - written), 0.0f);
      } else if (due < written) {
        skip = std::min<std::size_t>(static_cast<std::size_t>(written - due),
                                     static_cast<std::size_t>(converted));
      }
    }
    pendingLeft_.insert(pendingLeft_.end(), left.begin() + static_cast<std::ptrdiff_t>(skip),
                        left.begin() + converted);
    pendingRight_.insert(pendingRight_.end(), right.begin() + static_cast<std::ptrdiff_t>(skip),
                         right.begin() + converted);
    return writePendingSound(false);
  }

  std::optional<ScreenError> makeResampler(std::uint32_t channels, double rate) {
    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, static_cast<int>(channels));
    SwrContext* made = nullptr;
    int status =
        swr_alloc_set_opts2(&made, &sound_->ch_layout, AV_SAMPLE_FMT_FLTP, SOUND_RATE, &inLayout,
                            AV_SAMPLE_FMT_FLT, static_cast<int>(rate), 0, nullptr);
    if (status >= 0) status = swr_init(made);
    resampler_.reset(made);
    if (status < 0) return avError("swr_init", status);
    resamplerRate_ = rate;
    resamplerChannels_ = channels;
    return std::nullopt;
  }

  // Hands the encoder whole AAC frames; at the end, the rest too.
  std::optional<ScreenError> writePendingSound(bool all) {
    const auto size = static_cast<std::size_t>(sound_->frame_size);
    std::size_t used = 0;
    while (pendingLeft_.size() - used >= size || (all && used < pendingLeft_.size())) {
      const std::size_t count = std::min(size, pendingLeft_.size() - used);
      std::unique_ptr<AVFrame, FreeFrame> frame(av_frame_alloc());
      frame->format = AV_SAMPLE_FMT_FLTP;
      frame->sample_rate = SOUND_RATE;
      frame->nb_samples = static_cast<int>(count);
      av_channel_layout_copy(&frame->ch_layout, &sound_->ch_layout);
      if (int status = av_frame_get_buffer(frame.get(), 0); status < 0) {
        return avError("av_frame_get_buffer", status);
      }
      std::copy_n(pendingLeft_.begin() + static_cast<std::ptrdiff_t>(used), count,
                  reinterpret_cast<float*>(frame->data[0]));
      std::copy_n(pendingRight_.begin() + static_cast<std::ptrdiff_t>(used), count,
                  reinterpret_cast<float*>(frame->data[1]));
      frame->pts = soundWritten_;
      soundWritten_ += static_cast<std::int64_t>(count);
      used += count;
      if (auto error = encode(sound_.get(), soundStream_, frame.get())) return error;
    }
    pendingLeft_.erase(pendingLeft_.begin(),
                       pendingLeft_.begin() + static_cast<std::ptrdiff_t>(used));
    pendingRight_.erase(pendingRight_.begin(),
                        pendingRight_.begin() + static_cast<std::ptrdiff_t>(used));
    return std::nullopt;
  }

  // Sends frame (none: the end) to codec and writes what comes out.
  std::optional<ScreenError> encode(AVCodecContext* codec, AVStream* stream, AVFrame* frame) {
    if (int status = avcodec_send_frame(codec, frame); status < 0) {
      return avError("avcodec_send_frame", status);
    }
    while (true) {
      const int status = avcodec_receive_packet(codec, packet_.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return std::nullopt;
      if (status < 0) return avError("avcodec_receive_packet", status);
      av_packet_rescale_ts(packet_.get(), codec->time_base, stream->time_base);
      packet_->stream_index = stream->index;
      if (int written = av_interleaved_write_frame(format_, packet_.get()); written < 0) {
        return avError("av_interleaved_write_frame", written);
      }
    }
  }

  std::optional<ScreenError> close() {
    if (auto error = writeDueSlots(steadySeconds())) return error;
    // The sound up to the last picture's end: cut there, or filled with silence where the
    // sound stopped first.
    const auto soundEnd = static_cast<std::int64_t>(slots_) * SOUND_RATE / FRAME_RATE;
    const auto keep = static_cast<std::size_t>(std::max<std::int64_t>(0, soundEnd - soundWritten_));
    pendingLeft_.resize(keep, 0.0f);
    pendingRight_.resize(keep, 0.0f);
    if (auto error = writePendingSound(true)) return error;
    if (auto error = encode(video_.get(), videoStream_, nullptr)) return error;
    if (auto error = encode(sound_.get(), soundStream_, nullptr)) return error;
    if (int status = av_write_trailer(format_); status < 0)
      return avError("av_write_trailer", status);
    if (int status = avio_closep(&format_->pb); status < 0) return avError("avio_closep", status);
    return std::nullopt;
  }

  void failWith(const ScreenError& error) {
    failed_ = true;
    events_.failed(error);
  }

  const std::string path_;
  const CaptureSize size_;
  const Events events_;
  std::mutex mutex_;
  FramePacer pacer_;  // under mutex_: offered on the stream's queue, taken on the movie's
  // On the movie's queue only.
  std::optional<double> start_;
  bool failed_ = false;
  bool closed_ = false;
  std::int64_t slots_ = 0;
  std::int64_t soundWritten_ = 0;
  std::vector<float> pendingLeft_, pendingRight_;
  AVFormatContext* format_ = nullptr;
  AVStream* videoStream_ = nullptr;
  AVStream* soundStream_ = nullptr;
  std::unique_ptr<AVCodecContext, FreeCodec> video_;
  std::unique_ptr<AVCodecContext, FreeCodec> sound_;
  std::unique_ptr<AVFrame, FreeFrame> picture_;
  std::unique_ptr<AVPacket, FreePacket> packet_;
  std::unique_ptr<SwsContext, FreeScaler> scaler_;
  std::unique_ptr<SwrContext, FreeResampler> resampler_;
  double resamplerRate_ = 0;
  std::uint32_t resamplerChannels_ = 0;
  TaskQueue queue_;  // last: its thread must stop before the fields it uses go
};

}  // namespace

std::variant<std::unique_ptr<RecordingOutput>, ScreenError> makeMovie(
    const std::string& path, CaptureSize size, RecordingOutput::Events events) {
  // The encoders' statistics are not for the server's log; failures come back as events.
  av_log_set_level(AV_LOG_ERROR);
  if (!avcodec_find_encoder_by_name("libx264")) {
    return ScreenError{"FFmpeg has no H.264 encoder (libx264)", 0};
  }
  return std::make_unique<Movie>(path, size, std::move(events));
}

}  // namespace sonacap
