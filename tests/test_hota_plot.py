"""kelmora_tools.hota_plot against TrackEval's own HOTA plot of the same curves, drawn by pyplot."""

import re

import matplotlib
import numpy as np
from PIL import Image, ImageFilter
from trackeval.metrics import HOTA

from kelmora_tools.hota_plot import write_hota_plot

FIELDS = ["HOTA", "DetA", "AssA", "DetRe", "DetPr", "AssRe", "AssPr", "LocA", "OWTA"]


def test_plot_looks_like_trackevals_and_the_pdf_is_well_formed(tmp_path):
    a = np.arange(0.05, 0.99, 0.05)
    det, ass = 0.85 - 0.75 * a**3, 0.78 - 0.5 * a**4
    values = [np.sqrt(det * ass), det, ass, det + 0.06, det + 0.1, ass + 0.08, ass + 0.12, 0.93 - 0.05 * a]
    curves = dict(zip(FIELDS, values + [np.sqrt((det + 0.06) * ass)]))
    matplotlib.use("Agg")
    HOTA().plot_single_tracker_results({"COMBINED_SEQ": curves}, "kelmora", "pedestrian", str(tmp_path))
    write_hota_plot(tmp_path / "ours.png", tmp_path / "ours.pdf", "kelmora - pedestrian", a, curves)

    ours, theirs = (Image.open(tmp_path / name).convert("RGB") for name in ("ours.png", "pedestrian_plot.png"))
    assert ours.size == theirs.size == (640, 480)
    # After a 5 x 5 box blur, which evens out the two rasterisers' edges, 20 of the 307,200 pixels
    # differ by more than 32 levels (in the legend's labels: Pillow's glyphs are narrower). Moving the
    # title or the tick labels by one point, or drawing one dashed curve solid, makes 300 or more.
    blurred = [np.asarray(im.filter(ImageFilter.BoxBlur(2)), dtype=float) for im in (ours, theirs)]
    assert (np.abs(blurred[0] - blurred[1]).max(axis=2) > 32).sum() < 150

    pdf = (tmp_path / "ours.pdf").read_bytes()
    assert pdf.startswith(b"%PDF-1.4\n") and pdf.endswith(b"%%EOF\n")
    xref = int(re.search(rb"startxref\n(\d+)\n%%EOF\n$", pdf)[1])
    count = int(re.match(rb"xref\n0 (\d+)\n", pdf[xref:])[1])
    table = pdf[xref:].split(b"\n", 2)[2]
    offsets = [int(table[20 * k : 20 * k + 10]) for k in range(1, count)]
    assert [pdf[o : pdf.index(b"\n", o)] for o in offsets] == [b"%d 0 obj" % k for k in range(1, count)]
    # TrackEval's labels, the ninth (OWTA) having no line; Helvetica's text with its parentheses escaped.
    labels = ["HOTA (0.68)", "DetA (0.67)", "AssA (0.69)", "DetRe (0.73)", "DetPr (0.77)", "AssRe (0.77)"]
    labels += ["AssPr (0.81)", "LocA (0.9)"]
    texts = [t.replace(rb"\(", b"(").replace(rb"\)", b")").decode() for t in re.findall(rb"\((.*?)\) Tj", pdf)]
    assert set(labels) <= set(texts) and not any(t.startswith("OWTA") for t in texts)
