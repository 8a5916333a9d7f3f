"""The picture the program must show, computed from geometry alone.

The circle is drawn as a polygon of 30 points on a circle of radius 100 in a
200 x 200 scene, the first point at the top. A pixel is green exactly when its
centre lies inside that polygon, once the scene is stretched over the window's
client area. Pixels whose centre lies within EDGE_TOLERANCE pixels of an edge
may go either way: there, rounding decides.

A window manager that gives the window another size before its first frame
(a tiling one does) makes that size the scene: the circle keeps its size at
the top-left, and the rest is black.
"""

import math

GREEN = (0, 255, 0)
BLACK = (0, 0, 0)
SCENE = 200.0
EDGE_TOLERANCE = 0.01


def polygon(points=30, radius=100.0, width=SCENE, height=SCENE):
    """The polygon's vertices in window pixels, for a window of this size."""
    sx, sy = width / SCENE, height / SCENE
    vertices = []
    for i in range(points):
        angle = i * 2 * math.pi / points - math.pi / 2
        vertices.append(((radius + radius * math.cos(angle)) * sx,
                         (radius + radius * math.sin(angle)) * sy))
    return vertices


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


def mismatches(image, points=30, radius=100.0, scene=(SCENE, SCENE)):
    """Pixels of image that differ from the picture for these parameters,
    with a scene of this size stretched over the image.

    Returns (x, y, found, expected) for each, leaving out pixels on an edge.
    """
    vertices = polygon(points, radius, image.width * SCENE / scene[0],
                       image.height * SCENE / scene[1])
    edges = []
    for (ax, ay), (bx, by) in zip(vertices, vertices[1:] + vertices[:1]):
        edges.append((ax, ay, bx - ax, by - ay, math.hypot(bx - ax, by - ay)))
    # Only pixels near the polygon need the geometry; all others are black.
    left = max(0, math.floor(min(x for x, _ in vertices)) - 1)
    right = min(image.width, math.ceil(max(x for x, _ in vertices)) + 1)
    top = max(0, math.floor(min(y for _, y in vertices)) - 1)
    bottom = min(image.height, math.ceil(max(y for _, y in vertices)) + 1)
    wrong = []
    for y in range(image.height):
        span = range(left, right) if top <= y < bottom else range(0)
        row = image.pixels[y * image.width * 3:(y + 1) * image.width * 3]
        if row.strip(b"\0"):
            lit = {offset // 3 for offset, value in enumerate(row) if value}
            wrong += [(x, y, image.pixel(x, y), BLACK) for x in sorted(lit) if x not in span]
        for x in span:
            where = _classify(x + 0.5, y + 0.5, edges)
            if where == "edge":
                continue
            expected = GREEN if where == "in" else BLACK
            found = image.pixel(x, y)
            if found != expected:
                wrong.append((x, y, found, expected))
    return wrong


def describe(wrong, limit=5):
    """A short account of mismatches for an assertion message."""
    shown = ", ".join(f"({x},{y}) is {found} not {expected}"
                      for x, y, found, expected in wrong[:limit])
    more = f" and {len(wrong) - limit} more" if len(wrong) > limit else ""
    return f"{len(wrong)} pixels differ: {shown}{more}"
