/*
 * QXImage.h — the tiled image engine: image records, tiles, the process-wide tile cache with its
 * disk store, and the tile-record stream format.
 *
 * An image is a rectangle of pixels with 1 to 32 interleaved planes of 8-, 16- or 32-bit (float)
 * samples. Three kinds of record exist behind one handle: memory records (one contiguous buffer),
 * tiled records (256 x 256 tiles that load on demand, count against one process-wide budget and
 * spill to a per-process disk cache) and solid-fill records (geometry only, no pixels).
 *
 * Ownership: functions named Create or Copy return an object with one reference that the caller
 * releases with QXImageRelease / QXTileRelease. Other pointers are borrowed.
 *
 * Threads: reads and writes of one record from several threads are safe; each record serialises
 * them with its own lock. Init, AdjustBounds and the field setters take no lock: reshape a record
 * only while no other thread uses it. The cache functions may be called from any thread.
 *
 * Pixels never written read as zeros, including the parts of edge tiles outside the image.
 */
#ifndef QXCORE_QXIMAGE_H
#define QXCORE_QXIMAGE_H

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXBase.h>
#include <QXCore/QXStream.h>
#include <QXCore/QXUtils.h>
#include <stdbool.h>
#include <stdint.h>

QX_EXTERN_C_BEGIN

typedef struct __QXImage* QXImageRef;
typedef struct __QXTile* QXTileRef;

enum {
  kQXImageTileSize = 256,

  /* dataSourceType values, which are also the `kind` of a new record (QXImageCreateWithParams2,
     the rotations); as a kind, kQXImageSourceNone makes a tiled record */
  kQXImageSourceNone = 0, /* read from a stream, or never initialised */
  kQXImageSourceMemory = 1,
  kQXImageSourceTiled = 2,
  kQXImageSourceSolidFill = 3,

  /* colorSpaceType values */
  kQXImageColorSpaceNone = 0, /* not stated */
  kQXImageColorSpaceGray = 1,
  kQXImageColorSpaceRGB = 2,
  kQXImageColorSpaceCMYK = 3,

  /* transparency values */
  kQXImageTransparencyNone = 0,
  kQXImageTransparencyAlpha = 1, /* the last plane is alpha */

  /* Sample conversions of Read2/Write2; they apply to 16-bit images only, the first set wins. */
  kQXImageFlag15To16 = 0x01, /* s * 65535 >> 15, saturating at 65535 */
  kQXImageFlag16To15 = 0x02, /* (s + 1) >> 1 */
  kQXImageFlagSwap = 0x04,   /* bytes swapped */
  kQXImageFlagSwap2 = 0x08,  /* bytes swapped */
  kQXImageFlagRead8 = 0x10,  /* Read: the buffer holds the high byte of each sample */
  kQXImageFlagWrite8 = 0x20, /* Write: each buffer byte b is stored as b * 257 */

  /* GetNativeTile2 flag: hand out the tile without making its data resident. */
  kQXImageTileNoLoad = 0x01,

  /* Tile coherence states (four-character codes). */
  kQXTileStateRAMNewest = 0x64624D72,  /* 'dbMr' */
  kQXTileStateVRAMNewest = 0x74694D72, /* 'tiMr' */
  kQXTileStateCoherent = 0x7469436F,   /* 'tiCo' */

  /* Tile storage kinds */
  kQXTileStorageData = 0, /* a CFMutableData */
  kQXTileStorageHeap = 1,
  kQXTileStoragePool = 3, /* the process's memory pool of exact-size blocks */

  /* Listener message codes */
  kQXImageMsgTilePurged = 0,
  kQXImageMsgTileDestroyed = 1,
  kQXImageMaxListeners = 10,

  /* Tile store types */
  kQXImageStoreFile = 0,
  kQXImageStoreNone = 1
};

/* ---- Creation ---- */

/* An empty memory record: no geometry, no buffer. NULL when memory runs out. */
QX_EXPORT QXImageRef QXImageCreate(void);
/* A memory record over the caller's buffer of rowBytes x height bytes, which the caller keeps alive
   and the record never frees. `buffer` may be NULL: the record then has no pixels and its reads and
   writes fail with kQXErrInvalidArgument. */
QX_EXPORT QXStatus QXImageCreateMemory(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType,
                                       int32_t transparency, void* buffer, QXImageRef* outImage);
/* A tiled record (kQXImageSourceTiled): depth 8, 16 or 32, planes 1 ... 32, at most 2^20 tiles.
   kQXErrGeneric for a zero width or height, kQXErrUnsupportedFormat for another depth,
   kQXErrInvalidArgument for other bad geometry, kQXErrMemory when memory runs out. */
QX_EXPORT QXStatus QXImageCreateWithParams(QXRect bounds, int32_t depth, int32_t planes, QXImageRef* outImage);
/* kind kQXImageSourceTiled (or kQXImageSourceNone): tiled, kQXImageSourceMemory: memory (owning
   its buffer), kQXImageSourceSolidFill: solid fill; any other kind stores NULL and returns 0. */
QX_EXPORT QXStatus QXImageCreateWithParams2(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType,
                                            int32_t transparency, int32_t kind, QXImageRef* outImage);

QX_EXPORT QXImageRef QXImageRetain(QXImageRef image); /* returns its argument */
QX_EXPORT void QXImageRelease(QXImageRef image);

/* ---- Fields (no locks; see the header comment) ---- */

QX_EXPORT QXRect QXImageGetBounds(QXImageRef image);
QX_EXPORT int32_t QXImageGetWidth(QXImageRef image);
QX_EXPORT int32_t QXImageGetHeight(QXImageRef image);
QX_EXPORT int32_t QXImageGetLoPlane(QXImageRef image);
QX_EXPORT int32_t QXImageGetHiPlane(QXImageRef image);
QX_EXPORT int32_t QXImageGetNumPlanes(QXImageRef image); /* colBytes / planeBytes; 0 before Init */
QX_EXPORT int32_t QXImageGetPlaneBytes(QXImageRef image);
/* Also sets depth = planeBytes x 8; colBytes and rowBytes stay as they are. Until QXImageAdjustBounds
   lays the pixels out for the new size, reads and writes (and every operation built on them) fail
   with kQXErrUnsupportedFormat. Values outside 0 ... 4 are ignored. */
QX_EXPORT void QXImageSetPlaneBytes(QXImageRef image, int32_t planeBytes);
QX_EXPORT int32_t QXImageGetColBytes(QXImageRef image);
QX_EXPORT int32_t QXImageGetRowBytes(QXImageRef image);
QX_EXPORT int32_t QXImageGetSize(QXImageRef image);
QX_EXPORT int32_t QXImageGetDepth(QXImageRef image);
QX_EXPORT int32_t QXImageGetPadding(QXImageRef image);
QX_EXPORT void QXImageSetPadding(QXImageRef image, int32_t padding); /* stored in 16 bits */
QX_EXPORT double QXImageGetRate(QXImageRef image);
QX_EXPORT void QXImageSetRate(QXImageRef image, double rate);
QX_EXPORT int32_t QXImageGetType(QXImageRef image);
QX_EXPORT void QXImageSetType(QXImageRef image, int32_t type);
QX_EXPORT int32_t QXImageGetColorSpaceType(QXImageRef image);
QX_EXPORT void QXImageSetColorSpaceType(QXImageRef image, int32_t colorSpaceType);
QX_EXPORT int32_t QXImageGetTransparency(QXImageRef image);
QX_EXPORT void QXImageSetTransparency(QXImageRef image, int32_t transparency);
QX_EXPORT int32_t QXImageGetDataSourceType(QXImageRef image);
QX_EXPORT int32_t QXImageGetID(QXImageRef image);
QX_EXPORT void QXImageSetID(QXImageRef image, int32_t ID);
QX_EXPORT int32_t QXImageGetInternalID(QXImageRef image); /* process-unique, from 1 */
QX_EXPORT void* QXImageGetRefCon(QXImageRef image);
QX_EXPORT void QXImageSetRefCon(QXImageRef image, void* refCon);
QX_EXPORT int32_t QXImageGetRefCon2(QXImageRef image);
QX_EXPORT void QXImageSetRefCon2(QXImageRef image, int32_t refCon2);
QX_EXPORT int32_t QXImageGetMipLevel(QXImageRef image);
QX_EXPORT void QXImageSetMipLevel(QXImageRef image, int32_t mipLevel);
QX_EXPORT CFStringRef QXImageGetName(QXImageRef image);            /* borrowed; may be NULL */
QX_EXPORT void QXImageSetName(QXImageRef image, CFStringRef name); /* retained; NULL clears */

/* ---- Operations ---- */

/* Reshapes the record: new bounds and plane range; a memory record resizes its buffer (kQXErrLentBuffer on a
   lent buffer, leaving the record unchanged), a tiled record keeps its tiles when only the origin
   moves (same size, plane count and sample size) and otherwise starts an empty grid. */
QX_EXPORT QXStatus QXImageAdjustBounds(QXImageRef image, QXRect bounds, int32_t loPlane, int32_t hiPlane);
/* The contiguous buffer of a memory record (NULL for other kinds). */
QX_EXPORT void* QXImageLockBuffer(QXImageRef image);
QX_EXPORT void QXImageUnlockBuffer(QXImageRef image);
/* Tiled records: every loaded tile leaves memory (dirty ones go to the disk store first). */
QX_EXPORT QXStatus QXImagePurge(QXImageRef image);
/* Every byte of every pixel becomes `value`. */
QX_EXPORT QXStatus QXImageFill(QXImageRef image, uint8_t value);

/* Transfers between the image and a caller's buffer. `rect` is in image coordinates and is clipped
   to the image's bounds; the buffer is addressed relative to `rect`, so the rows and columns
   outside the image are left untouched. Planes loPlane ... hiPlane (-1: the image's last plane) are
   transferred in plane order; rowBytes < 1 means packed rows. kQXErrInvalidArgument for an empty
   rectangle or a bad plane range, kQXErrUnsupportedFormat when the record's pixels do not hold its
   planes (QXImageSetPlaneBytes), kQXErrMemory when tile storage runs out, or the disk store's
   error. */
QX_EXPORT QXStatus QXImageRead(QXImageRef image, QXRect rect, int32_t loPlane, int32_t hiPlane, void* buffer,
                               int32_t rowBytes);
QX_EXPORT QXStatus QXImageWrite(QXImageRef image, QXRect rect, int32_t loPlane, int32_t hiPlane, const void* buffer,
                                int32_t rowBytes);
QX_EXPORT QXStatus QXImageRead2(QXImageRef image, QXRect rect, int32_t loPlane, int32_t hiPlane, void* buffer,
                                int32_t rowBytes, int32_t flags);
QX_EXPORT QXStatus QXImageWrite2(QXImageRef image, QXRect rect, int32_t loPlane, int32_t hiPlane, const void* buffer,
                                 int32_t rowBytes, int32_t flags);

/* The tile at (row, col) of a tiled record, resident and with its use lock held: the caller must
   call QXTileReleaseUse, also after an error, and must not make another tile resident meanwhile.
   The tile is borrowed. kQXErrGeneric (and NULL) outside the grid, kQXErrNotOffered for other kinds
   of record. */
QX_EXPORT QXStatus QXImageGetNativeTile(QXImageRef image, int32_t row, int32_t col, QXTileRef* outTile);
QX_EXPORT QXStatus QXImageGetNativeTile2(QXImageRef image, int32_t row, int32_t col, int32_t flags, QXTileRef* outTile);
QX_EXPORT bool QXImageGetTileLoaded(QXImageRef image, int32_t row, int32_t col);
QX_EXPORT bool QXImageTileInUse(QXImageRef image);
/* Pins every tile of a tiled record in memory (loading them all) or unpins them. Returns true when
   the operation failed. Unpinning takes no lock of the record: a thread holding one of its tiles
   may unpin it. */
QX_EXPORT bool QXImageSetKeepResident(QXImageRef image, int32_t keepResident);

/* ---- Tile-record streams ----
   Header: seven 32-bit words in the stream's byte order (0, width, height, depth, colorSpaceType,
   transparency, planes), then one record per 256 x 256 tile in row-major order: row, col, method
   (1 solid, 2 zlib), length, payload. Pixel bytes are little-endian. The origin is not stored. */

/* Tiled records only (kQXErrNotOffered otherwise). Not a snapshot: a write running meanwhile may or may not be
   seen. Tiles are compressed on the shared thread pool; the bytes are those of a sequential writer.
   A failed save stops at the failing tile, leaving a partial stream. */
QX_EXPORT QXStatus QXImageSaveToStream(QXImageRef image, QXStreamRef stream);
/* A new tiled record from the stream. Untrusted input is validated: width and height 1 ... 2^20,
   depth 8, 16 or 32, planes 1 ... 32, at most 2^20 tiles, and the bytes of all its tiles within the
   load limit (below), all before anything is built (kQXErrInvalidArgument otherwise); the first record is read and
   checked before the grid is built, also from a stream that knows no length. A damaged record fails
   with a status (kQXErrInvalidArgument, kQXErrSolidTileSize, kQXErrGeneric or the stream's) and nothing of the image survives. A record yields
   at most one whole tile, so a load never produces more than the header declared; a tile whose
   records hold only zero bytes is not made resident. The second argument is not used. */
QX_EXPORT QXStatus QXImageCreateFromStream(QXStreamRef stream, int32_t unused, QXImageRef* outImage);
/* The most a stream may make QXImageCreateFromStream produce, in bytes of tiles: colBytes x 65,536
   per 256 x 256 tile of the declared image, edge tiles counted whole. A larger image is refused with
   kQXErrInvalidArgument before anything is built. Default 16 GiB; UINT64_MAX lifts it. Process-wide: any thread may
   set or read it, and a load uses the value it finds when it checks the header. */
QX_EXPORT void QXImageSetStreamLoadLimit(uint64_t bytes);
QX_EXPORT uint64_t QXImageGetStreamLoadLimit(void);

/* ---- Pixel operations ----
   Every operation works on every kind of record through its reads and writes, a band of rows at a
   time, so no image is ever needed whole in memory. Rectangles are clipped to both images; images
   that must match in depth and planes give kQXErrUnsupportedFormat when they do not. On failure an
   out argument is NULL and a result being built is released. Status codes: kQXErrNoScratch when
   scratch memory is unavailable, kQXErrInvalidArgument for a bad argument (empty or mismatched
   rectangles, unknown mode), kQXErrUnsupportedFormat for an unsupported depth or format,
   kQXErrMemory, or the failure of a read or write. */

/* A new record of the same kind, bounds, format and type with the same pixels. */
QX_EXPORT QXStatus QXImageCreateCopy(QXImageRef image, QXImageRef* outImage);
/* Copies `sourceRect` of `source` into `destinationRect` of `destination`: a plain copy when the
   sizes match (any mode), else mode 0 or 2 interpolates (2 x 2 neighbourhood, double precision;
   32-bit float samples unclamped) and mode 1 takes the nearest pixel; other modes give
   kQXErrInvalidArgument. A scaled blit writes only the destination pixels inside the destination
   image; source positions outside the source image take its nearest edge. Overlapping rectangles of
   one image give the right result. No record lock is held across the whole blit, so blits in
   opposite directions between two images never deadlock (and a write to the source meanwhile may or
   may not be seen). */
QX_EXPORT QXStatus QXImageBlit(QXImageRef source, QXRect sourceRect, QXImageRef destination, QXRect destinationRect,
                               int32_t mode);
/* Blit mode 0 of `rect` onto the same rectangle of `destination`. */
QX_EXPORT QXStatus QXImageGetImage(QXImageRef source, QXRect rect, QXImageRef destination);
/* A new record of rect's size (origin 0, 0) holding the part of the image under `rect`; the rest
   has its first sample at full scale and the others 0 (planes past the fourth at full scale). */
QX_EXPORT QXStatus QXImageCreateCrop(QXImageRef image, QXRect rect, QXImageRef* outImage);
/* Changes the canvas in place: mode 0 keeps pixels at their coordinates, mode 1 centres the old
   image (each side by itself), mode 2 only reshapes (new pixels are zero); other modes act as 0.
   Uncovered pixels are transparent white. The failure of the reshape is returned. */
QX_EXPORT QXStatus QXImageResize(QXImageRef image, QXRect bounds, int32_t mode);
/* A copy with one more plane at full scale (255, 65535 or 1.0). `count` must be 1 (else
   kQXErrInvalidArgument). */
QX_EXPORT QXStatus QXImageCreateCopyAddingChannels(QXImageRef image, int32_t count, QXImageRef* outImage);
/* In place, 16-bit images only (others are left alone, 0): s * 65535 >> 15 saturating at 65535, and
   (s + 1) >> 1. */
QX_EXPORT QXStatus QXImageConvert8000ToFFFF(QXImageRef image);
QX_EXPORT QXStatus QXImageConvertFFFFTo8000(QXImageRef image);
/* A new tiled record at 8 or 16 bits (the same image, retained, when the depth already matches). */
QX_EXPORT QXStatus QXImageConvertToDepth(QXImageRef image, int32_t depth, QXImageRef* outImage);
/* A new tiled record of 4 planes with transparency at 8 or 16 bits (the same image, retained, when it
   already has 4 planes with transparency at that depth); images of fewer than 3 planes or of 32
   bits give kQXErrUnsupportedFormat. Past four planes the result is opaque. */
QX_EXPORT QXStatus QXImageConvertToDepthWithTransparency(QXImageRef image, int32_t depth, QXImageRef* outImage);
/* In place: composited over white and made opaque. The last plane is alpha when transparency is
   set, or when there are 2 or 4 planes and the colour space is not kQXImageColorSpaceCMYK; other
   images, and images of a single plane, give kQXErrUnsupportedFormat and are left alone. */
QX_EXPORT QXStatus QXImageConvertToPremultipliedAlpha(QXImageRef image);
/* One colour, given as fractions clamped to 0 ... 1, for planes loPlane ... hiPlane (-1: the last);
   `colour` holds hiPlane - loPlane + 1 values. */
QX_EXPORT QXStatus QXImageFillColor(QXImageRef image, const float* colour, int32_t loPlane, int32_t hiPlane);
/* White, with the fourth plane 0 for RGB images (kQXImageColorSpaceRGB). */
QX_EXPORT QXStatus QXImageFillTransparent(QXImageRef image);
/* Squares of `cellSize` pixels (>= 1, else kQXErrInvalidArgument), white where column and row cell parities agree,
   else the colour; counted from the bounds' origin. Planes past the fourth are at full scale. */
QX_EXPORT QXStatus QXImageFillCheckerboard(QXImageRef image, int32_t cellSize, float c1, float c2, float c3);
/* New rotated records of `kind` (as QXImageCreateWithParams2; a kind that makes no image gives
   kQXErrInvalidArgument), addressed from the bounds' origin. The result keeps the source's origin;
   width and height are exchanged for quarter turns. */
QX_EXPORT QXStatus QXImageRotate90CW(QXImageRef image, int32_t kind, QXImageRef* outImage);
QX_EXPORT QXStatus QXImageRotate90CCW(QXImageRef image, int32_t kind, QXImageRef* outImage);
QX_EXPORT QXStatus QXImageRotate180(QXImageRef image, int32_t kind, QXImageRef* outImage);
/* The image scaled by 2^-level (|level| <= 30), each side rounded and at least 1; sizes a record
   cannot hold give kQXErrInvalidArgument. */
QX_EXPORT QXStatus QXImageCreateOneMip(QXImageRef image, int32_t level, QXImageRef* outImage);
/* An array of the image and its halvings down to 1 x 1 (at most 20 entries), stored even after a
   failure; the caller releases it. */
QX_EXPORT QXStatus QXImageCreateMips(QXImageRef image, CFArrayRef* outMips);
/* Same bounds, depth and planes, and identical pixel bytes. */
QX_EXPORT bool QXImageEqual(QXImageRef a, QXImageRef b);

/* ---- Image pool and diagnostics ---- */

typedef struct __QXImagePool* QXImagePoolRef;

/* A pool of ready, pinned tiled images of one format; one thread at a time. */
QX_EXPORT QXImagePoolRef QXImagePoolCreate(void);
QX_EXPORT QXImagePoolRef QXImagePoolRetain(QXImagePoolRef pool);
QX_EXPORT void QXImagePoolRelease(QXImagePoolRef pool);
/* Keeps `count` images of the format waiting (all bytes 0xFF); a new format empties the pool first. */
QX_EXPORT QXStatus QXImagePoolUpdate(QXImagePoolRef pool, int32_t count, QXRect bounds, int32_t depth, int32_t planes,
                                     int32_t colorSpaceType, int32_t transparency);
/* The oldest waiting image (unpinned), or a new one; the caller releases it. */
QX_EXPORT QXStatus QXImagePoolAcquire(QXImagePoolRef pool, QXImageRef* outImage);

/* Raw pixel files "<prefix>-<GRAY|RGB|CMYK><w>x<h>x<depth>bit.raw" in `folder`; nothing is reported. */
QX_EXPORT void QXImageDump(QXImageRef image, CFStringRef prefix, CFURLRef folder);
QX_EXPORT void QXImageDumpPath(QXImageRef image, CFStringRef prefix, CFStringRef folderPath);
QX_EXPORT void QXImageDumpPathUTF8(QXImageRef image, const char* prefix, const char* folderPath);
/* A tile of a record is read without its use lock: hold it (QXImageGetNativeTile) while dumping. */
QX_EXPORT void QXTileDump(QXTileRef tile, CFStringRef prefix, CFURLRef folder);
QX_EXPORT void QXTileDumpPath(QXTileRef tile, CFStringRef prefix, CFStringRef folderPath);
QX_EXPORT void QXTileDumpPathUTF8(QXTileRef tile, const char* prefix, const char* folderPath);
/* Logs a map of the tiles' coherence states (tiled records only). Takes no lock of the record, so
   a thread holding one of its tiles may call it; a tile held throughout shows as '?'. */
QX_EXPORT void QXImageDumpCoherenceStateTileMap(QXImageRef image);
/* Prints the listed tiles and the budget to standard output. */
QX_EXPORT void QXImageDumpCacheInfo(void);

/* ---- Standalone tiles ---- */

QX_EXPORT QXTileRef QXTileCreate(void);
QX_EXPORT QXTileRef QXTileCreateWithParams(int32_t x, int32_t y, int32_t width, int32_t height, int32_t planes,
                                           int32_t depth, bool allocate);
/* Keys "tile_width", "tile_height", "tile_x", "tile_y", "depth", "rowbytes", "colbytes" (CFNumber),
   "--content--" (any object) and "raw" (a CFMutableData of rowbytes x tile_height bytes; other
   data is ignored). */
QX_EXPORT QXTileRef QXTileCreateWithInfo(CFDictionaryRef info);
QX_EXPORT CFDictionaryRef QXTileGetInfoCopy(QXTileRef tile);
/* Storage of rowBytes x height zero bytes (unchanged when already that size). 0 or kQXErrMemory. */
QX_EXPORT QXStatus QXTileRealloc(QXTileRef tile);
QX_EXPORT CFMutableDataRef QXTileGetData(QXTileRef tile);            /* borrowed */
QX_EXPORT void QXTileSetData(QXTileRef tile, CFMutableDataRef data); /* retained */
QX_EXPORT void* QXTileGetDataPtr(QXTileRef tile);
QX_EXPORT QXTileRef QXTileRetain(QXTileRef tile);
QX_EXPORT void QXTileRelease(QXTileRef tile);

/* Position and layout (X, Y, Bounds, Depth, RowBytes, ColBytes, NumPlanes) of a record's tile
   (QXImageGetNativeTile) cannot be changed: those setters leave such a tile as it is. */
QX_EXPORT int32_t QXTileGetX(QXTileRef tile);
QX_EXPORT void QXTileSetX(QXTileRef tile, int32_t x);
QX_EXPORT int32_t QXTileGetY(QXTileRef tile);
QX_EXPORT void QXTileSetY(QXTileRef tile, int32_t y);
QX_EXPORT int32_t QXTileGetWidth(QXTileRef tile);
QX_EXPORT int32_t QXTileGetHeight(QXTileRef tile);
QX_EXPORT QXRect QXTileGetBounds(QXTileRef tile);
QX_EXPORT void QXTileSetBounds(QXTileRef tile, int32_t x, int32_t y, int32_t width, int32_t height);
QX_EXPORT int32_t QXTileGetDepth(QXTileRef tile);
QX_EXPORT void QXTileSetDepth(QXTileRef tile, int32_t depth);
QX_EXPORT int32_t QXTileGetRowBytes(QXTileRef tile);
QX_EXPORT void QXTileSetRowBytes(QXTileRef tile, int32_t rowBytes);
QX_EXPORT int32_t QXTileGetColBytes(QXTileRef tile);
QX_EXPORT void QXTileSetColBytes(QXTileRef tile, int32_t colBytes);
QX_EXPORT int32_t QXTileGetNumPlanes(QXTileRef tile);
QX_EXPORT void QXTileSetNumPlanes(QXTileRef tile, int32_t planes);
QX_EXPORT int32_t QXTileGetTextureID(QXTileRef tile);
QX_EXPORT void QXTileSetTextureID(QXTileRef tile, int32_t textureID);
QX_EXPORT int32_t QXTileGetCoherenceState(QXTileRef tile);
QX_EXPORT void QXTileSetCoherenceState(QXTileRef tile, int32_t state);
QX_EXPORT bool QXTileGetDirty(QXTileRef tile);
/* true also sets 'dbMr'. A tile of an image ignores false: the cache alone knows when the disk store
   holds its pixels, and a clean tile is purged without being written. */
QX_EXPORT void QXTileSetDirty(QXTileRef tile, bool dirty);
QX_EXPORT bool QXTileIsTextureDirty(QXTileRef tile);
QX_EXPORT void QXTileSetTextureDirty(QXTileRef tile, bool dirty); /* true also sets 'tiMr' */
QX_EXPORT int32_t QXTileGetLock(QXTileRef tile);                  /* 0 free, 1 in use */

/* The use lock: not re-entrant, no owner. Waits while another user holds it. */
QX_EXPORT void QXTileAcquireUse(QXTileRef tile);
QX_EXPORT void QXTileReleaseUse(QXTileRef tile);

/* Copies the tile's rectangle of the image into the tile (sizing its storage for the planes
   transferred) or back. Set fails with kQXErrInvalidArgument when the tile holds no data. */
QX_EXPORT QXStatus QXImageGetImageTile(QXImageRef image, QXTileRef tile);
QX_EXPORT QXStatus QXImageGetImageTile2(QXImageRef image, QXTileRef tile, int32_t loPlane, int32_t hiPlane,
                                        int32_t flags);
QX_EXPORT QXStatus QXImageSetImageTile(QXImageRef image, QXTileRef tile);
QX_EXPORT QXStatus QXImageSetImageTile2(QXImageRef image, QXTileRef tile, int32_t loPlane, int32_t hiPlane,
                                        int32_t flags);

/* ---- The tile cache ---- */

typedef struct QXImageMsg {
  int32_t code;     /* kQXImageMsgTilePurged or kQXImageMsgTileDestroyed */
  QXImageRef image; /* the owning record */
  QXTileRef tile;   /* the tile losing its data */
  void* refCon;     /* as registered */
} QXImageMsg;
typedef void (*QXImageMsgProc)(QXImageMsg* message);

/* Up to 10 listeners; a registration beyond that returns kQXErrInvalidArgument and keeps nothing. A
   listener runs on the thread that purges or destroys the tile, with engine locks held: it must not
   call back into the image engine. Unregistering frees every slot of the procedure. */
QX_EXPORT QXStatus QXImageRegisterMsgListener(QXImageMsgProc proc, void* refCon);
QX_EXPORT QXStatus QXImageUnRegisterMsgListener(QXImageMsgProc proc);

/* The budget for resident tiles (default half the physical memory); it takes effect at the next
   tile that becomes resident. Memory freed by images is kept for the next ones within what the
   budget leaves (at most 1 GiB, for at most ten seconds); setting the budget trims it. */
QX_EXPORT void QXImageSetCacheMemPercent(double percent);
QX_EXPORT void QXImageSetCacheMemAbsolute(double bytes);
/* kQXImageStoreNone keeps the disk store from being created: dirty tiles then stay resident. */
QX_EXPORT void QXImageSetTileStoreType(int32_t type);
/* The folder under which the process's cache folder "QXImageCache-<pid>" is made (default $TMPDIR or
   /tmp). Set it before the first tile is stored. */
QX_EXPORT void QXImageSetCacheFolderPath(CFURLRef folder);
/* Removes this process's cache folder and the leftover folders of processes that no longer run,
   and gives the memory kept for reuse back to the system. */
QX_EXPORT void QXImageShutdown(void);
QX_EXPORT int32_t QXImageGetDumpPurgeInfo(void);
QX_EXPORT void QXImageSetDumpPurgeInfo(int32_t dump);

/* Counters of the tile cache since the process started (a consistent snapshot). */
typedef struct QXImageCacheStatistics {
  int64_t budget; /* bytes */
  int64_t used;   /* bytes of resident (listed) tiles */
  /* The highest `used` seen, including the moment an admission counts its tile before the purge
     walk brings the cache back to its budget. */
  int64_t peakUsed;
  int64_t residentTiles; /* tiles listed */
  int64_t tilesPurged;   /* tiles whose data was freed by the cache or QXImagePurge */
  int64_t tilesWritten;  /* tiles written to the disk store */
  int64_t tilesReloaded; /* tiles read back from the disk store */
  int64_t bytesWritten;  /* bytes written to the disk store */
  int64_t bytesRead;     /* bytes read back from the disk store */
  int64_t storeFailures; /* failed store writes and reads */
} QXImageCacheStatistics;
QX_EXPORT void QXImageGetCacheStatistics(QXImageCacheStatistics* outStatistics);

QX_EXTERN_C_END

#endif /* QXCORE_QXIMAGE_H */
