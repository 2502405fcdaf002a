/*
 * QXProduct.h — the product catalogue: the family's applications, their names, folders, preset
 * extensions and messaging ports, and the family's data and support folders.
 *
 * A product is a record of the catalogue, reached through a QXProductRef. Records are never
 * destroyed: a handle, and every string a getter returns from it, stays valid for the life of the
 * process, also after its identifier has been registered again. The functions may be called from
 * any thread. URLs are file URLs; Copy results are new references the caller releases. Statuses
 * are 0, kQXErrInvalidArgument (1005) for bad arguments, or the errno of a folder that could not
 * be found or made; on failure an out-URL is set to NULL.
 */
#ifndef QXCORE_QXPRODUCT_H
#define QXCORE_QXPRODUCT_H

#include <QXCore/QXBase.h>
#include <stdbool.h>

QX_EXTERN_C_BEGIN

typedef struct __QXProduct* QXProductRef;

/* What a host gives to register an application. Strings are copied. */
typedef struct QXProductInfo {
  CFStringRef identifier;       /* required, unique: "com.orvex.studio" */
  CFStringRef name;             /* required, one file name: "Orvex Studio" (names the log file) */
  CFStringRef displayName;      /* NULL: the name */
  CFStringRef folderName;       /* required, one file name: the folder inside the data folders */
  CFStringRef version;          /* "2.1"; may be NULL */
  CFStringRef presetExtension;  /* without the dot: "ovpreset"; NULL when it has no presets */
  CFStringRef pluginIdentifier; /* may be NULL */
  CFStringRef serviceName;      /* messaging service name; NULL: the name */
  uint16_t port;                /* messaging port; 0 lets the platform choose */
  bool namedSubFolders;         /* support kinds 5-8 insert the name after "Borders"/"Textures" */
} QXProductInfo;

/* Support-folder kinds of QXProductGetSupportURLCopy. */
enum {
  kQXProductSupportApplication = 1,
  kQXProductSupportExtras = 2,
  kQXProductSupportPresets = 3,
  kQXProductSupportFilmGrains = 4,
  kQXProductSupportBordersSmall = 5,
  kQXProductSupportBorders = 6,
  kQXProductSupportTexturesSmall = 7,
  kQXProductSupportTextures = 8,
  kQXProductSupportBackgrounds = 9,
  kQXProductSupportFactoryPresets = 10,
  kQXProductSupportTonerPresets = 11,
  kQXProductSupportTutorial = 12,
  kQXProductSupportDuotonePresets = 13,
  kQXProductSupportPhotoFilterPresets = 14,
  kQXProductSupportFavorites = 15,
  kQXProductSupportLensPresets = 16,
  kQXProductSupportCommon = 18
};

/* The family's name, "Orvex" (a constant). */
QX_EXPORT CFStringRef QXProductGetFamilyName(void);
/* The messaging service type of the family, "_orvex._tcp." (a constant). */
QX_EXPORT CFStringRef QXProductGetServiceType(void);

/* Adds a product, or replaces the record registered under the same identifier (lookups return the
   new record from then on; holders of the old handle keep a valid record with the old values and
   its own folder cache). Returns kQXErrInvalidArgument when the identifier, name or folder name is
   missing, when the name or folder name is not one file name (empty, ".", "..", or holding "/"), or
   when the preset extension is empty, starts with "." or holds "/", and kQXErrMemory (the table
   unchanged) when memory runs out. *outProduct (may be NULL) gets the new record, borrowed, or
   NULL. */
QX_EXPORT QXStatus QXProductRegister(const QXProductInfo* info, QXProductRef* outProduct);
/* The product registered under identifier (borrowed), or NULL. The default table holds
   "com.orvex.studio" (Orvex Studio) and "com.orvex.frames" (Orvex Frames). */
QX_EXPORT QXProductRef QXProductGetWithIdentifier(CFStringRef identifier);
/* The identifiers of all products, in the order they were first registered; a new array. */
QX_EXPORT CFArrayRef QXProductCopyIdentifiers(void);

/* Fields of a record (borrowed; NULL where the record has none). */
QX_EXPORT CFStringRef QXProductGetIdentifier(QXProductRef product);
QX_EXPORT CFStringRef QXProductGetName(QXProductRef product);
QX_EXPORT CFStringRef QXProductGetDisplayName(QXProductRef product);
QX_EXPORT CFStringRef QXProductGetFolderName(QXProductRef product);
QX_EXPORT CFStringRef QXProductGetVersion(QXProductRef product);
QX_EXPORT CFStringRef QXProductGetPresetExt(QXProductRef product);
QX_EXPORT CFStringRef QXProductGetPluginIdentifier(QXProductRef product);
QX_EXPORT CFStringRef QXProductGetServiceName(QXProductRef product);
QX_EXPORT uint16_t QXProductGetPort(QXProductRef product);
QX_EXPORT bool QXProductUsesNamedSubFolders(QXProductRef product);

/* The process-wide folder mode. Off (the default): the family's data folder is
   <user data>/Orvex Software for user data and <shared data>/Orvex Software for data shared by all
   users. On: <user data>/Orvex Software/user and <user data>/Orvex Software/global. Changing the
   mode forgets every product's cached support folders. */
QX_EXPORT void QXProductSetUserGlobalFolders(bool on);
QX_EXPORT bool QXProductGetUserGlobalFolders(void);

/* The family's data folder for user (true) or shared data under the current mode; created when
   missing. */
QX_EXPORT QXStatus QXProductCopyDataFolderURL(bool user, CFURLRef* outURL);

/* The support folder of `kind`. With D the family's data folder (user or shared, see above),
   X = D/Extras Orvex and S = D/<folder name>, the application's support folder (kept in the record
   once found):
     1 S                      9 X/Backgrounds[/name]          14 S/PhotoFilterPresets
     2 X                     10 S/FactoryPresets[.de][/name]  15 S/name, else S/Favorites[.de]
     3 S/Presets[/name]      11 S/TonerPresets                16 S/Lens Presets
     4 S/FilmGrains          12 S/Tutorial                    18 D/Common Orvex
                             13 S/DuotonePresets
     5, 6 X/Borders and 7, 8 X/Textures; given a name, products with namedSubFolders add /name,
     and kinds 5 and 7 (for every product) then add /Small.
   ".de" applies when QXLocaleGetDefaultLanguageCode is "de" (for kind 3 only with shared data).
   `name` (NULL or "" for none) may be a relative partial path; one that is absolute or has an
   empty, "." or ".." piece gives kQXErrInvalidArgument. With `create`, the folder is made with all
   missing parents (D always exists). Kind 17 and kinds outside 1-18 give kQXErrInvalidArgument and
   no URL. */
QX_EXPORT QXStatus QXProductGetSupportURLCopy(QXProductRef product, bool user, int32_t kind, CFStringRef name,
                                              bool create, CFURLRef* outURL);
/* The product's user folder: its support folder in the user's data folder (kind 1, user), created
   when missing and kept in the record. Shared by preset managers and the server data file. */
QX_EXPORT QXStatus QXProductCopyUserFolderURL(QXProductRef product, CFURLRef* outURL);

/* "Orvex Software/<folder name>": the product's preference folder relative to the user data
   folder; a new reference, NULL for a NULL product. */
QX_EXPORT CFStringRef QXProductCopyPreferenceFolderName(QXProductRef product);
/* "<name> Log.txt"; a new reference, NULL for a NULL product. */
QX_EXPORT CFStringRef QXProductCopyLogFileName(QXProductRef product);
/* The log file in the product's user folder (the folder is created when missing). */
QX_EXPORT QXStatus QXProductCopyLogFileURL(QXProductRef product, CFURLRef* outURL);
/* "<preset name>.<extension>" in the preset folder (kind 3) of the user or shared data folder.
   kQXErrInvalidArgument when the product has no preset extension or presetName is not one file
   name. */
QX_EXPORT QXStatus QXProductCopyPresetFileURL(QXProductRef product, bool user, CFStringRef presetName,
                                              CFURLRef* outURL);

QX_EXTERN_C_END

#endif /* QXCORE_QXPRODUCT_H */
