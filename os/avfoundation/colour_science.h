// Colour science behind the simulated camera's white balance: the CIE 1931
// 2-degree observer, the Planckian locus in CIE 1960 uv, correlated colour
// temperature and Duv by Ohno's 2013 method (cascade, then the triangular or
// parabolic solution), and the camera's colour matrix.
//
// Both directions (uv -> CCT/Duv and CCT/Duv -> uv) use the same locus, so a
// round trip returns its input to well under 0.5 K. All functions are pure and
// thread-safe; the locus table is built once, on first use.
#pragma once

namespace os::avfoundation::detail {

struct XYZ {
  double X = 0, Y = 0, Z = 0;
};
// CIE 1960 UCS chromaticity.
struct UV {
  double u = 0, v = 0;
};
// Camera (sensor) RGB.
struct CameraRGB {
  double r = 0, g = 0, b = 0;
};
struct CCTDuv {
  double cct = 0;  // kelvin
  double duv = 0;  // distance from the locus in uv; positive above it (towards green)
};

// The locus table spans these temperatures; conversions outside it are refused
// (inverse) or land on its ends (forward).
inline constexpr double kMinimumLocusTemperature = 1000.0;
inline constexpr double kMaximumLocusTemperature = 100000.0;

// Second radiation constant (m K), as the CIE uses it.
inline constexpr double kPlanckC2 = 1.4388e-2;

// uv of a blackbody at `kelvin` (> 0), integrated over the observer.
UV planckianUV(double kelvin);

// Ohno 2013: the nearest point of the locus to `uv`. Finite input gives a
// finite result within the locus table's range (give or take one step).
CCTDuv cctDuvFromUV(UV uv);

// The point at distance `duv` from the locus at `cct`, on the locus normal;
// positive duv lies above the locus.
UV uvFromCCTDuv(double cct, double duv);

UV uvFromXYZ(const XYZ& xyz);
UV uvFromXY(double x, double y);
// XYZ of chromaticity `uv` with luminance Y.
XYZ xyzFromUV(UV uv, double Y = 1.0);

// The camera's colour matrix (XYZ -> camera RGB, for D65) and its inverse.
CameraRGB cameraRGBFromXYZ(const XYZ& xyz);
XYZ xyzFromCameraRGB(const CameraRGB& rgb);

// Linear sRGB (D65) <-> XYZ, for scenes given as sRGB pixels and for photos.
XYZ xyzFromLinearSRGB(double r, double g, double b);
void linearSRGBFromXYZ(const XYZ& xyz, double& r, double& g, double& b);
// The sRGB transfer function and its inverse, on [0, 1].
double srgbDecode(double encoded);
double srgbEncode(double linear);

}  // namespace os::avfoundation::detail
