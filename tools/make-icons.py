#!/usr/bin/env python3
"""Draws res/kinetra.svg into the icon files the program and the desktop use.

Standard library only, so the icons can be made again on any machine with the same bytes:
  tools/make-icons.py            writes the files into res/
  tools/make-icons.py --check    exits 1 when a committed icon differs from a fresh drawing

The drawing understands the plain SVG the mark is made of: rect (with rx), circle and polygon,
each with a #rrggbb fill. Anything else in the file is an error rather than a silent omission.
"""

import argparse
import struct
import sys
import tempfile
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "res" / "kinetra.svg"
SVG_NS = "{http://www.w3.org/2000/svg}"
SUPERSAMPLE = 4  # samples per pixel along each axis

# File name (relative to res/) -> the pixel sizes it holds.
ICO_FILES = {
    "icon1.ico": [16, 24, 32, 48, 64, 256],  # window and notification icon
    "tray_icon.ico": [16, 20, 24, 32, 48],  # notification-area icon
}
PNG_FILES = {
    "icon1.png": 256,
    "tray_icon.png": 64,  # desktop trays scale it to the panel
}
HICOLOR_SIZES = [22, 24, 32, 48, 64, 128, 256]  # hicolor/NxN/apps/kinetra-sdk.png


def parse_colour(text):
    if len(text) != 7 or text[0] != "#":
        raise ValueError(f"fill {text!r} is not #rrggbb")
    return tuple(int(text[i : i + 2], 16) for i in (1, 3, 5))


def rect_test(x, y, w, h, rx):
    rx = min(rx, w / 2, h / 2)

    def inside(px, py):
        if px < x or px > x + w or py < y or py > y + h:
            return False
        # Outside the corner circles only near the corners.
        cx = min(max(px, x + rx), x + w - rx)
        cy = min(max(py, y + rx), y + h - rx)
        return (px - cx) ** 2 + (py - cy) ** 2 <= rx * rx

    return inside, (x, y, x + w, y + h)


def circle_test(cx, cy, r):
    return (lambda px, py: (px - cx) ** 2 + (py - cy) ** 2 <= r * r), (cx - r, cy - r, cx + r, cy + r)


def polygon_test(points):
    def inside(px, py):
        # Even-odd crossing count.
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > py) != (yj > py) and px < (xj - xi) * (py - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return inside, (min(xs), min(ys), max(xs), max(ys))


def load_shapes(path):
    root = ET.parse(path).getroot()
    view = [float(v) for v in root.get("viewBox").split()]
    if view[0] != 0 or view[1] != 0 or view[2] != view[3]:
        raise ValueError("the viewBox must be a square starting at 0 0")
    shapes = []
    for element in root:
        tag = element.tag.replace(SVG_NS, "")
        a = element.attrib
        if tag == "rect":
            test = rect_test(*(float(a.get(k, 0)) for k in ("x", "y", "width", "height", "rx")))
        elif tag == "circle":
            test = circle_test(*(float(a[k]) for k in ("cx", "cy", "r")))
        elif tag == "polygon":
            pairs = [p.split(",") for p in a["points"].split()]
            test = polygon_test([(float(px), float(py)) for px, py in pairs])
        else:
            raise ValueError(f"<{tag}> is not drawn by this tool")
        shapes.append((test, parse_colour(a["fill"])))
    return view[2], shapes


def render(size, extent, shapes):
    """Straight-alpha RGBA rows of `size` x `size` pixels."""
    scale = extent / size
    step = scale / SUPERSAMPLE
    offsets = [(i + 0.5) * step for i in range(SUPERSAMPLE)]
    total = SUPERSAMPLE * SUPERSAMPLE
    # Premultiplied colour and alpha per pixel, composited shape over shape.
    pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]
    for (inside, (x0, y0, x1, y1)), colour in shapes:
        first_col, last_col = max(0, int(x0 / scale)), min(size - 1, int(x1 / scale))
        first_row, last_row = max(0, int(y0 / scale)), min(size - 1, int(y1 / scale))
        for row in range(first_row, last_row + 1):
            for col in range(first_col, last_col + 1):
                hits = sum(
                    inside(col * scale + ox, row * scale + oy) for oy in offsets for ox in offsets
                )
                if hits:
                    cover = hits / total
                    p = pixels[row * size + col]
                    for c in range(3):
                        p[c] = colour[c] / 255 * cover + p[c] * (1 - cover)
                    p[3] = cover + p[3] * (1 - cover)
    rows = []
    for row in range(size):
        line = bytearray()
        for col in range(size):
            r, g, b, a = pixels[row * size + col]
            if a > 0:
                line += bytes(round(min(1.0, v / a) * 255) for v in (r, g, b))
            else:
                line += b"\0\0\0"
            line.append(round(a * 255))
        rows.append(bytes(line))
    return rows


def png_bytes(rows):
    size = len(rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )


def bmp_icon_bytes(rows):
    """A 32-bit icon image: header, bottom-up BGRA rows, then the 1-bit AND mask."""
    size = len(rows)
    xor = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for col in range(size):
            r, g, b, a = row[col * 4 : col * 4 + 4]
            xor += bytes((b, g, r, a))
            if a == 0:
                bits[col // 8] |= 0x80 >> (col % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def ico_bytes(images):
    """images: (size, rows) pairs. 256 px goes in as PNG, smaller sizes as bitmaps for old readers."""
    blobs = [(size, png_bytes(rows) if size >= 256 else bmp_icon_bytes(rows)) for size, rows in images]
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for size, blob in blobs:
        side = size if size < 256 else 0  # 0 means 256
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blob for _, blob in blobs)


def make_all(out_dir):
    extent, shapes = load_shapes(SOURCE)
    cache = {}

    def rows(size):
        if size not in cache:
            cache[size] = render(size, extent, shapes)
        return cache[size]

    files = {}
    for name, sizes in ICO_FILES.items():
        files[name] = ico_bytes([(s, rows(s)) for s in sizes])
    for name, size in PNG_FILES.items():
        files[name] = png_bytes(rows(size))
    for size in HICOLOR_SIZES:
        files[f"hicolor/{size}x{size}/apps/kinetra-sdk.png"] = png_bytes(rows(size))
    for name, data in files.items():
        target = out_dir / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return sorted(files)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with the files in res/")
    args = parser.parse_args()
    res = ROOT / "res"
    if not args.check:
        for name in make_all(res):
            print(f"res/{name}")
        return 0
    with tempfile.TemporaryDirectory() as scratch:
        differing = [
            name
            for name in make_all(Path(scratch))
            if not (res / name).is_file() or (res / name).read_bytes() != (Path(scratch) / name).read_bytes()
        ]
    for name in differing:
        print(f"res/{name} differs from a fresh drawing of res/kinetra.svg (run tools/make-icons.py)")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
