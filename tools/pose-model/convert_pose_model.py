#!/usr/bin/python3
"""Build the embedded pose network from the TFLite models of @mediapipe/pose.

Usage: convert_pose_model.py --package DIR --output FILE.onnx

DIR is the unpacked npm package (scripts/setup puts it in .deps/). The
person detector is the packed assets file (it holds exactly that one
model); the landmark model is pose_landmark_full.tflite.
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from tflite_reader import Model, TFLiteError  # noqa: E402
import pose_graph  # noqa: E402

DETECTOR_FILE = "pose_solution_packed_assets.data"
LANDMARK_FILE = "pose_landmark_full.tflite"


def build(package_dir):
    detector = Model.from_file(os.path.join(package_dir, DETECTOR_FILE))
    landmark = Model.from_file(os.path.join(package_dir, LANDMARK_FILE))
    return pose_graph.pose_network(detector, landmark)


def write_atomically(path, data):
    """Write to a temporary file beside `path`, then rename: a build that is
    interrupted never leaves half a model behind as if it were complete."""
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    handle, temporary = tempfile.mkstemp(dir=folder, suffix=".part")
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(data)
        # mkstemp makes the file private; the model is an ordinary build output.
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--package", required=True, help="unpacked @mediapipe/pose package")
    parser.add_argument("--output", required=True, help="ONNX file to write")
    args = parser.parse_args(argv)
    try:
        model = build(args.package)
    except (OSError, TFLiteError) as error:
        print("convert_pose_model: %s" % error, file=sys.stderr)
        return 1
    write_atomically(args.output, model.SerializeToString())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
