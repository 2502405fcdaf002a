/*
 * QXColor.h — colour management on ICC profiles: finding, validating and describing profiles,
 * converting image pixels between two profiles, and lookup tables ("cubes") that convert 8-bit
 * colours of a profile to the display's profile without the colour engine.
 *
 * Profiles are found in the colour directory: $QX_COLOR_DIR, $XDG_DATA_HOME/icc,
 * /usr/local/share/color/icc and /usr/share/color/icc, searched in that order (listing walks their
 * sub-folders in name order). A profile's name is its path relative to its directory
 * ("colord/sRGB.icc"); names that are absolute or contain ".." or a NUL are refused. Profile files
 * are regular files of at most 32 MiB. The display's profile is the file named by
 * $QX_DISPLAY_PROFILE, else a built-in sRGB.
 *
 * Ownership: functions named Create or Copy return an object with one reference that the caller
 * releases (QXColorProfileRelease, QXColorProfileDescRelease, CFRelease). Get functions return
 * borrowed objects; setters of CoreFoundation objects retain the new value.
 *
 * Threads: the lookups, conversions and queries may run on many threads with one profile at once,
 * also while another thread builds or rebuilds its cube (readers keep the table they started
 * with). The field setters are not for use while another thread uses the profile.
 */
#ifndef QXCORE_QXCOLOR_H
#define QXCORE_QXCOLOR_H

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXBase.h>
#include <QXCore/QXImage.h>
#include <QXCore/QXUtils.h>
#include <stdbool.h>
#include <stdint.h>

QX_EXTERN_C_BEGIN

typedef struct __QXColorProfile* QXColorProfileRef;
typedef struct __QXColorProfileDesc* QXColorProfileDescRef;
typedef struct __QXColorCube* QXColorCubeRef;

enum {
  /* Standard-profile codes (four-character codes). */
  kQXColorProfileSRGB = 0x73726762,     /* 'srgb' */
  kQXColorProfileAdobeRGB = 0x31393938, /* '1998' */
  kQXColorProfileProPhoto = 0x70726f70, /* 'prop' */
  kQXColorProfileCMYK = 0x636d796b,     /* 'cmyk' */
  kQXColorProfileDisplay = 0x64697370,  /* 'disp' */

  /* Colour models are the kQXImageColorSpace... codes (1 gray, 2 RGB, 3 CMYK). Cube modes: */
  kQXColorCubeNone = 0,
  kQXColorCubeRGB = 1,  /* g^3 entries */
  kQXColorCubeCMYK = 2, /* g^4 entries */
  kQXColorCubeGray = 3, /* 256 entries */
  kQXColorCubeDefaultGrid = 64,

  /* QXColorProfileCreateRGBColorCube2 flags */
  kQXColorCubeBuild = 0x01,
  kQXColorCubeBuild2 = 0x02, /* the same as kQXColorCubeBuild */
  kQXColorCubeGrid32 = 0x04,

  /* QXColorProfileConvertProfile intent selector: 1 perceptual, anything else relative colorimetric */
  kQXColorIntentPerceptual = 1
};

/* "sRGB Color Space Profile.icm" and "AdobeRGB1998.icc". */
QX_EXPORT extern const CFStringRef kQXColorProfileNameSRGB;
QX_EXPORT extern const CFStringRef kQXColorProfileNameAdobeRGB1998;

/* ---- Creation: NULL when memory runs out unless said otherwise ---- */

/* No data, mode 0, grid 64. */
QX_EXPORT QXColorProfileRef QXColorProfileCreate(void);
/* From an info dictionary: a copy of "icc" (CFData) when present; else a copy of "raw" (CFData)
   with "grid_size" and "mode" (CFNumbers; 0 when missing or of another type); else empty. Values
   of the wrong type count as missing. The cube is not made usable until a cube builder accepts it. */
QX_EXPORT QXColorProfileRef QXColorProfileCreateWithInfo(CFDictionaryRef info);
/* srgb and prop: one shared profile each, made on first use and retained by every call; 1998:
   likewise; cmyk, disp and other codes: a new profile. A file of the standard name in the colour
   directory wins; otherwise sRGB, Adobe RGB (1998) and ProPhoto are built in (version 2.1), the
   display is the built-in sRGB, and cmyk uses "RSWOP.icm" or the system's default CMYK profile
   when one is installed (else the profile stays without data and CMYK conversions use the
   formula). Never NULL except when memory runs out. */
QX_EXPORT QXColorProfileRef QXColorProfileCreateStandard(uint32_t code);
/* The profile file of that name in the colour directory, its bytes as ICC data; NULL when the
   name is refused or no readable file of that name is there. */
QX_EXPORT QXColorProfileRef QXColorProfileCreateDeviceNamed(CFStringRef fileName);
/* The installed display profile whose description equals `displayName` (case-insensitive), with
   its RGB cube to the display built; an empty profile when none matches. 0, or the cube builder's
   status (out NULL). */
QX_EXPORT QXStatus QXColorProfileCreateWithName(CFStringRef displayName, QXColorProfileRef* outProfile);
/* Cube data, ICC data, mode, grid size and a usable cube of the source (not its ICC name).
   kQXErrInvalidArgument for NULL, kQXErrMemory. */
QX_EXPORT QXStatus QXColorProfileCreateCopy(QXColorProfileRef profile, QXColorProfileRef* outProfile);
QX_EXPORT QXColorProfileRef QXColorProfileRetain(QXColorProfileRef profile); /* returns its argument */
QX_EXPORT void QXColorProfileRelease(QXColorProfileRef profile);

/* ---- Fields: getters borrow, setters retain (NULL clears). Setting the cube data, mode or grid
   size does not change the cube in use; the cube builders check and take them. ---- */

QX_EXPORT CFDataRef QXColorProfileGetICCData(QXColorProfileRef profile);
QX_EXPORT void QXColorProfileSetICCData(QXColorProfileRef profile, CFDataRef data);
QX_EXPORT CFDataRef QXColorProfileGetData(QXColorProfileRef profile);
QX_EXPORT void QXColorProfileSetData(QXColorProfileRef profile, CFDataRef data);
QX_EXPORT int32_t QXColorProfileGetMode(QXColorProfileRef profile);
QX_EXPORT void QXColorProfileSetMode(QXColorProfileRef profile, int32_t mode);
QX_EXPORT int32_t QXColorProfileGetGridSize(QXColorProfileRef profile);
QX_EXPORT void QXColorProfileSetGridSize(QXColorProfileRef profile, int32_t gridSize);
QX_EXPORT CFStringRef QXColorProfileGetICCName(QXColorProfileRef profile);
QX_EXPORT void QXColorProfileSetICCName(QXColorProfileRef profile, CFStringRef name);
/* The ICC name becomes the description's name (its file name). */
QX_EXPORT void QXColorProfileSetICCNameFromDesc(QXColorProfileRef profile, QXColorProfileDescRef desc);

/* ---- Queries ---- */

/* Only "icc" with ICC data; else "raw", "grid_size", "mode" with cube data; else empty. */
QX_EXPORT CFMutableDictionaryRef QXColorProfileGetInfoCopy(QXColorProfileRef profile);
/* Checks a version 2.1 ICC header: kQXErrInvalidArgument for NULL data, kQXErrInvalidProfile for
   fewer than 128 bytes, another version or no "acsp". Else 0 with the colour model (2 "RGB ",
   3 "CMYK", else 0) and the standard code of the device model ('sRGB' srgb, 'ROMM' prop, else 0);
   either out pointer may be NULL. */
QX_EXPORT QXStatus QXColorProfileGetICCParams(CFDataRef data, int32_t* outModel, uint32_t* outStandard);
/* srgb or prop for the shared profiles of those codes, 1998 when the ICC name is
   "AdobeRGB1998.icc" (case-insensitive), else 0. */
QX_EXPORT uint32_t QXColorProfileGetStandard(QXColorProfileRef profile);
/* False for NULL; true with a standard code, cube data, ICC data or an ICC name. */
QX_EXPORT bool QXColorProfileIsValid(QXColorProfileRef profile);
/* The profile's description ('desc' text as UTF-8, or a version 4 multi-localised description),
   or NULL when it has none or the text is not UTF-8. */
QX_EXPORT CFStringRef QXColorProfileGetDisplayNameCopy(QXColorProfileRef profile);
/* The RGB display ('mntr') profiles of the colour directory as descriptions, in search order; a
   name found in an earlier directory hides later ones. A profile whose description is not UTF-8
   is listed under its file name. 0 (an empty array when nothing is installed) or kQXErrMemory. */
QX_EXPORT QXStatus QXColorProfileGetICCProfilesCopy(CFArrayRef* outDescs);
/* The first listed description whose display name equals `displayName` (case-insensitive); NULL
   when none. */
QX_EXPORT QXColorProfileDescRef QXColorProfileGetColorProfileDescWithDisplayNameCopy(CFStringRef displayName);
/* Both: the first listed description whose display name begins with "sRGB"; NULL when none. */
QX_EXPORT QXColorProfileDescRef QXColorProfileGetSystemProfileDescCopy(void);
QX_EXPORT QXColorProfileDescRef QXColorProfileGetDefaultProfileDescCopy(void);

/* ---- Descriptions ---- */

QX_EXPORT QXColorProfileDescRef QXColorProfileDescCreate(CFStringRef displayName, CFStringRef name);
QX_EXPORT CFStringRef QXColorProfileDescGetDisplayName(QXColorProfileDescRef desc);
QX_EXPORT CFStringRef QXColorProfileDescGetName(QXColorProfileDescRef desc);
QX_EXPORT void QXColorProfileDescSetDisplayName(QXColorProfileDescRef desc, CFStringRef displayName);
QX_EXPORT void QXColorProfileDescSetName(QXColorProfileDescRef desc, CFStringRef name);
QX_EXPORT QXColorProfileDescRef QXColorProfileDescRetain(QXColorProfileDescRef desc);
QX_EXPORT void QXColorProfileDescRelease(QXColorProfileDescRef desc);

/* ---- Conversions ---- */

/* Builds the profile's cube to the display for a colour model (1 gray: grid 256; 2 RGB; 3 CMYK)
   from its ICC data or ICC name, or for CMYK from "RSWOP.icm" when it has neither (an RGB or gray
   profile without either gets no cube and 0). Existing cube data is not rebuilt but checked: it
   is used only when its length is exactly grid^3 x 3 (RGB, grid 2 ... 256), grid^4 x 3 (CMYK,
   grid 2 ... 64) or 768 (gray); otherwise kQXErrInvalidArgument and the cube in use stays.
   kQXErrGeneric for another model, kQXErrInvalidProfile when a profile cannot be read,
   kQXErrUnsupportedFormat when the profile does not fit the model, or errno. Takes the profile's
   lock. */
QX_EXPORT QXStatus QXColorProfileCreateRGBColorCube(QXColorProfileRef profile, int32_t model);
/* kQXColorCubeGrid32: a grid of 32 (a different grid drops the cube data first; readers finish
   with the table they had); then kQXColorCubeBuild or kQXColorCubeBuild2 builds as above. */
QX_EXPORT QXStatus QXColorProfileCreateRGBColorCube2(QXColorProfileRef profile, int32_t model, int32_t flags);
/* Lookups through the cube in use, each output channel interpolated between the two corner
   entries along its own input. Without an RGB cube the inputs pass through; without a CMYK cube
   output n = 255 - min(input n + k, 255) (so 0, 0, 0, 0 is white, while through a cube built from
   a profile 0, 0, 0, 0 is full ink, near black); without a gray cube the input three times.
   Always 0. */
QX_EXPORT QXStatus QXColorProfileConvertRGBToRGB(QXColorProfileRef profile, uint8_t r, uint8_t g, uint8_t b,
                                                 uint8_t* outR, uint8_t* outG, uint8_t* outB);
QX_EXPORT QXStatus QXColorProfileConvertCMYKToRGB(QXColorProfileRef profile, uint8_t c, uint8_t m, uint8_t y, uint8_t k,
                                                  uint8_t* outR, uint8_t* outG, uint8_t* outB);
QX_EXPORT QXStatus QXColorProfileConvertGrayToRGB(QXColorProfileRef profile, uint8_t v, uint8_t* outR, uint8_t* outG,
                                                  uint8_t* outB);
/* Converts an RGB image in place through the RGB cube: 8-bit samples directly, 16-bit ones by
   their high byte (the result x 257). Without an RGB cube the image is left alone. kQXErrGeneric
   for an image that is not RGB, kQXErrUnsupportedFormat for 32-bit samples or fewer than three
   planes, or the failure of a read or write. */
QX_EXPORT QXStatus QXColorProfileApplyToImage(QXColorProfileRef profile, QXImageRef image);
/* Converts `rect` (clipped to both images) from the source profile to the destination profile,
   writing the same place of `destinationImage` (which may be `sourceImage`). The images need equal
   depth (8 or 16; CMYK 8 only) and planes, and colour planes (planes less transparency) of the
   image's colour model, which both profiles must have: else kQXErrUnsupportedFormat. A separate
   destination receives the source's transparency plane. When either profile has no data the
   pixels are copied unchanged. CMYK samples are ink amounts (0 none). kQXErrInvalidArgument for
   NULL arguments or an empty rectangle, kQXErrInvalidProfile for unreadable profile data,
   kQXErrMemory, or the failure of a read or write. */
QX_EXPORT QXStatus QXColorProfileConvertProfile(QXColorProfileRef source, QXColorProfileRef destination,
                                                QXImageRef sourceImage, QXImageRef destinationImage, QXRect rect,
                                                int32_t intent);

/* ---- Colour cubes: stand-alone tables from one profile to another ----
   A cube converts with the table its data, mode and grid size describe, and only while they agree
   (the sizes of QXColorProfileCreateRGBColorCube); otherwise its conversions take the fallbacks of
   the profile lookups. Conversions may run on many threads at once, also while a setter changes
   the table (they finish with the one they took); the setters and GetData... are not for use
   while another thread calls a setter. */

/* No data, mode 0, grid 64. NULL when memory runs out. */
QX_EXPORT QXColorCubeRef QXColorCubeCreate(void);
/* The table from `source` to `destination` (relative colorimetric) for a colour model: 1 gray
   (grid 256), 2 RGB, 3 CMYK (grid 64: 48 MiB). NULL, with the reason in the log, for a missing
   profile, another model, a profile without data or one that does not fit the model. */
QX_EXPORT QXColorCubeRef QXColorCubeCreateFromProfiles(QXColorProfileRef source, QXColorProfileRef destination,
                                                       int32_t model);
QX_EXPORT QXColorCubeRef QXColorCubeRetain(QXColorCubeRef cube); /* returns its argument */
QX_EXPORT void QXColorCubeRelease(QXColorCubeRef cube);
/* The data (borrowed) and its bytes; NULL without data. */
QX_EXPORT CFDataRef QXColorCubeGetDataRef(QXColorCubeRef cube);
QX_EXPORT const uint8_t* QXColorCubeGetDataPtr(QXColorCubeRef cube);
/* Field setters: each stores its value (the data retained) and the cube converts through the
   table only when data, mode and grid size agree. */
QX_EXPORT void QXColorCubeSetData(QXColorCubeRef cube, CFDataRef data);
QX_EXPORT int32_t QXColorCubeGetMode(QXColorCubeRef cube);
QX_EXPORT void QXColorCubeSetMode(QXColorCubeRef cube, int32_t mode);
QX_EXPORT int32_t QXColorCubeGetGridSize(QXColorCubeRef cube);
QX_EXPORT void QXColorCubeSetGridSize(QXColorCubeRef cube, int32_t gridSize);
/* Data, mode and grid size at once: kQXErrInvalidArgument, leaving the cube unchanged, when they
   do not agree. */
QX_EXPORT QXStatus QXColorCubeSetTable(QXColorCubeRef cube, CFDataRef data, int32_t mode, int32_t gridSize);
/* The lookups of the profile functions of the same names; always 0. */
QX_EXPORT QXStatus QXColorCubeConvertRGBToRGB(QXColorCubeRef cube, uint8_t r, uint8_t g, uint8_t b, uint8_t* outR,
                                              uint8_t* outG, uint8_t* outB);
QX_EXPORT QXStatus QXColorCubeConvertCMYKToRGB(QXColorCubeRef cube, uint8_t c, uint8_t m, uint8_t y, uint8_t k,
                                               uint8_t* outR, uint8_t* outG, uint8_t* outB);
QX_EXPORT QXStatus QXColorCubeConvertGrayToRGB(QXColorCubeRef cube, uint8_t v, uint8_t* outR, uint8_t* outG,
                                               uint8_t* outB);
/* As QXColorProfileApplyToImage, through the cube's RGB table. */
QX_EXPORT QXStatus QXColorCubeApplyToImage(QXColorCubeRef cube, QXImageRef image);

QX_EXTERN_C_END

#endif /* QXCORE_QXCOLOR_H */
