/* Preloaded into xdg-desktop-portal-wlr 0.7 (Debian 12) on a compositor that has no DMA-BUF,
 * such as sway's headless back end with the pixman renderer. That version only starts a cast
 * after the screencopy frame has announced a linux_dmabuf buffer, which such a compositor never
 * does. Each shm "buffer" announcement is passed on, then repeated as a linux_dmabuf one in the
 * matching DRM format; with no DMA-BUF modifiers the portal then settles on shared memory. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

struct wl_proxy;
const char* wl_proxy_get_class(struct wl_proxy* proxy);

/* zwlr_screencopy_frame_v1's listener, in the protocol's event order. */
struct frame_events {
  void (*buffer)(void*, void*, uint32_t format, uint32_t width, uint32_t height, uint32_t stride);
  void (*flags)(void*, void*, uint32_t);
  void (*ready)(void*, void*, uint32_t, uint32_t, uint32_t);
  void (*failed)(void*, void*);
  void (*damage)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
  void (*linux_dmabuf)(void*, void*, uint32_t format, uint32_t width, uint32_t height);
  void (*buffer_done)(void*, void*);
};

static const struct frame_events* portal_events;
static struct frame_events patched_events;

/* wl_shm names its two classic formats 0 and 1; every other wl_shm code is the DRM fourcc. */
static uint32_t drm_format(uint32_t shm_format) {
  switch (shm_format) {
    case 0: return 0x34325241; /* ARGB8888: 'AR24' */
    case 1: return 0x34325258; /* XRGB8888: 'XR24' */
    default: return shm_format;
  }
}

static void on_buffer(void* data, void* frame, uint32_t format, uint32_t width, uint32_t height,
                      uint32_t stride) {
  portal_events->buffer(data, frame, format, width, height, stride);
  if (portal_events->linux_dmabuf) {
    portal_events->linux_dmabuf(data, frame, drm_format(format), width, height);
  }
}

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data) {
  static int (*add_listener)(struct wl_proxy*, void (**)(void), void*);
  if (!add_listener) {
    add_listener = (int (*)(struct wl_proxy*, void (**)(void), void*))dlsym(
        RTLD_NEXT, "wl_proxy_add_listener");
  }
  const char* class_name = wl_proxy_get_class(proxy);
  if (class_name && strcmp(class_name, "zwlr_screencopy_frame_v1") == 0) {
    if (!portal_events) {
      portal_events = (const struct frame_events*)implementation;
      patched_events = *portal_events;
      patched_events.buffer = on_buffer;
    }
    if ((const struct frame_events*)implementation == portal_events) {
      implementation = (void (**)(void))&patched_events;
    }
  }
  return add_listener(proxy, implementation, data);
}
