#include "server/screen_x11.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "server/applications.h"
#include "server/content_sound.h"
#include "server/x11_picker.h"

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xfixes.h>

namespace sonacap {
namespace {

// The last X error on a connection of the capture's; a window that goes away between two
// requests is expected, and Xlib's own handler would end the process.
thread_local int lastXError = 0;
int noteXError(Display*, XErrorEvent* event) {
  lastXError = event->error_code;
  return 0;
}

// A shared-memory image that the X server fills in one request.
class ShmImage {
 public:
  ShmImage() = default;
  ShmImage(const ShmImage&) = delete;
  ShmImage& operator=(const ShmImage&) = delete;
  ~ShmImage() { release(); }

  // Ready for a drawable of this size and visual; false when the server cannot do it.
  bool fit(Display* display, Visual* visual, int depth, int width, int height) {
    if (image_ != nullptr && image_->width == width && image_->height == height &&
        image_->depth == depth) {
      return true;
    }
    release();
    display_ = display;
    image_ = XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr,
                             &info_, static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (image_ == nullptr) return false;
    info_.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * height,
                         IPC_CREAT | 0600);
    if (info_.shmid < 0) {
      XDestroyImage(image_);
      image_ = nullptr;
      return false;
    }
    info_.shmaddr = image_->data = static_cast<char*>(shmat(info_.shmid, nullptr, 0));
    info_.readOnly = False;
    // Marked for removal at once: it goes when both sides have let go, even after a crash.
    shmctl(info_.shmid, IPC_RMID, nullptr);
    lastXError = 0;
    if (!XShmAttach(display, &info_)) return false;
    XSync(display, False);
    attached_ = lastXError == 0;
    return attached_;
  }

  bool grab(Drawable drawable, int x, int y) {
    if (!attached_) return false;
    lastXError = 0;
    const bool done = XShmGetImage(display_, drawable, image_, x, y, AllPlanes) != 0;
    return done && lastXError == 0;
  }

  const XImage* image() const { return image_; }

 private:
  void release() {
    if (image_ == nullptr) return;
    if (attached_) XShmDetach(display_, &info_);
    XSync(display_, False);
    shmdt(info_.shmaddr);
    image_->data = nullptr;
    XDestroyImage(image_);
    image_ = nullptr;
    attached_ = false;
  }

  Display* display_ = nullptr;
  XImage* image_ = nullptr;
  XShmSegmentInfo info_{};
  bool attached_ = false;
};

// Copies rows of 32-bit pixels, the source's top-left corner at (x, y) of the frame, clipped.
void paste(std::vector<std::uint8_t>& frame, int frameWidth, int frameHeight, const XImage& image,
           int x, int y) {
  const int left = std::max(0, x);
  const int top = std::max(0, y);
  const int right = std::min(frameWidth, x + image.width);
  const int bottom = std::min(frameHeight, y + image.height);
  if (left >= right || top >= bottom || image.bits_per_pixel != 32) return;
  for (int row = top; row < bottom; ++row) {
    std::memcpy(&frame[(static_cast<std::size_t>(row) * frameWidth + left) * 4],
                image.data + static_cast<std::ptrdiff_t>(row - y) * image.bytes_per_line +
                    static_cast<std::ptrdiff_t>(left - x) * 4,
                static_cast<std::size_t>(right - left) * 4);
  }
}

// Scales the picture into area of the frame, nearest pixel; the rest of the frame is black.
void letterboxInto(std::vector<std::uint8_t>& frame, int frameWidth, int frameHeight,
                   const XImage& image) {
  std::fill(frame.begin(), frame.end(), 0);
  const Rect area = letterbox(image.width, image.height, frameWidth, frameHeight);
  if (image.bits_per_pixel != 32) return;
  for (int row = 0; row < area.height; ++row) {
    const int sourceRow = row * image.height / area.height;
    const auto* source = reinterpret_cast<const std::uint32_t*>(
        image.data + static_cast<std::ptrdiff_t>(sourceRow) * image.bytes_per_line);
    auto* target = reinterpret_cast<std::uint32_t*>(
        &frame[(static_cast<std::size_t>(row + area.y) * frameWidth + area.x) * 4]);
    for (int column = 0; column < area.width; ++column) {
      target[column] = source[column * image.width / area.width];
    }
  }
}

// The pointer, drawn over the frame whose top-left corner is at origin on the root window.
void drawCursor(Display* display, std::vector<std::uint8_t>& frame, int width, int height,
                int originX, int originY) {
  XFixesCursorImage* cursor = XFixesGetCursorImage(display);
  if (cursor == nullptr) return;
  const int left = cursor->x - cursor->xhot - originX;
  const int top = cursor->y - cursor->yhot - originY;
  for (int row = 0; row < cursor->height; ++row) {
    const int y = top + row;
    if (y < 0 || y >= height) continue;
    for (int column = 0; column < cursor->width; ++column) {
      const int x = left + column;
      if (x < 0 || x >= width) continue;
      // Premultiplied ARGB, one pixel to a long.
      const auto argb = static_cast<std::uint32_t>(cursor->pixels[row * cursor->width + column]);
      const std::uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;
      std::uint8_t* pixel = &frame[(static_cast<std::size_t>(y) * width + x) * 4];
      for (int channel = 0; channel < 3; ++channel) {
        const std::uint32_t over = argb >> (8 * channel) & 0xFF;
        pixel[channel] = static_cast<std::uint8_t>(over + pixel[channel] * (255 - alpha) / 255);
      }
    }
  }
  XFree(cursor);
}

// One window being read through its composite pixmap.
struct Source {
  Window window = 0;
  Pixmap pixmap = 0;
  int width = 0;
  int height = 0;
  ShmImage image;
  bool closed = false;
};

class X11Source : public ScreenSource {
 public:
  ~X11Source() override {
    if (pickThread_.joinable()) pickThread_.detach();
  }

  std::optional<std::string> missing() override {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
      const char* name = std::getenv("DISPLAY");
      return std::string(
                 "screen recording needs an X display or the desktop's screen-cast "
                 "portal: XOpenDisplay: cannot open display \"") +
             (name != nullptr ? name : "") + "\"";
    }
    int major = 0;
    int minor = 0;
    Bool pixmaps = False;
    const bool shm = XShmQueryVersion(display, &major, &minor, &pixmaps) != 0;
    int eventBase = 0;
    int errorBase = 0;
    const bool composite = XCompositeQueryExtension(display, &eventBase, &errorBase) != 0;
    XCloseDisplay(display);
    if (!shm) return "screen recording needs the X server's MIT-SHM extension";
    if (!composite) return "screen recording needs the X server's Composite extension";
    return std::nullopt;
  }

  void pick(PickerEvents events) override {
    std::promise<void> shown;
    std::future<void> onScreen = shown.get_future();
    pickThread_ =
        std::thread([this, events = std::move(events), shown = std::move(shown)]() mutable {
          bool told = false;
          auto outcome = runX11Picker([&] {
            told = true;
            shown.set_value();
          });
          if (!told) shown.set_value();
          if (auto* choice = std::get_if<X11Choice>(&outcome)) {
            choice_ = std::move(*choice);
            events.chosen(ScreenContent{static_cast<double>(choice_.area.width),
                                        static_cast<double>(choice_.area.height), 1.0});
          } else if (std::holds_alternative<PickerCancelled>(outcome)) {
            events.cancelled();
          } else {
            events.failed(ScreenError{std::get<std::string>(outcome), 0});
          }
        });
    onScreen.wait();
  }

  std::optional<ScreenError> open(const ScreenContent&, const StreamSettings& settings,
                                  TaskQueue& queue, StreamEvents events) override {
    queue_ = &queue;
    events_ = std::move(events);
    settings_ = settings;
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) return ScreenError{"XOpenDisplay: cannot open the display", 0};
    XSetErrorHandler(noteXError);
    width_ = choice_.area.width;
    height_ = choice_.area.height;
    if (choice_.kind != X11Choice::Kind::display) {
      // Redirected now, so that what covers a window is not what is recorded.
      for (const XWindow window : choice_.windows) {
        auto source = std::make_unique<Source>();
        source->window = window;
        XSelectInput(display_, window, StructureNotifyMask);
        XCompositeRedirectWindow(display_, window, CompositeRedirectAutomatic);
        sources_.push_back(std::move(source));
      }
      XSync(display_, False);
    }
    if (choice_.kind == X11Choice::Kind::display) {
      sound_.emplace();
    } else {
      sound_.emplace([pids = choice_.pids](const PlaybackStream& stream) {
        return stream.pid > 0 && descendsFrom(stream.pid, pids);
      });
    }
    return sound_->open(queue, events_.sound);
  }

  void start(std::function<void(std::optional<ScreenError>)> done) override {
    capture_ = std::thread([this] { captureLoop(); });
    done(sound_->start());
  }

  void stop(std::function<void()> done) override {
    stopping_ = true;
    if (capture_.joinable()) capture_.join();
    if (sound_) sound_->stop();
    // What the stream had already handed to the queue comes before done.
    queue_->async(std::move(done));
  }

 private:
  // Reads the chosen content once every frame interval, on the steady clock, until stopped or
  // until every chosen window has closed.
  void captureLoop() {
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(settings_.frameInterval));
    auto next = std::chrono::steady_clock::now();
    while (!stopping_) {
      std::this_thread::sleep_until(next);
      next += interval;
      // A stall (a suspended machine) does not bring a burst of frames after it.
      next = std::max(next, std::chrono::steady_clock::now());
      VideoFrame frame;
      frame.time = steadySeconds();
      frame.width = width_;
      frame.height = height_;
      frame.stride = width_ * 4;
      auto pixels = std::make_shared<std::vector<std::uint8_t>>(
          static_cast<std::size_t>(width_) * height_ * 4, 0);
      if (!grab(*pixels)) {
        if (!stopping_.exchange(true)) {
          auto stopped = events_.stopped;
          std::thread([stopped] { stopped({"The window was closed", 0}); }).detach();
        }
        return;
      }
      frame.pixels = std::move(pixels);
      queue_->async([this, frame = std::move(frame)] { events_.video(frame); });
    }
  }

  // The content as it is now; false once there is nothing left to read.
  bool grab(std::vector<std::uint8_t>& pixels) {
    handleEvents();
    const Window root = DefaultRootWindow(display_);
    if (choice_.kind == X11Choice::Kind::display) {
      const int screen = DefaultScreen(display_);
      if (!rootImage_.fit(display_, DefaultVisual(display_, screen), DefaultDepth(display_, screen),
                          width_, height_) ||
          !rootImage_.grab(root, choice_.area.x, choice_.area.y)) {
        return true;  // the frame stays black; the display itself cannot go away
      }
      paste(pixels, width_, height_, *rootImage_.image(), 0, 0);
      drawCursor(display_, pixels, width_, height_, choice_.area.x, choice_.area.y);
      return true;
    }
    bool any = false;
    for (const auto& source : sources_) {
      if (source->closed) continue;
      XWindowAttributes attributes{};
      lastXError = 0;
      if (XGetWindowAttributes(display_, source->window, &attributes) == 0 || lastXError != 0) {
        source->closed = true;
        continue;
      }
      any = true;
      if (attributes.map_state != IsViewable) continue;
      if (source->pixmap == 0 || attributes.width != source->width ||
          attributes.height != source->height) {
        // The pixmap of a window is its size when named; after a resize it is named again.
        if (source->pixmap != 0) XFreePixmap(display_, source->pixmap);
        source->pixmap = XCompositeNameWindowPixmap(display_, source->window);
        source->width = attributes.width;
        source->height = attributes.height;
      }
      if (!source->image.fit(display_, attributes.visual, attributes.depth, source->width,
                             source->height) ||
          !source->image.grab(source->pixmap, 0, 0)) {
        continue;
      }
      const XImage& image = *source->image.image();
      if (choice_.kind == X11Choice::Kind::window) {
        if (image.width == width_ && image.height == height_) {
          paste(pixels, width_, height_, image, 0, 0);
        } else {
          letterboxInto(pixels, width_, height_, image);
        }
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(display_, source->window, root, 0, 0, &x, &y, &child);
        drawCursor(display_, pixels, width_, height_, x, y);
      } else {
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(display_, source->window, root, 0, 0, &x, &y, &child);
        paste(pixels, width_, height_, image, x - choice_.area.x, y - choice_.area.y);
      }
    }
    if (any && choice_.kind == X11Choice::Kind::application) {
      drawCursor(display_, pixels, width_, height_, choice_.area.x, choice_.area.y);
    }
    return any;
  }

  void handleEvents() {
    while (XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type != DestroyNotify) continue;
      for (const auto& source : sources_) {
        if (source->window == event.xdestroywindow.window) source->closed = true;
      }
    }
  }

  std::thread pickThread_;
  X11Choice choice_;
  TaskQueue* queue_ = nullptr;
  StreamEvents events_;
  StreamSettings settings_;
  Display* display_ = nullptr;  // the capture's own connection, used on its thread once started
  int width_ = 0;
  int height_ = 0;
  ShmImage rootImage_;
  std::vector<std::unique_ptr<Source>> sources_;
  std::thread capture_;
  std::atomic<bool> stopping_ = false;
  std::optional<ContentSound> sound_;
};

}  // namespace

std::unique_ptr<ScreenSource> makeX11ScreenSource() { return std::make_unique<X11Source>(); }

}  // namespace sonacap
