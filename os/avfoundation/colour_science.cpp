#include "os/avfoundation/colour_science.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace os::avfoundation::detail {
namespace {

// CIE 1931 2-degree colour-matching functions x, y, z from 380 to 780 nm by
// 5 nm. Beyond 780 nm the functions are below 1.5e-5 and do not move the
// locus noticeably.
constexpr double kFirstWavelength = 380.0;
constexpr double kWavelengthStep = 5.0;
constexpr std::array<std::array<double, 3>, 81> kCMF = {{
    {0.001368, 0.000039, 0.006450},  // 380 nm
    {0.002236, 0.000064, 0.010550},  // 385 nm
    {0.004243, 0.000120, 0.020050},  // 390 nm
    {0.007650, 0.000217, 0.036210},  // 395 nm
    {0.014310, 0.000396, 0.067850},  // 400 nm
    {0.023190, 0.000640, 0.110200},  // 405 nm
    {0.043510, 0.001210, 0.207400},  // 410 nm
    {0.077630, 0.002180, 0.371300},  // 415 nm
    {0.134380, 0.004000, 0.645600},  // 420 nm
    {0.214770, 0.007300, 1.039050},  // 425 nm
    {0.283900, 0.011600, 1.385600},  // 430 nm
    {0.328500, 0.016840, 1.622960},  // 435 nm
    {0.348280, 0.023000, 1.747060},  // 440 nm
    {0.348060, 0.029800, 1.782600},  // 445 nm
    {0.336200, 0.038000, 1.772110},  // 450 nm
    {0.318700, 0.048000, 1.744100},  // 455 nm
    {0.290800, 0.060000, 1.669200},  // 460 nm
    {0.251100, 0.073900, 1.528100},  // 465 nm
    {0.195360, 0.090980, 1.287640},  // 470 nm
    {0.142100, 0.112600, 1.041900},  // 475 nm
    {0.095640, 0.139020, 0.812950},  // 480 nm
    {0.057950, 0.169300, 0.616200},  // 485 nm
    {0.032010, 0.208020, 0.465180},  // 490 nm
    {0.014700, 0.258600, 0.353300},  // 495 nm
    {0.004900, 0.323000, 0.272000},  // 500 nm
    {0.002400, 0.407300, 0.212300},  // 505 nm
    {0.009300, 0.503000, 0.158200},  // 510 nm
    {0.029100, 0.608200, 0.111700},  // 515 nm
    {0.063270, 0.710000, 0.078250},  // 520 nm
    {0.109600, 0.793200, 0.057250},  // 525 nm
    {0.165500, 0.862000, 0.042160},  // 530 nm
    {0.225750, 0.914850, 0.029840},  // 535 nm
    {0.290400, 0.954000, 0.020300},  // 540 nm
    {0.359700, 0.980300, 0.013400},  // 545 nm
    {0.433450, 0.994950, 0.008750},  // 550 nm
    {0.512050, 1.000000, 0.005750},  // 555 nm
    {0.594500, 0.995000, 0.003900},  // 560 nm
    {0.678400, 0.978600, 0.002750},  // 565 nm
    {0.762100, 0.952000, 0.002100},  // 570 nm
    {0.842500, 0.915400, 0.001800},  // 575 nm
    {0.916300, 0.870000, 0.001650},  // 580 nm
    {0.978600, 0.816300, 0.001400},  // 585 nm
    {1.026300, 0.757000, 0.001100},  // 590 nm
    {1.056700, 0.694900, 0.001000},  // 595 nm
    {1.062200, 0.631000, 0.000800},  // 600 nm
    {1.045600, 0.566800, 0.000600},  // 605 nm
    {1.002600, 0.503000, 0.000340},  // 610 nm
    {0.938400, 0.441200, 0.000240},  // 615 nm
    {0.854450, 0.381000, 0.000190},  // 620 nm
    {0.751400, 0.321000, 0.000100},  // 625 nm
    {0.642400, 0.265000, 0.000050},  // 630 nm
    {0.541900, 0.217000, 0.000030},  // 635 nm
    {0.447900, 0.175000, 0.000020},  // 640 nm
    {0.360800, 0.138200, 0.000010},  // 645 nm
    {0.283500, 0.107000, 0.000000},  // 650 nm
    {0.218700, 0.081600, 0.000000},  // 655 nm
    {0.164900, 0.061000, 0.000000},  // 660 nm
    {0.121200, 0.044580, 0.000000},  // 665 nm
    {0.087400, 0.032000, 0.000000},  // 670 nm
    {0.063600, 0.023200, 0.000000},  // 675 nm
    {0.046770, 0.017000, 0.000000},  // 680 nm
    {0.032900, 0.011920, 0.000000},  // 685 nm
    {0.022700, 0.008210, 0.000000},  // 690 nm
    {0.015840, 0.005723, 0.000000},  // 695 nm
    {0.011359, 0.004102, 0.000000},  // 700 nm
    {0.008111, 0.002929, 0.000000},  // 705 nm
    {0.005790, 0.002091, 0.000000},  // 710 nm
    {0.004109, 0.001484, 0.000000},  // 715 nm
    {0.002899, 0.001047, 0.000000},  // 720 nm
    {0.002049, 0.000740, 0.000000},  // 725 nm
    {0.001440, 0.000520, 0.000000},  // 730 nm
    {0.001000, 0.000361, 0.000000},  // 735 nm
    {0.000690, 0.000249, 0.000000},  // 740 nm
    {0.000476, 0.000172, 0.000000},  // 745 nm
    {0.000332, 0.000120, 0.000000},  // 750 nm
    {0.000235, 0.000085, 0.000000},  // 755 nm
    {0.000166, 0.000060, 0.000000},  // 760 nm
    {0.000117, 0.000042, 0.000000},  // 765 nm
    {0.000083, 0.000030, 0.000000},  // 770 nm
    {0.000059, 0.000021, 0.000000},  // 775 nm
    {0.000042, 0.000015, 0.000000},  // 780 nm
}};

// XYZ -> camera RGB for D65, and its inverse (computed once).
constexpr double kCameraMatrix[3][3] = {
    {0.4716, 0.0603, -0.0830},
    {-0.7798, 1.5474, 0.2480},
    {-0.1496, 0.1937, 0.6651},
};

struct Matrix3 {
  double m[3][3];
};

Matrix3 inverse(const double (&a)[3][3]) {
  const double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
  const double c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
  const double c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
  const double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
  Matrix3 r;
  r.m[0][0] = c00 / det;
  r.m[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
  r.m[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
  r.m[1][0] = c01 / det;
  r.m[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
  r.m[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
  r.m[2][0] = c02 / det;
  r.m[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
  r.m[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
  return r;
}

const Matrix3& inverseCameraMatrix() {
  static const Matrix3 inv = inverse(kCameraMatrix);
  return inv;
}

struct LocusPoint {
  double T;
  double u;
  double v;
};

LocusPoint locusPoint(double T) {
  const UV uv = planckianUV(T);
  return {T, uv.u, uv.v};
}

// The locus from kMinimumLocusTemperature to kMaximumLocusTemperature in steps
// of 1% (Ohno's initial table).
const std::vector<LocusPoint>& locusTable() {
  // Never destroyed: cameras convert on their own threads during exit.
  static const auto& table = *new std::vector<LocusPoint>([] {
    std::vector<LocusPoint> t;
    for (double T = kMinimumLocusTemperature; T < kMaximumLocusTemperature; T *= 1.01) t.push_back(locusPoint(T));
    t.push_back(locusPoint(kMaximumLocusTemperature));
    return t;
  }());
  return table;
}

double distance(const LocusPoint& p, UV uv) { return std::hypot(uv.u - p.u, uv.v - p.v); }

// Index of the point nearest to uv, kept off both ends so it has neighbours.
size_t nearestInterior(const std::vector<LocusPoint>& points, UV uv) {
  size_t best = 0;
  double bestDistance = distance(points[0], uv);
  for (size_t i = 1; i < points.size(); ++i) {
    const double d = distance(points[i], uv);
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return std::clamp<size_t>(best, 1, points.size() - 2);
}

}  // namespace

UV planckianUV(double kelvin) {
  double X = 0, Y = 0, Z = 0;
  for (size_t i = 0; i < kCMF.size(); ++i) {
    const double lambda = (kFirstWavelength + kWavelengthStep * double(i)) * 1e-9;
    // Planck's law without the first radiation constant, which cancels.
    const double m = 1.0 / (std::pow(lambda, 5) * std::expm1(kPlanckC2 / (lambda * kelvin)));
    X += m * kCMF[i][0];
    Y += m * kCMF[i][1];
    Z += m * kCMF[i][2];
  }
  return uvFromXYZ({X, Y, Z});
}

CCTDuv cctDuvFromUV(UV uv) {
  // Cascade: start from the 1% table, then resample the bracket around the
  // nearest point ten times finer until it spans under 0.01% of T.
  const auto& table = locusTable();
  size_t i = nearestInterior(table, uv);
  std::array<LocusPoint, 3> p = {table[i - 1], table[i], table[i + 1]};
  constexpr int kSubdivisions = 10;
  for (int level = 0; level < 12 && p[2].T - p[0].T > 1e-4 * p[1].T; ++level) {
    std::vector<LocusPoint> fine;
    fine.reserve(kSubdivisions + 1);
    for (int k = 0; k <= kSubdivisions; ++k) {
      fine.push_back(k == 0               ? p[0]
                     : k == kSubdivisions ? p[2]
                                          : locusPoint(p[0].T + (p[2].T - p[0].T) * k / kSubdivisions));
    }
    i = nearestInterior(fine, uv);
    p = {fine[i - 1], fine[i], fine[i + 1]};
  }

  const double d0 = distance(p[0], uv), d1 = distance(p[1], uv), d2 = distance(p[2], uv);

  // Triangular solution: the foot of the perpendicular on the chord p0-p2.
  const double l = std::hypot(p[2].u - p[0].u, p[2].v - p[0].v);
  const double x = (d0 * d0 - d2 * d2 + l * l) / (2 * l);
  const double vx = p[0].v + (p[2].v - p[0].v) * x / l;
  const double sign = uv.v - vx >= 0 ? 1.0 : -1.0;
  CCTDuv result;
  result.cct = p[0].T + (p[2].T - p[0].T) * x / l;
  result.duv = sign * std::sqrt(std::max(0.0, d0 * d0 - x * x));
  if (std::fabs(result.duv) < 0.002) return result;

  // Parabolic solution: d(T) fitted through the three points, in T relative
  // to the middle point to keep the fit well conditioned. (Ohno's 0.99991
  // correction belongs to the 1% table and does not apply after the cascade.)
  const double t0 = p[0].T - p[1].T, t2 = p[2].T - p[1].T;
  // d(t) = a t^2 + b t + c with c = d1.
  const double a = ((d0 - d1) / t0 - (d2 - d1) / t2) / (t0 - t2);
  const double b = (d0 - d1) / t0 - a * t0;
  if (a > 0) {
    const double t = -b / (2 * a);
    result.cct = p[1].T + t;
    result.duv = sign * (d1 + b * t + a * t * t);
  }
  return result;
}

UV uvFromCCTDuv(double cct, double duv) {
  // Ohno's inverse: the locus point and its normal from a 0.01 K difference.
  const UV p0 = planckianUV(cct);
  const UV p1 = planckianUV(cct + 0.01);
  const double du = p0.u - p1.u;
  const double dv = p0.v - p1.v;
  const double n = std::hypot(du, dv);
  return {p0.u - duv * dv / n, p0.v + duv * du / n};
}

UV uvFromXYZ(const XYZ& xyz) {
  const double d = xyz.X + 15 * xyz.Y + 3 * xyz.Z;
  return {4 * xyz.X / d, 6 * xyz.Y / d};
}

UV uvFromXY(double x, double y) {
  const double d = -2 * x + 12 * y + 3;
  return {4 * x / d, 6 * y / d};
}

XYZ xyzFromUV(UV uv, double Y) {
  const double d = 2 * uv.u - 8 * uv.v + 4;
  const double x = 3 * uv.u / d;
  const double y = 2 * uv.v / d;
  return {Y * x / y, Y, Y * (1 - x - y) / y};
}

CameraRGB cameraRGBFromXYZ(const XYZ& c) {
  const auto& m = kCameraMatrix;
  return {m[0][0] * c.X + m[0][1] * c.Y + m[0][2] * c.Z, m[1][0] * c.X + m[1][1] * c.Y + m[1][2] * c.Z,
          m[2][0] * c.X + m[2][1] * c.Y + m[2][2] * c.Z};
}

XYZ xyzFromCameraRGB(const CameraRGB& c) {
  const auto& m = inverseCameraMatrix().m;
  return {m[0][0] * c.r + m[0][1] * c.g + m[0][2] * c.b, m[1][0] * c.r + m[1][1] * c.g + m[1][2] * c.b,
          m[2][0] * c.r + m[2][1] * c.g + m[2][2] * c.b};
}

XYZ xyzFromLinearSRGB(double r, double g, double b) {
  return {0.4124564 * r + 0.3575761 * g + 0.1804375 * b, 0.2126729 * r + 0.7151522 * g + 0.0721750 * b,
          0.0193339 * r + 0.1191920 * g + 0.9503041 * b};
}

void linearSRGBFromXYZ(const XYZ& c, double& r, double& g, double& b) {
  r = 3.2404542 * c.X - 1.5371385 * c.Y - 0.4985314 * c.Z;
  g = -0.9692660 * c.X + 1.8760108 * c.Y + 0.0415560 * c.Z;
  b = 0.0556434 * c.X - 0.2040259 * c.Y + 1.0572252 * c.Z;
}

double srgbDecode(double e) { return e <= 0.04045 ? e / 12.92 : std::pow((e + 0.055) / 1.055, 2.4); }

double srgbEncode(double l) {
  l = std::clamp(l, 0.0, 1.0);
  return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
}

}  // namespace os::avfoundation::detail
