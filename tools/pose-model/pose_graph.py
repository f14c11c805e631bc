"""The embedded pose network: person detector, crop and landmark model in one graph.

The graph honours the estimator's network contract: input "images"
1x3x640x640 (RGB planes, 0..1, letterboxed), output "output0" 1x56x8400
(rows: box centre x, centre y, width, height in input pixels, person
confidence, then x, y, visibility of the 17 COCO keypoints). Anchor 0
carries the person with keypoints; anchors 1..CANDIDATE_COUNT-1 carry the
other people the detector saw (box and confidence, no keypoints); the rest
have confidence 0.

Inside: the detector sees the whole 640x640 input scaled to 224x224; its
anchors, after non-maximum suppression, give per person the hip centre and
a point on the full-body circle; they define a rotated square crop (centre,
size, rotation; upright when the hips are out of view). The best one's crop
is sampled to 256x256 with GridSample (from a 2x2-averaged copy of the
input when the crop is a down-scale); the landmark model runs on the crop,
its keypoints are refined on its heatmaps and mapped back through the same
transform. The box is the keypoints' extent; the person confidence is the
detector score times the pose flag.

Tracking: the optional input "track" [1, 5] (crop centre x, y, side, cos,
sin in input pixels) skips the detector and crops there instead; its
default (side 0) means "detect". Output "next_track" [1, 5] is the crop the
landmark model's own alignment points give for the next frame, and
"candidate_tracks" [CANDIDATE_COUNT, 5] the crop of each anchor 0.., so a
caller can landmark another candidate by feeding its crop back. With a
track the person confidence is the pose flag alone.
"""

import numpy as np
from onnx import helper, numpy_helper, TensorProto

from onnx_builder import GraphBuilder
from tflite_to_onnx import convert_subgraph

INPUT_SIZE = 640
DETECTOR_SIZE = 224
CROP_SIZE = 256
ANCHOR_COUNT = 8400
ROW_COUNT = 56

# The detector's anchor grid: strides 8 and 16 with two anchors per cell,
# stride 32 with six (three layers share that feature map), all of fixed
# size, centred in their cells.
DETECTOR_GRIDS = [(28, 2), (14, 2), (7, 6)]
# Body landmarks (of the landmark model's 33) for COCO keypoints 0..16.
COCO_FROM_BODY = [0, 2, 5, 7, 8, 11, 12, 13, 14, 15, 16, 23, 24, 25, 26, 27, 28]
LANDMARK_COUNT = 39
LANDMARK_VALUES = 5
# Landmarks, pose flag and heatmap; the segmentation mask and the world
# landmarks are not computed.
LANDMARK_OUTPUTS = ["Identity", "Identity_1", "Identity_3"]
# Keypoints are refined on the landmark model's 64x64 heatmaps, in a 7x7
# window around the regressed point, when a cell there is this confident.
HEATMAP_REFINEMENT = True
HEATMAP_SIZE = 64
HEATMAP_WINDOW = 7
HEATMAP_MIN_CONFIDENCE = 0.5
# The crop around the person is this much larger than the full-body circle,
# so that hands and feet stay inside when the circle is a little small.
CROP_SCALE = 1.25
# The keypoints' extent grows by this fraction on each side to give the box.
BOX_MARGIN = 0.05
# People offered per detection run (anchor 0 with keypoints, the others
# with box and confidence), and the suppression that keeps one detector
# anchor per person: the detector fires on several neighbouring anchors for
# one body, whose boxes overlap far more than two people's do.
CANDIDATE_COUNT = 6
CANDIDATE_MIN_SCORE = 0.5
CANDIDATE_MAX_OVERLAP = 0.3
# Landmarks 33 and 34 of the landmark model: hip centre and a point on the
# full-body circle, the same two points the detector gives.
ALIGNMENT_LANDMARKS = (33, 34)
# A candidate without keypoints gets a box of the size a person's keypoints
# span around the hips, in full-body radii (hip centre to circle point).
# Measured on the test photographs, the keypoints' extent (with BOX_MARGIN)
# is 0.55 to 2 radii wide (arms down, or a footballer's spread limbs) and
# 1 to 1.7 radii tall; the box takes the middle of both, so that the
# "largest" rule and the follower's overlap compare like with like.
CANDIDATE_BOX_WIDTH = 0.9
CANDIDATE_BOX_HEIGHT = 1.4
TRACK_VALUES = 5
NO_TRACK = np.array([[0.0, 0.0, 0.0, 1.0, 0.0]], np.float32)


def detector_anchors():
    """[2254, 2] anchor centres as fractions of the detector input."""
    centres = []
    for size, per_cell in DETECTOR_GRIDS:
        for y in range(size):
            for x in range(size):
                for _ in range(per_cell):
                    centres.append(((x + 0.5) / size, (y + 0.5) / size))
    return np.asarray(centres, dtype=np.float32)


def standalone(model, prefix="m"):
    """One TFLite model as an ONNX model with its own NHWC input and outputs."""
    b = GraphBuilder()
    in_tensor = model.tensors[model.inputs[0]]
    nchw = b.op("Transpose", ["input"], perm=[0, 3, 1, 2])
    outputs = convert_subgraph(model, b, prefix, nchw)
    names = []
    for index in model.outputs:
        tensor = model.tensors[index]
        value, is_nchw = outputs[tensor.name]
        if is_nchw:
            value = b.op("Transpose", [value], perm=[0, 2, 3, 1])
        names.append((b.rename(value, tensor.name), list(tensor.shape)))
    return b.model([("input", list(in_tensor.shape))], names)


def _column(b, value, index):
    """Column `index` of a [N, K] value as [N, 1]."""
    return b.op("Slice", [value, b.i64([index]), b.i64([index + 1]), b.i64([1])])


def _detector_input(b, images):
    # Scale 640 -> 448 bilinearly, then average 2x2 -> 224: plain bilinear
    # down-scaling by 2.86 would skip pixels and alias fine texture.
    twice = 2 * DETECTOR_SIZE
    resized = b.op("Resize", [images, "", "", b.i64([1, 3, twice, twice])],
                   mode="linear", coordinate_transformation_mode="half_pixel")
    pooled = b.op("AveragePool", [resized], kernel_shape=[2, 2], strides=[2, 2])
    # The detector wants values in -1..1.
    return b.op("Sub", [b.op("Mul", [pooled, b.f32(2.0)]), b.f32(1.0)])


def _detector_points(b, boxes, anchors):
    """Hip centre and circle point [M, 2] (input pixels) of detector rows [M, 12]."""
    # Keypoint offsets are in detector pixels relative to the anchor centre.
    def point(first):
        offset = b.op("Slice", [boxes, b.i64([first]), b.i64([first + 2]), b.i64([1])])
        at = b.op("Add", [b.op("Div", [offset, b.f32(float(DETECTOR_SIZE))]), anchors])
        return b.op("Mul", [at, b.f32(float(INPUT_SIZE))])
    return point(4), point(6)


def _detections(b, detector, images):
    """[CANDIDATE_COUNT, 6] people the detector sees: score, crop centre x,
    y, side, cos, sin; row 0 the best anchor (always, however low its
    score), then the others that survive suppression, best first; rows
    without a person are zero."""
    det = convert_subgraph(detector, b, "det", _detector_input(b, images))
    raw_boxes, raw_scores = det["Identity"][0], det["Identity_1"][0]
    anchor_total = sum(size * size * per_cell for size, per_cell in DETECTOR_GRIDS)
    scores = b.op("Sigmoid", [b.op("Reshape", [raw_scores, b.i64([anchor_total])])])
    boxes = b.op("Reshape", [raw_boxes, b.i64([anchor_total, 12])])
    anchors = b.const(detector_anchors(), "anchors")
    # Suppression compares the detector's own boxes, in detector pixels.
    centres = b.op("Add", [b.op("Slice", [boxes, b.i64([0]), b.i64([2]), b.i64([1])]),
                           b.op("Mul", [anchors, b.f32(float(DETECTOR_SIZE))])])
    sizes = b.op("Slice", [boxes, b.i64([2]), b.i64([4]), b.i64([1])])
    selected = b.op("NonMaxSuppression", [
        b.op("Reshape", [b.op("Concat", [centres, sizes], axis=1), b.i64([1, anchor_total, 4])]),
        b.op("Reshape", [scores, b.i64([1, 1, anchor_total])]),
        b.i64([CANDIDATE_COUNT]), b.f32([CANDIDATE_MAX_OVERLAP]), b.f32([CANDIDATE_MIN_SCORE])],
        center_point_box=1)                                               # [K, 3], best first
    picked = b.op("Reshape", [b.op("Slice", [selected, b.i64([2]), b.i64([3]), b.i64([1])]),
                              b.i64([-1])])
    # The first selection, when there is one, is the best anchor itself.
    best = b.op("ArgMax", [scores], axis=0, keepdims=1)                 # [1]
    others = b.op("Slice", [picked, b.i64([1]), b.i64([CANDIDATE_COUNT]), b.i64([0])])
    indices = b.op("Concat", [best, others], axis=0)                     # [M], 1 <= M <= count
    score = b.op("Reshape", [b.op("Gather", [scores, indices], axis=0), b.i64([-1, 1])])
    hip, circle = _detector_points(b, b.op("Gather", [boxes, indices], axis=0),
                                   b.op("Gather", [anchors, indices], axis=0))
    centre, side, cos, sin = _crop_transform(b, hip, circle)
    return _pad_rows(b, b.op("Concat", [score, centre, side, cos, sin], axis=1))


def _pad_rows(b, table):
    """A [M, 6] table (M <= CANDIDATE_COUNT) as [CANDIDATE_COUNT, 6], zeros below."""
    zeros = b.f32(np.zeros((CANDIDATE_COUNT, 1 + TRACK_VALUES), np.float32))
    padded = b.op("Concat", [table, zeros], axis=0)
    return b.op("Slice", [padded, b.i64([0]), b.i64([CANDIDATE_COUNT]), b.i64([0])])


def _tracked(b, track):
    """The same table for a crop given by the caller: one row, score 1."""
    return _pad_rows(b, b.op("Concat", [b.f32(np.ones((1, 1), np.float32)), track], axis=1))


def _crop_transform(b, hip, circle):
    """Centre [N, 2], side length [N, 1] and rotation (cos, sin) [N, 1] each
    for N hip and circle points [N, 2].

    The crop is turned so that the direction from the hip centre to the
    circle point points up in the crop. With d = circle - hip and r = |d|,
    the rotation angle is 90 degrees minus atan2(-d_y, d_x); its cosine and
    sine are -d_y / r and d_x / r, so no atan2 is needed.
    """
    d = b.op("Sub", [circle, hip])
    dx, dy = _column(b, d, 0), _column(b, d, 1)
    r = b.op("Sqrt", [b.op("Add", [b.op("Add", [b.op("Mul", [dx, dx]), b.op("Mul", [dy, dy])]),
                                   b.f32(1e-6)])])
    cos = b.op("Div", [b.op("Neg", [dy]), r])
    sin = b.op("Div", [dx, r])
    # When the hips lie outside the picture (a person seen from the waist
    # up, as an operator in front of a webcam usually is), the detector only
    # extrapolates them, and the tilt of that guess turns the crop away from
    # an upright body. Then the crop stays upright.
    inside = b.op("And", [
        b.op("GreaterOrEqual", [b.op("ReduceMin", [hip], axes=[1], keepdims=1), b.f32(0.0)]),
        b.op("LessOrEqual", [b.op("ReduceMax", [hip], axes=[1], keepdims=1),
                             b.f32(float(INPUT_SIZE))])])
    cos = b.op("Where", [inside, cos, b.f32(np.ones((1, 1), np.float32))])
    sin = b.op("Where", [inside, sin, b.f32(np.zeros((1, 1), np.float32))])
    side = b.op("Mul", [r, b.f32(2.0 * CROP_SCALE)])
    return hip, side, cos, sin


def _to_input(b, u, v, centre, side, cos, sin):
    """Crop fractions (u, v) around the centre, [-0.5, 0.5], to input pixels."""
    su, sv = b.op("Mul", [u, side]), b.op("Mul", [v, side])
    x = b.op("Sub", [b.op("Mul", [su, cos]), b.op("Mul", [sv, sin])])
    y = b.op("Add", [b.op("Mul", [su, sin]), b.op("Mul", [sv, cos])])
    cx, cy = _column(b, centre, 0), _column(b, centre, 1)
    return b.op("Add", [x, cx]), b.op("Add", [y, cy])


def _branch(b, name, build):
    """An If branch built by build(sub) -> output name; outer values are visible."""
    sub = GraphBuilder()
    # One numbering for both scopes: a branch name must not hide an outer one.
    sub._counter = b._counter
    output = build(sub)
    b._counter = sub._counter
    return helper.make_graph(sub.nodes, name, [],
                             [helper.make_tensor_value_info(output, TensorProto.FLOAT, None)],
                             sub.initializers)


def _sample_crop(b, images, centre, side, cos, sin):
    size = CROP_SIZE
    steps = (np.arange(size, dtype=np.float32) + 0.5) / size - 0.5
    u = np.tile(steps[np.newaxis, :], (size, 1)).reshape(1, size * size)
    v = np.tile(steps[:, np.newaxis], (1, size)).reshape(1, size * size)
    x, y = _to_input(b, b.const(u, "grid_u"), b.const(v, "grid_v"), centre, side, cos, sin)
    # GridSample (align_corners 0) wants -1 and 1 at the outer pixel edges,
    # whatever the resolution of the picture it samples.
    to_grid = lambda t: b.op("Sub", [b.op("Mul", [t, b.f32(2.0 / INPUT_SIZE)]), b.f32(1.0)])
    grid = b.op("Concat", [b.op("Reshape", [to_grid(x), b.i64([size * size, 1])]),
                           b.op("Reshape", [to_grid(y), b.i64([size * size, 1])])], axis=1)
    grid = b.op("Reshape", [grid, b.i64([1, size, size, 2])])
    # A crop of a large person is a down-scale, where single bilinear taps
    # that lie 2 or more input pixels apart would alias. Such a crop samples
    # a copy of the input averaged over about one step between taps: 4x4
    # boxes every 2 pixels for steps of 2 to 4, 6x6 boxes every 4 beyond.
    # (Sampling 512x512 taps and averaging them down cost 7 of the network's
    # 26 ms.) A smaller crop samples the input itself. Outside the image the
    # crop is black, as the landmark model was trained.
    def sample(pool):
        def build(sub):
            source = sub.op("AveragePool", [images], **pool) if pool else images
            return sub.op("GridSample", [source, grid], mode="bilinear", padding_mode="zeros",
                          align_corners=0)
        return build
    # Boxes centred where the picture's own pixel grid puts the copy's pixels.
    every2 = dict(kernel_shape=[4, 4], strides=[2, 2], pads=[1, 1, 1, 1])
    every4 = dict(kernel_shape=[6, 6], strides=[4, 4], pads=[1, 1, 1, 1])
    side = b.op("Reshape", [side, b.i64([])])
    at_least = lambda sub, taps_apart: sub.op("GreaterOrEqual", [side, sub.f32(float(taps_apart * size))])

    def small_or_medium(sub):
        return sub.op("If", [at_least(sub, 2)],
                      then_branch=_branch(sub, "crop_every2", sample(every2)),
                      else_branch=_branch(sub, "crop_direct", sample(None)))
    return b.op("If", [at_least(b, 4)],
                then_branch=_branch(b, "crop_every4", sample(every4)),
                else_branch=_branch(b, "crop_smaller", small_or_medium))


def _refine_from_heatmap(b, heatmap, x, y):
    """Crop coordinates [17, 1] of the keypoints, refined with the heatmap.

    The landmark model also returns a 64x64 heatmap per landmark. Around
    each regressed point, the sigmoid-weighted mean position over a 7x7
    window of the heatmap is a finer estimate; it replaces the point when
    the window holds a confident cell (the regressed coordinates alone are
    off by several crop pixels on joints such as shoulders).
    """
    size = HEATMAP_SIZE
    cell = float(CROP_SIZE) / size
    maps = b.op("Reshape", [heatmap, b.i64([LANDMARK_COUNT, size, size])])
    maps = b.op("Sigmoid", [b.op("Gather", [maps, b.i64(COCO_FROM_BODY)], axis=0)])  # [17, 64, 64]
    cols = b.const(np.arange(size, dtype=np.float32).reshape(1, 1, size), "heat_cols")
    rows = b.const(np.arange(size, dtype=np.float32).reshape(1, size, 1), "heat_rows")
    centre_col = b.op("Floor", [b.op("Div", [x, b.f32(cell)])])             # [17, 1]
    centre_row = b.op("Floor", [b.op("Div", [y, b.f32(cell)])])
    centre_col = b.op("Reshape", [centre_col, b.i64([-1, 1, 1])])
    centre_row = b.op("Reshape", [centre_row, b.i64([-1, 1, 1])])
    reach = b.f32(float(HEATMAP_WINDOW // 2))
    near_col = b.op("LessOrEqual", [b.op("Abs", [b.op("Sub", [cols, centre_col])]), reach])
    near_row = b.op("LessOrEqual", [b.op("Abs", [b.op("Sub", [rows, centre_row])]), reach])
    window = b.op("Cast", [b.op("And", [near_col, near_row])], to=1)        # [17, 64, 64]
    weights = b.op("Mul", [maps, window])
    total = b.op("ReduceSum", [weights, b.i64([1, 2])], keepdims=0)         # [17]
    peak = b.op("ReduceMax", [weights], axes=[1, 2], keepdims=0)
    sum_col = b.op("ReduceSum", [b.op("Mul", [weights, cols]), b.i64([1, 2])], keepdims=0)
    sum_row = b.op("ReduceSum", [b.op("Mul", [weights, rows]), b.i64([1, 2])], keepdims=0)
    safe = b.op("Max", [total, b.f32(1e-6)])
    refined_x = b.op("Mul", [b.op("Add", [b.op("Div", [sum_col, safe]), b.f32(0.5)]), b.f32(cell)])
    refined_y = b.op("Mul", [b.op("Add", [b.op("Div", [sum_row, safe]), b.f32(0.5)]), b.f32(cell)])
    use = b.op("GreaterOrEqual", [peak, b.f32(HEATMAP_MIN_CONFIDENCE)])
    use = b.op("Reshape", [use, b.i64([-1, 1])])
    refined_x = b.op("Reshape", [refined_x, b.i64([-1, 1])])
    refined_y = b.op("Reshape", [refined_y, b.i64([-1, 1])])
    return b.op("Where", [use, refined_x, x]), b.op("Where", [use, refined_y, y])


def _credible_legs(b, crop_y):
    """[17, 1] factor: 0 for the legs of a body cut off above the knees.

    The crop is centred on the detector's hips; when the picture ends at
    the waist, that guess lies on the torso and the landmark model draws
    the whole leg below it inside the picture, knees above the hips, with
    high visibility and presence. A knee above its hip (crop y grows down
    the body axis) is such an invented leg, and so is the ankle below it.
    """
    knees = b.op("Slice", [crop_y, b.i64([13]), b.i64([15]), b.i64([0])])   # left, right
    hips = b.op("Slice", [crop_y, b.i64([11]), b.i64([13]), b.i64([0])])
    credible = b.op("Cast", [b.op("GreaterOrEqual", [knees, hips])], to=1)   # [2, 1]
    return b.op("Concat", [b.f32(np.ones((13, 1), np.float32)), credible, credible], axis=0)


def _keypoints(b, landmarks, heatmap, centre, side, cos, sin):
    """[17, 3] keypoints (x, y in input pixels, visibility) from the landmark output."""
    points = b.op("Reshape", [landmarks, b.i64([LANDMARK_COUNT, LANDMARK_VALUES])])
    coco = b.op("Gather", [points, b.i64(COCO_FROM_BODY)], axis=0)      # [17, 5]
    crop_x, crop_y = _column(b, coco, 0), _column(b, coco, 1)
    if heatmap is not None:
        crop_x, crop_y = _refine_from_heatmap(b, heatmap, crop_x, crop_y)
    to_fraction = lambda t: b.op("Sub", [b.op("Div", [t, b.f32(float(CROP_SIZE))]), b.f32(0.5)])
    u, v = to_fraction(crop_x), to_fraction(crop_y)
    x, y = _to_input(b, u, v, centre, side, cos, sin)
    # Visible means in the picture (presence) and not hidden (visibility).
    visibility = b.op("Mul", [b.op("Sigmoid", [_column(b, coco, 3)]), b.op("Sigmoid", [_column(b, coco, 4)])])
    visibility = b.op("Mul", [visibility, _credible_legs(b, crop_y)])
    return b.op("Concat", [x, y, visibility], axis=1), x, y


def _box(b, x, y):
    """Centre x, centre y, width, height [4, 1] from the keypoints' extent."""
    def extent(t):
        low = b.op("ReduceMin", [t], axes=[0], keepdims=1)
        high = b.op("ReduceMax", [t], axes=[0], keepdims=1)
        size = b.op("Mul", [b.op("Sub", [high, low]), b.f32(1.0 + 2.0 * BOX_MARGIN)])
        centre = b.op("Mul", [b.op("Add", [high, low]), b.f32(0.5)])
        return centre, size
    cx, w = extent(x)
    cy, h = extent(y)
    return b.op("Concat", [cx, cy, w, h], axis=0)


def _next_track(b, landmarks, centre, side, cos, sin):
    """[1, 5] crop for the next frame from this frame's alignment landmarks."""
    points = b.op("Reshape", [landmarks, b.i64([LANDMARK_COUNT, LANDMARK_VALUES])])
    align = b.op("Gather", [points, b.i64(list(ALIGNMENT_LANDMARKS))], axis=0)   # [2, 5]
    to_fraction = lambda t: b.op("Sub", [b.op("Div", [t, b.f32(float(CROP_SIZE))]), b.f32(0.5)])
    x, y = _to_input(b, to_fraction(_column(b, align, 0)), to_fraction(_column(b, align, 1)),
                     centre, side, cos, sin)
    xy = b.op("Concat", [x, y], axis=1)                                  # [2, 2]
    hip = b.op("Slice", [xy, b.i64([0]), b.i64([1]), b.i64([0])])
    circle = b.op("Slice", [xy, b.i64([1]), b.i64([2]), b.i64([0])])
    return b.op("Concat", list(_crop_transform(b, hip, circle)), axis=1)


def _candidate_columns(b, people):
    """[56, CANDIDATE_COUNT - 1] table columns for the people after the first:
    box around the hips of a standing person of their crop's size, turned
    with the crop, and the detector score; no keypoints."""
    rest = b.op("Slice", [people, b.i64([1]), b.i64([CANDIDATE_COUNT]), b.i64([0])])
    col = lambda k: _column(b, rest, k)
    radius = b.op("Div", [col(3), b.f32(2.0 * CROP_SCALE)])
    width = b.op("Mul", [radius, b.f32(CANDIDATE_BOX_WIDTH)])
    height = b.op("Mul", [radius, b.f32(CANDIDATE_BOX_HEIGHT)])
    cos, sin = b.op("Abs", [col(4)]), b.op("Abs", [col(5)])
    turned_w = b.op("Add", [b.op("Mul", [width, cos]), b.op("Mul", [height, sin])])
    turned_h = b.op("Add", [b.op("Mul", [width, sin]), b.op("Mul", [height, cos])])
    keypoints = b.f32(np.zeros((CANDIDATE_COUNT - 1, 3 * 17), np.float32))
    rows = b.op("Concat", [col(1), col(2), turned_w, turned_h, col(0), keypoints], axis=1)
    return b.op("Transpose", [rows], perm=[1, 0])


def pose_network(detector, landmark):
    """The whole graph from the two TFLite models (tflite_reader.Model)."""
    b = GraphBuilder()
    images, track = "images", "track"

    # The detector runs only without a track (ONNX Runtime executes the
    # taken branch alone): without it a run took 0.57-0.6 of the time.
    tracking = b.op("Greater", [b.op("Reshape", [_column(b, track, 2), b.i64([])]), b.f32(0.0)])
    people = b.op("If", [tracking],
                  then_branch=_branch(b, "tracked", lambda sub: _tracked(sub, track)),
                  else_branch=_branch(b, "detect", lambda sub: _detections(sub, detector, images)))
    first = b.op("Slice", [people, b.i64([0]), b.i64([1]), b.i64([0])])    # [1, 6]
    score = _column(b, first, 0)
    centre = b.op("Slice", [first, b.i64([1]), b.i64([3]), b.i64([1])])
    side, cos, sin = _column(b, first, 3), _column(b, first, 4), _column(b, first, 5)

    crop = _sample_crop(b, images, centre, side, cos, sin)
    lm = convert_subgraph(landmark, b, "lm", crop, outputs=LANDMARK_OUTPUTS)
    landmarks, pose_flag = lm["Identity"][0], lm["Identity_1"][0]

    heatmap = lm["Identity_3"][0] if HEATMAP_REFINEMENT else None
    keypoints, x, y = _keypoints(b, landmarks, heatmap, centre, side, cos, sin)
    box = _box(b, x, y)
    # The detector alone is confident on some patterns that are no person;
    # the landmark model's pose flag alone is confident on empty walls.
    # Requiring both (their product) rejects either mistake.
    confidence = b.op("Mul", [score, b.op("Reshape", [pose_flag, b.i64([1, 1])])])
    column = b.op("Concat", [box, confidence,
                             b.op("Reshape", [keypoints, b.i64([51, 1])])], axis=0)  # [56, 1]
    empty = b.op("ConstantOfShape", [b.i64([ROW_COUNT, ANCHOR_COUNT - CANDIDATE_COUNT])],
                 value=helper.make_tensor("zero", TensorProto.FLOAT, [1], [0.0]))
    table = b.op("Concat", [column, _candidate_columns(b, people), empty], axis=1)
    output = b.op("Reshape", [table, b.i64([1, ROW_COUNT, ANCHOR_COUNT])])
    b.rename(output, "output0")
    b.rename(_next_track(b, landmarks, centre, side, cos, sin), "next_track")
    b.rename(b.op("Slice", [people, b.i64([1]), b.i64([1 + TRACK_VALUES]), b.i64([1])]),
             "candidate_tracks")
    # The default track (side 0) means "detect": a caller that feeds only
    # "images" gets the detector on every run.
    b.initializers.append(numpy_helper.from_array(NO_TRACK, track))
    return b.model([(images, [1, 3, INPUT_SIZE, INPUT_SIZE]), (track, [1, TRACK_VALUES])],
                   [("output0", [1, ROW_COUNT, ANCHOR_COUNT]), ("next_track", [1, TRACK_VALUES]),
                    ("candidate_tracks", [CANDIDATE_COUNT, TRACK_VALUES])],
                   doc="Person detector and full landmark model, converted from TFLite")
