"""The picture the program must show, computed from geometry alone, and the
judgement of a picture against it, for scripts/run and the tests alike.

The circle is drawn as a polygon of 30 points on a circle of radius 100 in a
200 x 200 scene, the first point at the top. A pixel is green exactly when its
centre lies inside that polygon, once the scene is stretched over the window's
client area. Pixels whose centre lies within EDGE_TOLERANCE pixels of an edge
may go either way: there, rounding decides.

A window manager that gives the window another size (a tiling one does) makes
that size the scene if the library saw it when it set up its view, as it does
when the size comes before the window is shown: the circle keeps its size at
the top-left, and the rest is black. If the size came later, the 200 x 200
scene is stretched over the window. Which of the two happened is a race inside
the library, so a window of another size may show either. A manager that sizes
the window twice (one still applying its own settings re-tiles it) leaves the
scene at whichever size the library saw, stretched over the last one; that
scene is found from the circle's centre in the picture, and then every pixel is
judged against it like any other.
"""

import collections
import math
from typing import NamedTuple

import numpy

from .facts import POINTS, RADIUS, SIZE
from .pictures import BLACK, GREEN, Image, side_by_side

SCENE = float(SIZE)
EDGE_TOLERANCE = 0.01
# Pixels this far across, horizontally, from where a row crosses the
# polygon's outline are judged by their distance to every edge; all others are
# plainly inside or outside.
CROSSING_MARGIN = 1.5


def polygon(points=POINTS, radius=RADIUS, width=SCENE, height=SCENE):
    """The polygon's vertices in window pixels, for a window of this size."""
    sx, sy = width / SCENE, height / SCENE
    vertices = []
    for i in range(points):
        angle = i * 2 * math.pi / points - math.pi / 2
        vertices.append(((radius + radius * math.cos(angle)) * sx,
                         (radius + radius * math.sin(angle)) * sy))
    return vertices


def _edges(vertices):
    """The polygon's edges: start point, direction and length of each."""
    return [(ax, ay, bx - ax, by - ay, math.hypot(bx - ax, by - ay))
            for (ax, ay), (bx, by) in zip(vertices, vertices[1:] + vertices[:1])]


def _classify(px, py, edges):
    """'in', 'out' or 'edge' for a point and a convex polygon's edges."""
    inside = True
    for (ax, ay, dx, dy, length) in edges:
        # Signed distance from the edge's line; the vertices run clockwise on
        # the screen (y down), so the inside is where the cross product is >= 0.
        cross = (dx * (py - ay) - dy * (px - ax)) / length
        if cross < 0:
            inside = False
        if abs(cross) < EDGE_TOLERANCE:
            t = ((px - ax) * dx + (py - ay) * dy) / (length * length)
            t = min(1.0, max(0.0, t))
            if math.hypot(px - (ax + t * dx), py - (ay + t * dy)) < EDGE_TOLERANCE:
                return "edge"
    return "in" if inside else "out"


def _crossings(cy, edges):
    """Where the horizontal line y = cy enters and leaves the polygon, or None."""
    xs = [ax + dx * (cy - ay) / dy for (ax, ay, dx, dy, _) in edges
          if dy and min(ay, ay + dy) <= cy <= max(ay, ay + dy)]
    return (min(xs), max(xs)) if xs else None


def mismatches(image, points=POINTS, radius=RADIUS, scene=(SCENE, SCENE), limit=None):
    """Pixels of image that differ from the picture for these parameters,
    with a scene of this size stretched over the image.

    Returns (x, y, found, expected) for each, leaving out pixels on an edge;
    once more than limit are found, the rest of the picture is not looked at.
    """
    vertices = polygon(points, radius, image.width * SCENE / scene[0],
                       image.height * SCENE / scene[1])
    edges = _edges(vertices)
    # How far across a pixel centre within EDGE_TOLERANCE of an edge can be
    # from the row's crossing: more for flatter edges.
    flattest = min(abs(dy) / length for (_, _, _, dy, length) in edges)
    margin = CROSSING_MARGIN + (EDGE_TOLERANCE / flattest if flattest else math.inf)
    top = min(y for _, y in vertices)
    bottom = max(y for _, y in vertices)
    skimmed = range(max(0, math.floor(min(x for x, _ in vertices)) - 1),
                    min(image.width, math.ceil(max(x for x, _ in vertices)) + 1))
    wrong = []
    for y in range(image.height):
        row = image.pixels[y * image.width * 3:(y + 1) * image.width * 3]
        cy = y + 0.5
        crossing = _crossings(cy, edges) if top <= cy <= bottom else None
        if crossing is None or cy - top < CROSSING_MARGIN or bottom - cy < CROSSING_MARGIN:
            # Rows that skim the polygon's top or bottom, or miss it: only
            # those that skim need the geometry pixel by pixel.
            near = top - CROSSING_MARGIN <= cy <= bottom + CROSSING_MARGIN
            span = skimmed if near else range(0)
            inner = range(0)
        else:
            left, right = crossing
            span = range(max(0, math.floor(left - margin)),
                         min(image.width, math.ceil(right + margin)))
            inner = range(max(0, math.ceil(left + margin)),
                          min(image.width, math.floor(right - margin)))
        # Plainly inside: green; plainly outside: black; the rest by geometry.
        if inner:
            green = bytes(GREEN) * len(inner)
            if row[inner.start * 3:inner.stop * 3] != green:
                wrong += [(x, y, image.pixel(x, y), GREEN) for x in inner
                          if image.pixel(x, y) != GREEN]
        outside = [range(0, span.start), range(span.stop, image.width)] if span \
            else [range(0, image.width)]
        for part in outside:
            if row[part.start * 3:part.stop * 3].strip(b"\0"):
                wrong += [(x, y, image.pixel(x, y), BLACK) for x in part
                          if image.pixel(x, y) != BLACK]
        for x in span:
            if x in inner:
                continue
            where = _classify(x + 0.5, cy, edges)
            if where == "edge":
                continue
            expected = GREEN if where == "in" else BLACK
            found = image.pixel(x, y)
            if found != expected:
                wrong.append((x, y, found, expected))
        if limit is not None and len(wrong) > limit:
            break
    return wrong


def describe(wrong, limit=5):
    """A short account of mismatches for an assertion message."""
    shown = ", ".join(f"({x},{y}) is {found} not {expected}"
                      for x, y, found, expected in wrong[:limit])
    more = f" and {len(wrong) - limit} more" if len(wrong) > limit else ""
    return f"{len(wrong)} pixels differ: {shown}{more}"


def scene_for(width, height):
    """The scene a window of this size shows if the library saw that size
    when it set up its view (see above)."""
    return (SCENE, SCENE) if (width, height) == (SCENE, SCENE) else (width, height)


def _green_runs(image):
    """Each row's first and last green pixel, for the rows that have one."""
    green = bytes(GREEN)
    runs = []
    for y in range(image.height):
        row = image.pixels[y * image.width * 3:(y + 1) * image.width * 3]
        first = row.find(green)
        while first > 0 and first % 3:
            first = row.find(green, first + 1)
        last = row.rfind(green)
        while last > 0 and last % 3:
            last = row.rfind(green, 0, last + 2)
        if first >= 0 and last >= first:
            runs.append((y, first // 3, last // 3))
    return runs


def inferred_scenes(image):
    """The scenes, nearest first, whose circle has the centre that the green
    in the picture has. The circle is symmetric about both its axes, so the
    middle of each row's green, and of each column's, lies on one of them,
    wherever the window's edge does not cut that row or column off. Each green
    row and column is taken as one run from its first green pixel to its last,
    as it is in any picture that can be exact. An axis whose every line is cut
    off keeps the window's size or the initial one."""
    runs = _green_runs(image)
    step = max(1, image.width // 200)  # enough columns to average over
    columns = []
    for x in range(0, image.width, step):
        rows = [y for y, first, last in runs if first <= x <= last]
        if rows:
            columns.append((x, rows[0], rows[-1]))
    sizes = []
    for size, lines in ((image.width, runs), (image.height, columns)):
        middles = [(first + last + 1) / 2 for _, first, last in lines if last < size - 1]
        if not middles:
            sizes.append([size, SCENE])
            continue
        # The circle's centre is at (100, 100) in the scene, so it lies at
        # 100 / scene of the way across the window: that gives the scene.
        exact = SCENE / 2 * size / (sum(middles) / len(middles))
        sizes.append(sorted(range(max(1, round(exact) - 1), round(exact) + 2),
                            key=lambda n, exact=exact: abs(n - exact)))
    return sorted(((w, h) for w in sizes[0] for h in sizes[1]),
                  key=lambda scene: sizes[0].index(scene[0]) + sizes[1].index(scene[1]))


def _scenes(image):
    """The scenes the window's picture may show (see above), likeliest first;
    those found from the picture itself only once the others are tried."""
    yield scene_for(image.width, image.height)
    yield (SCENE, SCENE)
    if (image.width, image.height) != (SCENE, SCENE):
        yield from inferred_scenes(image)


def window_mismatches(image):
    """The scene the window's picture is closest to of those it may show (see
    above), and the pixels that differ from it."""
    # Most pictures are exact for one of them: looking only for that first
    # stops each other scene at its first wrong row.
    tried = []
    for scene in _scenes(image):
        if scene in tried:
            continue
        tried.append(scene)
        if not mismatches(image, scene=scene, limit=0):
            return scene, []
    best = None
    for scene in tried:
        wrong = mismatches(image, scene=scene, limit=len(best[1]) if best else None)
        if best is None or len(wrong) < len(best[1]):
            best = (scene, wrong)
    return best


def _rgb(colour):
    return "black" if colour == BLACK else "green" if colour == GREEN else \
        "rgb({}, {}, {})".format(*colour)


class Judgement(NamedTuple):
    """What is wrong with a picture, in plain words ("" when it is exact), how
    many pixels differ, the scene it was judged against, and whether it is
    black all over."""
    words: str
    count: int
    scene: tuple
    black: bool = False


def judge(image):
    """The picture's judgement (see Judgement)."""
    scene, wrong = window_mismatches(image)
    if not wrong:
        return Judgement("", 0, scene)
    count = f"{len(wrong)} of {image.width * image.height} pixels differ"
    if image.black():
        return Judgement(f"only black, no circle ({count})", len(wrong), scene, True)
    disc = [found for _, _, found, expected in wrong if expected == GREEN]
    around = [found for _, _, found, expected in wrong if expected == BLACK]
    # The window's edge may cut the circle off: no more of it than the window.
    disc_area = min(math.pi * RADIUS ** 2 * image.width * image.height / (scene[0] * scene[1]),
                    image.width * image.height)
    background_area = image.width * image.height - disc_area
    words = []
    # The colour most of the background shows instead of black, if any.
    background = BLACK
    other = [c for c in around if c != GREEN]
    if other and len(other) > background_area / 2:
        background = collections.Counter(other).most_common(1)[0][0]
        words.append(f"the background is {_rgb(background)}, not black")
    recoloured = [c for c in disc if c not in (BLACK, background)]
    if recoloured and len(recoloured) > disc_area / 2:
        colour = collections.Counter(recoloured).most_common(1)[0][0]
        words.append(f"the circle is {_rgb(colour)}, not green")
    missing = len(disc) - len(recoloured)
    extra = sum(1 for c in around if c == GREEN)
    if missing and extra:
        (ex, ey), (gx, gy) = _centre(polygon(width=image.width * SCENE / scene[0],
                                             height=image.height * SCENE / scene[1])), \
            _green_centre(image)
        if round(gx - ex) or round(gy - ey):
            words.append("the circle is in the wrong place, about "
                         f"{round(gx - ex)} px right and {round(gy - ey)} px down of where it "
                         "belongs")
        else:
            # Centred as a circle of another size would be: the window's
            # edges no longer both touch it.
            words.append("the circle is out of shape or out of place")
    elif missing > len(disc) / 2 or (missing and not words):
        words.append(f"part of the circle is missing ({missing} of its pixels)")
    elif extra > len(around) / 2 or (extra and not words):
        words.append(f"green shows outside the circle ({extra} pixels)")
    return Judgement(f"{'; '.join(words) or 'the picture differs'} ({count})", len(wrong), scene)


def _centre(vertices):
    return (sum(x for x, _ in vertices) / len(vertices),
            sum(y for _, y in vertices) / len(vertices))


def _green_centre(image):
    rows, columns = numpy.nonzero((image.array() == GREEN).all(axis=2))
    return (columns.mean() + 0.5, rows.mean() + 0.5) if len(rows) else (0.0, 0.0)


def expected_image(width, height, scene):
    """The exact picture for a window of this size showing this scene, edge
    pixels green."""
    pixels = bytearray(width * height * 3)
    vertices = polygon(width=width * SCENE / scene[0], height=height * SCENE / scene[1])
    edges = _edges(vertices)
    for y in range(height):
        crossing = _crossings(y + 0.5, edges)
        if not crossing:
            continue
        left, right = crossing
        for x in range(max(0, math.floor(left) - 1), min(width, math.ceil(right) + 1)):
            plainly_inside = left + CROSSING_MARGIN < x + 0.5 < right - CROSSING_MARGIN
            if plainly_inside or _classify(x + 0.5, y + 0.5, edges) != "out":
                pixels[(y * width + x) * 3 + 1] = 255
    return Image(width, height, pixels)


def comparison(image, scene):
    """The picture expected for this one's size and scene, beside it and
    their difference (see pictures.side_by_side)."""
    return side_by_side(expected_image(image.width, image.height, scene), image)
