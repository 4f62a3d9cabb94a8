"""A slow, plain-Python model of the segment detector, used as an oracle.

Every stage repeats the native detector's floating-point operations in the
same order and at the same precision, so that the two can be compared bit
for bit:

* float64 arithmetic is Python's own float arithmetic;
* float32 arithmetic uses NumPy float32 scalars;
* transcendental functions call the C math library through ctypes, which
  gives the C results for NaN, infinities and zero arguments instead of
  Python's exceptions (math.log(0) raises, log(0) in C is -inf).

The code favours readability over speed; images up to about 120 x 120
pixels take a few seconds.
"""

import ctypes
import ctypes.util
import math
import struct

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _c_function(name, arity):
    fn = getattr(_libm, name)
    fn.argtypes = [ctypes.c_double] * arity
    fn.restype = ctypes.c_double
    return fn


hypot = _c_function("hypot", 2)
atan2 = _c_function("atan2", 2)
c_pow = _c_function("pow", 2)
cos = _c_function("cos", 1)
sin = _c_function("sin", 1)
exp = _c_function("exp", 1)
log = _c_function("log", 1)
log10 = _c_function("log10", 1)
sinh = _c_function("sinh", 1)
sqrt = _c_function("sqrt", 1)
floor = _c_function("floor", 1)
ceil = _c_function("ceil", 1)
fabs = _c_function("fabs", 1)

PI = math.pi
TWO_PI = 2.0 * math.pi
ANGLE_TOLERANCE = 0.39269908169872414  # pi / 8
BASE_PRECISION = 0.125
MAGNITUDE_THRESHOLD = np.frombuffer(struct.pack("<I", 0x40A73D75), "<f4")[0]
LOG10_11 = 1.0413926851582251
LOG10_8 = 0.9030899869919435
F32_ONE_THOUSAND_TWENTY_THREE = np.float32(1023.0)
WORD_MAX = 2**64 - 1

NEIGHBOUR_STEPS = ((-1, -1), (0, -1), (1, -1), (-1, 0), (1, 0), (-1, 1), (0, 1), (1, 1))

# Rectangle fields, by position in a rectangle list.
X1, Y1, X2, Y2, WIDTH, AXIS_X, AXIS_Y, TOL, PREC = range(9)


def div(a, b):
    """IEEE float64 division (Python raises on a zero divisor)."""
    if b == 0.0:
        with np.errstate(all="ignore"):
            return float(np.float64(a) / np.float64(b))
    return a / b


def to_unsigned(v):
    """Truncate towards zero into a 64-bit unsigned integer, saturating."""
    if not v > 0.0:
        return 0
    if v >= 18446744073709551616.0:
        return WORD_MAX
    return int(v)


def split_index(i, width):
    if i < width:
        return i, 0
    return i % width, i // width


def max_ignoring_nan(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return a if a >= b else b


# ---------------------------------------------------------------- sub-sampling
def subsampled_size(width, height, scale):
    return (max(to_unsigned(floor(float(width) * scale)), 2),
            max(to_unsigned(floor(float(height) * scale)), 2))


def gaussian_subsample(img, width, height, scale):
    sigma = 0.6 / scale
    radius = to_unsigned(ceil(sigma * 3.7169221888498383))
    weights = []
    for k in range(2 * radius + 1):
        d = (float(k) - float(radius)) / sigma
        weights.append(exp(d * d * -0.5))
    total = weights[0]
    for w in weights[1:]:
        total = total + w
    weights = [w / total for w in weights]

    def clamp(v, hi):
        return 0 if v < 0 else (hi if v > hi else v)

    horizontal = [0.0] * (width * height)
    for y in range(height):
        row = y * width
        for x in range(width):
            acc = 0.0
            for k, w in enumerate(weights):
                acc = acc + w * img[row + clamp(x + k - radius, width - 1)]
            horizontal[row + x] = acc
    blurred = [0.0] * (width * height)
    for y in range(height):
        for x in range(width):
            acc = 0.0
            for k, w in enumerate(weights):
                acc = acc + w * horizontal[clamp(y + k - radius, height - 1) * width + x]
            blurred[y * width + x] = acc

    new_width, new_height = subsampled_size(width, height, scale)
    columns = [min(width - 1, to_unsigned(float(i) / scale)) for i in range(new_width)]
    out = []
    for j in range(new_height):
        src = min(height - 1, to_unsigned(float(j) / scale)) * width
        out.extend(blurred[src + c] for c in columns)
    return out, new_width, new_height


# -------------------------------------------------------------------- gradient
class Field:
    """Per-pixel float32 magnitude and unit level-line direction.

    The float32 values are kept as NumPy scalars for float32 arithmetic and
    as Python floats (exact widenings) for float64 arithmetic.
    """

    def __init__(self, count):
        zero = np.float32(0.0)
        self.mag32 = [zero] * count
        self.dx32 = [zero] * count
        self.dy32 = [zero] * count
        self.mag = [0.0] * count
        self.dx = [0.0] * count
        self.dy = [0.0] * count


def gradient_field(img, width, height):
    field = Field(width * height)
    with np.errstate(all="ignore"):
        for y in range(height - 1):
            for x in range(width - 1):
                i = y * width + x
                a, b = img[i], img[i + 1]
                c, d = img[i + width], img[i + width + 1]
                gx = (((b + d) - a) - c) * 0.5
                gy = (((c + d) - a) - b) * 0.5
                m = hypot(gx, gy)
                if m > 0.0:
                    field.mag32[i] = np.float32(m)
                    field.dx32[i] = np.float32(-gy / m)
                    field.dy32[i] = np.float32(gx / m)
                    field.mag[i] = float(field.mag32[i])
                    field.dx[i] = float(field.dx32[i])
                    field.dy[i] = float(field.dy32[i])
    return field


# ---------------------------------------------------------------- pixel order
def order_pixels(field, threshold):
    largest = np.float32(0.0)
    for m in field.mag32:
        if m > largest:
            largest = m
    if not largest > 0:
        return []
    bins = [[] for _ in range(1024)]
    with np.errstate(all="ignore"):
        for i, m in enumerate(field.mag32):
            if not m > threshold:
                continue
            position = (m / largest) * F32_ONE_THOUSAND_TWENTY_THREE
            bins[min(to_unsigned(float(position)), 1023)].append(i)
    order = []
    for b in reversed(bins):
        order.extend(b)
    return order


# ------------------------------------------------------------- region growing
def grow_region(seed, tolerance, field, used, width, height):
    """Grow the aligned region of `seed`; returns (region angle, region)."""
    region = [seed]
    used[seed] = 1
    ct = cos(tolerance)
    sx, sy = field.dx[seed], field.dy[seed]
    threshold = ct
    i = 0
    while i < len(region):
        x, y = split_index(region[i], width)
        for step_x, step_y in NEIGHBOUR_STEPS:
            nx, ny = x + step_x, y + step_y
            if nx < 0 or ny < 0 or nx >= width or ny >= height:
                continue
            q = ny * width + nx
            if used[q]:
                continue
            mx, my = field.dx[q], field.dy[q]
            dot = sy * my + sx * mx
            if threshold > dot:
                continue
            used[q] = 1
            region.append(q)
            sx = sx + mx
            sy = sy + my
            threshold = hypot(sx, sy) * ct
        i += 1
    return atan2(sy, sx), region


# ----------------------------------------------------------- region rectangle
def fit_rect(region, field, region_angle, precision, width):
    total = sum_x = sum_y = 0.0
    for p in region:
        x, y = split_index(p, width)
        m = field.mag[p]
        total = total + m
        sum_x = sum_x + m * x
        sum_y = sum_y + m * y
    cx = div(sum_x, total)
    cy = div(sum_y, total)

    sxx = syy = neg_cross = 0.0
    for p in region:
        x, y = split_index(p, width)
        m = field.mag[p]
        ex, ey = x - cx, y - cy
        sxx = sxx + m * ex * ex
        syy = syy + m * ey * ey
        neg_cross = neg_cross - m * ex * ey

    smaller = (sxx + syy - sqrt(4.0 * (neg_cross * neg_cross) + (syy - sxx) * (syy - sxx))) * 0.5
    if fabs(syy - smaller) > fabs(sxx - smaller):
        theta = atan2(smaller - syy, neg_cross)
    else:
        theta = atan2(neg_cross, smaller - sxx)

    d = theta - region_angle
    while d <= -PI:
        d = d + TWO_PI
    while d > PI:
        d = d - TWO_PI
    if fabs(d) > ANGLE_TOLERANCE:
        theta = theta + PI
    ax, ay = cos(theta), sin(theta)

    lmin = lmax = wmin = wmax = 0.0
    for p in region:
        x, y = split_index(p, width)
        ex, ey = x - cx, y - cy
        along = ax * ex + ay * ey
        across = ax * ey - ay * ex
        if along < lmin:
            lmin = along
        if along > lmax:
            lmax = along
        if across < wmin:
            wmin = across
        if across > wmax:
            wmax = across
    spread = wmax - wmin
    return [cx + lmin * ax, cy + lmin * ay, cx + lmax * ax, cy + lmax * ay,
            spread if spread > 1.0 else 1.0, ax, ay, ANGLE_TOLERANCE, precision]


# ----------------------------------------------------------- region refinement
def dense_enough(count, rect):
    length = hypot(rect[X2] - rect[X1], rect[Y2] - rect[Y1])
    area = length * rect[WIDTH]
    if not area > 1.0:  # also a NaN area
        area = 1.0
    return count / area >= 0.7


def refine_region(region, rect, used, field, min_size, width, height):
    """Thin a sparse candidate; returns (keep, region, rect)."""
    if dense_enough(len(region), rect):
        return True, region, rect
    seed = region[0]
    seed_x, seed_y = split_index(seed, width)
    seed_angle = atan2(field.dy[seed], field.dx[seed])

    angle_sum = angle_squares = 0.0
    count = 0
    for p in region:
        x, y = split_index(p, width)
        if rect[WIDTH] > hypot(float(x - seed_x), float(y - seed_y)):
            a = atan2(field.dy[p], field.dx[p]) - seed_angle
            while a <= -PI:
                a = a + TWO_PI
            while a > PI:
                a = a - TWO_PI
            angle_sum = angle_sum + a
            angle_squares = angle_squares + a * a
            count += 1
    mean = div(angle_sum, float(count))
    variance = div(angle_squares, float(count)) - mean * mean
    if not variance > 0.0:
        variance = 0.0
    tolerance = 2.0 * sqrt(variance)

    for p in region:
        used[p] = 0
    region_angle, region = grow_region(seed, tolerance, field, used, width, height)
    if len(region) < min_size:
        return False, region, rect
    rect = fit_rect(region, field, region_angle, rect[PREC], width)
    if dense_enough(len(region), rect):
        return True, region, rect

    radius = max_ignoring_nan(hypot(seed_x - rect[X1], seed_y - rect[Y1]),
                              hypot(seed_x - rect[X2], seed_y - rect[Y2]))
    if not math.isfinite(radius):
        raise RuntimeError("radius shrinking cannot end with a radius of %r" % radius)
    while True:
        radius = radius * 0.75
        i = 0
        while i < len(region):
            x, y = split_index(region[i], width)
            if hypot(float(x - seed_x), float(y - seed_y)) > radius:
                used[region[i]] = 0
                region[i] = region[-1]
                region.pop()
            else:
                i += 1
        if len(region) < min_size:
            return False, region, rect
        rect = fit_rect(region, field, region_angle, rect[PREC], width)
        if dense_enough(len(region), rect):
            return True, region, rect


# ------------------------------------------------------------------------ NFA
def ln_gamma(x):
    if x >= 15.0:
        return (0.918938533204673 + (x - 0.5) * log(x) - x
                + 0.5 * x * log(x * sinh(1.0 / x) + 1.0 / (810.0 * c_pow(x, 6.0))))
    series = (75122.633153 + 80916.6278952 * x + 36308.2951477 * c_pow(x, 2.0)
              + 8687.24529705 * c_pow(x, 3.0) + 1168.92649479 * c_pow(x, 4.0)
              + 83.8676043424 * c_pow(x, 5.0) + 2.50662827511 * c_pow(x, 6.0))
    return (log(series) + (x + 0.5) * log(x + 5.5) - (x + 5.5) - log(x) - log(x + 1.0)
            - log(x + 2.0) - log(x + 3.0) - log(x + 4.0) - log(x + 5.0) - log(x + 6.0))


def log_nfa_of_counts(n, k, p, log_tests):
    if n == 0 or k == 0:
        return -log_tests
    if n == k:
        return -log_tests - float(k) * log10(p)
    lt = (ln_gamma(float(n + 1)) - ln_gamma(float(k + 1)) - ln_gamma(float(n - k + 1))
          + float(k) * log(p) + float(n - k) * log(1.0 - p))
    t = exp(lt)
    if t == 0.0:
        if float(n) * p < float(k):
            return lt / -2.302585092994046 - log_tests
        return -log_tests
    tail = t
    ratio = p / (1.0 - p)
    for i in range(k + 1, n + 1):
        a = float(n - i + 1) / float(i)
        q = ratio * a
        t = t * q
        tail = tail + t
        if a < 1.0:
            bound = t * ((1.0 - c_pow(q, float(n - i + 1))) / (1.0 - q) - 1.0)
            if 0.1 * fabs(-log10(tail) - log_tests) * tail > bound:
                break
    return -log10(tail) - log_tests


def rect_counts(rect, field, threshold, width, height):
    """(pixels inside the rectangle, aligned pixels among them)."""
    x1, y1, x2, y2, rwidth, ax, ay, tolerance, _ = rect
    cx = (x1 + x2) * 0.5
    cy = (y1 + y2) * 0.5
    half_length = hypot(x2 - x1, y2 - y1) * 0.5
    half_width = rwidth * 0.5
    extent_x = half_length * fabs(ax) + half_width * fabs(ay)
    extent_y = half_length * fabs(ay) + half_width * fabs(ax)
    x_lo = to_unsigned(floor(cx - extent_x))
    y_lo = to_unsigned(floor(cy - extent_y))
    x_hi = min(to_unsigned(ceil(cx + extent_x)), width - 1)
    y_hi = min(to_unsigned(ceil(cy + extent_y)), height - 1)
    cos_f = np.float32(cos(tolerance))
    ax32, ay32 = np.float32(ax), np.float32(ay)
    n = k = 0
    if y_lo > y_hi or x_lo > x_hi:
        return n, k
    with np.errstate(all="ignore"):
        for y in range(y_lo, y_hi + 1):
            fy = y - cy
            for x in range(x_lo, x_hi + 1):
                fx = x - cx
                if fabs(ax * fx + ay * fy) > half_length or fabs(ax * fy - ay * fx) > half_width:
                    continue
                n += 1
                i = y * width + x
                if (field.mag32[i] > threshold
                        and field.dx32[i] * ax32 + field.dy32[i] * ay32 >= cos_f):
                    k += 1
    return n, k


def score_rect(rect, field, threshold, log_tests, width, height):
    n, k = rect_counts(rect, field, threshold, width, height)
    return log_nfa_of_counts(n, k, rect[PREC], log_tests)


# -------------------------------------------------------- rectangle improvement
def improve_rect(rect, field, threshold, log_tests, width, height):
    """Try the fixed set of small changes; returns (best log_nfa, best rect)."""
    def score(r):
        return score_rect(r, field, threshold, log_tests, width, height)

    def finer_precision(rect, best):
        p = rect[PREC]
        for _ in range(5):
            p = p * 0.5
            trial = list(rect)
            trial[PREC] = p
            trial[TOL] = PI * p
            s = score(trial)
            if s > best:
                rect, best = trial, s
        return rect, best

    best = score(rect)
    if best > 0.0:
        return best, rect
    rect, best = finer_precision(rect, best)
    if best > 0.0:
        return best, rect

    w = rect[WIDTH]
    for _ in range(5):
        w = w - 0.5
        if w < 0.5:
            break
        trial = list(rect)
        trial[WIDTH] = w
        s = score(trial)
        if s > best:
            rect, best = trial, s
    if best > 0.0:
        return best, rect

    normal_x, normal_y = -rect[AXIS_Y], rect[AXIS_X]
    for side in (1.0, -1.0):
        start = rect
        for i in range(1, 6):
            w = start[WIDTH] - 0.5 * i
            if w < 0.5:
                break
            shift = i * 0.25 * side
            trial = list(start)
            trial[X1] = start[X1] + shift * normal_x
            trial[Y1] = start[Y1] + shift * normal_y
            trial[X2] = start[X2] + shift * normal_x
            trial[Y2] = start[Y2] + shift * normal_y
            trial[WIDTH] = w
            s = score(trial)
            if s > best:
                rect, best = trial, s
        if best > 0.0:
            return best, rect

    rect, best = finer_precision(rect, best)
    return best, rect


# --------------------------------------------------------------------- driver
def _total_order_key(v):
    bits = struct.unpack("<q", struct.pack("<d", v))[0]
    return bits if bits >= 0 else bits ^ 0x7FFFFFFFFFFFFFFF


def working_samples(gray):
    """The input as row-major float64 samples."""
    gray = np.asarray(gray)
    if gray.dtype == np.uint16:
        return [float(v) / 257.0 for v in gray.ravel().tolist()]
    return [float(v) for v in gray.astype(np.float64).ravel().tolist()]


def detect_reference(gray, scale=0.8, trace=None):
    """Segments of `gray` as (x1, y1, x2, y2, width, precision, log_nfa) tuples.

    `trace`, when a list, receives one entry per seed that reached the
    rectangle stage, for locating where two implementations part ways.
    """
    scale = float(scale)
    height, width = np.shape(gray)
    if width < 3 or height < 3:
        return []
    img = working_samples(gray)
    if 1.0 > scale:
        # Too small a result means nothing to detect; deciding that before
        # the blur also keeps scales of 0 or below (no finite blur radius)
        # away from it.
        if min(subsampled_size(width, height, scale)) < 3:
            return []
        img, width, height = gaussian_subsample(img, width, height, scale)
    field = gradient_field(img, width, height)
    log_tests = 2.5 * (log10(float(height)) + log10(float(width))) + LOG10_11
    min_size = to_unsigned(ceil(log_tests / LOG10_8))
    order = order_pixels(field, MAGNITUDE_THRESHOLD)
    used = bytearray(1 if not m > MAGNITUDE_THRESHOLD else 0 for m in field.mag32)
    inverse_scale = 1.0 / scale if 1.0 > scale else 1.0

    records = []
    for seed in order:
        if used[seed]:
            continue
        region_angle, region = grow_region(seed, ANGLE_TOLERANCE, field, used, width, height)
        if len(region) < min_size:
            continue
        rect = fit_rect(region, field, region_angle, BASE_PRECISION, width)
        first_rect = rect
        keep, region, rect = refine_region(region, rect, used, field, min_size, width, height)
        entry = {"seed": seed, "angle": region_angle, "rect": first_rect,
                 "kept": keep, "refined": list(region), "refined_rect": rect}
        if trace is not None:
            trace.append(entry)
        if not keep:
            continue
        log_nfa, rect = improve_rect(rect, field, MAGNITUDE_THRESHOLD, log_tests, width, height)
        entry["log_nfa"] = log_nfa
        entry["final_rect"] = rect
        if log_nfa <= 0.0:
            continue
        records.append(((rect[X1] + 0.5) * inverse_scale, (rect[Y1] + 0.5) * inverse_scale,
                        (rect[X2] + 0.5) * inverse_scale, (rect[Y2] + 0.5) * inverse_scale,
                        rect[WIDTH] * inverse_scale, rect[PREC], log_nfa))
    return sorted(records, reverse=True,
                  key=lambda r: _total_order_key(hypot(r[2] - r[0], r[3] - r[1])))
