#!/usr/bin/python3
"""The sphere OpenCV makes of a fisheye picture through a camera calibration.

  opencv_fisheye_sphere.py PICTURE CALIBRATION.yaml N RIGHT UP AHEAD SPHERE

PICTURE is any picture OpenCV reads; CALIBRATION an OpenCV YAML file with K
(3 x 3, its skew as K[0][1] / K[0][0]) and D (k1 to k4) of cv2.fisheye's
model. RIGHT, UP and AHEAD are the camera's axes in the world (x east, y up,
z ahead), each three numbers joined by commas. SPHERE (PPM, BMP or PNG) is
2N x N: column x at longitude (x + 0.5 - N) * 180 / N degrees, row y (from
the top) at latitude 90 - (y + 0.5) * 180 / N, each pixel the picture
sampled where cv2.fisheye.projectPoints puts its direction, by cv2.remap's
cubic interpolation; black for the directions behind the camera, which
projectPoints cannot tell from those ahead, and outside the picture.

Run with Debian's /usr/bin/python3, into which python3-opencv installs.
"""
import sys

import cv2
import numpy as np


def axis(text):
    return np.array([float(value) for value in text.split(",")])


def main():
    picture_path, calibration_path, height, right, up, ahead, sphere_path = sys.argv[1:]
    source = cv2.imread(picture_path, cv2.IMREAD_COLOR)
    if source is None:
        sys.exit(f"opencv_fisheye_sphere: cannot read {picture_path}")
    storage = cv2.FileStorage(calibration_path, cv2.FILE_STORAGE_READ)
    camera_matrix = storage.getNode("K").mat()
    coefficients = storage.getNode("D").mat().reshape(4)

    n = int(height)
    rows, columns = np.mgrid[0:n, 0:2 * n].astype(np.float64)
    longitude = (columns + 0.5 - n) * np.pi / n
    latitude = np.pi / 2 - (rows + 0.5) * np.pi / n
    world = np.stack([np.cos(latitude) * np.sin(longitude), np.sin(latitude),
                      np.cos(latitude) * np.cos(longitude)], axis=-1)
    # OpenCV's camera frame: x right, y down, z ahead.
    points = np.stack([world @ axis(right), -(world @ axis(up)), world @ axis(ahead)], axis=-1)
    ahead_of_camera = points[..., 2] > 0

    projected, _ = cv2.fisheye.projectPoints(points[ahead_of_camera].reshape(-1, 1, 3), np.zeros(3), np.zeros(3),
                                             camera_matrix, coefficients,
                                             alpha=camera_matrix[0, 1] / camera_matrix[0, 0])
    map_x = np.full((n, 2 * n), -1000.0, np.float32)
    map_y = np.full((n, 2 * n), -1000.0, np.float32)
    map_x[ahead_of_camera] = projected[:, 0, 0]
    map_y[ahead_of_camera] = projected[:, 0, 1]
    sphere = cv2.remap(source, map_x, map_y, cv2.INTER_CUBIC, borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    if not cv2.imwrite(sphere_path, sphere):
        sys.exit(f"opencv_fisheye_sphere: cannot write {sphere_path}")


if __name__ == "__main__":
    main()
