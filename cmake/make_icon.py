#!/usr/bin/python3
"""Draws the program icon and writes it as a Windows .ico file, or as the resources of one.

usage: make_icon.py <out.ico> <variant>      variant: setup | make
       make_icon.py <out.rc> <variant> <id>  a resource script naming the icon's group <id> and
                                             its images, with their files beside it

The icon holds 24 images: 16, 20, 32, 40, 48 and 256 pixels square, each at 4, 8, 24 and 32 bits
per pixel: the 16- to 32-pixel sizes as DIB (BITMAPINFOHEADER, XOR bitmap then AND mask, rows
bottom-up), the larger images, at every depth, as PNG of the pixels their bitmap would hold. The motif is a
package with an arrow pointing into it, drawn from signed distance functions so that every size
is computed, not scaled. The 32-bit images are antialiased with alpha; the 24- and 8-bit images
use the same colours with a 1-bit mask cut at half coverage (8-bit through a palette made from the
image); the 4-bit images are drawn flat in the standard 16-colour VGA palette. The two variants
differ only in colour. Output is the same bytes on every run; standard library only.
"""
import math
import os
import struct
import zlib
import sys

SIZES = (16, 20, 32, 40, 48, 256)
# Images of this size and more are PNG, which Windows reads in icons from Vista on; as bitmaps
# they would be three times as large (the 256-pixel ones alone a megabyte). Windows XP, which
# reads bitmaps only, shows the 16- and 32-pixel images (the 48-pixel ones in the tiles view).
PNG_FROM = 40
BIT_COUNTS = (4, 8, 24, 32)

# The standard 16-colour palette, in the order Windows uses for 4-bit bitmaps.
VGA = (
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
)
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER, GREY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(16)

# Colours per variant: (r, g, b) for the full-colour images and a VGA index for the 4-bit ones.
# The body colour runs from "body_top" at the lid down to "body" at the bottom.
VARIANTS = {
    "setup": {
        "outline": ((22, 46, 96), NAVY),
        "body_top": ((112, 168, 232), BLUE),
        "body": ((52, 110, 196), BLUE),
        "lid": ((38, 84, 160), NAVY),
        "tape": ((214, 228, 246), SILVER),
        "arrow_outline": ((16, 82, 30), GREEN),
        "arrow": ((64, 190, 84), LIME),
    },
    "make": {
        "outline": ((104, 56, 12), MAROON),
        "body_top": ((248, 190, 104), YELLOW),
        "body": ((228, 138, 44), YELLOW),
        "lid": ((188, 102, 28), OLIVE),
        "tape": ((252, 230, 180), WHITE),
        "arrow_outline": ((20, 44, 110), NAVY),
        "arrow": ((62, 120, 222), BLUE),
    },
}

# ---------------------------------------------------------------------------------------------
# Shapes, in coordinates where the image is the unit square (x right, y down). Each is a signed
# distance function (negative inside) and a bounding box (x0, y0, x1, y1).


def round_box(x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def distance(px, py):
        qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius

    return distance, (x0, y0, x1, y1)


def polygon(points):
    """Exact distance to a simple polygon (convex or not)."""
    count = len(points)

    def distance(px, py):
        best = (px - points[0][0]) ** 2 + (py - points[0][1]) ** 2
        sign = 1.0
        j = count - 1
        for i in range(count):
            vx, vy = points[i]
            ex, ey = points[j][0] - vx, points[j][1] - vy
            wx, wy = px - vx, py - vy
            t = min(max((wx * ex + wy * ey) / (ex * ex + ey * ey), 0.0), 1.0)
            bx, by = wx - ex * t, wy - ey * t
            best = min(best, bx * bx + by * by)
            above, below, left = py >= vy, py < points[j][1], ex * wy > ey * wx
            if (above and below and left) or not (above or below or left):
                sign = -sign
            j = i
        return sign * math.sqrt(best)

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return distance, (min(xs), min(ys), max(xs), max(ys))


def intersection(first, second):
    (d1, b1), (d2, b2) = first, second
    box = (max(b1[0], b2[0]), max(b1[1], b2[1]), min(b1[2], b2[2]), min(b1[3], b2[3]))
    return (lambda px, py: max(d1(px, py), d2(px, py))), box


def shapes(size):
    """The parts of the motif, with their edges put on pixel boundaries so that small images stay sharp."""
    def snap(value):
        return round(value * size) / size

    def snapped_box(x0, y0, x1, y1, radius):
        return round_box(snap(x0), snap(y0), snap(x1), snap(y1), radius)

    body = snapped_box(0.14, 0.40, 0.86, 0.93, 0.07)
    return {
        "body": body,
        "lid": snapped_box(0.09, 0.31, 0.91, 0.49, 0.05),
        "tape": intersection(snapped_box(0.43, 0.30, 0.57, 1.00, 0.0), body),
        "arrow": polygon([(snap(x), snap(y)) for x, y in ((0.39, 0.04), (0.61, 0.04), (0.61, 0.30), (0.77, 0.30),
                                                          (0.50, 0.60), (0.23, 0.30), (0.39, 0.30))]),
    }


# ---------------------------------------------------------------------------------------------
# Drawing.


def layers(size, colours):
    """The picture back to front: (shape, colour key, grow, softness, opacity).

    `grow` widens the shape (for outlines), in image units; `softness` > 1 blurs the edge over
    that many pixels (for the shadow)."""
    outline = max(1.0 / size, round(0.035 * size) / size)
    parts = shapes(size)
    result = []
    if size >= 32:
        body_distance, (x0, y0, x1, y1) = parts["body"]
        offset = 0.035
        shadow = (lambda px, py: body_distance(px - offset, py - offset)), (x0 + offset, y0 + offset,
                                                                           x1 + offset, y1 + offset)
        result.append((shadow, "shadow", outline, 0.05 * size, 0.35))
    result += [
        (parts["body"], "outline", outline, 1.0, 1.0),
        (parts["body"], "body", 0.0, 1.0, 1.0),
        (parts["tape"], "tape", 0.0, 1.0, 1.0),
        (parts["lid"], "outline", outline, 1.0, 1.0),
        (parts["lid"], "lid", 0.0, 1.0, 1.0),
        (parts["arrow"], "arrow_outline", outline, 1.0, 1.0),
        (parts["arrow"], "arrow", 0.0, 1.0, 1.0),
    ]
    return result


def colour_at(colours, key, y):
    if key == "shadow":
        return (0, 0, 0)
    if key == "body":
        (r0, g0, b0), _ = colours["body_top"]
        (r1, g1, b1), _ = colours["body"]
        t = min(max((y - 0.45) / 0.45, 0.0), 1.0)
        return (r0 + (r1 - r0) * t, g0 + (g1 - g0) * t, b0 + (b1 - b0) * t)
    return colours[key][0]


def render_smooth(size, colours):
    """Antialiased RGBA, straight alpha, as rows of (r, g, b, a) with 0-255 floats and a 0-1."""
    plan = []
    for (distance, (x0, y0, x1, y1)), key, grow, softness, opacity in layers(size, colours):
        margin = grow + softness / size + 1.0 / size
        plan.append((distance, (x0 - margin, y0 - margin, x1 + margin, y1 + margin), key, grow, softness, opacity))
    rows = []
    for row in range(size):
        py = (row + 0.5) / size
        pixels = []
        for column in range(size):
            px = (column + 0.5) / size
            # Premultiplied "over" compositing.
            r = g = b = a = 0.0
            for distance, (x0, y0, x1, y1), key, grow, softness, opacity in plan:
                if px < x0 or px > x1 or py < y0 or py > y1:
                    continue
                coverage = 0.5 - (distance(px, py) - grow) * size / softness
                if coverage <= 0.0:
                    continue
                alpha = min(coverage, 1.0) * opacity
                cr, cg, cb = colour_at(colours, key, py)
                r = cr * alpha + r * (1.0 - alpha)
                g = cg * alpha + g * (1.0 - alpha)
                b = cb * alpha + b * (1.0 - alpha)
                a = alpha + a * (1.0 - alpha)
            if a > 0.0:
                pixels.append((r / a, g / a, b / a, a))
            else:
                pixels.append((0.0, 0.0, 0.0, 0.0))
        rows.append(pixels)
    return rows


def render_flat(size, colours):
    """Hard-edged VGA palette indexes, rows of int or None (transparent). No shadow."""
    plan = [(distance, key, grow) for (distance, _), key, grow, _, _ in layers(size, colours) if key != "shadow"]
    rows = []
    for row in range(size):
        py = (row + 0.5) / size
        pixels = []
        for column in range(size):
            px = (column + 0.5) / size
            index = None
            for distance, key, grow in reversed(plan):  # topmost first
                if distance(px, py) - grow <= 0.0:
                    index = colours[key][1]
                    break
            pixels.append(index)
        rows.append(pixels)
    return rows


# ---------------------------------------------------------------------------------------------
# Palettes.


def median_cut(colours, count):
    """Up to `count` representative colours of a list of (r, g, b) ints, deterministically."""
    distinct = sorted(set(colours))
    if len(distinct) <= count:
        return distinct
    boxes = [distinct]
    while len(boxes) < count:
        # Split the box with the widest channel range (ties: the earlier box).
        best, best_range, best_channel = None, -1, 0
        for index, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for channel in range(3):
                values = [c[channel] for c in box]
                spread = max(values) - min(values)
                if spread > best_range:
                    best, best_range, best_channel = index, spread, channel
        if best is None:
            break
        box = sorted(boxes[best], key=lambda c: (c[best_channel], c))
        middle = len(box) // 2
        boxes[best:best + 1] = [box[:middle], box[middle:]]
    palette = []
    for box in boxes:
        palette.append(tuple(int(sum(c[channel] for c in box) / len(box) + 0.5) for channel in range(3)))
    return sorted(set(palette))


def nearest(palette, colour, cache):
    found = cache.get(colour)
    if found is None:
        r, g, b = colour
        found = min(range(len(palette)),
                    key=lambda i: (2 * (palette[i][0] - r) ** 2 + 4 * (palette[i][1] - g) ** 2
                                   + 3 * (palette[i][2] - b) ** 2, i))
        cache[colour] = found
    return found


# ---------------------------------------------------------------------------------------------
# DIB encoding.


def to_byte(value):
    return min(max(int(value + 0.5), 0), 255)


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def and_mask(opaque_rows, size):
    """1-bit mask, bottom-up: a set bit is a transparent pixel."""
    stride = row_bytes(size)
    out = bytearray()
    for row in reversed(opaque_rows):
        line = bytearray(stride)
        for column, opaque in enumerate(row):
            if not opaque:
                line[column // 8] |= 0x80 >> (column % 8)
        out += line
    return bytes(out)


def dib(size, bit_count, palette, xor_rows, opaque_rows):
    """BITMAPINFOHEADER, palette, XOR bitmap (rows given top-down as bytes) and AND mask."""
    xor = b"".join(reversed(xor_rows))
    mask = and_mask(opaque_rows, size)
    # A palette shorter than the depth allows is counted in the header (biClrUsed).
    colours_used = len(palette) if len(palette) < 1 << bit_count else 0
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bit_count, 0, len(xor) + len(mask), 0, 0,
                         colours_used, 0)
    colour_table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + colour_table + xor + mask


def png(size, rgba_rows):
    """A PNG of 8-bit RGBA rows (top-down): how icons store their large images from Vista on.
    The smallest of several encodings: RGBA, and with a palette (the transparent pixels one
    entry of it) where at most 256 colours occur; each with every row behind one filter kind, or
    with each row's filter chosen as libpng chooses it; each deflated with each of zlib's
    strategies that suit images, at both of its larger memory levels."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    def deflated(raw):
        def one(memory, strategy):
            packer = zlib.compressobj(9, zlib.DEFLATED, 15, memory, strategy)
            return packer.compress(raw) + packer.flush()
        return min((one(m, s) for m in (8, 9) for s in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_RLE)),
                   key=len)

    def encoded(colour_type, rows, bpp, extra=b""):
        header = chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, colour_type, 0, 0, 0))
        return min((b"\x89PNG\r\n\x1a\n" + header + extra + chunk(b"IDAT", deflated(raw)) + chunk(b"IEND", b"")
                    for raw in filterings(rows, bpp)), key=len)
    candidates = [encoded(6, rgba_rows, 4)]
    pixels = [[row[i:i + 4] for i in range(0, len(row), 4)] for row in rgba_rows]
    colours = sorted({pixel for row in pixels for pixel in row})
    if len(colours) <= 256:
        index = {colour: i for i, colour in enumerate(colours)}
        palette = (chunk(b"PLTE", b"".join(colour[:3] for colour in colours))
                   + chunk(b"tRNS", bytes(colour[3] for colour in colours)))
        candidates.append(encoded(3, [bytes(index[pixel] for pixel in row) for row in pixels], 1, palette))
    return min(candidates, key=len)


def filterings(rows, bpp):
    """The image's rows behind filters, each way: one filter kind for every row (none, sub, up,
    average, Paeth), then each row's kind chosen as libpng chooses it."""
    behind = [[] for _ in range(5)]
    chosen = []
    previous = bytes(len(rows[0]))
    for row in rows:
        outs = filtered_all(row, previous, bpp)
        for kind, out in enumerate(outs):
            behind[kind].append(bytes((kind,)) + out)
        kind = min(range(5), key=lambda k: (sum(v if v < 128 else 256 - v for v in outs[k]), k))
        chosen.append(bytes((kind,)) + outs[kind])
        previous = row
    return [b"".join(kind_rows) for kind_rows in behind] + [b"".join(chosen)]


def filtered_all(row, previous, bpp):
    """The row behind each PNG filter: none, sub, up, average and Paeth."""
    def paeth(a, b, c):
        p = a + b - c
        pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
        return a if pa <= pb and pa <= pc else b if pb <= pc else c
    outs = [bytearray() for _ in range(5)]
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = previous[i]
        c = previous[i - bpp] if i >= bpp else 0
        for kind, predictor in enumerate((0, a, b, (a + b) // 2, paeth(a, b, c))):
            outs[kind].append((x - predictor) & 0xFF)
    return [bytes(out) for out in outs]


def png_of_colours(size, rows):
    """A PNG of rows of (r, g, b) colours or None for a transparent pixel: a large image of a
    lower colour depth, showing exactly what its bitmap would."""
    return png(size, [b"".join(bytes((*colour, 255)) if colour else b"\0\0\0\0" for colour in row) for row in rows])


def image_32(size, smooth):
    if size >= PNG_FROM:
        return png(size, [bytes(to_byte(c * 255) if i == 3 else to_byte(c) for r, g, b, a in pixels
                                for i, c in enumerate((r, g, b, a))) for pixels in smooth])
    rows, opaque = [], []
    for pixels in smooth:
        line = bytearray()
        for r, g, b, a in pixels:
            alpha = to_byte(a * 255)
            if alpha == 0:
                line += b"\0\0\0\0"
            else:
                line += bytes((to_byte(b), to_byte(g), to_byte(r), alpha))
        rows.append(bytes(line))
        opaque.append([a >= 0.5 for _, _, _, a in pixels])
    return dib(size, 32, [], rows, opaque)


def solid_colours(smooth):
    """The colour of each pixel at half coverage or more, else None."""
    return [[(to_byte(r), to_byte(g), to_byte(b)) if a >= 0.5 else None for r, g, b, a in pixels]
            for pixels in smooth]


def image_24(size, smooth):
    if size >= PNG_FROM:
        return png_of_colours(size, solid_colours(smooth))
    rows, opaque = [], []
    stride = row_bytes(size * 24)
    for pixels in solid_colours(smooth):
        line = bytearray()
        for colour in pixels:
            line += bytes((colour[2], colour[1], colour[0])) if colour else b"\0\0\0"
        rows.append(bytes(line.ljust(stride, b"\0")))
        opaque.append([colour is not None for colour in pixels])
    return dib(size, 24, [], rows, opaque)


def image_8(size, smooth):
    solid = solid_colours(smooth)
    # Index 0 stays black: transparent pixels must be colour 0 for the XOR step to leave the screen as it is.
    palette = [(0, 0, 0)] + [c for c in median_cut([c for row in solid for c in row if c], 255) if c != (0, 0, 0)]
    cache = {(0, 0, 0): 0}
    if size >= PNG_FROM:
        return png_of_colours(size, [[palette[nearest(palette, colour, cache)] if colour else None for colour in row]
                                     for row in solid])
    rows, opaque = [], []
    stride = row_bytes(size * 8)
    for pixels in solid:
        line = bytes(nearest(palette, colour, cache) if colour else 0 for colour in pixels)
        rows.append(line.ljust(stride, b"\0"))
        opaque.append([colour is not None for colour in pixels])
    return dib(size, 8, palette, rows, opaque)


def image_4(size, flat):
    if size >= PNG_FROM:
        return png_of_colours(size, [[VGA[index] if index is not None else None for index in row] for row in flat])
    rows, opaque = [], []
    stride = row_bytes(size * 4)
    for pixels in flat:
        line = bytearray(stride)
        for column, index in enumerate(pixels):
            if index is not None:
                line[column // 2] |= index << (4 if column % 2 == 0 else 0)
        rows.append(bytes(line))
        opaque.append([index is not None for index in pixels])
    return dib(size, 4, VGA, rows, opaque)


# ---------------------------------------------------------------------------------------------


def icon_images(variant, shared=False):
    """(size, bit count, image bytes), smaller colour depths first, each from small to large, as
    icon editors write them. `shared`: the PNG sizes' entries of every depth take the 32-bit image,
    since only Vista and later read PNG, and their displays have millions of colours."""
    colours = VARIANTS[variant]
    images = []
    for size in SIZES:
        smooth = render_smooth(size, colours)
        flat = render_flat(size, colours)
        encoded = {8: image_8(size, smooth), 32: image_32(size, smooth)}
        shares = shared and size >= PNG_FROM
        if shares:
            encoded[4] = encoded[8] = encoded[24] = encoded[32]
        else:
            encoded[4] = image_4(size, flat)
            encoded[24] = image_24(size, smooth)
        images += [(size, bit_count, encoded[bit_count]) for bit_count in BIT_COUNTS]
    images.sort(key=lambda image: (image[1], image[0]))
    return images


def build_resources(variant, group_id, folder, stem):
    """The icon as resources: each distinct image once (RT_ICON, 3), and the group directory
    (RT_GROUP_ICON, 14) whose entries name them, two entries naming one image where they share
    it. Returns the resource script; the images and the directory go into `folder`."""
    ids, files, entries = {}, [], b""
    for size, bit_count, encoded in icon_images(variant, shared=True):
        if encoded not in ids:
            ids[encoded] = len(ids) + 1
            files.append(("%s-%d.bin" % (stem, ids[encoded]), encoded))
        dimension = size if size < 256 else 0
        colour_count = 16 if bit_count == 4 else 0
        entries += struct.pack("<BBBBHHIH", dimension, dimension, colour_count, 0, 1, bit_count, len(encoded),
                               ids[encoded])
    files.append(("%s-group.bin" % stem, struct.pack("<HHH", 0, 1, len(entries) // 14) + entries))
    for name, data in files:
        with open(os.path.join(folder, name), "wb") as stream:
            stream.write(data)
    script = ["// Made by make_icon.py: the icon's images and its group directory."]
    script += ["%d 3 \"%s\"" % (number, name) for number, (name, _) in enumerate(files[:-1], 1)]
    script.append("%d 14 \"%s\"" % (group_id, files[-1][0]))
    return "\n".join(script) + "\n"


def build_icon(variant):
    images = icon_images(variant)

    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, data = b"", b""
    for size, bit_count, encoded in images:
        dimension = size if size < 256 else 0  # 256 is written as 0
        colour_count = 16 if bit_count == 4 else 0
        entries += struct.pack("<BBBBHHII", dimension, dimension, colour_count, 0, 1, bit_count, len(encoded), offset)
        offset += len(encoded)
        data += encoded
    return header + entries + data


def main(argv):
    if len(argv) not in (3, 4) or argv[2] not in VARIANTS or (len(argv) == 4) != argv[1].endswith(".rc"):
        sys.stderr.write("usage: make_icon.py <out.ico> <%s> | <out.rc> <variant> <id>\n" % "|".join(sorted(VARIANTS)))
        return 2
    output = argv[1]
    if len(argv) == 4:
        stem = os.path.splitext(os.path.basename(output))[0]
        icon = build_resources(argv[2], int(argv[3]), os.path.dirname(os.path.abspath(output)), stem).encode()
    else:
        icon = build_icon(argv[2])
    # Write beside the target and rename, so an interrupted build leaves no half-written icon.
    temporary = output + ".tmp"
    try:
        with open(temporary, "wb") as stream:
            stream.write(icon)
        os.replace(temporary, output)
    except OSError as error:
        sys.stderr.write("make_icon.py: cannot write %s: %s\n" % (output, error))
        try:
            os.remove(temporary)
        except OSError:
            pass
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
