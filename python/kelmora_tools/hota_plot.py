"""TrackEval's HOTA plot (the HOTA family of scores against alpha) drawn without Matplotlib: a PNG through
Pillow and a one-page PDF written here, both laid out as pyplot lays out TrackEval's figure in
Matplotlib's default style. Importing pyplot alone takes about ten times as long as drawing both files
here (benchmarks/bench_hota_plot.py)."""

from __future__ import annotations

import importlib.util
import math
import pathlib
import struct
import zlib
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

if TYPE_CHECKING:
    from PIL import Image, ImageDraw, ImageFont

# Lengths are in points (1/72 in) with y downwards from the top of the figure, unless named pixels.
# Matplotlib's defaults: a 6.4 x 4.8 in figure, the axes at the subplot parameters left 0.125,
# right 0.9, bottom 0.11 and top 0.88, the PNG at 100 dpi.
FIG_W, FIG_H = 460.8, 345.6
AX_LEFT, AX_RIGHT = 0.125 * FIG_W, 0.9 * FIG_W
AX_TOP, AX_BOTTOM = (1 - 0.88) * FIG_H, (1 - 0.11) * FIG_H
PNG_DPI = 100
FONT_SIZE, TITLE_SIZE = 10.0, 12.0
FRAME_WIDTH = 0.8  # the axes' frame and the ticks
TICK_LENGTH, TICK_PAD = 3.5, 3.5  # ticks point outwards; the pad lies between tick and label
LABEL_PAD = 4.0  # tick labels to the axis label
TITLE_PAD = 6.0  # top of the axes to the title's baseline
LINE_WIDTH = 1.5
TICKS = [k / 5 for k in range(6)]  # 0.0, 0.2, ... 1.0 on both axes, the axes spanning [0, 1]

# The legend, in units of its font size: the gaps of Matplotlib's Legend and its rounded frame.
BORDER_AXES_PAD, BORDER_PAD, LABEL_SPACING = 0.5, 0.4, 0.5
HANDLE_LENGTH, HANDLE_HEIGHT, HANDLE_TEXT_PAD, ROUNDING = 2.0, 0.7, 0.8, 0.2
LEGEND_EDGE, LEGEND_EDGE_WIDTH, LEGEND_ALPHA = 0.8, 1.0, 0.8  # grey level, points, opacity of the frame

# Matplotlib's default dash patterns of '--' (3.7, 1.6) and ':' (1, 1.65), on and off, scaled by
# the line width; lines with dashes end flat, solid lines extend half their width past the ends.
DASHED = (3.7 * LINE_WIDTH, 1.6 * LINE_WIDTH)
DOTTED = (1.0 * LINE_WIDTH, 1.65 * LINE_WIDTH)
RED, BLUE, GREEN, MAGENTA = (1.0, 0.0, 0.0), (0.0, 0.0, 1.0), (0.0, 0.5, 0.0), (0.75, 0.0, 0.75)
# TrackEval's 'r', 'b', 'g', 'b--', 'b:', 'g--', 'g:', 'm', paired in order with its fields.
STYLES = [(RED, None), (BLUE, None), (GREEN, None), (BLUE, DASHED), (BLUE, DOTTED), (GREEN, DASHED)]
STYLES += [(GREEN, DOTTED), (MAGENTA, None)]

# The least ascent and descent of a line of text, per point of font size: DejaVu Sans's typographic
# ascender and descender (1556 and 492 of 2048 units), as Matplotlib reserves them for every line.
# The PDF keeps them for its Helvetica too, so that its lines lie where the PNG's do.
ASCENT, DESCENT = 1556 / 2048, 492 / 2048
# The widths of Helvetica's printable ASCII characters (32 to 126) in thousandths of the font size,
# from its Adobe font metrics.
HELVETICA_WIDTHS = (
    278, 278, 355, 556, 556, 889, 667, 191, 333, 333, 389, 584, 278, 333, 278, 278, 556, 556, 556, 556,
    556, 556, 556, 556, 556, 556, 278, 278, 584, 584, 584, 556, 1015, 667, 667, 722, 722, 667, 611, 778,
    722, 278, 500, 667, 556, 833, 722, 778, 667, 778, 722, 667, 611, 722, 667, 944, 667, 667, 611, 278,
    278, 278, 469, 556, 333, 556, 556, 500, 556, 556, 278, 556, 556, 222, 222, 500, 222, 833, 556, 556,
    556, 556, 333, 500, 278, 556, 500, 722, 500, 500, 500, 334, 260, 334, 584,
)  # fmt: skip
SUPERSAMPLING = 4  # the PNG's curves are drawn at 4 x 4 samples a pixel...
BAND = 48  # ... in bands of 48 pixels

Point = tuple[float, float]
Colour = tuple[float, float, float]
# (width, ascent, descent) in points of a line of text at a font size in points; the ascent and
# descent are at least the font's own, as Matplotlib lays out every line.
Measure = Callable[[str, float], tuple[float, float, float]]


class Text(NamedTuple):
    """One line of text at its pen position, the left end of its baseline."""

    text: str
    size: float
    x: float
    y: float
    upright: bool = False  # reads upwards: turned a quarter anticlockwise about (x, y)


class Stroke(NamedTuple):
    """A line through the runs of points (a gap between runs), solid or dashed (on, off)."""

    runs: list[list[Point]]
    colour: Colour
    dashes: tuple[float, float] | None


class Figure(NamedTuple):
    """What there is to draw, in drawing order: the curves (which the writers clip to the axes), the
    legend's frame (left, top, right, bottom) and lines, then the axes' frame and ticks, and the texts."""

    curves: list[Stroke]
    legend: tuple[float, float, float, float] | None
    handles: list[Stroke]
    texts: list[Text]


def write_hota_plot(
    png: pathlib.Path, pdf: pathlib.Path, title: str, alphas: Sequence[float], curves: Mapping[str, Sequence[float]]
) -> None:
    """Writes the two files of hota_plot_files to `png` and `pdf`."""
    png_data, pdf_data = hota_plot_files(title, alphas, curves)
    pathlib.Path(png).write_bytes(png_data)
    pathlib.Path(pdf).write_bytes(pdf_data)


def hota_plot_files(title: str, alphas: Sequence[float], curves: Mapping[str, Sequence[float]]) -> tuple[bytes, bytes]:
    """TrackEval's HOTA plot of `curves` (its float-array fields, in its order, each with one value per
    alpha) as the bytes of a 640 x 480 PNG and of a 6.4 x 4.8 in PDF: the first eight curves in
    TrackEval's styles, titled `title` (on one line), with TrackEval's legend of their means.
    Throws: ValueError when a curve has not one value per alpha."""
    title = " ".join(title.splitlines())
    xs = np.asarray(alphas, dtype=float)
    named = {name: np.asarray(values) for name, values in curves.items()}
    for name, values in named.items():
        if values.shape != xs.shape:
            raise ValueError(f"hota_plot_files: {name} has {values.size} values for {xs.size} alphas")
    drawn = list(zip(named.items(), STYLES))
    box = (AX_LEFT - 10.0, AX_TOP - 10.0, AX_RIGHT + 10.0, AX_BOTTOM + 10.0)  # beyond it all is clipped
    strokes = [Stroke(_runs(_x(xs), _y(v.astype(float)), box), colour, dashes) for (_, v), (colour, dashes) in drawn]
    # TrackEval's label: str() of NumPy's rounding of NumPy's mean, as in "LocA (0.9)". As Matplotlib
    # pairs the labels with the lines there are, the legend shows only those of the drawn curves.
    labels = [name + " (" + str(np.round(np.mean(values), 2)) + ")" for (name, values), _ in drawn]
    png = _png_file(lambda measure: _figure(title, strokes, labels, measure))
    return png, _pdf_file(_figure(title, strokes, labels, _helvetica))


def _figure(title: str, strokes: list[Stroke], labels: list[str], measure: Measure) -> Figure:
    """The figure, its text laid out as measured by `measure`."""
    texts = _axis_texts(title, measure)
    if not labels:
        return Figure(strokes, None, [], texts)
    legend, handles, label_texts = _legend(labels, [(s.colour, s.dashes) for s in strokes], measure)
    return Figure(strokes, legend, handles, texts + label_texts)


def _x(v: np.ndarray | float) -> np.ndarray:
    return AX_LEFT + np.asarray(v) * (AX_RIGHT - AX_LEFT)


def _y(v: np.ndarray | float) -> np.ndarray:
    return AX_BOTTOM - np.asarray(v) * (AX_BOTTOM - AX_TOP)


def _axis_texts(title: str, measure: Measure) -> list[Text]:
    """Tick labels, axis labels and title. Tick labels sit TICK_LENGTH + TICK_PAD from the axes: the x
    labels centred below, their boxes' tops aligned; the y labels right-aligned, the middle of their
    ascent on the tick. Axis labels keep LABEL_PAD from the tick labels' boxes; 'score' reads upwards,
    the bottom of its box towards the axes."""
    texts, bottom, left = [], 0.0, FIG_W
    top, right = AX_BOTTOM + TICK_LENGTH + TICK_PAD, AX_LEFT - TICK_LENGTH - TICK_PAD
    for v in TICKS:
        label = f"{v:.1f}"
        w, a, d = measure(label, FONT_SIZE)
        texts.append(Text(label, FONT_SIZE, float(_x(v)) - w / 2, top + a))
        texts.append(Text(label, FONT_SIZE, right - w, float(_y(v)) + a / 2))
        bottom, left = max(bottom, top + a + d), min(left, right - w)
    w, a, _ = measure("alpha", FONT_SIZE)
    texts.append(Text("alpha", FONT_SIZE, (AX_LEFT + AX_RIGHT - w) / 2, bottom + LABEL_PAD + a))
    w, _, d = measure("score", FONT_SIZE)
    texts.append(Text("score", FONT_SIZE, left - LABEL_PAD - d, (AX_TOP + AX_BOTTOM + w) / 2, upright=True))
    w, _, _ = measure(title, TITLE_SIZE)
    texts.append(Text(title, TITLE_SIZE, (AX_LEFT + AX_RIGHT - w) / 2, AX_TOP - TITLE_PAD))
    return texts


def _legend(
    labels: list[str], styles: list[tuple[Colour, tuple[float, float] | None]], measure: Measure
) -> tuple[tuple[float, float, float, float], list[Stroke], list[Text]]:
    """The legend in the lower left corner of the axes: its frame, its lines and its labels. An entry
    is as high as its label's ascent (at least the handle's height) plus its descent; the line lies
    half the handle's height above the label's baseline."""
    fs = FONT_SIZE
    sizes = [measure(label, fs) for label in labels]
    heights = [max(HANDLE_HEIGHT * fs, a) + d for _, a, d in sizes]
    left, bottom = AX_LEFT + BORDER_AXES_PAD * fs, AX_BOTTOM - BORDER_AXES_PAD * fs
    inner = sum(heights) + LABEL_SPACING * fs * (len(labels) - 1)
    top = bottom - inner - 2 * BORDER_PAD * fs
    width = (BORDER_PAD * 2 + HANDLE_LENGTH + HANDLE_TEXT_PAD) * fs + max(w for w, _, _ in sizes)
    handles, texts, y = [], [], top + BORDER_PAD * fs
    x0, x1 = left + BORDER_PAD * fs, left + (BORDER_PAD + HANDLE_LENGTH) * fs
    for label, (_, a, _), height, (colour, dashes) in zip(labels, sizes, heights, styles):
        baseline = y + max(HANDLE_HEIGHT * fs, a)
        line_y = baseline - HANDLE_HEIGHT * fs / 2
        handles.append(Stroke([[(x0, line_y), (x1, line_y)]], colour, dashes))
        texts.append(Text(label, fs, x1 + HANDLE_TEXT_PAD * fs, baseline))
        y += height + LABEL_SPACING * fs
    return (left, top, left + width, bottom), handles, texts


def _runs(xs: np.ndarray, ys: np.ndarray, box: tuple[float, float, float, float]) -> list[list[Point]]:
    """The polyline through (xs, ys) cut into runs: at points that are not finite (as Matplotlib leaves
    a gap there) and where it leaves `box` (clipped to it, which keeps the coordinates small)."""
    runs: list[list[Point]] = []
    last: Point | None = None
    open_run = False  # the last run ends at `last`
    for p in zip(xs.tolist(), ys.tolist()):
        if not (math.isfinite(p[0]) and math.isfinite(p[1])):
            last, open_run = None, False
            continue
        if last is None:
            open_run = _inside(p, box)
            if open_run:
                runs.append([p])
        else:
            segment = _clip(last, p, box)
            if segment is not None and not open_run:
                runs.append([segment[0]])
            if segment is not None:
                runs[-1].append(segment[1])
            open_run = segment is not None and segment[1] is p
        last = p
    return [run for run in runs if len(run) > 1]


def _inside(p: Point, box: tuple[float, float, float, float]) -> bool:
    return box[0] <= p[0] <= box[2] and box[1] <= p[1] <= box[3]


def _clip(a: Point, b: Point, box: tuple[float, float, float, float]) -> tuple[Point, Point] | None:
    """The part of segment ab inside `box` (Liang and Barsky's clipping), or None."""
    t0, t1 = 0.0, 1.0
    dx, dy = b[0] - a[0], b[1] - a[1]
    for p, q in ((-dx, a[0] - box[0]), (dx, box[2] - a[0]), (-dy, a[1] - box[1]), (dy, box[3] - a[1])):
        if p == 0:
            if q < 0:
                return None
        elif p < 0:
            t0 = max(t0, q / p)
        else:
            t1 = min(t1, q / p)
    if t0 >= t1:
        return None
    # The ends that are not cut are returned as they are: the caller knows them by identity.
    return (a if t0 == 0 else (a[0] + t0 * dx, a[1] + t0 * dy)), (b if t1 == 1 else (a[0] + t1 * dx, a[1] + t1 * dy))


def _pieces(stroke: Stroke) -> list[list[Point]]:
    """The polylines that paint `stroke`: each run extended by half the line width at both ends when
    solid, cut into its dashes (from the start of each run) when dashed."""
    pieces = []
    for run in stroke.runs:
        if stroke.dashes is None:
            pieces.append(_extend(run, LINE_WIDTH / 2))
        else:
            pieces += _dashes(run, *stroke.dashes)
    return pieces


def _extend(run: list[Point], by: float) -> list[Point]:
    def moved(p: Point, q: Point) -> Point:  # p moved `by` away from q
        n = math.hypot(p[0] - q[0], p[1] - q[1])
        return p if n == 0 else (p[0] + (p[0] - q[0]) * by / n, p[1] + (p[1] - q[1]) * by / n)

    return [moved(run[0], run[1]), *run[1:-1], moved(run[-1], run[-2])]


def _dashes(run: list[Point], on: float, off: float) -> list[list[Point]]:
    """The dashes of a polyline: `on` drawn, `off` skipped, repeated along its length."""
    dashes: list[list[Point]] = []
    drawing, left = True, on  # in a dash or a gap, and how much of it remains
    current: list[Point] = [run[0]]
    for a, b in zip(run, run[1:]):
        length = math.hypot(b[0] - a[0], b[1] - a[1])
        done = 0.0
        while length - done > left:
            done += left
            p = (a[0] + (b[0] - a[0]) * done / length, a[1] + (b[1] - a[1]) * done / length)
            if drawing:
                current.append(p)
                dashes.append(current)
            else:
                current = [p]
            drawing, left = not drawing, on if not drawing else off
        left -= length - done
        if drawing:
            current.append(b)
    if drawing and len(current) > 1:
        dashes.append(current)
    return dashes


# The PNG.


def _font_file() -> pathlib.Path | None:
    """Matplotlib's own DejaVu Sans, found without importing Matplotlib."""
    found = importlib.util.find_spec("matplotlib")
    for folder in (found.submodule_search_locations or []) if found else []:
        path = pathlib.Path(folder, "mpl-data", "fonts", "ttf", "DejaVuSans.ttf")
        if path.is_file():
            return path
    return None


def _png_file(layout: Callable[[Measure], Figure]) -> bytes:
    from PIL import Image, ImageDraw, ImageFont

    px = PNG_DPI / 72  # pixels a point
    file = _font_file()
    # Pillow's basic layout: its whole-pixel advances come closer to Agg's widths than Raqm's do, and
    # it is there whether Pillow was built with Raqm or not.
    fonts = {
        size: ImageFont.truetype(file, size * px, layout_engine=ImageFont.Layout.BASIC)
        if file
        else ImageFont.load_default(size * px)
        for size in (FONT_SIZE, TITLE_SIZE)
    }

    def measure(text: str, size: float) -> tuple[float, float, float]:
        x0, y0, x1, y1 = fonts[size].getbbox(text, anchor="ls")
        return (x1 - x0) / px, max(-y0 / px, ASCENT * size), max(y1 / px, DESCENT * size)

    figure = layout(measure)
    image = Image.new("RGB", (round(FIG_W * px), round(FIG_H * px)), "white")
    _draw_curves(image, figure.curves, px)
    draw = ImageDraw.Draw(image, "RGBA")
    if figure.legend is not None:
        _draw_legend(draw, figure.legend, figure.handles, px)
    _draw_frame_and_ticks(draw, px)
    for text in figure.texts:
        _draw_text(image, draw, text, fonts[text.size], px)
    return _png(image)


def _png(image: Image.Image) -> bytes:
    """An RGB image as a PNG file with its resolution: rows unfiltered, in one zlib stream. Pillow's own
    writer costs more than the drawing: it imports five format plugins on its first use and tries five
    filters on every row, which this picture, white for the most part, does not need."""
    width, height = image.size
    raw, stride = image.tobytes(), 3 * width
    rows = b"".join(b"\0" + raw[k : k + stride] for k in range(0, len(raw), stride))  # filter 0: none

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    per_metre = round(PNG_DPI / 0.0254)
    return b"".join(
        [
            b"\x89PNG\r\n\x1a\n",
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)),  # 8-bit RGB
            chunk(b"pHYs", struct.pack(">IIB", per_metre, per_metre, 1)),
            chunk(b"IDAT", zlib.compress(rows, 1)),
            chunk(b"IEND", b""),
        ]
    )


def _draw_curves(image: Image.Image, curves: list[Stroke], px: float) -> None:
    """The curves, clipped to the axes rounded to whole pixels as Agg clips them: drawn with SUPERSAMPLING
    samples a pixel in each direction and averaged down, which smooths their edges, BAND pixel rows at
    a time on one canvas (fresh memory for all the samples at once would cost more than the drawing)."""
    from PIL import Image, ImageDraw

    s, width = SUPERSAMPLING, LINE_WIDTH * px
    left, top, right, bottom = (math.floor(v * px + 0.5) for v in (AX_LEFT, AX_TOP, AX_RIGHT, AX_BOTTOM))
    pieces = []  # in samples, Pillow's coordinate of a sample being its centre; the rows the ink reaches
    for stroke in curves:
        for piece in _pieces(stroke):
            points = [((x * px - left) * s - 0.5, (y * px - top) * s - 0.5) for x, y in piece]
            ys = [y for _, y in points]
            pieces.append((points, _rgb(stroke.colour), min(ys) - width * s, max(ys) + width * s))
    band = Image.new("RGB", ((right - left) * s, BAND * s))
    for row in range(0, bottom - top, BAND):
        band.paste((255, 255, 255), (0, 0, *band.size))
        draw = ImageDraw.Draw(band)
        first, last = row * s, (row + BAND) * s
        for points, colour, low, high in pieces:
            if high >= first and low <= last:
                draw.line([(x, y - first) for x, y in points], fill=colour, width=round(width * s))
        rows = min(BAND, bottom - top - row)
        image.paste(band.reduce(s, (0, 0, band.width, rows * s)), (left, top + row))


def _draw_legend(
    draw: ImageDraw.ImageDraw, frame: tuple[float, float, float, float], handles: list[Stroke], px: float
) -> None:
    """The legend's frame and lines over the curves. Agg snaps both, being straight lines but for the
    frame's corners: each covers whole pixels across, and a share of the pixels beside them for its
    width beyond, which _fill paints exactly."""
    edge, grey = LEGEND_EDGE_WIDTH * px, (round(LEGEND_EDGE * 255),) * 3
    left, top, right, bottom = (_snap(v * px, edge) for v in frame)
    r = ROUNDING * FONT_SIZE * px
    # Pillow's coordinate of a pixel is its centre: these are half a pixel less than ours.
    box = (left - 0.5, top - 0.5, right - 0.5, bottom - 0.5)
    draw.rounded_rectangle(box, radius=round(r), fill=(255, 255, 255, round(LEGEND_ALPHA * 255)))
    for y in (top, bottom):
        _fill(draw, left + r, y - edge / 2, right - r, y + edge / 2, grey, LEGEND_ALPHA)
    for x in (left, right):
        _fill(draw, x - edge / 2, top + r, x + edge / 2, bottom - r, grey, LEGEND_ALPHA)
    for start in (0, 90, 180, 270):  # the corners, clockwise from the lower right
        x = box[0] if start in (90, 180) else box[2] - 2 * r
        y = box[1] if start in (180, 270) else box[3] - 2 * r
        draw.arc((x, y, x + 2 * r, y + 2 * r), start, start + 90, fill=(*grey, round(LEGEND_ALPHA * 255)))
    width = LINE_WIDTH * px
    for stroke in handles:
        # Snapped before the dashes are laid out along it, as Agg does.
        y = _snap(stroke.runs[0][0][1] * px, width)
        ends = [(_snap(x * px, width) / px, y / px) for x, _ in stroke.runs[0]]
        for piece in _pieces(stroke._replace(runs=[ends])):
            _fill(draw, piece[0][0] * px, y - width / 2, piece[-1][0] * px, y + width / 2, _rgb(stroke.colour))


def _snap(v: float, width: float) -> float:
    """A coordinate in pixels where Agg snaps the vertices of a horizontal or vertical line `width` pixels
    wide: onto a pixel's centre when the width rounds to an odd number of pixels, else onto its edge,
    so that the line covers whole pixels. The epsilon keeps a half pixel reached through points (92.5
    as 92.49999999999999) rounding up as Agg's own arithmetic has it."""
    return math.floor(v + 0.5 + 1e-9) + (0.5 if round(width) % 2 else 0.0)


def _rgb(colour: Colour) -> tuple[int, int, int]:
    return round(colour[0] * 255), round(colour[1] * 255), round(colour[2] * 255)


def _draw_frame_and_ticks(draw: ImageDraw.ImageDraw, px: float) -> None:
    """The frame of the axes and the ticks, snapped as Agg snaps them. The frame's sides extend half
    their width past their ends; ticks end flat."""
    width = FRAME_WIDTH * px
    half = width / 2
    left, top, right, bottom = (_snap(v * px, width) for v in (AX_LEFT, AX_TOP, AX_RIGHT, AX_BOTTOM))
    for x in (left, right):
        _fill(draw, x - half, top - half, x + half, bottom + half)
    for y in (top, bottom):
        _fill(draw, left - half, y - half, right + half, y + half)
    for v in TICKS:
        x, end = _snap(float(_x(v)) * px, width), _snap((AX_BOTTOM + TICK_LENGTH) * px, width)
        _fill(draw, x - half, bottom, x + half, end)
        y, end = _snap(float(_y(v)) * px, width), _snap((AX_LEFT - TICK_LENGTH) * px, width)
        _fill(draw, end, y - half, left, y + half)


def _fill(
    draw: ImageDraw.ImageDraw,
    x0: float,
    y0: float,
    x1: float,
    y1: float,
    colour: tuple[int, int, int] = (0, 0, 0),
    opacity: float = 1.0,
) -> None:
    """Paints the rectangle [x0, x1] x [y0, y1] (pixel edges), each pixel by its share covered."""
    cols, rows = _spans(min(x0, x1), max(x0, x1)), _spans(y0, y1)
    for c0, c1, cx in cols:
        for r0, r1, cy in rows:
            draw.rectangle((c0, r0, c1 - 1, r1 - 1), fill=(*colour, round(255 * opacity * cx * cy)))


def _spans(a: float, b: float) -> list[tuple[int, int, float]]:
    """[a, b] as runs of whole pixels [first, end) with the share of each pixel covered: the partial
    pixel at each end and the full ones between."""
    first, last = math.floor(a), math.ceil(b) - 1
    if b <= a:
        return []
    if first == last:
        return [(first, first + 1, b - a)]
    spans = [(first, first + 1, first + 1 - a), (last, last + 1, b - last)]
    if last > first + 1:
        spans.append((first + 1, last, 1.0))
    return spans


def _draw_text(
    image: Image.Image,
    draw: ImageDraw.ImageDraw,
    text: Text,
    font: ImageFont.FreeTypeFont | ImageFont.ImageFont,
    px: float,
) -> None:
    """Draws a text with its pen on the nearest pixel corner: Pillow places glyphs on whole pixels (Agg
    places them at fractions, within half a pixel of these)."""
    from PIL import Image, ImageDraw

    x, y = math.floor(text.x * px + 0.5), math.floor(text.y * px + 0.5)
    if not text.upright:
        draw.text((x, y), text.text, fill=(0, 0, 0), font=font, anchor="ls")
        return
    # Drawn across a mask, then turned a quarter anticlockwise, which takes the pen from the mask's
    # (-x0, -y0) to (-y0, x1).
    # Whole pixels, as Pillow gives them for a TrueType font.
    x0, y0, x1, y1 = (int(v) for v in font.getbbox(text.text, anchor="ls"))
    if x1 <= x0 or y1 <= y0:
        return
    mask = Image.new("L", (x1 - x0, y1 - y0), 0)
    ImageDraw.Draw(mask).text((-x0, -y0), text.text, fill=255, font=font, anchor="ls")
    image.paste((0, 0, 0), (x + y0, y - x1), mask.transpose(Image.Transpose.ROTATE_90))


# The PDF.


def _helvetica(text: str, size: float) -> tuple[float, float, float]:
    width = sum(HELVETICA_WIDTHS[ord(c) - 32] for c in _ascii(text)) / 1000
    return width * size, ASCENT * size, DESCENT * size


def _ascii(text: str) -> str:
    """The text in the characters the PDF's Helvetica is given widths for, others as '?'."""
    return "".join(c if " " <= c <= "~" else "?" for c in text)


def _pdf_file(figure: Figure) -> bytes:
    ops = [f"1 g 0 0 {_n(FIG_W)} {_n(FIG_H)} re f", "1 j"]
    # The curves, clipped to the axes.
    ops.append(f"q {_n(AX_LEFT)} {_n(FIG_H - AX_BOTTOM)} {_n(AX_RIGHT - AX_LEFT)} {_n(AX_BOTTOM - AX_TOP)} re W n")
    ops += [_pdf_stroke(stroke) for stroke in figure.curves if stroke.runs]
    ops.append("Q")
    if figure.legend is not None:
        ops.append(f"q /Frame gs 1 g {_n(LEGEND_EDGE)} G {_n(LEGEND_EDGE_WIDTH)} w")
        ops.append(_rounded_box(figure.legend, ROUNDING * FONT_SIZE) + " B Q")
        ops += [_pdf_stroke(stroke) for stroke in figure.handles]
    ops.append(f"0 G {_n(FRAME_WIDTH)} w [] 0 d 2 J")
    for x in (AX_LEFT, AX_RIGHT):
        ops.append(f"{_n(x)} {_n(FIG_H - AX_BOTTOM)} m {_n(x)} {_n(FIG_H - AX_TOP)} l S")
    for y in (AX_TOP, AX_BOTTOM):
        ops.append(f"{_n(AX_LEFT)} {_n(FIG_H - y)} m {_n(AX_RIGHT)} {_n(FIG_H - y)} l S")
    ops.append("0 J")
    for v in TICKS:
        x, y = float(_x(v)), FIG_H - float(_y(v))
        ops.append(f"{_n(x)} {_n(FIG_H - AX_BOTTOM)} m {_n(x)} {_n(FIG_H - AX_BOTTOM - TICK_LENGTH)} l S")
        ops.append(f"{_n(AX_LEFT)} {_n(y)} m {_n(AX_LEFT - TICK_LENGTH)} {_n(y)} l S")
    ops.append("0 g")
    for t in figure.texts:
        matrix = "0 1 -1 0" if t.upright else "1 0 0 1"
        escaped = _ascii(t.text).replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")
        ops.append(f"BT /F1 {_n(t.size)} Tf {matrix} {_n(t.x)} {_n(FIG_H - t.y)} Tm ({escaped}) Tj ET")
    content = "\n".join(ops).encode("ascii")
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %s %s] /Contents 4 0 R /Resources"
        b" << /Font << /F1 5 0 R >> /ExtGState << /Frame 6 0 R >> >> >>" % (_n(FIG_W).encode(), _n(FIG_H).encode()),
        b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content),
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
        b"<< /Type /ExtGState /CA %s /ca %s >>" % ((_n(LEGEND_ALPHA).encode(),) * 2),
    ]
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return bytes(out)


def _n(v: float) -> str:
    """A number as the PDF writes it: at most three decimals, no trailing zeros."""
    text = f"{v:.3f}".rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


def _pdf_stroke(stroke: Stroke) -> str:
    """A stroke in PDF operators: the colour, width, dash pattern and cap style, then the runs."""
    r, g, b = stroke.colour
    style = f"{_n(r)} {_n(g)} {_n(b)} RG {_n(LINE_WIDTH)} w "
    style += "[] 0 d 2 J" if stroke.dashes is None else f"[{_n(stroke.dashes[0])} {_n(stroke.dashes[1])}] 0 d 0 J"
    path = [
        " ".join(f"{_n(x)} {_n(FIG_H - y)} {'m' if k == 0 else 'l'}" for k, (x, y) in enumerate(run))
        for run in stroke.runs
    ]
    return style + "\n" + "\n".join(path) + " S"


def _rounded_box(box: tuple[float, float, float, float], r: float) -> str:
    """The outline of a box with corners rounded by quadratic curves through the corner, as Matplotlib's
    'round' box style draws it, written as the equivalent cubic curves."""
    left, top, right, bottom = box[0], FIG_H - box[1], box[2], FIG_H - box[3]
    k = 2 / 3  # a quadratic curve's control point, two thirds of the way from each end

    def corner(cx: float, cy: float, x0: float, y0: float, x1: float, y1: float) -> str:
        c1 = (x0 + k * (cx - x0), y0 + k * (cy - y0))
        c2 = (x1 + k * (cx - x1), y1 + k * (cy - y1))
        return f"{_n(x0)} {_n(y0)} l {_n(c1[0])} {_n(c1[1])} {_n(c2[0])} {_n(c2[1])} {_n(x1)} {_n(y1)} c"

    return " ".join(
        [
            f"{_n(left + r)} {_n(bottom)} m",
            corner(right, bottom, right - r, bottom, right, bottom + r),
            corner(right, top, right, top - r, right - r, top),
            corner(left, top, left + r, top, left, top - r),
            corner(left, bottom, left, bottom + r, left + r, bottom),
            "h",
        ]
    )
