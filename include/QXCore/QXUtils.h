/*
 * QXUtils.h — the library's utilities: value types for pixel geometry and the free functions over them.
 *
 * These functions keep no state, allocate nothing and take no locks: they may be called from any thread.
 * Integer arithmetic wraps at 32 bits and nothing normalises negative widths or heights; float-to-integer
 * conversions of values out of the 32-bit range saturate (NaN gives 0).
 */
#ifndef QXCORE_QXUTILS_H
#define QXCORE_QXUTILS_H

#include <QXCore/QXBase.h>
#include <stdbool.h>
#include <stdint.h>

QX_EXTERN_C_BEGIN

/* ---------------------------------------------------------------------------------------------------------------
 * Geometry
 *
 * A QXRect covers the columns x to x + width - 1 and the rows y to y + height - 1 (both ends inclusive) and is
 * empty only when its width or height is exactly 0. A QXRectF spans x to x + width and y to y + height. Mip level
 * L corresponds to magnification 2^-L. Stored in a CoreFoundation dictionary, a point or rectangle is a CFData of
 * its fields in the order below, each little-endian (8 or 16 bytes).
 * ------------------------------------------------------------------------------------------------------------- */

typedef struct QXRect {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
} QXRect;

typedef struct QXRectF {
  float x;
  float y;
  float width;
  float height;
} QXRectF;

typedef struct QXPoint {
  int32_t x;
  int32_t y;
} QXPoint;

typedef struct QXPointF {
  float x;
  float y;
} QXPointF;

typedef struct QXSize {
  int32_t width;
  int32_t height;
} QXSize;

/* Maps (x, y) to (a*x + b*y + tx, c*x + d*y + ty). */
typedef struct QXAffineTransform {
  float a;
  float b;
  float c;
  float d;
  float tx;
  float ty;
} QXAffineTransform;

/* A rectangle in scene units and the magnification per axis that turns scene units into preview pixels. */
typedef struct QXPreviewScene {
  float x;
  float y;
  float width;
  float height;
  float magX;
  float magY;
} QXPreviewScene;

/* Construction and access. */
QX_EXPORT QXRect QXRectMake(int32_t x, int32_t y, int32_t width, int32_t height);
QX_EXPORT QXRectF QXRectFMake(float x, float y, float width, float height);
QX_EXPORT QXPoint QXPointMake(int32_t x, int32_t y);
QX_EXPORT QXPointF QXPointFMake(float x, float y);
QX_EXPORT int32_t QXRectGetMinX(QXRect rect);
QX_EXPORT int32_t QXRectGetMinY(QXRect rect);
/* The last column, x + width - 1 (and the last row, y + height - 1). */
QX_EXPORT int32_t QXRectGetMaxX(QXRect rect);
QX_EXPORT int32_t QXRectGetMaxY(QXRect rect);
QX_EXPORT float QXRectFGetMinX(QXRectF rect);
QX_EXPORT float QXRectFGetMinY(QXRectF rect);
/* The far edge, x + width (and y + height): no minus one. */
QX_EXPORT float QXRectFGetMaxX(QXRectF rect);
QX_EXPORT float QXRectFGetMaxY(QXRectF rect);

/* True when the width or the height is exactly 0; a negative extent is not empty. */
QX_EXPORT bool QXRectEmpty(QXRect rect);
QX_EXPORT bool QXRectEqual(QXRect a, QXRect b);
QX_EXPORT bool QXSizeEqual(QXSize a, QXSize b);
/* True when |a.x - b.x| and |a.y - b.y|, in single precision, are both strictly below 1e-6. */
QX_EXPORT bool QXPointFEqual(QXPointF a, QXPointF b);
QX_EXPORT QXPoint QXPointAdd(QXPoint a, QXPoint b);
QX_EXPORT QXPointF QXPointFAdd(QXPointF a, QXPointF b);
/* True when |a - b|, in single precision, is at most epsilon (inclusive, unlike QXPointFEqual). */
QX_EXPORT bool QXUtilsIsFloatEqual(float a, float b, float epsilon);

/* Rectangle operations. */

/* The overlap of a and b. Rectangles that only touch give a zero width or height at the touching position
   ({0,0,10,10} and {10,0,5,5} give {10,0,0,5}); disjoint ones give {0,0,0,0}. */
QX_EXPORT QXRect QXRectIntersect(QXRect a, QXRect b);
/* As QXRectIntersect with far edges x + width: a zero width or height is kept, a negative one gives all zeros. */
QX_EXPORT QXRectF QXRectFIntersect(QXRectF a, QXRectF b);
/* The bounding union. When a is empty the result is b unchanged (even if b is empty too); else when b is
   empty it is a. */
QX_EXPORT QXRect QXRectSupersect(QXRect a, QXRect b);
/* {x - d, y - d, width + 2d, height + 2d}; a negative d insets. */
QX_EXPORT QXRect QXRectOutset(QXRect rect, int32_t d);
QX_EXPORT QXRectF QXRectFOutset(QXRectF rect, float d);
/* Each field converted to float, multiplied by s and truncated toward zero, independently. */
QX_EXPORT QXRect QXRectScale(QXRect rect, float s);
QX_EXPORT QXRectF QXRectFScale(QXRectF rect, float s);
/* True when inner's first and last columns and rows all lie within outer's (inclusive ends). */
QX_EXPORT bool QXRectInRect(QXRect inner, QXRect outer);
/* The largest size of source's aspect that fits bounds, at origin (0, 0) (not centred), in integer arithmetic
   with truncating division. A source with a zero width or height gives {0,0,0,0}. */
QX_EXPORT QXRect QXRectFitInRectProportional(QXRect source, QXRect bounds);
/* Inclusive on all four sides: the last column is x + width - 1. */
QX_EXPORT bool QXPointInRect(QXPoint point, QXRect rect);
/* Half-open: x + width and y + height lie outside. */
QX_EXPORT bool QXPointFInRectF(QXPointF point, QXRectF rect);

/* Conversions. */
QX_EXPORT QXPointF QXPointToQXPointF(QXPoint point);
/* Each field truncated toward zero. */
QX_EXPORT QXPoint QXPointFToQXPoint(QXPointF point);
QX_EXPORT QXRectF QXRectToQXRectF(QXRect rect);
/* Each field truncated toward zero independently (width and height are not derived from the edges). */
QX_EXPORT QXRect QXRectFToQXRect(QXRectF rect);
/* Each field independently plus one half (in double), truncated toward zero: 2.5 gives 3, -0.7 gives 0,
   -1.6 gives -1. */
QX_EXPORT QXRect QXRectFToRoundedQXRect(QXRectF rect);
/* The smallest integer rectangle containing rect: x' = floor(x), width' = ceil(x + width) - x'. */
QX_EXPORT QXRect QXRectFToRoundOutQXRect(QXRectF rect);

/* Affine transforms, in single precision. */
QX_EXPORT QXAffineTransform QXAffineTransformIdentity(void);
/* Scales, then rotates by angleDegrees, both about (centerX, centerY), then moves by (offsetX, offsetY). */
QX_EXPORT QXAffineTransform QXAffineTransformMake(float angleDegrees, float scaleX, float scaleY, float centerX,
                                                  float centerY, float offsetX, float offsetY);
/* Rotates source by angleDegrees, flips it, and scales it by (destination extent * scale / rotated extent) so
   that its centre lands on destination's centre. With proportional set both axes take the larger scale, so the
   result covers destination. A source whose rotated bounds have a zero extent gives non-finite components. */
QX_EXPORT QXAffineTransform QXAffineTransformMakeResize(QXRect source, QXRect destination, bool flipHorizontal,
                                                        bool flipVertical, int32_t angleDegrees, float scaleX,
                                                        float scaleY, bool proportional);
/* The transform that applies t2 first and then t1. */
QX_EXPORT QXAffineTransform QXAffineTransformConcat(QXAffineTransform t1, QXAffineTransform t2);
/* The inverse. A singular t (determinant 0) gives non-finite components; nothing reports it. */
QX_EXPORT QXAffineTransform QXAffineTransformInvert(QXAffineTransform t);
QX_EXPORT QXPointF QXAffineTransformTransformPointF(QXPointF point, QXAffineTransform t);
/* The bounds of the four transformed corners. */
QX_EXPORT QXRectF QXAffineTransformTransformRectF(QXRectF rect, QXAffineTransform t);
/* The bounds of the transformed corners (x + width and y + height are the far corners), snapped outward to
   whole pixels. An edge within 1/256 of a whole number snaps to it rather than spreading the result by a pixel. */
QX_EXPORT QXRect QXAffineTransformTransformRect(QXRect rect, QXAffineTransform t);

/* Preview scenes. Rows and columns are round(v) = (product in single precision, widened to double) + 0.5,
   truncated toward zero. */

/* x, y, width and height 0; magX and magY 1. */
QX_EXPORT QXPreviewScene QXPreviewSceneIdentity(void);
/* Sets both magnifications; the rectangle is unchanged. A null scene is ignored. */
QX_EXPORT void QXPreviewSceneSetMag(QXPreviewScene* scene, float mag);
/* Re-expresses the scene at the new magnifications so that it covers the same preview pixels. A null scene is
   ignored. */
QX_EXPORT void QXPreviewSceneNormalizeToMag(QXPreviewScene* scene, float newMagX, float newMagY);
/* round(x * magX). */
QX_EXPORT int32_t QXPreviewSceneGetLeftCol(QXPreviewScene scene);
/* round((x + width) * magX): the column after the last. */
QX_EXPORT int32_t QXPreviewSceneGetRightCol(QXPreviewScene scene);
QX_EXPORT int32_t QXPreviewSceneGetTopRow(QXPreviewScene scene);
QX_EXPORT int32_t QXPreviewSceneGetBottomRow(QXPreviewScene scene);
QX_EXPORT int32_t QXPreviewSceneGetNumCols(QXPreviewScene scene);
QX_EXPORT int32_t QXPreviewSceneGetNumRows(QXPreviewScene scene);
/* {left column, top row, number of columns, number of rows}. */
QX_EXPORT QXRect QXPreviewSceneGetQXRect(QXPreviewScene scene);

/* Levels, magnifications and tiles. Integer division truncates toward zero; INT32_MIN / -1 wraps to INT32_MIN.
   The tile size must be positive: a tile size of 0 gives all-zero results. */

/* 2^-level, by repeated squaring in single precision: 0 gives 1.0, 1 gives 0.5, -2 gives 4.0. Very large
   levels give 0 or infinity. */
QX_EXPORT float QXUtilsLevelToMag(int32_t level);
/* floor(-log2(mag)), exactly: the largest level whose magnification is not below mag (0.3 gives 1, 3.0 gives
   -2, QXUtilsLevelToMag(L) gives L). mag must be positive and finite: 0 gives INT32_MAX, infinity INT32_MIN,
   a negative or NaN mag 0. */
QX_EXPORT int32_t QXUtilsMagToLevel(float mag);
/* Rows = height / tileSize and columns = width / tileSize, each rounded up. Null out-pointers are skipped. */
QX_EXPORT void QXUtilsCalcTileDimensions(QXRect rect, int32_t tileSize, int32_t* outTileRows, int32_t* outTileCols);
/* The tiles that rect touches, in tile units: x' = x / tileSize, width' = (x + width - 1) / tileSize - x' + 1. */
QX_EXPORT QXRect QXUtilsCalcTileRange(QXRect rect, int32_t tileSize);
/* The pixel rectangle of every tile that rect touches: the tile range times tileSize. */
QX_EXPORT QXRect QXUtilsCalcTileBoundingRectangle(QXRect rect, int32_t tileSize);

/* ---------------------------------------------------------------------------------------------------------------
 * Codecs
 *
 * Run-length coding in the PackBits packet format: a header byte h (read as signed) followed by h + 1 literal
 * bytes for 0..127, by one byte repeated 1 - h times for -1..-127, and by nothing for -128 (0x80, a no-op that
 * ends every compressed stream). Pattern lengths are bytes.
 * ------------------------------------------------------------------------------------------------------------- */

/* Compresses sourceLength bytes into destination and returns the number of bytes written, the closing 0x80
   included. There is no capacity argument: destination must hold sourceLength + sourceLength / 127 + 3 bytes,
   which covers the worst case. An empty source gives the single byte 0x80 (result 1). Null source or destination
   pointers write nothing and give 0. */
QX_EXPORT uint64_t QXUtilsRLECompress(const void* source, void* destination, uint64_t sourceLength);
/* Expands packets until sourceLength bytes are consumed (0x80 does not end decoding). A packet that does not fit
   the remaining capacity whole is not written and decoding stops there; so does a packet whose bytes would lie
   beyond sourceLength (a truncated literal, or a run header as the last byte): the source is never read past its
   end. Nothing reports how many bytes were produced. A null destination is taken as capacity 0. */
QX_EXPORT void QXUtilsRLEDecompress(const void* source, uint64_t sourceLength, void* destination,
                                    uint64_t destinationCapacity);
/* Fills buffer with copies of the pattern and returns 0. Returns kQXErrInvalidArgument (1005), leaving the buffer
   untouched, when bufferLength is negative or not a whole multiple of patternLength, when patternLength is not
   positive, or when bufferLength is positive and either pointer is null. */
QX_EXPORT QXStatus QXUtilsMemFillPattern(const void* pattern, int32_t patternLength, void* buffer,
                                         int32_t bufferLength);
/* True when buffer is the pattern repeated a whole number of times (an empty buffer is). False for a bufferLength
   that is negative or not a multiple of patternLength, a patternLength that is not positive, or a positive
   bufferLength with either pointer null. */
QX_EXPORT bool QXUtilsMemComparePattern(const void* pattern, int32_t patternLength, const void* buffer,
                                        int32_t bufferLength);

QX_EXTERN_C_END

#endif /* QXCORE_QXUTILS_H */
