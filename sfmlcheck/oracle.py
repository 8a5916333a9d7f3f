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

import functools
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
    """INSIDE, OUTSIDE or EDGE for each of the points (px, py), arrays of
    their coordinates, and a convex polygon's edges."""
    ax, ay, dx, dy, length = (column[:, None] for column in numpy.array(edges).T)
    # Signed distance from each edge's line; the vertices run clockwise on
    # the screen (y down), so the inside is where the cross product is >= 0.
    cross = (dx * (py - ay) - dy * (px - ax)) / length
    t = numpy.clip(((px - ax) * dx + (py - ay) * dy) / (length * length), 0.0, 1.0)
    near = (numpy.abs(cross) < EDGE_TOLERANCE) & \
        (numpy.hypot(px - (ax + t * dx), py - (ay + t * dy)) < EDGE_TOLERANCE)
    return numpy.where(near.any(axis=0), EDGE,
                       numpy.where((cross >= 0).all(axis=0), INSIDE, OUTSIDE))


def _crossings(cy, edges):
    """Where the horizontal line y = cy enters and leaves the polygon, or None."""
    xs = [ax + dx * (cy - ay) / dy for (ax, ay, dx, dy, _) in edges
          if dy and min(ay, ay + dy) <= cy <= max(ay, ay + dy)]
    return (min(xs), max(xs)) if xs else None


# What each pixel of the exact picture is: plainly inside the polygon (green),
# plainly outside (black), or near enough an edge to go either way.
OUTSIDE, INSIDE, EDGE = 0, 1, 2


@functools.lru_cache(maxsize=16)
def classes(width, height, points=POINTS, radius=RADIUS, scene=(SCENE, SCENE)):
    """Each pixel's class (OUTSIDE, INSIDE or EDGE) in a window of this size
    with a scene of this size stretched over it, as a height x width array;
    the same, unchangeable one for every picture of that size."""
    vertices = polygon(points, radius, width * SCENE / scene[0], height * SCENE / scene[1])
    edges = _edges(vertices)
    # How far across a pixel centre within EDGE_TOLERANCE of an edge can be
    # from the row's crossing: more for flatter edges.
    flattest = min(abs(dy) / length for (_, _, _, dy, length) in edges)
    margin = CROSSING_MARGIN + (EDGE_TOLERANCE / flattest if flattest else math.inf)
    top = min(y for _, y in vertices)
    bottom = max(y for _, y in vertices)
    skimmed = range(max(0, math.floor(min(x for x, _ in vertices)) - 1),
                    min(width, math.ceil(max(x for x, _ in vertices)) + 1))
    kinds = numpy.full((height, width), OUTSIDE, numpy.int8)
    band_x, band_y = [], []
    for y in range(height):
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
                         min(width, math.ceil(right + margin)))
            inner = range(max(0, math.ceil(left + margin)),
                          min(width, math.floor(right - margin)))
        # Plainly inside, plainly outside, and the rest by geometry.
        kinds[y, inner.start:inner.stop] = INSIDE
        band = [*range(span.start, min(span.stop, inner.start)),
                *range(max(span.start, inner.stop), span.stop)] if inner else span
        band_x += band
        band_y += [y] * len(band)
    if band_x:
        kinds[band_y, band_x] = _classify(numpy.array(band_x) + 0.5,
                                          numpy.array(band_y) + 0.5, edges)
    kinds.flags.writeable = False
    return kinds


class Mismatches:
    """The pixels of a picture that differ from the exact one, leaving out
    those on an edge; a sequence of (x, y, found, expected), made as read."""

    def __init__(self, image, kinds, colours=None):
        green, black = colours or _colours(image)
        self.kinds = kinds
        self.mask = ((kinds == INSIDE) & ~green) | ((kinds == OUTSIDE) & ~black)
        self.pixels = image.array()
        self.count = int(numpy.count_nonzero(self.mask))

    def __len__(self):
        return self.count

    def __bool__(self):
        return self.count > 0

    def __getitem__(self, index):
        rows, columns = numpy.nonzero(self.mask)
        picked = range(len(rows))[index]
        one = isinstance(picked, int)
        found = [(int(columns[i]), int(rows[i]), tuple(int(v) for v in self.pixels[rows[i], columns[i]]),
                  GREEN if self.kinds[rows[i], columns[i]] == INSIDE else BLACK)
                 for i in ([picked] if one else picked)]
        return found[0] if one else found

    def __iter__(self):
        return iter(self[:])

    def __eq__(self, other):
        return list(self) == list(other)

    def __repr__(self):
        return describe(self)

    def found(self, expected):
        """The colours found where the exact picture has INSIDE or OUTSIDE."""
        return self.pixels[self.mask & (self.kinds == expected)]


def _colours(image):
    """Which pixels of the image are green, and which black."""
    red, green, blue = image.array().transpose(2, 0, 1)
    dark = (red == 0) & (blue == 0)
    return dark & (green == 255), dark & (green == 0)


def mismatches(image, points=POINTS, radius=RADIUS, scene=(SCENE, SCENE), colours=None):
    """The pixels of image that differ from the picture for these
    parameters, with a scene of this size stretched over the image."""
    return Mismatches(image, classes(image.width, image.height, points, radius, scene), colours)


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
    best, colours = None, _colours(image)
    for scene in dict.fromkeys(_scenes(image)):
        wrong = mismatches(image, scene=scene, colours=colours)
        if not wrong:
            return scene, wrong
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
    disc, around = wrong.found(INSIDE), wrong.found(OUTSIDE)
    # The window's edge may cut the circle off: as much of it as the window shows.
    disc_area = int((wrong.kinds == INSIDE).sum())
    background_area = int((wrong.kinds == OUTSIDE).sum())
    words = []
    # The colour most of the background shows instead of black, if any.
    background = BLACK
    other = around[~_is(around, GREEN)]
    if len(other) and len(other) > background_area / 2:
        background = _most_common(other)
        words.append(f"the background is {_rgb(background)}, not black")
    recoloured = disc[~_is(disc, BLACK) & ~_is(disc, background)]
    if len(recoloured) and len(recoloured) > disc_area / 2:
        words.append(f"the circle is {_rgb(_most_common(recoloured))}, not green")
    missing = len(disc) - len(recoloured)
    extra = int(_is(around, GREEN).sum())
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


def _is(colours, colour):
    """Which of an array of colours are this one."""
    return (colours == colour).all(axis=1)


def _most_common(colours):
    packed = colours.astype(numpy.uint32) @ numpy.array([1 << 16, 1 << 8, 1], numpy.uint32)
    values, counts = numpy.unique(packed, return_counts=True)
    value = int(values[counts.argmax()])
    return value >> 16, (value >> 8) & 255, value & 255


def _centre(vertices):
    return (sum(x for x, _ in vertices) / len(vertices),
            sum(y for _, y in vertices) / len(vertices))


def _green_centre(image):
    rows, columns = numpy.nonzero((image.array() == GREEN).all(axis=2))
    return (columns.mean() + 0.5, rows.mean() + 0.5) if len(rows) else (0.0, 0.0)


def expected_image(width, height, scene):
    """The exact picture for a window of this size showing this scene, edge
    pixels green."""
    pixels = numpy.zeros((height, width, 3), numpy.uint8)
    pixels[classes(width, height, scene=scene) != OUTSIDE] = GREEN
    return Image.of(pixels)


def comparison(image, scene):
    """The picture expected for this one's size and scene, beside it and
    their difference (see pictures.side_by_side)."""
    return side_by_side(expected_image(image.width, image.height, scene), image)
