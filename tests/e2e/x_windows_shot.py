# The screen of a rootless X server (Xwayland), whose root window holds no picture, as a PPM image on stdout:
# every viewable top-level window's own picture (X Composite extension), painted bottom to top.
import sys

from Xlib import X, display
from Xlib.ext import composite  # noqa: F401  (adds the Composite requests to windows)

d = display.Display()
root = d.screen().root
screen = root.get_geometry()
W, H = screen.width, screen.height
canvas = bytearray(W * H * 3)
for window in root.query_tree().children:  # bottom to top
    if window.get_attributes().map_state != X.IsViewable:
        continue
    g = window.get_geometry()
    x0, y0 = max(g.x, 0), max(g.y, 0)
    x1, y1 = min(g.x + g.width, W), min(g.y + g.height, H)
    if x0 >= x1 or y0 >= y1 or g.depth not in (24, 32):
        continue
    try:
        pixmap = window.composite_name_window_pixmap()
        data = pixmap.get_image(x0 - g.x, y0 - g.y, x1 - x0, y1 - y0, X.ZPixmap, 0xFFFFFFFF).data
        pixmap.free()
    except Exception:  # a window that went away or is not redirected
        continue
    width = x1 - x0
    for row in range(y1 - y0):
        bgrx = data[row * width * 4:(row + 1) * width * 4]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = bgrx[2::4], bgrx[1::4], bgrx[0::4]
        start = ((y0 + row) * W + x0) * 3
        canvas[start:start + width * 3] = rgb
sys.stdout.buffer.write(b"P6 %d %d 255\n" % (W, H) + canvas)
