#!/usr/bin/env python3
"""Draws Crateline's icon (a wooden crate with a letter on it) and writes every form of it.

Writes, next to this script:
  crateline.ico            four 8-bit images (16, 24, 32, 48 px) with 1-bit masks
  icon-group.bin           the RT_GROUP_ICON resource listing icons 30001-30004
  icon-30001.dib ... 30004 the RT_ICON resources (the images as the .ico holds them)
  icons/crateline-N.png    RGBA images for the window and the desktop (16, 24, 32, 48, 256)
  icons/crateline.svg      the scalable form
  xpstyle.bmp              the 54 x 54 24-bit face of the style control, magenta where clear
Run it again after changing the drawing; the outputs are committed.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = [16, 24, 32, 48]
FIRST_ID = 30001

# The palette: the colours of the drawing, then black up to 256 entries.
COLOURS = {
    "clear": (0, 0, 0),
    "outline": (74, 46, 20),
    "plank": (176, 122, 64),
    "plank_light": (214, 168, 104),
    "gap": (122, 80, 38),
    "paper": (255, 255, 255),
    "paper_edge": (150, 160, 175),
    "fold": (40, 96, 200),
}
NAMES = list(COLOURS)


def colour_at(x, y):
    """The drawing in unit coordinates (0..1): the colour name at a point, or 'clear'."""
    if not (0.06 <= x <= 0.94 and 0.12 <= y <= 0.92):
        return "clear"
    if x < 0.12 or x > 0.88 or y < 0.18 or y > 0.86:
        return "outline"
    # The letter on the crate.
    if 0.26 <= x <= 0.74 and 0.36 <= y <= 0.68:
        if x < 0.29 or x > 0.71 or y < 0.39 or y > 0.65:
            return "paper_edge"
        # The flap: a V from the top corners to the middle.
        v = 0.39 + (0.5 - abs(x - 0.5)) * 0.55
        if abs(y - v) < 0.035:
            return "fold"
        return "paper"
    # Planks with gaps between them.
    if abs(y - 0.40) < 0.02 or abs(y - 0.63) < 0.02:
        return "gap"
    return "plank_light" if y < 0.30 else "plank"


def render(size):
    """Colour names, one row a list, top row first, sampled at pixel centres."""
    return [[colour_at((c + 0.5) / size, (r + 0.5) / size) for c in range(size)]
            for r in range(size)]


def dib(size):
    """An 8-bit icon image: BITMAPINFOHEADER, palette, XOR pixels, AND mask (bottom-up)."""
    pixels = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in COLOURS.values())
    palette += b"\0" * (1024 - len(palette))
    row_bytes = (size + 3) // 4 * 4
    mask_bytes = (size + 31) // 32 * 4
    xor, mask = b"", b""
    for row in reversed(pixels):
        xor += bytes(NAMES.index(n) for n in row) + b"\0" * (row_bytes - size)
        line = bytearray(mask_bytes)
        for c, n in enumerate(row):
            if n == "clear":
                line[c // 8] |= 0x80 >> (c % 8)
        mask += bytes(line)
    return header + palette + xor + mask


def png(size, path):
    pixels = render(size)
    raw = b"".join(b"\0" + b"".join(bytes(COLOURS[n]) + (b"\0" if n == "clear" else b"\xff")
                                     for n in row) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def svg(path):
    c = {k: "#%02x%02x%02x" % v for k, v in COLOURS.items()}
    with open(path, "w") as out:
        out.write(f"""<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 100 100">
  <rect x="6" y="12" width="88" height="80" fill="{c['outline']}"/>
  <rect x="12" y="18" width="76" height="68" fill="{c['plank']}"/>
  <rect x="12" y="18" width="76" height="12" fill="{c['plank_light']}"/>
  <rect x="12" y="38" width="76" height="4" fill="{c['gap']}"/>
  <rect x="12" y="61" width="76" height="4" fill="{c['gap']}"/>
  <rect x="26" y="36" width="48" height="32" fill="{c['paper_edge']}"/>
  <rect x="29" y="39" width="42" height="26" fill="{c['paper']}"/>
  <polyline points="29,39 50,53 71,39" fill="none" stroke="{c['fold']}" stroke-width="3.5"/>
</svg>
""")


def bmp24(size, path):
    """The style control's face: 24 bits, magenta in the corners the mask makes clear."""
    pixels = render(size)
    row_bytes = (size * 3 + 3) // 4 * 4
    body = b""
    for row in reversed(pixels):
        line = b"".join(bytes((255, 0, 255)[::-1]) if n == "clear" else bytes(COLOURS[n][::-1])
                        for n in row)
        body += line + b"\0" * (row_bytes - size * 3)
    info = struct.pack("<IiiHHIIiiII", 40, size, size, 1, 24, 0, len(body), 3780, 3780, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(body), 0, 0, 14 + len(info))
    with open(path, "wb") as out:
        out.write(head + info + body)


def main():
    images = [dib(s) for s in SIZES]
    # The .ico: ICONDIR, one ICONDIRENTRY an image, then the images.
    ico = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        ico += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), offset)
        offset += len(image)
    with open(os.path.join(HERE, "crateline.ico"), "wb") as out:
        out.write(ico + b"".join(images))
    # The resources: GRPICONDIR with GRPICONDIRENTRYs naming icons by id.
    group = struct.pack("<HHH", 0, 1, len(images))
    for i, (size, image) in enumerate(zip(SIZES, images)):
        group += struct.pack("<BBBBHHIH", size, size, 0, 0, 1, 8, len(image), FIRST_ID + i)
        with open(os.path.join(HERE, f"icon-{FIRST_ID + i}.dib"), "wb") as out:
            out.write(image)
    with open(os.path.join(HERE, "icon-group.bin"), "wb") as out:
        out.write(group)
    os.makedirs(os.path.join(HERE, "icons"), exist_ok=True)
    for size in SIZES + [256]:
        png(size, os.path.join(HERE, "icons", f"crateline-{size}.png"))
    svg(os.path.join(HERE, "icons", "crateline.svg"))
    bmp24(54, os.path.join(HERE, "xpstyle.bmp"))


if __name__ == "__main__":
    main()
