#!/usr/bin/env python3
"""Writes the Windows program's picture resources byte for byte.

tools/draw-resources draws the pictures with ImageMagick and hands them over
as raw pixels (8 bits a channel, top row first, no header); this file puts
the Windows headers around them, so that every field is the one the program
and windres expect and a rerun gives the same bytes:

  resource_files.py bmp24 W H in.rgb out.bmp
  resource_files.py bmp8 W H drawn.rgb reduced.rgb R,G,B COLOURS out.bmp
  resource_files.py ico W H in.rgba out.ico
  resource_files.py cur W H HOTX HOTY in.rgba out.cur
  resource_files.py check DIR       (reads back the four files in DIR)

Every format here stores its rows bottom row first, each row padded to a
multiple of four bytes.
"""

import struct
import sys

BI_RGB = 0
PELS_PER_METRE = 2835  # 72 dots per inch

# The 16 colours of the Windows default palette, in its order (red, green, blue).
VGA_COLOURS = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def fail(message):
    sys.stderr.write("resource_files: %s\n" % message)
    sys.exit(1)


def read_raw(path, width, height, channels):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) != width * height * channels:
        fail("%s holds %d bytes, expected %d x %d x %d"
             % (path, len(data), width, height, channels))
    return data


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def padded_row_bytes(width, bits_per_pixel):
    return (width * bits_per_pixel + 31) // 32 * 4


def info_header(width, height, bits_per_pixel, image_bytes, colours_used):
    # BITMAPINFOHEADER; a positive height means bottom row first.
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits_per_pixel,
                       BI_RGB, image_bytes, PELS_PER_METRE, PELS_PER_METRE,
                       colours_used, 0)


def file_header(file_bytes, pixel_offset):
    # BITMAPFILEHEADER
    return struct.pack("<2sIHHI", b"BM", file_bytes, 0, 0, pixel_offset)


def rgb_quads(colours):
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)


def bottom_up_rows(width, height, row_of):
    """Joins row_of(y) for y from the bottom row to the top row."""
    return b"".join(row_of(y) for y in range(height - 1, -1, -1))


def and_mask(width, height, pixels):
    """1 bit a pixel, set where the picture is transparent (alpha below half),
    for readers that ignore the alpha channel or have none."""
    row_bytes = padded_row_bytes(width, 1)

    def row_of(y):
        row = bytearray(row_bytes)
        for x in range(width):
            if pixels[(y * width + x) * 4 + 3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        return bytes(row)

    return bottom_up_rows(width, height, row_of)


def bmp24(width, height, rgb_path, out_path):
    rgb = read_raw(rgb_path, width, height, 3)
    row_bytes = padded_row_bytes(width, 24)
    pad = bytes(row_bytes - width * 3)

    def row_of(y):
        row = bytearray(width * 3)
        start = y * width * 3
        row[0::3] = rgb[start + 2:start + width * 3:3]  # blue
        row[1::3] = rgb[start + 1:start + width * 3:3]  # green
        row[2::3] = rgb[start + 0:start + width * 3:3]  # red
        return bytes(row) + pad

    pixels = bottom_up_rows(width, height, row_of)
    offset = 14 + 40
    write_file(out_path, file_header(offset + len(pixels), offset)
               + info_header(width, height, 24, len(pixels), 0) + pixels)


def bmp8(width, height, drawn_path, reduced_path, background, colour_count,
         out_path):
    """An 8-bit picture whose colour table has exactly colour_count entries.

    reduced.rgb is the drawing after ImageMagick cut it down to fewer than
    colour_count colours. Entry 0 is the background colour, exactly; every
    pixel that was drawn in that colour keeps it, even where the reduction
    moved it, so the picture sits seamlessly on a window of that colour.
    """
    drawn = read_raw(drawn_path, width, height, 3)
    reduced = read_raw(reduced_path, width, height, 3)
    colours = sorted(set(tuple(reduced[i:i + 3])
                         for i in range(0, len(reduced), 3)) - {background})
    colours = [background] + colours
    if len(colours) > colour_count:
        fail("%s has %d colours, more than %d"
             % (reduced_path, len(colours), colour_count))
    index_of = {c: i for i, c in enumerate(colours)}
    # Unused entries repeat the background, so no stray colour is listed.
    colours += [background] * (colour_count - len(colours))

    row_bytes = padded_row_bytes(width, 8)
    pad = bytes(row_bytes - width)

    def row_of(y):
        row = bytearray(width)
        for x in range(width):
            i = (y * width + x) * 3
            if tuple(drawn[i:i + 3]) == background:
                row[x] = 0
            else:
                row[x] = index_of[tuple(reduced[i:i + 3])]
        return bytes(row) + pad

    pixels = bottom_up_rows(width, height, row_of)
    offset = 14 + 40 + 4 * colour_count
    write_file(out_path, file_header(offset + len(pixels), offset)
               + info_header(width, height, 8, len(pixels), colour_count)
               + rgb_quads(colours) + pixels)


def icon_image_32(width, height, rgba):
    """One icon image: header (height doubled for the two masks), then the
    colour picture as blue, green, red, alpha (straight, not premultiplied),
    then the AND mask."""
    def row_of(y):
        row = bytearray(width * 4)
        start = y * width * 4
        end = start + width * 4
        row[0::4] = rgba[start + 2:end:4]
        row[1::4] = rgba[start + 1:end:4]
        row[2::4] = rgba[start + 0:end:4]
        row[3::4] = rgba[start + 3:end:4]
        return bytes(row)

    colour = bottom_up_rows(width, height, row_of)
    mask = and_mask(width, height, rgba)
    return info_header(width, height * 2, 32, len(colour) + len(mask), 0) \
        + colour + mask


def cursor_image_4(width, height, rgba):
    """One 4-bit cursor image with the default 16-colour palette. A pixel
    whose alpha is below half is transparent: AND bit 1, colour index 0
    (black), which leaves the screen as it is."""
    index_of = {c: i for i, c in enumerate(VGA_COLOURS)}
    row_bytes = padded_row_bytes(width, 4)

    def row_of(y):
        row = bytearray(row_bytes)
        for x in range(width):
            i = (y * width + x) * 4
            if rgba[i + 3] < 128:
                index = 0
            else:
                colour = tuple(rgba[i:i + 3])
                if colour not in index_of:
                    fail("cursor pixel %d,%d has colour %s, not one of the 16"
                         % (x, y, colour))
                index = index_of[colour]
            row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        return bytes(row)

    colour = bottom_up_rows(width, height, row_of)
    mask = and_mask(width, height, rgba)
    return info_header(width, height * 2, 4, len(colour) + len(mask),
                       len(VGA_COLOURS)) + rgb_quads(VGA_COLOURS) + colour + mask


def icon_file(kind, width, height, colour_count, field4, field6, image):
    """An .ico (kind 1) or .cur (kind 2) file holding one image. In a cursor
    the planes and bit-count fields of the directory entry hold the hot spot."""
    directory = struct.pack("<HHH", 0, kind, 1)
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, colour_count,
                        0, field4, field6, len(image), 6 + 16)
    return directory + entry + image


def ico(width, height, rgba_path, out_path):
    rgba = read_raw(rgba_path, width, height, 4)
    image = icon_image_32(width, height, rgba)
    write_file(out_path, icon_file(1, width, height, 0, 1, 32, image))


def cur(width, height, hot_x, hot_y, rgba_path, out_path):
    rgba = read_raw(rgba_path, width, height, 4)
    if not (0 <= hot_x < width and 0 <= hot_y < height):
        fail("hot spot %d,%d lies outside the cursor" % (hot_x, hot_y))
    image = cursor_image_4(width, height, rgba)
    write_file(out_path, icon_file(2, width, height, 16, hot_x, hot_y, image))


def read_info(data, offset):
    fields = struct.unpack_from("<IiiHHIIiiII", data, offset)
    names = ("size", "width", "height", "planes", "bits", "compression",
             "image_bytes", "xppm", "yppm", "colours_used", "important")
    return dict(zip(names, fields))


def check(directory):
    """Reads the four files back and prints their header fields; fails on the
    first field that is not what the program needs."""
    problems = []

    def expect(name, what, got, want):
        if got != want:
            problems.append("%s: %s is %r, expected %r" % (name, what, got, want))

    for name, width, height, bits, colours in (("title.bmp", 640, 154, 24, 0),
                                               ("patent.bmp", 244, 212, 8, 255)):
        with open("%s/%s" % (directory, name), "rb") as f:
            data = f.read()
        magic, size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
        info = read_info(data, 14)
        expect(name, "magic", magic, b"BM")
        expect(name, "file size", size, len(data))
        expect(name, "header size", info["size"], 40)
        expect(name, "size", (info["width"], info["height"]), (width, height))
        expect(name, "bits per pixel", info["bits"], bits)
        expect(name, "compression", info["compression"], BI_RGB)
        expect(name, "colours used", info["colours_used"], colours)
        expect(name, "pixel offset", offset, 54 + 4 * colours)
        row_bytes = padded_row_bytes(width, bits)
        expect(name, "pixel bytes", len(data) - offset, row_bytes * height)
        print("%s: %d x %d, %d bits, %d colours in the table, %d bytes"
              % (name, info["width"], info["height"], info["bits"],
                 info["colours_used"], len(data)))
        if name == "patent.bmp":
            table = data[54:54 + 4 * colours]
            background = (table[2], table[1], table[0])
            expect(name, "colour 0", background, (20, 50, 195))
            corners = [data[offset + i] for i in
                       (0, width - 1, (height - 1) * row_bytes,
                        (height - 1) * row_bytes + width - 1)]
            expect(name, "corner colour indexes", corners, [0, 0, 0, 0])

    for name, kind, bits, field4, field6 in (("video.ico", 1, 32, 1, 32),
                                             ("h_point.cur", 2, 4, 12, 1)):
        with open("%s/%s" % (directory, name), "rb") as f:
            data = f.read()
        reserved, got_kind, count = struct.unpack_from("<HHH", data, 0)
        w, h, colour_count, _, f4, f6, image_bytes, offset = \
            struct.unpack_from("<BBBBHHII", data, 6)
        info = read_info(data, offset)
        expect(name, "directory", (reserved, got_kind, count), (0, kind, 1))
        expect(name, "size", (w, h, info["width"], info["height"]), (32, 32, 32, 64))
        expect(name, "bits per pixel", info["bits"], bits)
        expect(name, "entry fields 4 and 6", (f4, f6), (field4, field6))
        expect(name, "file size", offset + image_bytes, len(data))
        palette = 4 * (16 if bits == 4 else 0)
        expect(name, "image bytes", image_bytes,
               40 + palette + 32 * padded_row_bytes(32, bits) + 32 * 4)
        what = ("hot spot %d,%d" % (f4, f6)) if kind == 2 else "alpha"
        print("%s: %d x %d, %d bits, %s, %d bytes"
              % (name, info["width"], info["height"] // 2, info["bits"], what,
                 len(data)))

    if problems:
        fail("\n  ".join(["check failed:"] + problems))


def main(args):
    if len(args) == 5 and args[0] == "bmp24":
        bmp24(int(args[1]), int(args[2]), args[3], args[4])
    elif len(args) == 8 and args[0] == "bmp8":
        background = tuple(int(v) for v in args[5].split(","))
        bmp8(int(args[1]), int(args[2]), args[3], args[4], background,
             int(args[6]), args[7])
    elif len(args) == 5 and args[0] == "ico":
        ico(int(args[1]), int(args[2]), args[3], args[4])
    elif len(args) == 7 and args[0] == "cur":
        cur(int(args[1]), int(args[2]), int(args[3]), int(args[4]), args[5],
            args[6])
    elif len(args) == 2 and args[0] == "check":
        check(args[1])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    main(sys.argv[1:])
