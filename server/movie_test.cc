#include "server/movie.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <sstream>
#include <thread>

#include "common/process.h"
#include "server/frame_pacer.h"
#include "server/test_support.h"

namespace sonacap {
namespace {

using namespace sonacap::testing;

VideoFrame picture(double time, std::uint8_t shade, int width = 64, int height = 48) {
  VideoFrame frame;
  frame.time = time;
  frame.width = width;
  frame.height = height;
  frame.stride = width * 4;
  frame.pixels = std::make_shared<std::vector<std::uint8_t>>(
      static_cast<std::size_t>(frame.stride * height), shade);
  return frame;
}

std::uint8_t shadeOf(const std::optional<VideoFrame>& frame) {
  return frame ? frame->pixels->front() : 0;
}

TEST(FramePacer, EachSlotShowsTheNewestPictureByThenOrTheLastAgain) {
  FramePacer pacer(5);
  EXPECT_FALSE(pacer.take(0.9));
  pacer.offer(picture(1.0, 1));
  pacer.offer(picture(1.05, 2));
  pacer.offer(picture(1.25, 3));
  EXPECT_EQ(shadeOf(pacer.take(1.0)), 1);
  EXPECT_EQ(shadeOf(pacer.take(1.1)), 2);
  EXPECT_EQ(shadeOf(pacer.take(1.2)), 2);  // nothing new: repeated
  EXPECT_EQ(shadeOf(pacer.take(1.3)), 3);
  EXPECT_EQ(shadeOf(pacer.take(5.0)), 3);
  // Seven waiting for a slow encoder: the two oldest are gone.
  for (int i = 0; i < 7; ++i)
    pacer.offer(picture(6.0 + i * 0.01, static_cast<std::uint8_t>(10 + i)));
  EXPECT_EQ(shadeOf(pacer.take(6.0)), 3);
  EXPECT_EQ(shadeOf(pacer.take(6.02)), 12);
  VideoFrame invalid = picture(6.5, 99);
  invalid.valid = false;
  pacer.offer(invalid);
  EXPECT_EQ(shadeOf(pacer.take(7.0)), 16);
}

// Two seconds of pictures that change only now and then, with a tone: the movie is H.264 at a
// constant ten frames a second and AAC, as long as the time it covered.
TEST(Movie, ConstantRateFromChangesOnly) {
  TempFolder folder;
  const std::string path = folder.path() + "/movie.mp4";
  std::promise<void> started;
  std::promise<double> finished;
  auto made =
      makeMovie(path, {64, 48},
                {.started = [&] { started.set_value(); },
                 .finished = [&](double seconds) { finished.set_value(seconds); },
                 .failed = [&](const ScreenError& error) { ADD_FAILURE() << error.description; }});
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<RecordingOutput>>(made));
  auto& movie = *std::get<std::unique_ptr<RecordingOutput>>(made);
  const double begin = steadySeconds();
  std::vector<float> tone(4800 * 2);
  for (std::size_t i = 0; i < 4800; ++i) {
    tone[2 * i] = tone[2 * i + 1] =
        0.5f * static_cast<float>(std::sin(2 * M_PI * 1000 * i / 48000.0));
  }
  for (int tenth = 0; tenth < 20; ++tenth) {
    const double now = begin + tenth * 0.1;
    if (tenth % 7 == 0) movie.video(picture(now, static_cast<std::uint8_t>(tenth * 10)));
    movie.sound(tone, 2, 48000, now);
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(now + 0.1))));
  }
  ASSERT_EQ(started.get_future().wait_for(0s), std::future_status::ready);
  movie.finish();
  auto done = finished.get_future();
  ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
  EXPECT_NEAR(done.get(), 2.0, 0.15);
  EXPECT_EQ(ffprobe(path, "stream=codec_name,width,height,r_frame_rate"),
            "h264,64,48,10/1\naac,0/0\n");
  const auto frames =
      ffprobe(path, "stream=nb_read_frames", {"-count_frames", "-select_streams", "v"});
  EXPECT_NEAR(std::stod(frames), 20, 1.5);
  EXPECT_NEAR(std::stod(ffprobe(path, "format=duration")), 2.0, 0.2);
  // The sound stopped before the last pictures were written: the movie's sound still lasts as
  // long as its pictures, to within one AAC frame.
  std::istringstream durations(ffprobe(path, "stream=duration"));
  double video = 0, sound = 0;
  durations >> video >> sound;
  EXPECT_NEAR(sound, video, 1024.0 / 48000);
}

}  // namespace
}  // namespace sonacap
