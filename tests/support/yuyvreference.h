#pragma once

#include <QByteArray>

// Plain scalar BT.601 limited-range conversions between the decoder's pixels (B, G, R, top row
// first) and packed YUYV 4:2:2, written from the textbook formulas with floating point. They are
// the reference that the fast conversion and the virtual camera's output are held against.
//
// YUYV layout: for each pair of pixels Y0 U Y1 V, rows of (width & ~1) * 2 bytes; an odd width's
// last column is not in it. U and V belong to the pair (the mean of its two pixels).

// Bytes of one YUYV frame of a width x height picture.
int yuyvFrameBytes(int width, int height);

// BGR (width * height * 3 bytes) to YUYV (yuyvFrameBytes bytes), rounded to nearest.
QByteArray bgrToYuyvReference(const uchar *bgr, int width, int height);

// YUYV of a width x height picture back to BGR: (width & ~1) x height pixels, each with its pair's
// U and V, clamped to 0..255.
QByteArray yuyvToBgrReference(const uchar *yuyv, int width, int height);

struct YuyvDifference
{
    int max = 0;      // largest difference of one colour byte
    double mean = 0;  // mean difference over all compared colour bytes
};

// Compares an expected picture (width * height * 3 bytes of BGR) with a YUYV frame of the same
// size, such as one read from the virtual camera's output file, by turning the frame back into
// BGR. An odd width's last column is not compared. Chroma is shared by each pixel pair, so
// colour edges inside a pair differ a lot; flat or smooth pictures come within a few levels.
YuyvDifference compareBgrWithYuyv(const uchar *bgr, int width, int height, const uchar *yuyv);
