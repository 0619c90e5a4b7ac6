"""Records an output through the screen-cast portal with a GStreamer pipeline, for the screen
recorder's benchmark: the same portal requests as the recorder, then
pipewiresrc ! videoconvert ! x264enc speed-preset=veryfast ! mp4mux.
Usage: screen_portal_cast.py SECONDS OUT.mp4   (prints the pipeline's CPU seconds)"""
import os, signal, subprocess, sys, time
import gi
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib

seconds, out = float(sys.argv[1]), sys.argv[2]
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
sender = bus.get_unique_name()[1:].replace(".", "_")
loop = GLib.MainLoop()
count = [0]


def request(method, make_params):
    count[0] += 1
    token = "bench%d_%d" % (os.getpid(), count[0])
    path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender, token)
    box = {}

    def on_response(_c, _s, _p, _i, _n, params):
        box["code"], box["results"] = params.unpack()
        loop.quit()

    sub = bus.signal_subscribe("org.freedesktop.portal.Desktop", "org.freedesktop.portal.Request",
                               "Response", path, None, Gio.DBusSignalFlags.NONE, on_response)
    bus.call_sync("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                  "org.freedesktop.portal.ScreenCast", method, make_params(token), None,
                  Gio.DBusCallFlags.NONE, -1, None)
    loop.run()
    bus.signal_unsubscribe(sub)
    if box["code"] != 0:
        sys.exit("%s: response %d" % (method, box["code"]))
    return box["results"]


v = GLib.Variant
session = request("CreateSession", lambda t: v("(a{sv})", ({"handle_token": v("s", t),
                                                         "session_handle_token": v("s", t)},)))["session_handle"]
request("SelectSources", lambda t: v("(oa{sv})", (session, {"handle_token": v("s", t),
                                                          "types": v("u", 1),
                                                          "cursor_mode": v("u", 2)})))
node = request("Start", lambda t: v("(osa{sv})", (session, "", {"handle_token": v("s", t)})))["streams"][0][0]
reply, fds = bus.call_with_unix_fd_list_sync(
    "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
    "org.freedesktop.portal.ScreenCast", "OpenPipeWireRemote", v("(oa{sv})", (session, {})),
    None, Gio.DBusCallFlags.NONE, -1, None, None)
fd = fds.get(reply.unpack()[0])
pipeline = ("pipewiresrc fd=%d path=%d do-timestamp=true ! videorate ! video/x-raw,framerate=10/1 "
            "! videoconvert ! x264enc speed-preset=veryfast ! mp4mux ! filesink location=%s"
            % (fd, node, out))
gst = subprocess.Popen(["gst-launch-1.0", "-q", "-e"] + pipeline.split(), pass_fds=(fd,))
time.sleep(seconds)
gst.send_signal(signal.SIGINT)
gst.wait(timeout=60)
usage = os.times()
print("%.3f" % (usage.children_user + usage.children_system))
